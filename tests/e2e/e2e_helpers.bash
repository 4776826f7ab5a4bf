# Shared helpers for the end-to-end suites: each test runs the real binary ("$BYTROVE") in its
# own temporary directory and compares standard output, standard error and the exit code exactly.

BANNER='Bytrove 2.1 - byte pattern search, (c) 2026 the Bytrove developers'

setup() {
  if [[ -z "${BYTROVE:-}" || ! -x "$BYTROVE" ]]; then
    echo "BYTROVE must name the built bytrove binary (got '${BYTROVE:-}')" >&2
    return 1
  fi
  BYTROVE_BINARY=$BYTROVE  # the executable itself, where $BYTROVE becomes a wrapper
  # BYTROVE_TEST_THREADS: every run of the binary gets --threads N first, so each suite runs
  # at that thread count unchanged.
  if [[ -n "${BYTROVE_TEST_THREADS:-}" ]]; then
    local real=$BYTROVE
    BYTROVE="$BATS_TEST_TMPDIR/bytrove"
    printf '#!/bin/sh\nexec %q --threads %q "$@"\n' "$real" "$BYTROVE_TEST_THREADS" >"$BYTROVE"
    chmod +x "$BYTROVE"
  fi
  # Results live beside the working directory, so a search of "." never sees them.
  RES="$BATS_TEST_TMPDIR/res"
  mkdir -p "$RES" "$BATS_TEST_TMPDIR/w"
  cd "$BATS_TEST_TMPDIR/w" || return 1
}

# Runs the binary with the given arguments; stdout, stderr and exit code land in $RES.
# Standard input is empty unless the caller redirects it.
bt() {
  local rc=0
  "$BYTROVE" "$@" >"$RES"/out 2>"$RES"/err || rc=$?
  echo "$rc" >"$RES"/rc
}

# Like bt, but standard output is appended to file $1, whose whole content is then the output
# to check.
bt_into() {
  local file=$1 rc=0
  shift
  "$BYTROVE" "$@" >>"$file" 2>"$RES"/err || rc=$?
  echo "$rc" >"$RES"/rc
  cp -- "$file" "$RES"/out
}

# Like bt, but stops the binary after $1 seconds so a hang fails the test instead of blocking.
bt_within() {
  local seconds=$1
  shift
  local rc=0
  timeout -k 5 "$seconds" "$BYTROVE" "$@" >"$RES"/out 2>"$RES"/err || rc=$?
  echo "$rc" >"$RES"/rc
}

# Expected standard output: the banner line, then printf of the arguments (if any).
expect_out() {
  {
    printf '%s\n' "$BANNER"
    if (($# > 0)); then printf "$@"; fi
  } >"$RES"/want_out
}

# Expected standard error: printf of the arguments (no arguments: empty).
expect_err() {
  if (($# == 0)); then : >"$RES"/want_err; else printf "$@" >"$RES"/want_err; fi
}

# One occurrence line as the tool prints it: hex offset (at least 8 digits), decimal label
# right-aligned in 11 columns with its opening parenthesis (from 4 GiB on, one blank before
# it), then the input's name.
report() {
  if (($1 >= 1 << 32)); then
    printf 'offset 0x%X (%s) in %s\n' "$1" "$1" "$2"
  else
    printf 'offset 0x%08X%11s) in %s\n' "$1" "($1" "$2"
  fi
}

# Compares the last run against the expectations; $1 is the expected exit code.
check() {
  local want_rc=$1 failed=0 rc
  rc=$(cat "$RES"/rc)
  if ! cmp -s "$RES"/want_out "$RES"/out; then
    echo "standard output differs (- expected, + actual):"
    diff -u "$RES"/want_out "$RES"/out | cat -A | head -60
    failed=1
  fi
  if ! cmp -s "$RES"/want_err "$RES"/err; then
    echo "standard error differs (- expected, + actual):"
    diff -u "$RES"/want_err "$RES"/err | cat -A | head -60
    failed=1
  fi
  if [[ "$rc" != "$want_rc" ]]; then
    echo "exit code $rc, expected $want_rc"
    failed=1
  fi
  # Each run states its own expectations: none is carried over to the next check.
  rm -f "$RES"/want_out "$RES"/want_err
  return $failed
}

# Writes a file with the printf-formatted content, creating its directory.
put() {
  local path=$1
  shift
  mkdir -p "$(dirname -- "$path")"
  printf "$@" >"$path"
}

# Writes $2 (printf-formatted) into file $1 at byte offset $3 without truncating it.
poke() {
  printf "$2" | dd of="$1" bs=1 seek="$3" conv=notrunc status=none
}

# Expected standard output without the banner (script modes print none): printf of the
# arguments, or nothing.
expect_bare_out() {
  if (($# == 0)); then : >"$RES"/want_out; else printf "$@" >"$RES"/want_out; fi
}

# live_stream_shows_each_result PATTERN: a FIFO gets "xxAB", stays open, then "AB"; PATTERN
# (which finds AB) must report offset 2 while the writer still holds the FIFO open, then 4.
live_stream_shows_each_result() {
  mkfifo feed
  "$BYTROVE" "$1" <feed >"$RES"/live &
  local pid=$!
  exec 7>feed
  printf 'xxAB' >&7
  local waited=0
  until grep -q 'offset' "$RES"/live || ((waited >= 50)); do sleep 0.1; ((++waited)); done
  printf 'AB' >&7
  exec 7>&-
  wait "$pid"
  ((waited < 50)) || { echo "no result while the stream stayed open"; false; }
  printf '%s\n' "$BANNER" "$(report 2 StdIn)" "$(report 4 StdIn)" >"$RES"/want
  cmp "$RES"/want "$RES"/live
}
