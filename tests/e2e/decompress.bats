#!/usr/bin/env bats
# --decompress against the standard command-line decoders: every compressed file and archive
# of a generated corpus is searched inside, and the expected output is the tool's own output
# on the bytes that gzip, xz, zstd, bzip2, lz4, unzip and tar produce, with the names rewritten
# to the member names. Markers lie at known offsets, across the decoders' and the reader's
# buffer boundaries (64 KiB, 128 KiB, 1 MiB) and across the joins of multi-member streams.

load e2e_helpers

MARK=4D41524B45523A29  # "MARKER:)"

# A payload of random bytes with the marker planted at the given offsets.
payload() {
  local out=$1 size=$2
  shift 2
  head -c "$size" /dev/urandom >"$out"
  local at
  for at in "$@"; do poke "$out" 'MARKER:)' "$at"; done
}

setup_file() {
  local c="$BATS_FILE_TMPDIR/corpus"
  mkdir -p "$c/dir/sub" "$c/x"
  cd "$c" || return 1
  local m=1048576
  payload p 2500000 0 65533 131068 $((m - 3)) $((2 * m - 7)) $((2500000 - 8))
  payload dir/sub/q 70000 5 65535
  printf 'plain text, MARKER:) here\n' >dir/r.txt
  # Multi-member, multi-block and multi-frame streams, joined inside a marker.
  head -c $((m - 3)) p >p.1 && tail -c +$((m - 2)) p >p.2
  { gzip -c p.1; gzip -c p.2; } >multi.gz
  xz -c --block-size=300000 p >blocks.xz
  { zstd -q -c p.1; zstd -q -c p.2; } >frames.zst
  bzip2 -c p >p.bz2
  lz4 -q -c p >p.lz4
  xz -c --format=lzma p >p.lzma
  tar -cf t.tar p dir
  tar -czf t.tar.gz dir p
  zip -q -0 stored.zip p dir/sub/q
  zip -q -9 deflate.zip dir/r.txt p
  zip -q nest.zip t.tar.gz dir/r.txt
  find dir | cpio -o -H newc --quiet >t.cpio
  ar rc t.a dir/r.txt p 2>/dev/null
  gzip -c p | head -c 1500000 >trunc.gz
  zip -q -P secret enc.zip dir/r.txt
  # A bomb: 256 MiB of zeros, gzipped, then zipped: about a thousand bytes.
  head -c $((256 * m)) /dev/zero | gzip -c >x/zeros.gz
  (cd x && zip -q -9 ../bomb.zip zeros.gz)
  rm -f p.1 p.2
}

# same_as DECODED NAME [OPTIONS...]: --decompress on the corpus file whose member NAME holds
# the bytes in DECODED prints what a plain search of DECODED prints, DECODED renamed NAME.
same_as() {
  local decoded=$1 name=$2 file=${2%%\{*}
  shift 2
  "$BYTROVE" "$@" "$MARK" -- "$decoded" >"$RES"/plain 2>&1 || true
  local want
  want=$(cat "$RES"/plain)
  want=${want//" $decoded"/" $name"}
  want=${want//"$decoded:"/"$name:"}
  want=${want//"\"path\":\"$decoded\""/"\"path\":\"$file\",\"members\":$(json_members "$name")"}
  printf '%s\n' "$want" | awk -v d="$decoded" -v n="$name" '$0 == d { $0 = n } 1' >"$RES"/want_out
  bt --decompress "$@" "$MARK" "$file"
  cat "$RES"/err >>"$RES"/out
  : >"$RES"/err
  : >"$RES"/want_err
  check 0
}

# The members of NAME ("a{b}{c}") as a JSON array.
json_members() {
  local rest=${1#*\{} out=""
  rest=${rest%\}}
  local IFS=$'\x01'
  local part
  for part in ${rest//\}\{/$'\x01'}; do out+="${out:+,}\"$part\""; done
  [[ $1 == *"{}" ]] && out='""'
  printf '[%s]' "$out"
}

@test "decompress: each compression format matches its decoder, through every buffer boundary" {
  cd "$BATS_FILE_TMPDIR/corpus"
  gzip -dc multi.gz >"$RES"/d.gz
  same_as "$RES"/d.gz 'multi.gz{}'
  xz -dc blocks.xz >"$RES"/d.xz
  same_as "$RES"/d.xz 'blocks.xz{}'
  zstd -q -dc frames.zst >"$RES"/d.zst
  same_as "$RES"/d.zst 'frames.zst{}'
  bzip2 -dc p.bz2 >"$RES"/d.bz2
  same_as "$RES"/d.bz2 'p.bz2{}'
  lz4 -q -dc p.lz4 >"$RES"/d.lz4
  same_as "$RES"/d.lz4 'p.lz4{}'
  xz -dc --format=lzma p.lzma >"$RES"/d.lzma
  same_as "$RES"/d.lzma 'p.lzma{}'
  # Six markers in the payload: the reference itself is right.
  [[ $(grep -c '^offset' "$RES"/out) == 6 ]]
}

@test "decompress: archive members match unzip, tar, cpio and ar output" {
  cd "$BATS_FILE_TMPDIR/corpus"
  mkdir -p "$RES"/v && (cd "$RES"/v && tar -xzf "$BATS_FILE_TMPDIR/corpus/t.tar.gz")
  # Every member in archive order, each named; the plain run over the extracted tree in the
  # same order is the reference.
  local f
  for f in stored.zip deflate.zip t.tar t.tar.gz t.cpio t.a; do
    local list
    case $f in
      *.zip) list=$(unzip -Z1 "$f" | grep -v '/$') ;;
      *.tar | *.tar.gz) list=$(tar -tf "$f" | grep -v '/$') ;;
      t.cpio) list=$(cpio -it --quiet <"$f" | while read -r n; do [[ -f $n ]] && echo "$n"; done) ;;
      t.a) list=$(ar t "$f") ;;
    esac
    local want="" n
    while read -r n; do
      local from=$n
      [[ $f == t.a ]] && from=$(ls dir/"$n" "$n" 2>/dev/null | head -1)
      local lines
      lines=$(cd "$RES"/v && "$BYTROVE" --count "$MARK" "$from")
      want+="$f{$n}:${lines##*:}"$'\n'
    done <<<"$list"
    printf '%s' "$want" >"$RES"/want_out
    bt --decompress --count "$MARK" "$f"
    expect_err
    check 0
  done
}

@test "decompress: options on decompressed offsets, and plain inputs unchanged" {
  cd "$BATS_FILE_TMPDIR/corpus"
  gzip -dc multi.gz >"$RES"/d
  same_as "$RES"/d 'multi.gz{}' --count
  same_as "$RES"/d 'multi.gz{}' --files-with-matches
  same_as "$RES"/d 'multi.gz{}' --max-count=2
  same_as "$RES"/d 'multi.gz{}' --range=65536:2M
  same_as "$RES"/d 'multi.gz{}' --context=20
  same_as "$RES"/d 'multi.gz{}' --json --context=3
  same_as "$RES"/d 'multi.gz{}' -v
  # Standard input, compressed or not.
  "$BYTROVE" "$MARK" <"$RES"/d >"$RES"/plain
  bt --decompress "$MARK" <multi.gz
  sed 's/ in StdIn$/ in StdIn{}/' "$RES"/plain >"$RES"/want_out
  expect_err
  check 0
  bt --decompress "$MARK" <"$RES"/d
  cp "$RES"/plain "$RES"/want_out
  expect_err
  check 0
  # A plain file and a tree are searched as without --decompress.
  "$BYTROVE" -r "$MARK" dir p >"$RES"/want_out
  bt --decompress -r "$MARK" dir p
  expect_err
  check 0
}

@test "decompress: nesting to the depth asked, names escaped in plain output, exact in JSON" {
  cd "$BATS_FILE_TMPDIR/corpus"
  mkdir -p "$RES"/v && (cd "$RES"/v && tar -xzf "$BATS_FILE_TMPDIR/corpus/t.tar.gz")
  # Depth 1: the inner archive is searched as the bytes it is (the marker is compressed away).
  local raw
  raw=$("$BYTROVE" --count "$MARK" t.tar.gz | tail -n 1)
  bt --decompress --count "$MARK" nest.zip
  expect_bare_out 'nest.zip{t.tar.gz}:%s\nnest.zip{dir/r.txt}:1\n' "${raw##*:}"
  expect_err
  check 0
  bt --decompress=2 --count "$MARK" nest.zip
  expect_bare_out 'nest.zip{t.tar.gz}{dir/sub/q}:2\nnest.zip{t.tar.gz}{dir/r.txt}:1\nnest.zip{t.tar.gz}{p}:6\nnest.zip{dir/r.txt}:1\n'
  expect_err
  check 0
  # A name with a control byte, a brace and a backslash.
  mkdir -p "$RES"/n && printf 'MARKER:)' >"$RES"/n/$'a\x1b{b}\\'
  (cd "$RES"/n && tar -cf ../n.tar -- *)
  cp "$RES"/n.tar n.tar
  bt --decompress "$MARK" n.tar
  expect_out '%s\n' "$(report 0 'n.tar{a\x1B\x7Bb\x7D\x5C}')"
  expect_err
  check 0
  bt --decompress --json "$MARK" n.tar
  printf '{"type":"match","path":"n.tar","members":["a\\u001b{b}\\\\"],"offset":0}\n' >"$RES"/want_out
  expect_err
  check 0
  rm n.tar
}

@test "decompress: damage, encryption and a bomb are reported, and the run goes on" {
  cd "$BATS_FILE_TMPDIR/corpus"
  # Truncated: every occurrence gzip -d recovers before the end, then one message.
  gzip -dc trunc.gz >"$RES"/d 2>/dev/null || true
  "$BYTROVE" "$MARK" -- "$RES"/d >"$RES"/plain
  bt --decompress "$MARK" trunc.gz dir/r.txt
  {
    sed "s| in $RES/d\$| in trunc.gz{}|" "$RES"/plain
    report 12 dir/r.txt
  } >"$RES"/want_out
  expect_err 'Error decompressing trunc.gz{}: unexpected end of file.\n'
  check 0
  bt --decompress "$MARK" enc.zip dir/r.txt
  expect_out '%s\n' "$(report 12 dir/r.txt)"
  expect_err 'Error decompressing enc.zip{dir/r.txt}: encrypted, not searched.\n'
  check 0
  # The bomb is cut once it expands a thousand times past 64 MiB; the next input is searched.
  bt --decompress=2 --count "$MARK" bomb.zip dir/r.txt
  expect_bare_out 'bomb.zip{zeros.gz}{}:0\ndir/r.txt:1\n'
  expect_err 'Error decompressing bomb.zip{zeros.gz}{}: cut: it expands more than 1000 times the compressed bytes read.\n'
  check 0
}

@test "decompress: every thread count prints what one thread prints, decoding ahead or not" {
  cd "$BATS_FILE_TMPDIR/corpus"
  # Many members, damaged and encrypted ones, a bomb, nesting, and plain files among them.
  local files=(t.tar.gz stored.zip deflate.zip trunc.gz enc.zip multi.gz nest.zip bomb.zip
    frames.zst blocks.xz t.tar dir/r.txt p.bz2)
  local opts
  for opts in "" "--count" "--files-with-matches" "--max-count=1" "--context=6" "--json" "-v" \
    "--range=100:1100000" "--decompress=2 --count"; do
    local rc=0 run threads chunk
    # shellcheck disable=SC2086 # the options are words
    "$BYTROVE" --threads 1 --decompress $opts "$MARK" "${files[@]}" >"$RES"/one_out \
      2>"$RES"/one_err || rc=$?
    [[ -s "$RES"/one_out && -s "$RES"/one_err ]]
    # Small chunks make every packed input here big enough to be decoded ahead.
    for run in 2: 4:4099 8:4099; do
      threads=${run%%:*} chunk=${run#*:}
      # shellcheck disable=SC2086
      BYTROVE_CHUNK_SIZE=$chunk bt --threads "$threads" --decompress $opts "$MARK" "${files[@]}"
      echo "'$opts', --threads $threads, chunks '$chunk'"
      cp "$RES"/one_out "$RES"/want_out
      cp "$RES"/one_err "$RES"/want_err
      check "$rc"
    done
  done
}
