#!/usr/bin/env bash
# Builds with AddressSanitizer and UndefinedBehaviorSanitizer and runs every
# test through ctest; then, when clang is available, runs each fuzz target
# for a short while.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh
./scripts/check-layers.sh

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=ON -DBUILD_BENCHMARKS=OFF -DWARNINGS_AS_ERRORS=ON
cmake --build build-asan
ctest --test-dir build-asan --output-on-failure -j2

# The whole tree (service, tests, benchmarks) also builds in Release, where
# the optimiser's warnings differ.
cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON -DWARNINGS_AS_ERRORS=ON >/dev/null
cmake --build build-rel

if command -v clang++ >/dev/null 2>&1; then
  ./scripts/fuzz.sh "${FUZZ_SECONDS:-20}"
else
  echo "clang++ not found: fuzz runs skipped (the corpora ran as tests above)."
fi
