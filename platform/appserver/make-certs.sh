#!/bin/sh
# Makes a test certificate authority and a "localhost" server certificate signed by it in <dir>,
# plus a second, unrelated authority with its own "localhost" certificate (a server nobody trusts).
# Keys are made fresh each time and never leave <dir>.
#   ca.pem               the trusted authority (what "ca_cert_path" names)
#   localhost.pem/.key   issued by ca.pem for DNS name localhost (also its common name)
#   other-ca.pem         an authority the engine does not trust
#   other-localhost.pem/.key   issued by other-ca.pem for localhost
set -eu
dir=${1:?usage: make-certs.sh <dir>}
mkdir -p "$dir"
cd "$dir"

ca() { # <name> <subject>
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -sha256 -days 3650 \
        -keyout "$1.key" -out "$1.pem" -subj "$2" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
}

leaf() { # <name> <ca> <common name> <subjectAltName>
    openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -sha256 \
        -keyout "$1.key" -out "$1.csr" -subj "/CN=$3" 2>/dev/null
    printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth\nsubjectAltName=%s\n' \
        "$4" >"$1.ext"
    openssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -set_serial "0x$(openssl rand -hex 8)" \
        -days 3650 -sha256 -extfile "$1.ext" -out "$1.pem" 2>/dev/null
    rm -f "$1.csr" "$1.ext"
}

ca ca "/CN=Brixmoor Test CA"
leaf localhost ca localhost DNS:localhost
ca other-ca "/CN=Unknown Test CA"
leaf other-localhost other-ca localhost DNS:localhost
chmod 600 ./*.key
