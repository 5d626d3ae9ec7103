#!/usr/bin/env bash
# Takes the README's screenshot of the desktop program without a display (Qt's offscreen
# platform): the main window on the backup page, with the generated sample backup listed.
#   scripts/screenshot.sh [OUTPUT.png]      default: docs/main-window-backup-page.png
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$top/docs/main-window-backup-page.png}"
cmake -S "$top" --preset default >/dev/null
cmake --build "$top/build/default" --target kestrio kestrio-sample-backup kestrio_resources \
  -j "$(nproc)"
bin="$top/build/default/bin"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/backups" "$work/runtime" "$work/data" "$work/config"
chmod 700 "$work/runtime"
"$bin/kestrio-sample-backup" "$work/backups/sample" >/dev/null
# A private home: no backups of this machine, no settings of this user, no running copy.
env TZ=UTC QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work/runtime" \
  XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config" HOME="$work" \
  KESTRIO_BACKUP_DIRS="$work/backups" KESTRIO_LOG=stderr \
  "$bin/kestrio" --page backup --screenshot "$out"
echo "wrote $out"
