# Sourced by the scripts that build a library for mingw from Debian's own source package.
# fetchDebianSource PACKAGE unpacks the package, with Debian's patches applied (dpkg-source -x),
# into the current folder; apt needs a deb-src entry for the same mirror, which is added once.
fetchDebianSource() {
  if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
    cat > /etc/apt/sources.list.d/vedo-deb-src.sources <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    apt-get update -q
  fi
  apt-get source -q "$1" >/dev/null
}
