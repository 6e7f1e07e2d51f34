#!/usr/bin/env bash
# Creates a test code-signing identity under DIR (default build/signing) when
# it is missing: a test root (root.crt, root.key) and a code-signing
# certificate issued by it (signer.crt, signer.key), all PEM, plus root.der.
# RSA, since Wine's signature check rejects ECDSA signatures. Nothing here
# is ever committed; `make clean` removes it with build/.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dir=${1:-$here/build/signing}
mkdir -p "$dir"
cd "$dir"
[ -s root.crt ] && [ -s root.key ] && [ -s signer.crt ] && [ -s signer.key ] && [ -s root.der ] && exit 0

rm -f root.* signer.*
umask 077
openssl req -x509 -newkey rsa:3072 -nodes -sha256 -days 3650 \
  -keyout root.key -out root.crt -subj "/O=Kestrov/CN=Kestrov Test Root (build only)" \
  -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req -newkey rsa:3072 -nodes -sha256 -keyout signer.key -out signer.csr \
  -subj "/O=Kestrov/CN=Kestrov Test Code Signing" 2>/dev/null
printf '%s\n' 'basicConstraints=critical,CA:FALSE' 'keyUsage=critical,digitalSignature' \
  'extendedKeyUsage=codeSigning' 'subjectKeyIdentifier=hash' \
  'authorityKeyIdentifier=keyid' >signer.ext
openssl x509 -req -sha256 -days 825 -in signer.csr -CA root.crt -CAkey root.key \
  -CAcreateserial -extfile signer.ext -out signer.crt 2>/dev/null
openssl x509 -in root.crt -outform DER -out root.der
rm -f signer.csr signer.ext root.srl
echo "test-certificate: created a test root and code-signing certificate in $dir"
