#!/usr/bin/env bash
# Measures --decompress side by side with the decoders piped into the tool, in one run, output
# piped: the 1 GiB corpus (bench/compare.sh builds it) as .gz (gzip -6) and .zst (zstd -3),
# against `gzip -dc | bytrove`, `zstd -dc | bytrove`, the decoder alone and `ugrep -z`; a tree
# of 2,000 small .gz files at 2 threads against --threads 1; the plain corpus with and without
# --decompress; the default thread count (a packed input decoded ahead of its search) against
# --threads 1, with the sparse pattern and with 4889 (a line for about every fifty bytes). Peak RSS of every command from one more run under /usr/bin/time.
#
#   bench/decompress.sh               (BENCH_QUICK=1: the 64 MiB corpus, one run)
# Environment: BENCH_DIR (/tmp/bytrove-bench: the corpus), BENCH_RUNS (3), BENCH_SHORT_RUNS (30:
# the runs of the tree's two commands, each a few tens of milliseconds), BENCH_NO_BUILD=1,
# BENCH_PATTERN (7F454C46: the ELF mark, a few thousand occurrences), BENCH_OUT (the table).
set -euo pipefail
export LC_ALL=C

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bench_dir=${BENCH_DIR:-/tmp/bytrove-bench}
quick=${BENCH_QUICK:-0}
runs=${BENCH_RUNS:-3}
corpus_bytes=$((1 << 30))
if [[ $quick == 1 ]]; then
  corpus_bytes=$((64 << 20))
  runs=1
fi
pattern=${BENCH_PATTERN:-7F454C46}
out_file=${BENCH_OUT:-$root/bench/results-decompress.md}
bytrove=$root/build/release/bytrove
work=$bench_dir/decompress
mkdir -p "$work"

say() { printf '== %s\n' "$*" >&2; }
if [[ ${BENCH_NO_BUILD:-0} != 1 ]]; then
  say "building the release binary"
  (cd "$root" && cmake --preset release && cmake --build --preset release --target bytrove) \
    >"$work/build.log" 2>&1
fi
corpus=$bench_dir/corpus-$corpus_bytes.bin
if [[ ! -f $corpus ]]; then
  say "no corpus: building it with bench/compare.sh's builder"
  # The builder runs read_limit on the corpus it makes: built here, as compare.sh would.
  if [[ ${BENCH_NO_BUILD:-0} != 1 ]]; then
    (cd "$root" && cmake --preset bench && cmake --build --preset bench --target read_limit) \
      >>"$work/build.log" 2>&1
  fi
  BENCH_CLASSES=rare_byte BENCH_PEERS="" BENCH_RUNS=1 BENCH_QUICK=$quick BENCH_NO_BUILD=1 \
    BENCH_OUT=/dev/null "$root/bench/compare.sh" >/dev/null
fi
[[ -f $corpus.gz ]] || { say "gzip -6"; gzip -6 -c "$corpus" >"$corpus.gz.tmp" && mv "$corpus.gz.tmp" "$corpus.gz"; }
[[ -f $corpus.zst ]] || { say "zstd -3"; zstd -q -3 -c "$corpus" >"$corpus.zst.tmp" && mv "$corpus.zst.tmp" "$corpus.zst"; }
tree=$work/gztree
if [[ ! -f $tree.done ]]; then
  say "a tree of 2,000 small .gz files (from /usr/share)"
  rm -rf "$tree" && mkdir -p "$tree"
  (cd / && { find usr/share -type f -size -64k -size +1k -print0 2>/dev/null || true; }) |
    sort -z >"$work/tree-all.list0"
  head -z -n 2000 "$work/tree-all.list0" >"$work/tree.list0"
  while IFS= read -r -d '' f; do
    mkdir -p "$tree/$(dirname "$f")"
    gzip -6 -c "/$f" >"$tree/$f.gz" 2>/dev/null || true
  done <"$work/tree.list0"
  touch "$tree.done"
fi

commands=(
  "gzip -dc $corpus.gz >/dev/null"
  "$bytrove --threads 1 --decompress $pattern -- $corpus.gz | cat >/dev/null"
  "gzip -dc $corpus.gz | $bytrove --threads 1 $pattern | cat >/dev/null"
  "zstd -q -dc $corpus.zst >/dev/null"
  "$bytrove --threads 1 --decompress $pattern -- $corpus.zst | cat >/dev/null"
  "zstd -q -dc $corpus.zst | $bytrove --threads 1 $pattern | cat >/dev/null"
  "$bytrove --decompress $pattern -- $corpus.gz | cat >/dev/null"
  "$bytrove --decompress $pattern -- $corpus.zst | cat >/dev/null"
  "$bytrove --threads 1 --decompress 4889 -- $corpus.zst | cat >/dev/null"
  "$bytrove --decompress 4889 -- $corpus.zst | cat >/dev/null"
  "$bytrove --threads 1 --decompress -r $pattern -- $tree | cat >/dev/null"
  "$bytrove --threads 2 --decompress -r $pattern -- $tree | cat >/dev/null"
  "$bytrove --threads 1 $pattern -- $corpus | cat >/dev/null"
  "$bytrove --threads 1 --decompress $pattern -- $corpus | cat >/dev/null"
)
if command -v ugrep >/dev/null; then
  commands+=("ugrep -z -a -U -o -b '\\x7fELF' $corpus.gz | cat >/dev/null"
             "ugrep -z -a -U -o -b '\\x7fELF' $corpus.zst | cat >/dev/null")
fi
# Commands under a second are run more: their means, a few tens of milliseconds, move by more
# than the difference being measured over three runs on a shared machine.
short_default=30
[[ $quick == 1 ]] && short_default=5
short_runs=${BENCH_SHORT_RUNS:-$((runs > short_default ? runs : short_default))}
say "hyperfine, $runs runs each ($short_runs for the tree)"
long=() short=()
for c in "${commands[@]}"; do
  if [[ $c == *"$tree"* ]]; then short+=("$c"); else long+=("$c"); fi
done
hyperfine --style basic --runs "$runs" --warmup 1 --export-json "$work/times-long.json" \
  "${long[@]}" >"$work/hyperfine.log" 2>&1 || true
hyperfine --style basic --runs "$short_runs" --warmup 3 --export-json "$work/times-short.json" \
  "${short[@]}" >>"$work/hyperfine.log" 2>&1 || true
jq -s '{results: (.[0].results + .[1].results)}' "$work/times-long.json" "$work/times-short.json" \
  >"$work/times-all.json"
{
  # Wall time and CPU time (user + system) side by side: on a shared machine the wall time of a
  # one-thread command grows with the load, its CPU time does not.
  echo "| command | wall s (mean) | CPU s (user+sys) | peak RSS MiB |"
  echo "|---|---|---|---|"
  for c in "${commands[@]}"; do
    row=$(jq -r --arg c "$c" '.results[] | select(.command == $c) | "\(.mean) \(.user + .system)"' \
      "$work/times-all.json")
    rss=$( { /usr/bin/time -f %M bash -c "$c" ; } 2>&1 >/dev/null | tail -1)
    shown=${c//$bench_dir/\$BENCH_DIR}
    shown=${shown//$root\/build\/release\//}
    printf '| `%s` | %.3f | %.3f | %.1f |\n' "${shown//|/\\|}" ${row} "$(echo "$rss / 1024" | bc -l)"
  done
} >"$out_file"
cat "$out_file"
