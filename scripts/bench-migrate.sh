#!/usr/bin/env bash
# Benchmark of the whole job: a package of ITEMS items (default 1,000) with 5 distinct images each
# (30 to 60 KB) served by the local sample image server with Content-Length answers, moved with
# vedo-cli migrate; then the same images fetched by one curl process over one connection.
# Prints items and images per second for both and the ratio. Not a test: figures only.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
items=${1:-1000}
cmake --preset native >/dev/null
cmake --build --preset native -j2 --target vedo-cli sample-image-server >/dev/null

work=$(mktemp -d)
trap 'kill $server 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/images" "$work/out" "$work/curl"

python3 - "$work" "$items" <<'PY'
import os, random, sys
work, items = sys.argv[1], int(sys.argv[2])
rng = random.Random(7)
for i in range(items * 5):
    size = rng.randint(30 * 1024, 60 * 1024)
    with open(os.path.join(work, "images", "i%d.jpg" % i), "wb") as f:
        f.write(b"\xff\xd8" + os.urandom(size - 2))
header = "version 1.00\r\ntitle\tdescription\twireless_desc\r\n宝贝名称\t宝贝描述\t无线详情\t宝贝价格\r\n"
rows = []
urls = []
for n in range(items):
    desc = ""
    for k in range(5):
        url = "http://img.bench.test/imgextra/i%d.jpg" % (n * 5 + k)
        urls.append(url)
        desc += '<img src=""%s"">' % url
    rows.append('"bench item %d"\t"%s"\t""\t1' % (n, desc))
text = header + "\r\n".join(rows) + "\r\n"
with open(os.path.join(work, "shop.csv"), "wb") as f:
    f.write(b"\xff\xfe" + text.encode("utf-16-le"))
with open(os.path.join(work, "curl.cfg"), "w") as f:
    for i, url in enumerate(urls):
        f.write('url = "%s"\noutput = "%s/curl/%d.jpg"\n' % (url, work, i))
PY

"$root/build/native/sample-image-server" "$work/images" --framing length --quiet --port-file "$work/port" &
server=$!
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(cat "$work/port")
images=$((items * 5))

start=$(date +%s.%N)
"$root/build/native/vedo-cli" migrate "$work/shop.csv" "$work/out" \
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
