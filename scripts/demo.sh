#!/usr/bin/env bash
# Builds QuorvaneVpnService.exe and QuorvaneVpnCtl.exe and runs a whole session
# under Wine. Where this machine can make the lab (root, network namespaces,
# wireguard-go), the session runs there and brings up a real WireGuard tunnel
# (lab/lab-demo.sh). Elsewhere: the service in console mode, then status,
# register, connect with examples/profile.json, status, disconnect, and a
# Ctrl+C that stops the service, with the stand-in tunnel.dll beside it, which
# is not the WireGuard tunnel library: it brings up no adapter and no route.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/bootstrap.sh
log="build/demo-build.log"
mkdir -p build
if ! { cmake --preset windows &&
       cmake --build --preset windows --target QuorvaneVpnService QuorvaneVpnCtl tunnel_standin lab_tunnel; } >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi

source lab/lab.sh
if lab_check; then
  exec bash lab/lab-demo.sh
fi
echo "The lab cannot be made here ($LAB_WHY): the demo runs with the stand-in tunnel.dll."
echo

source scripts/wine-session.sh
service_pid=""
finish() {
  [ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null || true
  wine_session_stop
}
trap finish EXIT
wine_session_start

bin="build/windows/bin"
service_log="build/demo-service.log"
ctl() {
  echo "\$ QuorvaneVpnCtl.exe $*"
  local code=0
  wine "$bin/QuorvaneVpnCtl.exe" "$@" || code=$?
  echo "(exit code $code)"
  echo
}

echo "QuorvaneVpnService under Wine ($(wine --version))."
echo "NOTE: tunnel.dll beside it is the project's STAND-IN tunnel library (test equipment):"
echo "it registers with the service manager and reads the configuration it is given, and"
echo "brings up no adapter and no route."
echo

echo "\$ QuorvaneVpnService.exe --console &"
wine "$bin/QuorvaneVpnService.exe" --console >"$service_log" 2>&1 </dev/null &
service_pid=$!
for _ in $(seq 300); do
  grep -q "IPC on" "$service_log" 2>/dev/null && break
  sleep 0.1
done
cat "$service_log"
echo

ctl status
ctl register demo-session-nonce
ctl connect examples/profile.json demo-session-nonce
echo "(the configuration the service wrote, C:\\ProgramData\\Quorvane\\tunnels\\active.conf:)"
sed 's/^PrivateKey = .*/PrivateKey = (hidden)/' "$WINEPREFIX/drive_c/ProgramData/Quorvane/tunnels/active.conf"
echo
ctl status
ctl disconnect

echo "\$ (Ctrl+C to the service)"
kill -INT "$service_pid"
code=0
wait "$service_pid" || code=$?
service_pid=""
echo "(service exit code $code)"
