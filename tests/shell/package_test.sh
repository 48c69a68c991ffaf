#!/usr/bin/env bash
# System test of the installer package under Wine: an install outside Program
# Files and an invalid property fail and leave nothing; msiexec installs into
# Program Files, registers the control service with a quoted ImagePath, the
# start type asked for, a description and the event source; the machine's
# ADMIN_BYPASS=0, set after the service manager started, turns the bypass off
# for the next connect; a repair runs no --uninstall and keeps the start type;
# a higher version upgrades in place without properties (one product entry,
# the start type and the settings kept) while another program holds the
# service open; removal leaves no service, no program files, no
# configuration and no settings, only the logs.
#   package_test.sh <service_holder.exe>
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
holder="$(realpath "$1")"
source "$root/scripts/wine-session.sh"
wine_prefix_ready
out="$(mktemp -d)"
failed=0
check() {  # label, command...: passes when the command succeeds
  local label="$1"; shift
  if "$@" >/dev/null 2>&1; then echo "ok: $label"; else echo "FAILED: $label"; failed=1; fi
}
drive_c="$WINEPREFIX/drive_c"
program_dir="$drive_c/Program Files/Quorvane"
services='HKLM\System\CurrentControlSet\Services'
environment='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
reg_value() { wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"; }
registered() { wine reg query "$services\\$1" >/dev/null 2>&1; }
not() { ! "$@"; }
ctl() { wine "$program_dir/QuorvaneVpnCtl.exe" --json "$@" 2>/dev/null </dev/null | tr -d '\r'; }
status_ok() {  # the installed service answers within 20 s
  for _ in $(seq 40); do [[ "$(ctl status)" == '{"ok":true'* ]] && return 0; sleep 0.5; done
  return 1
}
msi_runs=0
msi() {  # each run's log is kept, and shown for a run that failed
  msi_runs=$((msi_runs + 1))
  local log="$out/msiexec-$msi_runs.log" code=0
  wine msiexec "$@" /qn /l*v "$log" </dev/null >/dev/null 2>&1 || code=$?
  cp "$log" "$out/msiexec.log" 2>/dev/null
  [ -n "${KEEP_MSI_LOGS:-}" ] && cp "$log" "$KEEP_MSI_LOGS/" 2>/dev/null
  return "$code"
}
product_entries() {
  wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r' |
    grep -c 'DisplayName.*Quorvane VPN'
}
settings=(QUORVANE_POC_DISABLE_DEFAULT_ROUTE QUORVANE_POC_AUTO_STOP_SECONDS QUORVANE_POC_ADMIN_BYPASS ADMIN_BYPASS_IPS)
cleanup() {
  [ -n "${holder_pid:-}" ] && kill "$holder_pid" 2>/dev/null
  for package in "${second:-}" "${first:-}"; do [ -n "$package" ] && msi /x "$package"; done
  for name in "${settings[@]}"; do wine reg delete "$environment" /v "$name" /f >/dev/null 2>&1; done
  # What a failed run may leave in the session's prefix for the next one.
  if registered QuorvaneVpnTunnel; then wine sc stop QuorvaneVpnTunnel; wine sc delete QuorvaneVpnTunnel; fi >/dev/null 2>&1
  wine reg delete 'HKLM\Software\Quorvane' /f >/dev/null 2>&1
  rm -rf "$out" "$program_dir" "$drive_c/Quorvane"
}
trap cleanup EXIT

first="$("$root/scripts/package.sh" --out "$out" --version 0.1.0 | tail -n 1)"
second="$("$root/scripts/package.sh" --out "$out" --version 0.1.1 | tail -n 1)"
check "two packages built" test -f "$first" -a -f "$second"

msi /i "$first" 'INSTALLDIR=C:\Quorvane\'
check "an install outside Program Files is refused" not test $? -eq 0
check "... leaving no program there" not test -e "$drive_c/Quorvane/QuorvaneVpnService.exe"
check "... and no service" not registered QuorvaneVpnTunnel

msi /i "$first" SAFE_MODE=maybe
check "an invalid property fails the install" not test $? -eq 0
check "... leaving no program files" not test -e "$program_dir/QuorvaneVpnService.exe"
check "... and no service" not registered QuorvaneVpnTunnel
grep -q "configure failed: SAFE_MODE must be 0 or 1" "$drive_c/ProgramData/Quorvane/logs/service.log" 2>/dev/null
check "... and says why in the service log" test $? -eq 0

msi /i "$first" AUTO_STOP_SECONDS=600 START=demand
check "install" test $? -eq 0
for file in QuorvaneVpnService.exe QuorvaneVpnSetup.exe QuorvaneVpnCtl.exe tunnel.dll wireguard.dll; do
  check "installs $file under Program Files" test -f "$program_dir/$file"
done
# The actions run without a console window: the PE header's Subsystem (at
# e_lfanew + 0x5C) is 2, Windows GUI (3 would be a console program).
subsystem() {
  local pe
  pe=$(od -An -tu4 -j 60 -N 4 "$1" | tr -d ' ')
  od -An -tu2 -j $((pe + 0x5C)) -N 2 "$1" | tr -d ' '
}
check "the package's actions program is a GUI-subsystem program" test "$(subsystem "$program_dir/QuorvaneVpnSetup.exe")" = 2
check "... while the service program is a console one" test "$(subsystem "$program_dir/QuorvaneVpnService.exe")" = 3
image="$(reg_value "$services\\QuorvaneVpnTunnel" ImagePath)"
check "registers the service with a quoted ImagePath" \
  test "$image" = '"C:\Program Files\Quorvane\QuorvaneVpnService.exe" --run-as-service'
check "with the start type asked for" test "$(reg_value "$services\\QuorvaneVpnTunnel" Start)" = 0x3
check "and its description" test "$(reg_value "$services\\QuorvaneVpnTunnel" Description)" = \
  "Brings the Quorvane VPN tunnel up and down for the desktop app and guards the PC's routes."
check "the event source names the program" \
  test "$(reg_value 'HKLM\System\CurrentControlSet\Services\EventLog\Application\QuorvaneVpn' EventMessageFile)" = \
  'C:\Program Files\Quorvane\QuorvaneVpnService.exe'
check "the property becomes a machine setting" test "$(reg_value "$environment" QUORVANE_POC_AUTO_STOP_SECONDS)" = 600
check "nothing kept for a rollback once it is done" not wine reg query 'HKLM\Software\Quorvane'
wine sc start QuorvaneVpnTunnel >/dev/null 2>&1
check "the service runs and answers" status_ok
# Set after the service manager started: the service reads the machine's value now.
wine reg add "$environment" /v QUORVANE_POC_ADMIN_BYPASS /d 0 /f >/dev/null 2>&1
wine reg add "$environment" /v ADMIN_BYPASS_IPS /d 203.0.113.7 /f >/dev/null 2>&1
check "register" test "$(ctl register package-nonce | cut -c1-10)" = '{"ok":true'
connected="$(ctl connect "$root/examples/profile.json" package-nonce)"
check "a connect with the stand-in tunnel" test "${connected:0:34}" = '{"ok":true,"phase":"connected","no'
check "... with the bypass off as the machine now says" grep -q '"admin_bypass":{"enabled":false' <<<"$connected"
check "... runs the tunnel service" registered 'QuorvaneVpnTunnel$Active'

setup_runs() { grep -c "\[Quorvane\]\[setup\] --$1 ended" "$drive_c/ProgramData/Quorvane/logs/service.log"; }
uninstalls_before="$(setup_runs uninstall)"
# A repair as "msiexec /f" makes it (MsiReinstallProduct sets these two);
# Wine's msiexec /f does not reach MsiReinstallProduct with a package path.
msi /i "$first" REINSTALL=ALL REINSTALLMODE=omus
check "repair" test $? -eq 0
check "... runs no --uninstall" test "$(setup_runs uninstall)" = "$uninstalls_before"
check "... keeps the registration and the start type" test "$(reg_value "$services\\QuorvaneVpnTunnel" Start)" = 0x3
check "... and the tunnel" registered 'QuorvaneVpnTunnel$Active'

wine "$holder" QuorvaneVpnTunnel 300 >"$out/holder.log" 2>&1 </dev/null &
holder_pid=$!
for _ in $(seq 100); do grep -q held "$out/holder.log" 2>/dev/null && break; sleep 0.1; done
check "another program holds the service open" grep -q held "$out/holder.log"
msi /i "$second"
check "upgrade without properties while it is held" test $? -eq 0
check "one product entry" test "$(product_entries)" = 1
check "the registration kept, with its start type" test "$(reg_value "$services\\QuorvaneVpnTunnel" Start)" = 0x3
check "... and its program" test "$(reg_value "$services\\QuorvaneVpnTunnel" ImagePath)" = "$image"
check "the settings kept" test "$(reg_value "$environment" QUORVANE_POC_AUTO_STOP_SECONDS)" = 600
check "the earlier tunnel taken down" not registered 'QuorvaneVpnTunnel$Active'
check "the older product's removal kept the registration" \
  grep -q "uninstall: an upgrade is under way: the registration stays" "$drive_c/ProgramData/Quorvane/logs/service.log"
kill "$holder_pid" 2>/dev/null; wait "$holder_pid" 2>/dev/null; holder_pid=""
wine sc start QuorvaneVpnTunnel >/dev/null 2>&1
check "the upgraded service runs and answers" status_ok

msi /x "$second"
check "removal" test $? -eq 0
check "no control service" not registered QuorvaneVpnTunnel
check "no tunnel service" not registered 'QuorvaneVpnTunnel$Active'
# The stand-in tunnel library leaves its record of calls beside itself, which
# no package knows of; the real library keeps none there.
check "no program files" test -z "$(ls -A "$program_dir" 2>/dev/null | grep -v '^tunnel-standin-record.txt$')"
check "no configuration" not test -e "$drive_c/ProgramData/Quorvane/tunnels"
check "no route journal" not test -e "$drive_c/ProgramData/Quorvane/state"
check "the logs stay" test -f "$drive_c/ProgramData/Quorvane/logs/service.log"
check "no product entry" test "$(product_entries)" = 0
for name in "${settings[@]}"; do
  check "no setting $name" test -z "$(reg_value "$environment" "$name")"
done
check "no event source" not wine reg query 'HKLM\System\CurrentControlSet\Services\EventLog\Application\QuorvaneVpn'
check "nothing kept for a rollback" not wine reg query 'HKLM\Software\Quorvane'
[ "$failed" -eq 0 ] || tail -n 40 "$out/msiexec.log"
exit "$failed"
