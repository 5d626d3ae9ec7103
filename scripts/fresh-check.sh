#!/usr/bin/env bash
# Proves the README's two commands on a fresh Debian 12: builds a minimal Debian 12 root from
# Debian's own package archive (mmdebstrap, or debootstrap when mmdebstrap is missing), copies
# this checkout into it (committed files only, no build folders) and runs, as root inside it,
#   ./scripts/demo.sh
#   ./scripts/test-all.sh
# Needs root and the network to Debian's archive; takes a while (the root's packages and two
# whole builds). Not part of CI: run it whenever the package list changes.
#   scripts/fresh-check.sh [WORK_FOLDER]     (default: a new folder under /var/tmp)
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
if [ "$(id -u)" != 0 ]; then
  echo "fresh-check: run as root (it builds a Debian root and chroots into it)" >&2
  exit 1
fi
mirror=${KESTRIO_DEBIAN_MIRROR:-http://deb.debian.org/debian}
work=${1:-$(mktemp -d /var/tmp/kestrio-fresh-XXXXXX)}
root="$work/root"
mkdir -p "$work"
start=$(date +%s)

if ! command -v mmdebstrap >/dev/null && ! command -v debootstrap >/dev/null; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends mmdebstrap
fi

mounted=()
cleanup() {
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[$i]}" 2>/dev/null || true; done
}
trap cleanup EXIT

echo "fresh-check: a minimal Debian 12 root in $root"
if command -v mmdebstrap >/dev/null; then
  # "apt" variant: essential packages and apt, nothing else (no compiler, no git, no sudo).
  mmdebstrap --variant=apt --mode=root bookworm "$root" \
    "deb $mirror bookworm main" "deb $mirror bookworm-updates main" \
    "deb ${mirror%/debian}/debian-security bookworm-security main"
else
  debootstrap --variant=minbase bookworm "$root" "$mirror"
fi

echo "fresh-check: copying the checkout (committed files only)"
mkdir -p "$root/kestrio"
git -C "$top" archive HEAD | tar -x -C "$root/kestrio"

cp /etc/resolv.conf "$root/etc/resolv.conf"
# The root is made a mount point of its own, so that the root's file system appears in the
# mount table inside it as it does on a real machine (Kestrio picks its temporary folder from
# that table); /tmp stays on that file system, as on a default Debian 12.
mount --bind "$root" "$root"
mounted+=("$root")
for fs in proc sys dev dev/pts; do
  mkdir -p "$root/$fs"
  mount --bind "/$fs" "$root/$fs"
  mounted+=("$root/$fs")
done

echo "fresh-check: the README's commands, as root in the fresh root"
chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
  /bin/bash -c 'set -euo pipefail; cd /kestrio; ./scripts/demo.sh; ./scripts/test-all.sh'

end=$(date +%s)
echo "fresh-check: passed in $(((end - start) / 60)) min $(((end - start) % 60)) s ($work)"
