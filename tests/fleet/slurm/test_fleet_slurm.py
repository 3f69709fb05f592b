"""mavo-edge-fleet slurm and mavo-edge-healthcheck against a real Slurm started here (cluster.py): each node named after its row, the helper a wrapper that plants the row's fault into
the stand-in helper by the node's name (or runs the GPU simulator's build). Run by
tests/fleet/run.sh, which provides the environment."""
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

from cluster import Cluster

STANDIN, FAKES, VERIFY, SIMULATOR = (os.environ[name] for name in (
    "MAVO_STANDIN_HELPER", "MAVO_GPU_FAKES", "MAVO_VERIFY", "MAVO_SIMULATOR_HELPER"))
TIMEOUT = 5
# node, the verdict of each GPU (one "skipped" for a node not run), the node's reason afterwards
# (None: not drained), what its records' detail starts with
ROWS = [
    ("good", ["passed", "passed"], None, ""),
    ("flip", ["passed", "mismatch"], "mavo-edge: mismatch: xor_value: expected ", "xor_value: expected "),
    ("cuda", ["failed", "failed"], "mavo-edge: failed: mavo-edge-gpu-helper: cudaMalloc xor: ",
     "mavo-edge-gpu-helper: cudaMalloc xor: "),
    ("hang", ["no-answer", "no-answer"], f"mavo-edge: no-answer: no answer within {TIMEOUT} s",
     f"no answer within {TIMEOUT} s"),
    ("sim", ["passed", "passed"], None, ""),
    ("maint", ["skipped"], "maintenance window", "drained: maintenance window"),
    ("busy", ["skipped"], None, "busy: 2 of 2 GPUs held by other jobs"),
]
# What the helper does on each node, before it runs the stand-in helper.
WRAPPER = f"""#!/bin/sh
case "$SLURMD_NODENAME" in
    flip) [ "$CUDA_VISIBLE_DEVICES" != 1 ] || export CUDA_STANDIN_SCENARIO=flip=4 ;;
    hc-bad) export CUDA_STANDIN_SCENARIO=flip=4 ;;
    cuda) export CUDA_STANDIN_SCENARIO='fail=cudaMalloc#1:2' ;;
    hang) export CUDA_STANDIN_SCENARIO='delay=cudaDeviceSynchronize#1:600000' ;;
    sim) exec {SIMULATOR} "$@" ;;
esac
exec {STANDIN} "$@"
"""


def fleet(cluster, *arguments):
    return subprocess.run([sys.executable, "-m", "mavo_edge.fleet", "slurm", *arguments], env=cluster.env,
                          capture_output=True, text=True)


def helper_in(folder):
    helper = folder / "helper"
    helper.write_text(WRAPPER)
    helper.chmod(0o755)
    return helper


@pytest.fixture(scope="module")
def checked(tmp_path_factory):
    folder = tmp_path_factory.mktemp("slurm")
    (folder / "cluster").mkdir()
    with Cluster(folder / "cluster", [row[0] for row in ROWS]) as cluster:
        cluster.run("scontrol", "update", "NodeName=maint", "State=DRAIN", "Reason=maintenance window")
        cluster.run("sbatch", "-w", "busy", "--gres=gpu:2", "--output=/dev/null", "--wrap", "sleep 600")
        cluster.wait_for(lambda: cluster.node_states()["busy"] != "idle", "the busy node's job")
        started = time.monotonic()
        ran = fleet(cluster, "--drain", "--units", "1000", "--timeout", str(TIMEOUT),
                    "--helper", str(helper_in(folder)))
        seconds = time.monotonic() - started
        reasons = {row[0]: cluster.reason(row[0]) for row in ROWS}
        states = cluster.node_states()
        named = fleet(cluster, "--nodes", "nosuch,good", "--units", "1000", "--helper", str(helper_in(folder)))
    yield ran, seconds, reasons, states, named


@pytest.mark.parametrize("node, verdicts, reason, detail", ROWS, ids=[row[0] for row in ROWS])
def test_every_gpu_of_every_node(checked, node, verdicts, reason, detail):
    ran, _, reasons, states, _ = checked
    records = [json.loads(line) for line in ran.stdout.splitlines()]
    mine = [record for record in records if record["machine"] == node]
    assert [record["verdict"] for record in mine] == verdicts, ran.stderr
    assert all(record["detail"].startswith(detail) if record["verdict"] != "passed" else record["detail"] == ""
               for record in mine)
    assert [record["task"] for record in mine] == ([None] if verdicts == ["skipped"] else [0, 1])
    assert (reasons[node] if reason is not None else "none").startswith(reason or "none")
    assert ("drain" in states[node]) == (reason is not None)
    if node == "sim":
        assert all(record["report"]["gpu_name"].startswith("GPGPU-Sim") for record in mine)


def test_the_command_as_a_whole(checked):
    ran, seconds, _, _, named = checked
    keys = ["schema", "engine", "machine", "task", "seed", "units", "issued", "answered", "exit_status",
            "stderr", "verdict", "detail", "report"]
    assert all(list(json.loads(line)) == keys for line in ran.stdout.splitlines())
    assert ran.returncode == 1 and seconds < TIMEOUT + 60, ran.stderr
    assert "drained flip: mavo-edge: mismatch: " in ran.stderr
    # Nodes by hostlist, one of them unknown: skipped, the other checked.
    assert [(record["machine"], record["verdict"], record["detail"]) for record in map(json.loads,
            named.stdout.splitlines())] == [("nosuch", "skipped", "unknown to Slurm"), ("good", "passed", ""),
                                            ("good", "passed", "")] and named.returncode == 0, named.stderr


def test_no_controller(tmp_path):
    conf = tmp_path / "slurm.conf"
    conf.write_text("ClusterName=none\nSlurmctldHost=localhost(127.0.0.1)\nSlurmctldPort=9\n"
                    "AuthType=auth/none\nNodeName=n1 CPUs=1\nPartitionName=p Nodes=n1 Default=YES\n")
    ran = subprocess.run([sys.executable, "-m", "mavo_edge.fleet", "slurm"], capture_output=True, text=True,
                         env={**os.environ, "SLURM_CONF": str(conf)}, timeout=120)
    assert ran.returncode == 1 and ran.stdout == ""
    assert ran.stderr.startswith("mavo-edge-fleet: sinfo: ") and "Unable to contact slurm controller" in ran.stderr


def test_health_check_run_by_slurmd(tmp_path):
    """slurmd runs the health check every few seconds: it drains the node whose GPU check fails and
    leaves the other alone."""
    installed = tmp_path / "bin"
    installed.mkdir()
    (installed / "mavo-edge-gpu-helper").symlink_to(helper_in(tmp_path))
    (installed / "mavo-edge-verify").symlink_to(VERIFY)
    (installed / "mavo-edge-healthcheck").symlink_to(Path(__file__).parents[3] / "packaging" / "slurm" /
                                                   "mavo-edge-healthcheck")
    # slurmd gives the program an environment of its own: the node's own would have the stand-in
    # nvidia-smi on PATH and this cluster's configuration.
    program = tmp_path / "health_check"
    program.write_text(f"#!/bin/sh\nPATH={FAKES}:$PATH SLURM_CONF={tmp_path / 'cluster' / 'slurm.conf'} "
                       f"exec {installed / 'mavo-edge-healthcheck'}\n")
    program.chmod(0o755)
    (tmp_path / "cluster").mkdir()
    with Cluster(tmp_path / "cluster", ["hc-good", "hc-bad"], gpus=1, health_check=str(program)) as cluster:
        cluster.wait_for(lambda: "drain" in cluster.node_states()["hc-bad"], "the failing node drained", 60)
        time.sleep(6)  # a health check more on the passing node
        assert cluster.node_states()["hc-good"] == "idle"
        assert cluster.reason("hc-bad").startswith("mavo-edge: GPU 0: ")
