#!/usr/bin/env bash
# Makes the certificates of the https tests with the openssl command, into the folder given:
#   ca.pem                   the test CA that the tests trust (VEDO_CA_FILE, --cacert)
#   server.pem, server.key   for localhost, img.example.test, *.example.test and 127.0.0.1
#   othername.pem/.key       signed by the test CA, for other.example.org only
#   unknownca.pem/.key       for the server's names, signed by a CA nobody trusts
#   expired.pem/.key         for the server's names, signed by the test CA, expired in 2020
#   nosan.pem/.key           signed by the test CA, CN=localhost and no subjectAltName at all
# Every run makes them afresh. The servers' keys are P-256 (quick to make); the two CAs sign with
# RSA keys. Wine's crypt32 cannot check an ECDSA signature whose r or s is shorter than the curve's
# 32 bytes (about one signature in 128), and such a certificate would fail as if forged.
set -euo pipefail
out=${1:?usage: make-test-certificates.sh FOLDER}
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }
caKey() { openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1" 2>/dev/null; }

makeCa() { # NAME SUBJECT
  caKey "$1.key"
  openssl req -x509 -new -key "$1.key" -subj "$2" -days 3650 -sha256 -out "$1.pem" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
}

SERVER_NAMES="subjectAltName=DNS:localhost,DNS:img.example.test,DNS:*.example.test,IP:127.0.0.1"

# The extensions of a server certificate.
cat > server.ext <<EXT
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
EXT

signed() { # NAME CA SAN [startdate enddate]
  key "$1.key"
  openssl req -new -key "$1.key" -subj "/CN=$1" -out "$1.csr"
  # Not "$1.ext": for the certificate named server that would be server.ext itself.
  { cat server.ext; echo "$3"; } > "$1-names.ext"
  if [ $# -ge 5 ]; then
    # openssl ca is the only subcommand of OpenSSL 3.0 that takes dates in the past.
    mkdir -p "db-$1"
    : > "db-$1/index.txt"
    echo 1000 > "db-$1/serial"
    cat > "$1.cnf" <<CNF
[ca]
default_ca = test
[test]
dir = db-$1
database = \$dir/index.txt
serial = \$dir/serial
new_certs_dir = \$dir
default_md = sha256
policy = anything
unique_subject = no
[anything]
commonName = supplied
CNF
    openssl ca -batch -config "$1.cnf" -cert "$2.pem" -keyfile "$2.key" -in "$1.csr" \
      -out "$1.pem" -startdate "$4" -enddate "$5" -extfile "$1-names.ext" -notext 2>/dev/null
  else
    openssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -CAcreateserial -days 825 \
      -sha256 -extfile "$1-names.ext" -out "$1.pem" 2>/dev/null
  fi
}

# Each run's CAs have names of their own, so that no certificate of an earlier run that a chain
# engine still holds can be taken for the issuer of this run's certificates.
run="$(date +%s)-$$"
makeCa ca "/CN=Vantiro Test CA $run"
makeCa stranger "/CN=Unknown Test CA $run"
signed server ca "$SERVER_NAMES"
signed othername ca "subjectAltName=DNS:other.example.org"
signed unknownca stranger "$SERVER_NAMES"
signed expired ca "$SERVER_NAMES" 20200101000000Z 20200201000000Z

# The name in the subject alone, as certificates were made before subjectAltName was required.
key nosan.key
openssl req -new -key nosan.key -subj "/CN=localhost" -out nosan.csr
openssl x509 -req -in nosan.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 825 -sha256 \
  -extfile server.ext -out nosan.pem 2>/dev/null

cp ca.pem server.pem server.key othername.pem othername.key unknownca.pem unknownca.key \
  expired.pem expired.key nosan.pem nosan.key "$out"/
echo "test certificates in $out"
