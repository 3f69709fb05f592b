#!/usr/bin/env python3
"""Runs a Windows program under wine in place of a Linux one, for the Linux test programs' tables.

usage: run_in_wine.py <program.exe> [argument...]

Standard input, the arguments, the environment and the exit status pass through. Every line the
program writes must end in CR LF, as the Windows build's text-mode streams make it: each CR LF
reaches the caller as LF, so that the tables' expected bytes hold, and a bare LF is marked, so that
they fail.
"""
import os
import re
import subprocess
import sys


def as_linux_lines(data):
    return re.sub(rb"\r?\n", lambda end: b"\n" if end[0] == b"\r\n" else b"<LF without CR>\n", data)


def main(program, *arguments):
    environment = {**os.environ, "WINEDEBUG": "-all"}
    result = subprocess.run(["wine", program, *arguments], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=environment, check=False)
    sys.stdout.buffer.write(as_linux_lines(result.stdout))
    sys.stderr.buffer.write(as_linux_lines(result.stderr))
    return result.returncode


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
