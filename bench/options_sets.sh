#!/usr/bin/env bash
# The "options" and "sets" classes of compare.sh, which calls this script with its corpus and
# release binary and appends the Markdown it prints to the results.
#
#   options  each analyst option against the plain search of the same bytes (7F 45 4C 46 on the
#            corpus), --count on the dense 00 and 00 00, and the peak memory of --context=4096
#            on 00 over the first 256 KiB (about 2 GB of dumps)
#   sets     the shipped signature set against one rare 4-byte pattern and against its patterns
#            searched one by one; 100 and 10,000 random 8-byte patterns (uniform bytes, no 0A,
#            drawn with a fixed seed) against ripgrep (-f with one hex-escaped regex per line)
#            and YARA (one rule, a string per pattern). GNU grep -F -f is left out: with 100
#            such patterns it did not finish the corpus in 120 s.
#
# Environment (set by compare.sh): BYTROVE, CORPUS, RUNS, RAW (a directory for raw results),
# CLASSES ("options", "sets" or both).
set -euo pipefail
export LC_ALL=C
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
: "${BYTROVE:?}" "${CORPUS:?}" "${RUNS:?}" "${RAW:?}" "${CLASSES:?}"
q() { printf '%q ' "$@"; }
piped() { echo "{ $*; } | cat >/dev/null"; }
bytes=$(stat -c %s "$CORPUS")
declare -A median

# Runs the named commands side by side (NAME CMD NAME CMD ...) and records their medians.
measure() {
  local tag=$1
  shift
  local args=()
  while (($#)); do args+=(-n "$1" "$(piped "$2")"); shift 2; done
  hyperfine --shell=bash --warmup 1 --runs "$RUNS" --style basic --export-json "$RAW/$tag.json" \
    -i "${args[@]}" >"$RAW/$tag.txt" 2>&1 || { cat "$RAW/$tag.txt" >&2; exit 1; }
  while IFS=$'\t' read -r name seconds; do median[$name]=$seconds; done \
    < <(jq -r '.results[] | [.command, .median] | @tsv' "$RAW/$tag.json")
}
rss() {  # peak resident set size in MiB of one run, output discarded through a pipe
  local log=$RAW/rss.txt
  bash -c "/usr/bin/time -v -o $(q "$log") $1 | cat >/dev/null" 2>/dev/null || true
  awk -F': *' '/Maximum resident set size/ {printf "%.0f", $2 / 1024}' "$log"
}
row() {  # row LABEL NAME [BASE LABEL]: seconds, GB/s, and its time over BASE's
  local s=${median[$2]}
  awk -v l="$1" -v s="$s" -v b="${3:+${median[$3]}}" -v bl="${4:-}" -v n="$bytes" 'BEGIN {
    printf "| %s | %.3f | %.2f | %s |\n", l, s, n / s / 1e9, b == "" ? "-" : sprintf("%.2f (%s)", s / b, bl) }'
}

b=$(q "$BYTROVE")
c=$(q "$CORPUS")
if [[ " $CLASSES " == *" options "* ]]; then
  measure options \
    plain "$b 7F454C46 -- $c" \
    count "$b --count 7F454C46 -- $c" \
    max_count "$b --max-count=1000000000 7F454C46 -- $c" \
    max_count_10 "$b --max-count=10 7F454C46 -- $c" \
    files "$b --files-with-matches 'DE AD BE EF' -- $c" \
    range "$b --range=1:1G 7F454C46 -- $c" \
    context "$b --context=16 7F454C46 -- $c" \
    json "$b --json 7F454C46 -- $c" \
    count_00 "$b --count 00 -- $c" \
    count_0000 "$b --count '00 00' -- $c"
  context_rss=$(rss "$b --context=4096 --range=:256K 00 -- $c")
  echo "### Analyst options on the corpus ($RUNS runs, median)"
  echo
  echo "| command | seconds | GB/s | time / plain search's |"
  echo "|---|---:|---:|---:|"
  row "plain \`7F454C46\`" plain
  row "\`--count\`" count plain plain
  row "\`--max-count=1000000000\` (more than there are)" max_count plain plain
  row "\`--max-count=10\`" max_count_10 plain plain
  row "\`--files-with-matches\`, absent \`DE AD BE EF\`" files plain plain
  row "\`--range=1:1G\`" range plain plain
  row "\`--context=16\`" context plain plain
  row "\`--json\`" json plain plain
  row "\`--count 00\` (dense)" count_00 plain plain
  row "\`--count '00 00'\` (dense)" count_0000 plain plain
  echo
  echo "Peak memory of \`--context=4096 --range=:256K 00\` (a dump of 8 KiB around each of the"
  echo "zero bytes of the first 256 KiB): $context_rss MiB."
  echo
fi

if [[ " $CLASSES " == *" sets "* ]]; then
  sigs=$root/samples/signatures.set
  python3 - "$RAW" <<'EOF'
import random, sys
raw = sys.argv[1]
random.seed(20261209)
for n in (100, 10000):
    pats = []
    while len(pats) < n:
        b = bytes(random.randrange(256) for _ in range(8))
        if 0x0A not in b:
            pats.append(b)
    with open(f"{raw}/random{n}.set", "w") as f:
        f.writelines(f"p{i} = {b.hex(' ').upper()}\n" for i, b in enumerate(pats))
    with open(f"{raw}/random{n}.rx", "w") as f:
        f.writelines("".join(f"\\x{x:02X}" for x in b) + "\n" for b in pats)
    with open(f"{raw}/random{n}.yar", "w") as f:
        f.write("rule r {\n strings:\n")
        f.writelines(f"  $p{i} = {{ {b.hex(' ')} }}\n" for i, b in enumerate(pats))
        f.write(" condition: any of them\n}\n")
EOF
  # The shipped set's patterns one by one: one run of Bytrove per pattern.
  one_by_one=$RAW/one_by_one.sh
  {
    echo "set -e"
    sed -e 's/#.*//' -e '/^[[:space:]]*$/d' -e 's/^[^=]*=[[:space:]]*//' -e 's/[[:space:]]*$//' "$sigs" |
      while IFS= read -r pattern; do echo "$b -- $(q "$pattern") $c"; done
  } >"$one_by_one"
  measure sets_shipped \
    single "$b 7F454C46 -- $c" \
    shipped "$b --patterns=$(q "$sigs") -- $c" \
    one_by_one "bash $(q "$one_by_one")"
  for n in 100 10000; do
    measure "sets_$n" \
      "set$n" "$b --patterns=$(q "$RAW/random$n.set") -- $c" \
      "rg$n" "rg --no-unicode -obUa -f $(q "$RAW/random$n.rx") -- $c" \
      "yara$n" "yara -s $(q "$RAW/random$n.yar") $c"
  done
  echo "### Pattern sets on the corpus ($RUNS runs, median; every offset printed into a pipe)"
  echo
  echo "| command | seconds | GB/s | time / another's |"
  echo "|---|---:|---:|---:|"
  row "one rare pattern \`7F454C46\`" single
  row "the shipped set ($(grep -c '^[A-Za-z0-9_.+-]* *=' "$sigs") signatures)" shipped single "one pattern"
  row "its patterns one by one" one_by_one shipped "the set"
  for n in 100 10000; do
    row "$n random 8-byte patterns, Bytrove" "set$n" single "one pattern"
    row "$n random 8-byte patterns, ripgrep" "rg$n" "set$n" "Bytrove"
    row "$n random 8-byte patterns, YARA" "yara$n" "set$n" "Bytrove"
  done
  echo
  echo "Peak memory (MiB): shipped set $(rss "$b --patterns=$(q "$sigs") -- $c"),"
  echo "100 patterns $(rss "$b --patterns=$(q "$RAW/random100.set") -- $c"),"
  echo "10,000 patterns $(rss "$b --patterns=$(q "$RAW/random10000.set") -- $c")."
  echo
fi
