#!/usr/bin/env bash
# Checks that the C++ sources are laid out as the repository's .clang-format says (Google base,
# 100 columns): clang-format --dry-run -Werror over src/, tests/, fuzz/ and bench/. Changes
# nothing; prints each file and line that differs and exits 1 when any does.
#
#   tools/check-format.sh            every C++ file under those folders
#   tools/check-format.sh FILE...    only these files
#
# CLANG_FORMAT names the binary (clang-format, then clang-format-14, by default). To fix what it
# reports: clang-format -i FILE...
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

tool=${CLANG_FORMAT:-}
if [[ -z $tool ]]; then
  for candidate in clang-format clang-format-14; do
    if command -v "$candidate" >/dev/null; then
      tool=$candidate
      break
    fi
  done
fi
if [[ -z $tool ]]; then
  echo "check-format: clang-format not found (tools/install-deps.sh installs it)" >&2
  exit 2
fi

if (($#)); then
  files=("$@")
else
  mapfile -d '' files < <(git ls-files -z -- 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' \
    'fuzz/*.cpp' 'fuzz/*.h' 'bench/*.cpp' 'bench/*.h')
fi
((${#files[@]})) || exit 0

# --style=file finds the repository's .clang-format above each file.
if "$tool" --style=file --dry-run -Werror "${files[@]}"; then
  echo "check-format: ${#files[@]} files as .clang-format lays them out"
else
  echo "check-format: files above differ from .clang-format's layout (clang-format -i FILE)" >&2
  exit 1
fi
