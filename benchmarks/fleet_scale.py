#!/usr/bin/env python3
"""The coordinator's own cost of mavo-edge-fleet slurm on the largest cluster this machine holds:
clusters of NODES x 2 GPUs (tests/fleet/slurm/cluster.py), the stand-in helper on every GPU, and
for each: the command's wall time beyond its slowest helper (each helper's own wall time as a
wrapper around it measures it), the most processes the command had at once (itself and what it
started, on the coordinator), and their largest summed resident memory.

    fleet_scale.py STANDIN_HELPER [NODES...]      (as root; default 8 16 32; needs mavo_edge importable)
"""
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "fleet" / "slurm"))
from cluster import Cluster  # noqa: E402


def tree(root: int):
    """The pids of root and of everything it started, with their resident memory in kB."""
    children = {}
    for status in Path("/proc").glob("[0-9]*/status"):
        try:
            fields = dict(line.split(":\t", 1) for line in status.read_text().splitlines() if ":\t" in line)
        except OSError:
            continue
        children.setdefault(int(fields["PPid"]), []).append((int(status.parent.name),
                                                             int(fields.get("VmRSS", "0 kB").split()[0])))
    found, pending = [], [(root, 0)]
    while pending:
        pid, rss = pending.pop()
        found.append((pid, rss))
        pending.extend(children.get(pid, []))
    return found


def measure(standin: str, nodes: int, folder: Path):
    helper = folder / "helper"
    times = folder / "times"
    times.mkdir()
    # Each helper's own start and end, in a file of its own.
    helper.write_text(f"#!/bin/sh\nstart=$(date +%s.%N)\n{standin} \"$@\"\nstatus=$?\n"
                      f"echo $start $(date +%s.%N) > {times}/$SLURMD_NODENAME-$SLURM_LOCALID\nexit $status\n")
    helper.chmod(0o755)
    (folder / "cluster").mkdir()
    with Cluster(folder / "cluster", [f"node{index:03}" for index in range(nodes)]) as cluster:
        started = time.time()
        command = subprocess.Popen([sys.executable, "-m", "mavo_edge.fleet", "slurm", "--units", "1000000",
                                    "--helper", str(helper), "--records", str(folder / "records")],
                                   env=cluster.env, stderr=subprocess.PIPE, text=True)
        processes = memory = 0
        while command.poll() is None:
            sampled = [(pid, rss) for pid, rss in tree(command.pid)]
            processes, memory = max(processes, len(sampled)), max(memory, sum(rss for _, rss in sampled))
            time.sleep(0.02)
        ended = time.time()
        stderr = command.stderr.read()
    spans = [tuple(map(float, path.read_text().split())) for path in times.iterdir()]
    slowest = max(end - start for start, end in spans)
    passed = sum(1 for line in (folder / "records").read_text().splitlines() if '"verdict": "passed"' in line)
    return ended - started, slowest, processes, memory, passed, len(spans), stderr


def main(standin, *node_counts):
    print("nodes x GPUs  passed  wall s  slowest helper s  beyond it s  processes  memory MB")
    for nodes in map(int, node_counts or (8, 16, 32)):
        with tempfile.TemporaryDirectory(prefix="fleet-scale-") as folder:
            wall, slowest, processes, memory, passed, ran, stderr = measure(standin, nodes, Path(folder))
        if passed != nodes * 2:
            print(f"{nodes} x 2: {passed} of {ran} passed:\n{stderr}")
            return 1
        print(f"{nodes:>5} x 2     {passed:>6}  {wall:>6.2f}  {slowest:>16.2f}  {wall - slowest:>11.2f}  "
              f"{processes:>9}  {memory / 1024:>9.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
