#!/usr/bin/env bash
# The main job: install the provider and the scan service into the project's
# Wine prefix, register both DLLs, scan the samples from a 64-bit and a
# 32-bit host, show that a copy of the service in another directory is not
# trusted, and stop the service. Run by `make demo` after the build.
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
rogue_dir="$drive_c/Kestrov-copy"
rogue_win='C:\Kestrov-copy'
work="$here/build/demo"
rm -rf "$work" "$rogue_dir"
mkdir -p "$work/samples" "$install_dir"
rm -f "$install_dir/scans.jsonl"

service_pid=""
stop_service() {
  if [ -n "$service_pid" ]; then
    kill -INT "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
    service_pid=""
  fi
}
trap stop_service EXIT

# Starts a service program (Windows path) in the background, logging scans to
# $2 (Windows path) and its messages to $3; returns once it serves the pipe.
start_service() {
  "$run" "$1" --log "$2" --max-seconds 170 </dev/null >"$3" 2>&1 &
  service_pid=$!
  for _ in $(seq 100); do
    grep -q 'serving' "$3" 2>/dev/null && return 0
    kill -0 "$service_pid" 2>/dev/null || { cat "$3" >&2; return 1; }
    sleep 0.1
  done
  echo "demo: the service did not start" >&2
  return 1
}

echo "== Installing into $install_win"
cp "$x64/KestrovAmsi64.dll" "$x86/KestrovAmsi32.dll" "$x64/KestrovScanService.exe" "$install_dir/"
"$run" 'C:\windows\system32\regsvr32.exe' /s "$install_win\\KestrovAmsi64.dll"
"$run" 'C:\windows\syswow64\regsvr32.exe' /s "$install_win\\KestrovAmsi32.dll"
echo "   registered KestrovAmsi64.dll (64-bit view) and KestrovAmsi32.dll (32-bit view)"

echo "== Samples"
samples="$work/samples"
printf '%s' 'X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*' >"$samples/eicar.com"
# Script hosts hand scripts over as UTF-16: a byte order mark, then UTF-16LE.
printf '\xff\xfe' >"$samples/amsi-sample.ps1"
printf '%s\r\n' "Write-Host 'AMSI Test Sample: 7e72c3ce-861b-4339-8740-0ac1484c1386'" |
  iconv -f UTF-8 -t UTF-16LE >>"$samples/amsi-sample.ps1"
printf '%s\r\n' 'Get-ChildItem C:\Windows | Measure-Object' 'Write-Host "done"' >"$samples/clean.ps1"
head -c $((9 * 1024 * 1024)) /dev/zero | tr '\0' 'a' >"$samples/large.txt"
for f in eicar.com amsi-sample.ps1 clean.ps1 large.txt; do
  printf '   %-16s %9d bytes\n' "$f" "$(stat -c %s "$samples/$f")"
done

echo "== Starting the scan service from $install_win"
start_service "$install_win\\KestrovScanService.exe" "$install_win\\scans.jsonl" "$work/service.txt"

# Scans one sample with one host; prints "verdict latency".
scan() {
  local host=$1 file=$2 output status
  set +e
  output=$("$run" "$host/amsiscan.exe" --app "KestrovDemo" "$(winepath_of "$file")" 2>&1)
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
winepath_of() { echo "Z:${1//\//\\}"; }

echo "== Scans"
printf '   %-16s  %-6s  %-12s  %s\n' sample host verdict latency
printf '   %-16s  %-6s  %-12s  %s\n' ---------------- ------ ------------ -------
for f in eicar.com amsi-sample.ps1 clean.ps1 large.txt; do
  for arch in x64 x86; do
    dir=$x64
    [ "$arch" = x86 ] && dir=$x86
    read -r verdict latency <<<"$(scan "$dir" "$samples/$f")"
    printf '   %-16s  %-6s  %-12s  %s ms\n' "$f" "$arch" "$verdict" "$latency"
  done
done
# The service writes its log behind the verdicts; stopping it writes every
# line still queued.
stop_service
echo "   the service logged $(wc -l <"$install_dir/scans.jsonl") scans; the large file's entry:"
grep '"contentBytes":8388608' "$install_dir/scans.jsonl" | head -n 1 | sed 's/^/   /'

echo "== A copy of the service in another directory ($rogue_win)"
mkdir -p "$rogue_dir"
cp "$x64/KestrovScanService.exe" "$rogue_dir/"
start_service "$rogue_win\\KestrovScanService.exe" "$rogue_win\\scans.jsonl" "$work/rogue.txt"
read -r verdict latency <<<"$(scan "$x64" "$samples/eicar.com")"
stop_service
received=0
[ -f "$rogue_dir/scans.jsonl" ] && received=$(wc -l <"$rogue_dir/scans.jsonl")
printf '   eicar.com from the x64 host: %s; scans the copy received: %s\n' "$verdict" "$received"

echo "== Service stopped"
