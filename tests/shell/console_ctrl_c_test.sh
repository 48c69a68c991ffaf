#!/usr/bin/env bash
# System test: "--console" under Wine stops on Ctrl+C (Wine delivers SIGINT to
# the console control handler), ends its pipe server and exits with 0.
#   console_ctrl_c_test.sh <QuorvaneVpnService.exe>
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
exe="$(realpath "$1")"
source "$root/scripts/wine-session.sh"
wine_prefix_ready

log="$(mktemp)"
trap 'rm -f "$log"' EXIT
wine "$exe" --console >"$log" 2>&1 </dev/null &
pid=$!
for _ in $(seq 300); do
  grep -q "IPC on" "$log" && break
  sleep 0.1
done
if ! grep -q "QuorvaneVpnService IPC on \\\\\\\\.\\\\pipe\\\\QuorvaneVpn (passive startup)" "$log"; then
  echo "FAILED: no start message"; cat "$log"; kill "$pid"; exit 1
fi
kill -INT "$pid"
for _ in $(seq 100); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$pid" 2>/dev/null; then
  echo "FAILED: still running 10 s after Ctrl+C"; kill -9 "$pid"; exit 1
fi
code=0
wait "$pid" || code=$?
echo "exit code after Ctrl+C: $code"
[ "$code" -eq 0 ]
