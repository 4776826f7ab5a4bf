#!/usr/bin/env bats
# Brace patterns end to end: their errors with columns, every option on them, sets mixing
# them with plain patterns, and a large input checked against Python's regular expressions
# (the suite also runs at four threads with small chunks, with the same expectations).

load e2e_helpers

@test "brace pattern errors point at a column; outside braces nothing changed" {
  put a.bin 'AB'
  local -a cases=(
    '{ 41 ( 42 | 43 }@Pattern is not valid at column 6: unbalanced "(".'
    '{ 41 42 ) }@Pattern is not valid at column 9: unbalanced ")".'
    '{ 41 | 42 }@Pattern is not valid at column 6: "|" outside an alternative.'
    '{ [2] 41 }@Pattern is not valid at column 3: a jump cannot be first.'
    '{ 41 [2-] }@Pattern is not valid at column 6: a jump cannot be last.'
    '{ 41 ( 42 [1] 44 ) 43 }@Pattern is not valid at column 11: a jump inside an alternative.'
    '{ 41 4 }@Pattern is not valid at column 6: a byte needs two digits.'
    '{ 41 [3-1] 42 }@Pattern is not valid at column 6: the jump'"'"'s bounds are reversed.'
    '{ 41 [40000] 42 [30000] 43 }@Pattern is not valid at column 28: the pattern spans more than 65536 bytes.'
    '{ 41 ~?? }@Pattern is not valid at column 6: "~??" matches nothing.'
    '{ 41 G2 }@Pattern is not valid at column 6: unexpected "G".'
    '  { }@Pattern is not valid at column 5: the pattern is empty.'
    '{ 41 } 42@Pattern is not valid at column 8: text after "}".'
    '{ 41 ( | 42 ) }@Pattern is not valid at column 7: empty alternative.'
    '4?@Hexadecimal pattern is not valid.'
  )
  local c
  for c in "${cases[@]}"; do
    bt "${c%%@*}" a.bin
    expect_out
    expect_err '%s\n' "${c#*@}"
    check 2
  done
}

@test "nibbles, negation, alternatives, jumps and text; every option on them" {
  printf 'xxMZabcdPE\0\0yyMZPE\0\0MZ\x90PE\0\0' >a.bin
  bt -v '{ 4D 5A [0-256] 50 45 00 00 }' a.bin
  expect_out '%s\n' 'Searching for HEX pattern { 4D 5A [0-256] 50 45 00 00 } ...' \
    'Searching a.bin ...' "$(report 2 a.bin)" "$(report 14 a.bin)" "$(report 20 a.bin)" \
    'Found 3 occurence(s) in 1 file(s) (27 bytes searched).'
  expect_err
  check 0
  # The shortest match at each start is its length: 2 reaches the first PE, not the last.
  bt --json --context=1 '{ 4D 5A [-] 50 45 }' a.bin
  printf '%s\n' '{"type":"match","path":"a.bin","offset":2,"length":8,"context_offset":1,"context":"784d5a61626364504500"}' \
    '{"type":"match","path":"a.bin","offset":14,"length":4,"context_offset":13,"context":"794d5a504500"}' \
    '{"type":"match","path":"a.bin","offset":20,"length":5,"context_offset":19,"context":"004d5a90504500"}' \
    >"$RES"/want_out
  expect_err
  check 0
  # --range holds the whole shortest occurrence.
  bt --range=2:16 '{ 4D 5A [-] 50 45 }' a.bin
  expect_out '%s\n' "$(report 2 a.bin)"
  expect_err
  check 0
  bt --count --max-count=2 '{ 4? ( 5A | 5A 50 ) ~00 }' a.bin
  expect_bare_out '%s\n' 'a.bin:2'
  expect_err
  check 0
  bt -i "{ 'mz' ( 'AB' | ?? 50 ) }" a.bin
  expect_out '%s\n' "$(report 2 a.bin)" "$(report 20 a.bin)"
  expect_err
  check 0
  printf 'M\0Z\0' >w.bin
  bt --utf16 "{ 'M' ~00 [0-1] 'Z' }" w.bin
  expect_out
  expect_err
  check 0
  bt --utf16 "{ 'M' 'Z' }" w.bin
  expect_out '%s\n' "$(report 0 w.bin)"
  expect_err
  check 0
  # Standard input, a set mixing plain and brace members, names and counts.
  printf 'AB = 41 42\nmz = { 4D 5A ( 61 | 50 ) }\n  { 50 45 [2] 4D }  # comment\n' >s.set
  bt --patterns=s.set < <(printf 'ABMZPE\0\0MZa')
  expect_out '%s\n' "$(report 0 StdIn) [AB]" "$(report 2 StdIn) [mz]" "$(report 4 StdIn) [3]" \
    "$(report 8 StdIn) [mz]"
  expect_err
  check 0
  printf 'x = { 41 (42 }\n' >bad.set
  bt --patterns=bad.set a.bin
  expect_out
  expect_err '%s\n' 'bad.set:1:10: unbalanced "(": x = { 41 (42 }'
  check 2
}

@test "a large input with chunks and holes matches Python's regular expressions" {
  python3 - <<'EOF'
import random
random.seed(7)
data = bytearray(random.getrandbits(8) for _ in range(600000))
for at in random.sample(range(0, 599000), 300):
    gap = random.randrange(0, 300)
    data[at:at + 2] = b'MZ'
    data[at + 2 + gap:at + 6 + gap] = b'PE\0\0'
for at in random.sample(range(0, 599000), 300):
    data[at:at + 3] = bytes([0xE8, random.randrange(256), 0x4C if at % 2 else 0x48])
open('big.bin', 'wb').write(data)
EOF
  truncate -s 3M big.bin  # a hole at the end: no occurrence can lie in it
  local p
  for p in '{ 4D 5A [0-256] 50 45 00 00 }@MZ[\s\S]{0,256}?PE\x00\x00' \
      '{ E8 ?? ( 48 | 4C ) }@\xe8[\s\S][\x48\x4c]' '{ E? ~00 4? }@[\xe0-\xef][^\x00][\x40-\x4f]'; do
    python3 -c 'import re,sys
d = open("big.bin", "rb").read()
for m in re.finditer(rb"(?=" + sys.argv[1].encode("latin-1") + rb")", d, re.S):
    print("offset 0x%08X%11s) in big.bin" % (m.start(), "(%d" % m.start()))' "${p#*@}" \
      >"$RES"/want_lines
    bt "${p%%@*}" big.bin
    { printf '%s\n' "$BANNER"; cat "$RES"/want_lines; } >"$RES"/want_out
    expect_err
    check 0
  done
}

@test "a live stream shows a brace occurrence as soon as its shortest match has come" {
  live_stream_shows_each_result '{ 41 [0-60000] 42 }'
}

@test "a set's short member after a longer brace occurrence still comes second, at block edges and on a pipe" {
  printf 'long = { 41 [0-65530] 42 }\nshort = 43\n' >mixed.set
  python3 - <<'EOF2'
M = 1 << 20
data = bytearray(b'x' * (3 * M + 5000))
# Each long occurrence starts before a short one and ends past a block edge (1 MiB, and the
# odd chunk edges of the four-thread runs), so the short one is whole first.
for edge in (M, 2 * M, 3 * M, 4099 * 300):
    data[edge - 100] = 0x41
    data[edge - 50] = 0x43
    data[edge + 60] = 0x42
open('mixed.bin', 'wb').write(data)
EOF2
  {
    printf '%s\n' "$BANNER"
    for edge in $((1 << 20)) $((4099 * 300)) $((2 << 20)) $((3 << 20)); do
      printf '%s [long]\n%s [short]\n' "$(report $((edge - 100)) mixed.bin)" \
        "$(report $((edge - 50)) mixed.bin)"
    done | sort -t'(' -k2n -s
  } >want_mixed
  cp want_mixed "$RES"/want_out
  expect_err
  bt --patterns=mixed.set mixed.bin
  check 0
  # The same bytes through a pipe that pauses between each long start and its short one.
  python3 -c 'import os, time
d = open("mixed.bin", "rb").read()
at = 0
for cut in sorted(e - 70 for e in (1 << 20, 2 << 20, 3 << 20, 4099 * 300)) + [len(d)]:
    os.write(1, d[at:cut]); at = cut; time.sleep(0.05)' |
    "$BYTROVE" --patterns=mixed.set >"$RES"/out 2>"$RES"/err
  sed 's/ in mixed.bin / in StdIn /' want_mixed | cmp - "$RES"/out
}
