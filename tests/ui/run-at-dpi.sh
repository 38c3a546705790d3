#!/usr/bin/env bash
# Runs a Windows test program under Wine at the system DPI given (96 × the display scale), in a
# Wine prefix of its own for that DPI: made once by wineboot, then given the DPI as LogPixels, and
# kept for later runs.
#
#   tests/ui/run-at-dpi.sh DPI PREFIX PROGRAM [ARGUMENTS...]
set -u
dpi=$1 prefix=$2
shift 2
here=$(cd "$(dirname "$0")/../.." && pwd)
export WINEPREFIX=$prefix
if [ ! -f "$prefix/vedo-dpi-$dpi" ]; then
  wineserver -k >/dev/null 2>&1
  rm -rf "$prefix"
  mkdir -p "$prefix"
  wineboot --init >/dev/null 2>&1 || { echo "run-at-dpi: wineboot failed" >&2; exit 1; }
  wineserver -w
  # Wine reads the user's value; the machine's is where Windows keeps the system DPI.
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
  wine reg add 'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts' /v LogPixels \
    /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
  wineserver -w
  touch "$prefix/vedo-dpi-$dpi"
fi
export VEDO_EXPECT_DPI=$dpi
exec "$here/scripts/wine-run.sh" "$@"
