#!/usr/bin/env bash
# Builds QuorvaneVpnService.exe and runs it under Wine in the entry modes that
# this build has, showing what each prints and its exit code. The tunnel.dll
# beside it is our stand-in, not the WireGuard tunnel library.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/bootstrap.sh
log="build/demo-build.log"
mkdir -p build
if ! { cmake --preset windows && cmake --build --preset windows --target QuorvaneVpnService tunnel_standin; } >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi

source scripts/wine-session.sh
trap wine_session_stop EXIT
wine_session_start

exe="build/windows/bin/QuorvaneVpnService.exe"
run() {
  echo "\$ QuorvaneVpnService.exe $*"
  local code=0
  wine "$exe" "$@" 2>&1 || code=$?
  echo "(exit code $code)"
  echo
}

echo "QuorvaneVpnService under Wine ($(wine --version))."
echo "tunnel.dll beside it is the project's STAND-IN tunnel library (test equipment):"
echo "it registers with the service manager and reads the configuration, and brings"
echo "up no adapter and no route. Modes whose subsystems are not in this build say so"
echo "on standard error and exit with 1."
echo
run
run --dry-run-startup
run --CONSOLE --DRY-RUN-STARTUP
run --console
run /service ''
run /service 'C:\ProgramData\Quorvane\tunnels\active.conf'
echo "(exit code 4: the stand-in, run outside the service manager, cannot register and reports failure)"
