#!/usr/bin/env bash
# Posts one file of BENCH_BYTES (default 1 GiB) as multipart/form-data to a loopback sink
# that reads the whole body before it answers 200, over plain TCP and TLS: with
# TNetHTTP::PostForm as the upload does it, and with curl -F. Runs are interleaved;
# prints the medians of BENCH_RUNS runs: wall seconds, processor seconds of the sender
# (user + system), its peak resident memory, and our throughput relative to curl's.
# `run.sh meta` instead times an HTML answer with 10k and 100k meta tags.
set -euo pipefail
cd "$(dirname "$0")/../.."
bytes=${BENCH_BYTES:-1073741824}
runs=${BENCH_RUNS:-5}
build="build-bench-http"
cmake -S bench/http -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 >/dev/null
if [ "${1:-}" = meta ]; then exec "$build/meta_tags_bench"; fi
file=$build/upload.bin
[ "$(stat -c %s "$file" 2>/dev/null || echo 0)" = "$bytes" ] || head -c "$bytes" /dev/urandom >"$file"
[ -f "$build/sink.pem" ] || openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=localhost -days 2 \
  -keyout "$build/sink.key" -out "$build/sink.pem" 2>/dev/null

sinks=()
stop_sinks() {
  local pid
  for pid in "${sinks[@]}"; do kill "$pid" 2>/dev/null || true; done
}
trap stop_sinks EXIT
start_sink() {  # layer -> port
  local portFile=$build/port-$1
  rm -f "$portFile"
  if [ "$1" = tls ]; then
    "$build/upload_sink" --port-file "$portFile" --tls "$build/sink.pem" "$build/sink.key" &
  else
    "$build/upload_sink" --port-file "$portFile" &
  fi
  sinks+=($!)
  while [ ! -s "$portFile" ]; do sleep 0.02; done
}
start_sink plain
start_sink tls
declare -A url=([plain]="http://127.0.0.1:$(cat $build/port-plain)/upload"
                [tls]="https://127.0.0.1:$(cat $build/port-tls)/upload")

median() { sort -g | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
one() {  # layer sender -> "wall cpu peakKiB"
  local out
  case $2 in
    ours) out=$( { /usr/bin/time -f '%e %U %S %M' "$build/post_form_bench" "${url[$1]}" "$file" >/dev/null; } 2>&1 ) ;;
    curl) out=$( { /usr/bin/time -f '%e %U %S %M' curl -sSk -o /dev/null -H "Expect:" -F "file=@$file" "${url[$1]}"; } 2>&1 ) ;;
  esac
  awk '{printf "%s %.2f %s\n", $1, $2 + $3, $4}' <<<"$(tail -n1 <<<"$out")"
}

declare -A wall cpu mem
rows=(plain-ours plain-curl tls-ours tls-curl)
for _ in $(seq "$runs"); do
  for row in "${rows[@]}"; do
    read -r w c m <<<"$(one "${row%%-*}" "${row#*-}")"
    wall[$row]+="$w "; cpu[$row]+="$c "; mem[$row]+="$m "
  done
done
mib=$((bytes / 1048576))
printf "%-12s %10s %10s %10s %12s %14s\n" "($mib MiB)" "seconds" "MiB/s" "cpu s" "peak KiB" "speed vs curl"
for row in "${rows[@]}"; do
  m() { tr ' ' '\n' <<<"$1" | grep . | median; }
  w=$(m "${wall[$row]}"); c=$(m "${cpu[$row]}"); k=$(m "${mem[$row]}")
  cw=$(m "${wall[${row%%-*}-curl]}")
  awk -v r="$row" -v w="$w" -v c="$c" -v k="$k" -v cw="$cw" -v mib="$mib" \
    'BEGIN {printf "%-12s %10.3f %10.0f %10.2f %12d %14.2f\n", r, w, mib / w, c, k, cw / w}'
done
