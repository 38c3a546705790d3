#!/usr/bin/env bash
# Benchmark of the whole job: a package of ITEMS items (default 1,000) with 5 distinct images each
# (30 to 60 KB) served by the local sample image server with Content-Length answers, moved with
# vedo-cli migrate over one connection; then the same images fetched by one curl process over one connection.
# Prints items and images per second for both and the ratio. Not a test: figures only.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
items=${1:-1000}
cmake --preset native >/dev/null
cmake --build --preset native -j2 --target vedo-cli sample-image-server >/dev/null

work=$(mktemp -d)
trap 'kill $server 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/images" "$work/out" "$work/curl"

python3 "$root/scripts/make-bench-package.py" "$work" "$items"

"$root/build/native/sample-image-server" "$work/images" --framing length --quiet --port-file "$work/port" &
server=$!
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(cat "$work/port")
images=$((items * 5))

start=$(date +%s.%N)
"$root/build/native/vedo-cli" migrate "$work/shop.csv" "$work/out" --connections 1 \
  --connect-to "img.bench.test:80:127.0.0.1:$port" >/dev/null
end=$(date +%s.%N)
vedo=$(echo "$end - $start" | bc -l)
saved=$(ls "$work/out" | wc -l)

start=$(date +%s.%N)
curl -s --connect-to "img.bench.test:80:127.0.0.1:$port" -K "$work/curl.cfg"
end=$(date +%s.%N)
curlTime=$(echo "$end - $start" | bc -l)

printf 'vedo-cli migrate: %d items, %d images saved in %.2f s: %.0f items/s, %.0f images/s\n' \
  "$items" "$saved" "$vedo" "$(echo "$items / $vedo" | bc -l)" "$(echo "$images / $vedo" | bc -l)"
printf 'curl, one connection: %d images in %.2f s: %.0f images/s\n' \
  "$images" "$curlTime" "$(echo "$images / $curlTime" | bc -l)"
printf 'ratio (vedo-cli / curl images per second): %.2f\n' "$(echo "$curlTime / $vedo" | bc -l)"
