# -*- coding: utf-8 -*-
# Copyright: mavo edge team
# Apache License 2.0 (see https://www.apache.org/licenses/LICENSE-2.0)
"""mavo.edge.gpu_proof: seeds made and reports checked here on the controller; only the helper runs
on the host, over whatever connection the inventory gives it."""

from __future__ import annotations

import json
import shlex
import sys

from ansible.errors import AnsibleConnectionFailure
from ansible.plugins.action import ActionBase

try:
    from mavo_edge import MAX_UNITS, fleet, new_seed
except ImportError as error:
    MISSING_PACKAGE = str(error)
else:
    MISSING_PACKAGE = ""

ARGUMENTS = {
    "units": {"type": "int", "default": 100000000},
    "helper": {"type": "str", "default": "mavo-edge-gpu-helper"},
    "gpus": {"type": "raw", "default": "all"},
    "timeout": {"type": "int", "default": 120},
    "records": {"type": "path"},
}


class ActionModule(ActionBase):
    TRANSFERS_FILES = False
    _VALID_ARGS = frozenset(ARGUMENTS)

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        result["changed"] = False
        arguments = self.validate_argument_spec(argument_spec=ARGUMENTS)[1]
        gpus = str(arguments["gpus"])
        if gpus != "all" and not (gpus.isdigit() and int(gpus) >= 1):
            return dict(result, failed=True, msg=f"gpus must be all or a number of GPUs, not {gpus!r}")
        if MISSING_PACKAGE:
            return dict(result, failed=True, msg=(
                f"mavo.edge.gpu_proof checks the reports on the controller with the Python package "
                f"mavo-edge-verify, which the controller's Python ({sys.executable}) cannot import "
                f"({MISSING_PACKAGE}): install it there with pip install mavo-edge-verify"))
        if not 1 <= arguments["units"] <= MAX_UNITS or arguments["timeout"] < 1:
            return dict(result, failed=True, msg=f"units must be 1 to {MAX_UNITS}, timeout 1 or more seconds")
        if self._task.check_mode:
            return dict(result, skipped=True, msg="check mode: no helper was run, no GPU checked")
        machine = task_vars["inventory_hostname"]
        try:
            records = self._check(machine, gpus, arguments)
        except AnsibleConnectionFailure as failure:
            self._append(arguments["records"],
                         [fleet.unchecked("ansible", machine, "no-answer", f"unreachable: {failure.message}")])
            raise
        self._append(arguments["records"], records)
        not_passed = [record for record in records if record.verdict != "passed"]
        result.update(checks=[json.loads(record.line()) for record in records], passed=not not_passed)
        if not_passed:
            why = "; ".join(f"{'no GPU' if record.task is None else f'GPU {record.task}'}: {record.verdict} "
                            f"({record.detail})" for record in not_passed)
            return dict(result, failed=True, msg=f"{len(not_passed)} of {len(records)} checks not passed: {why}")
        return dict(result, msg=f"all {len(records)} GPUs passed")

    def _check(self, machine, gpus, arguments):
        """One record per GPU, in nvidia-smi's order; one for the host when it lists no GPU."""
        if gpus == "all":
            listed = self._low_level_execute_command("nvidia-smi --query-gpu=index --format=csv,noheader")
            slots = [line.split(",")[0].strip() for line in listed["stdout"].splitlines() if line.strip()]
            if listed["rc"] != 0 or not slots:
                said = (listed["stderr"] + listed["stdout"]).strip().splitlines() or ["nothing said"]
                return [fleet.unchecked("ansible", machine, "failed",
                                        f"nvidia-smi lists no GPU (status {listed['rc']}): {said[-1]}")]
        else:
            slots = [str(index) for index in range(int(gpus))]
        records = []
        for task, slot in enumerate(slots):
            seed, issued = new_seed(), fleet.now()
            ran = self._low_level_execute_command(
                f"CUDA_DEVICE_ORDER=PCI_BUS_ID CUDA_VISIBLE_DEVICES={shlex.quote(slot)} "
                f"timeout -k 5 {arguments['timeout']} {shlex.quote(arguments['helper'])} "
                f"--seed {seed} --units {arguments['units']} --json")
            # 124: timeout's own status; 137: killed by it when the helper outlived the grace too.
            status = None if ran["rc"] in (124, 137) else ran["rc"]
            records.append(fleet.judge("ansible", machine, task, seed, arguments["units"], issued, status,
                                       ran["stdout"].encode("utf-8", "surrogateescape"),
                                       ran["stderr"].encode("utf-8", "surrogateescape"),
                                       no_answer=f"no answer within {arguments['timeout']} s"))
        return records

    @staticmethod
    def _append(path, records):
        if path:
            fleet.append(path, records)
