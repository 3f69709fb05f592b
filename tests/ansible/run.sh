#!/usr/bin/env bash
# The Ansible collection's checks: the built collection installed by ansible-galaxy, its table
# through the real engine (ansible-core from PyPI, in a venv of its own, with the Python package
# from WHEEL beside it), its documentation through ansible-doc, then ansible-test sanity and
# ansible-lint on its source.
# Needs the test build (the stand-in helper and GPU tool stand-ins), the simulator build of
# tests/simulator/run.sh, and sshd (Debian's openssh-server).
# Usage: tests/ansible/run.sh WHEEL COLLECTION; exit status 0 when every check passed.
set -Eeuo pipefail
cd "$(dirname "$0")/../.."
trap 'echo "run.sh: failed (status $?) at line $LINENO: $BASH_COMMAND" >&2' ERR
usage="usage: tests/ansible/run.sh WHEEL COLLECTION"
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
    MAVO_GPU_FAKES=$PWD/build/test/tests/gpu-fakes MAVO_SIMULATOR_BUILD=$PWD/build/simulator \
    MAVO_SIMULATOR=$(tests/simulator/build_simulator.sh "$cuda11") \
    MAVO_SIMULATOR_TOOLKIT=$PWD/build/simulator/simulator-toolkit \
    "$work/venv/bin/python" -m pytest -q -p no:cacheprovider tests/ansible
"$work/venv/bin/ansible-doc" mavo.edge.gpu_proof >"$work/doc"
echo "ansible-doc mavo.edge.gpu_proof: $(head -n 1 "$work/doc")"
# ansible-test fetches pip's bootstrap script from a host outside the package index; this stand-in
# (pip from ensurepip, then the index) is put where ansible-test looks for it first.
mkdir -p ~/.ansible/test/cache
cp tests/ansible/get_pip.py ~/.ansible/test/cache/get_pip_24_2.py
python=$("$work/venv/bin/python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
(cd ansible/ansible_collections/mavo/edge &&
    "$work/venv/bin/ansible-test" sanity --local --requirements --python "$python" &&
    ANSIBLE_COLLECTIONS_PATH=$PWD/../../.. "$work/venv/bin/ansible-lint" --offline)
