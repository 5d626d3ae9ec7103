#!/usr/bin/env bash
# Installs the Debian packages the build needs (when missing; needs root), configures, builds
# and runs every test.
#   scripts/test-all.sh            the normal build (preset "default")
#   scripts/test-all.sh asan       the whole suite under AddressSanitizer + UBSan
#   scripts/test-all.sh core       the core alone, built without Qt
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}

packages=(
  build-essential cmake ninja-build pkg-config clang-format tzdata
  libsqlite3-dev libgtest-dev libgmock-dev libbenchmark-dev
)
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

jobs=$(nproc)
cmake --preset "$preset"
cmake --build --preset "$preset" -j "$jobs"
ctest --preset "$preset" -j "$jobs"
