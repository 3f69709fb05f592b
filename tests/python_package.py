#!/usr/bin/env python3
"""Runs the Python package's tests against this build's library: the package wrapped around it as a
wheel, installed with pip into a temporary folder, and imported from there.

usage: python_package.py LIBRARY SOURCE_DIR   (exit status: pytest's; 77 (skipped) without pip or
pytest for this Python)
"""
import importlib.util
import os
import subprocess
import sys
import tempfile


def main(library, source):
    missing = [name for name in ("pip", "pytest") if importlib.util.find_spec(name) is None]
    if missing:
        print(f"skipped: {sys.executable} has no {' or '.join(missing)}")
        return 77
    with tempfile.TemporaryDirectory() as folder:
        wheel = subprocess.run([sys.executable, f"{source}/packaging/python/wheel_backend.py", "wheel",
                                library, "local", folder], check=True, capture_output=True,
                               text=True).stdout.strip()
        subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "--no-deps", "--no-index",
                        "--target", f"{folder}/site-packages", f"{folder}/{wheel}"], check=True)
        return subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                               f"{source}/python/tests"], cwd=folder,
                              env=dict(os.environ, PYTHONPATH=f"{folder}/site-packages")).returncode


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
