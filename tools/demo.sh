#!/usr/bin/env bash
# Builds kelfilter and the sample companion and runs the main job on a page
# (the sample one by default) with the built-in rules: images of standard
# banner sizes become sized placeholders, images from ad servers "[AD]".
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh --native
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=Release -DKEL_TESTS=OFF >/dev/null
cmake --build build/demo -j "$(nproc 2>/dev/null || echo 2)" --target kelfilter kelrpc >/dev/null
page=${1:-tests/fixtures/banner-page.html}
echo "== $page, as the browser receives it:"
build/demo/bin/kelfilter "$page" --stats
