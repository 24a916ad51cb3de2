#!/usr/bin/env bash
# Creates the throw-away PKI used to test-sign the build's programs:
#   root-ca.pem          self-signed test root (never installed anywhere)
#   trusted.pem/.key     code signing, subject name on the trusted-publisher list
#   wrong-signer.pem/.key  code signing, a name that is not on the list
#   expired.pem/.key     code signing, trusted name, validity entirely in the past
#   second.pem/.key      code signing, another trusted name (a second publisher)
#   *-chain.pem          leaf followed by the root, for the signer's certificate bag
# Usage: make-test-certs.sh OUTDIR. Idempotent: an existing complete set is kept.
set -euo pipefail

out=${1:?usage: make-test-certs.sh OUTDIR}
mkdir -p "$out"
out=$(cd "$out" && pwd)

outputs=(root-ca.pem trusted.pem trusted.key trusted-chain.pem wrong-signer.pem wrong-signer.key
         wrong-signer-chain.pem expired.pem expired.key expired-chain.pem)
second_outputs=(second.pem second.key second-chain.pem)
complete() {
    local f
    for f in "$@"; do [[ -s $out/$f ]] || return 1; done
}
if complete "${outputs[@]}" "${second_outputs[@]}"; then exit 0; fi
# A folder made before the second publisher existed only gains that one
# certificate (under a root of its own), so programs signed earlier stay valid.
if complete "${outputs[@]}"; then
    outputs=()
fi

# Subject names: the trusted, expired and second ones must stay on the trusted-publisher
# list (sysinfo/TrustedPublishers.cpp); the expired one is Chinese, so a check
# reads a name back from a UTF-8 certificate subject.
trusted_cn="Lumora Studio Co., Ltd."
wrong_cn="Northwind Utility Software Ltd."
expired_cn="深圳市凯尔壁纸软件有限公司"
second_cn="Orbis Interactive Limited"

work=$(mktemp -d "$out/.work.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir newcerts
: > index.txt
echo 1000 > serial

cat > ca.cnf <<'EOF'
[ ca ]
default_ca = test_ca

[ test_ca ]
dir = .
database = ./index.txt
new_certs_dir = ./newcerts
serial = ./serial
certificate = ./root-ca.pem
private_key = ./root-ca.key
default_md = sha256
default_days = 3650
policy = any_name
unique_subject = no
copy_extensions = none
email_in_dn = no
utf8 = yes
string_mask = utf8only

[ any_name ]
commonName = supplied
organizationName = optional
countryName = optional

[ req ]
distinguished_name = req_dn
string_mask = utf8only
utf8 = yes
prompt = no

[ req_dn ]
CN = unused

[ root_ext ]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash

[ codesign_ext ]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EOF

openssl req -config ca.cnf -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 \
    -keyout root-ca.key -out root-ca.pem -subj "/CN=Lumora Test Root CA/O=Lumora Test PKI" \
    -extensions root_ext 2>/dev/null

# leaf NAME CN [extra 'openssl ca' options]
leaf() {
    local name=$1 cn=$2
    shift 2
    openssl req -config ca.cnf -new -newkey rsa:2048 -nodes -sha256 \
        -keyout "$name.key" -out "$name.csr" -subj "/CN=$cn" -utf8 2>/dev/null
    openssl ca -config ca.cnf -batch -notext -utf8 -extensions codesign_ext \
        -in "$name.csr" -out "$name.pem" "$@" 2>/dev/null
    cat "$name.pem" root-ca.pem > "$name-chain.pem"
}

if [[ ${#outputs[@]} -gt 0 ]]; then
    leaf trusted "$trusted_cn" -startdate 20240101000000Z -enddate 20440101000000Z
    leaf wrong-signer "$wrong_cn" -startdate 20240101000000Z -enddate 20440101000000Z
    leaf expired "$expired_cn" -startdate 20200101000000Z -enddate 20210101000000Z
fi
leaf second "$second_cn" -startdate 20240101000000Z -enddate 20440101000000Z

outputs+=("${second_outputs[@]}")
for f in "${outputs[@]}"; do cp "$f" "$out/$f.tmp"; done
for f in "${outputs[@]}"; do mv -f "$out/$f.tmp" "$out/$f"; done
