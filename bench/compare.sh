#!/usr/bin/env bash
# Prints one table of speeds measured in one run on the same bytes: the
# filter alone (kel_bench), the whole kelfilter process, cat, and two peers
# run with node (lol-html through html-rewriter-wasm, rewriting IMG by
# width; htmlparser2, tokenizing), all fed in 8192-byte chunks. Beside the
# noisy times, instructions per byte from callgrind, which repeat exactly.
#
#   bench/compare.sh [PAGES_DIR]     (default: ../shared/corpus/pages)
#
# Builds the native-release preset when needed; installs the peers with npm
# into the build tree when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
pages=${1:-../shared/corpus/pages}
build=build/native-release
work=$build/compare
mkdir -p "$work"

if [ ! -x $build/bin/kel_bench ] || [ ! -x $build/bin/kelfilter ]; then
  cmake --preset native-release >/dev/null
  cmake --build --preset native-release -j "$(nproc)" --target kel_bench kelfilter kelrpc >/dev/null
fi
if [ ! -d $work/node_modules/html-rewriter-wasm ] || [ ! -d $work/node_modules/htmlparser2 ]; then
  npm install --prefix "$work" --no-audit --no-fund --silent \
    html-rewriter-wasm@0.4.1 htmlparser2@12.0.0 >/dev/null
fi

file=$work/corpus.html
cat "$pages"/*.html > "$file"
bytes=$(stat -c %s "$file")
printf 'binding 0\n' > $work/pass-through.rules
: > $work/keep-all.rules
unset KELRPC_LOG KELRPC_RULES

calc() { awk "BEGIN { print $* }"; }

# Best of five wall-clock runs of a command, in seconds.
best() {
  local best_s=""
  for _ in 1 2 3 4 5; do
    local t0 t1
    t0=$(date +%s.%N)
    "$@" >/dev/null
    t1=$(date +%s.%N)
    best_s=$(awk -v t="$(calc "$t1 - $t0")" -v b="$best_s" 'BEGIN { print (b == "" || t < b) ? t : b }')
  done
  echo "$best_s"
}

# Instructions of a command by callgrind.
instructions() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
    awk '/Collected/ { print $4 }'
}

mbps() { calc "$bytes / $1 / 1000000"; }

bench_json=$work/bench.json
$build/bin/kel_bench --benchmark_filter='Corpus' --benchmark_min_time=1 \
  --benchmark_format=json > "$bench_json" 2>/dev/null
bench_rate() {  # MB/s of one kel_bench benchmark
  node -e '
    const r = require(process.argv[1]).benchmarks.find((b) => b.name === process.argv[2]);
    console.log(r.bytes_per_second / 1e6);' "$PWD/$bench_json" "$1"
}

# Best of five runs of a peer script, in the seconds it reports itself
# (node's start-up left out).
peer() {
  node -e '
    const { execFileSync } = require("child_process");
    let best = Infinity;
    for (let i = 0; i < 5; i++) {
      const r = JSON.parse(execFileSync("node", [process.argv[1], process.argv[2], "8192"],
        { env: { ...process.env, NODE_PATH: process.argv[3] } }));
      best = Math.min(best, r.seconds);
    }
    console.log(best);' "$1" "$file" "$PWD/$work/node_modules"
}
lol=$(peer bench/peers/lolhtml.js)
hp2=$(peer bench/peers/htmlparser2.js)
lol_mbps=$(mbps "$lol")

active_s=$(best $build/bin/kelfilter "$file" -o /dev/null)
keep_s=$(KELRPC_RULES=$work/keep-all.rules best $build/bin/kelfilter "$file" -o /dev/null)
pass_s=$(KELRPC_RULES=$work/pass-through.rules best $build/bin/kelfilter "$file" -o /dev/null)
cat_s=$(best cat "$file")
cat_mbps=$(mbps "$cat_s")

active_i=$(instructions $build/bin/kelfilter "$file" -o /dev/null)
pass_i=$(KELRPC_RULES=$work/pass-through.rules instructions $build/bin/kelfilter "$file" -o /dev/null)

echo "$(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //');" \
  "$(basename "$pages"): $(ls "$pages"/*.html | wc -l) pages, $bytes bytes; 8192-byte chunks"
echo
printf '| %-46s | %10s | %10s | %8s | %12s |\n' "what" "MB/s" "× lol-html" "× cat" "instr./byte"
printf '|%s|%s|%s|%s|%s|\n' "$(printf -- '-%.0s' {1..48})" "------------" "------------" "----------" "--------------"
row() {  # name MB/s [instructions]
  local ipb="-"
  [ -n "${3:-}" ] && ipb=$(printf '%.1f' "$(calc "$3 / $bytes")")
  printf '| %-46s | %10.0f | %10.2f | %8.2f | %12s |\n' "$1" "$2" \
    "$(calc "$2 / $lol_mbps")" "$(calc "$2 / $cat_mbps")" "$ipb"
}
row "filter alone, active, built-in rules" "$(bench_rate BM_CorpusBuiltInRules)"
row "filter alone, active, keep-all rules" "$(bench_rate BM_CorpusKeepAll)"
row "filter alone, pass-through" "$(bench_rate BM_CorpusPassThrough)"
row "memcpy of the same chunks" "$(bench_rate BM_CorpusMemcpy)"
row "kelfilter process, active, built-in rules" "$(mbps "$active_s")" "$active_i"
row "kelfilter process, active, keep-all rules" "$(mbps "$keep_s")"
row "kelfilter process, pass-through" "$(mbps "$pass_s")" "$pass_i"
row "cat" "$cat_mbps"
row "lol-html (html-rewriter-wasm, node)" "$lol_mbps"
row "htmlparser2 (node, tokenizing)" "$(mbps "$hp2")"
