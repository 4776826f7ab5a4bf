#!/usr/bin/env bash
# Checks that no source file includes a header of a layer above its own. Each folder of src/
# may include the folders listed after it; cli (arguments) sits on top, base at the bottom:
#   cli ─► search ─► report ─► scan ─► pattern ─► base      search ─► walk, source
# Prints every include that runs up the layers, and exits 1 if there is one.
set -euo pipefail
src=${1:-$(cd "$(dirname "$0")/../src" && pwd)}
declare -A allowed=(
  [base]="base"
  [pattern]="base pattern"
  [scan]="base pattern scan"
  [source]="base pattern scan source"
  [walk]="base walk"
  [report]="base pattern scan report"
  [search]="base pattern scan source walk report search"
  [cli]="base pattern scan source walk report search cli"
)
bad=0
for layer in "${!allowed[@]}"; do
  [[ -d $src/$layer ]] || continue
  while IFS=: read -r file line text; do
    target=$(sed -E 's/.*#include "([a-z_]+)\/.*/\1/' <<<"$text")
    if [[ " ${allowed[$layer]} " != *" $target "* ]]; then
      echo "${file#"$src"/}:$line: $layer includes $target"
      bad=1
    fi
  done < <(grep -nE '^#include "[a-z_]+/' -r "$src/$layer" || true)
done
for dir in "$src"/*/; do
  name=$(basename "$dir")
  [[ -n ${allowed[$name]+set} ]] || { echo "src/$name: a folder with no place in the layers"; bad=1; }
done
exit "$bad"
