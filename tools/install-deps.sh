#!/usr/bin/env bash
# Installs the Debian packages the build and tests need, when any is missing. libyara-dev is
# for the tests only (the reference engine brace patterns are compared with); clang-format is
# for tools/check-format.sh.
set -euo pipefail
# libarchive-dev, nettle-dev (what libarchive's zip reader calls), zlib1g-dev and the decoders'
# own -dev packages are linked into the product from their static archives (--decompress); the
# command-line decoders and archivers after them are test-only: they produce the expected bytes
# for the decompression tests and benchmarks (7zip and xorriso make the 7z and ISO 9660 test
# archives).
packages=(cmake ninja-build g++ clang clang-format libgtest-dev libgmock-dev libbenchmark-dev bats libyara-dev dpkg-dev groff-base man-db bash-completion
  libarchive-dev nettle-dev zlib1g-dev liblzma-dev libzstd-dev libbz2-dev liblz4-dev
  gzip bzip2 xz-utils zstd lz4 zip unzip tar cpio 7zip xorriso)
# Bench only, never linked into the product: Hyperscan's portable fork for bench/hs_scan, found
# through pkg-config.
packages+=(libvectorscan-dev pkg-config)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi
