#!/usr/bin/env bash
# Builds the filter and runs the main job on a sample page: standard-size
# banners become placeholders, ad links' images become "[AD]".
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake --preset native-release >/dev/null
cmake --build --preset native-release -j "$(nproc 2>/dev/null || echo 2)" --target kelfilter kelrpc >/dev/null
page=${1:-tests/fixtures/banner-page.html}
echo "== $page, as the browser receives it:"
build/native-release/bin/kelfilter "$page" --stats
