"""A Slurm cluster on this one machine, for the fleet tests and the scale figure: munged, slurmctld
and one slurmd per node (slurmd -N), each on a port of its own, with folders of its own, every
node with stand-in GPU devices (character devices made with mknod) as its gpu GRES. Every daemon
is stopped by its pid."""
import os
import signal
import socket
import subprocess
import time
from pathlib import Path
from typing import Dict, List, Optional


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Cluster:
    def __init__(self, folder: Path, nodes: List[str], gpus: int = 2, health_check: Optional[str] = None):
        self.folder, self.nodes, self.gpus = folder, nodes, gpus
        self.health_check = health_check
        self.daemons: List[subprocess.Popen] = []
        self.env = {**os.environ, "SLURM_CONF": str(folder / "slurm.conf")}

    def __enter__(self) -> "Cluster":
        try:
            self._start()
        except BaseException:
            self.stop()
            raise
        return self

    def __exit__(self, *_) -> None:
        self.stop()

    def run(self, *command: str, check: bool = True) -> subprocess.CompletedProcess:
        return subprocess.run(command, env=self.env, capture_output=True, text=True, check=check)

    def node_states(self) -> Dict[str, str]:
        listed = self.run("sinfo", "-h", "-N", "-o", "%N %T").stdout.split()
        return dict(zip(listed[::2], listed[1::2]))

    def reason(self, node: str) -> str:
        return self.run("sinfo", "-h", "-n", node, "-o", "%E").stdout.strip()

    def stop(self) -> None:
        """Cancels the jobs, stops the daemons, then kills whatever still runs for this cluster (a
        job's slurmstepd outlives its slurmd): each by pid."""
        if self.daemons:
            subprocess.run(["scancel", "--user=root", "--full"], env=self.env, capture_output=True, timeout=60)
            try:
                self.wait_for(lambda: not self.run("squeue", "-h").stdout.strip(), "no job left", 30)
            except RuntimeError:
                pass  # the strays are killed below
        for daemon in reversed(self.daemons):
            daemon.terminate()
        for daemon in self.daemons:
            try:
                daemon.wait(timeout=30)
            except subprocess.TimeoutExpired:
                daemon.kill()
                daemon.wait()
        self.daemons = []
        mine = f"SLURM_CONF={self.folder / 'slurm.conf'}".encode()
        for environ in Path("/proc").glob("[0-9]*/environ"):
            try:
                if mine in environ.read_bytes().split(b"\0") and int(environ.parent.name) != os.getpid():
                    os.kill(int(environ.parent.name), signal.SIGKILL)
            except (OSError, ValueError):
                pass  # gone meanwhile

    def _daemon(self, *command: str) -> None:
        log = open(self.folder / f"{Path(command[0]).name}-{len(self.daemons)}.out", "wb")
        self.daemons.append(subprocess.Popen(command, env=self.env, stdout=log, stderr=subprocess.STDOUT))

    def _start(self) -> None:
        folder = self.folder
        for sub in ("state", "spool", "dev", "munge"):
            (folder / sub).mkdir(mode=0o700)
        munge = folder / "munge"
        subprocess.run(["mungekey", "--create", f"--keyfile={munge / 'key'}"], check=True)
        self._daemon("munged", "--foreground", "--force", f"--socket={munge / 'socket'}",
                     f"--key-file={munge / 'key'}", f"--pid-file={munge / 'pid'}",
                     f"--log-file={munge / 'log'}", f"--seed-file={munge / 'seed'}")
        ports = {node: free_port() for node in self.nodes}
        devices = []
        for node in self.nodes:
            for index in range(self.gpus):
                device = folder / "dev" / f"{node}-gpu{index}"
                os.mknod(device, 0o666 | 0o020000, os.makedev(1, 3))  # like /dev/null
                devices.append(device)
        last = self.gpus - 1
        health = (f"HealthCheckProgram={self.health_check}\nHealthCheckInterval=5\n"
                  f"HealthCheckNodeState=ANY\n" if self.health_check else "")
        (folder / "slurm.conf").write_text(
            f"ClusterName=mavotest\nSlurmctldHost=localhost(127.0.0.1)\nSlurmctldPort={free_port()}\n"
            f"AuthType=auth/munge\nAuthInfo=socket={munge / 'socket'}\nCredType=cred/munge\n"
            f"SlurmUser=root\nSlurmdUser=root\nStateSaveLocation={folder / 'state'}\n"
            f"SlurmdSpoolDir={folder / 'spool'}/%n\nSlurmctldPidFile={folder / 'slurmctld.pid'}\n"
            f"SlurmdPidFile={folder / 'spool'}/%n.pid\nSlurmctldLogFile={folder / 'slurmctld.log'}\n"
            f"SlurmdLogFile={folder / 'spool'}/%n.log\nProctrackType=proctrack/linuxproc\nTaskPlugin=task/none\n"
            "SelectType=select/cons_tres\nSelectTypeParameters=CR_Core\nGresTypes=gpu\nReturnToService=2\n"
            "MpiDefault=none\nJobAcctGatherType=jobacct_gather/none\n"
            "AccountingStorageType=accounting_storage/none\nKillWait=5\nInactiveLimit=0\n" + health +
            "".join(f"NodeName={node} NodeHostname=localhost NodeAddr=127.0.0.1 Port={port} CPUs=2 "
                    f"Gres=gpu:{self.gpus} State=UNKNOWN\n" for node, port in ports.items()) +
            f"PartitionName=gpu Nodes={','.join(self.nodes)} Default=YES MaxTime=INFINITE State=UP\n")
        (folder / "gres.conf").write_text("".join(
            f"NodeName={node} Name=gpu File={folder / 'dev'}/{node}-gpu[0-{last}]\n" for node in self.nodes))
        self.wait_for(lambda: (munge / "socket").exists(), "munged")
        self._daemon("slurmctld", "-D", "-i")
        for node in self.nodes:
            (folder / "spool" / node).mkdir()
            self._daemon("slurmd", "-D", "-N", node)
        self.wait_for(lambda: all(not state.endswith("*") and not state.startswith(("unk", "down"))
                                   for state in self.node_states().values()), "every node registered")

    def wait_for(self, ready, what: str, seconds: float = 60) -> None:
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            try:
                if ready():
                    return
            except subprocess.CalledProcessError:
                pass
            for daemon in self.daemons:
                if daemon.poll() is not None:
                    raise RuntimeError(f"{daemon.args[0]} ended with status {daemon.returncode}; "
                                       f"see {self.folder}")
            time.sleep(0.2)
        raise RuntimeError(f"{what}: not within {seconds} s; see {self.folder}")
