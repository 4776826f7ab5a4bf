#!/usr/bin/env bash
# Installs the Debian packages the build and tests need, when any is missing. libyara-dev is
# for the tests only (the reference engine brace patterns are compared with); clang-format is
# for tools/check-format.sh.
set -euo pipefail
# libarchive-dev and zlib1g-dev are linked into the product (--decompress); the command-line decoders after it
# are test-only: they produce the expected bytes for the decompression tests and benchmarks.
packages=(cmake ninja-build g++ clang clang-format libgtest-dev libgmock-dev libbenchmark-dev bats libyara-dev dpkg-dev groff-base man-db bash-completion
  libarchive-dev zlib1g-dev
  gzip bzip2 xz-utils zstd lz4 zip unzip tar cpio)
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
