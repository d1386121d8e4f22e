#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need, and only those that are missing.
# A second run finds everything present and installs nothing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qtbase5-dev qtbase5-dev-tools
  libsqlite3-dev libcurl4-openssl-dev zlib1g-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  bsdutils procps sudo
  zfs-fuse   # a real ZFS in user space for the demo and the real-ZFS tests
  systemd    # systemd-analyze, which checks the installed units
  zstd age   # the compression and encryption stages of backups and restores
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
