#!/usr/bin/env bash
# End-to-end inline throughput: the host's generator NIC sends as fast as the stack takes
# frames (rate=0), nvx holds every frame until the example sensor, in its own process through
# libnvxapi, has read it and given its verdict; frames of one TCP port are answered with
# resets. Prints the sensor's rate and the driver's captured/lost counts. Everything (frame
# generation, the host's stack, the driver and the sensor) shares this machine's cores, so run
# it on a quiet machine.
#
# Usage: bench/inline/inline_bench.sh [BUILD_TREE] [SECONDS]   (build/64, 5)
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
tree=${1:-$src/build/64}
seconds=${2:-5}
out=$(NVX_DEMO_RATE=0 NVX_DEMO_SECONDS="$seconds" "$src/examples/sensor/run_demo.sh" "$tree")
grep -E '^  (frames|rate|blocked) ' <<<"$out"
grep -E 'Closing capture' <<<"$out" | sed -E 's/.*(captured: [0-9]+, lost: [0-9]+).*/  driver    \1/'
