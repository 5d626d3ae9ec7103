#!/usr/bin/env bash
# Installs the Debian packages the build needs (when missing; needs root), configures, builds
# and runs every test.
#   scripts/test-all.sh            the normal build (preset "default")
#   scripts/test-all.sh asan       the whole suite under AddressSanitizer + UBSan
#   scripts/test-all.sh core       the core alone, built without Qt
#   scripts/test-all.sh fuzz       the libFuzzer targets (clang): the SQLite reader for a
#                                  minute from its generated seed corpus, its page-level
#                                  pieces (carving, cells, records) for half a minute, the index,
#                                  Info.plist, file-type and decryption-record readers
#                                  for 15 s each
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}

if [ "$preset" = fuzz ]; then scripts/install-deps.sh fuzz; else scripts/install-deps.sh; fi

jobs=$(nproc)
cmake --preset "$preset"
cmake --build --preset "$preset" -j "$jobs"
if [ "$preset" = fuzz ]; then
  cmake --build --preset fuzz --target sqlite_reader_fuzz_seeds
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  # A fixed seed keeps the run repeatable: a failure here reproduces with the same command.
  build/fuzz/bin/sqlite_reader_fuzz -seed=1 -max_total_time=60 -timeout=10 -rss_limit_mb=2048 \
    -dict=fuzz/sqlite.dict "$work" build/fuzz/fuzz-corpus/sqlite_reader_seeds
  # One page in memory under random shapes: what the whole-file run rarely reaches. The
  # reader's seeds start it with real page bytes.
  mkdir -p "$work/page"
  build/fuzz/bin/sqlite_page_fuzz -seed=1 -max_total_time=30 -timeout=10 -rss_limit_mb=2048 \
    "$work/page" build/fuzz/fuzz-corpus/sqlite_reader_seeds
  # The generic carver, from the reader's seeds, and the write-ahead log read through it, from
  # a database with its log.
  mkdir -p "$work/carve" "$work/wal"
  build/fuzz/bin/carve_fuzz -seed=1 -max_total_time=30 -timeout=10 -rss_limit_mb=2048 \
    -dict=fuzz/sqlite.dict "$work/carve" build/fuzz/fuzz-corpus/sqlite_reader_seeds
  build/fuzz/bin/wal_fuzz -seed=1 -max_total_time=30 -timeout=10 -rss_limit_mb=2048 "$work/wal" \
    build/fuzz/fuzz-corpus/wal_seeds
  # The index and Info.plist readers, the message and note body readers are small: a
  # quarter of a minute each.
  mkdir -p "$work/mbdb" "$work/summary" "$work/types" "$work/decrypt" "$work/devicelink" \
    "$work/typedstream" "$work/createtable" "$work/protobuf" "$work/notebody"
  build/fuzz/bin/manifest_mbdb_fuzz -seed=1 -max_total_time=15 -timeout=10 "$work/mbdb"
  build/fuzz/bin/backup_summary_fuzz -seed=1 -max_total_time=15 -timeout=10 "$work/summary" \
    fuzz/seeds/backup_summary
  build/fuzz/bin/file_type_fuzz -seed=1 -max_total_time=15 -timeout=10 "$work/types"
  build/fuzz/bin/decrypt_records_fuzz -seed=1 -max_total_time=15 -timeout=10 "$work/decrypt"
  build/fuzz/bin/device_link_fuzz -seed=1 -max_total_time=15 -timeout=10 "$work/devicelink" \
    fuzz/seeds/device_link
  build/fuzz/bin/typedstream_fuzz -seed=1 -max_total_time=15 -timeout=10 "$work/typedstream" \
    fuzz/seeds/typedstream
  build/fuzz/bin/create_table_fuzz -seed=1 -max_total_time=15 -timeout=10 "$work/createtable" \
    fuzz/seeds/create_table
  build/fuzz/bin/protobuf_fuzz -seed=1 -max_total_time=15 -timeout=10 "$work/protobuf" \
    fuzz/seeds/protobuf
  build/fuzz/bin/note_body_fuzz -seed=1 -max_total_time=15 -timeout=10 -rss_limit_mb=2048 \
    "$work/notebody" fuzz/seeds/note_body
else
  ctest --preset "$preset" -j "$jobs"
fi
