#!/bin/sh
# Makes the test certificates and keys of support/certs.h in DIR with the
# openssl command line:
#   make_certs.sh DIR
# The Linux test binary runs it on first use; the Windows build runs it at
# build time (Wine has no openssl) and the tests copy the result.
set -eu
cd "$1"
cat >vk.cnf <<'CNF'
[req]
distinguished_name = dn
prompt = no
[dn]
CN = unused
[ca]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[leaf]
basicConstraints = critical,CA:FALSE
subjectAltName = DNS:localhost,IP:127.0.0.1
subjectKeyIdentifier = hash
CNF

ec_key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1"; }
rsa_key() { openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1"; }

# cert NAME KEY CN SECTION [CA]: self-signed without CA, else signed by
# CA.crt / CA.key.
cert() {
    openssl req -new -config vk.cnf -key "$2" -subj "/CN=$3" -out "$1.csr"
    if [ -z "${5:-}" ]; then
        set -- "$1" "$2" "$3" "$4" -signkey "$2"
    else
        set -- "$1" "$2" "$3" "$4" -CA "$5.crt" -CAkey "$5.key" -CAcreateserial
    fi
    name=$1 section=$4
    shift 4
    openssl x509 -req -days 30 -in "$name.csr" "$@" -extfile vk.cnf -extensions "$section" \
        -out "$name.crt"
}

password=vk-secret
ec_key ec.key && cert ec ec.key localhost leaf
rsa_key rsa.key && cert rsa rsa.key localhost leaf
ec_key root.key && cert root root.key "VK Test Root" ca
ec_key inter.key && cert inter inter.key "VK Test Intermediate" ca root
ec_key leaf.key && cert leaf leaf.key localhost leaf inter
ec_key other.key && cert other other.key localhost leaf
rsa_key other-rsa.key
openssl pkey -in ec.key -traditional -aes128 -passout "pass:$password" -out ec-encrypted.pem
openssl pkcs8 -topk8 -v2 aes128 -in ec.key -passout "pass:$password" -out ec-encrypted-pkcs8.pem
cat leaf.crt inter.crt >chain.crt
