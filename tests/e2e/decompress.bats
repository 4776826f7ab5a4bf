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
  # Skippable frames (their content is not data) before and between frames; streams joined.
  local skip='\x50\x2a\x4d\x18\x08\x00\x00\x00MARKER:)'
  { printf "$skip"; lz4 -q -c p.1; printf "$skip"; lz4 -q -c p.2; } >frames.lz4
  { printf "$skip"; zstd -q -c p.1; printf "$skip"; zstd -q -c p.2; } >skip.zst
  { xz -c p.1; xz -c p.2; } >streams.xz
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
  # Truncated streams, markers every 4099 bytes so that each decoder's last buffer holds some.
  perl -e 'open(my $r, "<", "/dev/urandom") or die; for (1 .. 732) { read($r, my $b, 4091);
    print $b, "MARKER:)" }' >dense
  xz -c dense | head -c 1200000 >cut.xz
  xz -c --format=lzma dense | head -c 1500000 >cut.lzma
  zstd -q -c dense | head -c 1700000 >cut.zst
  # bzip2 -d drops the tail of its last output buffer before the error, even of a whole block
  # whose check passed: cut inside the second stream's first block, where nothing is lost.
  { head -c 1000000 dense | bzip2 -c; tail -c +1000001 dense | bzip2 -c | head -c 500000; } >cut.bz2
  lz4 -q -B4 -c dense | head -c 1900000 >cut.lz4
  tar -cf - dense | xz -c | head -c 2500000 >cut.tar.xz
  # A compressed stream inside a compressed stream, and inside an archive inside one.
  gzip -c p | gzip -c >p.gz.gz
  gzip -c p | xz -c >p.gz.xz
  gzip -c t.tar.gz >t.tar.gz.gz
  # 7z (LZMA2, solid) and ISO 9660 with Rock Ridge names.
  7zz a -bd -m0=lzma2 t.7z p dir >/dev/null
  mkdir -p iso && cp -r p dir iso/
  xorriso -as mkisofs -quiet -R -o t.iso iso 2>/dev/null
  rm -rf iso
  # A bomb: 256 MiB of zeros, gzipped, then zipped: about a thousand bytes.
  head -c $((256 * m)) /dev/zero | gzip -c >x/zeros.gz
  (cd x && zip -q -9 ../bomb.zip zeros.gz)
  # Small files, read whole when they are recognised: every format, markers at both ends.
  payload small 3000 0 1500 2992
  gzip -c small >small.gz
  xz -c small >small.xz
  zstd -q -c small >small.zst
  bzip2 -c small >small.bz2
  lz4 -q -c small >small.lz4
  head -c 2000 small.gz >small-cut.gz
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
  # SAME_ERR: the message the run adds after the occurrences; DEPTH: the --decompress depth.
  [[ -z ${SAME_ERR:-} ]] || printf '%s\n' "$SAME_ERR" >>"$RES"/want_out
  bt --decompress${DEPTH:+=$DEPTH} "$@" "$MARK" "$file"
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
  lz4 -q -dc frames.lz4 >"$RES"/d.lz4
  same_as "$RES"/d.lz4 'frames.lz4{}'
  zstd -q -dc skip.zst >"$RES"/d.zst
  same_as "$RES"/d.zst 'skip.zst{}'
  xz -dc streams.xz >"$RES"/d.xz
  same_as "$RES"/d.xz 'streams.xz{}'
  [[ $(grep -c '^offset' "$RES"/out) == 6 ]]
}

@test "decompress: small files, read whole to be recognised, match their decoders" {
  cd "$BATS_FILE_TMPDIR/corpus"
  local f
  for f in small.gz small.xz small.zst small.bz2 small.lz4; do
    [[ $(stat -c %s "$f") -lt 4096 ]]
    case $f in
      *.gz) gzip -dc "$f" ;;
      *.xz) xz -dc "$f" ;;
      *.zst) zstd -q -dc "$f" ;;
      *.bz2) bzip2 -dc "$f" ;;
      *.lz4) lz4 -q -dc "$f" ;;
    esac >"$RES"/d
    same_as "$RES"/d "$f{}"
    [[ $(grep -c '^offset' "$RES"/out) == 3 ]]
  done
  # Cut short: the markers before the cut, then the reason.
  bt --decompress "$MARK" small-cut.gz
  [[ $(grep -c '^offset' "$RES"/out) == 2 ]]
  grep -qx 'Error decompressing small-cut.gz{}: unexpected end of file.' "$RES"/err
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

@test "decompress: a sparse member's holes read as zeros, the one at its end too" {
  # Data, a hole, data, and a hole to the end, in every sparse form tar writes.
  printf 'MARKER:)' >sparse
  truncate -s 3M sparse
  poke sparse 'MARKER:)' $((2 * 1048576 + 5))
  truncate -s 4M sparse
  tar --sparse --format=gnu -cf gnu.tar sparse
  local v
  for v in 0.0 0.1 1.0; do tar --sparse --format=pax --sparse-version=$v -cf pax-$v.tar sparse; done
  tar --sparse -czf sparse.tar.gz sparse
  local f pattern
  for f in gnu.tar pax-0.0.tar pax-0.1.tar pax-1.0.tar sparse.tar.gz; do
    # Zeros are found in every hole, and the summary counts the member's whole size.
    for pattern in "$MARK" 0000000000000000; do
      "$BYTROVE" -v --count "$pattern" sparse >"$RES"/plain
      sed -e 's/^sparse:/'"$f"'{sparse}:/' -e 's/^Searching sparse /Searching '"$f"'{sparse} /' \
        "$RES"/plain >"$RES"/want_out
      bt --decompress -v --count "$pattern" "$f"
      expect_err
      check 0
    done
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
  # A plain file and a tree are searched as without --decompress, and so are files that only
  # begin like bzip2 or lzma.
  printf 'BZh9 is not bzip2, MARKER:)' >"$RES"/fake.bz2
  printf '\x5d\x00\x00 is not lzma, MARKER:)' >"$RES"/fake.lzma
  cp "$RES"/fake.bz2 "$RES"/fake.lzma dir/
  "$BYTROVE" -r "$MARK" dir p >"$RES"/want_out
  bt --decompress -r "$MARK" dir p
  rm dir/fake.bz2 dir/fake.lzma
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
  # A 7z whose header is encrypted cannot even be listed: said, then searched as its bytes.
  7zz a -bd -mhe=on -psecret "$RES"/hidden.7z p >/dev/null
  bt --decompress "$MARK" -- "$RES"/hidden.7z dir/r.txt
  expect_out '%s\n' "$(report 12 dir/r.txt)"
  expect_err 'Error decompressing %s: not unpacked (%s).\n' "$RES"/hidden.7z \
    'The archive header is encrypted, but currently not supported'
  check 0
  # The bomb is cut once it expands a thousand times past 64 MiB; the next input is searched.
  bt --decompress=2 --count "$MARK" bomb.zip dir/r.txt
  expect_bare_out 'bomb.zip{zeros.gz}{}:0\ndir/r.txt:1\n'
  expect_err 'Error decompressing bomb.zip{zeros.gz}{}: cut: it expands more than 1000 times the compressed bytes read.\n'
  check 0
}

@test "decompress: a truncated stream keeps every byte its decoder prints before the end" {
  cd "$BATS_FILE_TMPDIR/corpus"
  local f dec
  for f in cut.xz cut.lzma cut.zst cut.bz2 cut.lz4; do
    case $f in
      *.xz) dec=(xz -dc) ;;
      *.lzma) dec=(xz -dc --format=lzma) ;;
      *.zst) dec=(zstd -q -dc) ;;
      *.bz2) dec=(bzip2 -dc) ;;
      *.lz4) dec=(lz4 -q -dc) ;;
    esac
    "${dec[@]}" <"$f" >"$RES"/d 2>/dev/null || true
    # The decoder printed some of the markers, not all: the reference itself is right.
    local n
    n=$("$BYTROVE" --count "$MARK" -- "$RES"/d | tail -n 1)
    ((${n##*:} > 100 && ${n##*:} < 700))
    SAME_ERR="Error decompressing $f{}: unexpected end of file." same_as "$RES"/d "$f{}"
  done
  # A member of a truncated .tar.xz: what tar extracts of it, one message naming the member.
  xz -dc cut.tar.xz 2>/dev/null | tar -xOf - dense >"$RES"/d 2>/dev/null || true
  SAME_ERR="Error decompressing cut.tar.xz{dense}: unexpected end of file." \
    same_as "$RES"/d 'cut.tar.xz{dense}'
}

@test "decompress: one compressed level per depth, an archive directly inside it the same level" {
  cd "$BATS_FILE_TMPDIR/corpus"
  gzip -dc p.gz.gz >"$RES"/d1
  gzip -dc <"$RES"/d1 >"$RES"/d2
  DEPTH=1 same_as "$RES"/d1 'p.gz.gz{}'
  DEPTH=2 same_as "$RES"/d2 'p.gz.gz{}{}'
  DEPTH=3 same_as "$RES"/d2 'p.gz.gz{}{}'
  xz -dc p.gz.xz >"$RES"/d1
  DEPTH=1 same_as "$RES"/d1 'p.gz.xz{}'
  DEPTH=2 same_as "$RES"/d2 'p.gz.xz{}{}'
  gzip -dc t.tar.gz.gz >"$RES"/d1
  DEPTH=1 same_as "$RES"/d1 't.tar.gz.gz{}'
  bt --decompress=2 --count "$MARK" t.tar.gz.gz
  expect_bare_out 't.tar.gz.gz{}{dir/sub/q}:2\nt.tar.gz.gz{}{dir/r.txt}:1\nt.tar.gz.gz{}{p}:6\n'
  expect_err
  check 0
  # Standard input the same.
  bt --decompress=2 --count "$MARK" <p.gz.gz
  expect_bare_out 'StdIn{}{}:6\n'
  expect_err
  check 0
}

# archive_matches ARCHIVE ROOT MEMBER...: --decompress on ARCHIVE prints, for each member, the
# lines a plain search of ROOT/MEMBER prints, under the member's name.
archive_matches() {
  local archive=$1 root=$2 n
  shift 2
  : >"$RES"/want_lines
  for n in "$@"; do
    "$BYTROVE" "$MARK" -- "$root/$n" | tail -n +2 | sed "s| in $root/$n\$| in $archive{$n}|" \
      >>"$RES"/want_lines
  done
  bt --decompress "$MARK" "$archive"
  { head -n 1 "$RES"/out && tail -n +2 "$RES"/out | sort; } >"$RES"/got
  { printf '%s\n' "$BANNER" && sort "$RES"/want_lines; } >"$RES"/want_out
  mv "$RES"/got "$RES"/out
  expect_err
  check 0
}

@test "decompress: 7z and ISO 9660 members match the files they were made from" {
  cd "$BATS_FILE_TMPDIR/corpus"
  archive_matches t.7z . p dir/r.txt dir/sub/q
  archive_matches t.iso . p dir/r.txt dir/sub/q
}

@test "decompress: empty members and names with control bytes, in every archive format" {
  mkdir -p "$RES"/n && cd "$RES"/n
  # No backslash: the zip reader takes one for a path separator.
  printf 'MARKER:)' >$'a\x1b{b}'
  : >empty
  local f
  for f in n.tar n.zip n.7z n.cpio; do
    case $f in
      *.tar) tar -cf ../$f -- * ;;
      *.zip) zip -q ../$f -- * ;;
      *.7z) 7zz a -bd ../$f -- * >/dev/null ;;
      *.cpio) printf '%s\n' * | cpio -o -H newc --quiet >../$f ;;
    esac
    bt --decompress --count "$MARK" ../$f
    sort "$RES"/out >"$RES"/sorted && mv "$RES"/sorted "$RES"/out
    expect_bare_out '../%s{a\\x1B\\x7Bb\\x7D}:1\n../%s{empty}:0\n' $f $f
    expect_err
    check 0
  done
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

@test "decompress: the archive library and the decoders are in the executable, not loaded" {
  # Loaded, they and what they pull in (XML, ICU, ACL) were a third of a short run.
  ldd "$BYTROVE_BINARY" >"$RES"/needed
  grep -q 'libc\.so' "$RES"/needed
  if grep -E 'lib(archive|z|lzma|zstd|lz4|bz2|nettle|xml2|icuuc|acl)\.so' "$RES"/needed; then
    false
  fi
  # And the library is there: the member of a zip inside a gzip file is found.
  printf 'hello MARKER:)\n' >m.txt
  zip -q -X m.zip m.txt
  gzip -c m.zip >m.zip.gz
  bt --decompress --count "$MARK" m.zip.gz
  echo 'm.zip.gz{m.txt}:1' >"$RES"/want_out
  : >"$RES"/want_err
  check 0
}
