#!/usr/bin/env bash
# Installs ClamAV's daemon from Debian's packages for the detection-engine
# tests, as root. The tests start a clamd of their own in the foreground, on
# a loopback port, with their own configuration and signature files under
# build/; the system's clamav services are neither started nor enabled here,
# and no signatures are downloaded (freshclam is never run).
set -euo pipefail

have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
have clamav-daemon && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "install-clamd: clamav-daemon is missing; run this script as root" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive

# The packages' maintainer scripts start their services through invoke-rc.d,
# which asks policy-rc.d first: 101 means "not allowed". A policy that the
# machine already has is left as it is; one made here goes again at the end,
# also when the installation fails.
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' >"$policy"
  chmod 755 "$policy"
  trap 'rm -f "$policy"' EXIT
fi
# No freshclam daemon either: signature updates stay manual.
echo 'clamav-freshclam clamav-freshclam/autoupdate_freshclam select manual' | debconf-set-selections

apt-get update -q
apt-get install -y -q --no-install-recommends clamav-daemon

# Installation enables the units for the next boot; the tests need none of
# them, so they are disabled again (systemd and System V links alike).
for unit in clamav-daemon.service clamav-daemon.socket clamav-freshclam.service; do
  deb-systemd-helper disable "$unit" >/dev/null 2>&1 || true
done
for script in clamav-daemon clamav-freshclam; do
  [ -e "/etc/init.d/$script" ] && update-rc.d "$script" disable >/dev/null 2>&1 || true
done
