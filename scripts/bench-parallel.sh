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
# PROXY=1 also runs the local forward proxy (tools/forward-proxy), which sends img.bench.test to the
# image server, and times vedo-cli migrate --proxy (and curl -x) through it right after each direct
# run with the same options: the difference is the cost of going through a proxy.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
items=${1:-1000}
delays=${2:-"20 0"}
cmake --preset native >/dev/null
cmake --build --preset native -j2 --target vedo-cli sample-image-server forward-proxy >/dev/null

work=$(mktemp -d)
server=
proxy=
trap '[ -n "$server" ] && kill $server 2>/dev/null; [ -n "$proxy" ] && kill $proxy 2>/dev/null; rm -rf "$work"' EXIT
mkdir -p "$work/images"

python3 "$root/scripts/make-bench-package.py" "$work" "$items"
images=$((items * 5))

now() { date +%s.%N; }

# Prints one line of figures: the label, the seconds taken and the images saved.
report() {
  local label=$1 seconds=$2 saved=$3
  if [ "$saved" -eq 0 ]; then
    # A run that saved nothing (a refused option, an unreachable server) has no rate to show.
    printf '  %-44s %5d images in %7.2f s\n' "$label" 0 "$seconds"
    return
  fi
  printf '  %-44s %5d images in %7.2f s: %7.1f images/s, 50,000 images in %6.1f min\n' "$label" "$saved" \
    "$seconds" "$(echo "$saved / $seconds" | bc -l)" "$(echo "50000 / ($saved / $seconds) / 60" | bc -l)"
}

# vedo-cli migrate on a fresh copy of the package; prints the seconds taken.
runVedo() {
  runProgram "$root/build/native/vedo-cli" "$@"
}

# The same through the forward proxy: the proxy, not --connect-to, sends img.bench.test to the server
# (runProgram and runCurl take the route of the caller's `route` when it has one).
runVedoProxy() {
  local route=(--proxy "http://127.0.0.1:$proxyport")
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
  if [ -z "${route+set}" ]; then
    local route=(--connect-to "img.bench.test:80:127.0.0.1:$port")
  fi
  "$program" migrate "$work/run.csv" "$work/out" "${route[@]}" "$@" >/dev/null || true
  end=$(now)
  echo "$end - $start" | bc -l
}

runCurl() {
  rm -rf "$work/curl"
  mkdir -p "$work/curl"
  local start end
  start=$(now)
  if [ -z "${route+set}" ]; then
    local route=(--connect-to "img.bench.test:80:127.0.0.1:$port")
  fi
  curl -s "${route[@]}" "$@" -K "$work/curl.cfg" 2>/dev/null || true
  end=$(now)
  echo "$end - $start" | bc -l
}

runCurlProxy() {
  local route=(-x "http://127.0.0.1:$proxyport")
  runCurl "$@"
}

for delay in $delays; do
  rm -f "$work/port"
  "$root/build/native/sample-image-server" "$work/images" --framing length --quiet --delay-ms "$delay" \
    --port-file "$work/port" >/dev/null &
  server=$!
  for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
  port=$(cat "$work/port")
  if [ -n "${PROXY:-}" ]; then
    rm -f "$work/proxyport"
    "$root/build/native/forward-proxy" --port-file "$work/proxyport" \
      --map "img.bench.test:80=127.0.0.1:$port" >/dev/null &
    proxy=$!
    for _ in $(seq 50); do [ -s "$work/proxyport" ] && break; sleep 0.1; done
    proxyport=$(cat "$work/proxyport")
  fi

  echo "delay $delay ms, $items items, $images images:"
  t=$(runVedo); report "vedo-cli migrate (default connections)" "$t" "$(ls "$work/out" | wc -l)"
  if [ -n "${PROXY:-}" ]; then
    t=$(runVedoProxy); report "vedo-cli --proxy (default connections)" "$t" "$(ls "$work/out" | wc -l)"
  fi
  if [ -n "${BASELINE:-}" ]; then
    t=$(runProgram "$BASELINE"); report "baseline migrate (default connections)" "$t" "$(ls "$work/out" | wc -l)"
  fi
  if [ -z "${NO_CURL:-}" ]; then
    t=$(runCurl --parallel --parallel-max 6); report "curl --parallel --parallel-max 6" "$t" "$(ls "$work/curl" | wc -l)"
    if [ -n "${PROXY:-}" ]; then
      t=$(runCurlProxy --parallel --parallel-max 6); report "curl -x, --parallel-max 6" "$t" "$(ls "$work/curl" | wc -l)"
    fi
  fi
  t=$(runVedo --connections 1); report "vedo-cli migrate --connections 1" "$t" "$(ls "$work/out" | wc -l)"
  if [ -n "${PROXY:-}" ]; then
    t=$(runVedoProxy --connections 1); report "vedo-cli --proxy --connections 1" "$t" "$(ls "$work/out" | wc -l)"
  fi
  if [ -n "${BASELINE:-}" ]; then
    t=$(runProgram "$BASELINE" --connections 1); report "baseline migrate --connections 1" "$t" "$(ls "$work/out" | wc -l)"
  fi
  if [ -z "${NO_CURL:-}" ]; then
    t=$(runCurl); report "curl, one connection" "$t" "$(ls "$work/curl" | wc -l)"
    if [ -n "${PROXY:-}" ]; then
      t=$(runCurlProxy); report "curl -x, one connection" "$t" "$(ls "$work/curl" | wc -l)"
    fi
  fi

  kill "$server" 2>/dev/null || true
  wait "$server" 2>/dev/null || true
  server=
  if [ -n "$proxy" ]; then
    kill "$proxy" 2>/dev/null || true
    wait "$proxy" 2>/dev/null || true
    proxy=
  fi
done
