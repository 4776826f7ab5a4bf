#!/usr/bin/env bash
# The "options" and "sets" classes of compare.sh, which calls this script with its corpus and
# release binary and appends the Markdown it prints to the results.
#
#   options  each analyst option against the plain search of the same bytes (7F 45 4C 46 on the
#            corpus), --count on the dense 00 and 00 00, and the peak memory of --context=4096
#            on 00 over the first 256 KiB (about 2 GB of dumps)
#   sets     the shipped signature set against one rare 4-byte pattern and against its patterns
#            searched one by one; 100 and 10,000 random 8-byte patterns (uniform bytes, no 0A,
#            drawn with a fixed seed) against ripgrep (-f with one hex-escaped regex per line),
#            YARA (one rule, a string per pattern) and Hyperscan (bench/hs_scan: the same
#            regexes in streaming mode, 1 MiB reads, every match counted, with Bytrove's
#            thread count; its time includes compiling the database), each at the default
#            threads and at one. GNU grep -F -f is left out: with 100 such patterns it did not
#            finish the corpus in 120 s. Then the worst cases of candidate verification:
#            inputs made of one short stretch repeated, searched for members that are the
#            stretch repeated and then something else, against the slowest of those members
#            alone (see below).
#
# Environment (set by compare.sh): BYTROVE, CORPUS, RUNS, RAW (a directory for raw results),
# CLASSES ("options", "sets" or both); BASE_BYTROVE (the previous build, measured beside
# Bytrove where set), HS_SCAN (the Hyperscan harness, where built), QUICK=1 (smaller inputs).
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

# The worst cases of candidate verification. Each input is one short stretch repeated, 100 MiB
# (16 MiB with QUICK=1):
#   ab.bin     `ab` repeated: every member of ab.set (`P<k> = 'ab' x k 62 62`, k = 2..101)
#              agrees with it at every even place up to its last two bytes, and never occurs;
#              a set filter that takes the members' repeated stretch as their fingerprint
#              verifies 100 members at every second byte. ab1000.set: 1,000 such members
#              ('ab' x (2..127), then 62 62 and two bytes of their number), past the bucket
#              filter's size, so that the hashed tables are tried the same way.
#   zeros.bin  all 00, against ab.set and zeros.set (`Z<k> = 00 x k 62 62`): runs of zeros
#              are the commonest fill of real files.
#   ff.bin     all FF, against ab.set and ff.set (`F<k> = FF x k 62 62`): the other fill.
# Each set runs at --threads 1 beside its members k = 2, 51 and 101 alone; the goal is the set
# within 4 times the slowest of them.
repetitive_sets() {
  local size=$((100 << 20))
  [[ ${QUICK:-0} == 1 ]] && size=$((16 << 20))
  python3 - "$RAW" "$size" <<'EOF2'
import sys
raw, size = sys.argv[1], int(sys.argv[2])
for name, stretch in (("ab", b"ab"), ("zeros", b"\0"), ("ff", b"\xff")):
    with open(f"{raw}/{name}.bin", "wb") as f:
        f.write(stretch * (size // len(stretch)))
    head = {"ab": None, "zeros": "00", "ff": "FF"}[name]
    with open(f"{raw}/{name}.set", "w") as f:
        for k in range(2, 102):
            body = "'" + "ab" * k + "'" if head is None else " ".join([head] * k)
            f.write(f"{name[0].upper()}{k} = {body} 62 62\n")
with open(f"{raw}/ab1000.set", "w") as f:
    for k in range(1000):
        f.write(f"Q{k} = '{'ab' * (2 + k % 126)}' 62 62 {k >> 8:02X} {k & 255:02X}\n")
EOF2
  local rows=() input set tag k members
  for pair in ab:ab ab:ab1000 zeros:ab zeros:zeros ff:ab ff:ff; do
    input=${pair%%:*} set=${pair#*:} tag=rep_${input}_$set
    local in=$(q "$RAW/$input.bin") args=()
    args+=(set "$b --threads 1 --patterns=$(q "$RAW/$set.set") -- $in")
    [[ -n $base && $set != ab1000 ]] &&
      args+=(base "$base --threads 1 --patterns=$(q "$RAW/$set.set") -- $in")
    members=""
    for k in 2 51 101; do
      [[ $set == ab1000 ]] && break
      local pattern
      pattern=$(sed -n "$((k - 1))p" "$RAW/$set.set" | sed 's/^[^=]*= //')
      args+=("m$k" "$b --threads 1 -- $(q "$pattern") $in")
      members+=" m$k"
    done
    [[ $set == ab1000 ]] && members=" m2 m51 m101" && args+=(
      m2 "$b --threads 1 -- $(q "$(sed -n 1p "$RAW/ab1000.set" | sed 's/^[^=]*= //')") $in"
      m51 "$b --threads 1 -- $(q "$(sed -n 500p "$RAW/ab1000.set" | sed 's/^[^=]*= //')") $in"
      m101 "$b --threads 1 -- $(q "$(sed -n 1000p "$RAW/ab1000.set" | sed 's/^[^=]*= //')") $in")
    unset 'median[base]'
    measure "$tag" "${args[@]}"
    local slowest=0 m
    for m in $members; do
      slowest=$(awk -v a="$slowest" -v b="${median[$m]}" 'BEGIN {print (b > a ? b : a)}')
    done
    rows+=("$(awk -v i="$input" -v s="$set" -v t="${median[set]}" -v w="$slowest" \
      -v p="${median[base]:-}" 'BEGIN {
        printf "| %s.bin | %s.set | %.3f | %.3f | %.1f | %s |\n", i, s, t, w, t / w,
          p == "" ? "-" : sprintf("%.3f", p) }')")
  done
  echo "### Repetitive inputs (--threads 1, $RUNS runs, median)"
  echo
  echo "| input | set | set seconds | slowest member alone, seconds | set / slowest member | previous build, seconds |"
  echo "|---|---|---:|---:|---:|---:|"
  printf '%s\n' "${rows[@]}"
  echo
}

base=${BASE_BYTROVE:+$(q "$BASE_BYTROVE")}
threads=$(nproc)
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
  with_base=()
  [[ -n $base ]] && with_base=(base_shipped "$base --patterns=$(q "$sigs") -- $c")
  measure sets_shipped \
    single "$b 7F454C46 -- $c" \
    shipped "$b --patterns=$(q "$sigs") -- $c" \
    one_by_one "bash $(q "$one_by_one")" "${with_base[@]}"
  for n in 100 10000; do
    extra=()
    [[ -n $base ]] && extra+=("base$n" "$base --patterns=$(q "$RAW/random$n.set") -- $c")
    if [[ -n ${HS_SCAN:-} ]]; then
      extra+=("hs$n" "$(q "$HS_SCAN" "$RAW/random$n.rx" "$CORPUS") --threads $threads --max-length 8"
              "hs${n}_t1" "$(q "$HS_SCAN" "$RAW/random$n.rx" "$CORPUS") --threads 1 --max-length 8")
    fi
    measure "sets_$n" \
      "set$n" "$b --patterns=$(q "$RAW/random$n.set") -- $c" \
      "set${n}_t1" "$b --threads 1 --patterns=$(q "$RAW/random$n.set") -- $c" \
      "rg$n" "rg --no-unicode -obUa -f $(q "$RAW/random$n.rx") -- $c" \
      "yara$n" "yara -s $(q "$RAW/random$n.yar") $c" "${extra[@]}"
  done
  echo "### Pattern sets on the corpus ($RUNS runs, median; every offset printed into a pipe)"
  echo
  echo "| command | seconds | GB/s | time / another's |"
  echo "|---|---:|---:|---:|"
  row "one rare pattern \`7F454C46\`" single
  row "the shipped set ($(grep -c '^[A-Za-z0-9_.+-]* *=' "$sigs") signatures)" shipped single "one pattern"
  row "its patterns one by one" one_by_one shipped "the set"
  [[ -n $base ]] && row "the shipped set, previous build" base_shipped shipped "Bytrove"
  for n in 100 10000; do
    row "$n random 8-byte patterns, Bytrove" "set$n" single "one pattern"
    row "$n random 8-byte patterns, Bytrove --threads 1" "set${n}_t1" single "one pattern"
    [[ -n $base ]] && row "$n random 8-byte patterns, previous build" "base$n" "set$n" "Bytrove"
    if [[ -n ${HS_SCAN:-} ]]; then
      row "$n random 8-byte patterns, Hyperscan ($threads threads, compile + scan)" "hs$n" "set$n" "Bytrove"
      row "$n random 8-byte patterns, Hyperscan (1 thread, compile + scan)" "hs${n}_t1" "set${n}_t1" "Bytrove --threads 1"
    fi
    row "$n random 8-byte patterns, ripgrep" "rg$n" "set$n" "Bytrove"
    row "$n random 8-byte patterns, YARA" "yara$n" "set$n" "Bytrove"
  done
  echo
  echo "Peak memory (MiB): shipped set $(rss "$b --patterns=$(q "$sigs") -- $c"),"
  echo "100 patterns $(rss "$b --patterns=$(q "$RAW/random100.set") -- $c"),"
  echo "10,000 patterns $(rss "$b --patterns=$(q "$RAW/random10000.set") -- $c")."
  echo

  repetitive_sets
fi
