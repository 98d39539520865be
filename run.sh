#!/usr/bin/env bash
# Builds the service and the script runner, and starts the service in a
# runtime copy of the reference installation (runtime/, made from demo/ the
# first time; never tracked).
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target corvanta-batch corvanta-psi
if [ ! -d runtime ]; then
  cp -r demo runtime
  echo "Runtime installation created in $(pwd)/runtime"
fi
cd runtime/work
exec ../../build/corvanta-batch
