#!/usr/bin/env bash
# Installs what building and testing need on a Debian 12 machine, as root:
# the MinGW-w64 cross compilers, CMake, GoogleTest's sources and Wine for
# both architectures. Packages already present are left alone, so a second
# run costs only a dpkg query.
set -euo pipefail

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

for p in make cmake mingw-w64 googletest wine wine64 wine32:i386; do
  have "$p" || need+=("$p")
done
[ ${#need[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${need[*]}; run this script as root" >&2
  exit 1
fi

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${need[@]}"
