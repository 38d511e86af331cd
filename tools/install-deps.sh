#!/usr/bin/env bash
# Installs, with apt-get, whatever the build and the tests need and this
# machine lacks; with --native only what the native build of kelfilter
# needs. Safe to run again: it installs nothing when all is there.
set -euo pipefail

packages=(
  cmake make g++ pkgconf    # the native build
  liburiparser-dev          # URL resolution in the native build
)
if [ "${1:-}" != "--native" ]; then
  packages+=(
    libgtest-dev              # the tests
    libbenchmark-dev          # the benchmarks
    clang libclang-rt-14-dev  # the fuzz targets (libFuzzer)
    g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64   # the Windows builds
    wine64                    # the Windows tests
  )
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo
$sudo apt-get update -qq
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
