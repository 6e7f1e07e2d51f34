#!/usr/bin/env bash
# Installs what building and testing need on a Debian 12 machine, as root:
# the MinGW-w64 cross compilers, CMake, GoogleTest's sources, Wine for
# both architectures, and what `make dist` packages and signs with (wixl,
# msitools' msiinfo, osslsigncode, openssl). Packages already present are
# left alone, so a second run costs only a few dpkg queries.
set -euo pipefail

have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
as_root() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: $1; run this script as root" >&2
    exit 1
  fi
}
export DEBIAN_FRONTEND=noninteractive

need=()
for p in make cmake mingw-w64 googletest wine wine64 wine32:i386 \
  msitools wixl osslsigncode openssl; do
  have "$p" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  as_root "missing packages: ${need[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${need[@]}"
fi
"$(dirname "${BASH_SOURCE[0]}")/install-clamd.sh"  # ClamAV's daemon, for the engine tests

# Wine needs to execute its 32-bit Linux loader for 32-bit programs. Some
# kernels refuse 32-bit executables; tools/wow32-ns then emulates them with
# qemu's user mode, which must be recent enough to honour
# MAP_FIXED_NOREPLACE (bookworm's 7.2 makes every Wine start take a minute;
# bookworm-backports has 10.0).
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  exit 0
fi
qemu_version=$(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null || true)
if [ -n "$qemu_version" ] && dpkg --compare-versions "$qemu_version" ge 1:10; then
  exit 0
fi
as_root "32-bit programs cannot run here, and qemu-user 10 is missing"
list=/etc/apt/sources.list.d/kestrov-backports.sources
if [ ! -f "$list" ]; then
  # The same mirror as the system's own bookworm entry.
  mirror=$(awk '/^URIs:/ { uri = $2 } /^Suites:/ && / bookworm( |$)/ { print uri; exit }' \
    /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
  if [ -z "$mirror" ]; then
    mirror=$(awk '$1 == "deb" && $3 == "bookworm" { print $2; exit }' /etc/apt/sources.list 2>/dev/null || true)
  fi
  [ -n "$mirror" ] || { echo "install-deps: no bookworm mirror found in apt's sources" >&2; exit 1; }
  printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    "$mirror" > "$list"
fi
apt-get update -q
apt-get install -y -q --no-install-recommends -t bookworm-backports qemu-user
