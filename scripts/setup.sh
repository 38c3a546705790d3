#!/usr/bin/env bash
# Installs everything the project needs on a fresh Debian 12 machine (run as root).
# Safe to run again: installed packages are skipped and the mingw PCRE2 build is cached.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

# --native installs only what the Linux build and its tests need.
native_only=0
[ "${1:-}" = "--native" ] && native_only=1

PACKAGES=(
  build-essential cmake ninja-build pkg-config git curl ca-certificates
  libpcre2-dev libssl-dev openssl googletest libgtest-dev python3
)
[ $native_only = 1 ] || PACKAGES+=(
  clang libclang-rt-14-dev llvm valgrind
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64 fonts-wine xvfb xauth x11-utils imagemagick fonts-wqy-microhei locales
  dpkg-dev autoconf automake libtool zip unzip
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

[ $native_only = 1 ] && exit 0

# The Chinese locale makes Wine's system code page 936.
if ! locale -a 2>/dev/null | grep -qi '^zh_CN.utf8$'; then
  sed -i 's/^# *zh_CN.UTF-8 UTF-8/zh_CN.UTF-8 UTF-8/' /etc/locale.gen
  grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_CN.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen
fi

# PCRE2 for mingw, from Debian's own source package with Debian's patches.
"$here/scripts/build-pcre-mingw.sh"
# OpenSSL for mingw, for the scripted test server's TLS under Wine (never linked into the programs).
"$here/scripts/build-openssl-mingw.sh"
