#!/usr/bin/env bats
# Reading and matching through the real binary: standard input in pieces, read-block
# boundaries, offsets past 4 GiB, overlapping and case-folded matches, the longest pattern.
# The read-block size is not visible from outside, so boundary cases cover every multiple
# of 4096 bytes up to 2 MiB.

load e2e_helpers

# Hex text of a 256-byte pattern with few repeats (byte i is 7*i+1 modulo 256).
long_pattern_hex() {
  local i
  for ((i = 0; i < 256; i++)); do printf '%02X' $(((7 * i + 1) % 256)); done
}

# The same bytes as printf escapes, for writing them into files.
long_pattern_escapes() {
  local i
  for ((i = 0; i < 256; i++)); do printf '\\x%02x' $(((7 * i + 1) % 256)); done
}

# make_straddle_file ESCAPES M D UNITS OUT: writes OUT holding the M-byte pattern (printf
# escapes) at 4096*k - D for k = 1..UNITS, zeros elsewhere.
make_straddle_file() {
  local esc=$1 m=$2 d=$3 units=$4 out=$5
  head -c $((4096 - d)) /dev/zero >"$out"
  { printf "$esc"; head -c $((4096 - m)) /dev/zero; } >"$out.unit"
  local n=1
  while ((n < units)); do
    cat "$out.unit" "$out.unit" >"$out.pair"
    mv "$out.pair" "$out.unit"
    n=$((n * 2))
  done
  ((n == units))  # UNITS must be a power of two
  cat "$out.unit" >>"$out"
  rm "$out.unit"
}

# straddle_reports D UNITS NAME: the report lines of make_straddle_file's file (same layout
# as report, written by one awk process: a shell loop here would be slow under bats).
straddle_reports() {
  awk -v d="$1" -v units="$2" -v name="$3" 'BEGIN {
    for (k = 1; k <= units; k++) {
      offset = 4096 * k - d
      printf "offset 0x%08X%11s) in %s\n", offset, "(" offset, name
    }
  }'
}

# with_matcher NAME COMMAND...: runs COMMAND with the search loop forced to NAME
# ("default": the tool's own choice). Each must find exactly the same occurrences.
with_matcher() {
  local name=$1
  shift
  if [[ "$name" == default ]]; then
    (unset BYTROVE_MATCHER; "$@")
  else
    BYTROVE_MATCHER=$name "$@"
  fi
}

@test "standard input from a pipe is read to its end, across pauses and chunk edges" {
  (printf 'aX'; sleep 0.2; printf 'Yb'; sleep 0.2; printf 'XYX'; sleep 0.2; printf 'Y') |
    bt_within 30 -v 5859
  expect_out '%s\n' 'Searching for HEX pattern 58 59 ...' 'Searching StdIn ...' \
    "$(report 1 StdIn)" "$(report 4 StdIn)" "$(report 6 StdIn)" \
    'Found 3 occurence(s) in 1 file(s) (8 bytes searched).'
  expect_err
  check 0
}

@test "standard input: pieces that cut through occurrences are joined, offsets exact" {
  make_straddle_file 'XYZ' 3 1 64 in.bin
  # Cut the stream inside two occurrences (after their first and second byte; they start
  # at 4096*k - 1) and pause between the pieces.
  local cut1=$((4096 * 10)) cut2=$((4096 * 40 + 1))
  (
    head -c "$cut1" in.bin
    sleep 0.2
    tail -c +$((cut1 + 1)) in.bin | head -c $((cut2 - cut1))
    sleep 0.2
    tail -c +$((cut2 + 1)) in.bin
  ) | bt_within 30 -v "'XYZ'"
  {
    printf '%s\n' "$BANNER" 'Searching for HEX pattern 58 59 5A ...' 'Searching StdIn ...'
    straddle_reports 1 64 StdIn
    printf 'Found 64 occurence(s) in 1 file(s) (%s bytes searched).\n' "$(stat -c %s in.bin)"
  } >"$RES"/want_out
  expect_err
  check 0
}

@test "switches after the pattern with no file argument still search standard input" {
  printf 'ab AB' >in.bin
  bt "'ab'" -v -i <in.bin
  expect_out '%s\n' 'Searching StdIn ...' "$(report 0 StdIn)" \
    'Found 1 occurence(s) in 1 file(s) (5 bytes searched).'
  expect_err '%s\n' 'Note: -i after the pattern changes nothing; it goes before the pattern.'
  check 0

  bt -v 5859 </dev/null
  expect_out '%s\n' 'Searching for HEX pattern 58 59 ...' 'Searching StdIn ...' \
    'Found 0 occurence(s) in 1 file(s) (0 bytes searched).'
  expect_err
  check 0
}

@test "occurrences across read-block boundaries are reported once, with every matcher" {
  # Wherever a read block of any multiple of 4096 bytes (up to 2 MiB) ends, one occurrence in
  # each file crosses that end at a different distance: starting exactly at it, in the bytes
  # carried over from the block before, or ending right at it.
  local esc
  esc=$(long_pattern_escapes)
  local -a short_files=() long_files=()
  local d
  for d in 0 1 2 3; do
    make_straddle_file 'XYZ' 3 "$d" 512 "s$d.bin"
    short_files+=("s$d.bin")
  done
  for d in 0 1 128 255 256; do
    make_straddle_file "$esc" 256 "$d" 512 "l$d.bin"
    long_files+=("l$d.bin")
  done
  {
    printf '%s\n' "$BANNER"
    for d in 0 1 2 3; do straddle_reports "$d" 512 "s$d.bin"; done
  } >"$RES"/short_want
  {
    printf '%s\n' "$BANNER"
    for d in 0 1 128 255 256; do straddle_reports "$d" 512 "l$d.bin"; done
  } >"$RES"/long_want
  # One of these lines, checked by hand, ties the generated lines to the report layout.
  grep -qx 'offset 0x0007FFFF    (524287) in s1.bin' "$RES"/short_want
  local matcher long_hex
  long_hex=$(long_pattern_hex)
  for matcher in default horspool sse2 avx2 avx512; do
    echo "matcher: $matcher"
    cp "$RES"/short_want "$RES"/want_out
    expect_err
    with_matcher "$matcher" bt "'XYZ'" "${short_files[@]}"
    check 0

    cp "$RES"/long_want "$RES"/want_out
    expect_err
    with_matcher "$matcher" bt "$long_hex" "${long_files[@]}"
    check 0
  done

  # The same bytes through standard input.
  {
    printf '%s\n' "$BANNER"
    straddle_reports 2 512 StdIn
  } >"$RES"/want_out
  expect_err
  bt "'XYZ'" <s2.bin
  check 0
}

@test "inputs whose size is a whole number of blocks: occurrences at both ends, all bytes counted" {
  local size
  for size in 49152 65536 262144 1048576; do
    truncate -s "$size" "n$size.bin"
    poke "n$size.bin" 'XY' 0
    poke "n$size.bin" 'XY' $((size - 2))
    bt -v 5859 "n$size.bin"
    expect_out '%s\n' 'Searching for HEX pattern 58 59 ...' "Searching n$size.bin ..." \
      "$(report 0 "n$size.bin")" "$(report $((size - 2)) "n$size.bin")" \
      "Found 2 occurence(s) in 1 file(s) ($size bytes searched)."
    expect_err
    check 0

    bt -v 5859 <"n$size.bin"
    expect_out '%s\n' 'Searching for HEX pattern 58 59 ...' 'Searching StdIn ...' \
      "$(report 0 StdIn)" "$(report $((size - 2)) StdIn)" \
      "Found 2 occurence(s) in 1 file(s) ($size bytes searched)."
    expect_err
    check 0
  done
}

@test "offsets and byte counts past 4 GiB are exact (sparse file)" {
  local four_g=$((1 << 32))
  local size=$((four_g + 64))
  if ! truncate -s "$size" big.bin; then
    skip "the file system here cannot hold a sparse file of $size bytes"
  fi
  poke big.bin 'XY' 100
  poke big.bin 'XY' $((four_g - 1))  # straddles the 4 GiB mark
  poke big.bin 'XY' $((four_g + 16))
  poke big.bin 'XY' $((size - 2))    # ends at the last byte
  bt_within 600 -v 5859 big.bin
  expect_out '%s\n' 'Searching for HEX pattern 58 59 ...' 'Searching big.bin ...' \
    "$(report 100 big.bin)" "$(report $((four_g - 1)) big.bin)" \
    "$(report $((four_g + 16)) big.bin)" "$(report $((size - 2)) big.bin)" \
    "Found 4 occurence(s) in 1 file(s) ($size bytes searched)."
  expect_err
  check 0
  # The layout of the widest lines, spelled out: below 4 GiB a ten-digit label fills its eleven
  # columns; past it the hex field grows past eight digits and one blank keeps them apart.
  grep -qx 'offset 0xFFFFFFFF(4294967295) in big.bin' "$RES"/out
  grep -qx 'offset 0x100000010 (4294967312) in big.bin' "$RES"/out
}

@test "holes of a sparse file are skipped: occurrences touching a hole found, every byte counted" {
  mkdir sparse dense
  if ! truncate -s $((64 << 20)) sparse/f.bin; then
    skip "the file system here cannot hold a sparse file"
  fi
  poke sparse/f.bin 'XY' $((5 << 20))        # a hole just before
  poke sparse/f.bin 'XY' $(((6 << 20) - 2))  # a hole just after
  poke sparse/f.bin 'XY' $(((64 << 20) - 2)) # the last bytes
  cp --sparse=never sparse/f.bin dense/f.bin
  local pattern
  for pattern in '00 00 58 59' '58 59 00 00' '? 00 ? 59'; do
    (cd dense && "$BYTROVE" -v "$pattern" f.bin) >"$RES"/want_out
    (cd sparse && bt_within 60 -v "$pattern" f.bin)
    expect_err
    check 0
  done
}

@test "overlapping occurrences are all reported" {
  printf 'AAAA' >a.bin
  printf 'abababa' >b.bin
  printf 'abaXa' >c.bin
  bt 4141 a.bin
  expect_out '%s\n' "$(report 0 a.bin)" "$(report 1 a.bin)" "$(report 2 a.bin)"
  expect_err
  check 0

  bt "'aba'" b.bin
  expect_out '%s\n' "$(report 0 b.bin)" "$(report 2 b.bin)" "$(report 4 b.bin)"
  expect_err
  check 0

  bt "'a'?'a'" c.bin b.bin
  expect_out '%s\n' "$(report 0 c.bin)" "$(report 2 c.bin)" \
    "$(report 0 b.bin)" "$(report 2 b.bin)" "$(report 4 b.bin)"
  expect_err
  check 0
}

@test "ignore-case is fixed when the pattern is compiled and folds only string letters" {
  printf 'ab AB aB Ab' >m.bin
  bt -i "'ab'" m.bin
  expect_out '%s\n' "$(report 0 m.bin)" "$(report 3 m.bin)" "$(report 6 m.bin)" "$(report 9 m.bin)"
  expect_err
  check 0

  bt -i "'ab'" -i- m.bin
  expect_out '%s\n' "$(report 0 m.bin)" "$(report 3 m.bin)" "$(report 6 m.bin)" "$(report 9 m.bin)"
  expect_err '%s\n' 'Note: -i after the pattern changes nothing; it goes before the pattern.'
  check 0

  bt "'ab'" -i m.bin
  expect_out '%s\n' "$(report 0 m.bin)"
  expect_err '%s\n' 'Note: -i after the pattern changes nothing; it goes before the pattern.'
  check 0

  # Bytes given in hex are never folded.
  bt -i 6162 m.bin
  expect_out '%s\n' "$(report 0 m.bin)"
  expect_err
  check 0

  printf 'xAaAA' >x.bin
  bt -i "41 'a'" x.bin
  expect_out '%s\n' "$(report 1 x.bin)" "$(report 3 x.bin)"
  expect_err
  check 0
}

@test "a pattern text longer than 256 positions is cut to its first 256, with a warning" {
  local hex esc
  hex=$(long_pattern_hex)
  esc=$(long_pattern_escapes)
  truncate -s 5000 p.bin
  poke p.bin "$esc" 1000
  poke p.bin '\xee' 1256  # the 257th position of the text below, not part of the pattern
  local echo_line='Searching for HEX pattern ' i
  for ((i = 0; i < 256; i++)); do echo_line+=$(printf '%02X ' $(((7 * i + 1) % 256))); done
  echo_line+='...'
  local warning='Pattern has more than 256 positions; only the first 256 are searched.\n'
  bt -v "$hex $(printf 'EF%.0s' {1..44})" p.bin
  expect_out '%s\n' "$echo_line" 'Searching p.bin ...' "$(report 1000 p.bin)" \
    'Found 1 occurence(s) in 1 file(s) (5000 bytes searched).'
  expect_err "$warning"
  check 0
  # Nothing ignored but blanks or a string's closing quote: no warning. The warning comes
  # before a pattern error.
  local a256 a300
  a256=$(printf 'a%.0s' {1..256})
  a300=$(printf 'a%.0s' {1..300})
  bt "$hex   " p.bin
  expect_out '%s\n' "$(report 1000 p.bin)"
  expect_err
  check 0
  # Empty strings add no position either; a byte after them does.
  local quiet
  for quiet in "'$a256'  " "'$a256' ''" "'$a256''' \"\" '' " "'${a256:0:255}' 41 ''"; do
    bt "$quiet" p.bin
    expect_out
    expect_err
    check 0
  done
  bt "'$a256' '' 41" p.bin
  expect_out
  expect_err "$warning"
  check 0
  bt "'$a300'" p.bin
  expect_out
  expect_err "$warning"
  check 0
  bt --utf16 "'${a256:0:128}'" p.bin
  expect_out
  expect_err
  check 0
  bt --utf16 "'${a256:0:129}'" p.bin
  expect_out
  expect_err "$warning"
  check 0
  bt "${hex:0:510} ? 41" p.bin
  expect_out
  expect_err "${warning}Trailing wildcard is not allowed.\n"
  check 4
}

@test "inputs shorter than the pattern, and empty inputs, report nothing but are counted" {
  printf 'XY' >short.bin
  : >empty.bin
  bt -v "'XYZ'" short.bin empty.bin
  expect_out '%s\n' 'Searching for HEX pattern 58 59 5A ...' 'Searching short.bin ...' \
    'Searching empty.bin ...' 'Found 0 occurence(s) in 2 file(s) (2 bytes searched).'
  expect_err
  check 0
}

@test "standard input that is the output file is not searched" {
  put out.txt 'offset'
  bt_into out.txt "'offset'" <out.txt
  printf 'offset%s\n' "$BANNER" >"$RES"/want_out
  expect_err 'Skipping file StdIn: it is the output file.\n'
  check 0
}

@test "standard input already partly read is searched from where it stands, for every size and range" {
  # "MARK" at 0 (consumed by the caller's read of the first line), 100, and 10 bytes before
  # the end; offsets count from the first byte not yet read (5), on both sides of 1 MiB.
  local size
  for size in 943718 3145728; do
    rm -f in.bin
    truncate -s "$size" in.bin
    poke in.bin 'MARK\n' 0
    poke in.bin 'MARK' 100
    poke in.bin 'MARK' $((size - 10))
    { read -r _; bt "'MARK'"; } <in.bin
    expect_out '%s\n' "$(report 95 StdIn)" "$(report $((size - 15)) StdIn)"
    expect_err
    check 0
    { read -r _; bt -v --range=90:200 "'MARK'"; } <in.bin
    expect_out '%s\n' 'Searching for HEX pattern 4D 41 52 4B ...' 'Searching StdIn ...' \
      "$(report 95 StdIn)" 'Found 1 occurence(s) in 1 file(s) (110 bytes searched).'
    expect_err
    check 0
    { read -r _; bt --range=96: "'MARK'"; } <in.bin
    expect_out '%s\n' "$(report $((size - 15)) StdIn)"
    expect_err
    check 0
  done
}

@test "a range that starts past the end, up to the largest offset, is an empty search" {
  printf 'xxAxx' >small.bin
  truncate -s 3M big.bin
  poke big.bin 'A' 2000000
  local start
  for start in 3145728 9223372036853727232 9223372036854775806 9223372036854775807 \
    18446744073709551615; do
    bt -v --range="$start:" 41 small.bin big.bin
    expect_out '%s\n' 'Searching for HEX pattern 41 ...' 'Searching small.bin ...' \
      'Searching big.bin ...' 'Found 0 occurence(s) in 2 file(s) (0 bytes searched).'
    expect_err
    check 0
    bt --range="$start:" 41 <big.bin
    expect_out
    expect_err
    check 0
  done
  bt -v --range=5: 41 small.bin
  expect_out '%s\n' 'Searching for HEX pattern 41 ...' 'Searching small.bin ...' \
    'Found 0 occurence(s) in 1 file(s) (0 bytes searched).'
  expect_err
  check 0
}

# pieces FILE CUT...: writes FILE to standard output in pieces ending at each CUT, pausing
# between them, as a slow producer would.
pieces() {
  local file=$1 at=0 cut
  shift
  for cut in "$@" "$(stat -c %s "$file")"; do
    tail -c +$((at + 1)) "$file" | head -c $((cut - at))
    sleep 0.15
    at=$cut
  done
}

@test "output never depends on how a stream's data arrives: sets, dumps and limits at every cut" {
  printf 'L = %s\nS = %s\nM = 63 ?? 65\n' "'abcdef'" "'c'" >o.set
  printf 'xxxxxabcdefxxabcdeyyyAzzzzabcdefA' >in.bin
  local -a runs=("--patterns=o.set" "--max-count=1 --patterns=o.set"
    "--count --max-count=2 --patterns=o.set" "--json --context=3 --patterns=o.set"
    "--max-count=1 --context=2 41" "--max-count=2 --context=4 --json 41")
  local r cuts
  for r in "${runs[@]}"; do
    # Read whole from a file, the reference; then through a pipe cut at each place in turn.
    # shellcheck disable=SC2086
    bt $r <in.bin
    mv "$RES"/out "$RES"/want_out
    for cuts in 3 7 8 9 "5 8" "8 10" "22 23" "2 6 9 12 24"; do
      # shellcheck disable=SC2086
      pieces in.bin $cuts | bt_within 30 $r
      expect_err
      cp "$RES"/want_out "$RES"/want_out.keep
      check 0 || { echo "options: $r; cut at: $cuts"; false; }
      mv "$RES"/want_out.keep "$RES"/want_out
    done
  done
}

@test "a set's counts under --max-count keep to the limit in every chunk of a large file" {
  truncate -s 1100000 r.bin
  poke r.bin 'aRu' 10
  poke r.bin 'aRu' 1048600
  poke r.bin 'aRu' 1048700
  printf 'A = %s\nB = 52\n' "'aRu'" >r.set
  local t
  for t in 1 2 8; do
    bt --threads "$t" -v --count --max-count 2 --patterns=r.set r.bin
    expect_bare_out '%s\n' 'Searching for HEX pattern 61 52 75 ... [A]' \
      'Searching for HEX pattern 52 ... [B]' 'Searching r.bin ...' 'r.bin:A:1' 'r.bin:B:1' \
      'Found 2 occurence(s) in 1 file(s) (12 bytes searched).'
    expect_err
    check 0
    bt --threads "$t" --count --max-count 3 --patterns=r.set r.bin
    expect_bare_out '%s\n' 'r.bin:A:2' 'r.bin:B:1'
    expect_err
    check 0
  done
}
