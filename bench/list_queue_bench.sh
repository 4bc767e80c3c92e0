#!/usr/bin/env bash
# Builds and runs bench/list_queue_bench.cpp against a release build of the libraries
# (build/bench, not part of the normal build), then does the same job with the shell
# tools a user would reach for (find | sort, then grep -vxFf against the ledger) on the
# same data, and prints both. Sizes default to 100000 and 200000 entries.
set -euo pipefail
cd "$(dirname "$0")/.."
sizes=("$@")
[ ${#sizes[@]} -eq 0 ] && sizes=(100000 200000)

build=build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUOBRINA_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target quobrina_driver >/dev/null
libs=()
for layer in driver http xml services net platform support; do
  [ -f "$build/libquobrina_$layer.a" ] && libs+=("$build/libquobrina_$layer.a")
done
${CXX:-g++} -std=c++20 -O2 -DNDEBUG -Isrc bench/list_queue_bench.cpp "${libs[@]}" -ldl -pthread \
  -o "$build/list_queue_bench"

work=$(mktemp -d "${TMPDIR:-/tmp}/quobrina-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
echo "== Quobrina: one queue step's pieces"
"$build/list_queue_bench" "$work" "${sizes[@]}"

echo "== shell tools on the same data (find | LC_ALL=C sort; tr -d '\\r' | grep -vxFf)"
now() { date +%s.%N; }
for n in "${sizes[@]}"; do
  dir=$work/$n
  t0=$(now)
  find "$dir/in" -mindepth 1 -maxdepth 1 | LC_ALL=C sort >"$dir/listing"
  t1=$(now)
  tr -d '\r' <"$dir/00000000.LST" >"$dir/ledger.lf"
  left=$(LC_ALL=C grep -vxFf "$dir/ledger.lf" "$dir/listing" | wc -l)
  t2=$(now)
  awk -v n="$n" -v a="$t0" -v b="$t1" -v c="$t2" -v left="$left" \
    'BEGIN { printf "%10d list %.4f s, subtract %.4f s, step %.4f s (%d left)\n", n, b - a, c - b, c - a, left }'
done
