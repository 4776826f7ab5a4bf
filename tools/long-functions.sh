#!/usr/bin/env bash
# Lists the C++ functions longer than a limit (60 lines by default), longest first, as
# "LINES FILE:LINE NAME". A function is counted from the first line of its signature to its
# closing brace, lambdas and comments inside it included.
#
#   tools/long-functions.sh              src/
#   tools/long-functions.sh -n 40 DIR... another limit, other folders
#
# It reads the layout .clang-format gives (a definition at namespace level starts in column 0
# and its closing brace is a "}" in column 0), so it needs no compiler; member functions
# defined inside a class body are measured the same way from their indented signature.
# Exits 1 when any function is over the limit.
set -euo pipefail
limit=60
if [[ ${1:-} == -n ]]; then
  limit=$2
  shift 2
fi
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if ((!$#)); then
  cd "$root"
  set -- src
fi

found=$(find "$@" \( -name '*.cpp' -o -name '*.h' \) -print0 | sort -z | xargs -0 awk -v limit="$limit" '
  # A signature line: opens with a name at its indent, holds "(", and is not a statement,
  # a control keyword or a declaration of a type or namespace.
  function is_signature(line, indent) {
    if (substr(line, 1, indent) != sprintf("%" indent "s", "")) return 0
    rest = substr(line, indent + 1)
    if (rest !~ /^[A-Za-z_~][A-Za-z0-9_:<>,*& ~\[\]]*[ *&]?[A-Za-z_~][A-Za-z0-9_:~]*(operator[^(]*)?\(/) {
      return 0
    }
    if (rest ~ /^(return|if|for|while|switch|else|case|do|namespace|class|struct|enum|union|using|typedef|static_assert|throw|delete|new) /) return 0
    if (rest ~ /;[ \t]*(\/\/.*)?$/) return 0
    return 1
  }
  FNR == 1 { depth_start = 0; start = 0; name = ""; indent = -1 }
  {
    if (start == 0) {
      match($0, /^ */)
      lead = RLENGTH
      if ((lead == 0 || lead == 2) && is_signature($0, lead)) {
        start = FNR; indent = lead; name = $0; opened = 0
        sub(/^ +/, "", name); sub(/\(.*/, "", name)
        # a one-line body: {...} on the signature line
        if ($0 ~ /\{.*\}[ \t]*$/) { start = 0 }
        if ($0 ~ /\{[ \t]*$/) opened = 1
      }
      next
    }
    if (!opened) {
      # a declaration whose parameters run over several lines: no body follows
      if ($0 ~ /\{[ \t]*$/) opened = 1
      else if ($0 ~ /;[ \t]*(\/\/.*)?$/) { start = 0; next }
    }
    closing = sprintf("%" indent "s", "") "}"
    if (substr($0, 1, indent + 1) == closing && substr($0, indent + 2, 1) != ";" &&
        (length($0) == indent + 1 || substr($0, indent + 2, 1) ~ /[ \t]/)) {
      lines = FNR - start + 1
      if (lines > limit) printf "%d %s:%d %s\n", lines, FILENAME, start, name
      start = 0
    } else if (indent == 2 && $0 ~ /^}/) {
      start = 0  # the class ended without a body at that indent: it was a declaration
    }
  }
' | sort -rn)
[[ -z $found ]] && exit 0
printf '%s\n' "$found"
exit 1
