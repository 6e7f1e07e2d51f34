#!/usr/bin/env bash
# Makes the signature check's test files from a built provider DLL:
#   make_signature_fixtures.sh DLL DIR
# DIR/trusted-root.der  the root that the tests make trusted
# DIR/signed.dll        signed by a code-signing certificate of that root
# DIR/tampered.dll      signed.dll with one byte of its code changed
# DIR/unsigned.dll      the DLL as built
# DIR/untrusted.dll     signed by a certificate of a root nobody trusts
# The keys are made by the packaging's test-certificate.sh, in DIR.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
dll=$1
dir=$2
mkdir -p "$dir"
"$here/packaging/test-certificate.sh" "$dir/trusted-pki" >/dev/null
"$here/packaging/test-certificate.sh" "$dir/untrusted-pki" >/dev/null

sign() {
  local pki=$1 out=$2
  rm -f "$out"
  osslsigncode sign -certs "$pki/signer.crt" -key "$pki/signer.key" -ac "$pki/root.crt" \
    -h sha256 -in "$dll" -out "$out" >/dev/null
}
sign "$dir/trusted-pki" "$dir/signed.dll"
sign "$dir/untrusted-pki" "$dir/untrusted.dll"
cp "$dll" "$dir/unsigned.dll"
cp "$dir/trusted-pki/root.der" "$dir/trusted-root.der"

# One byte inside the first section (its raw data starts at the file offset
# in the section header), which the signature's digest covers.
cp "$dir/signed.dll" "$dir/tampered.dll"
pe=$(od -An -t u4 -j 60 -N 4 "$dll" | tr -d ' ')
optional_size=$(od -An -t u2 -j $((pe + 20)) -N 2 "$dll" | tr -d ' ')
first_section=$((pe + 24 + optional_size))
raw_offset=$(od -An -t u4 -j $((first_section + 20)) -N 4 "$dll" | tr -d ' ')
offset=$((raw_offset + 64))
byte=$(od -An -t u1 -j "$offset" -N 1 "$dir/signed.dll" | tr -d ' ')
printf "$(printf '\\%03o' $((byte ^ 0xFF)))" |
  dd of="$dir/tampered.dll" bs=1 seek="$offset" conv=notrunc status=none
cmp -s "$dir/signed.dll" "$dir/tampered.dll" && { echo "tampering changed nothing" >&2; exit 1; }
exit 0
