#!/usr/bin/env bash
# Measures the service against the bare platform, side by side in one run:
#  1. status round trips to the real QuorvaneVpnService.exe --console against a
#     bare echo server made of the same pipe calls (under Wine);
#  2. connect + disconnect with the stand-in tunnel library against a bare
#     service manager cycle of the same program (under Wine);
#  3. native, on the fake platform: status handling and profile handling.
# Prints the tables and writes JSON to build/bench/.
#   scripts/bench.sh [--smoke]     (--smoke: a few rounds, so that it cannot rot)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

connections=500
cycles=10
native_args=()
if [ "${1:-}" = "--smoke" ]; then
  connections=20
  cycles=1
  native_args=(--smoke)
fi

scripts/bootstrap.sh
mkdir -p build/bench
{
  cmake -S . -B build/bench-native -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=g++ &&
    cmake --build build/bench-native --target native_bench &&
    cmake --preset windows && cmake --build --preset windows --target pipe_bench
} >build/bench/build.log 2>&1 || { cat build/bench/build.log >&2; exit 1; }

echo "== native"
build/bench-native/bench/native_bench "${native_args[@]}" build/bench/native.json

source scripts/wine-session.sh
service_pid=""
finish() {
  [ -n "$service_pid" ] && kill -INT "$service_pid" 2>/dev/null && wait "$service_pid" 2>/dev/null || true
  wine_session_stop
}
trap finish EXIT
wine_session_start

echo "== under Wine ($connections status connections, $cycles connect cycles)"
wine build/windows/bin/QuorvaneVpnService.exe --console >build/bench/service.log 2>&1 </dev/null &
service_pid=$!
for _ in $(seq 300); do
  grep -q "IPC on" build/bench/service.log 2>/dev/null && break
  sleep 0.1
done
timeout 900 wine build/windows/bin/pipe_bench.exe "$connections" "$cycles" build/bench/pipe.json </dev/null
echo "machine: $(nproc) cores, $(free -g | awk '/Mem:/ {print $2}') GiB, $(wine --version)"
