#!/usr/bin/env bats
# What a user installs: the manual page (clean, and true to the program), the install rules,
# the bash completion and the Debian package.

bats_require_minimum_version 1.5.0

setup_file() {
  export BUILD_DIR SOURCE_DIR
  BUILD_DIR=$(cd "$(dirname "$BYTROVE")" && pwd)
  SOURCE_DIR=$(cd "$BATS_TEST_DIRNAME/../.." && pwd)
}

setup() {
  [[ -x ${BYTROVE:-} ]] || {
    echo "BYTROVE must name the built bytrove binary (got '${BYTROVE:-}')" >&2
    return 1
  }
  [[ -f $BUILD_DIR/CPackConfig.cmake ]] || {
    echo "$BUILD_DIR is not a configured build tree" >&2
    return 1
  }
}

# The manual page as a terminal shows it, without bold or underline.
render_man() {
  groff -man -Tutf8 -P-cbou "$SOURCE_DIR/docs/bytrove.1"
}

# The lines of the rendered page from the first one containing $1 up to the first following
# one containing $2, with the indent of the first line removed from each.
man_block() {
  render_man | awk -v from="$1" -v to="$2" '
    !on && index($0, from) { on = 1; match($0, /^ */); indent = RLENGTH }
    on { print substr($0, indent + 1) }
    on && index($0, to) { exit }'
}

# Builds the Debian package once per file run; prints its path.
deb_package() {
  local out=$BATS_FILE_TMPDIR/deb
  if [[ ! -d $out ]]; then
    mkdir -p "$out"
    (cd "$BUILD_DIR" && cpack -G DEB -B "$out") >"$out.log" 2>&1 || {
      cat "$out.log" >&2
      return 1
    }
  fi
  local debs=("$out"/*.deb)
  [[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || {
    echo "expected one .deb in $out, found: ${debs[*]}" >&2
    return 1
  }
  echo "${debs[0]}"
}

# Installs the build tree under a temporary prefix once per file run; prints the prefix.
install_prefix() {
  local prefix=$BATS_FILE_TMPDIR/prefix
  if [[ ! -d $prefix ]]; then
    cmake --install "$BUILD_DIR" --prefix "$prefix" >"$prefix.log" 2>&1 || {
      cat "$prefix.log" >&2
      rm -rf "$prefix"
      return 1
    }
  fi
  echo "$prefix"
}

# A file whose occurrences of 'ELF' are known: offsets 1 and 1234.
make_sample() {
  head -c 2000 /dev/zero >"$1"
  printf '\x7fELF' | dd of="$1" bs=1 seek=0 conv=notrunc status=none
  printf 'ELF' | dd of="$1" bs=1 seek=1234 conv=notrunc status=none
}

expected_sample_output() {
  printf '%s\n' "$("$BYTROVE" --version)" \
    'offset 0x00000001         (1) in '"$1" \
    'offset 0x000004D2      (1234) in '"$1"
}

# --- manual page ----------------------------------------------------------------------------

@test "the manual page renders without a single groff or man warning" {
  run --separate-stderr groff -man -Tutf8 -ww "$SOURCE_DIR/docs/bytrove.1"
  [[ $status -eq 0 ]]
  [[ -z $stderr ]] || { echo "groff: $stderr"; false; }
  local page section
  page=$(render_man)
  for section in NAME SYNOPSIS DESCRIPTION "PATTERN SYNTAX" OPTIONS "FILE ARGUMENTS" \
    "HIDDEN AND SYSTEM FILES" OUTPUT DIAGNOSTICS "EXIT STATUS" EXAMPLES "SEE ALSO"; do
    grep -qx "$section" <<<"$page" || { echo "section $section missing"; false; }
  done

  run --separate-stderr man --warnings -l "$SOURCE_DIR/docs/bytrove.1"
  [[ $status -eq 0 ]]
  [[ -z $stderr ]] || { echo "man: $stderr"; false; }
}

@test "the manual page quotes the banner, the usage text and the messages as printed" {
  local page banner
  page=$(render_man | sed 's/^ *//')
  banner=$("$BYTROVE" --version)
  grep -qxF "$banner" <<<"$page" || { echo "banner '$banner' not in the page"; false; }

  # The usage text, line by line (the program starts it with an empty line).
  local err=$BATS_TEST_TMPDIR/usage rc=0
  "$BYTROVE" >/dev/null 2>"$err" || rc=$?
  [[ $rc -eq 1 && -z $(head -n 1 "$err") ]]
  diff -u <(sed 1d "$err") <(man_block 'Usage:' '(? = wildcard')

  # The fixed error messages, each exactly as the program writes it.
  local pattern
  for pattern in 4 '41?' "'ELF' ?"; do
    run --separate-stderr "$BYTROVE" "$pattern"
    [[ $status -ne 0 && -n $stderr ]]
    grep -qxF "$stderr" <<<"$page" || { echo "message '$stderr' not in the page"; false; }
  done
}

@test "the manual page's worked examples are what the program prints" {
  # The verbose example: its command line, run by the shell on the sample firmware shipped
  # with the sources, prints exactly the lines shown under it.
  local want command
  want=$(man_block '$ bytrove -v' 'bytes searched).')
  command=$(head -n 1 <<<"$want")
  command=${command#'$ '}
  [[ $command == 'bytrove -v '*' firmware.bin' ]] || { echo "command: $command"; false; }
  run --separate-stderr bash -c 'cd "$1/samples" && PATH=$2:$PATH && eval "$3"' \
    _ "$SOURCE_DIR" "$(dirname "$BYTROVE")" "$command"
  [[ $status -eq 0 && -z $stderr ]]
  diff -u <(sed 1d <<<"$want") <(printf '%s\n' "$output")

  # The report line for offset 1234, column for column.
  local dir=$BATS_TEST_TMPDIR
  head -c 1300 /dev/zero >"$dir/firmware.bin"
  printf 'ELF' | dd of="$dir/firmware.bin" bs=1 seek=1234 conv=notrunc status=none
  run --separate-stderr bash -c 'cd "$1" && "$2" "'\''ELF'\''" firmware.bin' _ "$dir" "$BYTROVE"
  diff -u <(man_block 'offset 0x000004D2' 'in firmware.bin') <(sed 1d <<<"$output")
}

# --- install rules ----------------------------------------------------------------------------

@test "cmake --install lays out the program, manual page and completion, and the program works" {
  local prefix
  prefix=$(install_prefix)
  [[ -x $prefix/bin/bytrove ]]
  cmp "$SOURCE_DIR/docs/bytrove.1" "$prefix/share/man/man1/bytrove.1"
  cmp "$SOURCE_DIR/completions/bytrove.bash" "$prefix/share/bash-completion/completions/bytrove"
  cmp "$SOURCE_DIR/samples/signatures.set" "$prefix/share/bytrove/signatures.set"
  # Nothing else is installed.
  diff -u <(printf '%s\n' bin/bytrove share/bash-completion/completions/bytrove \
    share/bytrove/signatures.set share/man/man1/bytrove.1) \
    <(cd "$prefix" && find . -type f | sed 's|^\./||' | sort)

  cd "$BATS_TEST_TMPDIR"
  make_sample sample.bin
  run --separate-stderr "$prefix/bin/bytrove" "'ELF'" sample.bin
  [[ $status -eq 0 && -z $stderr ]]
  diff -u <(expected_sample_output sample.bin) <(printf '%s\n' "$output")

  # The shipped set is found by its bare name from any directory, beside the installed program
  # (the tree may be moved); a file of that name in the working directory comes first.
  printf '\x7FELF\x02\x01\x01' >elf.bin
  run --separate-stderr "$prefix/bin/bytrove" --patterns=signatures.set -s -- "$PWD/elf.bin"
  [[ $status -eq 0 && -z $stderr && $output == *" in $PWD/elf.bin [ELF]"* ]]
  mv "$prefix" "$prefix.moved"
  run --separate-stderr "$prefix.moved/bin/bytrove" --count --patterns=signatures.set elf.bin
  mv "$prefix.moved" "$prefix"
  [[ $status -eq 0 && -z $stderr && $output == *"elf.bin:ELF:1"* ]]
  printf 'MINE = 45\n' >signatures.set
  run --separate-stderr "$prefix/bin/bytrove" --count --patterns=signatures.set elf.bin
  [[ $status -eq 0 && $output == "elf.bin:MINE:1" ]]
  run --separate-stderr "$prefix/bin/bytrove" --patterns=nosuch.set elf.bin
  [[ $status -eq 1 && $stderr == "Error reading pattern file nosuch.set." ]]

  # man finds the installed page by name under the prefix.
  run man -M "$prefix/share/man" -w bytrove
  [[ $status -eq 0 && $output == "$prefix/share/man/man1/bytrove.1" ]]
}

# --- bash completion --------------------------------------------------------------------------

# Prints, one per line, what the completion offers for the words given (the last one is the
# word being completed), run in a fresh bash in the current directory. $LINE, when set, is the
# line as typed (by default the words joined by blanks).
complete_words() {
  bash --norc --noprofile -c '
    source "$1"
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMP_LINE=${LINE:-$*}
    COMP_POINT=${#COMP_LINE}
    _bytrove bytrove "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
    [[ $(complete -p bytrove) == "complete -F _bytrove bytrove" ]] || echo "not registered"
    printf "%s\n" "${COMPREPLY[@]}"' _ "$SOURCE_DIR/completions/bytrove.bash" "$@"
}

# Checks that completing the words (the last one being typed) offers exactly the names in
# $expected, a blank-separated list, in any order.
offers() {
  local got want
  got=$(complete_words "$@" | sed '/^$/d' | LC_ALL=C sort | tr '\n' ' ')
  want=$(tr ' ' '\n' <<<"$expected" | sed '/^$/d' | LC_ALL=C sort | tr '\n' ' ')
  if [[ $got != "$want" ]]; then
    echo "completing '$*': got '$got', expected '$want'"
    return 1
  fi
}

@test "completion offers the switches and long options before the pattern" {
  local long='--help --version --progress --threads --count --files-with-matches --max-count=
    --range= --context= --utf16 --json --patterns= --null --include-zero --status --include=
    --exclude= --exclude-dir= --no-follow --color= --decompress --decompress= --'
  expected='--version' offers bytrove --ver
  expected='--help' offers bytrove -r --he
  expected="$long" offers bytrove --
  expected='--threads' offers bytrove --thr
  expected='--max-count=' offers bytrove --max
  expected='--color= --context= --count' offers bytrove -v --co
  expected="-h -i -r -s -v $long" offers bytrove -
  expected="-h -i -r -s -v $long" offers bytrove -v /r -
  expected='-ir -ir+ -ir-' offers bytrove -ir
  expected='-I+R -I+R+ -I+R-' offers bytrove -I+R
  expected='-v-' offers bytrove -v-
  expected='' offers bytrove -x
  expected='' offers bytrove -iq
  # The pattern itself is free text.
  expected='' offers bytrove -i ''
  expected='' offers bytrove -- -
  # --threads takes a count, 1 or the CPUs this shell may use, and its value is not the pattern.
  local cpus
  cpus=$(env -u OMP_NUM_THREADS -u OMP_THREAD_LIMIT nproc)
  ((cpus > 1)) || cpus=
  expected="1 $cpus" offers bytrove --threads ''
  expected="1 $cpus" offers bytrove -v --threads = ''
  expected='1' offers bytrove --threads 1
  expected='' offers bytrove --threads x
  expected="-h -i -r -s -v $long" offers bytrove --threads 2 -
  expected="-h -i -r -s -v $long" offers bytrove --threads = 2 -
  expected='-h -r -s -v --' offers bytrove --threads 2 41 -
  expected='' offers bytrove --threads 2 41 --thr
  # Nor are the values of --max-count, --range and --context, which bash may split at ":", "=".
  expected='' offers bytrove --max-count ''
  expected="-h -i -r -s -v $long" offers bytrove --max-count 5 --context 32 -
  LINE='bytrove --range 0:4 --context=8 -' expected="-h -i -r -s -v $long" \
    offers bytrove --range 0 : 4 --context = 8 -
  LINE='bytrove --range=:0x1000 -' expected="-h -i -r -s -v $long" \
    offers bytrove --range =: 0x1000 -
  LINE='bytrove --range 4K: 41 -' expected='-h -r -s -v --' offers bytrove --range 4K : 41 -
  # Nothing follows --help or --version.
  expected='' offers bytrove --help -
  expected='' offers bytrove -v --version -
}

@test "completion after the pattern offers what still applies there, then file names" {
  cd "$BATS_TEST_TMPDIR"
  mkdir -p almond/inner
  : >alpha.bin
  : >beta.bin
  : >./-dash.bin
  : >'with space.bin'

  # -i no longer changes anything and the long options are not recognised here.
  expected='-h -r -s -v --' offers bytrove 41 -
  expected='-h -r -s -v --' offers bytrove -v 41 -r -
  expected='' offers bytrove 41 --ver
  expected='' offers bytrove 41 -i
  expected='-rv -rv+ -rv-' offers bytrove 41 -rv
  expected='alpha.bin almond' offers bytrove "'ELF'" al
  expected='alpha.bin almond' offers bytrove 41 -r al
  expected='almond/inner' offers bytrove 41 almond/
  [[ $(complete_words bytrove 41 w) == 'with space.bin' ]]
  # After "--" everything is a file name, also what begins with "-".
  expected='-dash.bin' offers bytrove 41 -- -
  expected='-dash.bin' offers bytrove -- 41 -
  expected='beta.bin' offers bytrove -r -- "7F 'E'" b
  # --patterns takes a file; with a set there is no pattern, so the next word is a file too.
  LINE='bytrove --patterns=al' expected='alpha.bin almond' offers bytrove --patterns = al
  expected='alpha.bin almond' offers bytrove --patterns sigs.set -v al
}

@test "the bash-completion package finds the installed completion and completes whole words" {
  local loader=/usr/share/bash-completion/bash_completion
  [[ -f $loader ]] || skip "the bash-completion package is not installed"
  local prefix
  prefix=$(install_prefix)
  cd "$BATS_TEST_TMPDIR"
  : >'img:1.bin'
  : >'img:2.bin'
  : >'key=value.bin'

  # The completion is the file bash-completion finds under the prefix's data directory.
  # Then the words as bash splits them at ":" and "=", and the line as typed.
  run bash --norc --noprofile -c '
    export XDG_DATA_DIRS=$1/share BASH_COMPLETION_USER_DIR=$1/none
    source "$2"
    complete -r bytrove 2>/dev/null
    __load_completion bytrove || exit 1
    [[ $(complete -p bytrove) == "complete -F _bytrove bytrove" ]] || exit 2
    shopt -s extdebug
    [[ $(declare -F _bytrove) == *" $1/share/bash-completion/completions/bytrove" ]] || exit 3
    shopt -u extdebug
    t() {
      COMP_LINE=$1
      COMP_POINT=${#COMP_LINE}
      shift
      COMP_WORDS=("$@")
      COMP_CWORD=$(($# - 1))
      _bytrove
      printf "%s\n" "${COMPREPLY[*]}"
    }
    t "bytrove --ver" bytrove --ver
    t "bytrove -i" bytrove -i
    t "bytrove 41 img:" bytrove 41 img :
    t "bytrove 41 key=v" bytrove 41 key = v
    t "bytrove 41 -" bytrove 41 -
    t "bytrove --threads=1" bytrove --threads = 1
    t "bytrove --threads=1 41 -" bytrove --threads = 1 41 -
    t "bytrove --range 4K: 41 -i" bytrove --range 4K : 41 -i
    t "bytrove --max-count=" bytrove --max-count =
    t "bytrove --range=0:4 --max-count 1 -i" bytrove --range = 0 : 4 --max-count 1 -i
    t "bytrove --patterns=img:" bytrove --patterns = img :' _ "$prefix" "$loader"
  [[ $status -eq 0 ]] || { echo "status $status: $output"; false; }
  diff -u <(printf '%s\n' --version '-i -i+ -i-' '1.bin 2.bin' 'value.bin' '-h -r -s -v --' 1 \
    '-h -r -s -v --' '' '' '-i -i+ -i-' '1.bin 2.bin') \
    <(printf '%s\n' "$output" | sed 's/2.bin 1.bin/1.bin 2.bin/')
}

# --- Debian package -----------------------------------------------------------------------------

@test "cpack builds bytrove_<version>_<arch>.deb with the program, page, completion and fields" {
  local deb name version arch
  deb=$(deb_package)
  name=$(basename "$deb")
  arch=$(dpkg --print-architecture)
  [[ $name =~ ^bytrove_([0-9]+\.[0-9]+\.[0-9]+)_${arch}\.deb$ ]] || { echo "name $name"; false; }
  version=${BASH_REMATCH[1]}
  # The package version is the program's own ("Bytrove 2.1" for 2.1.x).
  [[ $("$BYTROVE" --version) == "Bytrove ${version%.*} "* ]]

  run dpkg-deb -f "$deb" Package Version Architecture Maintainer Section Depends
  [[ $status -eq 0 ]]
  echo "$output"
  grep -qx 'Package: bytrove' <<<"$output"
  grep -qx "Version: $version" <<<"$output"
  grep -qx "Architecture: $arch" <<<"$output"
  grep -qx 'Maintainer: Bytrove developers <dev@bytrove.invalid>' <<<"$output"
  grep -qx 'Section: utils' <<<"$output"
  # Filled in from the binary's shared libraries.
  grep -qE '^Depends: .*libc6 \(>= [0-9.]+\)' <<<"$output"
  # The archive library and the decoders are in the binary: no package of theirs is needed.
  if grep -E '^Depends: .*(libarchive|zlib|liblzma|libzstd|liblz4|libbz2)' <<<"$output"; then
    false
  fi
  run dpkg-deb -I "$deb"
  grep -qE '^ Description: .+' <<<"$output"

  run dpkg-deb -c "$deb"
  [[ $status -eq 0 ]]
  diff -u <(printf '%s\n' ./usr/bin/bytrove ./usr/share/bash-completion/completions/bytrove \
    ./usr/share/bytrove/signatures.set ./usr/share/man/man1/bytrove.1) \
    <(awk '$1 !~ /^d/ { print $6 }' <<<"$output" | sort)
  grep -qE '^-rwxr-xr-x root/root .* \./usr/bin/bytrove$' <<<"$output"
  grep -qE '^-rw-r--r-- root/root .* \./usr/share/man/man1/bytrove.1$' <<<"$output"

  # The packaged files are the ones in the tree.
  local unpacked=$BATS_TEST_TMPDIR/unpacked
  dpkg-deb -x "$deb" "$unpacked"
  cmp "$SOURCE_DIR/docs/bytrove.1" "$unpacked/usr/share/man/man1/bytrove.1"
  cmp "$SOURCE_DIR/completions/bytrove.bash" \
    "$unpacked/usr/share/bash-completion/completions/bytrove"
  cd "$BATS_TEST_TMPDIR"
  make_sample sample.bin
  run --separate-stderr "$unpacked/usr/bin/bytrove" "'ELF'" sample.bin
  [[ $status -eq 0 && -z $stderr ]]
  diff -u <(expected_sample_output sample.bin) <(printf '%s\n' "$output")
}

@test "the .deb installs with dpkg, searches from /usr/bin and removes cleanly" {
  [[ $(id -u) -eq 0 ]] || skip "dpkg -i needs root"
  command -v dpkg >/dev/null || skip "dpkg is not available"
  local deb
  deb=$(deb_package)

  # Runs of this suite on the same machine take turns with dpkg; a bytrove package that was
  # installed by someone else is left alone.
  exec {lock}>/tmp/bytrove-deb-install-test.lock
  flock -w 300 "$lock"
  if dpkg-query -W -f='${Status}' bytrove 2>/dev/null | grep -q 'install ok installed'; then
    flock -u "$lock"
    skip "a bytrove package is already installed on this machine"
  fi

  cd "$BATS_TEST_TMPDIR"
  make_sample sample.bin
  # Each step runs only if the one before it passed; the package is removed in any case.
  local rc=0
  dpkg -i "$deb" >/dev/null &&
    dpkg-query -W -f='${Status}\n' bytrove | grep -qx 'install ok installed' &&
    dpkg -L bytrove | grep -qx /usr/bin/bytrove &&
    diff -u <(expected_sample_output sample.bin) <(/usr/bin/bytrove "'ELF'" sample.bin) &&
    /usr/bin/bytrove --count --include-zero --patterns=signatures.set sample.bin |
      grep -q '^sample.bin:ELF:0$' ||
    rc=1
  dpkg -r bytrove >/dev/null || rc=1
  [[ ! -e /usr/bin/bytrove && ! -e /usr/share/man/man1/bytrove.1 &&
    ! -e /usr/share/bytrove/signatures.set ]] || rc=1
  flock -u "$lock"
  return $rc
}
