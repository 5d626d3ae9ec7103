#!/usr/bin/env bash
# Installs the Debian packages Kestrio's build needs, when they are missing (needs root; runs
# apt-get update first).
#   scripts/install-deps.sh          the build, the tests and the benchmarks (Qt 6 for the
#                                    desktop program; usbmuxd to reach a device)
#   scripts/install-deps.sh fuzz     also clang and its fuzzing runtime
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config clang-format tzdata
  libsqlite3-dev libssl-dev libplist-dev libgtest-dev libgmock-dev libbenchmark-dev
  zlib1g-dev libheif-dev
  libimobiledevice-dev libusbmuxd-dev
  qt6-base-dev qt6-tools-dev qt6-svg-dev libqt6opengl6-dev libgl-dev fonts-dejavu-core usbmuxd
)
if [ "${1:-}" = fuzz ]; then
  packages+=(clang libclang-rt-14-dev)
fi
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  if [ "$(id -u)" != 0 ]; then
    echo "missing Debian packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi
