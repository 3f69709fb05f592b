"""Every GPU of every node of a Slurm cluster, each with a seed of its own, checked through Slurm's
own client commands: one job step for all of them (srun --multi-prog, one task per GPU, each task
bound to its GPU by Slurm), every report verified here, one record per GPU, and nodes that did not
pass drained on request."""

import os
import re
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, List, Optional, Sequence, Tuple

from . import new_seed
from .fleet import Record, append, judge, now, summary, unchecked

#: States in which a node takes a job; a node in any other (down, drained, failed...) is skipped.
RUNNABLE_STATES = ("idle", "mixed", "allocated", "completing")
REASON_CHARACTERS = 120


class SlurmError(Exception):
    """A Slurm command failed; the message is its own."""


@dataclass(frozen=True)
class Node:
    name: str
    gpus: int
    used: int  # GPUs held by jobs
    state: str
    reason: str


def slurm(*command: str, timeout: Optional[float] = 120) -> str:
    try:
        ran = subprocess.run(command, capture_output=True, text=True, errors="replace", timeout=timeout)
    except (OSError, subprocess.TimeoutExpired) as error:
        raise SlurmError(f"{command[0]}: {error}") from None
    if ran.returncode != 0:
        said = (ran.stderr or ran.stdout).strip().splitlines() or [f"status {ran.returncode}"]
        raise SlurmError(f"{command[0]}: {said[-1]}")
    return ran.stdout


def gpu_count(gres: str) -> int:
    """The GPUs in a GRES text such as "gpu:2", "gpu:a100:4(S:0-1)" or "gpu:(null):1(IDX:0)"."""
    return sum(int(count) for count in re.findall(r"(?:^|,)gpu(?::[^:,(]*)?:(\d+)", gres))


def cluster_nodes(partition: Optional[str], hostlist: Optional[str]) -> List[Node]:
    """The named nodes, or every node of the partition (the default one if none is named) that
    has gpu GRES."""
    command = ["sinfo", "-h", "-N", "-O", "NodeList:|,Gres:|,GresUsed:|,StateLong:|,Reason:"]
    if not hostlist:
        if not partition:
            defaults = [name[:-1] for name in slurm("sinfo", "-h", "-o", "%P").split() if name.endswith("*")]
            if not defaults:
                raise SlurmError("sinfo: the cluster has no default partition: name one with --partition")
            partition = defaults[0]
        command += ["-p", partition]
    found: Dict[str, Node] = {}
    for line in slurm(*command).splitlines():
        name, gres, used, state, reason = (field.strip() for field in line.split("|", 4))
        found.setdefault(name, Node(name, gpu_count(gres), gpu_count(used), state, reason.rstrip("|").strip()))
    if not hostlist:
        return [node for node in found.values() if node.gpus > 0]
    # Every node is listed (sinfo refuses a list with a name it does not know): a named node that
    # Slurm does not know is kept, to be skipped with that said.
    named = slurm("scontrol", "show", "hostnames", hostlist).split()
    if not named:
        raise SlurmError(f"scontrol show hostnames: {hostlist!r} names no node")
    return [found.get(name, Node(name, 0, 0, "unknown to Slurm", "")) for name in named]


def why_skipped(node: Node) -> Optional[str]:
    """Why the node is not run, or None."""
    if node.state.rstrip("*~#!%$@^-") not in RUNNABLE_STATES or node.state.endswith("*"):
        return f"{node.state}: {node.reason}" if node.reason not in ("", "none") else node.state
    if node.gpus == 0:
        return "no gpu GRES"
    if node.used > 0:
        return f"busy: {node.used} of {node.gpus} GPUs held by other jobs"
    return None


def srun_statuses(stderr: str) -> Tuple[Dict[int, str], List[str]]:
    """From srun's own lines: each task's ending that it names ("Exited with exit code N",
    "Killed", ...), and its other error lines."""
    endings: Dict[int, str] = {}
    others = []
    for line in stderr.splitlines():
        found = re.match(r"srun: error: \S+: tasks? ([\d,-]+): (.*)$", line)
        if not found:
            if line.startswith("srun:"):
                others.append(line)
            continue
        for part in found.group(1).split(","):
            first, _, last = part.partition("-")
            for task in range(int(first), int(last or first) + 1):
                endings[task] = found.group(2)
    return endings, others


def labelled(output: str) -> Dict[int, List[str]]:
    """srun --label's lines, by task."""
    lines: Dict[int, List[str]] = {}
    for line in output.splitlines():
        found = re.match(r"\s*(\d+): ?(.*)$", line)
        if found:
            lines.setdefault(int(found.group(1)), []).append(found.group(2))
    return lines


def check_nodes(nodes: Sequence[Node], helper: str, units: int, timeout: int) -> List[Record]:
    """One job step over the nodes, a task per GPU; a record per GPU."""
    tasks = [(node, slot, new_seed()) for node in nodes for slot in range(node.gpus)]
    with tempfile.TemporaryDirectory(prefix="mavo-edge-fleet-") as folder:
        hostfile, programs = Path(folder, "hosts"), Path(folder, "programs")
        hostfile.write_text("".join(f"{node.name}\n" for node, _, _ in tasks))
        programs.write_text("".join(
            f"{index} env CUDA_DEVICE_ORDER=PCI_BUS_ID timeout -k 5 {timeout} {helper} --seed {seed} "
            f"--units {units} --json\n" for index, (_, _, seed) in enumerate(tasks)))
        issued = now()
        command = ["srun", "--immediate", "--job-name=mavo-edge-fleet", "--distribution=arbitrary",
                   f"--ntasks={len(tasks)}", "--gpus-per-task=1", "--cpus-per-task=1", "--label", "--no-kill",
                   "--kill-on-bad-exit=0", f"--time={(timeout + 119) // 60}", "--multi-prog", str(programs)]
        try:
            ran = subprocess.run(command, capture_output=True, env={**os.environ, "SLURM_HOSTFILE": str(hostfile)},
                                 timeout=timeout + 60)
            stdout, stderr, srun_status = ran.stdout, ran.stderr, ran.returncode
        except subprocess.TimeoutExpired as expired:  # srun outlived every task's limit
            stdout, stderr, srun_status = expired.stdout or b"", expired.stderr or b"", None
    said = stderr.decode("utf-8", "replace")
    out, err = labelled(stdout.decode("utf-8", "surrogateescape")), labelled(said)
    endings, srun_errors = srun_statuses(said)
    if srun_status not in (None, 0) and not out and not endings and srun_errors:
        raise SlurmError(f"srun: {srun_errors[-1].removeprefix('srun: error: ')}")
    records = []
    for index, (node, slot, seed) in enumerate(tasks):
        ending = endings.get(index, "")
        found = re.match(r"Exited with exit code (\d+)", ending)
        status = int(found.group(1)) if found else (0 if not ending and index in out else None)
        no_answer = f"no answer within {timeout} s"
        if status is None and ending:
            no_answer = f"ended by Slurm: {ending}"
        elif status is None:
            failed = [line for line in srun_errors if node.name in line]
            no_answer = failed[-1] if failed else no_answer
        if status in (124, 137):  # timeout's own status, or its SIGKILL
            status = None
        records.append(judge("slurm", node.name, slot, seed, units, issued, status,
                             "\n".join(out.get(index, [])).encode("utf-8", "surrogateescape") + b"\n",
                             "\n".join(err.get(index, [])).encode(), no_answer))
    return records


def drain(records: Sequence[Record]) -> List[Tuple[str, str]]:
    """Drains each node with a GPU that did not pass, with the first such GPU's verdict and detail."""
    drained: Dict[str, str] = {}
    for record in records:
        if record.verdict not in ("passed", "skipped") and record.machine not in drained:
            reason = f"mavo-edge: {record.verdict}: {record.detail}"
            if len(reason) > REASON_CHARACTERS:
                reason = reason[:REASON_CHARACTERS - 3] + "..."
            slurm("scontrol", "update", f"NodeName={record.machine}", "State=DRAIN", f"Reason={reason}")
            drained[record.machine] = reason
    return list(drained.items())


def run(partition: Optional[str], hostlist: Optional[str], units: int, helper: str, timeout: int,
        drain_failed: bool, records_file: Optional[str]) -> int:
    """The command: records on standard output (or appended to records_file), the summary on
    standard error; 0 when every GPU checked passed, 1 otherwise or when a Slurm command failed."""
    written: List[Record] = []

    def write(records: List[Record]) -> None:
        written.extend(records)
        if records_file:
            append(records_file, records)
        else:
            sys.stdout.write("".join(record.line() + "\n" for record in records))
            sys.stdout.flush()

    try:
        nodes = cluster_nodes(partition, hostlist)
        skipped = {node.name: why for node in nodes if (why := why_skipped(node))}
        write([unchecked("slurm", name, "skipped", why) for name, why in skipped.items()])
        runnable = [node for node in nodes if node.name not in skipped]
        if sys.stderr.isatty():
            print(f"mavo-edge-fleet: checking {sum(node.gpus for node in runnable)} GPUs on "
                  f"{len(runnable)} nodes ({len(skipped)} skipped)...", file=sys.stderr, flush=True)
        if runnable:
            write(check_nodes(runnable, helper, units, timeout))
        drained = drain(written) if drain_failed else []
    except SlurmError as error:
        print(f"mavo-edge-fleet: {error}", file=sys.stderr)
        return 1
    sys.stderr.write(summary(written))
    for node, reason in drained:
        print(f"drained {node}: {reason}", file=sys.stderr)
    return 0 if all(record.verdict in ("passed", "skipped") for record in written) else 1
