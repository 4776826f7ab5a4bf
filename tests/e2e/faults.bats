#!/usr/bin/env bats
# The real binary when the world misbehaves: files that change size while they are read, FIFOs
# with writers waiting, trees deeper than the kernel's path limit, huge directories, hostile
# names, closed or full standard streams, and very large outputs. Each case checks the exact
# messages and exit code and that everything else was still searched.

load e2e_helpers

# Background helpers a failed test may leave behind.
BACKGROUND=()
teardown() {
  local pid
  for pid in "${BACKGROUND[@]}"; do kill "$pid" 2>/dev/null || true; done
}

# --- files that change while they are read ---------------------------------------------------

DENSE=30000     # "A" at every offset below this
PERIOD=65536    # then one "A" at each multiple of PERIOD, zeros elsewhere

# make_marked_file PATH CHUNKS: writes CHUNKS * PERIOD bytes in the layout above.
make_marked_file() {
  local path=$1 chunks=$2 i
  { head -c "$DENSE" /dev/zero | tr '\0' A; head -c $((PERIOD - DENSE)) /dev/zero; } >"$path"
  { printf A; head -c $((PERIOD - 1)) /dev/zero; } >"$RES"/chunk
  for ((i = 1; i < chunks; i++)); do cat "$RES"/chunk; done >>"$path"
}

# marked_reports SIZE NAME: the report lines for pattern 41 over the first SIZE bytes of that
# layout (one awk process: a shell loop over 30000 lines is slow under bats).
marked_reports() {
  awk -v size="$1" -v name="$2" -v dense="$DENSE" -v period="$PERIOD" 'BEGIN {
    for (o = 0; o < dense && o < size; o++) printf "offset 0x%08X%11s) in %s\n", o, "(" o, name
    for (o = period; o < size; o += period) printf "offset 0x%08X%11s) in %s\n", o, "(" o, name
  }'
}

# marked_count SIZE: how many of those lines there are.
marked_count() {
  local size=$1
  if ((size <= DENSE)); then echo "$size"; else echo $((DENSE + (size - 1) / PERIOD)); fi
}

# search_paused ACTION ARGS...: runs the tool with standard output into a FIFO and reads only
# its first line. The dense start of big.bin makes far more output than the FIFO and the tool's
# own buffer hold, so from then on the tool is stuck writing the first block's lines and has
# read no further than that block. ACTION (a shell function) then changes the file; the rest of
# the output is drained and the run ends. Output, error and exit code land in $RES.
search_paused() {
  local action=$1
  shift
  rm -f "$RES"/pipe
  mkfifo "$RES"/pipe
  timeout -k 5 60 "$BYTROVE" "$@" >"$RES"/pipe 2>"$RES"/err 3>&- &
  local pid=$! fd first rc=0
  BACKGROUND+=("$pid")
  exec {fd}<"$RES"/pipe
  IFS= read -r -u "$fd" first || true
  "$action"
  { printf '%s\n' "$first"; timeout 60 cat <&"$fd"; } >"$RES"/out
  exec {fd}<&-
  wait "$pid" || rc=$?
  echo "$rc" >"$RES"/rc
}

# The byte count of the summary of the last run.
searched_bytes() {
  sed -n 's/^Found [0-9]* occurence(s) in 1 file(s) (\([0-9]*\) bytes searched)\.$/\1/p' "$RES"/out
}

shrink_to_3m() { truncate -s $((3 * 1048576 + 1000)) big.bin; }
shrink_to_0() { truncate -s 0 big.bin; }
grow_by_2m() {
  local i
  for ((i = 0; i < 32; i++)); do cat "$RES"/chunk; done >>big.bin
}

@test "a file truncated while it is read: searched up to its new end, offsets exact, exit 0" {
  make_marked_file big.bin 128  # 8 MiB
  local size=$((3 * 1048576 + 1000)) searched
  search_paused shrink_to_3m -v 41 big.bin
  if (("${BYTROVE_TEST_THREADS:-1}" > 1)); then
    # Threads read ahead of their output: the cut may come after more was read, never before
    # the new end. What was read is reported exactly.
    searched=$(searched_bytes)
    ((searched >= size)) && size=$searched
  fi
  {
    printf '%s\n' "$BANNER" 'Searching for HEX pattern 41 ...' 'Searching big.bin ...'
    marked_reports "$size" big.bin
    printf 'Found %d occurence(s) in 1 file(s) (%d bytes searched).\n' \
      "$(marked_count "$size")" "$size"
  } >"$RES"/want_out
  expect_err
  check 0

  # Cut to nothing after the first block was read: what was read before the cut is reported,
  # and nothing else. Where the tool stopped is its own business, so the expectation is built
  # from the byte count it reports.
  make_marked_file big.bin 128
  search_paused shrink_to_0 -v 41 big.bin
  searched=$(searched_bytes)
  [[ -n "$searched" ]] && ((searched > 0 && searched <= 8 * 1048576))
  (("${BYTROVE_TEST_THREADS:-1}" > 1 || searched < 8 * 1048576))
  {
    printf '%s\n' "$BANNER" 'Searching for HEX pattern 41 ...' 'Searching big.bin ...'
    marked_reports "$searched" big.bin
    printf 'Found %d occurence(s) in 1 file(s) (%d bytes searched).\n' \
      "$(marked_count "$searched")" "$searched"
  } >"$RES"/want_out
  expect_err
  check 0
}

@test "a read failing part way through a large file: the lines before it, the message, nothing after" {
  [[ -n "${BYTROVE_READ_FAULT:-}" ]] || skip "BYTROVE_READ_FAULT names no preload library"
  # "XY" at every 4096th byte and across the first 1 MiB boundary; zeros elsewhere.
  awk 'BEGIN { for (i = 0; i < 768; i++) { printf "XY"; for (j = 2; j < 4096; j++) printf "%c", 0 } }' \
    >f.bin
  poke f.bin 'XY' $((1048576 - 1))  # across the first read block's end (the one at 1 MiB goes)
  put g.bin 'XY'
  local at count
  # Inside a block, on a block boundary, and one byte into an occurrence.
  for at in 2000001 1048576 $((1048576 + 4096 + 1)); do
    LD_PRELOAD=$BYTROVE_READ_FAULT BYTROVE_FAIL_FILE=$PWD/f.bin BYTROVE_FAIL_AT=$at \
      bt -v 5859 f.bin g.bin
    awk -v at="$at" 'BEGIN {
      for (o = 0; o < 3145728; o += 4096) {
        p = o == 1048576 ? o - 1 : o
        if (p + 2 <= at) printf "offset 0x%08X%11s) in f.bin\n", p, "(" p
      }
    }' >"$RES"/lines
    count=$(wc -l <"$RES"/lines)
    {
      printf '%s\n' "$BANNER" 'Searching for HEX pattern 58 59 ...' 'Searching f.bin ...'
      cat "$RES"/lines
      printf '%s\n' 'Searching g.bin ...' "$(report 0 g.bin)"
      printf 'Found %d occurence(s) in 2 file(s) (%d bytes searched).\n' $((count + 1)) $((at + 2))
    } >"$RES"/want_out
    expect_err 'Error reading file f.bin.\n'
    check 0
  done
}

@test "a compressed file whose read fails early: the occurrences zlib decodes before, then the reason" {
  [[ -n "${BYTROVE_READ_FAULT:-}" ]] || skip "BYTROVE_READ_FAULT names no preload library"
  python3 -c 'import gzip
data = bytearray(b"ab" * 20000)
for at in (5, 900, 20000, 39000):
    data[at:at + 8] = b"MARKER:)"
open("c.gz", "wb").write(gzip.compress(bytes(data), 9))'
  local at t
  # Inside the header, inside the data (some of it decoded), inside the trailer.
  for at in 20 60 $(($(stat -c %s c.gz) - 4)); do
    python3 -c 'import sys, zlib
out = zlib.decompressobj(31).decompress(open("c.gz", "rb").read()[:int(sys.argv[1])])
at = out.find(b"MARKER:)")
while at >= 0:
    print("offset 0x%08X%11s) in c.gz{}" % (at, "(%d" % at))
    at = out.find(b"MARKER:)", at + 1)' "$at" >"$RES"/lines
    for t in 1 4; do
      LD_PRELOAD=$BYTROVE_READ_FAULT BYTROVE_FAIL_FILE=$PWD/c.gz BYTROVE_FAIL_AT=$at \
        bt --threads "$t" --decompress 4D41524B45523A29 c.gz
      { printf '%s\n' "$BANNER"; cat "$RES"/lines; } >"$RES"/want_out
      expect_err 'Error decompressing c.gz{}: read failed.\n'
      check 0
    done
  done
}

@test "a file that grows while it is read is read to its new end" {
  make_marked_file big.bin 16  # 1 MiB, then 2 MiB more once the tool is under way
  local size=$((3 * 1048576))
  search_paused grow_by_2m -v 41 big.bin other.bin
  # other.bin does not exist: the run goes on past the grown file to the next argument.
  {
    printf '%s\n' "$BANNER" 'Searching for HEX pattern 41 ...' 'Searching big.bin ...'
    marked_reports "$size" big.bin
    printf 'Found %d occurence(s) in 1 file(s) (%d bytes searched).\n' \
      "$(marked_count "$size")" "$size"
  } >"$RES"/want_out
  expect_err "Found no files matching 'other.bin'.\n"
  check 0
}

@test "a file cut and refilled over and over by another process: no crash, no hang, exact lines" {
  # The writer keeps the file a prefix of the same periodic content (an "A" at each multiple
  # of PERIOD), cutting it only at multiples of PERIOD; so whatever the interleaving, every
  # byte the tool reads is that content, and its lines must be exactly the markers below the
  # byte count it reports.
  { printf A; head -c $((PERIOD - 1)) /dev/zero; } >chunk.tmp
  : >churn.bin
  (
    while :; do
      : >churn.bin
      for _ in {1..48}; do cat chunk.tmp >>churn.bin; done
      truncate -s $(((RANDOM % 48) * PERIOD)) churn.bin
      for _ in {1..16}; do cat chunk.tmp >>churn.bin; done
    done
  ) 3>&- &
  local writer=$! run searched rc
  BACKGROUND+=("$writer")
  local -a counts=()
  for run in {1..40}; do
    rc=0
    timeout -k 5 30 "$BYTROVE" -v 41 churn.bin >"$RES"/out 2>"$RES"/err || rc=$?
    if ((rc != 0)) || [[ -s "$RES"/err ]]; then
      kill "$writer"
      echo "run $run: exit $rc, stderr: $(cat "$RES"/err)"
      return 1
    fi
    searched=$(sed -n 's/^Found [0-9]* occurence(s) in 1 file(s) (\([0-9]*\) bytes searched)\.$/\1/p' \
      "$RES"/out)
    {
      printf '%s\n' "$BANNER" 'Searching for HEX pattern 41 ...' 'Searching churn.bin ...'
      awk -v size="$searched" -v period="$PERIOD" 'BEGIN {
        n = 0
        for (o = 0; o < size; o += period) { printf "offset 0x%08X%11s) in churn.bin\n", o, "(" o; n++ }
        printf "Found %d occurence(s) in 1 file(s) (%d bytes searched).\n", n, size
      }'
    } >"$RES"/want
    if ! cmp -s "$RES"/want "$RES"/out; then
      kill "$writer"
      echo "run $run ($searched bytes):"
      diff -u "$RES"/want "$RES"/out | head -20
      return 1
    fi
    counts+=("$searched")
  done
  kill "$writer"
  wait "$writer" || true
  echo "bytes searched per run: ${counts[*]}"
}

# --- FIFOs -----------------------------------------------------------------------------------

# Waits until process $1 is blocked opening a file (openat, or open on older ABIs).
wait_blocked_in_open() {
  local tries=0 nr
  until { read -r nr _ <"/proc/$1/syscall"; } 2>/dev/null && [[ "$nr" == 257 || "$nr" == 2 ]]; do
    tries=$((tries + 1))
    if ((tries > 200)); then
      echo "process $1 never blocked in open"
      return 1
    fi
    sleep 0.05
  done
}

@test "a FIFO whose writer waits for a reader: never opened without -s, read to its end with -s" {
  put data/a.bin 'XY'
  put data/z.bin -- '-XY'
  mkfifo data/p
  # The writer blocks in open() until some process opens the FIFO for reading.
  ( exec 4>data/p && printf 'aXY' >&4 ) 3>&- &
  local writer=$!
  BACKGROUND+=("$writer")
  wait_blocked_in_open "$writer"

  bt_within 20 -v 5859 data
  expect_out '%s\n' 'Searching for HEX pattern 58 59 ...' 'Searching data/a.bin ...' \
    "$(report 0 data/a.bin)" 'Searching data/z.bin ...' "$(report 1 data/z.bin)" \
    'Found 2 occurence(s) in 2 file(s) (5 bytes searched).'
  expect_err
  check 0
  # Had the tool opened the FIFO even for a moment, the writer would have gone on and ended.
  sleep 0.2
  kill -0 "$writer"

  # With -s the writer is already counted when the tool opens the FIFO, so the tool waits for
  # its data and then for its end.
  bt_within 20 -v -s 5859 data
  expect_out '%s\n' 'Searching for HEX pattern 58 59 ...' 'Searching data/a.bin ...' \
    "$(report 0 data/a.bin)" 'Searching data/p ...' "$(report 1 data/p)" \
    'Searching data/z.bin ...' "$(report 1 data/z.bin)" \
    'Found 3 occurence(s) in 3 file(s) (8 bytes searched).'
  expect_err
  check 0
  wait "$writer"
}

# --- paths and names -------------------------------------------------------------------------

@test "a tree deeper than the path limit: too-long paths are refused one by one, the walk goes on" {
  local max
  max=$(getconf PATH_MAX /)  # counts the terminating NUL
  local dname lname
  dname=$(printf 'd%.0s' {1..200})
  lname=$(printf 'l%.0s' {1..100})
  put deep/a.bin 'XY'
  put deep/z/after.bin -- '-XY'
  # Forty levels, about twice the limit deep, each holding a short and a long file name.
  (
    cd deep || exit 1
    for _ in {1..40}; do
      mkdir "$dname" && cd "$dname" || exit 1
      printf 'XY' >s.bin
      printf -- '-XY' >"$lname"
    done
  )
  # Expected: every path shorter than the limit is searched; the first file path too long to
  # open and the first directory too long to list are reported, and nothing below the latter
  # is visited.
  local dir=deep/ opens=0 dirs=0
  {
    printf '%s\n' "$BANNER"
    report 0 deep/a.bin
  } >"$RES"/want_out
  : >"$RES"/want_err
  while :; do
    dir=$dir$dname/
    if ((${#dir} > max - 1)); then
      printf 'Error reading directory %s.\n' "$dir" >>"$RES"/want_err
      dirs=$((dirs + 1))
      break
    fi
    if ((${#dir} + ${#lname} > max - 1)); then
      printf 'Error opening file %s.\n' "$dir$lname" >>"$RES"/want_err
      opens=$((opens + 1))
    else
      report 1 "$dir$lname" >>"$RES"/want_out
    fi
    report 0 "${dir}s.bin" >>"$RES"/want_out
  done
  report 1 deep/z/after.bin >>"$RES"/want_out
  # The layout really has both kinds of refusal, below the chain's full depth.
  ((opens == 1 && dirs == 1 && ${#dir} < 5 + 201 * 40))

  bt_within 60 -r 5859 deep
  check 0
}

@test "20,000 files in one directory: every one searched, in byte order, counts exact" {
  mkdir data
  local i
  # File n<i> holds the decimal text of i, then "XY" unless i is a multiple of 5 (written by
  # one awk process: 20,000 redirections in the shell are slow under bats).
  awk 'BEGIN {
    for (i = 0; i < 20000; i++) {
      f = "data/n" i
      printf "%d%s", i, (i % 5 ? "XY" : "") >f
      close(f)
    }
  }'
  {
    printf '%s\n' "$BANNER" 'Searching for HEX pattern 58 59 ...'
    printf 'n%d\n' {0..19999} | LC_ALL=C sort | awk '{
      i = substr($0, 2) + 0
      printf "Searching data/%s ...\n", $0
      bytes += length(i)
      if (i % 5) {
        printf "offset 0x%08X%11s) in data/%s\n", length(i), "(" length(i), $0
        found++
        bytes += 2
      }
    } END { printf "Found %d occurence(s) in %d file(s) (%d bytes searched).\n", found, NR, bytes }'
  } >"$RES"/want_out
  # The expectation itself: 16,000 matches and the byte total worked out by hand
  # (10 + 90*2 + 900*3 + 9000*4 + 10000*5 digits, plus 2 bytes per match).
  grep -qx 'Found 16000 occurence(s) in 20000 file(s) (120890 bytes searched).' "$RES"/want_out
  # Byte order, not number order: n10000 comes right after n1000.
  grep -A1 -x 'Searching data/n1000 ...' "$RES"/want_out | grep -qx 'Searching data/n10000 ...'
  expect_err
  bt_within 60 -v 5859 data
  check 0

  # The same directory through wildcards: only the names that match, in byte order.
  {
    printf '%s\n' "$BANNER"
    for ((i = 1099; i <= 1999; i += 100)); do report 4 "data/n$i"; done
    report 5 data/n19999
    report 4 data/n9999
  } >"$RES"/want_out
  expect_err
  bt_within 60 5859 'data/n1?99' 'data/n*9999'
  check 0
}

@test "names with blanks, newlines, control bytes and bytes that are not UTF-8 print byte for byte" {
  # In byte order, each file holding "XY" at its own offset.
  local -a names=(
    $'\x01ctl'
    ' lead'
    '*star?'
    '-dash'
    'a b  c'
    'back\slash'
    $'caf\xe9'
    $'new\nline'
    $'nl\n'
    'trail '
    $'\xc3\x28'
    $'\xff\xfe'
  )
  mkdir names $'names/sub \xff dir'
  local i
  for i in "${!names[@]}"; do
    { head -c "$i" /dev/zero; printf 'XY'; } >"names/${names[i]}"
  done
  printf 'XY' >$'names/sub \xff dir/\n'
  {
    printf '%s\n' "$BANNER"
    for i in "${!names[@]}"; do report "$i" "names/${names[i]}"; done
    report 0 $'names/sub \xff dir/\n'
  } >"$RES"/want_out
  expect_err
  bt -r 5859 names
  check 0

  # Named one by one after "--" (the dash name would be a switch otherwise), in the order
  # given, with one name that is not there among them.
  cd names
  {
    printf '%s\n' "$BANNER"
    report 3 -dash
    report 11 $'\xff\xfe'
    report 7 $'new\nline'
    report 0 $'sub \xff dir/\n'
  } >"$RES"/want_out
  expect_err "Found no files matching '%s'.\n" $'caf\xc3\xa9'
  bt 5859 -- -dash $'\xff\xfe' $'caf\xc3\xa9' $'new\nline' $'sub \xff dir/\n'
  check 0
}

# --- standard streams ------------------------------------------------------------------------

# run_with_streams REDIRECTIONS ARGS...: like bt, with standard output and error as set up by
# the caller through eval'd REDIRECTIONS.
run_with_streams() {
  local redirections=$1 rc=0
  shift
  eval '"$BYTROVE" "$@" '"$redirections" || rc=$?
  echo "$rc" >"$RES"/rc
}

@test "standard output closed or on a full device: one message, exit 5, no work after it" {
  put a.bin 'XY'
  head -c 300000 /dev/zero | tr '\0' A >many.bin
  mkdir later
  : >"$RES"/out

  # Closed, with only a little to write: the failure shows when the results are flushed.
  run_with_streams '>&- 2>"$RES"/err' 5859 a.bin
  : >"$RES"/want_out
  expect_err 'Error writing output.\n'
  check 5

  # Far more than a buffer: the failure shows while many.bin is searched, and the run stops
  # there. Had it gone on, the missing file and the empty directory would each have had their
  # message, and the FIFO's writer, waiting for a reader, would have been let through.
  mkfifo p
  local target writer
  for target in '>&-' '>/dev/full'; do
    echo "standard output: $target"
    ( exec 4>p ) 3>&- &
    writer=$!
    BACKGROUND+=("$writer")
    wait_blocked_in_open "$writer"
    run_with_streams "$target"' 2>"$RES"/err' -v 41 many.bin missing.bin later -s p a.bin
    : >"$RES"/want_out
    expect_err 'Error writing output.\n'
    check 5
    sleep 0.2
    kill -0 "$writer"
    kill "$writer"
  done
}

@test "standard input or standard error closed: the run completes with the usual exit code" {
  put a.bin 'XY'
  # Reading a closed standard input fails: reported like any read error, still counted.
  run_with_streams '<&- >"$RES"/out 2>"$RES"/err' -v 5859
  expect_out '%s\n' 'Searching for HEX pattern 58 59 ...' 'Searching StdIn ...' \
    'Found 0 occurence(s) in 1 file(s) (0 bytes searched).'
  expect_err 'Error reading file StdIn.\n'
  check 0

  # Messages to a closed standard error are lost, results are not, and the exit code is that
  # of the run.
  run_with_streams '2>&- >"$RES"/out' 5859 missing.bin a.bin
  : >"$RES"/err
  expect_out '%s\n' "$(report 0 a.bin)"
  expect_err
  check 0

  run_with_streams '2>&- >/dev/full' 5859 a.bin
  : >"$RES"/out
  : >"$RES"/err
  : >"$RES"/want_out
  expect_err
  check 5
}

# --- extreme patterns and outputs ------------------------------------------------------------

@test "a 256-position pattern of wildcards between two bytes, at block ends and the input's end" {
  # 41, 254 wildcards, 42: a window matches where an "A" has a "B" 255 bytes later. Windows
  # are placed at the start, around 256 KiB and 512 KiB (block ends for any block size that is
  # a multiple of 4096 up to 512 KiB), and ending on the last byte; near misses one byte short
  # or long, and a window running past the end, must not match.
  local size=1048576
  local pattern=41 i
  for ((i = 0; i < 254; i++)); do pattern+=' ?'; done
  pattern+=' 42'
  truncate -s "$size" w.bin
  # Starts at and before two block ends, apart so no "A" of one window is another's "B".
  local -a hits=(0 4096 $((262144 - 256)) $((262144 - 128)) 262144 $((524288 - 255))
    $((524288 - 1)) $((786432 - 200)) $((size - 256)))
  local a
  for a in "${hits[@]}"; do poke w.bin A "$a"; poke w.bin B $((a + 255)); done
  # Near misses: "B" one byte short, one byte far, and a window running past the end.
  poke w.bin A 1000; poke w.bin B 1254
  poke w.bin A 2000; poke w.bin B 2256
  poke w.bin A $((size - 255))
  local -a sorted
  mapfile -t sorted < <(printf '%s\n' "${hits[@]}" | sort -n)
  local echo_line='Searching for HEX pattern 41 '
  for ((i = 0; i < 254; i++)); do echo_line+='?? '; done
  echo_line+='42 ...'
  {
    printf '%s\n' "$BANNER" "$echo_line" 'Searching w.bin ...'
    for a in "${sorted[@]}"; do report "$a" w.bin; done
    printf 'Found %d occurence(s) in 1 file(s) (%d bytes searched).\n' "${#hits[@]}" "$size"
  } >"$RES"/want
  local matcher
  for matcher in default horspool sse2 avx2 avx512; do
    echo "matcher: $matcher"
    cp "$RES"/want "$RES"/want_out
    expect_err
    if [[ "$matcher" == default ]]; then
      (unset BYTROVE_MATCHER; bt -v "$pattern" w.bin)
    else
      BYTROVE_MATCHER=$matcher bt -v "$pattern" w.bin
    fi
    check 0
  done
}

@test "a pattern matching at every offset of 64 MiB: all 67,108,864 lines, exact, in order" {
  # The 2.5 GB of output is checked as it streams past, never stored: several readers take
  # their copy through tee.
  local size=$((64 * 1048576))
  truncate -s "$size" z.bin

  # Lines checked one by one, labels included: the first ones, those around block ends and
  # at random places, the last ones. Offset k is on line k + 4 (after the banner, the pattern
  # echo and the "Searching" line).
  local -a samples=(0 1 2 262143 262144 262145 524287 524288 1048575 1048576 16777215 16777216
    33554431 33554432 $((size - 2)) $((size - 1)))
  local k
  for ((k = 0; k < 12; k++)); do samples+=($(((RANDOM * 32768 + RANDOM) % size))); done
  mapfile -t samples < <(printf '%s\n' "${samples[@]}" | sort -n -u)
  local script='1,3p'
  {
    printf '%s\n' "$BANNER" 'Searching for HEX pattern 00 ...' 'Searching z.bin ...'
    for k in "${samples[@]}"; do
      script+=";$((k + 4))p"
      report "$k" z.bin
    done
  } >"$RES"/want_samples

  mkfifo "$RES"/to_count "$RES"/to_samples "$RES"/to_order
  wc -l <"$RES"/to_count >"$RES"/count 3>&- &
  local counter=$!
  sed -n "$script" <"$RES"/to_samples >"$RES"/samples 3>&- &
  local sampler=$!
  # One line per offset, strictly increasing: with the first offset 0, the last size-1 and
  # size lines in all, that is every offset exactly once.
  { grep '^offset ' | LC_ALL=C sort -c -u && echo increasing; } <"$RES"/to_order \
    >"$RES"/order 2>&1 3>&- &
  local orderer=$!
  local -a statuses
  timeout -k 5 120 "$BYTROVE" -v 00 z.bin 2>"$RES"/err |
    tee "$RES"/to_count "$RES"/to_samples "$RES"/to_order | tail -n 1 >"$RES"/last
  statuses=("${PIPESTATUS[@]}")
  wait "$counter" "$sampler" "$orderer"

  echo "exit codes: ${statuses[*]}"
  [[ "${statuses[0]}" == 0 && "${statuses[1]}" == 0 ]]
  [[ ! -s "$RES"/err ]]
  printf 'Found %d occurence(s) in 1 file(s) (%d bytes searched).\n' "$size" "$size" |
    cmp - "$RES"/last
  [[ "$(cat "$RES"/count)" == $((size + 4)) ]]
  [[ "$(cat "$RES"/order)" == increasing ]]
  diff -u "$RES"/want_samples "$RES"/samples
}

# --- the machine's limits: descriptors, threads, memory ---------------------------------------
# Every thread count must print what one thread prints, however little the system gives.

# make_fragments DIR N: N small files, each holding "00 00" at a few places.
make_fragments() {
  python3 -c 'import os, sys
os.makedirs(sys.argv[1], exist_ok=True)
for i in range(int(sys.argv[2])):
    open("%s/f%05d" % (sys.argv[1], i), "wb").write(b"ab\0\0cd" * (1 + i % 7))' "$1" "$2"
}

# one_thread ARGS...: the reference, one stream at a time and no limit, into $RES/want_*.
one_thread() {
  "$BYTROVE" --threads 1 "$@" >"$RES"/want_out 2>"$RES"/want_err
}

# bt_limited LIMITS ARGS...: like bt, in a child shell that first runs `ulimit LIMITS` and
# then PRELUDE (shell text, empty by default), as the user AS_USER names (the caller's if empty).
PRELUDE=
AS_USER=()
bt_limited() {
  local limits=$1 rc=0
  shift
  "${AS_USER[@]}" bash -c "ulimit $limits && $PRELUDE"' exec "$@"' _ "$BYTROVE" "$@" \
    >"$RES"/out 2>"$RES"/err || rc=$?
  echo "$rc" >"$RES"/rc
}

# check_same RC: check against one_thread's reference, keeping it for the next run.
check_same() {
  cp "$RES"/want_out "$RES"/want_out.keep
  cp "$RES"/want_err "$RES"/want_err.keep
  check "$1"
  mv "$RES"/want_out.keep "$RES"/want_out
  mv "$RES"/want_err.keep "$RES"/want_err
}

@test "a low descriptor limit loses no file: the read-ahead waits for descriptors, at every thread count" {
  # A sanitizer's runtime needs descriptors of its own (it probes memory through a pipe and
  # starts a symbolizer): under this limit it reports false errors. The dev build runs this.
  [[ ${BYTROVE_SANITIZED:-0} == 1 ]] && skip "a sanitizer's runtime needs descriptors of its own"
  make_fragments many 700
  one_thread 00 many
  local t
  for t in 1 8 16; do
    bt_limited '-n 64' --threads "$t" 00 many
    check_same 0
  done
  # Descriptors the caller holds leave less room than the limit says: opens that fail for
  # want of them wait for the files read ahead to be closed, and are tried again.
  PRELUDE='for ((fd = 10; fd < 40; fd++)); do eval "exec $fd<many/f00000"; done;'
  for t in 8 16; do
    bt_limited '-n 64' --threads "$t" 00 many
    check_same 0
  done
}

# make_tree DIR: a deep and wide tree for the walkers: four levels of four subdirectories,
# small files in each (a few larger than a chunk), hidden names, a FIFO, links to directories
# (never entered), looping and dangling links (which fail to open), an unreadable file and an
# unreadable directory (unreadable only where the read capabilities are dropped; see TREE_RUN).
make_tree() {
  python3 -c 'import os, sys
top = sys.argv[1]
def grow(d, depth, n):
    os.makedirs(d, exist_ok=True)
    for i in range(5):
        name = (".h%d" if i == 4 else "f%d") % i
        open(os.path.join(d, name), "wb").write(b"ab\0\0cd" * (1 + (n * 5 + i) % 7) +
                                                 (b"x" * 9000 + b"\0\0" if (n + i) % 23 == 0 else b""))
    if depth:
        for j in range(4):
            grow(os.path.join(d, "d%d" % j), depth - 1, n * 4 + j + 1)
grow(top, 4, 0)
os.symlink("..", os.path.join(top, "d1", "up"))
os.symlink("loop2", os.path.join(top, "d2", "loop1"))
os.symlink("loop1", os.path.join(top, "d2", "loop2"))
os.symlink("missing", os.path.join(top, "d3", "d0", "dangling"))
os.mkfifo(os.path.join(top, "d0", "d1", "fifo"))' "$1"
  chmod 000 "$1"/d0/f3 "$1"/d1/d2
}

# TREE_RUN: how the tree runs are started: without the capabilities that let root read any
# file, so the unreadable parts are unreadable.
TREE_RUN=()
((EUID == 0)) && TREE_RUN=(setpriv --inh-caps=-all --bounding-set=-all)

@test "a deep, wide tree with unreadable parts and link loops: every thread count prints what one thread prints" {
  make_tree tree
  if "${TREE_RUN[@]}" ls tree/d1/d2 >/dev/null 2>&1; then
    skip "cannot make a directory unreadable here (no way to drop the read capabilities)"
  fi
  local args t
  for args in "-r -v 00 tree" "-r -h -s 00 tree" "-r --count 00 tree/d*" \
    "-r --exclude-dir=d2 --include=f* 00 tree" "-r 00 tree tree/d3 tree/missing"; do
    # shellcheck disable=SC2086
    "${TREE_RUN[@]}" "$BYTROVE" --threads 1 $args >"$RES"/want_out 2>"$RES"/want_err
    [[ $args != "-r -v 00 tree" ]] || grep -q 'Error reading directory tree/d1/d2/' "$RES"/want_err
    for t in 2 3 8 16; do
      # shellcheck disable=SC2086
      "${TREE_RUN[@]}" "$BYTROVE" --threads "$t" $args >"$RES"/out 2>"$RES"/err
      echo $? >"$RES"/rc
      check_same 0
    done
  done
}

@test "reads that return less than asked lose nothing: files whole, in chunks and compressed, every thread count" {
  [[ -n "${BYTROVE_READ_FAULT:-}" ]] || skip "BYTROVE_READ_FAULT names no preload library"
  make_tree tree
  # Larger than a chunk, "cd" on both sides of the 1 MiB boundaries and near the end; and the
  # same bytes compressed, alone and in an archive.
  python3 -c 'import gzip, io, sys, tarfile
data = bytearray(b"x" * (3 * 1048576 + 5000))
for at in (0, 1048575, 1048577, 2097150, 3 * 1048576 + 4998, 4096, 65535):
    data[at:at + 2] = b"cd"
open(sys.argv[1] + "/big.bin", "wb").write(data)
open(sys.argv[1] + "/big.bin.gz", "wb").write(gzip.compress(bytes(data), 1))
for name, mode in (("big.tar.gz", "w:gz"), ("big.tar", "w")):
    with tarfile.open(sys.argv[1] + "/" + name, mode) as t:
        info = tarfile.TarInfo("in/big.bin")
        info.size = len(data)
        t.addfile(info, io.BytesIO(bytes(data)))' tree/d2
  local args n t
  for args in "-r -v 6364 tree" "--decompress -r -v 6364 tree"; do
    # shellcheck disable=SC2086
    "${TREE_RUN[@]}" "$BYTROVE" --threads 1 $args >"$RES"/want_out 2>"$RES"/want_err
    grep -q 'in tree/d2/big.bin$' "$RES"/want_out
    [[ $args != --decompress* ]] || grep -q 'in tree/d2/big.tar{in/big.bin}$' "$RES"/want_out
    # Reads far shorter than a block, not a whole page, a sixteenth of a block.
    for n in 1000 4095 65536; do
      for t in 1 2 8; do
        # shellcheck disable=SC2086
        LD_PRELOAD=$BYTROVE_READ_FAULT BYTROVE_SHORT_READS=$n "${TREE_RUN[@]}" "$BYTROVE" \
          --threads "$t" $args >"$RES"/out 2>"$RES"/err
        echo $? >"$RES"/rc
        check_same 0
      done
    done
  done
}

@test "a large file a worker opens is cut into chunks that two threads read at once" {
  [[ -n "${BYTROVE_READ_FAULT:-}" ]] || skip "BYTROVE_READ_FAULT names no preload library"
  python3 -c 'import sys
data = bytearray(b"x" * (3 * 1048576 + 5000))
for at in (0, 1048575, 2097150, 3 * 1048576 + 4998):
    data[at:at + 2] = b"cd"
open(sys.argv[1], "wb").write(data)' big.bin
  put small.bin 'cd'
  local args
  # Alone, and after a small file in the same batch.
  for args in "big.bin" "small.bin big.bin" "-r ."; do
    # shellcheck disable=SC2086
    "$BYTROVE" --threads 1 -v 6364 $args >"$RES"/want_out 2>"$RES"/want_err
    # shellcheck disable=SC2086
    LD_PRELOAD=$BYTROVE_READ_FAULT BYTROVE_MEET_FILE=$PWD/big.bin "$BYTROVE" --threads 2 -v 6364 \
      $args >"$RES"/out 2>"$RES"/err
    echo $? >"$RES"/rc
    check_same 0
  done
}

@test "a tree under a low descriptor limit loses no file, with walkers opening ahead or without" {
  [[ ${BYTROVE_SANITIZED:-0} == 1 ]] && skip "a sanitizer's runtime needs descriptors of its own"
  make_tree tree
  "${TREE_RUN[@]}" "$BYTROVE" --threads 1 -r 00 tree >"$RES"/want_out 2>"$RES"/want_err
  AS_USER=("${TREE_RUN[@]}")
  local n t
  # 64 leaves too little to share: the walk reads nothing ahead. 160 gives the walkers room,
  # and at 1024 more directories wait in the window than are held open for the workers.
  for n in 64 160 1024; do
    for t in 1 2 8 16; do
      bt_limited "-n $n" --threads "$t" -r 00 tree
      check_same 0
    done
  done
  # Descriptors the caller holds leave less room than the limit says: the walk's own opens
  # fail for want of them until the files opened ahead are given back.
  PRELUDE='for ((fd = 10; fd < 150; fd++)); do eval "exec $fd<tree/f0"; done;'
  for t in 2 8 16; do
    bt_limited '-n 160' --threads "$t" -r 00 tree
    check_same 0
  done
  PRELUDE=
  AS_USER=()
}

@test "threads the system refuses: the run goes on with those that started, same output" {
  make_fragments many 300
  truncate -s 3M big.bin
  poke big.bin 'AB' 2097000
  one_thread -v 00 many big.bin
  if [[ $(id -u) == 0 ]]; then
    # The superuser is not held to a process limit: run as nobody, who is.
    command -v setpriv >/dev/null || skip "setpriv is needed to drop privileges"
    local dir=$BATS_TEST_TMPDIR
    chmod -R a+rX "$dir"
    while [[ $dir != / ]]; do chmod a+x "$dir"; dir=$(dirname "$dir"); done
    AS_USER=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  fi
  local u t
  # LeakSanitizer and ThreadSanitizer start threads of their own, which a process limit refuses.
  [[ ${BYTROVE_SANITIZED:-0} == 1 ]] && skip "a sanitizer's runtime needs threads of its own"
  for u in 1 2 4; do
    for t in 2 8 1024; do
      bt_limited "-u $u" --threads "$t" -v 00 many big.bin
      check_same 0
    done
  done
  AS_USER=()
  # Threads whose stacks do not fit the address space fail to start just the same.
  [[ ${BYTROVE_SANITIZED:-0} == 1 ]] && return 0  # no memory limit under a sanitizer
  bt_limited '-s 400000 -v 1000000' --threads 8 -v 00 many big.bin
  check_same 0
}

@test "out of memory is one message and exit 6 after the results found so far, never an abort" {
  [[ ${BYTROVE_SANITIZED:-0} == 1 ]] && skip "a sanitizer's shadow memory fits no memory limit"
  make_fragments many 400
  one_thread 00 many
  # From just enough to load the program (its shared libraries take a few tens of MiB of
  # address space; below that the loader fails before any of our code runs) to enough for
  # everything: each run either completes or ends with the message, its output the start of the
  # full one.
  local v rc size floor=10000
  until bash -c "ulimit -v $floor && exec \"\$@\" --version" _ "$BYTROVE" >/dev/null 2>&1; do
    floor=$((floor + 2000))
    ((floor <= 200000))
  done
  for v in "$floor" $((floor + 4000)) $((floor + 10000)) $((floor + 20000)) $((floor + 50000)) \
    200000 1000000; do
    bt_limited "-v $v" --threads 8 00 many
    rc=$(cat "$RES"/rc)
    echo "limit $v KiB: exit $rc"
    [[ $rc == 0 || $rc == 6 ]]
    size=$(stat -c %s "$RES"/out)
    head -c "$size" "$RES"/want_out | cmp - "$RES"/out
    if ((rc == 6)); then
      printf 'Out of memory.\n' | cmp - "$RES"/err
    else
      check_same 0
    fi
  done
  # More threads than the memory could give stacks and buffers to: capped, complete.
  bt_limited '-v 1000000' --threads 1024 00 many
  check_same 0
}

@test "memory stays within its bound whatever the thread count, dense or many small files" {
  [[ -x /usr/bin/time ]] || skip "/usr/bin/time is needed to measure the peak"
  [[ ${BYTROVE_SANITIZED:-0} == 1 ]] && skip "a sanitizer's own memory is not the program's"
  truncate -s 16M zeros.bin
  make_fragments many 3000
  local t kib
  for t in 8 64 1024; do
    /usr/bin/time -f %M -o "$RES"/peak "$BYTROVE" --threads "$t" 00 zeros.bin >/dev/null
    kib=$(tail -n 1 "$RES"/peak)
    echo "00 over zeros, $t threads: $kib KiB"
    ((kib <= 131072))
  done
  /usr/bin/time -f %M -o "$RES"/peak "$BYTROVE" --threads 1024 --count 00 many >/dev/null
  kib=$(tail -n 1 "$RES"/peak)
  echo "--count over 3000 files, 1024 threads: $kib KiB"
  ((kib <= 131072))
}
