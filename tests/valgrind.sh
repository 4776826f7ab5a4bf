#!/usr/bin/env bash
# Runs the real bytrove binary under valgrind's memcheck on a handful of end-to-end searches
# (a file with an occurrence across the read-block boundary, a recursive walk with hidden
# files, standard input from a pipe, an ignore-case pattern with a wildcard, a bad pattern, and
# standard output on a full device), once with the AVX2 matcher and once with the skip loop.
# valgrind cannot run AVX-512 code, so the run pins the matcher through BYTROVE_MATCHER.
# Each run must end with the expected exit code and output and with no memcheck error or
# definite/indirect leak. Exits non-zero on any failure.
#
#   VALGRIND_BUILD_DIR  build directory (default build/valgrind)
#   BUILD_JOBS          parallel build jobs (default 2)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${VALGRIND_BUILD_DIR:-$root/build/valgrind}
jobs=${BUILD_JOBS:-2}

command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 1; }
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBYTROVE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --parallel "$jobs" --target bytrove
bin="$build/bytrove"

work=$(mktemp -d "${TMPDIR:-/tmp}/bytrove-valgrind.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

banner='Bytrove 2.1 - byte pattern search, (c) 2026 the Bytrove developers'
block=262144  # the scanner's read block

# put FILE OFFSET BYTES-AS-PRINTF-FORMAT: overwrites bytes of FILE at OFFSET.
# shellcheck disable=SC2059  # the format is the bytes
put() { printf "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }
# line OFFSET NAME: one report line as the program prints it.
line() { printf 'offset 0x%08X%11s) in %s\n' "$1" "($1" "$2"; }

mkdir -p tree/sub tree/.hidden
head -c $((block + 4096)) /dev/zero >tree/a.bin
put tree/a.bin 5 'PK\003\004'
put tree/a.bin $((block - 2)) 'PK\003\004'  # straddles the first block boundary
put tree/a.bin $((block + 4092)) 'PK\003\004'  # ends at the last byte
printf 'xxPK\003\004' >tree/.dot.bin
printf 'PK\003\004PK\003\004' >tree/sub/c.bin
printf '....PK\003\004' >tree/.hidden/b.bin
printf 'xAbzcyabQCaB' >mixed.txt

failures=0
runs=0

# check NAME WANT-RC WANT-STDOUT-FILE WANT-STDERR-LINE [STDIN-FILE] -- ARGS...
# Runs the binary under memcheck with $matcher; the exit code, standard output and standard
# error must be exactly as given, and memcheck must report no error.
check() {
  local name=$1 want_rc=$2 want_out=$3 want_err=$4 input=/dev/null
  shift 4
  if [[ $1 != -- ]]; then input=$1; shift; fi
  shift  # --
  local tag="$matcher.$name" rc=0
  local out="$work/$tag.out" err="$work/$tag.err" log="$work/$tag.vg"
  runs=$((runs + 1))
  if [[ $name == full_output ]]; then
    out=/dev/full
  fi
  if [[ -n $want_err ]]; then printf '%s\n' "$want_err" >"$work/want.err"; else : >"$work/want.err"; fi
  # Standard input always arrives through a pipe, as from another program.
  # shellcheck disable=SC2002
  cat "$input" | BYTROVE_MATCHER=$matcher valgrind --tool=memcheck --leak-check=full \
    --error-exitcode=1 --errors-for-leak-kinds=definite,indirect --log-file="$log" \
    "$bin" "$@" >"$out" 2>"$err" || rc=$?
  local problems=()
  grep -q 'ERROR SUMMARY: 0 errors' "$log" || problems+=("memcheck reported errors")
  ((rc == want_rc)) || problems+=("exit code $rc, expected $want_rc")
  if [[ $out != /dev/full ]] && ! cmp -s "$out" "$want_out"; then
    problems+=("standard output differs")
  fi
  cmp -s "$err" "$work/want.err" || problems+=("standard error differs: '$(cat "$err")'")
  if ((${#problems[@]})); then
    failures=$((failures + 1))
    echo "FAIL $tag: ${problems[*]}"
    if [[ $out != /dev/full ]]; then diff "$want_out" "$out" | head -n 20 || true; fi
    grep -E '^==[0-9]+== (Invalid|Conditional|Use of|Syscall|.*definitely|.*indirectly|ERROR SUMMARY)' \
      "$log" | head -n 20 || true
  else
    echo "ok   $tag"
  fi
}

{ echo "$banner"; line 5 tree/a.bin; line $((block - 2)) tree/a.bin
  line $((block + 4092)) tree/a.bin; } >want.file
{ echo "$banner"; line 2 tree/.dot.bin; line 5 tree/a.bin; line $((block - 2)) tree/a.bin
  line $((block + 4092)) tree/a.bin; line 4 tree/.hidden/b.bin
  line 0 tree/sub/c.bin; line 4 tree/sub/c.bin; } >want.tree
{ echo "$banner"; line 2 StdIn; line 6 StdIn; } >want.stdin
{ echo "$banner"; line 1 mixed.txt; line 6 mixed.txt; } >want.fold
echo "$banner" >want.banner
printf 'xxABxxAB' >stdin.bin

for matcher in avx2 horspool; do
  check file_search 0 want.file '' -- '50 4B 03 04' tree/a.bin
  # Under -h the hidden directory is admitted too: no file to search, and no error.
  check tree_walk_hidden 0 want.tree '' -- -r -h "'PK'0304" tree
  check stdin_pipe 0 want.stdin '' stdin.bin -- 4142
  check ignore_case_wildcard 0 want.fold '' -- -i "'ab'?'C'" mixed.txt
  check bad_pattern 2 want.banner 'Hexadecimal pattern is not valid.' -- 414 tree/a.bin
  check full_output 5 /dev/null 'Error writing output.' -- '50 4B' tree/a.bin
done

if ((failures > 0)); then
  echo "valgrind: $((runs - failures)) passed, $failures failed"
  exit 1
fi
echo "valgrind: $runs passed, 0 failed"
