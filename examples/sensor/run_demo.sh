#!/usr/bin/env bash
# Runs minisensor against the emulated platform: starts streamhost with one simulated
# interface (hme0) carrying generated traffic (TCP conversations to ports 80, 443, 22, 25 and
# 8080 both ways, UDP, ICMP, ARP, broadcast), loads nvx, autopushes it on the hme driver with
# nvxpush, plumbs hme0, runs the sensor inline for a few seconds blocking one TCP port,
# prints its summary and the driver's console lines, and stops the host.
#
# Usage: examples/sensor/run_demo.sh [BUILD_TREE] [-- minisensor options]
#   BUILD_TREE   a configured build tree (default build/64); the targets are built in it.
#   Environment: NVX_DEMO_SECONDS (5), NVX_DEMO_PORT (22), NVX_DEMO_RATE (frames/s, 500).
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
tree=${1:-$src/build/64}
[ $# -gt 0 ] && shift
[ "${1:-}" = "--" ] && shift
seconds=${NVX_DEMO_SECONDS:-5}
port=${NVX_DEMO_PORT:-22}
rate=${NVX_DEMO_RATE:-500}

if [ ! -f "$tree/CMakeCache.txt" ]; then
    cmake -S "$src" -B "$tree" -G Ninja >/dev/null
fi
cmake --build "$tree" -j "${NVX_JOBS:-2}" --target streamhost nvx nvxpush minisensor >/dev/null

host="$tree/platform/host/streamhost"
nvxpush="$tree/PacketDrv/app/nvxpush"
sensor="$tree/examples/sensor/minisensor"
nvx="$tree/PacketDrv/driver/nvx.so"

root=$(mktemp -d /tmp/nvx-demo-XXXXXX)
export NVX_ROOT="$root"
hostpid=
cleanup() {
    if [ -n "$hostpid" ] && kill -0 "$hostpid" 2>/dev/null; then
        "$host" ctl stop >/dev/null 2>&1 || kill "$hostpid" 2>/dev/null || true
        wait "$hostpid" 2>/dev/null || true
    fi
    rm -rf "$root"
}
trap cleanup EXIT

"$host" --root "$root" \
    --nic "hme0,backend=generator,promisc,seed=7,ip=198.18.0.1,rate=$rate" \
    --modload "$nvx" >"$root/host.out" 2>&1 &
hostpid=$!
for _ in $(seq 100); do
    "$host" ctl stats >/dev/null 2>&1 && break
    sleep 0.1
done
"$host" ctl stats >/dev/null

echo "== nvxpush hme0 (autopush nvx on the hme driver)"
"$nvxpush" hme0
"$nvxpush" -l hme0 || true
echo "== plumb hme0"
"$host" ctl plumb hme0

echo "== minisensor"
"$sensor" -t "$seconds" -p "$port" "$@"

echo "== interfaces"
"$host" ctl interfaces
echo "== driver console"
"$host" ctl console
