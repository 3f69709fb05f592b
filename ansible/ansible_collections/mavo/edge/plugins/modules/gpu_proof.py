# -*- coding: utf-8 -*-
# Copyright: mavo edge team
# Apache License 2.0 (see https://www.apache.org/licenses/LICENSE-2.0)
# The work is done by the action plugin of the same name, on the controller: this file documents it.

from __future__ import annotations

DOCUMENTATION = r"""
module: gpu_proof
short_description: Checks every NVIDIA GPU of a host, verified on the controller
description:
  - Runs C(mavo-edge-gpu-helper) on the host once for each of its GPUs, each with a fresh seed
    made on the controller and with E(CUDA_VISIBLE_DEVICES) naming that GPU alone, in PCI bus order.
  - Checks each report on the controller with the Python package C(mavo-edge-verify)
    (C(import mavo_edge)), never on the host, so a passed check does not take the host's word
    for its digests.
  - Fails unless every GPU passed. The host needs the helper and, for O(gpus=all), C(nvidia-smi);
    it needs no Python.
version_added: 0.1.0
author:
  - mavo edge team (@mavo)
options:
  units:
    description:
      - The units each check computes, 1 to 100000000.
    type: int
    default: 100000000
  helper:
    description:
      - The helper on the host, a path or a name on the host's E(PATH).
    type: str
    default: mavo-edge-gpu-helper
  gpus:
    description:
      - V(all) checks every GPU that the host's C(nvidia-smi) lists; a number N checks GPUs 0 to
        N-1.
    type: raw
    default: all
  timeout:
    description:
      - The longest one check may take on the host, start-up included, in seconds. A check that
        takes longer is killed and has the verdict V(no-answer).
    type: int
    default: 120
  records:
    description:
      - A file on the controller to which one JSON line per check is appended. Lines of many forks
        at once are never interleaved.
    type: path
attributes:
  action:
    description: Runs on the controller, and runs the helper on the host.
    support: full
  check_mode:
    description: In check mode nothing is run, and the result says so.
    support: none
  diff_mode:
    description: Nothing on the host changes.
    support: none
  platform:
    description: The host runs Linux and a POSIX shell with C(timeout).
    support: full
    platforms: posix
requirements:
  - mavo-edge-verify (the Python package C(mavo_edge)) in the controller's Python
notes:
  - A passed check shows that the host's GPU computed the work for a fresh seed correctly, and
    which GPU the host says it is (name and PCI bus id, the host's own word).
  - A host that cannot be reached is unreachable, as for any task, and has a record of verdict
    V(no-answer).
"""

EXAMPLES = r"""
- name: Check every GPU
  mavo.edge.gpu_proof:
    records: /var/lib/mavo/records.jsonl

- name: Check two GPUs with a helper outside PATH, a shorter run and limit
  mavo.edge.gpu_proof:
    helper: /opt/mavo/bin/mavo-edge-gpu-helper
    gpus: 2
    units: 10000000
    timeout: 60
"""

RETURN = r"""
checks:
  description:
    - One record per GPU checked (one with O(gpus=all) and no GPU listed when C(nvidia-smi)
      failed), as written to O(records).
    - Keys in order C(schema), C(engine) (V(ansible)), C(machine) (the inventory name), C(task)
      (the GPU's slot, from 0), C(seed), C(units), C(issued), C(answered) (UTC, RFC 3339 with
      milliseconds), C(exit_status), C(stderr) (at most 4096 bytes), C(verdict) (V(passed),
      V(mismatch), V(malformed), V(failed) or V(no-answer)), C(detail) (why, empty when passed),
      C(report) (the report's six values when it was well formed, else null).
  returned: always, but in check mode
  type: list
  elements: dict
passed:
  description: Whether every GPU passed.
  returned: always, but in check mode
  type: bool
"""
