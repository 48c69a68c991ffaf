#!/usr/bin/env bash
# Measures the service against the bare platform, side by side in one run:
#  1. status round trips to the real QuorvaneVpnService.exe --console against a
#     bare echo server made of the same pipe calls (under Wine);
#  2. connect + disconnect with the stand-in tunnel library against a bare
#     service manager cycle of the same program (under Wine);
#  2b. eight clients at once against a bare eight-instance echo server, and
#     status latency while a connect waits for a slow tunnel (under Wine);
#  2c. the service between requests: connect/disconnect cycles without a
#     pause, the delay from a tunnel's own end to the phase change, and from a
#     disconnect's reply to a waiting watch's reply (under Wine);
#  3. native, on the fake platform: status handling and profile handling;
#  4. in the lab, where this machine can make it: connect and disconnect with a
#     real WireGuard tunnel (the lab tunnel library) against that library's
#     own bare up and down, and the bare service manager work around a start.
# Prints the tables and writes JSON to build/bench/.
#   scripts/bench.sh [--smoke]     (--smoke: a few rounds, so that it cannot rot)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

connections=500
cycles=10
per_client=200
life_cycles=200
life_rounds=10
lab_cycles=10
native_args=()
if [ "${1:-}" = "--smoke" ]; then
  connections=20
  cycles=1
  per_client=5
  life_cycles=5
  life_rounds=1
  lab_cycles=1
  native_args=(--smoke)
fi

scripts/bootstrap.sh
mkdir -p build/bench
{
  cmake -S . -B build/bench-native -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=g++ &&
    cmake --build build/bench-native --target native_bench &&
    cmake --preset windows && cmake --build --preset windows --target pipe_bench concurrent_bench life_bench lab_bench
} >build/bench/build.log 2>&1 || { cat build/bench/build.log >&2; exit 1; }

echo "== native"
build/bench-native/bench/native_bench "${native_args[@]}" build/bench/native.json

source scripts/wine-session.sh
service_pid=""
source lab/lab.sh
finish() {
  [ -n "$service_pid" ] && kill -INT "$service_pid" 2>/dev/null && wait "$service_pid" 2>/dev/null || true
  wine_session_stop
  lab_down
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
echo "== under Wine, 8 clients at once ($per_client requests each)"
timeout 900 wine build/windows/bin/concurrent_bench.exe "$per_client" build/bench/concurrent.json </dev/null
timeout 900 wine build/windows/bin/pipe_bench.exe "$connections" "$cycles" build/bench/pipe.json </dev/null
echo "== under Wine, between requests ($life_cycles cycles without a pause, $life_rounds tunnels that end)"
timeout 900 wine build/windows/bin/life_bench.exe "$life_cycles" "$life_rounds" build/bench/life.json </dev/null
echo "machine: $(nproc) cores, $(free -g | awk '/Mem:/ {print $2}') GiB, $(wine --version)"

kill -INT "$service_pid" 2>/dev/null && wait "$service_pid" 2>/dev/null || true
service_pid=""
if ! lab_check; then
  echo "== lab: skipped ($LAB_WHY)"
  exit 0
fi
echo "== lab ($lab_cycles connect cycles, real WireGuard through the lab tunnel library)"
lab_up && lab_wine_start || { echo "the lab could not be made" >&2; exit 1; }
cp build/windows/bin/lab_bench.exe "$LAB_BIN/"
lab_service_start || exit 1
printf '{"v":1,"op":"connect","session_nonce":"","node_id":"bench","address_cidr":"%s/32","endpoint_host":"%s","server_public_key":"%s","client_private_key":"%s","allowed_ips_csv":"10.66.0.0/24"}' \
  "$LAB_CLIENT_IP" "$LAB_ENDPOINT" "$(cat "$LAB_DIR/keys/server.pub")" "$(cat "$LAB_DIR/keys/client.key")" \
  >"$LAB_DIR/bench-request.json"
bare_dir="$LAB_DIR/wine-prefix/drive_c/ProgramData/Quorvane/bench"
mkdir -p "$bare_dir"
printf '[Interface]\nPrivateKey = %s\nAddress = %s/32\n\n[Peer]\nPublicKey = %s\nAllowedIPs = 10.66.0.0/24\nEndpoint = %s:51820\nPersistentKeepalive = 25\n' \
  "$(cat "$LAB_DIR/keys/client.key")" "$LAB_CLIENT_IP" "$(cat "$LAB_DIR/keys/server.pub")" "$LAB_ENDPOINT" \
  >"$bare_dir/lab.conf"
code=0
lab_wine timeout 900 wine "$LAB_BIN/lab_bench.exe" "$lab_cycles" "$LAB_DIR/bench-request.json" \
  'C:\ProgramData\Quorvane\bench\lab.conf' "$(realpath build/bench)/lab.json" </dev/null || code=$?
rm -rf "$bare_dir"
lab_service_stop
exit "$code"
