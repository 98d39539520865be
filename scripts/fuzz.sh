#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer and runs each for the
# given number of seconds (default 20) on a working copy of its corpus.
# A crash or a broken invariant fails the run; the finding is left in
# fuzz-work/<target>/ for replay.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-20}"

CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFUZZ=ON \
  -DBUILD_BENCHMARKS=OFF >/dev/null
targets=$(sed -n 's/^set(FUZZ_TARGETS \(.*\))$/\1/p' fuzz/CMakeLists.txt)
cmake --build build-fuzz --target $targets

for target in $targets; do
  work="fuzz-work/$target"
  mkdir -p "$work/corpus"
  cp -n fuzz/corpus/"$target"/* "$work/corpus/" 2>/dev/null || true
  echo "Fuzzing $target for ${seconds}s"
  (cd "$work" && "../../build-fuzz/fuzz/$target" -max_total_time="$seconds" -max_len=4096 \
     -print_final_stats=0 corpus 2>&1 | tail -n 3)
done
echo "Fuzz runs passed"
