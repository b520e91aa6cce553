#!/bin/sh
# Certificates for the TLS tests, made with openssl into DIR:
#   ca.pem ca.key                  the tests' CA
#   server.pem server.key          for 127.0.0.1 and localhost, signed by the CA
#   expired.pem expired.key        the same names, expired yesterday
#   soon.pem soon.key              the same names, expiring in 10 days
#   wronghost.pem wronghost.key    for other.invalid only
#   client.pem client.key          a client's, signed by the CA
#   rogue-ca.pem, rogue.pem rogue.key  a client's from another CA
#   other.key                      a key of no certificate here
#   make_test_certificates.sh DIR
set -eu
dir=$1
cd "$dir"
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:prime256v1 -out "$1" 2>/dev/null; }
# NAME CA SUBJECT DAYS [SUBJECT_ALT_NAME]
signed() {
    key "$1.key"
    openssl req -new -key "$1.key" -subj "/CN=$3" -out "$1.csr" 2>/dev/null
    if [ -n "${5:-}" ]; then printf 'subjectAltName=%s\n' "$5" >"$1.ext"; else : >"$1.ext"; fi
    openssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -CAcreateserial \
        -days "$4" -extfile "$1.ext" -out "$1.pem" 2>/dev/null
    rm -f "$1.csr" "$1.ext"
}
for ca in ca rogue-ca; do
    key $ca.key
    openssl req -x509 -new -key $ca.key -subj "/CN=qm4720 test $ca" -days 365 -out $ca.pem 2>/dev/null
done
names=IP:127.0.0.1,DNS:localhost
signed server ca localhost 90 $names
signed expired ca localhost -1 $names
signed soon ca localhost 10 $names
signed wronghost ca other.invalid 90 DNS:other.invalid
signed client ca qm4720d 90
signed rogue rogue-ca qm4720d 90
key other.key
chmod 600 ./*.key
