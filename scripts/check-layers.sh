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
  [records]="util config dbm"
  [imex]="util config dbm records"
  [psi]="util config"
  [output]="util config dbm records imex"
  [shell]="util config dbm records imex psi output"
  [commands]="util config dbm records imex psi output shell"
  [programs]="util config dbm records imex psi output shell commands"
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
  done < <(grep -Ho -n '^#include "[a-z_]*/[^"]*"' "$layer"/* | sed 's/#include "\(.*\)"/\1/')
done
if [[ $status -eq 0 ]]; then echo "Layers: every include points down."; fi
exit $status
