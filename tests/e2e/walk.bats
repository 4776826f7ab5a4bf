#!/usr/bin/env bats
# How file arguments become the files searched: directories, wildcards, hidden and special
# files, links, recursion, order, and the messages for what cannot be searched.

load e2e_helpers

teardown() {
  # A directory locked by a test must not stop the temporary tree from being removed.
  if [[ -d "$BATS_TEST_TMPDIR/w/data/locked" ]]; then chmod 755 "$BATS_TEST_TMPDIR/w/data/locked"; fi
}

# --- hidden files and directories ----------------------------------------------------------

make_hidden_tree() {
  put data/a.bin 'XY'
  put data/.h.bin -- '-XY'
  put data/.hd/c.bin -- '--XY'
  put data/.hd/.e.bin 'XY'
  put data/sub/d.bin -- '---XY'
}

@test "hidden files are skipped by default and searched with -h" {
  make_hidden_tree
  bt 5859 data
  expect_out '%s\n' "$(report 0 data/a.bin)"
  expect_err
  check 0

  # A hidden directory admitted by -h is no file to search and no error: it is passed over
  # without a word, and the plain subdirectory is not admitted at all without recursion.
  bt -h 5859 data
  expect_out '%s\n' "$(report 1 data/.h.bin)" "$(report 0 data/a.bin)"
  expect_err
  check 0

  # It still counts as a match.
  bt -h 5859 'data/.hd*'
  expect_out
  expect_err
  check 0
}

@test "a hidden name given exactly is still subject to -h" {
  make_hidden_tree
  bt 5859 data/.h.bin
  expect_out
  expect_err "Found no files matching 'data/.h.bin'.\n"
  check 0

  bt -h 5859 data/.h.bin
  expect_out '%s\n' "$(report 1 data/.h.bin)"
  expect_err
  check 0
}

@test "recursion enters hidden subdirectories but admits hidden files only with -h" {
  make_hidden_tree
  bt -r 5859 data
  expect_out '%s\n' "$(report 0 data/a.bin)" "$(report 2 data/.hd/c.bin)" "$(report 3 data/sub/d.bin)"
  expect_err
  check 0

  bt -r -h 5859 data
  expect_out '%s\n' "$(report 1 data/.h.bin)" "$(report 0 data/a.bin)" \
    "$(report 0 data/.hd/.e.bin)" "$(report 2 data/.hd/c.bin)" "$(report 3 data/sub/d.bin)"
  expect_err
  check 0
}

@test "a star matches names starting with a dot, which -h then admits" {
  put data/.x 'XY'
  bt 5859 'data/*'
  expect_out
  expect_err "Found no files matching 'data/*'.\n"
  check 0

  bt -h 5859 'data/*x'
  expect_out '%s\n' "$(report 0 data/.x)"
  expect_err
  check 0
}

# --- special files ---------------------------------------------------------------------------

@test "a FIFO is a system file: skipped without -s, read as empty with -s and no writer" {
  put data/a.bin 'XY'
  mkfifo data/p
  bt_within 20 -v 5859 data
  expect_out '%s\n' 'Searching for HEX pattern 58 59 ...' 'Searching data/a.bin ...' \
    "$(report 0 data/a.bin)" 'Found 1 occurence(s) in 1 file(s) (2 bytes searched).'
  expect_err
  check 0

  bt_within 20 -v -s 5859 data
  expect_out '%s\n' 'Searching for HEX pattern 58 59 ...' 'Searching data/a.bin ...' \
    "$(report 0 data/a.bin)" 'Searching data/p ...' \
    'Found 1 occurence(s) in 2 file(s) (2 bytes searched).'
  expect_err
  check 0

  bt_within 20 5859 data/p
  expect_out
  expect_err "Found no files matching 'data/p'.\n"
  check 0

  mkdir only
  mkfifo only/q
  bt_within 20 5859 only
  expect_out
  expect_err "Found no files matching 'only/*'.\n"
  check 0
}

@test "a FIFO with a writer is read to its end under -s, across the writer's pauses" {
  mkdir data
  mkfifo data/p
  # This shell holds the FIFO open for writing until the tool has opened it, so the tool sees
  # a writer from the start and must wait for the data instead of finding the FIFO empty.
  local fd
  exec {fd}<>data/p
  printf 'aXYb' >&"$fd"
  # Neither child may inherit the write end, or the FIFO would never reach its end.
  "$BYTROVE" -s 5859 data/p >"$RES"/out 2>"$RES"/err {fd}>&- &
  local pid=$!
  local tries=0
  until ls -l "/proc/$pid/fd" 2>/dev/null | grep -q 'data/p$'; do
    tries=$((tries + 1))
    if ((tries > 300)); then
      echo "the tool never opened the FIFO"
      exec {fd}>&-
      return 1
    fi
    sleep 0.05
  done
  sleep 0.3
  printf 'cXYXY' >&"$fd"
  exec {fd}>&-
  tries=0
  while kill -0 "$pid" 2>/dev/null; do
    tries=$((tries + 1))
    if ((tries > 600)); then
      kill "$pid"
      echo "the tool did not end after the writer closed the FIFO"
      return 1
    fi
    sleep 0.05
  done
  local rc=0
  wait "$pid" || rc=$?
  echo "$rc" >"$RES"/rc
  expect_out '%s\n' "$(report 1 data/p)" "$(report 5 data/p)" "$(report 7 data/p)"
  expect_err
  check 0
}

@test "a character device named after -- is searched only with -s" {
  bt_within 20 -v 5859 -- /dev/null
  expect_out '%s\n' 'Searching for HEX pattern 58 59 ...' \
    'Found 0 occurence(s) in 0 file(s) (0 bytes searched).'
  expect_err "Found no files matching '/dev/null'.\n"
  check 0

  bt_within 20 -v -s 5859 -- /dev/null
  expect_out '%s\n' 'Searching for HEX pattern 58 59 ...' 'Searching /dev/null ...' \
    'Found 0 occurence(s) in 1 file(s) (0 bytes searched).'
  expect_err
  check 0
}

# --- symbolic links ----------------------------------------------------------------------------

@test "a dangling link is reported as unopenable, counts as matched, and the run goes on" {
  put data/a.bin 'XY'
  put data/z.bin -- '-XY'
  ln -s nowhere data/dangle
  bt 5859 data
  expect_out '%s\n' "$(report 0 data/a.bin)" "$(report 1 data/z.bin)"
  expect_err 'Error opening file data/dangle.\n'
  check 0

  mkdir lonely
  ln -s nowhere lonely/dangle
  bt -v 5859 lonely
  expect_out '%s\n' 'Searching for HEX pattern 58 59 ...' \
    'Found 0 occurence(s) in 0 file(s) (0 bytes searched).'
  expect_err 'Error opening file lonely/dangle.\n'
  check 0

  bt 5859 data/dangle data/a.bin
  expect_out '%s\n' "$(report 0 data/a.bin)"
  expect_err 'Error opening file data/dangle.\n'
  check 0
}

@test "link loops end the walk: link cycles are not entered, looping links fail to open" {
  put data/a.bin 'XY'
  put data/sub/b.bin -- '-XY'
  ln -s . data/self
  ln -s .. data/sub/up
  ln -s l2 data/l1
  ln -s l1 data/l2
  bt_within 30 -r 5859 data
  expect_out '%s\n' "$(report 0 data/a.bin)" "$(report 1 data/sub/b.bin)"
  expect_err 'Error opening file data/l1.\nError opening file data/l2.\n'
  check 0
}

@test "a link to a directory is not entered while recursing, but may be named" {
  put data/a.bin 'XY'
  put other/f.bin -- '-XY'
  ln -s ../other data/link
  bt -r 5859 data
  expect_out '%s\n' "$(report 0 data/a.bin)"
  expect_err
  check 0

  bt 5859 data/link
  expect_out '%s\n' "$(report 1 data/link/f.bin)"
  expect_err
  check 0

  bt -r 5859 data/link/
  expect_out '%s\n' "$(report 1 data/link/f.bin)"
  expect_err
  check 0
}

# --- directories that cannot be read -----------------------------------------------------------

@test "an unreadable subdirectory is reported while recursing and the walk goes on" {
  put data/a.bin 'XY'
  put data/locked/f.bin 'XY'
  put data/z/ok.bin -- '-XY'
  chmod 000 data/locked
  # Root reads any directory; without the capabilities that allow it, the mode bits hold.
  local -a runner=()
  if ((EUID == 0)); then runner=(setpriv --inh-caps=-all --bounding-set=-all); fi
  if "${runner[@]}" ls data/locked >/dev/null 2>&1; then
    skip "cannot make a directory unreadable here (no way to drop the read capabilities)"
  fi

  "${runner[@]}" "$BYTROVE" -r 5859 data >"$RES"/out 2>"$RES"/err
  echo $? >"$RES"/rc
  expect_out '%s\n' "$(report 0 data/a.bin)" "$(report 1 data/z/ok.bin)"
  expect_err 'Error reading directory data/locked/.\n'
  check 0

  # Named on the command line it is not a subdirectory met while recursing: the argument
  # simply matches nothing.
  "${runner[@]}" "$BYTROVE" -r 5859 data/locked >"$RES"/out 2>"$RES"/err
  echo $? >"$RES"/rc
  expect_out
  expect_err "Found no files matching 'data/locked/*'.\n"
  check 0
}

@test "a subdirectory whose path is too long to open is reported and the walk goes on" {
  put deep/a.bin 'XY'
  put deep/e/x.bin -- '-XY'
  local name
  name=$(printf 'd%.0s' {1..200})
  # Build the chain one level at a time (relative mkdir/cd), then find the first level whose
  # path, with its trailing slash, the kernel refuses.
  (
    cd deep || exit 1
    for _ in {1..25}; do mkdir "$name" && cd "$name" || exit 1; done
    printf 'XY' >leaf.bin
  )
  local path=deep/ reachable=''
  while [[ -d "$path" ]]; do
    reachable=$path
    path=$path$name/
  done
  [[ -n "$reachable" && "$path" != "$reachable" ]]
  (( ${#path} < 200 * 26 ))  # the refused level lies inside the chain

  bt_within 60 -r 5859 deep
  expect_out '%s\n' "$(report 0 deep/a.bin)" "$(report 1 deep/e/x.bin)"
  expect_err 'Error reading directory %s.\n' "$path"
  check 0
}

# --- file arguments --------------------------------------------------------------------------

@test "a directory argument searches the files directly in it" {
  put data/a.bin 'XY'
  put data/b.txt -- '-XY'
  put data/sub/c.bin 'XY'
  mkdir empty
  bt 5859 data
  expect_out '%s\n' "$(report 0 data/a.bin)" "$(report 1 data/b.txt)"
  expect_err
  check 0

  bt 5859 data/
  expect_out '%s\n' "$(report 0 data/a.bin)" "$(report 1 data/b.txt)"
  expect_err
  check 0

  bt 5859 empty
  expect_out
  expect_err "Found no files matching 'empty/*'.\n"
  check 0

  bt 5859 empty/
  expect_out
  expect_err "Found no files matching 'empty/*'.\n"
  check 0

  # A name part that names a directory (here "..") is searched as that directory.
  bt 5859 data/sub/..
  expect_out '%s\n' "$(report 0 data/sub/../a.bin)" "$(report 1 data/sub/../b.txt)"
  expect_err
  check 0
}

@test "wildcards in the name part select files, with recursion at any depth" {
  put data/a.bin 'XY'
  put data/ab.bin -- '-XY'
  put data/b.txt 'XY'
  put data/sub/c.bin -- '--XY'
  put data/sub/deeper/d.bin -- '---XY'
  put data/x.bin.txt 'XY'
  bt 5859 'data/*.bin'
  expect_out '%s\n' "$(report 0 data/a.bin)" "$(report 1 data/ab.bin)"
  expect_err
  check 0

  bt 5859 'data/?.bin'
  expect_out '%s\n' "$(report 0 data/a.bin)"
  expect_err
  check 0

  bt -r 5859 'data/*.bin'
  expect_out '%s\n' "$(report 0 data/a.bin)" "$(report 1 data/ab.bin)" \
    "$(report 2 data/sub/c.bin)" "$(report 3 data/sub/deeper/d.bin)"
  expect_err
  check 0

  # A match only below the named directory still counts: no message.
  bt -r 5859 'data/d.*'
  expect_out '%s\n' "$(report 3 data/sub/deeper/d.bin)"
  expect_err
  check 0

  bt -r 5859 'data/*.none'
  expect_out
  expect_err "Found no files matching 'data/*.none'.\n"
  check 0
}

@test "missing files and directories give the no-match message and the run goes on" {
  put a.bin 'XY'
  bt 5859 x.bin
  expect_out
  expect_err "Found no files matching 'x.bin'.\n"
  check 0

  bt 5859 nodir/x.bin nodir/ a.bin
  expect_out '%s\n' "$(report 0 a.bin)"
  expect_err "Found no files matching 'nodir/x.bin'.\nFound no files matching 'nodir/*'.\n"
  check 0
}

@test "switches between file arguments hold only for the arguments after them" {
  put a/1.bin 'XY'
  put a/s/2.bin -- '-XY'
  put a/.h1.bin -- '--XY'
  put b/3.bin 'XY'
  put b/s/4.bin -- '-XY'
  put b/.h2.bin -- '--XY'
  bt 5859 -r a -r- b
  expect_out '%s\n' "$(report 0 a/1.bin)" "$(report 1 a/s/2.bin)" "$(report 0 b/3.bin)"
  expect_err
  check 0

  bt 5859 a -h b -h- a/.h1.bin
  expect_out '%s\n' "$(report 0 a/1.bin)" "$(report 2 b/.h2.bin)" "$(report 0 b/3.bin)"
  expect_err "Found no files matching 'a/.h1.bin'.\n"
  check 0
}

@test "files are searched in byte-wise name order, files before subdirectories" {
  local name
  for name in b.bin B.bin _.bin a.bin 10.bin 9.bin Z/x.bin a/x.bin a/B/y.bin a/A.bin; do
    put "data/$name" 'XY'
  done
  bt -r 5859 data
  expect_out '%s\n' "$(report 0 data/10.bin)" "$(report 0 data/9.bin)" "$(report 0 data/B.bin)" \
    "$(report 0 data/_.bin)" "$(report 0 data/a.bin)" "$(report 0 data/b.bin)" \
    "$(report 0 data/Z/x.bin)" "$(report 0 data/a/A.bin)" "$(report 0 data/a/x.bin)" \
    "$(report 0 data/a/B/y.bin)"
  expect_err
  check 0
}

@test "an empty file argument searches the current directory" {
  put a.bin 'XY'
  put b.bin -- '-XY'
  put sub/c.bin 'XY'
  bt 5859 ''
  expect_out '%s\n' "$(report 0 a.bin)" "$(report 1 b.bin)"
  expect_err
  check 0

  bt -r 5859 ''
  expect_out '%s\n' "$(report 0 a.bin)" "$(report 1 b.bin)" "$(report 0 sub/c.bin)"
  expect_err
  check 0

  mkdir ../void && cd ../void
  bt 5859 ''
  expect_out
  expect_err "Found no files matching '*'.\n"
  check 0
}

@test "the output file is never searched, whether it starts empty or is appended to" {
  # Every report line holds "offset": searched, the output would feed on itself.
  put data/a.bin 'offset'
  : >data/out.txt
  local run
  for run in 1 2; do
    bt_into data/out.txt -r -v "'offset'" data
    expect_out '%s\n' 'Searching for HEX pattern 6F 66 66 73 65 74 ...' 'Searching data/a.bin ...' \
      "$(report 0 data/a.bin)" 'Found 1 occurence(s) in 1 file(s) (6 bytes searched).'
    if ((run == 2)); then cat "$RES"/want_out{,} >"$RES"/want_twice && mv "$RES"/want_twice "$RES"/want_out; fi
    expect_err 'Skipping file data/out.txt: it is the output file.\n'
    check 0
  done
}
