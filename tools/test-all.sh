#!/usr/bin/env bash
# Installs what is missing, builds every preset and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
for preset in native native-release fuzz mingw-i686 mingw-x86_64; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done
for preset in native native-release fuzz mingw-i686 mingw-x86_64; do
  echo "== tests: $preset"
  ctest --preset "$preset" -j "$jobs"
done
