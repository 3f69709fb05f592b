#!/usr/bin/env bash
# The fleet checks: the Ansible collection of COLLECTION (installed by ansible-galaxy) and the
# Slurm command of the Python package of WHEEL, each through its real engine, in one pytest run
# (ansible-core and pytest from PyPI in a venv of their own, the package beside it, Slurm and sshd
# from Debian's packages); then the collection's documentation through ansible-doc, and
# ansible-test sanity and ansible-lint on its source. Needs the test build (the stand-in helper, the
# verifier and the GPU tool stand-ins) and the simulator build of tests/simulator/run.sh.
# Usage: tests/fleet/run.sh WHEEL COLLECTION; exit status 0 when every check passed.
set -Eeuo pipefail
cd "$(dirname "$0")/../.."
trap 'echo "run.sh: failed (status $?) at line $LINENO: $BASH_COMMAND" >&2' ERR
usage="usage: tests/fleet/run.sh WHEEL COLLECTION"
wheel=$(realpath "${1:?$usage}") collection=$(realpath "${2:?$usage}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 -m venv "$work/venv"
"$work/venv/bin/python" -m pip install --quiet ansible-core==2.19.15 ansible-lint==26.11.0 pytest==8.3.5
# Beside the venv, not in it: the controller-without-the-package row leaves it out.
"$work/venv/bin/python" -m pip install --quiet --no-deps --target "$work/site" "$wheel"
"$work/venv/bin/ansible-galaxy" collection install --offline -p "$work/collections" "$collection"
export ANSIBLE_COLLECTIONS_PATH=$work/collections

eval "$(packaging/prepare_toolchains.sh)"
PYTHONPATH=$work/site MAVO_STANDIN_HELPER=$PWD/build/test/mavo-edge-gpu-helper-standin \
    MAVO_VERIFY=$PWD/build/test/mavo-edge-verify MAVO_GPU_FAKES=$PWD/build/test/tests/gpu-fakes \
    MAVO_SIMULATOR_HELPER=$PWD/tests/simulator/simulated_helper.sh \
    MAVO_SIMULATOR_BUILD=$PWD/build/simulator MAVO_SIMULATOR=$(tests/simulator/build_simulator.sh "$cuda11") \
    MAVO_SIMULATOR_TOOLKIT=$PWD/build/simulator/simulator-toolkit \
    "$work/venv/bin/python" -m pytest -q -p no:cacheprovider tests/fleet
"$work/venv/bin/ansible-doc" mavo.edge.gpu_proof >"$work/doc"
echo "ansible-doc mavo.edge.gpu_proof: $(head -n 1 "$work/doc")"
# ansible-test fetches pip's bootstrap script from a host outside the package index; this stand-in
# (pip from ensurepip, then the index) is put where ansible-test looks for it first.
mkdir -p ~/.ansible/test/cache
cp tests/fleet/get_pip.py ~/.ansible/test/cache/get_pip_24_2.py
python=$("$work/venv/bin/python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
(cd ansible/ansible_collections/mavo/edge &&
    "$work/venv/bin/ansible-test" sanity --local --requirements --python "$python" &&
    ANSIBLE_COLLECTIONS_PATH=$PWD/../../.. "$work/venv/bin/ansible-lint" --offline)
