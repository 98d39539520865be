#!/usr/bin/env bash
# Installs the Debian packages the project needs that are not installed yet.
# Run as root on Debian 12; uses the package mirror only.
set -euo pipefail

packages=(
  build-essential cmake ninja-build
  libgtest-dev libgmock-dev libbenchmark-dev
  libxerces-c-dev libxalan-c-dev zlib1g-dev libsqlite3-dev
  bison
  gawk lua5.4 idzebra-2.0 libyaz-dev pkg-config yaz xsltproc
  libicu-dev  # with libyaz-dev: Unicode normalisation and the MARC-8 and ISO 5426 decoders
)
# clang brings libFuzzer for the fuzz runs; optional.
optional=(clang)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi
for p in "${optional[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -qq "$p" || echo "Optional package $p not installed; fuzz runs are skipped."
  fi
done
