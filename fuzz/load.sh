#!/usr/bin/env bash
# The load run: 64 threads spread over four host processes, a 64-bit and a
# 32-bit host each scanning a marked and a clean sample (two by address, two
# through Read), against one reference service that both DLLs trust (all
# three installed in one directory of the prefix). Every verdict must be right, no scan may fail
# except by giving up on the busy path, the service must have logged every
# scan that reached it, and the latency summary of each host is printed.
#
#   fuzz/load.sh [SCANS_PER_THREAD]    (default 1000: 64,000 scans)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
per_thread=${1:-1000}
threads=16
export WINEPREFIX=${WINEPREFIX:-$here/build/wineprefix-load}
export WINEDEBUG=-all
run="$here/tools/wine-run"
x64="$here/build/x64/bin"
x86="$here/build/x86/bin"
"$here/tools/wine-prefix.sh" >/dev/null

install_dir="$WINEPREFIX/drive_c/Kestrov-load"
install_win='C:\Kestrov-load'
work="$here/build/load"
rm -rf "$work" "$install_dir"
mkdir -p "$work" "$install_dir"
cp "$x64/KestrovAmsi64.dll" "$x86/KestrovAmsi32.dll" "$x64/KestrovScanService.exe" "$install_dir/"
printf 'LOAD text KESTROV-LOAD-MARKER\n' >"$install_dir/rules.txt"
{ head -c 3000 /dev/zero | tr '\0' 'a'; printf 'KESTROV-LOAD-MARKER'; } >"$work/marked.txt"
head -c 3000 /dev/zero | tr '\0' 'b' >"$work/clean.txt"
winepath_of() { echo "Z:${1//\//\\}"; }

# The service is stopped with --stop, which works on every machine (an
# interrupt need not reach a Wine program), then the prefix's Wine processes
# end: nothing is left running, also when the script fails.
service_running=""
stop_service() {
  if [ -n "$service_running" ]; then
    "$run" "$install_win\\KestrovScanService.exe" --stop </dev/null >/dev/null 2>&1 || true
    wait 2>/dev/null || true
    service_running=""
  fi
}
finish() {
  stop_service
  wineserver -k >/dev/null 2>&1 || true
}
trap finish EXIT
# Started by its Unix path, so that Wine runs it directly, while its image
# is C:\Kestrov-load\..., the DLLs' directory. --max-seconds ends it should
# even the stop at exit fail. The log is not rotated, so that one file holds
# every scan for the count below.
"$run" "$install_dir/KestrovScanService.exe" --log "$install_win\\scans.jsonl" \
  --signatures "$install_win\\rules.txt" --log-max-bytes 0 --max-seconds 3000 </dev/null >"$work/service.txt" 2>&1 &
service_running=1
for _ in $(seq 300); do
  grep -q 'serving' "$work/service.txt" 2>/dev/null && break
  sleep 0.1
done
grep -q 'serving' "$work/service.txt" || { cat "$work/service.txt" >&2; echo "load: the service did not start" >&2; exit 1; }

hosts="x64-marked x64-clean x86-marked x86-clean"
echo "== load: 4 hosts x $threads threads x $per_thread scans = $((4 * threads * per_thread)) scans"
started=$(date +%s%N)
pids=()
for host in $hosts; do
  arch=${host%%-*} sample=${host#*-}
  if [ "$arch" = x64 ]; then bin=$x64 dll=KestrovAmsi64.dll; else bin=$x86 dll=KestrovAmsi32.dll; fi
  expect=clean
  [ "$sample" = marked ] && expect=detected
  # Two hosts offer the content's address, two only Read.
  path=()
  case $host in x64-clean | x86-marked) path=(--no-address) ;; esac
  "$run" "$bin/KestrovLoadHost.exe" --provider "$install_win\\$dll" --app "KestrovLoad-$host" \
    --expect "$expect" --threads "$threads" --scans "$per_thread" "${path[@]}" \
    "$(winepath_of "$work/$sample.txt")" </dev/null >"$work/$host.txt" 2>"$work/$host.err" &
  pids+=($!)
done
host_status=0
for pid in "${pids[@]}"; do wait "$pid" || host_status=1; done
pids=()
elapsed_ms=$((($(date +%s%N) - started) / 1000000))
stop_service

# Every scan either has its verdict from the service or gave up on the busy
# path (every instance taken, after the waits); the service logged each scan
# that reached it, under the host's application name.
status=$host_status
printf '   %-11s %6s %8s %6s %5s %5s %6s %8s %8s %7s %7s %7s\n' host scans detected clean busy \
  wrong failed reached logged 'p50 ms' 'p99 ms' 'max ms'
total_busy=0
for host in $hosts; do
  line=$(tr -d '\r' <"$work/$host.txt")
  fields=$(sed -n 's/^load host "[^"]*": \([0-9]*\) scans, \([0-9]*\) detected, \([0-9]*\) clean, \([0-9]*\) busy, \([0-9]*\) wrong, \([0-9]*\) failed; \([0-9]*\) reached the service; [0-9]* busy opens; [0-9.]* scans\/s; p50 \([0-9.]*\) ms, p99 \([0-9.]*\) ms, max \([0-9.]*\) ms$/\1 \2 \3 \4 \5 \6 \7 \8 \9/p' <<<"$line")
  max=$(sed -n 's/.*, max \([0-9.]*\) ms$/\1/p' <<<"$line")
  if [ -z "$fields" ]; then
    echo "load: FAIL: $host printed no summary:" >&2
    cat "$work/$host.txt" "$work/$host.err" >&2
    status=1
    continue
  fi
  read -r n d c b w f r p50 p99 <<<"$fields"
  logged=$(grep -c "\"app\":\"KestrovLoad-$host\"" "$install_dir/scans.jsonl" || true)
  printf '   %-11s %6s %8s %6s %5s %5s %6s %8s %8s %7s %7s %7s\n' "$host" "$n" "$d" "$c" "$b" "$w" \
    "$f" "$r" "$logged" "$p50" "$p99" "$max"
  total_busy=$((total_busy + b))
  if [ "$n" != $((threads * per_thread)) ] || [ "$w" != 0 ] || [ "$f" != 0 ]; then
    echo "load: FAIL: $host: wrong verdicts or failed scans (see $work/$host.err)" >&2
    status=1
  fi
  if [ "$logged" != "$r" ]; then
    echo "load: FAIL: $host: $r scans reached the service, it logged $logged" >&2
    status=1
  fi
done
echo "   $((elapsed_ms / 1000)).$((elapsed_ms % 1000 / 100)) s; $total_busy scans gave up on the busy path"
[ $status -eq 0 ] && echo "load: every verdict right; no scan failed except on the busy path"
exit $status
