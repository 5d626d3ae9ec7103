#!/usr/bin/env bash
# Takes the README's screenshots of the desktop program without a display (Qt's offscreen
# platform), over the generated sample backup:
#   main-window-backup-page.png   the start page with the sample backup listed
#   scan-page-messages.png        the sample scanned, Messages shown
#   scan-page-camera-roll.png     the sample scanned, Camera Roll with only the deleted photos
#   preview-conversation.png      a conversation's bubbles in the preview pane
#   preview-photo.png             a HEIC photo of the Camera Roll in the preview pane
#   preview-contact.png           a contact's card in the preview pane
#   print-window.png              the print window over the call history
#   recover-window.png            the recovery window at the end of a recovery of everything
#   scripts/screenshot.sh [OUTPUT_FOLDER]      default: docs/
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$top/docs}"
mkdir -p "$out"
cmake -S "$top" --preset default >/dev/null
cmake --build "$top/build/default" --target kestrio kestrio-sample-backup kestrio_resources \
  -j "$(nproc)"
bin="$top/build/default/bin"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/backups" "$work/runtime" "$work/data" "$work/config" "$work/recovered"
chmod 700 "$work/runtime"
"$bin/kestrio-sample-backup" "$work/backups/sample" >/dev/null
# A private home: no backups of this machine, no settings of this user, no running copy.
kestrio() {
  env TZ=UTC QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work/runtime" \
    XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config" HOME="$work" \
    KESTRIO_BACKUP_DIRS="$work/backups" KESTRIO_LOG=off "$bin/kestrio" "$@"
}
kestrio --page backup --screenshot "$out/main-window-backup-page.png"
kestrio --scan "$work/backups/sample" --category messages \
  --screenshot "$out/scan-page-messages.png"
kestrio --scan "$work/backups/sample" --category cameraRoll --deleted-only \
  --screenshot "$out/scan-page-camera-roll.png"
kestrio --scan "$work/backups/sample" --category messages --select "Lena Vogel" \
  --screenshot "$out/preview-conversation.png"
kestrio --scan "$work/backups/sample" --category cameraRoll --select IMG_0030.HEIC \
  --screenshot "$out/preview-photo.png"
kestrio --scan "$work/backups/sample" --category contacts --select "Ava Moreau" \
  --screenshot "$out/preview-contact.png"
kestrio --scan "$work/backups/sample" --category callHistory --print \
  --screenshot "$out/print-window.png"
kestrio --scan "$work/backups/sample" --recover-to "$work/recovered" \
  --screenshot "$out/recover-window.png"
echo "wrote the pictures into $out"
