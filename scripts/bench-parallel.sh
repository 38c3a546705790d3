#!/usr/bin/env bash
# Benchmark of parallel downloads: a package of ITEMS items (default 1,000) with 5 distinct images
# each (30 to 60 KB), served by the local sample image server whose every answer waits DELAY ms
# (a distant server's round trip) before its first byte, at 20 ms and at 0 ms. At each delay:
# vedo-cli migrate with its default connections against curl --parallel --parallel-max 6 over the
# same addresses, and vedo-cli migrate --connections 1 against one curl process without --parallel.
# Prints images per second of each and the time 50,000 images would take. Not a test: figures only.
#
#   scripts/bench-parallel.sh [ITEMS] [DELAYS]     DELAYS defaults to "20 0"
#
# BASELINE=path/to/vedo-cli times that program too, right after each vedo-cli run and with the
# same options (a build from before a change, compared in the same run); NO_CURL=1 leaves out curl.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
items=${1:-1000}
delays=${2:-"20 0"}
cmake --preset native >/dev/null
cmake --build --preset native -j2 --target vedo-cli sample-image-server >/dev/null

work=$(mktemp -d)
server=
trap '[ -n "$server" ] && kill $server 2>/dev/null; rm -rf "$work"' EXIT
mkdir -p "$work/images"

python3 "$root/scripts/make-bench-package.py" "$work" "$items"
images=$((items * 5))

now() { date +%s.%N; }

# Prints one line of figures: the label, the seconds taken and the images saved.
report() {
  local label=$1 seconds=$2 saved=$3
  printf '  %-44s %5d images in %7.2f s: %7.1f images/s, 50,000 images in %6.1f min\n' "$label" "$saved" \
    "$seconds" "$(echo "$saved / $seconds" | bc -l)" "$(echo "50000 / ($saved / $seconds) / 60" | bc -l)"
}

# vedo-cli migrate on a fresh copy of the package; prints the seconds taken.
runVedo() {
  runProgram "$root/build/native/vedo-cli" "$@"
}

runProgram() {
  local program=$1
  shift
  rm -rf "$work/out" "$work/run.csv"
  mkdir -p "$work/out"
  cp "$work/shop.csv" "$work/run.csv"
  local start end
  start=$(now)
  "$program" migrate "$work/run.csv" "$work/out" \
    --connect-to "img.bench.test:80:127.0.0.1:$port" "$@" >/dev/null || true
  end=$(now)
  echo "$end - $start" | bc -l
}

runCurl() {
  rm -rf "$work/curl"
  mkdir -p "$work/curl"
  local start end
  start=$(now)
  curl -s --connect-to "img.bench.test:80:127.0.0.1:$port" "$@" -K "$work/curl.cfg" 2>/dev/null || true
  end=$(now)
  echo "$end - $start" | bc -l
}

for delay in $delays; do
  rm -f "$work/port"
  "$root/build/native/sample-image-server" "$work/images" --framing length --quiet --delay-ms "$delay" \
    --port-file "$work/port" >/dev/null &
  server=$!
  for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
  port=$(cat "$work/port")

  echo "delay $delay ms, $items items, $images images:"
  t=$(runVedo); report "vedo-cli migrate (default connections)" "$t" "$(ls "$work/out" | wc -l)"
  if [ -n "${BASELINE:-}" ]; then
    t=$(runProgram "$BASELINE"); report "baseline migrate (default connections)" "$t" "$(ls "$work/out" | wc -l)"
  fi
  if [ -z "${NO_CURL:-}" ]; then
    t=$(runCurl --parallel --parallel-max 6); report "curl --parallel --parallel-max 6" "$t" "$(ls "$work/curl" | wc -l)"
  fi
  t=$(runVedo --connections 1); report "vedo-cli migrate --connections 1" "$t" "$(ls "$work/out" | wc -l)"
  if [ -n "${BASELINE:-}" ]; then
    t=$(runProgram "$BASELINE" --connections 1); report "baseline migrate --connections 1" "$t" "$(ls "$work/out" | wc -l)"
  fi
  if [ -z "${NO_CURL:-}" ]; then
    t=$(runCurl); report "curl, one connection" "$t" "$(ls "$work/curl" | wc -l)"
  fi

  kill "$server" 2>/dev/null || true
  wait "$server" 2>/dev/null || true
  server=
done
