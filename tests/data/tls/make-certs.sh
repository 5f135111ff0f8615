#!/usr/bin/env bash
# Makes the certificates the TLS tests use. They are committed; run this again only to change them.
#   ca.pem/ca.key          test authority, valid for a century
#   server.pem/server.key  for 127.0.0.1 and localhost, signed by the authority, valid for a century
#   expired.pem            the same names and key, signed by the authority, expired in 2001
#   othername.pem          for other.example only, same key, signed by the authority
#   selfsigned.pem         for 127.0.0.1 and localhost, same key, signed by itself
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

openssl ecparam -name prime256v1 -genkey -noout -out ca.key
openssl ecparam -name prime256v1 -genkey -noout -out server.key
openssl req -x509 -new -key ca.key -sha256 -days 36500 -subj "/CN=Rostrel Test Authority" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" -out ca.pem

mkdir -p "$work/new"
: > "$work/index.txt"
cat > "$work/ca.cnf" <<CNF
[ca]
default_ca = test
[test]
database = $work/index.txt
new_certs_dir = $work/new
serial = $work/serial
default_md = sha256
policy = anything
copy_extensions = copy
unique_subject = no
[anything]
commonName = supplied
[leaf]
basicConstraints = CA:FALSE
extendedKeyUsage = serverAuth
subjectAltName = \${ENV::SAN}
CNF

sign() { # name cn san startdate enddate
    openssl req -new -key server.key -subj "/CN=$2" -out "$work/$1.csr"
    openssl rand -hex 8 > "$work/serial"
    SAN="$3" openssl ca -batch -config "$work/ca.cnf" -cert ca.pem -keyfile ca.key -extensions leaf \
        -startdate "$4" -enddate "$5" -in "$work/$1.csr" -out "$work/$1.full" 2>/dev/null
    openssl x509 -in "$work/$1.full" -out "$1.pem"
}
sign server 127.0.0.1 "IP:127.0.0.1,DNS:localhost" 20000101000000Z 21001231000000Z
sign expired 127.0.0.1 "IP:127.0.0.1,DNS:localhost" 20000101000000Z 20010101000000Z
sign othername other.example "DNS:other.example" 20000101000000Z 21001231000000Z

openssl req -x509 -new -key server.key -sha256 -days 36500 -subj "/CN=127.0.0.1" \
    -addext "subjectAltName=IP:127.0.0.1,DNS:localhost" -out selfsigned.pem
