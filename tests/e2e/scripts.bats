#!/usr/bin/env bats
# What scripts and newcomers from grep meet first: script modes that print only what they
# promise, exit codes that say whether anything was found, tree filters, colour only where asked,
# and the hints after a grep habit. Each group is a table run through the real binary.

load e2e_helpers

@test "--count and --files-with-matches print no banner; --null ends names with NUL" {
  put a.bin 'xAx'
  put b.bin 'nothing'
  put 'new
line.bin' 'A'
  # name | arguments | expected output (printf format)
  local -a cases=(
    "files|--files-with-matches 41 a.bin b.bin|a.bin\n"
    "count|--count 41 a.bin b.bin|a.bin:1\nb.bin:0\n"
    "null files|--null --files-with-matches 41 *.bin|a.bin\0new\nline.bin\0"
    "null count|--count --null 41 a.bin|a.bin\0001\n"
    "json count|--json --count 41 a.bin|{\"type\":\"count\",\"path\":\"a.bin\",\"count\":1}\n")
  local c args
  for c in "${cases[@]}"; do
    IFS='|' read -r _ args _ <<<"$c"
    # shellcheck disable=SC2086
    bt $args
    expect_bare_out "${c##*|}"
    expect_err
    check 0 || { echo "case: ${c%%|*}"; return 1; }
  done
  # The names go straight into xargs, and with --null even the one holding a newline.
  run bash -c '"$0" --files-with-matches 41 a.bin b.bin | xargs ls' "$BYTROVE"
  [[ $status -eq 0 && $output == a.bin ]]
  run bash -c '"$0" --null --files-with-matches 41 "new
line.bin" b.bin a.bin | xargs -0 printf "<%s>"' "$BYTROVE"
  [[ $status -eq 0 && $output == "<new"$'\n'"line.bin><a.bin>" ]]
  bt --null 41 a.bin
  expect_out
  expect_err '%s\n' '--null applies to the names of --files-with-matches and --count.'
  check 1
}

@test "--include-zero: a set's count names every pattern, 0 included, in set order" {
  put a.bin 'ABBA'
  put s.set 'A = 41\nZ = 5A\nB = 42\n'
  bt --count --patterns=s.set a.bin
  expect_bare_out 'a.bin:A:2\na.bin:B:2\n'
  expect_err
  check 0
  bt --count --include-zero --patterns=s.set a.bin
  expect_bare_out 'a.bin:A:2\na.bin:Z:0\na.bin:B:2\n'
  expect_err
  check 0
  bt --count --include-zero --json --patterns=s.set a.bin
  expect_bare_out '%s\n' '{"type":"count","path":"a.bin","pattern":"A","count":2}' \
    '{"type":"count","path":"a.bin","pattern":"Z","count":0}' \
    '{"type":"count","path":"a.bin","pattern":"B","count":2}'
  expect_err
  check 0
}

@test "--status: 0 found, 1 none, 2 trouble, in every mode" {
  put a.bin 'xAx'
  put b.bin 'none'
  # arguments | exit code with --status | exit code without
  local -a cases=(
    "41 a.bin|0|0" "5A a.bin|1|0" "41 b.bin a.bin|0|0" "5A a.bin b.bin|1|0"
    "--count 5A a.bin|1|0" "--files-with-matches 41 a.bin|0|0" "--json 41 a.bin|0|0"
    "41 missing.bin a.bin|2|0" "41 a.bin -q|2|3" "4G a.bin|2|2" "?|2|4"
    "--threads=0 41 a.bin|2|1" "|2|1")
  local c args rest
  for c in "${cases[@]}"; do
    args=${c%%|*}
    rest=${c#*|}
    # shellcheck disable=SC2086
    "$BYTROVE" --status $args >/dev/null 2>&1 </dev/null && rc=0 || rc=$?
    [[ $rc == "${rest%%|*}" ]] || { echo "--status $args: exit $rc"; return 1; }
    # shellcheck disable=SC2086
    "$BYTROVE" $args >/dev/null 2>&1 </dev/null && rc=0 || rc=$?
    [[ $rc == "${rest#*|}" ]] || { echo "$args: exit $rc"; return 1; }
  done
  # From standard input too, and the messages stay what they were.
  printf 'A' | "$BYTROVE" --status 41 >/dev/null
  bt --status 41 missing.bin
  expect_out
  expect_err '%s\n' "Found no files matching 'missing.bin'."
  check 2
}

@test "--include, --exclude, --exclude-dir and --no-follow shape the walk" {
  put t/a.bin 'A'
  put t/b.txt 'A'
  put t/c.o 'A'
  put t/.git/d.bin 'A'
  put t/sub/e.bin 'A'
  ln -s a.bin t/link.bin
  ln -s .. t/sub/up  # a link to a directory is never entered
  # arguments | the files searched, in order
  local -a cases=(
    "-h -r 41 t|t/a.bin t/b.txt t/c.o t/link.bin t/.git/d.bin t/sub/e.bin"
    "-h -r --include=*.bin 41 t|t/a.bin t/link.bin t/.git/d.bin t/sub/e.bin"
    "-h -r --include=*.bin --include=*.txt 41 t|t/a.bin t/b.txt t/link.bin t/.git/d.bin t/sub/e.bin"
    "-h -r --exclude=*.o --exclude b.* 41 t|t/a.bin t/link.bin t/.git/d.bin t/sub/e.bin"
    "-h -r --exclude-dir=.git 41 t|t/a.bin t/b.txt t/c.o t/link.bin t/sub/e.bin"
    "-h -r --exclude-dir=s?b --exclude-dir .git 41 t|t/a.bin t/b.txt t/c.o t/link.bin"
    "-h -r --no-follow 41 t|t/a.bin t/b.txt t/c.o t/.git/d.bin t/sub/e.bin"
    "--exclude=*.bin 41 t/a.bin t/*.bin|t/a.bin"
    "--no-follow 41 t/link.bin|t/link.bin")
  local c args want name
  local -
  set -f  # the wildcards are Bytrove's to expand
  for c in "${cases[@]}"; do
    args=${c%%|*}
    want=''
    for name in ${c#*|}; do want+="$(report 0 "$name")"$'\n'; done
    # shellcheck disable=SC2086
    bt $args
    expect_out '%s' "$want"
    expect_err
    check 0 || { echo "case: $args"; return 1; }
  done
  bt --exclude= 41 t
  expect_out
  expect_err '%s\n' '--exclude needs a value: a name pattern such as "*.o".'
  check 1
}

@test "past 4 GiB a blank always parts the offsets: awk reads the hex as field 2" {
  truncate -s $((5 << 30)) big.img || skip "no sparse files here"
  poke big.img 'XYZ' 5368709123
  poke big.img 'XYZ' 4294967290
  bt --range=4294967280: "'XYZ'" big.img
  expect_out '%s\n' 'offset 0xFFFFFFFA(4294967290) in big.img' \
    'offset 0x140000003 (5368709123) in big.img'
  expect_err
  check 0
  awk '/^offset/ { print $2 }' "$RES"/out >fields
  diff <(printf '%s\n' '0xFFFFFFFA(4294967290)' '0x140000003') fields
  # JSON is unchanged by it.
  bt --json --range=5G: "'XYZ'" big.img
  expect_bare_out '%s\n' '{"type":"match","path":"big.img","offset":5368709123}'
  expect_err
  check 0
}

@test "a grep switch gets a second line naming the long option; late switches get a note" {
  put a.bin 'A'
  # arguments | exit code | standard error, lines joined by "\n"
  local -a cases=(
    "-c 41 a.bin|3|Unknown option \"c\".\nFor a count per input, use --count."
    "-l 41 a.bin|3|Unknown option \"l\".\nFor the names of the inputs with an occurrence, use --files-with-matches."
    "-m 1 41|3|Unknown option \"m\".\nTo stop each input after N occurrences, use --max-count=N."
    "-f s.set|3|Unknown option \"f\".\nTo search for the patterns in a file, use --patterns=FILE."
    "-j2 41|3|Unknown option \"j2\".\nFor the number of threads, use --threads=N."
    "-C 4 41|3|Unknown option \"C\".\nFor a dump of the N bytes before and after each occurrence, use --context=N."
    "-ob 41|3|Unknown option \"ob\".\nOffsets are always printed; no switch is needed for them."
    "-ic 41|3|Unknown option \"c\".\nFor a count per input, use --count."
    "-x 41|3|Unknown option \"x\"."
    "--bogus 41|3|Unknown option \"-bogus\"."
    "41 a.bin --count|3|Unknown option \"-count\"."
    "41 a.bin -i|0|Note: -i after the pattern changes nothing; it goes before the pattern."
    "41 -i a.bin|0|Note: -i after the pattern changes nothing; it goes before the pattern."
    "41 a.bin -r|0|Note: \"-r\" has no file argument after it to apply to."
    "41 -h- a.bin -v|0|"
    "41 -r a.bin|0|")
  local c args rest
  for c in "${cases[@]}"; do
    args=${c%%|*}
    rest=${c#*|}
    # shellcheck disable=SC2086
    bt $args
    # Files before a bad switch after the pattern are still searched; before it, none is.
    if [[ $args == *a.bin* && ( ${rest%%|*} == 0 || $args == 41\ a.bin* ) ]]; then
      expect_out '%s\n' "$(report 0 a.bin)"
    else
      expect_out
    fi
    [[ $args == *-v ]] && expect_out '%s\n' "$(report 0 a.bin)" \
      'Found 1 occurence(s) in 1 file(s) (1 bytes searched).'
    if [[ -n ${rest#*|} ]]; then expect_err "${rest#*|}\n"; else expect_err; fi
    check "${rest%%|*}" || { echo "case: $args"; return 1; }
  done
}

@test "--color: offsets and the occurrence coloured where asked; never in a pipe by default" {
  put a.bin 'xABx'
  local g=$'\e[32m' r=$'\e[01;31m' e=$'\e[m'
  local line="offset ${g}0x00000001${e}         (${g}1${e}) in a.bin"
  local dump="  00000000: 78[${r}41 42${e}]78                                      x${r}AB${e}x"
  # arguments | coloured?
  local -a cases=("--color=always|yes" "--colour=always|yes" "--color=never|no" "--color|no"
    "--color=auto|no" "|no")
  local c
  for c in "${cases[@]}"; do
    # shellcheck disable=SC2086
    bt ${c%%|*} --context=1 "'AB'" a.bin
    if [[ ${c#*|} == yes ]]; then
      expect_out '%s\n' "$line" "$dump"
    else
      expect_out '%s\n' "$(report 1 a.bin)" \
        "  00000000: 78[41 42]78                                      xABx"
    fi
    expect_err
    check 0 || { echo "case: $c"; return 1; }
  done
  # On a terminal (a pseudo-terminal made by script), auto colours and the default does not.
  command -v script >/dev/null || skip "script is not installed"
  local tty
  tty=$(TERM=xterm script -qec "$BYTROVE --color=auto \"'AB'\" a.bin" /dev/null | tr -d '\r')
  [[ $tty == *"$line"* ]]
  tty=$(TERM=xterm script -qec "$BYTROVE \"'AB'\" a.bin" /dev/null | tr -d '\r')
  [[ $tty == *"$(report 1 a.bin)"* && $tty != *$'\e'* ]]
  tty=$(TERM=xterm NO_COLOR=1 script -qec "$BYTROVE --color \"'AB'\" a.bin" /dev/null | tr -d '\r')
  [[ $tty != *$'\e'* ]]
  bt --color=sometimes 41 a.bin
  expect_out
  expect_err '%s\n' 'Invalid value "sometimes" for --color: expected auto, always or never.'
  check 1
}
