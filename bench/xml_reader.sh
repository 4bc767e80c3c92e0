#!/usr/bin/env bash
# Parse throughput and memory of our XML reader against pugixml, on the same generated
# 50 MB documents (many small elements with attributes; long text runs), as ratios.
# Installs Debian's libpugixml-dev when it is missing. Usage: bench/xml_reader.sh
set -euo pipefail
cd "$(dirname "$0")/.."

if ! dpkg-query -W -f='${Status}' libpugixml-dev 2>/dev/null | grep -q "install ok installed"; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends libpugixml-dev >/dev/null
fi

build=build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUOBRINA_TESTS=OFF >/dev/null
cmake --build "$build" --target quobrina_xml >/dev/null
g++ -std=c++20 -O2 -DNDEBUG -Isrc bench/xml/xml_reader_bench.cpp \
  "$build/libquobrina_xml.a" "$build/libquobrina_platform.a" "$build/libquobrina_support.a" \
  -lpugixml -ldl -pthread -o "$build/xml_reader_bench"

data="$build/data"
mkdir -p "$data"
[ -f "$data/elements.xml" ] && [ -f "$data/text.xml" ] || "$build/xml_reader_bench" generate "$data"

field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<"$2"; }
for doc in elements text; do
  ours=$("$build/xml_reader_bench" ours "$data/$doc.xml")
  pugi=$("$build/xml_reader_bench" pugixml "$data/$doc.xml")
  echo "$ours"
  echo "$pugi"
  [ "$(field nodes "$ours")" = "$(field nodes "$pugi")" ] || echo "warning: node counts differ"
  awk -v doc="$doc" -v o="$(field mb_per_s "$ours")" -v p="$(field mb_per_s "$pugi")" \
      -v om="$(field bytes_per_node "$ours")" -v pm="$(field bytes_per_node "$pugi")" \
      'BEGIN { printf "%s: throughput %.2f of pugixml (%.0f vs %.0f MB/s); memory per node %.1f x pugixml (%.0f vs %.0f bytes)\n", doc, o / p, o, p, om / pm, om, pm }'
done
