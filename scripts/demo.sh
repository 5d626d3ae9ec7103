#!/usr/bin/env bash
# The demo: builds Kestrio, writes a generated sample backup and recovers everything in it
# into ./recovered with kestrio-cli. On a fresh Debian 12 machine run it as root: missing
# Debian packages are installed first.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
here="$(pwd)"
"$top/scripts/install-deps.sh"
cmake -S "$top" --preset default >/dev/null
cmake --build "$top/build/default" --target kestrio-cli kestrio-sample-backup kestrio_resources \
  -j "$(nproc)"
bin="$top/build/default/bin"
sample="$here/sample-backup"
"$bin/kestrio-sample-backup" "$sample"
"$bin/kestrio-cli" recover "$sample" --out "$here/recovered"
echo
echo "The reports and files are in $here/recovered:"
find "$here/recovered" -maxdepth 3 | sort | sed "s|^$here/||"
