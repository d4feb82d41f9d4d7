#!/bin/sh
# Builds the fuzz targets with clang and runs each for a bounded time.
# usage: fuzz/run.sh SECONDS [BUILD_DIR]
set -eu
seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${2:-$root/build/fuzz}
cxx=$(command -v clang++ || command -v clang++-14 || true)
cc=$(command -v clang || command -v clang-14 || true)
if [ -z "$cxx" ] || [ -z "$cc" ]; then
  echo "fuzz/run.sh: clang is not installed (apt-get install clang)" >&2
  exit 2
fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" -DOSTREL_FUZZ=ON >/dev/null
# One target over its corpus, with the same limits for all.
fuzz_run() {
  "$build/fuzz/$1" -max_total_time="$seconds" -max_len=16384 -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 "$2"
}

cmake --build "$build" --target fuzz_map -j2
# Seeds: the real maps when present (whole files are too big for quick mutation, so
# each seed is the head of one map), plus the work corpus of earlier runs.
corpus=$build/fuzz_map_corpus
mkdir -p "$corpus"
maps=${OSTREL_CORPUS_DIR:-$root/../shared/corpus}/maps
if [ -d "$maps" ]; then
  for f in "$maps"/*.map; do
    head -c 16384 "$f" >"$corpus/seed_$(basename "$f")"
    tail -c 8192 "$f" >"$corpus/tail_$(basename "$f")"
  done
fi
fuzz_run fuzz_map "$corpus"

# Exception log reader, seeded with the real component texts.
cmake --build "$build" --target fuzz_err -j2
err_corpus=$build/fuzz_err_corpus
mkdir -p "$err_corpus"
dfms=${OSTREL_CORPUS_DIR:-$root/../shared/corpus}/dfm
if [ -d "$dfms" ]; then
  for f in "$dfms"/*.dfm; do cp "$f" "$err_corpus/seed_$(basename "$f")"; done
fi
fuzz_run fuzz_err "$err_corpus"

# PE export tables, seeded with the small DLLs of the Wine prefix (whole files: the export
# table often lies at the end).
cmake --build "$build" --target fuzz_pe -j2
pe_corpus=$build/fuzz_pe_corpus
mkdir -p "$pe_corpus"
system32=${WINEPREFIX:-$HOME/.wine-ostrel}/drive_c/windows/system32
if [ -d "$system32" ]; then
  find "$system32" -maxdepth 1 -name '*.dll' -size -17k | while read -r f; do
    cp "$f" "$pe_corpus/seed_$(basename "$f")"
  done
fi
fuzz_run fuzz_pe "$pe_corpus"

# Minidumps, seeded with small dumps the target writes itself and any real dumps of the
# corpus.
cmake --build "$build" --target fuzz_minidump -j2
dump_corpus=$build/fuzz_minidump_corpus
mkdir -p "$dump_corpus"
dumps=${OSTREL_CORPUS_DIR:-$root/../shared/corpus}/dumps
if [ -d "$dumps" ]; then
  find "$dumps" -maxdepth 1 -name '*.dmp' -size -17k | while read -r f; do
    cp "$f" "$dump_corpus/seed_$(basename "$f")"
  done
fi
export OSTREL_FUZZ_SEED_DIR="$dump_corpus"
fuzz_run fuzz_minidump "$dump_corpus"
