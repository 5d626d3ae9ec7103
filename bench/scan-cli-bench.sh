#!/usr/bin/env bash
# The command-line scan of a backup with a large messages database, side by side with SQLite's
# own read of the same table, in one run.
#
#   bench/scan-cli-bench.sh [SIZE_MB ...]        (default: 100 400)
#
# For each size a backup is written once (and kept) under $KESTRIO_BENCH_DIR (default
# /tmp/kestrio-scan-cli-bench) by scan_cli_bench_tool. Then, $RUNS times (default 3) in turn:
#   scan    kestrio-cli scan BACKUP --json OUT     (OUT under the same folder)
#   sqlite  scan_cli_bench_tool select sms.db message: every column of every live row
# each timed as a whole process by /usr/bin/time (wall seconds and peak resident memory). The
# medians are printed with the ratio scan/sqlite. The file is read once before the runs so both
# start from a warm page cache. $BIN overrides the folder of the binaries (default
# build/default/bin). With CARVE=1 each run also times the generic carver on the same file,
#   carve   kestrio-cli carve sms.db --json OUT
# and its median wall seconds and peak memory are printed after the scan's.
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
bin="${BIN:-$here/build/default/bin}"
work="${KESTRIO_BENCH_DIR:-/tmp/kestrio-scan-cli-bench}"
runs="${RUNS:-3}"
sizes=("$@")
[ ${#sizes[@]} -eq 0 ] && sizes=(100 400)

for tool in kestrio-cli scan_cli_bench_tool; do
  if [ ! -x "$bin/$tool" ]; then
    echo "missing $bin/$tool: build the targets kestrio-cli and scan_cli_bench_tool" >&2
    exit 1
  fi
done
if [ ! -x /usr/bin/time ]; then
  echo "missing /usr/bin/time (Debian package: time)" >&2
  exit 1
fi
mkdir -p "$work"

# Median of the numbers on standard input.
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Runs "$@" under /usr/bin/time; prints "<wall seconds> <peak KiB>".
measure() {
  local out
  out="$(mktemp)"
  /usr/bin/time -f "%e %M" -o "$out" "$@" >/dev/null 2>"$out.err" || {
    echo "failed: $*" >&2
    cat "$out.err" >&2
    rm -f "$out" "$out.err"
    exit 1
  }
  cat "$out"
  rm -f "$out" "$out.err"
}

carve="${CARVE:-0}"
printf '%8s %10s %10s %10s %10s %8s %8s' size_MB scan_s sqlite_s ratio scan_MiB sqlite_MiB messages
[ "$carve" = 1 ] && printf ' %10s %10s' carve_s carve_MiB
printf '\n'
for size in "${sizes[@]}"; do
  folder="$work/backup-$size"
  if [ ! -f "$folder/.written" ]; then
    rm -rf "$folder"
    "$bin/scan_cli_bench_tool" write "$folder" "$size" | tail -n 1 >"$work/sms-$size.txt"
    touch "$folder/.written"
  fi
  read -r sms bytes messages deleted <"$work/sms-$size.txt"
  cat "$sms" >/dev/null
  scanWall=() scanPeak=() sqlWall=() sqlPeak=() carveWall=() carvePeak=()
  for ((i = 0; i < runs; ++i)); do
    read -r wall peak < <(measure "$bin/kestrio-cli" scan "$folder" --json "$work/scan-$size.json")
    scanWall+=("$wall") scanPeak+=("$peak")
    read -r wall peak < <(measure "$bin/scan_cli_bench_tool" select "$sms" message)
    sqlWall+=("$wall") sqlPeak+=("$peak")
    if [ "$carve" = 1 ]; then
      read -r wall peak < <(measure "$bin/kestrio-cli" carve "$sms" --json "$work/carve-$size.json")
      carveWall+=("$wall") carvePeak+=("$peak")
    fi
  done
  sw="$(printf '%s\n' "${scanWall[@]}" | median)"
  sp="$(printf '%s\n' "${scanPeak[@]}" | median)"
  qw="$(printf '%s\n' "${sqlWall[@]}" | median)"
  qp="$(printf '%s\n' "${sqlPeak[@]}" | median)"
  awk -v size="$((bytes / 1000000))" -v sw="$sw" -v qw="$qw" -v sp="$sp" -v qp="$qp" \
    -v messages="$messages" \
    'BEGIN { printf "%8s %10.2f %10.2f %10.2f %10.1f %8.1f %8s", size, sw, qw, (qw > 0 ? sw / qw : 0), sp / 1024, qp / 1024, messages }'
  if [ "$carve" = 1 ]; then
    cw="$(printf '%s\n' "${carveWall[@]}" | median)"
    cp="$(printf '%s\n' "${carvePeak[@]}" | median)"
    awk -v cw="$cw" -v cp="$cp" 'BEGIN { printf " %10.2f %10.1f", cw, cp / 1024 }'
  fi
  printf '\n'
done
