#!/usr/bin/env bash
# The main job on its built-in default: a sensor captures simulated traffic inline through nvx
# on the emulated platform and blocks one TCP port (examples/sensor/run_demo.sh). Builds the
# 64-bit tree in build/64 first. Extra arguments go to the sensor (minisensor options).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
sudo_if_needed() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
sudo_if_needed bash scripts/setup.sh
if [ ! -f build/64/CMakeCache.txt ]; then
  cmake -S . -B build/64 -G Ninja >/dev/null
fi
if [ $# -gt 0 ]; then
  exec examples/sensor/run_demo.sh "$root/build/64" -- "$@"
fi
exec examples/sensor/run_demo.sh "$root/build/64"
