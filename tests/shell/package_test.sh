#!/usr/bin/env bash
# System test of the installer package under Wine: an invalid property fails
# the install and leaves nothing; msiexec installs into Program Files,
# registers the control service with a quoted ImagePath and starts it; a
# connect with the stand-in tunnel works; a higher version upgrades in place
# (one product entry, the service running again, the settings kept); removal
# leaves no service, no program files and no configuration, only the logs.
#   package_test.sh
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
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
msi() { wine msiexec "$@" /qn /l*v "$out/msiexec.log" </dev/null >/dev/null 2>&1; }
product_entries() {
  wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r' |
    grep -c 'DisplayName.*Quorvane VPN'
}
cleanup() {
  for package in "${second:-}" "${first:-}"; do [ -n "$package" ] && msi /x "$package"; done
  wine reg delete "$environment" /v QUORVANE_POC_AUTO_STOP_SECONDS /f >/dev/null 2>&1
  rm -rf "$out" "$program_dir"
}
trap cleanup EXIT

first="$("$root/scripts/package.sh" --out "$out" --version 0.1.0 | tail -n 1)"
second="$("$root/scripts/package.sh" --out "$out" --version 0.1.1 | tail -n 1)"
check "two packages built" test -f "$first" -a -f "$second"

msi /i "$first" SAFE_MODE=maybe
check "an invalid property fails the install" not test $? -eq 0
check "... leaving no program files" not test -e "$program_dir/QuorvaneVpnService.exe"
check "... and no service" not registered QuorvaneVpnTunnel
grep -q "configure failed: SAFE_MODE must be 0 or 1" "$drive_c/ProgramData/Quorvane/logs/service.log" 2>/dev/null
check "... and says why in the service log" test $? -eq 0

msi /i "$first" AUTO_STOP_SECONDS=600
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
check "with automatic start" test "$(reg_value "$services\\QuorvaneVpnTunnel" Start)" = 0x2
check "the property becomes a machine setting" test "$(reg_value "$environment" QUORVANE_POC_AUTO_STOP_SECONDS)" = 600
check "the service runs and answers" status_ok
check "register" test "$(ctl register package-nonce | cut -c1-10)" = '{"ok":true'
check "a connect with the stand-in tunnel" \
  test "$(ctl connect "$root/examples/profile.json" package-nonce | cut -c1-34)" = '{"ok":true,"phase":"connected","no'
check "... runs the tunnel service" registered 'QuorvaneVpnTunnel$Active'

msi /i "$second"
check "upgrade" test $? -eq 0
check "one product entry" test "$(product_entries)" = 1
check "the service registered again" test "$(reg_value "$services\\QuorvaneVpnTunnel" Start)" = 0x2
check "and running again" status_ok
check "the settings kept" test "$(reg_value "$environment" QUORVANE_POC_AUTO_STOP_SECONDS)" = 600
check "the earlier tunnel taken down" not registered 'QuorvaneVpnTunnel$Active'

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
[ "$failed" -eq 0 ] || tail -n 40 "$out/msiexec.log"
exit "$failed"
