#!/usr/bin/env bash
# Writes the seed corpora under fuzz/corpus/<target>/. Each seed is a small input in the layout
# its target's header comment describes; together they reach the main paths (errors, wildcards,
# folding, block boundaries, pipes) so the fuzzer starts from there rather than from nothing.
set -euo pipefail
out=${1:-"$(cd "$(dirname "$0")" && pwd)/corpus"}

seed() {  # seed TARGET NAME PRINTF-FORMAT [ARGS...]
  local target=$1 name=$2
  shift 2
  mkdir -p "$out/$target"
  # shellcheck disable=SC2059  # the format is the seed
  printf "$@" >"$out/$target/$name"
}

# fuzz_pattern: byte 0 bit 0 = ignore-case, then the pattern argument.
seed fuzz_pattern one_hex_pair '\x00%s' '41'
seed fuzz_pattern pairs_with_blank '\x00%s' '41 42'
seed fuzz_pattern string_folded '\x01%s' "'AB'"
seed fuzz_pattern leading_wildcard '\x00%s' '?41'
seed fuzz_pattern trailing_wildcard '\x00%s' '41?'
seed fuzz_pattern empty '\x00'
seed fuzz_pattern odd_digits '\x00%s' '414'
seed fuzz_pattern mixed_folding '\x01%s' "41 'a' 42"
seed fuzz_pattern wildcard_and_folding '\x01%s' "'e' 00 ? 71 'B'"
seed fuzz_pattern rare_bytes '\x00%s' '65 00 71 42'
seed fuzz_pattern hex_then_folded '\x01%s' "61 'A'"
seed fuzz_pattern quote_in_string '\x00%s' "\"it's\""
seed fuzz_pattern open_string_high_byte "\\x01'abc\\xe4"
# shellcheck disable=SC2046  # one number per word
seed fuzz_pattern over_256_positions '\x00%s' "$(printf '%02x' $(seq 0 299 | awk '{print $1 % 256}'))"

# fuzz_switches: switch texts separated by NUL bytes.
seed fuzz_switches letters '%s' 'irv'
seed fuzz_switches plus_each '%s' 'i+r+v+'
seed fuzz_switches upper_minus '%s' 'R-I'
seed fuzz_switches empty ''
seed fuzz_switches unknown_plus '%s' 'x+'
seed fuzz_switches attributes '%s' 'hs'
seed fuzz_switches hidden_on_off 'h+\0h-'
seed fuzz_switches verbose_upper '%s' 'V'
seed fuzz_switches off_again 'i\0i-'
seed fuzz_switches unknown_later 's-h+\0i\0zz'
seed fuzz_switches minus_minus '%s' '-x'
seed fuzz_switches trailing_sign '%s' 'v-+'

# fuzz_scanner: flags, length-1, wildcard byte, length byte, plant byte, position bytes, data.
seed fuzz_scanner overlapping '\x00\x01\xff\x00\x00AAAAA'
seed fuzz_scanner folded_pairs '\x09\x01\xff\x00\x00ab ab AB aB Ab xb'
seed fuzz_scanner wildcard_folded '\x09\x04\x3f\x00\x00e\x00?qBzzE\x00zqbxe\x00\x00qB'
seed fuzz_scanner exact_block '\x02\x03\xff\x80\x01ABCDxyzABCxABCD'
seed fuzz_scanner two_blocks '\x04\x0f\xff\x10\x05PK\x03\x04\x14\x00\x06\x00\x08\x00\x00\x00!\x00\xb7\x1cPK\x03\x04junk'
seed fuzz_scanner dense '\x06\x02\xff\x33\x00\x00\x00\x01\x00\x00'
seed fuzz_scanner pipe_chunks '\x22\x05\x2a\x90\x03MZ*\x90\x00\x03MZP\x00\x00\x00'
seed fuzz_scanner pipe_small '\x20\x01\xff\x00\x02\x0d\x0aline\x0d\x0aline\x0d\x0a'
seed fuzz_scanner verbose '\x80\x00\xff\x00\x00\x00\x00\x01\x00'
seed fuzz_scanner hex_then_folded '\x19\x01\xff\x00\x00aAxAaAA'
seed fuzz_scanner zero_run '\x02\x03\xff\xff\x07\x00\x00\x01\x00\x00'
# Three blocks of data whose bytes are the pattern's own: the vector filter's anchors pass
# nearly every window, so the automatic matcher probes and tries its other ways.
seed fuzz_scanner many_false_candidates '\x04\x07\xff\x80\x05AAAAAAABAAAAAAAAB'
seed fuzz_scanner case_alternating '\x4b\x07\x3f\x40\x09Se?rcHeDsearched SEARCHED'
# 256 positions, every 16th a wildcard (0x3f), straddling the first block boundary.
{
  printf '\x02\xff\x3f\x90\x80'
  for i in $(seq 0 255); do
    v=$(((i * 37 + 11) % 256))
    if ((i % 16 == 7)); then v=63; elif ((v == 63)); then v=64; fi
    # shellcheck disable=SC2059  # the format is the byte
    printf "\\x$(printf %02x "$v")"
  done
  printf 'data around the pattern'
} >"$out/fuzz_scanner/longest_pattern"

# fuzz_sets: flags, members - 1, wildcard byte, then per member its length and bytes, then data.
# Members that are prefixes and suffixes of each other, over data full of them.
seed fuzz_sets prefixes '\x00\x02\x3f\x01A\x02AB\x03?BC%s' 'ABCABCAB'
# Folded letters, a wildcard, two threads with JSON records and small chunks.
seed fuzz_sets folded_json '\x3b\x01\x3f\x04a?cD\x02cd%s' 'xaBcDxAbCdcd'
# All-zero members over zeros: every place is a hit of each.
seed fuzz_sets zeros '\x26\x02\xff\x01\x00\x02\x00\x00\x03\x00\x00\x00\x00\x00\x00\x00\x00'
