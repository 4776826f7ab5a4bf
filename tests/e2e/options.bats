#!/usr/bin/env bats
# The options for analysts and scripts, end to end: values and their errors, the dump around an
# occurrence against xxd, machine-readable records, and results from a live stream.

load e2e_helpers

@test "bad values of the long options are usage errors that say what is wrong" {
  put a.bin 'AB'
  local range='START:END, each a decimal or 0x hex offset with an optional K, M, G or T suffix, either one left out for the start or the end of the input'
  local -a cases=(
    "--max-count=0|Invalid value \"0\" for --max-count: expected a whole number of at least 1."
    "--max-count=x|Invalid value \"x\" for --max-count: expected a whole number of at least 1."
    "--max-count=18446744073709551616|Invalid value \"18446744073709551616\" for --max-count: expected a whole number of at least 1."
    "--context=1048577|Invalid value \"1048577\" for --context: expected a whole number of bytes from 0 to 1048576."
    "--context|--context needs a value: a whole number of bytes from 0 to 1048576."
    "--range=12|Invalid value \"12\" for --range: expected $range."
    "--range=0x:5|Invalid value \"0x:5\" for --range: expected $range."
    "--range=1Q:|Invalid value \"1Q:\" for --range: expected $range."
    "--range=20000000T:|Invalid value \"20000000T:\" for --range: expected $range."
    "--range=10:2|Invalid value \"10:2\" for --range: the start lies past the end."
  )
  local c
  for c in "${cases[@]}"; do
    if [[ ${c%%|*} == --context ]]; then bt --context; else bt "${c%%|*}" 4142 a.bin; fi
    expect_out
    expect_err '%s\n' "${c#*|}"
    check 1
  done
  bt --count --files-with-matches 4142 a.bin
  expect_bare_out
  expect_err '%s\n' '--count and --files-with-matches cannot be used together.'
  check 1
  # --json has no banner, even when nothing is found.
  bt --json --range=5: 4142 a.bin
  : >"$RES"/want_out
  expect_err
  check 0
  # After the pattern a long option is a switch like any other, unknown.
  bt 4142 a.bin --count
  expect_out '%s\n' "$(report 0 a.bin)"
  expect_err '%s\n' 'Unknown option "-count".'
  check 3
}

@test "--range takes K, M, G and T suffixes and hex; offsets stay absolute" {
  truncate -s 3M big.bin
  poke big.bin 'AB' 1023
  poke big.bin 'AB' 1025
  poke big.bin 'AB' 2097151  # 2M - 1: straddles the end of --range=:2M
  poke big.bin 'AB' 3145726  # the last two bytes
  bt --range=1K:0x200000 4142 big.bin
  expect_out '%s\n' "$(report 1025 big.bin)"
  expect_err
  check 0
  bt --range=2097151: 4142 big.bin
  expect_out '%s\n' "$(report 2097151 big.bin)" "$(report 3145726 big.bin)"
  expect_err
  check 0
  # A pipe is read and dropped up to the start.
  bt --count --range=1023:2M 4142 < <(cat big.bin)
  expect_bare_out '%s\n' 'StdIn:2'
  expect_err
  check 0
}

@test "--context dumps the bytes around each occurrence as xxd shows them, marked" {
  head -c 300 /dev/urandom >r.bin
  poke r.bin 'MAGIC' 100
  bt --context=40 "'MAGIC'" r.bin
  # The same rows from xxd's hex, with the occurrence bracketed: 16-byte rows from a
  # 16-aligned offset, bytes outside the dump blank.
  xxd -p -c 1 r.bin | python3 -c '
import sys
data = [int(h, 16) for h in sys.stdin.read().split()]
lo, hi, mark = 60, 145, range(100, 105)
print(open(sys.argv[1]).readline(), end="")
print("offset 0x00000064       (100) in r.bin")
for row in range(48, 145, 16):
    line, text = "  %08X:" % row, ""
    for at in range(row, row + 17):
        now = at < row + 16 and lo <= at < hi and at in mark
        before = at > row and (at - 1) in mark
        line += "[" if now and not before else "]" if before and not now else " "
        if at == row + 16: break
        if lo <= at < hi:
            line += "%02X" % data[at]
            text += chr(data[at]) if 32 <= data[at] < 127 else "."
        else:
            line += "  "
            if at < hi: text += " "
    print(line + " " + text)' "$RES"/out >"$RES"/want_out
  expect_err
  check 0
  # Bytes before the start of the input or the range are not there to dump.
  printf 'MAGIC....' >m.bin
  bt --context=4 --range=0:7 "'MAGIC'" m.bin
  expect_out '%s\n' "$(report 0 m.bin)" "$(printf '  00000000:[4D 41 47 49 43]2E 2E%29s%s' '' 'MAGIC..')"
  expect_err
  check 0
}

@test "--json: records only, any file name intact; counts, names and the summary too" {
  local odd=$'new\nline "q" \\ \x01.bin' latin=$'caf\xe9.bin'
  printf 'xAB' >"$odd"
  printf 'ABAB' >"$latin"
  bt --json -v 4142 "$odd" "$latin"
  printf '%s\n' '{"type":"match","path":"new\u000aline \"q\" \\ \u0001.bin","offset":1}' \
    '{"type":"match","path_base64":"Y2Fm6S5iaW4=","offset":0}' \
    '{"type":"match","path_base64":"Y2Fm6S5iaW4=","offset":2}' \
    '{"type":"summary","occurrences":3,"files":2,"bytes":7}' >"$RES"/want_out
  expect_err
  check 0
  python3 -c 'import json,sys,base64
for l in open(sys.argv[1]):
    r = json.loads(l)
    if "path_base64" in r: assert base64.b64decode(r["path_base64"]) == b"caf\xe9.bin"' "$RES"/out
  bt --json --count 4142 "$latin"
  printf '%s\n' '{"type":"count","path_base64":"Y2Fm6S5iaW4=","count":2}' >"$RES"/want_out
  expect_err
  check 0
  bt --json --files-with-matches 4142 "$latin" "$odd"
  printf '%s\n' '{"type":"file","path_base64":"Y2Fm6S5iaW4="}' \
    '{"type":"file","path":"new\u000aline \"q\" \\ \u0001.bin"}' >"$RES"/want_out
  expect_err
  check 0
}

@test "--count, --files-with-matches and --max-count over a tree and standard input" {
  put t/a.bin 'ABABAB'
  put t/b.bin 'xx'
  put t/c/d.bin 'AB'
  bt -r --count 4142 t
  expect_bare_out '%s\n' 't/a.bin:3' 't/b.bin:0' 't/c/d.bin:1'
  expect_err
  check 0
  bt -r --files-with-matches 4142 t
  expect_bare_out '%s\n' 't/a.bin' 't/c/d.bin'
  expect_err
  check 0
  bt -r --max-count=2 4142 t
  expect_out '%s\n' "$(report 0 t/a.bin)" "$(report 2 t/a.bin)" "$(report 0 t/c/d.bin)"
  expect_err
  check 0
  bt --count --max-count=2 -v 4142 <t/a.bin
  expect_bare_out '%s\n' 'Searching for HEX pattern 41 42 ...' 'Searching StdIn ...' 'StdIn:2' \
    'Found 2 occurence(s) in 1 file(s) (4 bytes searched).'
  expect_err
  check 0
}

@test "--utf16 expands strings only; -i still folds; the echo shows the bytes" {
  printf 'H\0i\0\x41\0h\0I\0A' >w.bin
  bt -v -i --utf16 "'hi' 41" w.bin
  expect_out '%s\n' 'Searching for HEX pattern 68 00 69 00 41 ...' 'Searching w.bin ...' \
    "$(report 0 w.bin)" "$(report 6 w.bin)" 'Found 2 occurence(s) in 1 file(s) (11 bytes searched).'
  expect_err
  check 0
  # Characters past ASCII are their UTF-16LE code units, as iconv writes them.
  printf '78%s' "$(printf 'é€😀' | iconv -f UTF-8 -t UTF-16LE | xxd -p)" | xxd -r -p >u.bin
  bt --utf16 "'é€😀'" u.bin
  expect_out '%s\n' "$(report 1 u.bin)"
  expect_err
  check 0
}

@test "a live stream shows each result as it arrives, not when a block is full" {
  live_stream_shows_each_result 4142
}

@test "--patterns: a set file's names, comments and errors; one pass reports every member" {
  printf 'ABCD' >a.bin
  printf '# a comment\r\n\r\nAB = 41 42   # trailing comment\r\n42 43\r\nall = "ABCD"\r\nAB = 41\r\n' >s.set
  bt -v --patterns=s.set a.bin
  expect_out '%s\n' 'Searching for HEX pattern 41 42 ... [AB]' 'Searching for HEX pattern 42 43 ... [4]' \
    'Searching for HEX pattern 41 42 43 44 ... [all]' 'Searching for HEX pattern 41 ... [AB]' \
    'Searching a.bin ...' "offset 0x00000000         (0) in a.bin [AB]" \
    "offset 0x00000000         (0) in a.bin [all]" "offset 0x00000000         (0) in a.bin [AB]" \
    "offset 0x00000001         (1) in a.bin [4]" 'Found 4 occurence(s) in 1 file(s) (4 bytes searched).'
  expect_err
  check 0
  bt --count --patterns s.set a.bin
  expect_bare_out '%s\n' 'a.bin:AB:1' 'a.bin:4:1' 'a.bin:all:1' 'a.bin:AB:1'
  expect_err
  check 0
  # Each error names the file, line and column, says why, quotes the line and keeps its exit
  # code. Column: printf format of the file | exit code | standard error.
  local -a cases=(
    "#\\nZIP = 'PK' 03 4\\r\\n|2|bad.set:2:12: odd number of hex digits: ZIP = 'PK' 03 4"
    "#\\nx = 4G\\n|2|bad.set:2:6: invalid hex digit: x = 4G"
    "#\\nx = 41 ?\\n|4|bad.set:2:8: pattern ends in a wildcard: x = 41 ?"
    "#\\na b = 41\\n|2|bad.set:2:2: invalid pattern name: a b = 41"
    "#\\nPDF = \"'%%PDF-'\\n|2|bad.set:2:7: unclosed quote: PDF = \"'%PDF-'"
    "A = 'A\\0B'\\n|2|bad.set:1:7: NUL byte (write it as hex 00): A = 'A\\x00B'"
    "B = 41 \\0 zz\\n|2|bad.set:1:8: NUL byte (write it as hex 00): B = 41 \\x00 zz"
    "\\357\\273\\277B = 41 \\r\\nA = 61|0|"
    "# only a comment\\n|1|bad.set: the pattern set is empty.")
  local c rest
  for c in "${cases[@]}"; do
    rest=${c#*|}
    # shellcheck disable=SC2059
    printf "${c%%|*}" >bad.set
    bt --patterns=bad.set a.bin
    if [[ ${rest%%|*} == 0 ]]; then
      expect_out '%s\n' 'offset 0x00000000         (0) in a.bin [B]'
      expect_err
    else
      expect_out
      expect_err '%s\n' "${rest#*|}"
    fi
    check "${rest%%|*}"
  done
  # What cannot be read whole is refused before any search, with exit code 1: a file past the
  # size limit, a device that never ends (no memory grows), a FIFO without a writer (no wait).
  head -c $((16 << 20)) /dev/zero | tr '\0' '#' >big.set
  printf '\n41\n' >>big.set
  mkfifo lonely.fifo
  local -a refused=(
    "big.set|Pattern file big.set is larger than 16 MiB, the limit for a set file."
    "/dev/zero|Pattern file /dev/zero is a device, not a file of patterns."
    "lonely.fifo|lonely.fifo: the pattern set is empty.")
  for c in "${refused[@]}"; do
    bt_within 10 --patterns="${c%%|*}" a.bin
    expect_out
    expect_err '%s\n' "${c#*|}"
    check 1
  done
  # A pipe with a writer is read to its end.
  bt --patterns=<(printf 'Q = 42\n') a.bin
  expect_out '%s\n' 'offset 0x00000001         (1) in a.bin [Q]'
  expect_err
  check 0
  bt --patterns=missing.set a.bin
  expect_out
  expect_err '%s\n' 'Error reading pattern file missing.set.'
  check 1
}

@test "the shipped signature set finds the formats it names in a carved image" {
  local sig=$BATS_TEST_DIRNAME/../../samples/signatures.set
  # Files of several formats at known places in one image.
  {
    head -c 100 /dev/zero
    printf '\x89PNG\r\n\x1a\n'
    head -c 50 /dev/zero
    printf '%%PDF-1.7\n'
    head -c 50 /dev/zero
    printf 'PK\x03\x04'
  } >image.bin
  bt --json --patterns="$sig" image.bin
  python3 -c 'import json,sys
hits = [(r["offset"], r["pattern"]) for r in map(json.loads, open(sys.argv[1]))]
assert (100, "PNG") in hits and (158, "PDF") in hits and (217, "ZIP") in hits, hits' "$RES"/out
  grep -c = "$sig" | awk '$1 < 40 { exit 1 }'
}
