#!/usr/bin/env bash
# Builds a static OpenSSL 3 (libssl and libcrypto only) for x86_64-w64-mingw32 from Debian's
# openssl source package. It serves the server side of the scripted test server under Wine and
# nothing else: vedo.exe and vedo-cli.exe speak TLS through SChannel and never link it. The
# result is cached in $VEDO_CACHE (default: ~/.cache/vedo) and reused by later builds.
set -euo pipefail
. "$(dirname "$0")/debian-source.sh"
cache=${VEDO_CACHE:-$HOME/.cache/vedo}
prefix="$cache/openssl-mingw"
if [ -f "$prefix/lib/libssl.a" ] && [ -f "$prefix/lib/libcrypto.a" ] && [ -f "$prefix/include/openssl/ssl.h" ]; then
  exit 0
fi
mkdir -p "$cache"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

started=$(date +%s)
cd "$work"
fetchDebianSource openssl
src=$(find . -maxdepth 1 -type d -name 'openssl-*' | head -n 1)
cd "$src"
# Only the two libraries: no programs, tests, documentation, engines or loadable modules.
./Configure mingw64 --cross-compile-prefix=x86_64-w64-mingw32- \
  CC=gcc-posix AR=ar RANLIB=ranlib RC=windres \
  no-shared no-tests no-engine no-module no-dso no-async no-legacy \
  no-ui-console no-capieng \
  --prefix="$prefix" --libdir=lib --openssldir="$prefix/ssl" >/dev/null
# OpenSSL's own sources warn under mingw; the log is shown only when the build fails.
make -j"$(nproc)" build_libs >"$work/make.log" 2>&1 || { tail -n 40 "$work/make.log"; exit 1; }
mkdir -p "$prefix/lib" "$prefix/include"
cp libssl.a libcrypto.a "$prefix/lib/"
cp -r include/openssl "$prefix/include/"
echo "build-openssl-mingw: OpenSSL for mingw installed in $prefix ($(( $(date +%s) - started )) s)"
