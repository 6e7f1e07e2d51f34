#!/usr/bin/env bash
# Makes a root certificate trusted in the Wine prefix $WINEPREFIX, the way
# Windows keeps the machine's Root store: the value Blob of
#   HKLM\Software\Microsoft\SystemCertificates\Root\Certificates\<SHA-1>
# holds the certificate's properties, each as id, 1 and length (32-bit
# little-endian) and then its bytes: 3, the SHA-1 hash; 32, the DER
# certificate. Wine's certutil cannot add to a store.
#   packaging/wine-trust-root.sh ROOT.crt|ROOT.der [--remove]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
run="$here/tools/wine-run"
cert=$1
der=$(mktemp)
trap 'rm -f "$der"' EXIT
openssl x509 -in "$cert" -inform "$( [[ $cert == *.der ]] && echo DER || echo PEM )" \
  -outform DER -out "$der"
thumbprint=$(openssl dgst -sha1 -r "$der" | cut -d' ' -f1 | tr a-f A-F)
key="HKLM\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\$thumbprint"
reg='C:\windows\system32\reg.exe'
if [ "${2:-}" = --remove ]; then
  "$run" "$reg" delete "$key" /f /reg:64 </dev/null >/dev/null 2>&1 || true
  exit 0
fi
le32() { printf '%02X%02X%02X%02X' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)); }
size=$(stat -c %s "$der")
blob="$(le32 3)$(le32 1)$(le32 20)$thumbprint$(le32 32)$(le32 1)$(le32 "$size")$(od -An -v -t x1 "$der" | tr -d ' \n' | tr a-f A-F)"
"$run" "$reg" add "$key" /v Blob /t REG_BINARY /d "$blob" /f /reg:64 </dev/null >/dev/null
echo "$thumbprint"
