#!/usr/bin/env bash
# Screenshots of the wizard at work: starts the real vedo.exe under Wine on a virtual display of its
# own, loads the bundled sample shop (samples/demo/shop.csv), moves its images from the local sample
# image server, and saves PNG pictures of page 1, page 2 during the run, and the finished state with
# a row's failed addresses shown.
#
#   scripts/screenshots.sh [OUTPUT_FOLDER]        default: docs/screenshots
#
# Nothing leaves the machine: the sample shop's image hosts are sent to the local server
# (VEDO_CONNECT_TO), every connection is held to 127.0.0.0/8 (VEDO_LOOPBACK_ONLY), the product web
# site points at a closed local port and browser starts go to a file (VEDO_BROWSER_LOG).
# Environment: VEDO_JOBS (build jobs, default 2), VEDO_WINEPREFIX (default
# ~/.cache/vedo/wine-screenshots).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
out=$(mkdir -p "${1:-docs/screenshots}" && cd "${1:-docs/screenshots}" && pwd)
jobs=${VEDO_JOBS:-2}

cmake --preset windows >/dev/null
cmake --build --preset windows -j"$jobs" --target vedo vedo-driver
cmake --preset native >/dev/null
cmake --build --preset native -j"$jobs" --target sample-image-server

scratch="$root/build/screenshots"
rm -rf "$scratch"
mkdir -p "$scratch/program" "$scratch/images"
cp build/windows/vedo.exe "$scratch/program/"
# The desktop shortcut question is for sellers, not for pictures.
: > "$scratch/program/no_shortcut.txt"
cp samples/demo/shop.csv "$scratch/shop.csv"

serverPid= xvfbPid=
export WINEPREFIX=${VEDO_WINEPREFIX:-$HOME/.cache/vedo/wine-screenshots}
cleanUp() {
  wineserver -k >/dev/null 2>&1 || true
  [ -n "$serverPid" ] && kill "$serverPid" 2>/dev/null || true
  if [ -n "$xvfbPid" ]; then
    kill "$xvfbPid" 2>/dev/null || true
    wait "$xvfbPid" 2>/dev/null || true
  fi
}
trap cleanUp EXIT

# Each image answer is held back a little, so that the run can be seen at work.
build/native/sample-image-server samples/demo/images --port-file "$scratch/server.port" --delay-ms 250 \
  --quiet > "$scratch/server.log" 2>&1 &
serverPid=$!
for _ in $(seq 50); do [ -s "$scratch/server.port" ] && break; sleep 0.1; done
port=$(cat "$scratch/server.port")

for n in $(seq 160 220); do
  [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp > "$scratch/xvfb.log" 2>&1 &
  xvfbPid=$!
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
  export DISPLAY=":$n"
  break
done
[ -n "${DISPLAY:-}" ] || { echo "screenshots.sh: cannot start Xvfb" >&2; exit 1; }

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LANG=zh_CN.UTF-8
wineserver -k >/dev/null 2>&1 || true
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  wineboot --init
  wineserver -w
fi
# Window captions draw their buttons with Marlett. Debian's Wine does not find the copy that
# fonts-wine installs in its data folder, so the prefix gets its own.
if [ -f /usr/share/wine/fonts/marlett.ttf ] && [ ! -f "$WINEPREFIX/drive_c/windows/Fonts/marlett.ttf" ]; then
  cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
fi

export VEDO_CONNECT_TO="img.alicdn.com:80:127.0.0.1:$port;img.sample-shop.test:80:127.0.0.1:$port"
export VEDO_LOOPBACK_ONLY=1
export VEDO_PRODUCT_SITE="http://127.0.0.1:1/"
export VEDO_BROWSER_LOG="$scratch/browser.log"

# Every program of this prefix runs in one virtual desktop that Wine draws itself, caption with the
# program's icon and title included; the driver must share the desktop to find the window.
desktop=760x640
wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null
wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d $desktop /f >/dev/null
# The desktop of a running server stays as it was made: start afresh.
wineserver -k >/dev/null 2>&1 || true
wineserver -w
shot() {
  sleep 0.7
  import -window root -crop "$desktop+0+0" +repage "$out/$1"
  echo "saved $out/$1"
}
driver() { wine build/windows/vedo-driver.exe "$@"; }

wine "$scratch/program/vedo.exe" > "$scratch/wine.log" 2>&1 &

IDC_CSV_PATH=36102 IDC_DEST_FOLDER=36109 IDC_BACK=36115 IDC_NEXT=36116
driver wait-window 60
driver set-text $IDC_CSV_PATH "$(winepath -w "$scratch/shop.csv")"
shot 1-choose-package.png

driver click $IDC_NEXT
driver wait-visible $IDC_BACK 60
driver set-text $IDC_DEST_FOLDER "$(winepath -w "$scratch/images")"
driver click $IDC_NEXT
driver wait-cell 3 1 "完成" 120
shot 2-moving.png

echo "final message: $(driver wait-box 300 | head -n 1)"
driver answer-box 1
driver wait-enabled $IDC_BACK 60
echo "selected row $(driver select-failed-row)"
shot 3-finished.png

echo "images saved: $(ls "$scratch/images" | wc -l) files in $scratch/images"
