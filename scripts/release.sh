#!/usr/bin/env bash
# Builds the release: vedo.exe (the wizard) and vedo-cli.exe, static single files without any DLL
# beside them, packed with the Chinese read-me for sellers into build/release/vedo-VERSION-windows-x64.zip.
# Fails when an executable imports anything but the system's own DLLs.
#
#   scripts/release.sh
#
# Environment: VEDO_JOBS (build jobs, default 2).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${VEDO_JOBS:-2}

version=$(sed -n 's/^project(vedo VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "release.sh: no version in CMakeLists.txt" >&2; exit 1; }

cmake --preset windows >/dev/null
cmake --build --preset windows -j"$jobs" --target vedo vedo-cli

# The DLLs that every Windows installation has (secur32 and crypt32 carry SChannel's TLS, winhttp
# the evaluation of the user's proxy auto-configuration script); nothing else may be imported.
SYSTEM_DLLS="kernel32.dll user32.dll gdi32.dll comctl32.dll comdlg32.dll shell32.dll ole32.dll
oleaut32.dll advapi32.dll ws2_32.dll msvcrt.dll shlwapi.dll secur32.dll crypt32.dll winhttp.dll"
check_imports() {
  local exe=$1 dll bad=0
  for dll in $(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z'); do
    if ! grep -qw -- "$dll" <<<"$SYSTEM_DLLS"; then
      echo "release.sh: $exe imports $dll, which is not a system DLL" >&2
      bad=1
    fi
  done
  echo "$exe imports: $(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '\n' ' ')"
  return $bad
}

stage="build/release/vedo-$version"
rm -rf "$stage"
mkdir -p "$stage"
for exe in vedo.exe vedo-cli.exe; do
  x86_64-w64-mingw32-strip -o "$stage/$exe" "build/windows/$exe"
  check_imports "$stage/$exe"
done
# Notepad on every Windows version reads UTF-8 with its mark and CR LF line ends.
{ printf '\xEF\xBB\xBF'; sed 's/$/\r/' release/readme-zh.txt; } > "$stage/readme.txt"

zipFile="build/release/vedo-$version-windows-x64.zip"
rm -f "$zipFile"
(cd build/release && zip -q -X -r "$(basename "$zipFile")" "vedo-$version")
unzip -l "$zipFile"
echo "release: $root/$zipFile"
