#!/usr/bin/env bash
# Builds a static PCRE2 (the 8-bit library) for x86_64-w64-mingw32 from Debian's pcre2 source
# package. The result is cached in $VEDO_CACHE (default: ~/.cache/vedo) and reused by later builds.
set -euo pipefail
. "$(dirname "$0")/debian-source.sh"
cache=${VEDO_CACHE:-$HOME/.cache/vedo}
prefix="$cache/pcre2-mingw"
if [ -f "$prefix/lib/libpcre2-8.a" ] && [ -f "$prefix/include/pcre2.h" ]; then
  exit 0
fi
mkdir -p "$cache"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cd "$work"
fetchDebianSource pcre2
src=$(find . -maxdepth 1 -type d -name 'pcre2-*' | head -n 1)
cd "$src"
# Debian regenerates the build system after patching; do the same.
autoreconf -fi >/dev/null 2>&1
./configure --host=x86_64-w64-mingw32 --prefix="$prefix" \
  --disable-shared --enable-static --enable-pcre2-8 --disable-pcre2-16 --disable-pcre2-32 \
  --enable-unicode \
  CC=x86_64-w64-mingw32-gcc-posix >/dev/null
make -j"$(nproc)" libpcre2-8.la >/dev/null
make install-libLTLIBRARIES install-includeHEADERS install-nodist_includeHEADERS >/dev/null
echo "build-pcre2-mingw: PCRE2 for mingw installed in $prefix"
