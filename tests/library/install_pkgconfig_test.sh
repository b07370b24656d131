#!/usr/bin/env bash
# Installs the build tree into a temporary prefix, then builds the example sensor the way a
# user would, with pkg-config's flags for libnvxapi only, and runs it where no host serves:
# it must start, find no driver and say so.
# Usage: install_pkgconfig_test.sh BUILD_TREE SOURCE_TREE C_COMPILER [EXTRA_CFLAGS...]
set -euo pipefail
tree=$1 src=$2 cc=$3
shift 3
prefix=$(mktemp -d /tmp/nvx-install-test-XXXXXX)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$tree" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name libnvxapi.pc | head -1)")/..
for f in include/nvx/nvxapi.h include/nvx/nvxcontrol.h bin/streamhost bin/nvxpush; do
    [ -f "$prefix/$f" ] || { echo "missing $f"; exit 1; }
done
[ -f "$libdir/nvx/nvx.so" ] || { echo "missing nvx.so"; exit 1; }
export PKG_CONFIG_PATH="$libdir/pkgconfig"
flags=$(pkg-config --cflags --libs libnvxapi)
"$cc" "$@" -std=c11 -Wall -Werror -o "$prefix/minisensor" "$src/examples/sensor/minisensor.c" $flags
out=$(NVX_ROOT=/nonexistent/nvx-install-test LD_LIBRARY_PATH="$libdir" "$prefix/minisensor" -t 1 2>&1) && {
    echo "minisensor succeeded without a host: $out"
    exit 1
}
case "$out" in
*"PacketInit failed: 1000"*) echo "installed library and pkg-config flags work" ;;
*) echo "unexpected output: $out"; exit 1 ;;
esac
