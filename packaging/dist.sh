#!/usr/bin/env bash
# Builds the signed Windows Installer packages from the built product:
#   build/dist/Kestrov-<version>-x64.msi  both providers, the x64 service,
#                                         amsiscan.exe of both architectures
#   build/dist/Kestrov-<version>-x86.msi  the 32-bit provider and service,
#                                         the 32-bit amsiscan.exe
# `make dist` builds the product (build/x64/bin, build/x86/bin) and runs it.
#
#   packaging/dist.sh [--version V] [--output DIR] [--arch x64|x86]
#
# The version is the project's (project(... VERSION ...) in CMakeLists.txt,
# the one in the DLLs' version resources) unless --version gives another,
# e.g. for an upgrade test built from the same binaries.
#
# Signing (Authenticode, SHA-256, with osslsigncode): every DLL and program
# of a package, then the package itself, with
#   KESTROV_SIGN_CERT and KESTROV_SIGN_KEY  certificate (chain) and key files,
#                                           PEM or DER, or
#   KESTROV_SIGN_PKCS12                     a PKCS#12 file,
#   KESTROV_SIGN_PASSWORD                   the key's or PKCS#12 file's password,
#   KESTROV_SIGN_TIMESTAMP                  a timestamp server URL (optional),
#   KESTROV_SIGN_CAFILE                     the roots that verification after
#                                           signing trusts (default: the
#                                           system's bundle)
# and, when none is given, with the build's test certificate, issued by the
# build's own test root (build/signing, made by test-certificate.sh). Every
# signed file is verified against the root before it is packaged.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
packaging=$here/packaging

version=""
output=$here/build/dist
archs="x64 x86"
while [ $# -gt 0 ]; do
  case $1 in
    --version) version=$2; shift 2 ;;
    --output) output=$2; shift 2 ;;
    --arch) archs=$2; shift 2 ;;
    *) echo "dist: unknown argument $1" >&2; exit 2 ;;
  esac
done

# The project's version, as CMake configured it for both builds.
project_version() { cat "$here/build/$1/version.txt" 2>/dev/null || true; }
if [ -z "$version" ]; then
  version=$(project_version x64)
  [ -n "$version" ] || { echo "dist: configure the x64 build first (cmake --preset x64)" >&2; exit 1; }
  [ "$(project_version x86)" = "$version" ] ||
    { echo "dist: the x86 build was configured for another version; reconfigure it" >&2; exit 1; }
fi
# Windows Installer compares the first three fields; the fourth is kept.
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+(\.[0-9]+)?$ ]] ||
  { echo "dist: not a package version: $version" >&2; exit 1; }

# --- The signing identity --------------------------------------------------
sign_args=()
if [ -n "${KESTROV_SIGN_PKCS12:-}" ]; then
  sign_args=(-pkcs12 "$KESTROV_SIGN_PKCS12")
  verify_ca=${KESTROV_SIGN_CAFILE:-/etc/ssl/certs/ca-certificates.crt}
elif [ -n "${KESTROV_SIGN_CERT:-}" ] || [ -n "${KESTROV_SIGN_KEY:-}" ]; then
  [ -n "${KESTROV_SIGN_CERT:-}" ] && [ -n "${KESTROV_SIGN_KEY:-}" ] ||
    { echo "dist: KESTROV_SIGN_CERT and KESTROV_SIGN_KEY go together" >&2; exit 1; }
  sign_args=(-certs "$KESTROV_SIGN_CERT" -key "$KESTROV_SIGN_KEY")
  verify_ca=${KESTROV_SIGN_CAFILE:-/etc/ssl/certs/ca-certificates.crt}
else
  "$packaging/test-certificate.sh"
  signing=$here/build/signing
  sign_args=(-certs "$signing/signer.crt" -key "$signing/signer.key" -ac "$signing/root.crt")
  verify_ca=$signing/root.crt
  echo "dist: signing with the build's test certificate (trust build/signing/root.crt to accept it)"
fi
if [ -n "${KESTROV_SIGN_PASSWORD:-}" ]; then
  # A file rather than the command line, where other users could read it.
  password_file=$(mktemp)
  trap 'rm -f "$password_file"' EXIT
  printf '%s' "$KESTROV_SIGN_PASSWORD" >"$password_file"
  sign_args+=(-readpass "$password_file")
fi
[ -z "${KESTROV_SIGN_TIMESTAMP:-}" ] || sign_args+=(-ts "$KESTROV_SIGN_TIMESTAMP")

# Signs $1 in place and verifies the result against the trusted roots.
sign() {
  local file=$1 signed=$1.signed
  rm -f "$signed"
  osslsigncode sign "${sign_args[@]}" -h sha256 -n "Kestrov Antivirus" \
    -in "$file" -out "$signed" >/dev/null
  mv "$signed" "$file"
  osslsigncode verify -CAfile "$verify_ca" -in "$file" >"$file.verify" 2>&1 ||
    { cat "$file.verify" >&2; echo "dist: the signature of $file does not verify" >&2; exit 1; }
  rm -f "$file.verify"
}

# --- Staging ---------------------------------------------------------------
# The files of both packages, signed once: x64/ and x86/ hold each
# architecture's DLL, service and amsiscan.exe, data/ the default
# configuration and rules.
stage=$here/build/packaging/stage-$version
rm -rf "$stage"
mkdir -p "$stage/x64" "$stage/x86" "$stage/data"
for arch in x64 x86; do
  bin=$here/build/$arch/bin
  dll=KestrovAmsi64.dll
  [ "$arch" = x86 ] && dll=KestrovAmsi32.dll
  for f in "$dll" KestrovScanService.exe amsiscan.exe; do
    [ -f "$bin/$f" ] || { echo "dist: $bin/$f is missing; build the product first" >&2; exit 1; }
    cp "$bin/$f" "$stage/$arch/"
    sign "$stage/$arch/$f"
  done
done
cp "$packaging/data/KestrovScanService.conf" "$packaging/data/rules.txt" "$stage/data/"
cp "$here/README.md" "$stage/"

# --- Packages --------------------------------------------------------------
# The Attributes of component $2 in package $1.
component_attributes() {
  msiinfo export "$1" Component | tr -d '\r' | awk -F'\t' -v c="$2" '$1 == c { print $4 }'
}
mkdir -p "$output"
for arch in $archs; do
  msi=$output/Kestrov-$version-$arch.msi
  rm -f "$msi"
  # wixl resolves File/@Source against the current directory.
  (cd "$stage" && wixl -a "$arch" -D Arch="$arch" -D Version="$version" \
     -o "$msi" "$packaging/Kestrov.wxs" 2>"$stage/wixl-$arch.log") ||
    { cat "$stage/wixl-$arch.log" >&2; exit 1; }
  # wixl drops Component/@NeverOverwrite with a warning: the configuration's
  # components get the attribute (128) here, so that neither an upgrade nor
  # a repair replaces a configuration the administrator changed.
  for component in Config Rules; do
    attributes=$(component_attributes "$msi" "$component")
    msibuild "$msi" -q "UPDATE Component SET Attributes = $((attributes | 128)) WHERE Component = '$component'"
    [ $(( $(component_attributes "$msi" "$component") & 128 )) -eq 128 ] ||
      { echo "dist: $component of $msi is not NeverOverwrite" >&2; exit 1; }
  done
  # wixl has no RemoveFile element: on removal (install mode 2) the scan log
  # that the default configuration names and its rotated files go too, so
  # that uninstalling leaves no folder behind.
  msibuild "$msi" \
    -q "INSERT INTO RemoveFile (FileKey, Component_, FileName, DirProperty, InstallMode) VALUES ('ScanLog', 'Config', 'scans.log', 'DATADIR', 2)" \
    -q "INSERT INTO RemoveFile (FileKey, Component_, FileName, DirProperty, InstallMode) VALUES ('ScanLogRotated', 'Config', 'scans.log.*', 'DATADIR', 2)"
  # wixl ignores RegistryValue/@Type="expandable": the event source's
  # message file becomes REG_EXPAND_SZ ("#%" in the Registry table), as the
  # service's own --install writes it.
  msibuild "$msi" -q "UPDATE Registry SET Value = '#%[#KestrovScanService.exe]' WHERE Name = 'EventMessageFile'"
  # Captured first: grep -q may stop reading early, and pipefail would
  # count that against msiinfo.
  registry=$(msiinfo export "$msi" Registry)
  grep -q $'\tEventMessageFile\t#%\\[#KestrovScanService.exe\\]\t' <<<"$registry" ||
    { echo "dist: the event source's message file of $msi is not REG_EXPAND_SZ" >&2; exit 1; }
  [ "$(msiinfo export "$msi" RemoveFile | tr -d '\r' | tail -n +4 | wc -l)" -eq 2 ] ||
    { echo "dist: the RemoveFile rows of $msi are missing" >&2; exit 1; }
  sign "$msi"
  echo "dist: $msi"
done
