#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for the given number of seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-60}
bash scripts/deps.sh
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DACTUALIZA_BUILD_FUZZ=ON -DACTUALIZA_BUILD_APP=OFF -DACTUALIZA_BUILD_TESTS=OFF \
  -DACTUALIZA_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)"
for t in build-fuzz/fuzz/fuzz_*; do
  [ -x "$t" ] || continue
  name=$(basename "$t")
  corpus=build-fuzz/corpus-$name; mkdir -p "$corpus"
  seeds=fuzz/seeds/${name#fuzz_}
  echo "== $name ($secs s)"
  "$t" -max_total_time="$secs" -max_len=65536 -rss_limit_mb=2048 "$corpus" ${seeds:+$( [ -d "$seeds" ] && echo "$seeds")} 2>&1 | tail -n 3
done
