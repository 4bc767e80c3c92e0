#!/usr/bin/env bash
# Our XML reader, writer and binary form against pugixml, on the same generated 50 MB
# documents (many small elements with attributes; long text runs), as ratios: text parse
# and memory; indented text save against pugixml's save; our binary form against our own
# text form in both directions, and its load against pugixml's text parse.
# Installs Debian's libpugixml-dev when it is missing. Usage: bench/xml_reader.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/apt-install libpugixml-dev

build=build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUOBRINA_TESTS=OFF >/dev/null
cmake --build "$build" --target quobrina_xml >/dev/null
g++ -std=c++20 -O2 -DNDEBUG -Isrc bench/xml/xml_reader_bench.cpp \
  "$build/libquobrina_xml.a" "$build/libquobrina_platform.a" "$build/libquobrina_support.a" \
  -lpugixml -ldl -pthread -o "$build/xml_reader_bench"

data="$build/data"
mkdir -p "$data"
if [ ! -f "$data/elements.xml" ] || [ ! -f "$data/text.xml" ]; then "$build/xml_reader_bench" generate "$data"; fi

bench="$build/xml_reader_bench"
field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<"$2"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
for doc in elements text; do
  ours=$("$bench" ours "$data/$doc.xml")
  pugi=$("$bench" pugixml "$data/$doc.xml")
  save_ours=$("$bench" save-ours "$data/$doc.xml" "$data/$doc.out.xml")
  save_pugi=$("$bench" save-pugixml "$data/$doc.xml" "$data/$doc.pugi.xml")
  save_bin=$("$bench" save-binary "$data/$doc.xml" "$data/$doc.bin")
  load_bin=$("$bench" ours "$data/$doc.bin")
  printf '%s\n' "$ours" "$pugi" "$save_ours" "$save_pugi" "$save_bin" "$load_bin"
  [ "$(field nodes "$ours")" = "$(field nodes "$pugi")" ] || echo "warning: node counts differ"
  [ "$(field nodes "$ours")" = "$(field nodes "$load_bin")" ] || echo "warning: binary node count differs"
  echo "$doc: parse throughput $(ratio "$(field mb_per_s "$ours")" "$(field mb_per_s "$pugi")") of pugixml" \
    "($(field mb_per_s "$ours") vs $(field mb_per_s "$pugi") MB/s);" \
    "memory per node $(ratio "$(field bytes_per_node "$ours")" "$(field bytes_per_node "$pugi")") x pugixml"
  echo "$doc: text save takes $(ratio "$(field seconds "$save_ours")" "$(field seconds "$save_pugi")") x pugixml's time" \
    "($(field seconds "$save_ours") vs $(field seconds "$save_pugi") s; $(field out_mb "$save_ours") vs" \
    "$(field out_mb "$save_pugi") MB written)"
  echo "$doc: binary save takes $(ratio "$(field seconds "$save_bin")" "$(field seconds "$save_ours")") x our text save" \
    "($(field seconds "$save_bin") s; $(field out_mb "$save_bin") MB, $(ratio "$(field out_mb "$save_bin")" \
    "$(field out_mb "$save_ours")") of the text size)"
  echo "$doc: binary load takes $(ratio "$(field seconds "$load_bin")" "$(field seconds "$ours")") x our text parse" \
    "and $(ratio "$(field seconds "$load_bin")" "$(field seconds "$pugi")") x pugixml's parse" \
    "($(field seconds "$load_bin") vs $(field seconds "$ours") vs $(field seconds "$pugi") s)"
done
