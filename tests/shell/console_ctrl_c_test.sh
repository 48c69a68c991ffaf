#!/usr/bin/env bash
# System test: "--console" under Wine stops on Ctrl+C (Wine delivers SIGINT to
# the console control handler), ends its pipe server and exits with 0; also
# while a client that sent a request never reads its reply, and while two
# clients that sent a 3,000-entry connect never read theirs: a third client's
# status is still answered, whole, meanwhile. And the Windows Event Log: Wine
# writes each ReportEventW string to its debug channel "eventlog" (err, warn
# or trace by type), where the start, a guard's refusal of a connect and the
# stop must be.
#   console_ctrl_c_test.sh <QuorvaneVpnService.exe> <silent_client.exe> <QuorvaneVpnCtl.exe>
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
exe="$(realpath "$1")"
silent="$(realpath "$2")"
ctl="$(realpath "$3")"
source "$root/scripts/wine-session.sh"
wine_prefix_ready

log="$(mktemp)"
client_log="$(mktemp)"
second_log="$(mktemp)"
profile="$(mktemp --suffix=.json)"
trap 'rm -f "$log" "$client_log" "$second_log" "$profile"' EXIT
sed 's|"address_cidr": "[^"]*"|"address_cidr": "0.0.0.0/0"|' "$root/examples/profile.json" >"$profile"
for round in plain silent-client silent-connects refused-connect; do
  if [ "$round" = refused-connect ]; then
    # Safe mode refuses a profile whose address takes every route.
    QUORVANE_POC_DISABLE_DEFAULT_ROUTE=1 WINEDEBUG=err+eventlog,warn+eventlog,trace+eventlog \
      wine "$exe" --console >"$log" 2>&1 </dev/null &
  else
    wine "$exe" --console >"$log" 2>&1 </dev/null &
  fi
  pid=$!
  for _ in $(seq 300); do
    grep -q "IPC on" "$log" && break
    sleep 0.1
  done
  if ! grep -q "QuorvaneVpnService IPC on \\\\\\\\.\\\\pipe\\\\QuorvaneVpn (passive startup)" "$log"; then
    echo "FAILED: no start message"; cat "$log"; kill "$pid"; exit 1
  fi
  client=""
  second=""
  if [ "$round" = silent-client ]; then
    wine "$silent" 30 >"$client_log" 2>&1 </dev/null &
    client=$!
    for _ in $(seq 100); do
      grep -q sent "$client_log" && break
      sleep 0.1
    done
  fi
  if [ "$round" = silent-connects ]; then
    wine "$silent" 30 3000 >"$client_log" 2>&1 </dev/null &
    client=$!
    wine "$silent" 30 3000 >"$second_log" 2>&1 </dev/null &
    second=$!
    for _ in $(seq 100); do
      grep -q sent "$client_log" && grep -q sent "$second_log" && break
      sleep 0.1
    done
    grep -q sent "$client_log" && grep -q sent "$second_log" || { echo "FAILED: the silent connects were not sent"; exit 1; }
    status="$(timeout 20 wine "$ctl" status 2>&1 </dev/null)" || { echo "FAILED: no status beside two silent connects: $status"; kill "$pid" "$client" "$second"; exit 1; }
    grep -q "phase" <<<"$status" || { echo "FAILED: the status was not whole: $status"; kill "$pid" "$client" "$second"; exit 1; }
    echo "status beside two silent 3,000-entry connects: answered"
  fi
  if [ "$round" = refused-connect ]; then
    reply="$(timeout 30 wine "$ctl" --json connect "$(winepath -w "$profile")" event-nonce 2>/dev/null </dev/null)" || true
    grep -q '"error":"poc_route_guard_failed"' <<<"$reply" || { echo "FAILED: the connect was not refused: $reply"; kill "$pid"; exit 1; }
  fi
  kill -INT "$pid"
  for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  # Gone before the next round: a client end still open keeps its instance.
  for equipment in $client $second; do
    kill "$equipment" 2>/dev/null
    wait "$equipment" 2>/dev/null || true
  done
  if kill -0 "$pid" 2>/dev/null; then
    echo "FAILED ($round): still running 10 s after Ctrl+C"; kill -9 "$pid"; exit 1
  fi
  code=0
  wait "$pid" || code=$?
  echo "$round: exit code after Ctrl+C: $code"
  [ "$code" -eq 0 ] || exit 1
  if [ "$round" = refused-connect ]; then
    for event in 'trace:eventlog:.*QuorvaneVpnService 0\.1\.0 started' \
                 'warn:eventlog:.*A connect was refused: poc_route_guard_failed' \
                 'trace:eventlog:.*QuorvaneVpnService stopped'; do
      grep -q "$event" "$log" || { echo "FAILED: no event '$event'"; grep eventlog "$log"; exit 1; }
    done
    echo "events: start, the refused connect and the stop are on the eventlog channel"
  fi
done
