#!/usr/bin/env bats
# The command line as a user meets it: banner, usage, switch and pattern errors with their exit
# codes, verbose lines, "--", and what happens when standard output cannot take the results.

load e2e_helpers

usage_text() {
  printf '%s\n' '' \
    'Usage:   Bytrove [-options] ["]<pattern>["] files ...' \
    '' \
    '   options:  <i>gnore case, <r>ecurse into subdirectories,' \
    '             include <h>idden or <s>ystem files, be <v>erbose' \
    ' <pattern>:  one or more of [ HEX-pair | '"'"'string'"'"' | ? ]' \
    '             (? = wildcard, pattern must be contiguous or quoted!)'
}

@test "without a pattern: banner on stdout, the exact usage text on stderr, exit 1" {
  bt </dev/null
  expect_out
  usage_text >"$RES"/want_err
  check 1

  bt -v -r /i -h+ </dev/null
  expect_out
  usage_text >"$RES"/want_err
  check 1
}

@test "an unknown switch before the pattern ends the run with exit 3, naming the rest" {
  put a.bin 'XY'
  local -a cases=(
    '-q' 'q'
    '-vq' 'q'
    '-x+' 'x+'
    '-i-r+zv' 'zv'
    '-' ''
    '/x' 'x'
    '--x' '-x'
  )
  local i
  for ((i = 0; i < ${#cases[@]}; i += 2)); do
    bt "${cases[i]}" 5859 a.bin </dev/null
    expect_out
    expect_err 'Unknown option "%s".\n' "${cases[i + 1]}"
    check 3
  done

  # One that looks like a path (another "/", or a name that exists) is told where paths go.
  local arg
  for arg in / /tmp /tmp/a.bin "$PWD/a.bin"; do
    bt "$arg" 5859 a.bin </dev/null
    expect_out
    expect_err 'Unknown option "%s".\nPaths that begin with "/" go after --.\n' "${arg:1}"
    check 3
  done
}

@test "an unknown switch after the pattern stops the run there: no later files, no summary" {
  put a.bin 'XY'
  put b.bin 'XY'
  bt -v 5859 a.bin -q b.bin
  expect_out '%s\n' 'Searching for HEX pattern 58 59 ...' 'Searching a.bin ...' "$(report 0 a.bin)"
  expect_err 'Unknown option "q".\n'
  check 3

  # Before any file argument: standard input is not searched either.
  bt -v 5859 /tmp/a.bin <a.bin
  expect_out '%s\n' 'Searching for HEX pattern 58 59 ...'
  expect_err 'Unknown option "tmp/a.bin".\nPaths that begin with "/" go after --.\n'
  check 3

  # Files before it are searched first, as for any unknown switch.
  bt 5859 a.bin "$PWD/b.bin" b.bin
  expect_out '%s\n' "$(report 0 a.bin)"
  expect_err 'Unknown option "%s/b.bin".\nPaths that begin with "/" go after --.\n' "${PWD:1}"
  check 3

  # Options that act at once before the pattern are ordinary switch text after it.
  bt 5859 a.bin --help b.bin
  expect_out '%s\n' "$(report 0 a.bin)"
  expect_err 'Unknown option "-help".\n'
  check 3
}

@test "pattern errors: invalid hex exits 2, a trailing wildcard exits 4, nothing but the banner" {
  put a.bin 'XY'
  local p
  for p in '' 'GG' '4' '414' '4 1' '41 4' "41'x'4" '0x41' $'41\t42'; do
    bt -v "$p" a.bin
    expect_out
    expect_err 'Hexadecimal pattern is not valid.\n'
    check 2
  done
  for p in '41?' ' ' "''" '?' '41 ? ' "'A'?"; do
    bt -v "$p" a.bin
    expect_out
    expect_err 'Trailing wildcard is not allowed.\n'
    check 4
  done
}

@test "verbose: pattern echo, one line per input, occurrences, and the exact summary" {
  put a.bin 'aXYbXY'
  put b.bin ''
  bt -v 5859 a.bin missing.bin b.bin
  expect_out '%s\n' 'Searching for HEX pattern 58 59 ...' 'Searching a.bin ...' \
    "$(report 1 a.bin)" "$(report 4 a.bin)" 'Searching b.bin ...' \
    'Found 2 occurence(s) in 2 file(s) (6 bytes searched).'
  expect_err "Found no files matching 'missing.bin'.\n"
  check 0

  # The echo shows wildcards, folded letters in lower case and raw bytes of strings.
  bt -V -i "41 ? 'Ab' \"it's\" '"$'\xe4' b.bin
  expect_out '%s\n' 'Searching for HEX pattern 41 ?? 61 62 69 74 27 73 E4 ...' \
    'Searching b.bin ...' 'Found 0 occurence(s) in 1 file(s) (0 bytes searched).'
  expect_err
  check 0

  # Switched on after the pattern: no echo, since the pattern was already compiled.
  bt 5859 a.bin -v b.bin
  expect_out '%s\n' "$(report 1 a.bin)" "$(report 4 a.bin)" 'Searching b.bin ...' \
    'Found 2 occurence(s) in 2 file(s) (6 bytes searched).'
  expect_err
  check 0

  # Switched off again: neither per-input lines nor the summary.
  bt -irv -v- 5859 a.bin
  expect_out '%s\n' "$(report 1 a.bin)" "$(report 4 a.bin)"
  expect_err
  check 0
}

@test "--version prints the banner only, --help the banner and usage text, both exit 0" {
  put a.bin 'XY'
  bt --version 5859 a.bin
  expect_out
  expect_err
  check 0
  [[ "$BANNER" == 'Bytrove 2.1 '* ]]

  bt -v --help 5859 a.bin
  expect_err
  printf '%s\n' "$BANNER" >"$RES"/want_out
  usage_text >>"$RES"/want_out
  # The notes after the usage text are free-form; the first eight lines are fixed.
  head -n 8 "$RES"/out >"$RES"/out_head
  mv "$RES"/out "$RES"/out_full
  mv "$RES"/out_head "$RES"/out
  check 0
  (($(wc -l <"$RES"/out_full) > 8))
  tail -n +9 "$RES"/out_full | grep -q -- '--'
}

@test "--progress is accepted before the pattern and adds nothing when stderr is no terminal" {
  put a.bin 'XY'
  bt --progress -v 5859 a.bin
  expect_out '%s\n' 'Searching for HEX pattern 58 59 ...' 'Searching a.bin ...' "$(report 0 a.bin)" \
    'Found 1 occurence(s) in 1 file(s) (2 bytes searched).'
  expect_err
  check 0
}

@test "--threads N and --threads=N: the same output for any count; a bad count exits 1" {
  put a.bin 'XY-XY'
  local n
  for n in 1 2 0004 1024; do
    bt --threads "$n" -v 5859 a.bin
    expect_out '%s\n' 'Searching for HEX pattern 58 59 ...' 'Searching a.bin ...' \
      "$(report 0 a.bin)" "$(report 3 a.bin)" 'Found 2 occurence(s) in 1 file(s) (5 bytes searched).'
    expect_err
    check 0
    bt "--threads=$n" 5859 a.bin
    expect_out '%s\n' "$(report 0 a.bin)" "$(report 3 a.bin)"
    expect_err
    check 0
  done
  for n in 0 1025 x 2x -1 ''; do
    bt "--threads=$n" 5859 a.bin
    expect_out
    if [[ -z $n ]]; then
      expect_err '%s\n' '--threads needs a value: a whole number from 1 to 1024.'
    else
      expect_err 'Invalid value "%s" for --threads: expected a whole number from 1 to 1024.\n' "$n"
    fi
    check 1
  done
  # After the pattern it is a switch like any other, unknown: files before it are searched.
  bt 5859 a.bin --threads
  expect_out '%s\n' "$(report 0 a.bin)" "$(report 3 a.bin)"
  expect_err 'Unknown option "-threads".\n'
  check 3
}

@test "-- ends the switches: absolute paths and names starting with - become file arguments" {
  put a.bin 'XY'
  put ./-x -- '-XY'
  put ./--  -- '--XY'
  local abs=$PWD/a.bin
  bt 5859 -- "$abs" -x
  expect_out '%s\n' "$(report 0 "$abs")" "$(report 1 -x)"
  expect_err
  check 0

  bt -- 5859 "$abs"
  expect_out '%s\n' "$(report 0 "$abs")"
  expect_err
  check 0

  # After the first "--", a second one is a file name.
  bt 5859 -- -- -v
  expect_out '%s\n' "$(report 2 --)"
  expect_err "Found no files matching '-v'.\n"
  check 0

  # Right after "--" comes the pattern, even when it looks like a switch.
  bt -- -x a.bin
  expect_out
  expect_err 'Hexadecimal pattern is not valid.\n'
  check 2
}

@test "standard output is flushed before each message, so the two interleave in order" {
  put a.bin 'XY'
  put c.bin -- '-XY'
  ln -s nowhere d.bin
  "$BYTROVE" 5859 a.bin b.bin c.bin d.bin >"$RES"/both 2>&1
  {
    printf '%s\n' "$BANNER" "$(report 0 a.bin)"
    printf "Found no files matching 'b.bin'.\n"
    printf '%s\n' "$(report 1 c.bin)"
    printf 'Error opening file d.bin.\n'
  } >"$RES"/want_both
  diff -u "$RES"/want_both "$RES"/both
}

@test "a failed write to standard output: one message, exit 5, even for the banner alone" {
  put a.bin 'XY'
  head -c 300000 /dev/zero | tr '\0' 'A' >many.bin
  "$BYTROVE" 5859 a.bin >/dev/full 2>"$RES"/err && rc=0 || rc=$?
  printf '%s' "$rc" >"$RES"/rc
  : >"$RES"/out
  : >"$RES"/want_out
  expect_err 'Error writing output.\n'
  check 5

  "$BYTROVE" --version >/dev/full 2>"$RES"/err && rc=0 || rc=$?
  printf '%s' "$rc" >"$RES"/rc
  : >"$RES"/want_out
  expect_err 'Error writing output.\n'
  check 5

  # Far more output than any buffer, over several inputs: still a single message.
  "$BYTROVE" -v 41 many.bin many.bin a.bin >/dev/full 2>"$RES"/err && rc=0 || rc=$?
  printf '%s' "$rc" >"$RES"/rc
  : >"$RES"/want_out
  expect_err 'Error writing output.\n'
  check 5
}

@test "a reader that goes away ends the run quietly through SIGPIPE" {
  head -c 2000000 /dev/zero | tr '\0' 'A' >many.bin
  local -a statuses
  timeout -k 5 60 env --default-signal=PIPE "$BYTROVE" 41 many.bin 2>"$RES"/err | head -n 1 >"$RES"/out
  statuses=("${PIPESTATUS[@]}")
  expect_out
  expect_err
  echo "${statuses[0]}" >"$RES"/rc
  check 141  # 128 + SIGPIPE: neither a hang (124) nor an error exit
}

@test "with SIGPIPE ignored, a reader that goes away is a failed write: one message, exit 5" {
  head -c 2000000 /dev/zero | tr '\0' 'A' >many.bin
  local -a statuses
  (
    trap '' PIPE
    exec timeout -k 5 60 "$BYTROVE" 41 many.bin 2>"$RES"/err
  ) | head -n 1 >"$RES"/out
  statuses=("${PIPESTATUS[@]}")
  expect_out
  expect_err 'Error writing output.\n'
  echo "${statuses[0]}" >"$RES"/rc
  check 5
}
