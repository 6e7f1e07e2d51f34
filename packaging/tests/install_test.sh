#!/usr/bin/env bash
# The installer packages end to end, in a Wine prefix of their own
# (build/wineprefix-dist, created fresh and removed at the end, its
# wineserver stopped): builds both packages from the built product with
# packaging/dist.sh (and a second x64 package of the next version from the
# same files), then
#   - every DLL and program in both packages and the packages themselves
#     verify against the build's test root;
#   - msiexec /i /qn installs the x64 package: its files, the provider rows
#     in both registry views, the event-log source and the running service;
#   - the 64-bit and the 32-bit amsiscan detect the test samples through the
#     installed providers and pass a clean one;
#   - with FeatureBits 2: an untrusted root is refused; with the test root
#     trusted both providers load, and a DLL with one byte changed and an
#     unsigned one are refused;
#   - an upgrade to the next version keeps a changed configuration, which
#     the upgraded service then uses;
#   - msiexec /x (the service stopped first, see there) leaves no file,
#     key, value or service; the rows that the package wrote are the ones
#     regsvr32 writes for the same DLLs;
#   - the x86 package installs, scans from a 32-bit host, and uninstalls.
# Wine's msiexec exit codes are what is checked (the real code, not the
# Unix exit status, which is the code mod 256): 0 for each install and
# uninstall, 0 or 3010 for the upgrade (see there).
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
export WINEPREFIX=$here/build/wineprefix-dist
export WINEDEBUG=-all
run="$here/tools/wine-run"
work=$here/build/packaging/install-test
drive_c=$WINEPREFIX/drive_c
test_win='C:\kestrov-test'
test_dir=$drive_c/kestrov-test
clsid='{5D3A9C71-2E4B-4F86-A1C9-7B20E6D4F358}'
service=KestrovScanService
sys32='C:\windows\system32'
install_win='C:\Program Files\Kestrov'
install_dir="$drive_c/Program Files/Kestrov"
data_dir=$drive_c/ProgramData/Kestrov

failures=0
step=0
ok() { step=$((step + 1)); echo "ok $step - $1"; }
not_ok() { step=$((step + 1)); failures=$((failures + 1)); echo "not ok $step - $1"; }
# check DESCRIPTION COMMAND...: one step, passing when COMMAND succeeds.
check() { local what=$1; shift; if "$@"; then ok "$what"; else not_ok "$what"; fi; }
fatal() { not_ok "$1"; echo "install_test: cannot go on" >&2; exit 1; }

stop_prefix() {
  [ -d "$WINEPREFIX" ] || return 0
  wineserver -k >/dev/null 2>&1 || true
  # wineserver -k returns at once; its processes may take a moment to go.
  wineserver -w >/dev/null 2>&1 || true
}
cleanup() {
  stop_prefix
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

# Output of a Windows program without its carriage returns.
win() { "$run" "$@" </dev/null 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; }
# The same for Wine's own 64-bit programs (msiexec, sc, reg, cmd): Wine's
# `wine` runs the 32-bit ones, and a service that a 32-bit msiexec installs
# is marked WOW64, which makes Wine's service manager fail to start a 64-bit
# service (1053), and the install roll back.
wine64=/usr/lib/wine/wine64
win64() { "$wine64" "$@" </dev/null 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; }
reg_query() { win64 "$sys32\\reg.exe" query "$@"; }
# The real exit code of msiexec with ARGS (Unix sees it mod 256).
msiexec_code() {
  win64 "$sys32\\cmd.exe" /v:on /c "start /wait $sys32\\msiexec.exe $* & echo code=!ERRORLEVEL!" |
    sed -n 's/^code=//p' | tail -n 1
}
# The rows of the provider in one registry view (64 or 32), as reg shows them.
provider_rows() {
  reg_query "HKLM\\Software\\Classes\\CLSID\\$clsid" /s "/reg:$1"
  reg_query "HKLM\\Software\\Microsoft\\AMSI\\Providers\\$clsid" /s "/reg:$1"
}
expected_rows() {  # VIEW DLL-PATH
  printf '%s\n' "" "HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\$clsid" \
    "    (Default)    REG_SZ    Kestrov Antivirus" "" \
    "HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\$clsid\\InprocServer32" \
    "    (Default)    REG_SZ    $2" "    ThreadingModel    REG_SZ    Both" "" "" \
    "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\AMSI\\Providers\\$clsid" \
    "    (Default)    REG_SZ    Kestrov Antivirus" "" ""
}
key_absent() { ! reg_query "$@" >/dev/null 2>&1; }
service_state() { win64 "$sys32\\sc.exe" query "$service" | sed -n 's/^ *STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'; }
# Waits up to 10 s for the service to reach a state: a service started by
# msiexec reports RUNNING once its start-up is done.
wait_service_state() {
  for _ in $(seq 50); do
    [ "$(service_state)" = "$1" ] && return 0
    sleep 0.2
  done
  echo "service state: $(service_state), wanted $1" >&2
  return 1
}
# Under Wine a stopped service's process can outlive its STOPPED report by a
# second or more on a busy machine, and a program file that a process still
# maps cannot be removed; Wine's msiexec then leaves it behind with exit
# code 0, where Windows schedules its removal for the next restart and says
# 3010. So before a removal the service is stopped here and its process
# waited for (up to 10 s), and msiexec finds it stopped.
service_processes() {
  local pid
  for pid in $(pgrep -f 'KestrovScanService.exe --service' || true); do
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && echo "$pid"
  done
  return 0
}
stop_service_and_wait() {
  win64 "$sys32\\sc.exe" stop "$service" >/dev/null
  wait_service_state STOPPED || return 1
  for _ in $(seq 50); do
    [ -z "$(service_processes)" ] && return 0
    sleep 0.2
  done
  echo "the service's process did not end" >&2
  return 1
}
# Runs amsiscan: scan HOST-EXE FILE [ARGS...]; sets scan_status, scan_out.
scan() {
  local host=$1 file=$2
  shift 2
  scan_out=$(win "$host" --app KestrovInstallTest "$@" "$file")
  scan_status=$?
}
expect_scan() {  # DESCRIPTION STATUS HOST FILE [ARGS...] [-- TEXT]
  local what=$1 status=$2 host=$3 file=$4
  shift 4
  local args=() texts=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do args+=("$1"); shift; done
  [ $# -gt 0 ] && shift && texts=("$@")
  scan "$host" "$file" "${args[@]}"
  local good=1 text
  [ "$scan_status" -eq "$status" ] || good=0
  for text in "${texts[@]}"; do grep -qF -- "$text" <<<"$scan_out" || good=0; done
  if [ $good -eq 1 ]; then ok "$what"; else not_ok "$what (exit $scan_status)"; echo "$scan_out" | sed 's/^/#   /'; fi
}
installed_product_versions() {
  reg_query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s /reg:64 |
    awk '/^HKEY/ { key = $0 } /DisplayName +REG_SZ +Kestrov Antivirus/ { hit[key] = 1 }
         /DisplayVersion/ { version[key] = $3 } END { for (k in hit) print version[k] }' | sort
}
# Every registry line under HKLM (both views) that names the product.
registry_traces() {
  local root view out
  for root in SOFTWARE SYSTEM; do
    for view in 64 32; do
      out="$test_win\\export-$root-$view.reg"
      win64 "$sys32\\reg.exe" export "HKLM\\$root" "$out" /y "/reg:$view" >/dev/null
      iconv -f UTF-16 -t UTF-8 "$test_dir/export-$root-$view.reg" 2>/dev/null |
        tr -d '\r' | grep -i -e kestrov -e "${clsid:1:36}" -e "$upgrade_squashed_x64" \
          -e "$upgrade_squashed_x86"
      rm -f "$test_dir/export-$root-$view.reg"
    done
  done
}
# The Windows Installer's packed form of a GUID, as its registry keys use it.
squash_guid() {
  local g=${1//[\{\}-]/}
  local a=${g:0:8} b=${g:8:4} c=${g:12:4} d=${g:16:16} out="" i
  out=$(rev <<<"$a")$(rev <<<"$b")$(rev <<<"$c")
  for ((i = 0; i < 16; i += 2)); do out+=${d:i+1:1}${d:i:1}; done
  echo "$out"
}

# --- Packages -------------------------------------------------------------
for arch in x64 x86; do
  [ -f "$here/build/$arch/version.txt" ] || fatal "the $arch build is configured (make build)"
done
version=$(cat "$here/build/x64/version.txt")
IFS=. read -r major minor patch tweak <<<"$version"
next_version=$major.$minor.$((patch + 1)).${tweak:-0}
rm -rf "$work"
mkdir -p "$work"
# The build's own test identity, whatever the caller's environment names.
unset KESTROV_SIGN_CERT KESTROV_SIGN_KEY KESTROV_SIGN_PKCS12 KESTROV_SIGN_PASSWORD \
  KESTROV_SIGN_TIMESTAMP KESTROV_SIGN_CAFILE
"$here/packaging/dist.sh" --output "$work/packages" >"$work/dist.log" 2>&1 ||
  { cat "$work/dist.log"; fatal "dist.sh builds the packages"; }
"$here/packaging/dist.sh" --version "$next_version" --arch x64 --output "$work/packages-next" \
  >>"$work/dist.log" 2>&1 || { cat "$work/dist.log"; fatal "dist.sh builds the next version"; }
x64_msi=$work/packages/Kestrov-$version-x64.msi
x86_msi=$work/packages/Kestrov-$version-x86.msi
next_msi=$work/packages-next/Kestrov-$next_version-x64.msi
root=$here/build/signing/root.crt
for f in "$x64_msi" "$x86_msi" "$next_msi"; do
  [ -f "$f" ] || fatal "dist.sh made $(basename "$f")"
done
upgrade_squashed_x64=$(squash_guid "$(msiinfo export "$x64_msi" Property | tr -d '\r' | awk -F'\t' '$1 == "UpgradeCode" { print $2 }')")
upgrade_squashed_x86=$(squash_guid "$(msiinfo export "$x86_msi" Property | tr -d '\r' | awk -F'\t' '$1 == "UpgradeCode" { print $2 }')")

# Every signed file of each package, and the package itself, verifies
# against the test root.
for msi in "$x64_msi" "$x86_msi"; do
  name=$(basename "$msi" .msi)
  mkdir -p "$work/extract/$name"
  (cd "$work/extract/$name" && msiextract "$msi" >/dev/null)
  signed=0 failed=""
  while IFS= read -r -d '' f; do
    signed=$((signed + 1))
    osslsigncode verify -CAfile "$root" -in "$f" >/dev/null 2>&1 || failed+=" $f"
  done < <(find "$work/extract/$name" -type f \( -iname '*.dll' -o -iname '*.exe' \) -print0)
  osslsigncode verify -CAfile "$root" -in "$msi" >/dev/null 2>&1 || failed+=" $msi"
  expected=5
  [ "$name" = "Kestrov-$version-x86" ] && expected=3
  check "$name: the package and its $expected programs and DLLs verify against the test root (found $signed)" \
    test -z "$failed" -a "$signed" -eq "$expected"
done

# The registry rows as the package declares them, per view.
registry_table=$(msiinfo export "$x64_msi" Registry | tr -d '\r')
component_table=$(msiinfo export "$x64_msi" Component | tr -d '\r')
check "the 64-bit DLL's rows are in a 64-bit component, the 32-bit DLL's in a 32-bit one" \
  test "$(awk -F'\t' '$1 == "Provider64" || $1 == "Provider32" { print $1, int($4 / 256) % 2 }' <<<"$component_table" | sort | tr '\n' ' ')" = "Provider32 0 Provider64 1 "
check "the package writes four provider rows per view" \
  test "$(grep -c "$clsid" <<<"$registry_table")" -eq 8

# --- A fresh prefix -------------------------------------------------------
stop_prefix
rm -rf "$WINEPREFIX"
"$here/tools/wine-prefix.sh" >/dev/null || fatal "the test prefix is created"
# A service that msiexec installs in the session that created the prefix
# does not start (1053, and the install rolls back with 1627); in any later
# session it does. So the session is begun anew before anything is installed.
stop_prefix
"$here/tools/wine-prefix.sh" >/dev/null || fatal "the test prefix starts again"
mkdir -p "$test_dir/samples" "$test_dir/tampered" "$test_dir/unsigned"
cp "$x64_msi" "$test_dir/kestrov-x64.msi"
cp "$x86_msi" "$test_dir/kestrov-x86.msi"
cp "$next_msi" "$test_dir/kestrov-next.msi"
samples=$test_dir/samples
printf '%s' 'X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*' >"$samples/eicar.com"
printf '\xff\xfe' >"$samples/amsi-sample.ps1"
printf '%s\r\n' "Write-Host 'AMSI Test Sample: 7e72c3ce-861b-4339-8740-0ac1484c1386'" |
  iconv -f UTF-8 -t UTF-16LE >>"$samples/amsi-sample.ps1"
printf '%s\r\n' 'Get-ChildItem C:\Windows | Measure-Object' 'Write-Host "done"' >"$samples/clean.ps1"
marker_text=kestrov-upgrade-marker-5c1e
printf 'Write-Host "%s"\r\n' "$marker_text" >"$samples/marker.ps1"
s_win="$test_win\\samples"
host64="$install_win\\x64\\amsiscan.exe"
host32="$install_win\\x86\\amsiscan.exe"

# --- x64 package: install -------------------------------------------------
code=$(msiexec_code /i "$test_win\\kestrov-x64.msi" /qn /l*v "$test_win\\install-x64.log")
[ "$code" = 0 ] || { cp "$test_dir/install-x64.log" "$work/" 2>/dev/null; fatal "msiexec /i the x64 package /qn exits with 0 (got $code; log in $work)"; }
ok "msiexec /i the x64 package /qn exits with 0"

installed=$(cd "$install_dir" 2>/dev/null && find . -type f | sort | tr '\n' ' ')
check "Program Files\\Kestrov holds the DLLs, the service, README and amsiscan per architecture" \
  test "$installed" = "./KestrovAmsi32.dll ./KestrovAmsi64.dll ./KestrovScanService.exe ./README.md ./x64/amsiscan.exe ./x86/amsiscan.exe "
check "ProgramData\\Kestrov holds the default configuration" \
  cmp -s "$data_dir/KestrovScanService.conf" "$here/packaging/data/KestrovScanService.conf"
check "ProgramData\\Kestrov holds the default rules" \
  cmp -s "$data_dir/rules.txt" "$here/packaging/data/rules.txt"
stage=$here/build/packaging/stage-$version
same=1
for f in x64/KestrovAmsi64.dll:KestrovAmsi64.dll x86/KestrovAmsi32.dll:KestrovAmsi32.dll \
  x64/KestrovScanService.exe:KestrovScanService.exe x64/amsiscan.exe:x64/amsiscan.exe \
  x86/amsiscan.exe:x86/amsiscan.exe; do
  cmp -s "$stage/${f%%:*}" "$install_dir/${f#*:}" || { same=0; echo "# differs: ${f#*:}"; }
done
check "the installed programs are the signed ones, the x64 service among them" test $same -eq 1

rows64=$(provider_rows 64)
rows32=$(provider_rows 32)
check "64-bit view: class, InprocServer32 (the 64-bit DLL's long path, Both) and provider entry" \
  test "$rows64" = "$(expected_rows 64 "$install_win\\KestrovAmsi64.dll")"
check "32-bit view: the same rows for the 32-bit DLL" \
  test "$rows32" = "$(expected_rows 32 "$install_win\\KestrovAmsi32.dll")"
eventlog=$(reg_query 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Kestrov' /reg:64)
check "the event-log source Kestrov names the installed service as its message file" \
  grep -qxF "    EventMessageFile    REG_EXPAND_SZ    $install_win\\$service.exe" <<<"$eventlog"
check "the event-log source supports types 7 (error, warning, information)" \
  grep -qxF '    TypesSupported    REG_DWORD    0x7' <<<"$eventlog"
service_key=$(reg_query "HKLM\\SYSTEM\\CurrentControlSet\\Services\\$service" /reg:64)
check "the service is installed: automatic start, LocalSystem, the configuration on its command line" \
  bash -c 'grep -q "Start    REG_DWORD    0x2" <<<"$1" && grep -q "ObjectName    REG_SZ    LocalSystem" <<<"$1" &&
           grep -qF "DisplayName    REG_SZ    Kestrov Scan Service" <<<"$1" &&
           grep -qF "KestrovScanService.conf" <<<"$1"' _ "$service_key"
check "the service runs" wait_service_state RUNNING

# --- Scans through the installed providers -------------------------------
for host in "$host64" "$host32"; do
  bits=64; dll=KestrovAmsi64.dll
  [ "$host" = "$host32" ] && bits=32 dll=KestrovAmsi32.dll
  loaded="from $install_win\\$dll"
  expect_scan "$bits-bit amsiscan: the anti-virus test file is detected" 1 "$host" "$s_win\\eicar.com" -- "$loaded" "overall: malware"
  expect_scan "$bits-bit amsiscan: the AMSI test sample (UTF-16) is detected" 1 "$host" "$s_win\\amsi-sample.ps1" -- "overall: malware"
  expect_scan "$bits-bit amsiscan: a clean script passes" 0 "$host" "$s_win\\clean.ps1" -- "$loaded" "overall: clean"
done

# --- The signature check --------------------------------------------------
feature_bits() {
  win64 "$sys32\\reg.exe" add 'HKLM\SOFTWARE\Microsoft\AMSI' /v FeatureBits /t REG_DWORD /d "$1" /f /reg:64 >/dev/null
}
feature_bits 2
expect_scan "FeatureBits 2, test root not trusted: the 64-bit provider is refused" 2 "$host64" "$s_win\\eicar.com" -- "refused" "CERT_E_UNTRUSTEDROOT"
expect_scan "FeatureBits 2, test root not trusted: the 32-bit provider is refused" 2 "$host32" "$s_win\\eicar.com" -- "refused" "CERT_E_UNTRUSTEDROOT"
"$here/packaging/wine-trust-root.sh" "$root" >/dev/null || not_ok "the test root is made trusted"
for host in "$host64" "$host32"; do
  bits=64; dll=KestrovAmsi64.dll
  [ "$host" = "$host32" ] && bits=32 dll=KestrovAmsi32.dll
  expect_scan "FeatureBits 2, test root trusted: the $bits-bit provider loads and detects" 1 "$host" "$s_win\\eicar.com" \
    -- "signature of $install_win\\$dll: trusted" "loaded \"Kestrov Antivirus\"" "overall: malware"
  # One byte of the first section changed, in a copy beside the installed DLL's.
  cp "$install_dir/$dll" "$test_dir/tampered/$dll"
  offset=$(( $(od -An -t u4 -j $(( $(od -An -t u4 -j 60 -N 4 "$install_dir/$dll") + 24 + $(od -An -t u2 -j $(( $(od -An -t u4 -j 60 -N 4 "$install_dir/$dll") + 20 )) -N 2 "$install_dir/$dll") + 20 )) -N 4 "$install_dir/$dll") + 64 ))
  byte=$(od -An -t u1 -j "$offset" -N 1 "$install_dir/$dll" | tr -d ' ')
  printf "$(printf '\\%03o' $((byte ^ 1)))" | dd of="$test_dir/tampered/$dll" bs=1 seek="$offset" conv=notrunc status=none
  expect_scan "FeatureBits 2: the $bits-bit DLL with one byte changed is refused" 2 "$host" "$s_win\\eicar.com" \
    --provider "$test_win\\tampered\\$dll" -- "refused" "TRUST_E_BAD_DIGEST"
  cp "$here/build/x$([ $bits = 64 ] && echo 64 || echo 86)/bin/$dll" "$test_dir/unsigned/$dll"
  expect_scan "FeatureBits 2: the unsigned $bits-bit DLL is refused" 2 "$host" "$s_win\\eicar.com" \
    --provider "$test_win\\unsigned\\$dll" -- "refused" "TRUST_E_NOSIGNATURE"
done
win64 "$sys32\\reg.exe" delete 'HKLM\SOFTWARE\Microsoft\AMSI' /v FeatureBits /f /reg:64 >/dev/null
"$here/packaging/wine-trust-root.sh" "$root" --remove

# --- Upgrade --------------------------------------------------------------
# The administrator adds a rule; the upgraded service must still use it.
printf 'KestrovUpgradeMarker text %s\n' "$marker_text" >>"$data_dir/rules.txt"
changed_rules=$(cat "$data_dir/rules.txt")
win64 "$sys32\\sc.exe" stop "$service" >/dev/null
wait_service_state STOPPED >/dev/null
win64 "$sys32\\sc.exe" start "$service" >/dev/null
wait_service_state RUNNING >/dev/null
expect_scan "the administrator's rule is in effect before the upgrade" 1 "$host64" "$s_win\\marker.ps1" -- "overall: malware"
code=$(msiexec_code /i "$test_win\\kestrov-next.msi" /qn /l*v "$test_win\\upgrade.log")
# The upgrade stops the running service and then replaces its program. When
# the stopped service's process has not quite ended by then, the program is
# replaced at the next restart, and msiexec says so with 3010 (reboot
# required); the prefix is then restarted as it asks (a new session's
# wineboot carries out pending file operations), and the checks below look
# at the result.
check "msiexec /i of version $next_version over $version exits with 0, or 3010 asking for a restart (got $code)" \
  test "$code" = 0 -o "$code" = 3010
if [ "$code" = 3010 ]; then
  stop_prefix
  "$here/tools/wine-prefix.sh" >/dev/null || fatal "the test prefix restarts"
  check "after the restart msiexec asked for, nothing the upgrade left is pending" \
    test -z "$(cd "$install_dir" && ls -A | grep -i '\.tmp$')"
fi
check "only version $next_version is installed" test "$(installed_product_versions)" = "$next_version"
check "the changed rules survive the upgrade" test "$(cat "$data_dir/rules.txt" 2>/dev/null)" = "$changed_rules"
check "the service runs after the upgrade" wait_service_state RUNNING
expect_scan "the upgraded service uses the changed rules" 1 "$host64" "$s_win\\marker.ps1" -- "overall: malware"
check "the provider rows are unchanged by the upgrade" test "$(provider_rows 64)$(provider_rows 32)" = "$rows64$rows32"
# Not checked here: that the older package refuses to install over the newer
# one. Its launch condition (NOT WIX_DOWNGRADE_DETECTED) is in the package,
# but under Wine the removal of the old product, which follows the new one's
# installation, also deletes the new product's registration under the
# shared UpgradeCode, so Wine's FindRelatedProducts no longer sees it.

# --- Uninstall ------------------------------------------------------------
check "the service stops and its process ends" stop_service_and_wait
code=$(msiexec_code /x "$test_win\\kestrov-next.msi" /qn /l*v "$test_win\\uninstall-x64.log")
check "msiexec /x exits with 0 (got $code)" test "$code" = 0
check "no file or folder is left in Program Files (got: $(cd "$install_dir" 2>/dev/null && find . | tr '\n' ' '))" test ! -e "$install_dir"
check "no file or folder is left in ProgramData (got: $(ls -A "$data_dir" 2>/dev/null | tr '\n' ' '))" test ! -e "$data_dir"
check "the service is gone" bash -c '! "$1" "$2\\sc.exe" query "$3" </dev/null >/dev/null 2>&1' _ "$wine64" "$sys32" "$service"
check "no provider key is left in the 64-bit view" key_absent "HKLM\\Software\\Classes\\CLSID\\$clsid" /reg:64
check "no provider entry is left in the 64-bit view" key_absent "HKLM\\Software\\Microsoft\\AMSI\\Providers\\$clsid" /reg:64
check "no provider key is left in the 32-bit view" key_absent "HKLM\\Software\\Classes\\CLSID\\$clsid" /reg:32
check "no provider entry is left in the 32-bit view" key_absent "HKLM\\Software\\Microsoft\\AMSI\\Providers\\$clsid" /reg:32
traces=$(registry_traces)
check "nothing in HKLM\\SOFTWARE or HKLM\\SYSTEM names the product, in either view" test -z "$traces"
[ -z "$traces" ] || echo "$traces" | sed 's/^/#   /'

# The package's rows are what self-registration writes for the same DLLs.
mkdir -p "$install_dir"
cp "$stage/x64/KestrovAmsi64.dll" "$stage/x86/KestrovAmsi32.dll" "$install_dir/"
win64 "$sys32\\regsvr32.exe" /s "$install_win\\KestrovAmsi64.dll" >/dev/null
win 'C:\windows\syswow64\regsvr32.exe' /s "$install_win\\KestrovAmsi32.dll" >/dev/null
check "regsvr32 writes the package's 64-bit rows" test "$(provider_rows 64)" = "$rows64"
check "regsvr32 writes the package's 32-bit rows" test "$(provider_rows 32)" = "$rows32"
win64 "$sys32\\regsvr32.exe" /s /u "$install_win\\KestrovAmsi64.dll" >/dev/null
win 'C:\windows\syswow64\regsvr32.exe' /s /u "$install_win\\KestrovAmsi32.dll" >/dev/null
rm -rf "$install_dir"

# --- x86 package ----------------------------------------------------------
install86_win='C:\Program Files (x86)\Kestrov'
install86_dir="$drive_c/Program Files (x86)/Kestrov"
code=$(msiexec_code /i "$test_win\\kestrov-x86.msi" /qn /l*v "$test_win\\install-x86.log")
check "msiexec /i the x86 package /qn exits with 0 (got $code)" test "$code" = 0
installed=$(cd "$install86_dir" 2>/dev/null && find . -type f | sort | tr '\n' ' ')
check "Program Files (x86)\\Kestrov holds the 32-bit DLL, the 32-bit service, README and amsiscan" \
  test "$installed" = "./KestrovAmsi32.dll ./KestrovScanService.exe ./README.md ./x86/amsiscan.exe "
check "the installed service is the 32-bit one" cmp -s "$stage/x86/KestrovScanService.exe" "$install86_dir/KestrovScanService.exe"
check "32-bit view: the provider rows of the 32-bit DLL" \
  test "$(provider_rows 32)" = "$(expected_rows 32 "$install86_win\\KestrovAmsi32.dll")"
check "64-bit view: no provider rows" key_absent "HKLM\\Software\\Classes\\CLSID\\$clsid" /reg:64
check "the 32-bit service runs" wait_service_state RUNNING
expect_scan "x86 package, 32-bit amsiscan: the anti-virus test file is detected" 1 "$install86_win\\x86\\amsiscan.exe" "$s_win\\eicar.com" \
  -- "from $install86_win\\KestrovAmsi32.dll" "overall: malware"
expect_scan "x86 package, 32-bit amsiscan: a clean script passes" 0 "$install86_win\\x86\\amsiscan.exe" "$s_win\\clean.ps1" -- "overall: clean"
check "the 32-bit service stops and its process ends" stop_service_and_wait
code=$(msiexec_code /x "$test_win\\kestrov-x86.msi" /qn /l*v "$test_win\\uninstall-x86.log")
check "msiexec /x the x86 package exits with 0 (got $code)" test "$code" = 0
check "no file is left after the x86 package (got: $(find "$install86_dir" "$data_dir" 2>/dev/null | tr '\n' ' '))" \
  test ! -e "$install86_dir" -a ! -e "$data_dir"
check "no service is left after the x86 package" bash -c '! "$1" "$2\\sc.exe" query "$3" </dev/null >/dev/null 2>&1' _ "$wine64" "$sys32" "$service"
traces=$(registry_traces)
check "nothing in the registry names the product after the x86 package" test -z "$traces"
[ -z "$traces" ] || echo "$traces" | sed 's/^/#   /'

echo "1..$step"
if [ $failures -ne 0 ]; then
  # Kept for a look: msiexec's logs, not the prefix.
  mkdir -p "$work/logs" && cp "$test_dir"/*.log "$work/logs/" 2>/dev/null
  echo "install_test: $failures of $step checks failed; msiexec's logs are in $work/logs" >&2
  exit 1
fi
exit 0
