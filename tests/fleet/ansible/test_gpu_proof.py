"""mavo.edge.gpu_proof through the real engine: one ansible-playbook run over hosts on the local
connection and over ssh to an sshd of the test's own, each host's helper a wrapper that plants its
row's fault into the stand-in helper (or runs the simulator's build), then the records and the
recap checked against the table. Run by tests/fleet/run.sh, which provides the environment (the
collection found through ANSIBLE_COLLECTIONS_PATH, the Python package through PYTHONPATH)."""
import json
import os
import re
import shutil
import subprocess
import sys
from datetime import datetime, timedelta
from pathlib import Path

import pytest

from mavo_edge import fleet

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "slurm"))
from cluster import free_port  # noqa: E402

STANDIN, FAKES, SIMULATOR = (os.environ[name] for name in (
    "MAVO_STANDIN_HELPER", "MAVO_GPU_FAKES", "MAVO_SIMULATOR_HELPER"))  # FAKES: nvidia-smi, for gpus: all
FLEET = [f"fleet-{number:02}" for number in range(30)]

# What each host's helper does, as a shell line before it runs the stand-in helper.
WRAPPERS = {
    "good": "",
    "flip_on_gpu_1": '[ "$CUDA_VISIBLE_DEVICES" != 1 ] || export CUDA_STANDIN_SCENARIO=flip=4',
    "cuda_failure": "export CUDA_STANDIN_SCENARIO='fail=cudaMalloc#1:2'",
    "hang": "export CUDA_STANDIN_SCENARIO='delay=cudaDeviceSynchronize#1:600000'",
}
# host, its variables, the verdict of each GPU, how Ansible ends the host, what its failure says
ROWS = [
    ("listed", {"helper": "good"}, ["passed"], "ok", None),
    ("two-gpus", {"helper": "good", "gpus": 2}, ["passed", "passed"], "ok", None),
    ("wrong-digest", {"helper": "flip_on_gpu_1", "gpus": 2}, ["passed", "mismatch"], "failed",
     "1 of 2 checks not passed: GPU 1: mismatch (xor_value: expected "),
    ("cuda-failure", {"helper": "cuda_failure"}, ["failed"], "failed",
     "1 of 1 checks not passed: GPU 0: failed (mavo-edge-gpu-helper: cudaMalloc xor: "),
    ("hang", {"helper": "hang", "timeout": 3}, ["no-answer"], "failed",
     "1 of 1 checks not passed: GPU 0: no-answer (no answer within 3 s)"),
    ("simulated", {"helper": "simulator", "gpus": 1, "units": 3}, ["passed"], "ok", None),
    ("over-ssh", {"helper": "good", "gpus": 2, "over_ssh": True}, ["passed", "passed"], "ok", None),
    ("unreachable", {"over_ssh": True, "closed_port": True}, ["no-answer"], "unreachable", None),
] + [(name, {"helper": "good", "gpus": 2}, ["passed", "passed"], "ok", None) for name in FLEET]


def write_helpers(folder):
    for name, line in WRAPPERS.items():
        (folder / name).write_text(f"#!/bin/sh\n{line}\nexec {STANDIN} \"$@\"\n")
        (folder / name).chmod(0o755)
    (folder / "simulator").symlink_to(SIMULATOR)


def start_sshd(folder):
    """sshd on a port of its own, letting in root with a key made for this test; (process, port)."""
    for key in ("host_key", "client_key"):
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", folder / key], check=True)
    shutil.copy(folder / "client_key.pub", folder / "authorized_keys")
    port = free_port()
    (folder / "sshd_config").write_text(
        f"Port {port}\nListenAddress 127.0.0.1\nHostKey {folder / 'host_key'}\n"
        f"AuthorizedKeysFile {folder / 'authorized_keys'}\nPidFile {folder / 'sshd.pid'}\n"
        "PermitRootLogin prohibit-password\nPasswordAuthentication no\nKbdInteractiveAuthentication no\n"
        "UsePAM no\nStrictModes no\n")
    Path("/run/sshd").mkdir(exist_ok=True)  # its privilege separation folder
    sshd = subprocess.Popen(["/usr/sbin/sshd", "-D", "-e", "-f", folder / "sshd_config"],
                            stderr=open(folder / "sshd.log", "wb"))
    return sshd, port


def inventory(folder, helpers, ssh_port):
    hosts = {}
    for host, variables, _, _, _ in ROWS:
        values = {"ansible_connection": "local"}
        if variables.get("over_ssh"):
            values = {"ansible_connection": "ssh", "ansible_host": "127.0.0.1", "ansible_user": "root",
                      "ansible_port": free_port() if variables.get("closed_port") else ssh_port,
                      "ansible_ssh_private_key_file": str(folder / "client_key"),
                      "ansible_ssh_common_args": "-o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null"}
        values.update({key: value for key, value in variables.items() if key in ("gpus", "units", "timeout")})
        if "helper" in variables:
            values["helper"] = str(helpers / variables["helper"])
        hosts[host] = values
    path = folder / "inventory.json"
    path.write_text(json.dumps({"all": {"hosts": hosts}}))
    return path


def ansible_playbook(folder, inventory_path, *options, env=None):
    """Each host's task result (Ansible's tree callback), its counts in the play recap, and the
    status."""
    playbook = folder / "playbook.yml"
    playbook.write_text(
        "- hosts: all\n  gather_facts: false\n  tasks:\n    - mavo.edge.gpu_proof:\n"
        "        helper: \"{{ helper | default('mavo-edge-gpu-helper') }}\"\n"
        "        gpus: \"{{ gpus | default('all') }}\"\n        units: \"{{ units | default(1000) }}\"\n"
        "        timeout: \"{{ timeout | default(60) }}\"\n        records: \"{{ records_file }}\"\n")
    ran = subprocess.run(
        [Path(sys.executable).with_name("ansible-playbook"), "-i", inventory_path, playbook,
         "-e", f"records_file={folder / 'records.jsonl'}", *options], capture_output=True, text=True,
        env={**os.environ, "ANSIBLE_CALLBACKS_ENABLED": "ansible.builtin.tree", "ANSIBLE_CALLBACK_TREE_DIR": str(folder / "tree"),
             "PATH": f"{FAKES}:{os.environ['PATH']}", **(env or {})})
    recap = {found.group(1): {key: int(value) for key, value in re.findall(r"(\w+)=(\d+)", found.group(2))}
             for found in re.finditer(r"(?m)^(\S+)\s+: (ok=.*)$", ran.stdout)}
    assert recap, ran.stdout + ran.stderr
    tree = folder / "tree"
    results = {path.name: json.loads(path.read_text()) for path in tree.iterdir()} if tree.exists() else {}
    return results, recap, ran.returncode


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    folder = tmp_path_factory.mktemp("ansible")
    helpers = folder / "helpers"
    helpers.mkdir()
    write_helpers(helpers)
    sshd, port = start_sshd(folder)
    try:
        results, recap, status = ansible_playbook(folder, inventory(folder, helpers, port), "--forks", "10")
    finally:
        sshd.terminate()
        sshd.wait()
    records = [fleet.Record.from_line(line) for line in (folder / "records.jsonl").read_text().splitlines()]
    yield folder, results, recap, status, records


@pytest.mark.parametrize("host, variables, verdicts, ending, message", ROWS, ids=[row[0] for row in ROWS])
def test_every_gpu_of_every_host(run, host, variables, verdicts, ending, message):
    _, results, recap, _, records = run
    stats, result = recap[host], results.get(host, {})
    mine = [record for record in records if record.machine == host]
    assert [record.verdict for record in mine] == verdicts
    assert {"ok": stats["failed"] + stats["unreachable"] == 0, "failed": stats["failed"] == 1,
            "unreachable": stats["unreachable"] == 1}[ending]
    if ending != "unreachable":
        assert [check["verdict"] for check in result["checks"]] == verdicts
        assert [check["task"] for check in result["checks"]] == list(range(len(verdicts)))
        assert result["passed"] == (ending == "ok")
        assert message is None or result["msg"].startswith(message)
    for record in mine:
        assert record.engine == "ansible" and (record.verdict == "passed") == (record.detail == "")
    if host == "hang":
        taken = datetime.fromisoformat(mine[0].answered[:-1]) - datetime.fromisoformat(mine[0].issued[:-1])
        assert taken < timedelta(seconds=3 + 5 + 5)  # the limit, timeout's grace, and slack
    if host == "simulated":
        assert mine[0].report["gpu_name"].startswith("GPGPU-Sim")


def test_records_whole_and_seeds_fresh(run):
    folder, _, _, status, records = run
    assert status != 0  # some hosts failed
    lines = (folder / "records.jsonl").read_text().splitlines()
    assert len(lines) == len(records) == sum(len(row[2]) for row in ROWS)
    seeds = [record.seed for record in records if record.seed]
    assert len(set(seeds)) == len(seeds)
    assert fleet.main(["summary", str(folder / "records.jsonl")]) == 1


def test_check_mode_runs_nothing(tmp_path):
    (tmp_path / "inventory.json").write_text(json.dumps(
        {"all": {"hosts": {"listed": {"ansible_connection": "local", "helper": "/nonexistent"}}}}))
    _, recap, status = ansible_playbook(tmp_path, tmp_path / "inventory.json", "--check")
    assert status == 0 and recap["listed"]["skipped"] == 1
    assert not (tmp_path / "records.jsonl").exists()


def test_controller_without_the_package(tmp_path):
    (tmp_path / "inventory.json").write_text(json.dumps(
        {"all": {"hosts": {"listed": {"ansible_connection": "local"}}}}))
    results, recap, _ = ansible_playbook(tmp_path, tmp_path / "inventory.json", env={"PYTHONPATH": ""})
    assert recap["listed"]["failed"] == 1
    assert results["listed"]["msg"].endswith("install it there with pip install mavo-edge-verify")
