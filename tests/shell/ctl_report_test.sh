#!/usr/bin/env bash
# System test: "QuorvaneVpnCtl report" prints one valid JSON document with
# every part, with and without a running service, and says what it could not
# read; the other commands print a summary, or the raw reply with --json.
#   ctl_report_test.sh <QuorvaneVpnService.exe> <QuorvaneVpnCtl.exe>
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
service="$(realpath "$1")"
ctl="$(realpath "$2")"
source "$root/scripts/wine-session.sh"
wine_prefix_ready
failed=0
check() {
  if python3 -c "import json,sys; d=json.load(open(sys.argv[1])); sys.exit(0 if ($2) else 1)" "$3"; then
    echo "ok: $1"
  else
    echo "FAILED: $1"; head -c 600 "$3"; echo; failed=1
  fi
}
out="$(mktemp)"
log="$(mktemp)"
driver="$(dirname "$service")/wireguard.dll"
trap 'rm -f "$out" "$log"; [ -f "$driver.away" ] && mv "$driver.away" "$driver"; [ -n "${pid:-}" ] && kill -INT "$pid" 2>/dev/null' EXIT

no_service="$(wine "$ctl" status 2>/dev/null </dev/null | tr -d '\r')"
case "$no_service" in
  *"not reachable"*"sc query QuorvaneVpnTunnel"*) echo "ok: with no service, status says so and names sc query" ;;
  *) echo "FAILED: with no service: '$no_service'"; failed=1 ;;
esac
help="$(wine "$ctl" --help 2>/dev/null </dev/null | tr -d '\r')"; help_code=$?
version="$(wine "$ctl" --version 2>/dev/null </dev/null | tr -d '\r')"
if [ "$help_code" -eq 0 ] && [ "${help:0:30}" = "QuorvaneVpnCtl [--json] <comma" ] && [ "$version" = "QuorvaneVpnCtl 0.1.0" ]; then
  echo "ok: --help on standard output with exit code 0, and --version"
else
  echo "FAILED: --help ($help_code) '${help:0:40}' / --version '$version'"; failed=1
fi

wine "$ctl" report >"$out" 2>/dev/null </dev/null
parts="all(k in d for k in ['status','startup_report','settings','services','route_journal','log_tail','not_read']) and d['version'] == '0.1.0'"
check "report without a service: valid JSON with every part" "$parts" "$out"
check "report without a service: says the status could not be read" "d['not_read'] == ['status'] and d['status']['error'] == 'pipe_unavailable'" "$out"
check "report: the start-up report, and the settings labelled as the command line's own where they are" "d['startup_report']['startup_passive'] is True and set(d['settings']['QUORVANE_POC_DISABLE_DEFAULT_ROUTE']) == {'machine','cli_process','cli_user'}" "$out"
check "report: both DLLs, each where it lies" "all(d['startup_report']['tunnel_libraries'][n].endswith(n) for n in ['tunnel.dll','wireguard.dll'])" "$out"
mv "$driver" "$driver.away"
wine "$ctl" report >"$out" 2>/dev/null </dev/null
mv "$driver.away" "$driver"
check "report without wireguard.dll: says it is missing" "d['startup_report']['tunnel_libraries']['wireguard.dll'] is None and d['startup_report']['tunnel_libraries']['tunnel.dll'].endswith('tunnel.dll')" "$out"

wine "$service" --console >"$log" 2>&1 </dev/null &
pid=$!
for _ in $(seq 300); do grep -q "IPC on" "$log" && break; sleep 0.1; done
wine "$ctl" report >"$out" 2>/dev/null </dev/null
check "report with the service: its status" "$parts and d['not_read'] == [] and d['status']['ok'] is True" "$out"
summary="$(wine "$ctl" status 2>/dev/null </dev/null | tr -d '\r' | head -n 3 | tr '\n' '|')"
raw="$(wine "$ctl" status --json 2>/dev/null </dev/null | tr -d '\r')"
if [ "$summary" = "phase:             disconnected|node:              -|tunnel running:    no|" ] &&
  [ "${raw:0:34}" = '{"ok":true,"phase":"disconnected",' ]; then
  echo "ok: labelled lines, and the raw reply with --json after the command"
else
  echo "FAILED: summary '$summary' / raw '${raw:0:60}'"; failed=1
fi
kill -INT "$pid"; wait "$pid" 2>/dev/null; pid=""
exit "$failed"
