#!/usr/bin/env bash
# Measures the release binary against the read()+memchr ceilings and against other search
# tools, on a 1 GiB corpus of real binaries, a 256 MiB slice of it (dense output) and a tree
# of about 20,000 real files, and writes a Markdown table.
#
#   bench/compare.sh                  full run (long: the dense classes print hundreds of
#                                     millions of lines, and every command runs BENCH_RUNS + 3
#                                     times: a warm-up, the count and the peak memory)
#   BENCH_QUICK=1 bench/compare.sh    smoke test: 64 MiB corpus, 16 MiB slice, 2,000 files, 1 run
#
# Environment:
#   BENCH_DIR          cache for the corpus, the slice, the tree and raw results (/tmp/bytrove-bench)
#   BENCH_OUT          the Markdown table (bench/results.md)
#   BENCH_RUNS         hyperfine runs per command (5; 1 with BENCH_QUICK)
#   BENCH_QUICK=1      small corpus, slice and tree, one run
#   BENCH_CLASSES      classes to run, space separated (all):
#                      rare_byte elf_magic string bytes64 absent4 error_nocase call_wildcard
#                      zero_byte zero_pair zero_byte_slice zero_pair_slice tree
#                      options sets (see bench/options_sets.sh)
#   BENCH_PEERS        peers to run, space separated (grep rg ugrep yara)
#   BENCH_NO_BUILD=1   use the binaries already in build/release and build/bench
#   BENCH_BASE_REV     the previous build to measure beside this one, a git revision built
#                      in BENCH_DIR/base-<commit> (HEAD~1; "none" to leave it out)
#   BENCH_NO_INSTALL=1 never call apt-get for missing tools
#
# Bytrove runs with its default threads, with --threads 1 (the single-stream path) and with the
# skip loop alone (BYTROVE_MATCHER=horspool); all three must print the same bytes. ripgrep runs
# with and without --no-mmap and the faster counts. Every command prints every match offset
# into a pipe whose reader discards it, `{ tool ...; } | cat >/dev/null`, written into the
# command itself so that hyperfine's own --output handling (which differs between versions)
# plays no part: GNU grep stops at the first match when its output is /dev/null, and a
# harness that reads the output itself costs several times what the tools do on
# the dense classes. Each tool's match count is recorded next to Bytrove's: the other tools
# report non-overlapping matches (fewer for 00 00, except in the slice class, where they are
# given a look-ahead that finds every occurrence), grep cannot match across a newline, and yara
# keeps at most 1,000,000 matches per string. Peak memory comes from one more run of each
# command under /usr/bin/time -v.
set -euo pipefail
export LC_ALL=C

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
quick=${BENCH_QUICK:-0}
bench_dir=${BENCH_DIR:-/tmp/bytrove-bench}
out_file=${BENCH_OUT:-$root/bench/results.md}
if [[ $quick == 1 ]]; then
  corpus_bytes=$((64 << 20))
  slice_bytes=$((16 << 20))
  tree_count=2000
  runs=${BENCH_RUNS:-1}
else
  corpus_bytes=$((1 << 30))
  slice_bytes=$((256 << 20))
  tree_count=20000
  runs=${BENCH_RUNS:-5}
fi
all_classes="rare_byte elf_magic string bytes64 absent4 error_nocase call_wildcard zero_byte zero_pair zero_byte_slice zero_pair_slice tree options sets"
classes=${BENCH_CLASSES:-$all_classes}
peers_wanted=${BENCH_PEERS:-grep rg ugrep yara}

say() { printf '== %s\n' "$*" >&2; }
die() { printf 'compare.sh: %s\n' "$*" >&2; exit 1; }

for c in $classes; do
  [[ " $all_classes " == *" $c "* ]] || die "unknown class '$c' (known: $all_classes)"
done
# "options" and "sets" are measured by bench/options_sets.sh, after the pattern classes.
extra_classes=""
for c in options sets; do
  [[ " $classes " == *" $c "* ]] && extra_classes+=" $c"
done
classes=$(printf '%s\n' $classes | grep -vxE 'options|sets' | tr '\n' ' ' || true)
[[ $runs =~ ^[1-9][0-9]*$ ]] || die "BENCH_RUNS must be a positive number, not '$runs'"
mkdir -p "$bench_dir/raw"
raw=$bench_dir/raw

# --- (a) build --------------------------------------------------------------------------
# Two cores: never more than two compile jobs.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
bytrove=$root/build/release/bytrove
read_limit=$root/build/bench/bench/read_limit
if [[ ${BENCH_NO_BUILD:-0} != 1 ]]; then
  say "building the release binary and read_limit (log: $bench_dir/build.log)"
  (
    cd "$root"
    cmake --workflow --preset release
    cmake --preset bench
    cmake --build --preset bench --target read_limit
    # The Hyperscan harness of the set classes, where libvectorscan-dev is installed.
    cmake --build --preset bench --target hs_scan || true
  ) >"$bench_dir/build.log" 2>&1 || { tail -30 "$bench_dir/build.log" >&2; die "build failed"; }
fi
[[ -x $bytrove ]] || die "no release binary at $bytrove"
[[ -x $read_limit ]] || die "no read_limit at $read_limit"
hs_scan=$root/build/bench/bench/hs_scan
[[ -x $hs_scan ]] || hs_scan=""

# The previous build: the same release preset on another revision's source, kept per commit.
base_rev=${BENCH_BASE_REV:-HEAD~1}
base_bytrove=""
if [[ $base_rev != none ]]; then
  base_commit=$(git -C "$root" rev-parse --verify "$base_rev^{commit}" 2>/dev/null) ||
    die "BENCH_BASE_REV '$base_rev' is not a revision of $root"
  base_dir=$bench_dir/base-$base_commit
  if [[ ! -x $base_dir/build/release/bytrove ]]; then
    say "building the previous build ($base_rev, ${base_commit:0:12}) in $base_dir"
    rm -rf "$base_dir"
    mkdir -p "$base_dir"
    (git -C "$root" archive "$base_commit" | tar -x -C "$base_dir" &&
      cd "$base_dir" && cmake --workflow --preset release) >"$bench_dir/base-build.log" 2>&1 ||
      { tail -30 "$bench_dir/base-build.log" >&2; die "building $base_rev failed"; }
  fi
  base_bytrove=$base_dir/build/release/bytrove
fi

# --threads 1 is the single-stream path. A binary without the switch is still measured with
# its default; its one-thread column then says n/a instead of timing an error message.
printf 'xxab' >"$bench_dir/threads-probe.bin"
if "$bytrove" --threads 1 -- "'ab'" "$bench_dir/threads-probe.bin" >/dev/null 2>&1; then
  has_threads=1
else
  has_threads=0
  say "WARNING: $bytrove does not accept --threads 1; only its default is measured"
fi

# --- (b) corpus, slice and tree ---------------------------------------------------------
# Real binaries in a fixed order, cut at an exact size. The file set is whatever this machine
# has installed, so the corpus's checksum goes into the results to tell runs apart.
corpus=$bench_dir/corpus-$corpus_bytes.bin
if [[ ! -f $corpus || $(stat -c %s "$corpus") != "$corpus_bytes" || ! -f $corpus.sha256 ]]; then
  say "building the corpus: files under /usr/lib and /usr/bin, first $corpus_bytes bytes"
  # Files may come and go while packages are installed: skip what vanishes, keep going.
  { find /usr/lib /usr/bin -type f -print0 2>/dev/null || true; } | sort -z \
    >"$bench_dir/corpus-files.list0"
  # head closes the pipe once it has enough; cat then dies of SIGPIPE, which is expected.
  { xargs -0 cat -- <"$bench_dir/corpus-files.list0" 2>/dev/null || true; } |
    head -c "$corpus_bytes" >"$corpus.tmp"
  size=$(stat -c %s "$corpus.tmp")
  [[ $size == "$corpus_bytes" ]] || die "only $size bytes under /usr/lib and /usr/bin"
  mv "$corpus.tmp" "$corpus"
  sha256sum "$corpus" | cut -d' ' -f1 >"$corpus.sha256"
  rm -f "$bench_dir"/slice-*.bin
fi
corpus_sha=$(cat "$corpus.sha256")
say "corpus $corpus (sha256 ${corpus_sha:0:16}...)"

# The dense classes print about 60 bytes per occurrence: on the whole corpus that output
# (about 15 GB for 00) does not stay in the page cache, so replaying it measures the disk.
# On the slice it does, which makes "printing the same lines alone" a usable reference.
slice=$bench_dir/slice-$slice_bytes.bin
if [[ ! -f $slice || $(stat -c %s "$slice") != "$slice_bytes" ]]; then
  head -c "$slice_bytes" "$corpus" >"$slice"
fi

# The first regular files under /usr/lib and /usr/share, relative paths kept. Hidden files
# and directories are left out, so every tool searches the same set without extra switches.
tree=$bench_dir/tree-$tree_count
if [[ ! -f $tree.done ]]; then
  say "building the tree: the first $tree_count files under /usr/lib and /usr/share"
  rm -rf "$tree"
  mkdir -p "$tree"
  (cd / && { find usr/lib usr/share -type f -print0 2>/dev/null || true; }) | sort -z |
    { grep -zv '/\.' || true; } >"$bench_dir/tree-all.list0"
  head -z -n "$tree_count" "$bench_dir/tree-all.list0" >"$bench_dir/tree-files.list0"
  tar -C / --null -T "$bench_dir/tree-files.list0" --ignore-failed-read -cf - 2>/dev/null |
    tar -C "$tree" -xf - || die "copying the tree failed"
  touch "$tree.done"
fi
tree_files=$(find "$tree" -type f | wc -l)
tree_bytes=$(find "$tree" -type f -printf '%s\n' | awk '{s += $1} END {printf "%d", s}')
say "tree $tree: $tree_files files, $tree_bytes bytes"

# --- (c) peers --------------------------------------------------------------------------
apt_updated=0
install_package() {  # install_package PACKAGE COMMAND: 0 when COMMAND is there afterwards
  local package=$1 command=$2
  command -v "$command" >/dev/null && return 0
  if [[ ${BENCH_NO_INSTALL:-0} == 1 || $(id -u) != 0 ]]; then
    say "$command is missing and will not be installed here"
    return 1
  fi
  say "installing $package"
  if [[ $apt_updated == 0 ]]; then
    apt-get -o DPkg::Lock::Timeout=300 update -qq >>"$bench_dir/apt.log" 2>&1 || true
    apt_updated=1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 install -y -qq "$package" \
    >>"$bench_dir/apt.log" 2>&1 || { say "installing $package failed (see $bench_dir/apt.log)"; }
  command -v "$command" >/dev/null
}
install_package hyperfine hyperfine || die "hyperfine is needed and could not be installed"
install_package jq jq || die "jq is needed (to read hyperfine's results) and could not be installed"
# GNU time, not the shell keyword: it reports the peak resident set size.
install_package time /usr/bin/time || die "/usr/bin/time is needed (peak memory) and could not be installed"
peers=()
for peer in $peers_wanted; do
  case $peer in
    grep) command -v grep >/dev/null && peers+=(grep) ;;
    rg | ugrep | yara)
      package=$peer
      [[ $peer == rg ]] && package=ripgrep
      if install_package "$package" "$peer"; then peers+=("$peer"); else say "skipping $peer"; fi
      ;;
    *) die "unknown peer '$peer' (known: grep rg ugrep yara)" ;;
  esac
done
say "peers: ${peers[*]:-none}"

# --- (d) the ceilings -------------------------------------------------------------------
# The rarest byte of the corpus (not a newline, which line-based tools cannot match).
rare=$("$read_limit" "$corpus" --rarest | awk '$1 != "0A" {print $1; exit}')
[[ -n $rare ]] || die "could not find a rare byte in the corpus"
say "measuring read()+memchr (one thread) and pread()+memchr (every CPU) on the corpus"
"$read_limit" "$corpus" --runs "$((runs < 3 ? 3 : runs))" --byte "$rare" | tee "$raw/read_limit.txt" >&2
ceiling_1=$(awk '$1 == "ceiling_1thread_gbps" {print $2}' "$raw/read_limit.txt")
ceiling_threads=$(awk '$1 == "ceiling_nthread_gbps" {print $2}' "$raw/read_limit.txt")
ceiling_n=$(awk '$1 == "ceiling_nthread_gbps" {print $3}' "$raw/read_limit.txt")
[[ -n $ceiling_1 && -n $ceiling_n ]] || die "read_limit printed no ceilings"

# --- the patterns -----------------------------------------------------------------------
# A pattern is held as hex pairs ("??" for a wildcard) or as a plain string.
present() { grep -q -a -P "$(regex_of_hex "$1")" "$corpus"; }
regex_of_hex() {  # PCRE / ugrep / rg(?-u) byte escapes
  local out="" b
  for b in $1; do
    if [[ $b == "??" ]]; then out+='[\x00-\xFF]'; else out+="\\x$b"; fi
  done
  printf '%s' "$out"
}

string16=""
for s in __stack_chk_fail __cxa_finalize GLIBC_PRIVATE GLIBC_2.2.5; do
  if grep -q -a -F -- "$s" "$corpus"; then string16=$s; break; fi
done
[[ -n $string16 ]] || die "none of the candidate strings is in the corpus"

absent=""
for h in "9D 5B F1 3C" "E7 F3 9A 1B" "C5 8E 2F D9" "B3 6A F7 0E" "D1 9C 4B F5" "AE 17 E3 6D"; do
  if ! present "$h"; then absent=$h; break; fi
done
[[ -n $absent ]] || die "every candidate 'absent' pattern occurs in the corpus"

# 64 bytes from the middle of the corpus: no newline (line-based tools could not match it)
# and at least 16 distinct values (not a run of padding).
bytes64=""
offset=$(((corpus_bytes / 2) & ~4095))
for ((try = 0; try < 4096; ++try)); do
  candidate=$(od -An -v -tx1 -j "$offset" -N 64 "$corpus" | tr 'a-f' 'A-F' | xargs)
  distinct=$(tr ' ' '\n' <<<"$candidate" | sort -u | wc -l)
  if [[ " $candidate " != *" 0A "* && $distinct -ge 16 ]]; then bytes64=$candidate; break; fi
  offset=$((offset + 4096))
done
[[ -n $bytes64 ]] || die "no suitable 64-byte pattern in the corpus"

# class -> "kind|value": hex pairs or a string; error_nocase is the only folded one.
declare -A class_pattern=(
  [rare_byte]="hex|$rare"
  [elf_magic]="hex|7F 45 4C 46"
  [string]="str|$string16"
  [bytes64]="hex|$bytes64"
  [absent4]="hex|$absent"
  [error_nocase]="str|error"
  [call_wildcard]="hex|E8 ?? ?? ?? ?? 48 8B"
  [zero_byte]="hex|00"
  [zero_pair]="hex|00 00"
  [zero_byte_slice]="hex|00"
  [zero_pair_slice]="hex|00 00"
  [tree]="str|$string16"
)
dense_classes=" zero_byte zero_pair zero_byte_slice zero_pair_slice "
slice_classes=" zero_byte_slice zero_pair_slice "

bytes_of() {  # bytes_of CLASS: the bytes that class searches
  case $1 in
    tree) echo "$tree_bytes" ;;
    *_slice) echo "$slice_bytes" ;;
    *) echo "$corpus_bytes" ;;
  esac
}

label_of() {
  case $1 in
    bytrove) echo "Bytrove" ;;
    bytrove_t1) echo "Bytrove --threads 1" ;;
    bytrove_horspool) echo "Bytrove skip loop" ;;
    bytrove_base) echo "previous build" ;;
    rg_nommap) echo "rg --no-mmap" ;;
    *) echo "$1" ;;
  esac
}

q() { printf '%q ' "$@"; }

# Sets `names` and `commands` (timed; every offset printed), `counters` (prints the match
# count; empty where another command's count stands for it) and `first_peer` (the index of
# the first other tool) for one class.
build_commands() {
  local class=$1 kind value target fold="" bpat regex
  kind=${class_pattern[$class]%%|*}
  value=${class_pattern[$class]#*|}
  [[ $class == error_nocase ]] && fold=-i
  target=$corpus
  [[ $class == tree ]] && target=$tree/
  [[ $slice_classes == *" $class "* ]] && target=$slice
  # Only PCRE look-ahead makes the other tools report overlapping occurrences; it is used
  # where the exact count matters more than the tools' plain form.
  local pcre=()
  if [[ $kind == hex ]]; then
    bpat=${value//\?\?/?}
    regex=$(regex_of_hex "$value")
    if [[ $class == zero_pair_slice ]]; then
      regex="$(regex_of_hex "${value%% *}")(?=$(regex_of_hex "${value#* }"))"
      pcre=(-P)
    fi
  else
    bpat="'$value'"
  fi
  local recurse=() rg_tree=() yara_rule=$raw/$class.yar
  if [[ $class == tree ]]; then recurse=(-r); rg_tree=(--no-ignore --hidden); fi
  local own
  own=$(q "$bytrove" "${recurse[@]}" $fold -- "$bpat" "$target")
  names=(bytrove)
  commands=("$own")
  counters=("$own | grep -c '^offset 0x'")
  if [[ $has_threads == 1 ]]; then
    names+=(bytrove_t1)
    commands+=("$(q "$bytrove" --threads 1 "${recurse[@]}" $fold -- "$bpat" "$target")")
    counters+=("")
  fi
  names+=(bytrove_horspool)
  commands+=("env BYTROVE_MATCHER=horspool $own")
  counters+=("")
  if [[ -n $base_bytrove ]]; then
    names+=(bytrove_base)
    commands+=("$(q "$base_bytrove" "${recurse[@]}" $fold -- "$bpat" "$target")")
    counters+=("")
  fi
  first_peer=${#names[@]}
  local peer
  for peer in "${peers[@]}"; do
    case $peer in
      grep)
        names+=(grep)
        if [[ $kind == hex ]]; then
          commands+=("$(q grep "${recurse[@]}" -obUaP -- "$regex" "$target")")
        else
          commands+=("$(q grep "${recurse[@]}" -obUa $fold -F -- "$value" "$target")")
        fi
        counters+=("${commands[-1]} | wc -l")
        ;;
      rg)
        local rgpat rgf=()
        if [[ ${#pcre[@]} -gt 0 ]]; then rgpat=$regex; rgf=(-P --no-unicode)
        elif [[ $kind == hex ]]; then rgpat="(?-u)$regex"
        else rgpat=$value; rgf=(-F)
        fi
        names+=(rg rg_nommap)
        commands+=("$(q rg "${rg_tree[@]}" -obUa $fold "${rgf[@]}" -- "$rgpat" "$target")"
                   "$(q rg "${rg_tree[@]}" --no-mmap -obUa $fold "${rgf[@]}" -- "$rgpat" "$target")")
        counters+=("$(q rg "${rg_tree[@]}" --count-matches --no-filename -Ua $fold "${rgf[@]}" -- "$rgpat" "$target") | awk '{s += \$1} END {print s + 0}'"
                   "")
        ;;
      ugrep)
        local ugpat ugf=()
        if [[ $kind == hex ]]; then ugpat=$regex; ugf=("${pcre[@]}"); else ugpat=$value; ugf=(-F); fi
        names+=(ugrep)
        commands+=("$(q ugrep "${recurse[@]}" -obUa $fold "${ugf[@]}" -- "$ugpat" "$target")")
        # One "count" or "file:count" line per file searched.
        counters+=("$(q ugrep "${recurse[@]}" -c -o -Ua $fold "${ugf[@]}" -- "$ugpat" "$target") | awk -F: '{s += \$NF} END {print s + 0}'")
        ;;
      yara)
        # It stops at 1,000,000 matches, so on the slice it would time a partial search.
        [[ $class == tree || $slice_classes == *" $class "* ]] && continue
        # shellcheck disable=SC2016 # $a is yara's, not the shell's
        if [[ $kind == hex ]]; then
          printf 'rule bench { strings: $a = { %s } condition: $a }\n' "$value" >"$yara_rule"
        else
          local modifier=""
          [[ -n $fold ]] && modifier=" nocase"
          printf 'rule bench { strings: $a = "%s"%s condition: $a }\n' "$value" "$modifier" \
            >"$yara_rule"
        fi
        names+=(yara)
        commands+=("$(q yara -s "$yara_rule" "$target")")
        counters+=("${commands[-1]} 2>/dev/null | grep -c '^0x'")
        ;;
    esac
  done
}

# Runs a counting snippet (the tool first in its pipeline); prints the count, or "error N"
# when the tool failed (exit 1 is "no match" for the grep family).
count_of() {
  local result rc
  set +e
  result=$(bash -c "$1"'; exit ${PIPESTATUS[0]}' 2>>"$raw/count-errors.log")
  rc=$?
  set -e
  if ((rc > 1)); then echo "error $rc"; else echo "${result:-0}"; fi
}

# The tool's own peak resident set size in MiB, from one run with its output in the same pipe.
rss_of() {
  local log=$raw/time-v.txt
  rm -f "$log"
  bash -c "/usr/bin/time -v -o $(q "$log") $1 | cat >/dev/null" 2>>"$raw/count-errors.log" || true
  awk -F': *' '/Maximum resident set size/ {printf "%.1f", $2 / 1024; found = 1}
               END {if (!found) print "-"}' "$log" 2>/dev/null || echo "-"
}

# --- (e) measure ------------------------------------------------------------------------
declare -A median count rss
outputs_agree=()
for class in $classes; do
  build_commands "$class"
  say "class $class: ${class_pattern[$class]#*|}"
  args=()
  for i in "${!names[@]}"; do
    # The reader at the end of the pipe discards: hyperfine never sees any output.
    args+=(-n "${names[$i]}" "{ ${commands[$i]}; } | cat >/dev/null")
  done
  hyperfine --shell=bash --warmup 1 --runs "$runs" --ignore-failure --style basic \
    --export-json "$raw/$class.json" "${args[@]}" >"$raw/$class.hyperfine.txt" 2>&1 ||
    { cat "$raw/$class.hyperfine.txt" >&2; die "hyperfine failed for $class"; }
  while IFS=$'\t' read -r name seconds; do
    median[$class.$name]=$seconds
  done < <(jq -r '.results[] | [.command, .median] | @tsv' "$raw/$class.json")
  for i in "${!names[@]}"; do
    rss[$class.${names[$i]}]=$(rss_of "${commands[$i]}")
    [[ -n ${counters[$i]} ]] || continue
    count[$class.${names[$i]}]=$(count_of "${counters[$i]}")
  done
  # Every way of running Bytrove must print the very same lines.
  for ((i = 1; i < first_peer; ++i)); do
    if cmp -s <(bash -c "${commands[0]}") <(bash -c "${commands[$i]}"); then
      outputs_agree+=("$class ${names[$i]}: same")
    else
      outputs_agree+=("$class ${names[$i]}: **OUTPUT DIFFERS from the default**")
      say "WARNING: $class output of ${names[$i]} differs from the default"
    fi
  done
  summary="  bytrove ${count[$class.bytrove]} matches"
  for i in "${!names[@]}"; do
    ((i >= first_peer)) && [[ -n ${counters[$i]} ]] && summary+=", ${names[$i]} ${count[$class.${names[$i]}]}"
  done
  say "$summary"
done

# Slice classes: what merely printing the same lines costs. Bytrove's output is saved once and
# replayed through the same pipe; the search itself is what Bytrove adds on top of that.
declare -A print_only=()
for class in $slice_classes; do
  [[ " $classes " == *" $class "* ]] || continue
  build_commands "$class"
  saved=$raw/$class.out
  bash -c "${commands[0]}" >"$saved"
  hyperfine --shell=bash --warmup 1 --runs "$runs" --style basic --export-json "$raw/$class.print.json" \
    -n print_only "cat $(q "$saved") | cat >/dev/null" >"$raw/$class.print.txt" 2>&1 ||
    die "hyperfine failed for the print-only run of $class"
  print_only[$class]=$(jq -r '.results[0].median' "$raw/$class.print.json")
  rm -f "$saved"
done

# --- (f) the table ----------------------------------------------------------------------
gbps() { awk -v b="$1" -v s="$2" 'BEGIN {if (s > 0) printf "%.2f", b / s / 1e9; else print "-"}'; }
count_mark() {  # count_mark PEER_COUNT BYTROVE_COUNT: "", "(fewer)", "(more)" or "(failed)"
  if [[ ! $1 =~ ^[0-9]+$ || ! $2 =~ ^[0-9]+$ ]]; then [[ $1 == "$2" ]] || echo "(failed)"
  elif (($1 < $2)); then echo "(fewer)"
  elif (($1 > $2)); then echo "(more)"
  fi
  return 0
}
ratio() {  # a / b, or "-" unless both are numbers
  awk -v a="$1" -v b="$2" 'BEGIN {
    if (a ~ /^[0-9.]+$/ && b ~ /^[0-9.]+$/ && b > 0) printf "%.2f", a / b; else print "-"
  }'
}
faster() { awk -v a="$1" -v b="$2" 'BEGIN {exit !(a ~ /^[0-9.]+$/ && (b !~ /^[0-9.]+$/ || a + 0 > b + 0))}'; }
count_for() {  # count_for CLASS NAME: rg --no-mmap prints what rg prints
  local name=$2
  [[ $name == rg_nommap ]] && name=rg
  echo "${count[$1.$name]:-}"
}
seconds() { awk -v s="${1:--}" 'BEGIN {if (s == "-") print s; else printf "%.3f", s}'; }

{
  cpu=$(grep -m1 '^model name' /proc/cpuinfo | sed 's/^[^:]*: *//')
  family=$(grep -m1 '^cpu family' /proc/cpuinfo | sed 's/^[^:]*: *//')
  model=$(grep -m1 '^model[[:space:]]*:' /proc/cpuinfo | sed 's/^[^:]*: *//')
  echo "# Bytrove against other tools"
  echo
  echo "| date | CPU | CPUs available | read()+memchr, 1 thread | pread()+memchr, $ceiling_threads threads |"
  echo "|---|---|---:|---:|---:|"
  echo "| $(date -u '+%Y-%m-%d %H:%M UTC') | $cpu (family $family, model $model) | $(nproc) | $ceiling_1 GB/s | $ceiling_n GB/s |"
  echo
  echo "Corpus: $corpus_bytes bytes of files under /usr/lib and /usr/bin in path order"
  echo "(sha256 \`$corpus_sha\`); slice: its first $slice_bytes bytes; tree: $tree_files files,"
  echo "$tree_bytes bytes from /usr/lib and /usr/share. Median of $runs hyperfine run(s) after one"
  echo "warm-up; every command prints every offset into \`| cat >/dev/null\`. GB/s = bytes searched /"
  echo "median seconds / 10^9. The ceilings read the corpus (page cache warm) into page-aligned"
  echo "1 MiB buffers and count byte 0x$rare with memchr: one thread with read(), or every CPU with"
  echo "pread() of alternate chunks. Peak RSS: one further run of each command under /usr/bin/time -v."
  [[ $has_threads == 1 ]] || echo "**This Bytrove has no --threads switch: only its default was measured.**"
  [[ $quick == 1 ]] && echo "**Quick run (BENCH_QUICK=1): small inputs, one run; numbers are only a smoke test.**"
  echo
  echo '```'
  grep -v '^ceiling_' "$raw/read_limit.txt"
  echo '```'
  echo
  echo "| class | pattern | Bytrove GB/s | Bytrove --threads 1 GB/s | skip loop GB/s | previous build GB/s | ripgrep, faster form (GB/s) | fastest peer (GB/s) | Bytrove / fastest peer | Bytrove / $ceiling_threads-thread ceiling | --threads 1 / 1-thread ceiling | peak RSS MiB, Bytrove / peer | counts (Bytrove vs each peer) |"
  echo "|---|---|---:|---:|---:|---:|---|---|---:|---:|---:|---:|---|"
  for class in $classes; do
    build_commands "$class"
    bytes=$(bytes_of "$class")
    own=$(gbps "$bytes" "${median[$class.bytrove]:-0}")
    one="n/a"
    [[ $has_threads == 1 ]] && one=$(gbps "$bytes" "${median[$class.bytrove_t1]:-0}")
    plain=$(gbps "$bytes" "${median[$class.bytrove_horspool]:-0}")
    base="-"
    [[ -n $base_bytrove ]] && base=$(gbps "$bytes" "${median[$class.bytrove_base]:-0}")
    # The fastest peer that found what Bytrove found; if none did, the fastest of all but yara
    # at its cap, which stopped searching there.
    best_name="-" best="-" best_exact="-" best_exact_name="-"
    counts="${count[$class.bytrove]}"
    for name in "${names[@]:$first_peer}"; do
      rate=$(gbps "$bytes" "${median[$class.$name]:-0}")
      mark=$(count_mark "$(count_for "$class" "$name")" "${count[$class.bytrove]}")
      capped=0
      [[ $name == yara && ${count[$class.yara]} == 1000000 && -n $mark ]] && capped=1
      if ((!capped)) && faster "$rate" "$best"; then best=$rate best_name=$name; fi
      if [[ -z $mark ]] && faster "$rate" "$best_exact"; then best_exact=$rate best_exact_name=$name; fi
      [[ $name == rg_nommap ]] || counts+="; $name $(count_for "$class" "$name")${mark:+ $mark}"
    done
    if [[ $best_exact != "-" ]]; then best=$best_exact best_name=$best_exact_name; fi
    rg_text="-" rg_best="-"
    for name in rg rg_nommap; do
      [[ -n ${median[$class.$name]:-} ]] || continue
      rate=$(gbps "$bytes" "${median[$class.$name]}")
      if faster "$rate" "$rg_best"; then rg_best=$rate rg_text="$(label_of "$name") ($rate)"; fi
    done
    peer_text="-"
    if [[ $best != "-" ]]; then
      mark=$(count_mark "$(count_for "$class" "$best_name")" "${count[$class.bytrove]}")
      peer_text="$(label_of "$best_name")${mark:+ $mark} ($best)"
    fi
    to_n=$(ratio "$own" "$ceiling_n")
    to_1=$(ratio "$one" "$ceiling_1")
    if [[ $class == tree || $dense_classes == *" $class "* ]]; then to_n="-" to_1="-"; fi
    pattern=${class_pattern[$class]#*|}
    ((${#pattern} > 40)) && pattern="${pattern:0:36} ..."
    [[ $class == error_nocase ]] && pattern="$pattern (-i)"
    [[ $class == tree ]] && pattern="$pattern (-r)"
    [[ $slice_classes == *" $class "* ]] && pattern="$pattern, slice"
    peer_rss="-"
    [[ $best_name != "-" ]] && peer_rss=${rss[$class.$best_name]:--}
    echo "| $class | \`$pattern\` | $own | $one | $plain | $base | $rg_text | $peer_text | $(ratio "$own" "$best") | $to_n | $to_1 | ${rss[$class.bytrove]:--} / $peer_rss | $counts |"
  done
  echo
  if ((${#print_only[@]})); then
    echo "Dense output on the slice: Bytrove against replaying its own saved output through the same"
    echo "pipe (\`cat saved | cat >/dev/null\`), the cost of merely printing the same lines:"
    echo
    echo "| class | Bytrove s | Bytrove --threads 1 s | print only s | Bytrove / print only |"
    echo "|---|---:|---:|---:|---:|"
    for class in $slice_classes; do
      [[ -n ${print_only[$class]:-} ]] || continue
      echo "| $class | $(seconds "${median[$class.bytrove]:-}") | $(seconds "${median[$class.bytrove_t1]:-}") | $(seconds "${print_only[$class]}") | $(ratio "${median[$class.bytrove]:--}" "${print_only[$class]}") |"
    done
    echo
  fi
  all_names=(bytrove)
  [[ $has_threads == 1 ]] && all_names+=(bytrove_t1)
  all_names+=(bytrove_horspool)
  [[ -n $base_bytrove ]] && all_names+=(bytrove_base)
  for p in "${peers[@]}"; do
    all_names+=("$p")
    [[ $p == rg ]] && all_names+=(rg_nommap)
  done
  header="| class |" rule="|---|"
  for name in "${all_names[@]}"; do header+=" $(label_of "$name") |"; rule+="---:|"; done
  echo "All medians (seconds):"
  echo
  echo "$header"
  echo "$rule"
  for class in $classes; do
    row="| $class |"
    for name in "${all_names[@]}"; do row+=" $(seconds "${median[$class.$name]:-}") |"; done
    echo "$row"
  done
  echo
  echo "Peak resident set size (MiB):"
  echo
  echo "$header"
  echo "$rule"
  for class in $classes; do
    row="| $class |"
    for name in "${all_names[@]}"; do row+=" ${rss[$class.$name]:--} |"; done
    echo "$row"
  done
  echo
  echo "Bytrove's other runs against its default, byte for byte: ${outputs_agree[*]/%/;}"
  [[ -n $base_bytrove ]] && echo "The previous build is $base_rev (\`${base_commit:0:12}\`)."
  echo
  echo "A peer marked (fewer) or (more) found a different number of matches than Bytrove, for"
  echo "known reasons: grep, rg and ugrep report non-overlapping matches (fewer for 00 00; in"
  lookahead='\x00(?=\x00)'
  echo "zero_pair_slice they search \`$lookahead\` instead, which finds every occurrence); grep"
  echo "matches within lines, so never across a newline byte; yara keeps at most 1,000,000"
  echo "matches per string. The fastest peer is the fastest that found what Bytrove found, if any"
  echo "did, and never yara stopped at its cap. Raw hyperfine output: $raw."
  echo
  # sed reads to the end, so no tool is cut off mid-write and complains of a broken pipe.
  tools="$("$bytrove" --version | sed -n 1p); $(grep --version | sed -n 1p)"
  for p in "${peers[@]}"; do
    case $p in
      rg) tools+="; $(rg --version | sed -n 1p)" ;;
      ugrep) tools+="; $(ugrep --version | sed -n '1s/^\(ugrep [^ ]*\).*/\1/p')" ;;
      yara) tools+="; yara $(yara --version)" ;;
    esac
  done
  echo "Tools: $tools; $(hyperfine --version)."
} >"$out_file"
if [[ -n $extra_classes ]]; then
  say "classes$extra_classes (bench/options_sets.sh)"
  BYTROVE=$bytrove BASE_BYTROVE=$base_bytrove HS_SCAN=$hs_scan QUICK=$quick \
    CORPUS=$corpus RUNS=$runs RAW=$raw CLASSES=$extra_classes \
    bash "$root/bench/options_sets.sh" >>"$out_file"
fi
say "results written to $out_file"
cat "$out_file"
