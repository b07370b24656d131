#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine. Idempotent: when every
# package is present it only checks and returns.
set -euo pipefail

packages=(
  build-essential g++ g++-multilib cmake ninja-build ccache
  googletest libbenchmark-dev
  clang-format clang-tidy
  qemu-user
  iproute2 iputils-ping netcat-openbsd tshark python3
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages: ${missing[*]}; run this script as root to install them" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The 32-bit tree's programs must run. Where the kernel cannot execute i386 binaries itself,
# register qemu's user-mode emulator for them with binfmt_misc, so that they run (and start each
# other) like native programs.
probe_dir=$(mktemp -d)
trap 'rm -rf "$probe_dir"' EXIT
echo 'int main(void) { return sizeof(void *) == 4 ? 0 : 1; }' >"$probe_dir/probe.c"
gcc -m32 -o "$probe_dir/probe" "$probe_dir/probe.c"
if ! "$probe_dir/probe" 2>/dev/null; then
  binfmt=/proc/sys/fs/binfmt_misc
  [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
  if [ ! -e "$binfmt/qemu-i386" ]; then
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' >"$binfmt/register"
  fi
  "$probe_dir/probe" || { echo "setup: 32-bit programs cannot be run on this machine" >&2; exit 1; }
fi
