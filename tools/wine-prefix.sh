#!/usr/bin/env bash
# Creates the project's own Wine prefix (build/wineprefix) if it is missing
# (with --fresh, first ending the server it runs and its programs),
# switches Wine's crash debugger off in both registry views, and starts a
# persistent wineserver for it, so that every test run starts quickly.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$here/build/wineprefix}
export WINEDEBUG=-all
run="$here/tools/wine-run"

# A wineserver started by a command whose output is piped keeps that pipe
# open, and the caller never ends: every start has all of its I/O redirected.
# A second start while one runs fails harmlessly.
start_server() { wineserver -p </dev/null >/dev/null 2>&1 || true; }

# --fresh: a test run begins with a server of its own. A persistent server
# that has served a whole test suite before was seen to go away as the next
# run's first programs started, leaving them hanging.
if [ "${1:-}" = --fresh ]; then
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
fi

# The persistent server comes first, so that wineboot and every later program
# use it instead of starting short-lived servers of their own.
mkdir -p "$WINEPREFIX"
start_server

# Marked once wineboot is done: the registry files appear only when the
# persistent server first saves them.
# The service control managers (services.exe) running for this prefix.
service_managers() {
  local pid count=0
  for pid in $(pgrep -f 'system32\\services.exe' || true); do
    if { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
      count=$((count + 1))
    fi
  done
  echo "$count"
}

if [ ! -f "$WINEPREFIX/.kestrov-booted" ]; then
  echo "wine-prefix: creating $WINEPREFIX"
  # No Mono or Gecko: nothing here needs them, and they cannot be downloaded.
  WINEDLLOVERRIDES="mscoree,mshtml=" "$run" wineboot -i </dev/null >/dev/null 2>&1
  touch "$WINEPREFIX/.kestrov-booted"
fi
# Creating a prefix leaves two service control managers running, each with
# a database of its own: a service that one creates, the other does not
# know. A fresh server starts just one.
if [ "$(service_managers)" -gt 1 ]; then
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  start_server
  "$run" wineboot </dev/null >/dev/null 2>&1
fi

# The desktop, started once for the whole session with its I/O redirected.
# Otherwise the first windowed program of a test (regsvr32) starts it, waits
# about ten seconds for it, and the desktop inherits the test runner's output
# pipe, so the runner waits for it as well. A desktop that a program started
# goes away after its programs end, and one started while another runs goes
# away too: wait for such a one to end before starting the lasting one.
# A process may end between pgrep and the look at its environment.
desktops() {
  local pid environment
  for pid in $(pgrep -f 'explorer.exe /desktop' || true); do
    environment=$( { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null) || continue
    if grep -qxF "WINEPREFIX=$WINEPREFIX" <<<"$environment"; then echo "$pid"; fi
  done
  return 0
}
marker="$WINEPREFIX/.kestrov-desktop"
if ! { [ -s "$marker" ] && grep -qxF "$(cat "$marker")" <<<"$(desktops)"; }; then
  for _ in $(seq 100); do
    [ -z "$(desktops)" ] && break
    sleep 0.2
  done
  setsid "$run" explorer.exe /desktop </dev/null >/dev/null 2>&1 &
  # A windowed program returns once the desktop is up.
  "$run" regsvr32 /s /u kestrov-no-such.dll </dev/null >/dev/null 2>&1 || true
  running=$(desktops)
  echo "${running%%$'\n'*}" >"$marker"
fi

# A crashing test must fail at once instead of waiting for winedbg.
aedebug='HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug'
for view in 64 32; do
  "$run" reg add "$aedebug" /v Debugger /t REG_SZ /d "" /f "/reg:$view" </dev/null >/dev/null 2>&1
done
# Captured first: grep -q may stop reading early, and pipefail would count
# that against the query.
setting=$("$run" reg query "$aedebug" /v Debugger /reg:32 </dev/null 2>/dev/null)
grep -q Debugger <<<"$setting"
