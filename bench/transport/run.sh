#!/usr/bin/env bash
# Sends 1 GiB (BENCH_BYTES) from a stream to a loopback sink, clear text and TLS, with
# SendStream, with a plain write / SSL_write loop, and with curl (clear text, telnet://
# upload of the same bytes from standard input) and openssl s_client (TLS); prints the
# median of BENCH_RUNS runs of each and the ratios to the raw loop.
set -euo pipefail
cd "$(dirname "$0")/../.."
bytes=${BENCH_BYTES:-1073741824}
runs=${BENCH_RUNS:-5}
cmake -S bench/transport -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j2 --target send_stream_bench >/dev/null
bench=build-bench/send_stream_bench

median() { sort -g | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }

# An outside client against the sink: the sink prints its port, then the seconds.
outside() {
  local layer=$1 client=$2 out port
  out=$(mktemp)
  "$bench" sink "$layer" "$bytes" >"$out" &
  local sink=$!
  while [ ! -s "$out" ]; do sleep 0.02; done
  port=$(head -n1 "$out")
  case $client in
    curl) head -c "$bytes" /dev/zero | curl -sS -T - "telnet://127.0.0.1:$port" >/dev/null 2>&1 || true ;;
    s_client) head -c "$bytes" /dev/zero | openssl s_client -quiet -connect "127.0.0.1:$port" >/dev/null 2>&1 || true ;;
  esac
  wait "$sink"
  sed -n 2p "$out"
  rm -f "$out"
}

declare -A result
for layer in plain tls; do
  for kind in raw ours; do
    result[$layer-$kind]=$(for _ in $(seq "$runs"); do "$bench" "$kind" "$layer" "$bytes"; done | median)
  done
done
result[plain-curl]=$(for _ in $(seq "$runs"); do outside plain curl; done | median)
result[tls-s_client]=$(for _ in $(seq "$runs"); do outside tls s_client; done | median)

mib=$((bytes / 1048576))
printf "%-26s %10s %10s %12s\n" "sender ($mib MiB)" "seconds" "MiB/s" "raw/sender"
for key in plain-raw plain-ours plain-curl tls-raw tls-ours tls-s_client; do
  layer=${key%%-*}
  s=${result[$key]}
  awk -v k="$key" -v s="$s" -v r="${result[$layer-raw]}" -v m="$mib" \
    'BEGIN {printf "%-26s %10.3f %10.0f %12.2f\n", k, s, m / s, r / s}'
done
