#!/bin/sh
# The simulator's build of the helper, run as the helper is run: GPGPU-Sim's configuration (Turing,
# functional mode) in a folder of its own, and only the report on standard output, where the
# simulator logs too. For the fleet tests, whose engines start it on their "nodes".
# Needs MAVO_SIMULATOR_BUILD, MAVO_SIMULATOR and MAVO_SIMULATOR_TOOLKIT (see check_reports.py).
set -u
folder=$(mktemp -d) || exit 1
trap 'rm -rf "$folder"' EXIT
cp "$MAVO_SIMULATOR/configs/SM75_RTX2060/"* "$folder/"
sed -i 's/^-gpgpu_ptx_sim_mode [0-9]*/-gpgpu_ptx_sim_mode 1/' "$folder/gpgpusim.config"
cd "$folder" || exit 1
LD_LIBRARY_PATH=$MAVO_SIMULATOR/lib CUDA_INSTALL_PATH=$MAVO_SIMULATOR_TOOLKIT PTX_SIM_USE_PTX_FILE=1.ptx \
    PTX_SIM_KERNELFILE=_1.ptx CUOBJDUMP_SIM_FILE=jj "$MAVO_SIMULATOR_BUILD/mavo-edge-gpu-helper" "$@" \
    >output 2>errors
status=$?
grep '^{' output
[ "$status" -eq 0 ] || tail -n 1 errors >&2
exit "$status"
