#!/usr/bin/env bash
# Sends 1 GiB (BENCH_BYTES) to a loopback sink, clear text and TLS: with SendStream from a
# stream, with a plain write / SSL_write loop of 32768-byte calls (the raw loop, always
# the same bytes; "rawstream" reads each piece from the same stream first), with
# curl uploading a file of that size (HTTP and HTTPS PUT, told not to wait for
# "100 Continue"), and with openssl s_client (TLS, the bytes on its standard input).
# Prints the median of BENCH_RUNS runs of each, timed by the sink from the accepted
# connection to the last byte, and the throughput of each sender relative to the raw loop.
set -euo pipefail
cd "$(dirname "$0")/../.."
bytes=${BENCH_BYTES:-1073741824}
runs=${BENCH_RUNS:-5}
cmake -S bench/transport -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j2 --target send_stream_bench >/dev/null
bench=build-bench/send_stream_bench
upload=build-bench/upload.bin
[ "$(stat -c %s "$upload" 2>/dev/null || echo 0)" = "$bytes" ] || head -c "$bytes" /dev/zero >"$upload"

median() { sort -g | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }

# An outside client against the sink: the sink prints its port, then the seconds.
outside() {
  local layer=$1 client=$2 out port sink
  out=$(mktemp)
  case $client in
    curl) "$bench" http "$layer" "$bytes" >"$out" & ;;
    s_client) "$bench" sink "$layer" "$bytes" >"$out" & ;;
  esac
  sink=$!
  while [ ! -s "$out" ]; do sleep 0.02; done
  port=$(head -n1 "$out")
  case $client in
    curl)
      local scheme=http
      [ "$layer" = tls ] && scheme=https
      curl -sSk -o /dev/null -H "Expect:" -T "$upload" "$scheme://127.0.0.1:$port/upload" || true ;;
    s_client) openssl s_client -quiet -connect "127.0.0.1:$port" <"$upload" >/dev/null 2>&1 || true ;;
  esac
  wait "$sink"
  sed -n 2p "$out"
  rm -f "$out"
}

one() {
  local layer=$1 kind=$2
  case $kind in
    raw|rawstream|ours) "$bench" "$kind" "$layer" "$bytes" ;;
    *) outside "$layer" "$kind" ;;
  esac
}

# The runs are interleaved (every sender once, then again), so that a change in the load
# of the machine touches every sender alike.
declare -A times
rows=()
for layer in plain tls; do
  kinds="raw rawstream ours curl"
  [ "$layer" = tls ] && kinds="raw rawstream ours curl s_client"
  for kind in $kinds; do rows+=("$layer-$kind"); done
done
for _ in $(seq "$runs"); do
  for row in "${rows[@]}"; do times[$row]+="$(one "${row%%-*}" "${row#*-}") "; done
done

mib=$((bytes / 1048576))
printf "%-16s %10s %10s %16s\n" "sender ($mib MiB)" "seconds" "MiB/s" "share of raw"
for row in "${rows[@]}"; do
  s=$(tr ' ' '\n' <<<"${times[$row]}" | grep . | median)
  raw=$(tr ' ' '\n' <<<"${times[${row%%-*}-raw]}" | grep . | median)
  awk -v k="$row" -v s="$s" -v r="$raw" -v m="$mib" \
    'BEGIN {printf "%-16s %10.3f %10.0f %16.2f\n", k, s, m / s, r / s}'
done
