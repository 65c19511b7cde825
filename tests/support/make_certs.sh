#!/usr/bin/env bash
# Makes the certificates the TLS tests need in FOLDER, with the openssl command:
#   ca.pem                 the test authority (the tests trust it through SSL_CERT_FILE)
#   valid.{pem,key}        localhost and 127.0.0.1, issued by the test authority
#   wronghost.{pem,key}    wrong.veltrow.test only, issued by the test authority
#   expired.{pem,key}      localhost and 127.0.0.1, valid in 2020 only
#   unknown.{pem,key}      localhost and 127.0.0.1, issued by an authority nobody trusts
#   expiredunknown         expired in 2020 and issued by that authority
#   selfsigned             localhost and 127.0.0.1, signed by its own key
#   notyet                 localhost and 127.0.0.1, valid from 2099 only
#   cnonly                 CN=localhost without subjectAltName
#   sha1                   signed with SHA-1 by the test authority
#   rsa1024                an RSA key of 1024 bits
#   notca                  issued by notca-issuer, a certificate without CA:TRUE (the chain is in notca.pem)
# Elliptic-curve keys: generated in milliseconds, unlike RSA.
set -euo pipefail
dir="$1"
cd "$dir"

key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }

authority() {  # name subject
    key "$1.key"
    openssl req -x509 -new -key "$1.key" -out "$1.pem" -days 30 -subj "/CN=$2" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
    issuing "$1"
}

issuing() {  # name: the files openssl ca needs to issue with name's key
    mkdir -p "$1.db/new"
    : > "$1.db/index.txt"
    echo 01 > "$1.db/serial"
    cat > "$1.cnf" <<CONF
[ca]
default_ca = this
[this]
database = $1.db/index.txt
new_certs_dir = $1.db/new
serial = $1.db/serial
default_md = sha256
policy = any
copy_extensions = copy
unique_subject = no
[any]
commonName = supplied
[leaf]
basicConstraints = critical,CA:FALSE
extendedKeyUsage = serverAuth
CONF
}

leaf() {  # name authority names dates...
    local name="$1" ca="$2" names="$3" first="${3%%,*}"
    shift 3
    [ -f "$name.key" ] || key "$name.key"
    openssl req -new -key "$name.key" -out "$name.csr" -subj "/CN=${first#*:}" \
        ${names:+-addext "subjectAltName=$names"}
    openssl ca -batch -notext -config "$ca.cnf" -cert "$ca.pem" -keyfile "$ca.key" \
        -extensions leaf -in "$name.csr" -out "$name.pem" "$@" 2>/dev/null
}

authority ca "Veltrow Test CA"
authority other "Unknown Test CA"
leaf valid ca "DNS:localhost,IP:127.0.0.1" -days 30
leaf wronghost ca "DNS:wrong.veltrow.test" -days 30
leaf expired ca "DNS:localhost,IP:127.0.0.1" -startdate 20200101000000Z -enddate 20201231000000Z
leaf unknown other "DNS:localhost,IP:127.0.0.1" -days 30
leaf expiredunknown other "DNS:localhost,IP:127.0.0.1" -startdate 20200101000000Z -enddate 20201231000000Z
leaf notyet ca "DNS:localhost,IP:127.0.0.1" -startdate 20990101000000Z -enddate 20991231000000Z
leaf sha1 ca "DNS:localhost,IP:127.0.0.1" -days 30 -md sha1
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out rsa1024.key 2>/dev/null
leaf rsa1024 ca "DNS:localhost,IP:127.0.0.1" -days 30
leaf notca-issuer ca "DNS:issuer.veltrow.test" -days 30
issuing notca-issuer
leaf notca notca-issuer "DNS:localhost,IP:127.0.0.1" -days 30
cat notca-issuer.pem >> notca.pem
key cnonly.key
openssl req -new -key cnonly.key -out cnonly.csr -subj "/CN=localhost"
openssl ca -batch -notext -config ca.cnf -cert ca.pem -keyfile ca.key -extensions leaf -in cnonly.csr \
    -out cnonly.pem -days 30 2>/dev/null
key selfsigned.key
openssl req -x509 -new -key selfsigned.key -out selfsigned.pem -days 30 -subj "/CN=localhost" \
    -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" -addext basicConstraints=critical,CA:FALSE
