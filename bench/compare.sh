#!/usr/bin/env bash
# Measures the release binary against the read()+memchr ceiling and against other search
# tools, on a 1 GiB corpus of real binaries and on a tree of about 20,000 real files, and
# writes a Markdown table.
#
#   bench/compare.sh                  full run (long: the dense classes print hundreds of
#                                     millions of lines, and every tool runs 1 + BENCH_RUNS + 2 times)
#   BENCH_QUICK=1 bench/compare.sh    smoke test: 64 MiB corpus, 2,000 files, 1 run
#
# Environment:
#   BENCH_DIR          cache for the corpus, the tree and raw results (/tmp/bytrove-bench)
#   BENCH_OUT          the Markdown table (bench/results.md)
#   BENCH_RUNS         hyperfine runs per command (5; 1 with BENCH_QUICK)
#   BENCH_QUICK=1      small corpus and tree, one run
#   BENCH_CLASSES      classes to run, space separated (all):
#                      rare_byte elf_magic string bytes64 absent4 error_nocase call_wildcard
#                      zero_byte zero_pair tree
#   BENCH_PEERS        peers to run, space separated (grep rg ugrep yara)
#   BENCH_NO_BUILD=1   use the binaries already in build/release and build/bench
#   BENCH_NO_INSTALL=1 never call apt-get for missing peers
#
# Every command prints every match offset; its output goes through a pipe (GNU grep stops at
# the first match when its output is /dev/null), and the end of that pipe is /dev/null
# (hyperfine --output=null: hyperfine's own default reads the output itself, which on dense
# classes costs several times what the tools do). Each tool's match count is recorded next to
# Bytrove's: the other tools report non-overlapping matches (fewer for 00 00), grep cannot
# match across a newline, and yara keeps at most 1,000,000 matches per string.
set -euo pipefail
export LC_ALL=C

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
quick=${BENCH_QUICK:-0}
bench_dir=${BENCH_DIR:-/tmp/bytrove-bench}
out_file=${BENCH_OUT:-$root/bench/results.md}
if [[ $quick == 1 ]]; then
  corpus_bytes=$((64 << 20))
  tree_count=2000
  runs=${BENCH_RUNS:-1}
else
  corpus_bytes=$((1 << 30))
  tree_count=20000
  runs=${BENCH_RUNS:-5}
fi
all_classes="rare_byte elf_magic string bytes64 absent4 error_nocase call_wildcard zero_byte zero_pair tree"
classes=${BENCH_CLASSES:-$all_classes}
peers_wanted=${BENCH_PEERS:-grep rg ugrep yara}

say() { printf '== %s\n' "$*" >&2; }
die() { printf 'compare.sh: %s\n' "$*" >&2; exit 1; }

for c in $classes; do
  [[ " $all_classes " == *" $c "* ]] || die "unknown class '$c' (known: $all_classes)"
done
[[ $runs =~ ^[1-9][0-9]*$ ]] || die "BENCH_RUNS must be a positive number, not '$runs'"
mkdir -p "$bench_dir/raw"
raw=$bench_dir/raw

# --- (a) build --------------------------------------------------------------------------
# Two cores: never more than two compile jobs.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
bytrove=$root/build/release/bytrove
read_limit=$root/build/bench/bench/read_limit
if [[ ${BENCH_NO_BUILD:-0} != 1 ]]; then
  say "building the release binary and the bench tools (log: $bench_dir/build.log)"
  (
    cd "$root"
    cmake --workflow --preset release
    cmake --preset bench
    cmake --build --preset bench
  ) >"$bench_dir/build.log" 2>&1 || { tail -30 "$bench_dir/build.log" >&2; die "build failed"; }
fi
[[ -x $bytrove ]] || die "no release binary at $bytrove"
[[ -x $read_limit ]] || die "no read_limit at $read_limit"

# --- (b) corpus and tree ----------------------------------------------------------------
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
fi
corpus_sha=$(cat "$corpus.sha256")
say "corpus $corpus (sha256 ${corpus_sha:0:16}...)"

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

# --- (d) the read()+memchr ceiling ------------------------------------------------------
# The rarest byte of the corpus (not a newline, which line-based tools cannot match).
rare=$("$read_limit" "$corpus" --rarest | awk '$1 != "0A" {print $1; exit}')
[[ -n $rare ]] || die "could not find a rare byte in the corpus"
say "measuring read()+memchr on the corpus"
"$read_limit" "$corpus" --runs "$((runs < 3 ? 3 : runs))" --byte "$rare" | tee "$raw/read_limit.txt" >&2
limit_gbps=$(awk '$1 == "limit_gbps" {print $2}' "$raw/read_limit.txt")

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
  [tree]="str|$string16"
)

q() { printf '%q ' "$@"; }

# Sets `names` and `commands` (timed; every offset printed) and `counters` (prints the match
# count) for one class.
build_commands() {
  local class=$1 kind value target fold="" bpat regex
  kind=${class_pattern[$class]%%|*}
  value=${class_pattern[$class]#*|}
  [[ $class == error_nocase ]] && fold=-i
  target=$corpus
  [[ $class == tree ]] && target=$tree/
  if [[ $kind == hex ]]; then
    bpat=${value//\?\?/?}
    regex=$(regex_of_hex "$value")
  else
    bpat="'$value'"
  fi
  local recurse=() grep_r=() rg_j=() yara_rule=$raw/$class.yar
  if [[ $class == tree ]]; then recurse=(-r); grep_r=(-r); rg_j=(-j1 --no-ignore --hidden); fi
  names=(bytrove bytrove_horspool)
  commands=("$(q "$bytrove" "${recurse[@]}" $fold -- "$bpat" "$target")"
            "BYTROVE_MATCHER=horspool $(q "$bytrove" "${recurse[@]}" $fold -- "$bpat" "$target")")
  counters=("$(q "$bytrove" "${recurse[@]}" $fold -- "$bpat" "$target") | grep -c '^offset 0x'" "")
  local peer
  for peer in "${peers[@]}"; do
    case $peer in
      grep)
        if [[ $kind == hex ]]; then
          names+=(grep); commands+=("$(q grep "${grep_r[@]}" -obUaP -- "$regex" "$target")")
        else
          names+=(grep); commands+=("$(q grep "${grep_r[@]}" -obUa $fold -F -- "$value" "$target")")
        fi
        counters+=("${commands[-1]} | wc -l")
        ;;
      rg)
        local rgpat rgf=()
        if [[ $kind == hex ]]; then rgpat="(?-u)$regex"; else rgpat=$value; rgf=(-F); fi
        names+=(rg)
        commands+=("$(q rg "${rg_j[@]}" --no-mmap -obUa $fold "${rgf[@]}" -- "$rgpat" "$target")")
        counters+=("$(q rg "${rg_j[@]}" --no-mmap --count-matches --no-filename -Ua $fold "${rgf[@]}" -- "$rgpat" "$target") | awk '{s += \$1} END {print s + 0}'")
        ;;
      ugrep)
        [[ $class == tree ]] && continue
        local ugpat ugf=()
        if [[ $kind == hex ]]; then ugpat=$regex; else ugpat=$value; ugf=(-F); fi
        names+=(ugrep)
        commands+=("$(q ugrep -obUa $fold "${ugf[@]}" -- "$ugpat" "$target")")
        counters+=("$(q ugrep -c -o -Ua $fold "${ugf[@]}" -- "$ugpat" "$target")")
        ;;
      yara)
        [[ $class == tree ]] && continue
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

# --- (e) measure ------------------------------------------------------------------------
declare -A median count
matchers_agree=()
for class in $classes; do
  build_commands "$class"
  say "class $class: ${class_pattern[$class]#*|}"
  args=()
  for i in "${!names[@]}"; do
    # Through a pipe: some tools special-case an output of /dev/null.
    args+=(-n "${names[$i]}" "{ ${commands[$i]}; } | cat")
  done
  hyperfine --shell bash --output=null --warmup 1 --runs "$runs" --ignore-failure --style basic \
    --export-json "$raw/$class.json" "${args[@]}" >"$raw/$class.hyperfine.txt" 2>&1 ||
    { cat "$raw/$class.hyperfine.txt" >&2; die "hyperfine failed for $class"; }
  while IFS=$'\t' read -r name seconds; do
    median[$class.$name]=$seconds
  done < <(jq -r '.results[] | [.command, .median] | @tsv' "$raw/$class.json")
  for i in "${!names[@]}"; do
    [[ -n ${counters[$i]} ]] || continue
    count[$class.${names[$i]}]=$(count_of "${counters[$i]}")
  done
  # The skip loop and the vector filter must print the very same lines.
  if cmp -s <(bash -c "${commands[0]}") <(bash -c "${commands[1]}"); then
    matchers_agree+=("$class: same output")
  else
    matchers_agree+=("$class: **OUTPUT DIFFERS between the default matcher and horspool**")
    say "WARNING: $class output differs between the default matcher and horspool"
  fi
  summary="  bytrove ${count[$class.bytrove]} matches"
  for name in "${names[@]:2}"; do summary+=", $name ${count[$class.$name]}"; done
  say "$summary"
done

# Dense classes: what merely printing the same lines costs. Bytrove's output is saved once and
# replayed through the same pipe; the search itself is what Bytrove adds on top of that.
declare -A print_only
for class in zero_byte zero_pair; do
  [[ " $classes " == *" $class "* ]] || continue
  build_commands "$class"
  saved=$raw/$class.out
  bash -c "${commands[0]}" >"$saved"
  hyperfine --shell bash --output=null --warmup 1 --runs "$runs" --style basic --export-json "$raw/$class.print.json" \
    -n print_only "cat $(q "$saved") | cat" >"$raw/$class.print.txt" 2>&1 ||
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
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {if (a != "-" && b != "-" && b > 0) printf "%.2f", a / b; else print "-"}'; }

{
  echo "# Bytrove against other tools"
  echo
  echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | sed 's/^[^:]*: *//')."
  echo "Corpus: $corpus_bytes bytes of files under /usr/lib and /usr/bin in path order"
  echo "(sha256 \`$corpus_sha\`); tree: $tree_files files, $tree_bytes bytes from /usr/lib and /usr/share."
  echo "Median of $runs hyperfine run(s) after one warm-up; every command prints every offset into a pipe."
  echo "GB/s = bytes searched (the corpus, or the tree's bytes) / median seconds / 10^9."
  [[ $quick == 1 ]] && echo "**Quick run (BENCH_QUICK=1): small inputs, one run; numbers are only a smoke test.**"
  echo
  echo "read()+memchr ceiling (\`read_limit\`, byte 0x$rare): **$limit_gbps GB/s**"
  echo
  echo '```'
  grep -v '^limit_gbps' "$raw/read_limit.txt"
  echo '```'
  echo
  echo "| class | pattern | Bytrove GB/s | Bytrove horspool GB/s | fastest peer (GB/s) | Bytrove / fastest peer | Bytrove / read+memchr | counts (Bytrove vs each peer) |"
  echo "|---|---|---:|---:|---|---:|---:|---|"
  for class in $classes; do
    build_commands "$class"
    bytes=$corpus_bytes
    [[ $class == tree ]] && bytes=$tree_bytes
    own=$(gbps "$bytes" "${median[$class.bytrove]:-0}")
    plain=$(gbps "$bytes" "${median[$class.bytrove_horspool]:-0}")
    best_name="-" best="-"
    counts="${count[$class.bytrove]}"
    for name in "${names[@]:2}"; do
      rate=$(gbps "$bytes" "${median[$class.$name]:-0}")
      mark=$(count_mark "${count[$class.$name]}" "${count[$class.bytrove]}")
      if [[ $rate != "-" ]] && { [[ $best == "-" ]] || awk -v a="$rate" -v b="$best" 'BEGIN {exit !(a > b)}'; }; then
        best=$rate best_name=$name${mark:+ $mark}
      fi
      counts+="; $name ${count[$class.$name]}${mark:+ $mark}"
    done
    to_limit=$(ratio "$own" "$limit_gbps")
    [[ $class == tree ]] && to_limit="-"
    pattern=${class_pattern[$class]#*|}
    ((${#pattern} > 40)) && pattern="${pattern:0:36} ..."
    [[ $class == error_nocase ]] && pattern="$pattern (-i)"
    [[ $class == tree ]] && pattern="$pattern (-r)"
    echo "| $class | \`$pattern\` | $own | $plain | $best_name ($best) | $(ratio "$own" "$best") | $to_limit | $counts |"
  done
  echo
  if ((${#print_only[@]})); then
    echo "Dense output: Bytrove against replaying its own saved output through the same pipe"
    echo "(\`cat saved | cat\`), the cost of merely printing the same lines:"
    echo
    echo "| class | Bytrove s | print only s | ratio |"
    echo "|---|---:|---:|---:|"
    for class in "${!print_only[@]}"; do
      echo "| $class | ${median[$class.bytrove]} | ${print_only[$class]} | $(ratio "${median[$class.bytrove]}" "${print_only[$class]}") |"
    done
    echo
  fi
  echo "All medians (seconds):"
  echo
  echo "| class | $(printf '%s | ' bytrove bytrove_horspool "${peers[@]}")"
  echo "|---|$(printf -- '---:|%.0s' bytrove bytrove_horspool "${peers[@]}")"
  for class in $classes; do
    row="| $class |"
    for name in bytrove bytrove_horspool "${peers[@]}"; do
      row+=" $(awk -v s="${median[$class.$name]:--}" 'BEGIN {if (s == "-") print s; else printf "%.4f", s}') |"
    done
    echo "$row"
  done
  echo
  echo "Default matcher against horspool, byte for byte: ${matchers_agree[*]/%/;}"
  echo
  echo "A peer marked (fewer) or (more) found a different number of matches than Bytrove, for"
  echo "known reasons: grep, rg and ugrep report non-overlapping matches (fewer for 00 00); grep"
  echo "matches within lines, so never across a newline byte; yara keeps at most 1,000,000"
  echo "matches per string. Raw hyperfine output: $raw."
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
say "results written to $out_file"
cat "$out_file"
