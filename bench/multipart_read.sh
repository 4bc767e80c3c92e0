#!/usr/bin/env bash
# Streams a 1 GiB file through the multipart body and compares the rate with reading the
# same file through a plain file stream and with cat, all from the page cache.
# Needs the normal build (build/); usage: bench/multipart_read.sh [SIZE_MIB] [BUFFER_BYTES]
set -euo pipefail
cd "$(dirname "$0")/.."
size_mib=${1:-1024}
buffer=${2:-65536}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

libs=()
for layer in http net platform support; do libs+=("build/libquobrina_${layer}.a"); done
c++ -std=c++20 -O2 -Isrc bench/multipart_read_bench.cpp "${libs[@]}" -ldl -pthread -o "$work/bench"

head -c "$((size_mib * 1024 * 1024))" /dev/urandom > "$work/upload.bin"
cat "$work/upload.bin" > /dev/null  # into the page cache

"$work/bench" "$work/upload.bin" "$buffer" 5
TIMEFORMAT="cat:            %3R s"
time cat "$work/upload.bin" > /dev/null
