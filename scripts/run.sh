#!/usr/bin/env bash
# Installs what is missing, builds Velmor Debug and starts it on the simulated SSC device
# (the simulator is a drop-in libftd2xx.so, found through LD_LIBRARY_PATH).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target velmor-debug velmor-bridge ftd2xx_sim

LD_LIBRARY_PATH="$PWD/build/sim${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" exec build/app/velmor-debug "$@"
