#!/usr/bin/env bash
# Sets up, builds and moves the images of the bundled sample shop through a local image server.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

if [ "$(id -u)" = 0 ]; then
  scripts/setup.sh --native
fi
cmake --preset native >/dev/null
cmake --build --preset native -j2 --target vedo-cli sample-image-server

scratch=${DEMO_DIR:-"$root/build/demo"}
rm -rf "$scratch"
mkdir -p "$scratch/images"
cp samples/demo/shop.csv "$scratch/shop.csv"

build/native/sample-image-server samples/demo/images --port-file "$scratch/server.port" \
  > "$scratch/server.log" 2>&1 &
server=$!
trap 'kill $server 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -s "$scratch/server.port" ] && break; sleep 0.1; done
port=$(cat "$scratch/server.port")

echo "Moving the images of $scratch/shop.csv (sample image server on 127.0.0.1:$port)"
status=0
build/native/vedo-cli migrate "$scratch/shop.csv" "$scratch/images" \
  --connect-to "img.alicdn.com:80:127.0.0.1:$port" \
  --connect-to "img.sample-shop.test:80:127.0.0.1:$port" || status=$?

echo
echo "Images:            $scratch/images ($(ls "$scratch/images" | wc -l) files)"
echo "Rewritten package: $scratch/shop.csv"
echo "Backup:            $root/build/native/csv文件备份/"
echo "Log:               $root/build/native/app.log"
echo "Server requests:   $(wc -l < "$scratch/server.log") lines in $scratch/server.log"
# The sample shop holds a few addresses that fail on purpose (a 404 and a WebP file), so the
# run ends with status 3: finished with failed images.
if [ "$status" != 0 ] && [ "$status" != 3 ]; then
  echo "vedo-cli migrate failed with status $status" >&2
  exit "$status"
fi
