"""Checks of a fleet's GPUs, whatever engine runs them: one record per GPU checked, judged here on
the coordinator, written as one JSON line each, and the summary of any records.

    mavo-edge-fleet slurm [--partition NAME] [--nodes HOSTLIST] [--units N] [--helper PATH]
                          [--timeout SECONDS] [--drain] [--records FILE]
    mavo-edge-fleet summary FILE...

The first checks every GPU of a Slurm cluster's nodes (see mavo_edge.slurm); the second prints the
summary of the records in the files (JSON Lines, as the engines write them). Each exits with status
0 when every GPU checked passed (skipped machines aside), 1 when one did not, a Slurm command
failed or a file could not be read, 2 for a usage error.
"""

import argparse
import fcntl
import json
import statistics
import sys
from dataclasses import dataclass
from datetime import datetime, timezone
from typing import Any, Dict, Iterable, List, Optional, Sequence

from . import MAX_UNITS, MalformedReport, ReportMismatch, check_report

SCHEMA = 1
#: The verdicts, best first.
VERDICTS = ("passed", "mismatch", "malformed", "failed", "no-answer", "skipped")
STDERR_BYTES = 4096


def now() -> str:
    """The time in UTC, as records give it: RFC 3339 with milliseconds."""
    return datetime.now(timezone.utc).isoformat(timespec="milliseconds").replace("+00:00", "Z")


@dataclass(frozen=True)
class Record:
    """What one check of one GPU showed; a machine that was not run has one, with no task."""

    engine: str
    machine: str
    task: Optional[int]
    seed: Optional[str]
    units: Optional[int]
    issued: Optional[str]
    answered: Optional[str]
    exit_status: Optional[int]
    stderr: str
    verdict: str
    detail: str
    report: Optional[Dict[str, Any]]

    def line(self) -> str:
        """The record as its JSON line (without the line end), schema first."""
        return json.dumps({"schema": SCHEMA, **self.__dict__})

    @classmethod
    def from_line(cls, line: str) -> "Record":
        """A record from its JSON line; ValueError when the line is not one."""
        values = json.loads(line)
        if not isinstance(values, dict) or values.pop("schema", None) != SCHEMA:
            raise ValueError(f"not a record of schema {SCHEMA}")
        try:
            record = cls(**values)
        except TypeError as error:
            raise ValueError(f"not a record: {error}") from None
        if record.verdict not in VERDICTS:
            raise ValueError(f"unknown verdict {record.verdict!r}")
        return record


def unchecked(engine: str, machine: str, verdict: str, detail: str) -> Record:
    """The record of a machine whose GPUs were not checked (skipped, unreachable...)."""
    return Record(engine, machine, None, None, None, None, now(), None, "", verdict, detail, None)


def _text(output: bytes) -> str:
    return output[:STDERR_BYTES].decode("utf-8", "replace")


def judge(engine: str, machine: str, task: int, seed: str, units: int, issued: str,
          exit_status: Optional[int], stdout: bytes, stderr: bytes, no_answer: str = "") -> Record:
    """The record of one helper run: its report checked against the seed and unit count when it
    exited with status 0, its failure line otherwise. exit_status None (with no_answer saying why)
    is a run that did not end in time, or never started."""
    def record(verdict: str, detail: str, report: Optional[Dict[str, Any]] = None) -> Record:
        return Record(engine, machine, task, seed, units, issued, now(), exit_status, _text(stderr),
                      verdict, detail, report)

    if exit_status is None:
        return record("no-answer", no_answer)
    if exit_status != 0:
        lines = _text(stderr).strip().splitlines()
        return record("failed", lines[-1] if lines else f"exit status {exit_status}, nothing said")
    try:
        return record("passed", "", check_report(stdout, seed, units).__dict__)
    except ReportMismatch as mismatch:
        return record("mismatch", str(mismatch).replace("\n", "; "), mismatch.report.__dict__)
    except MalformedReport as malformed:
        return record("malformed", str(malformed))


def append(path: str, records: Iterable[Record]) -> None:
    """Appends the records' lines to a file whole, under an exclusive lock: many writers at once
    never interleave their lines."""
    text = "".join(record.line() + "\n" for record in records)
    with open(path, "a", encoding="utf-8") as file:
        fcntl.flock(file, fcntl.LOCK_EX)
        file.write(text)


def summary(records: Sequence[Record]) -> str:
    """Per GPU name: the GPUs checked, passed and not passed, the median and largest duration_ms;
    then every check not passed, with why, and every machine skipped, with why."""
    checked = [record for record in records if record.verdict != "skipped"]
    groups: Dict[str, List[Record]] = {}
    for record in checked:
        name = record.report["gpu_name"] if record.report else "(no report)"
        groups.setdefault(name, []).append(record)
    width = max([len("GPU")] + [len(name) for name in groups])
    lines = [f"{'GPU':<{width}}  count  passed  not passed  median ms  largest ms"]
    for name, group in sorted(groups.items()):
        durations = [record.report["duration_ms"] for record in group if record.report]
        passed = sum(record.verdict == "passed" for record in group)
        median = f"{statistics.median(durations):g}" if durations else "-"
        largest = str(max(durations)) if durations else "-"
        lines.append(f"{name:<{width}}  {len(group):>5}  {passed:>6}  {len(group) - passed:>10}  "
                     f"{median:>9}  {largest:>10}")
    failed = [record for record in checked if record.verdict != "passed"]
    lines.append(f"not passed: {len(failed)} of {len(checked)}")
    for record in failed:
        where = record.machine if record.task is None else f"{record.machine} GPU {record.task}"
        lines.append(f"  {where}: {record.verdict}{': ' + record.detail if record.detail else ''}")
    skipped = [record for record in records if record.verdict == "skipped"]
    if skipped:
        lines.append(f"skipped: {len(skipped)} machines")
        lines.extend(f"  {record.machine}: {record.detail}" for record in skipped)
    return "\n".join(lines) + "\n"


def read_records(paths: Sequence[str]) -> List[Record]:
    records = []
    for path in paths:
        with open(path, encoding="utf-8") as file:
            for number, line in enumerate(file, 1):
                try:
                    records.append(Record.from_line(line))
                except ValueError as error:
                    raise ValueError(f"{path}:{number}: {error}") from None
    return records


def main(arguments: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="mavo-edge-fleet", description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    slurm_command = commands.add_parser(
        "slurm", help="check every GPU of every node of a Slurm cluster",
        description="Checks every GPU of the nodes in one job step, each with a seed of its own, and "
                    "verifies every report here. Records on standard output (or appended to --records), "
                    "the summary on standard error.")
    slurm_command.add_argument("--partition", help="the nodes of this partition (default: the default one) "
                                                   "that have gpu GRES")
    slurm_command.add_argument("--nodes", metavar="HOSTLIST", help="these nodes instead, e.g. gpu[01-16],dgx3")
    slurm_command.add_argument("--units", type=int, default=100000000, help="units a check (default 100000000)")
    slurm_command.add_argument("--helper", default="mavo-edge-gpu-helper",
                               help="the helper on the nodes (default: mavo-edge-gpu-helper on their PATH)")
    slurm_command.add_argument("--timeout", type=int, default=120, metavar="SECONDS",
                               help="the longest one check may take, start-up included (default 120)")
    slurm_command.add_argument("--drain", action="store_true",
                               help="drain each node with a GPU that did not pass")
    slurm_command.add_argument("--records", metavar="FILE", help="append the records to FILE")
    summary_command = commands.add_parser("summary", help="the summary of records files")
    summary_command.add_argument("files", nargs="+", metavar="FILE")
    options = parser.parse_args(arguments)
    if options.command == "slurm":
        if not 1 <= options.units <= MAX_UNITS or options.timeout < 1:
            parser.error(f"--units must be 1 to {MAX_UNITS}, --timeout 1 or more")
        from .slurm import run  # the Slurm command's own module, loaded only for it

        return run(options.partition, options.nodes, options.units, options.helper, options.timeout,
                   options.drain, options.records)
    try:
        records = read_records(options.files)
    except (OSError, ValueError) as error:
        print(f"mavo-edge-fleet: {error}", file=sys.stderr)
        return 1
    sys.stdout.write(summary(records))
    return 0 if all(record.verdict in ("passed", "skipped") for record in records) else 1


if __name__ == "__main__":
    sys.exit(main())
