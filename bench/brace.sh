#!/usr/bin/env bash
# Brace patterns side by side with their plain counterparts, YARA and ripgrep, in one run on
# compare.sh's corpus (built the same way when missing): every command prints every offset
# into `| cat >/dev/null`. Writes a Markdown table (bench/results-brace.md).
#
#   bench/brace.sh                 1 GiB corpus, BENCH_RUNS (3) runs per command
#   BENCH_QUICK=1 bench/brace.sh   64 MiB corpus, 1 run
#   BENCH_NO_BUILD=1               use build/release/bytrove as it is
#
# The classes: `{ E8 ?? ?? ?? ?? 48 8B }` against `E8 ? ? ? ? 48 8B` (the same search: the brace
# form of a plain pattern is that plain pattern); `{ 4D 5A [0-256] 50 45 00 00 }` against
# `50 45 00 00`; a nibble and negation pattern with a 4-byte anchor against the anchor alone;
# 100 random brace patterns, each with a jump and an alternative, as one set against YARA (one
# rule, `yara -s`) and ripgrep (one `(?s-u)` alternation: it reports non-overlapping matches,
# so its count may be lower).
set -euo pipefail
export LC_ALL=C
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bench_dir=${BENCH_DIR:-/tmp/bytrove-bench}
out_file=${BENCH_OUT:-$root/bench/results-brace.md}
if [[ ${BENCH_QUICK:-0} == 1 ]]; then bytes=$((64 << 20)) runs=${BENCH_RUNS:-1}; else bytes=$((1 << 30)) runs=${BENCH_RUNS:-3}; fi
mkdir -p "$bench_dir/raw"
raw=$bench_dir/raw
bytrove=$root/build/release/bytrove
if [[ ${BENCH_NO_BUILD:-0} != 1 ]]; then
  (cd "$root" && cmake --preset release && cmake --build --preset release --target bytrove) \
    >"$bench_dir/brace-build.log" 2>&1
fi
for tool in hyperfine yara rg jq; do command -v "$tool" >/dev/null || { echo "brace.sh: needs $tool" >&2; exit 1; }; done
corpus=$bench_dir/corpus-$bytes.bin
if [[ ! -f $corpus || $(stat -c %s "$corpus") != "$bytes" ]]; then
  { find /usr/lib /usr/bin -type f -print0 2>/dev/null || true; } | sort -z >"$bench_dir/corpus-files.list0"
  { xargs -0 cat -- <"$bench_dir/corpus-files.list0" 2>/dev/null || true; } | head -c "$bytes" >"$corpus.tmp"
  mv "$corpus.tmp" "$corpus"
fi

# 100 random brace patterns: 3 bytes, a jump, an alternative of two 1-2 byte branches, a byte.
python3 - "$raw" <<'PY'
import random, sys
random.seed(17)
raw = sys.argv[1]
hx = lambda: "%02X" % random.randrange(256)
members, regexes, yara = [], [], []
for i in range(100):
    a = [hx() for _ in range(3)]
    lo = random.randrange(0, 8); hi = lo + random.randrange(1, 64)
    b1 = [hx() for _ in range(random.randrange(1, 3))]
    b2 = [hx() for _ in range(random.randrange(1, 3))]
    z = hx()
    text = "{ %s [%d-%d] ( %s | %s ) %s }" % (" ".join(a), lo, hi, " ".join(b1), " ".join(b2), z)
    members.append("p%d = %s" % (i, text))
    yara.append("    $p%d = %s" % (i, text))
    esc = lambda bs: "".join("\\x" + b for b in bs)
    regexes.append("%s.{%d,%d}(?:%s|%s)%s" % (esc(a), lo, hi, esc(b1), esc(b2), esc([z])))
open(raw + "/brace100.set", "w").write("\n".join(members) + "\n")
open(raw + "/brace100.yar", "w").write("rule brace100 {\n  strings:\n" + "\n".join(yara) + "\n  condition:\n    any of them\n}\n")
open(raw + "/brace100.rg", "w").write("(?s-u)(?:" + "|".join(regexes) + ")")
PY

q() { printf '%q ' "$@"; }
pipe() { printf '{ %s; } | cat >/dev/null' "$1"; }
results=()
measure() {  # measure CLASS NAME=COMMAND...
  local class=$1 args=()
  shift
  for named in "$@"; do args+=(-n "${named%%=*}" "$(pipe "${named#*=}")"); done
  hyperfine -w 1 -r "$runs" --export-json "$raw/brace-$class.json" "${args[@]}" >"$raw/brace-$class.txt" 2>&1
  while IFS=$'\t' read -r name median; do
    results+=("| $class | $name | $(printf '%.3f' "$median") |")
  done < <(jq -r '.results[] | [.command, .median] | @tsv' "$raw/brace-$class.json")
}
b=$(q "$bytrove")
c=$(q "$corpus")
measure call "brace=$b -- '{ E8 ?? ?? ?? ?? 48 8B }' $c" "plain=$b -- 'E8 ? ? ? ? 48 8B' $c"
measure mz_pe "brace=$b -- '{ 4D 5A [0-256] 50 45 00 00 }' $c" "plain=$b -- '50 45 00 00' $c"
measure nibble "brace=$b -- '{ 48 89 5C 24 ?? 4? ~00 }' $c" "plain=$b -- '48 89 5C 24' $c"
measure set100 "bytrove=$b --patterns=$(q "$raw/brace100.set") -- $c" \
  "bytrove_t1=$b --threads 1 --patterns=$(q "$raw/brace100.set") -- $c" \
  "yara=yara -s $(q "$raw/brace100.yar") $c" "rg=rg -obUa -e \"\$(cat $(q "$raw/brace100.rg"))\" $c"
counts=$("$bytrove" --count -- '{ 4D 5A [0-256] 50 45 00 00 }' "$corpus" | tail -1)
set_count=$("$bytrove" --patterns="$raw/brace100.set" -- "$corpus" | grep -c '^offset' || true)
{
  echo "# Brace patterns, side by side ($(date -u +%Y-%m-%d), $(nproc) cores, $((bytes >> 20)) MiB corpus, median of $runs)"
  echo
  echo "| class | command | seconds |"
  echo "|---|---|---|"
  printf '%s\n' "${results[@]}"
  echo
  echo "MZ..PE count: $counts; 100-pattern set: $set_count occurrences."
} >"$out_file"
cat "$out_file"
