#!/usr/bin/env bash
# Makes the GigaChat tests' certificates in $1: a root and a sub CA in the shape of the embedded
# pair, a server certificate for 127.0.0.1 issued by the sub CA, and one from an unrelated CA.
set -eu
cd "$1"
ca="-addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign"
leaf="-addext basicConstraints=CA:FALSE -addext subjectAltName=IP:127.0.0.1 -addext extendedKeyUsage=serverAuth"
make() { # name subject extensions [issuer]
  openssl req -x509 -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 3 -subj "$2" \
    -keyout "$1.key" -out "$1.pem" $3 ${4:+-CA "$4.pem" -CAkey "$4.key"} 2>/dev/null
}
make root "/O=Verbulo Tests/CN=Verbulo Test Root CA" "$ca"
make sub "/O=Verbulo Tests/CN=Verbulo Test Sub CA" "$ca" root
make server /CN=127.0.0.1 "$leaf" sub
make stranger "/O=Verbulo Tests/CN=Unrelated CA" "$ca"
make strangerserver /CN=127.0.0.1 "$leaf" stranger
