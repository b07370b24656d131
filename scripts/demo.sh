#!/usr/bin/env bash
# The main job on its built-in default. Builds the 64-bit tree (build/64) and runs the
# walk-through of the two-phase circular queue that the driver and the sensor share.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
sudo_if_needed() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
sudo_if_needed bash scripts/setup.sh
cmake -S . -B build/64 -G Ninja >/dev/null
cmake --build build/64 -j "${NVX_JOBS:-2}" --target queue_walkthrough >/dev/null
exec build/64/examples/queue_walkthrough/queue_walkthrough "$@"
