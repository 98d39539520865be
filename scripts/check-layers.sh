#!/usr/bin/env bash
# Checks that includes between the folders of src/ point only down the
# layers (docs/architecture.md): each folder may include its own headers and
# those of the folders listed for it, nothing else.
set -euo pipefail
cd "$(dirname "$0")/../src"

declare -A allowed=(
  [util]=""
  [dbm]="util"
  [config]="util"
  [records]="util config"
  [forms]="util config records"
  [indexing]="util config dbm records"
  [pool]="util config dbm records indexing"
  [search]="util config dbm records forms indexing pool"
  [library]="util config dbm records pool"
  [imex]="util config dbm records indexing pool"
  [psi]="util config"
  [output]="util config dbm records forms pool imex"
  [shell]="util config dbm records forms indexing pool search library imex psi output"
  [scripting]="util config dbm records forms indexing pool search library imex psi output shell"
  [commands]="util config dbm records forms indexing pool search library imex psi output shell scripting"
  [programs]="util config dbm records forms indexing pool search library imex psi output shell scripting commands"
)

status=0
for dir in */; do
  layer=${dir%/}
  if [[ ! -v allowed[$layer] ]]; then
    echo "src/$layer: a folder the layer list does not name" >&2
    status=1
    continue
  fi
  while IFS=: read -r file line target; do
    target_layer=${target%%/*}
    if [[ $target_layer != "$layer" && " ${allowed[$layer]} " != *" $target_layer "* ]]; then
      echo "src/$file:$line: $layer includes $target" >&2
      status=1
    fi
  done < <(grep -rHo -n '^#include "[a-z_]*/[^"]*"' "$layer" | sed 's/#include "\(.*\)"/\1/')
done
# An include must name its folder from src/: a relative or indented one
# would pass by the check above.
if grep -rn -E '^[[:space:]]+#[[:space:]]*include[[:space:]]*"|#[[:space:]]*include[[:space:]]*"\.\.?/' . ; then
  echo "src: an include above is indented or relative" >&2
  status=1
fi
if [[ $status -eq 0 ]]; then echo "Layers: every include points down."; fi
exit $status
