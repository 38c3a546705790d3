#!/usr/bin/env bash
# Screenshots of the wizard at work: starts the real vedo.exe under Wine on a virtual display of its
# own, loads the bundled sample shop (samples/demo/shop.csv), moves its images from the local sample
# image server, and saves PNG pictures of page 1, page 2 during the run, and the finished state with
# a row's failed addresses shown: at 96 DPI (100 %) and again at 144 DPI (150 %, the pictures named
# *-144dpi.png).
#
#   scripts/screenshots.sh [OUTPUT_FOLDER]        default: docs/screenshots
#
# Nothing leaves the machine: the sample shop's image hosts are sent to the local server
# (VEDO_CONNECT_TO), every connection is held to 127.0.0.0/8 (VEDO_LOOPBACK_ONLY), the product web
# site points at a closed local port and browser starts go to a file (VEDO_BROWSER_LOG).
# Environment: VEDO_JOBS (build jobs, default 2), VEDO_WINEPREFIX (default
# ~/.cache/vedo/wine-screenshots; the 144-DPI prefix is the same name with -144dpi).
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
mkdir -p "$scratch/program"
cp build/windows/vedo.exe "$scratch/program/"
# The desktop shortcut question is for sellers, not for pictures.
: > "$scratch/program/no_shortcut.txt"

serverPid= xvfbPid=
prefix96=${VEDO_WINEPREFIX:-$HOME/.cache/vedo/wine-screenshots}
export WINEPREFIX=$prefix96
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
  Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp > "$scratch/xvfb.log" 2>&1 &
  xvfbPid=$!
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
  export DISPLAY=":$n"
  break
done
[ -n "${DISPLAY:-}" ] || { echo "screenshots.sh: cannot start Xvfb" >&2; exit 1; }

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LANG=zh_CN.UTF-8
export VEDO_CONNECT_TO="img.alicdn.com:80:127.0.0.1:$port;img.sample-shop.test:80:127.0.0.1:$port"
export VEDO_LOOPBACK_ONLY=1
export VEDO_PRODUCT_SITE="http://127.0.0.1:1/"
export VEDO_BROWSER_LOG="$scratch/browser.log"
IDC_CSV_PATH=36102 IDC_DEST_FOLDER=36109 IDC_BACK=36115 IDC_NEXT=36116

# The three pictures at a system DPI (LogPixels of a prefix of its own), in a virtual desktop large
# enough for the window at that DPI; the names get SUFFIX before .png.
#   shootAt DPI DESKTOP SUFFIX
shootAt() {
  local dpi=$1 desktop=$2 suffix=$3 run=$scratch
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
  if [ "$dpi" != 96 ]; then
    # Wine reads the user's value; the machine's is where Windows keeps the system DPI.
    wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null
    wine reg add 'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts' /v LogPixels \
      /t REG_DWORD /d "$dpi" /f >/dev/null
  fi
  # Every program of this prefix runs in one virtual desktop that Wine draws itself, caption with
  # the program's icon and title included; the driver must share the desktop to find the window.
  wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null
  wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d "$desktop" /f >/dev/null
  # The desktop of a running server stays as it was made: start afresh.
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w
  # Each run starts from the sample shop as shipped, in the same place.
  rm -rf "$run/images"
  mkdir -p "$run/images"
  cp samples/demo/shop.csv "$run/shop.csv"
  shot() {
    sleep 0.7
    import -window root -crop "$desktop+0+0" +repage "$out/$1$suffix.png"
    echo "saved $out/$1$suffix.png"
  }
  driver() { wine build/windows/vedo-driver.exe "$@"; }

  wine "$scratch/program/vedo.exe" > "$run/wine.log" 2>&1 &

  driver wait-window 60
  driver set-text $IDC_CSV_PATH "$(winepath -w "$run/shop.csv")"
  shot 1-choose-package

  driver click $IDC_NEXT
  driver wait-visible $IDC_BACK 60
  driver set-text $IDC_DEST_FOLDER "$(winepath -w "$run/images")"
  driver click $IDC_NEXT
  driver wait-cell 3 1 "完成" 120
  shot 2-moving

  echo "final message: $(driver wait-box 300 | head -n 1)"
  driver answer-box 1
  driver wait-enabled $IDC_BACK 60
  echo "selected row $(driver select-failed-row)"
  shot 3-finished

  echo "images saved: $(ls "$run/images" | wc -l) files in $run/images"
  wineserver -k >/dev/null 2>&1 || true
}

shootAt 96 760x640 ""
# At 150 % the window is 1020 pixels wide and about 850 high.
export WINEPREFIX=$prefix96-144dpi
shootAt 144 1140x960 -144dpi
