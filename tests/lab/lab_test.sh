#!/usr/bin/env bash
# System test in the lab: the real service under Wine brings up a real
# WireGuard tunnel with the lab tunnel library and talks to a real server
# peer. Exit 77 (skipped) with the reason when this machine cannot make the
# lab, decided by trying.
#   lab_test.sh <folder of the Windows build's programs>
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
export LAB_WINDOWS_BIN="$(realpath "$1")"
source "$root/lab/lab.sh"

if ! lab_check; then
  echo "SKIPPED: $LAB_WHY"
  exit 77
fi
trap lab_down EXIT
trap 'exit 130' INT TERM
lab_up || { echo "FAILED: the lab could not be made"; exit 1; }
lab_wine_start || { echo "FAILED: no Wine session on the lab PC"; exit 1; }

failed=0
check() {  # check <description> <command...>
  local description="$1"
  shift
  if "$@" >/dev/null; then
    echo "ok: $description"
  else
    echo "FAILED: $description"
    failed=1
  fi
}
has() { grep -Eq -- "$2" <<<"$1"; }
interface_gone() { ! lab_pc ip link show "$LAB_INTERFACE"; }
# Nothing of a tunnel left on the PC: interface, its routes, the endpoint
# route, wireguard-go, the configuration and the tunnel service. Says what is left.
nothing_left() {
  local left=""
  interface_gone || left+=" interface"
  lab_pc ip route show | grep -Eq "10\.66\.0\.|^$LAB_ENDPOINT dev" && left+=" route"
  [ -e "/var/run/wireguard/$LAB_INTERFACE.sock" ] && left+=" wireguard-go"
  [ -e "$LAB_DIR/wine-prefix/drive_c/ProgramData/Quorvane/tunnels/active.conf" ] && left+=" configuration"
  has "$(lab_ctl status)" '"tunnel_running":false' || left+=" tunnel-service"
  [ -z "$left" ] || echo "left:$left" >&2
  [ -z "$left" ]
}
echo_fails() { ! lab_echo; }
profile="$LAB_DIR/profile.json"

echo "== connect, traffic through the tunnel, disconnect"
lab_switches
lab_service_start || exit 1
lab_profile "$profile"
lab_ctl register lab-nonce >/dev/null
reply="$(lab_ctl connect "$profile" lab-nonce)"
check "connect is answered connected" has "$reply" '^\{"ok":true,"phase":"connected","node_id":"lab-node"'
check "the tunnel is running" has "$(lab_ctl status)" '"phase":"connected","node_id":"lab-node","tunnel_running":true'
check "the route to the tunnel network is on $LAB_INTERFACE" has "$(lab_pc ip route show)" "^10\.66\.0\.0/24 dev $LAB_INTERFACE"
echo "server: $(lab_echo 2>&1)"
check "the server sees the client's tunnel address" has "$(lab_echo 2>&1)" "^server saw $LAB_CLIENT_IP: hello"
check "a completed handshake" has "$(lab_pc wg show "$LAB_INTERFACE" latest-handshakes)" $'\t[1-9][0-9]*$'
check "disconnect" has "$(lab_ctl disconnect)" '^\{"ok":true,"phase":"disconnected"'
check "no interface, route, process, configuration or service left" nothing_left
check "the exchange fails without the tunnel" echo_fails

echo "== a tunnel that takes 3 s to come up and to stop"
lab_switches LAB_DELAY_SECONDS=3
reply="$(lab_ctl connect "$profile" lab-nonce)"
# Read at once: the reply may only come after the tunnel has finished its work.
routes="$(lab_pc ip route show)"
check "connect is answered connected" has "$reply" '^\{"ok":true,"phase":"connected"'
check "when connect answers, the interface and its route are there" has "$routes" "^10\.66\.0\.0/24 dev $LAB_INTERFACE"
lab_ctl disconnect >/dev/null
check "when disconnect answers, the interface is gone" interface_gone
check "nothing left" nothing_left

echo "== a tunnel held start-pending past the connect's bound (3 s here)"
# The library accepts no stop while it starts; nothing may come up later.
lab_service_stop
lab_service_start QUORVANE_POC_TUNNEL_START_SECONDS=3 || exit 1
lab_switches LAB_START_SECONDS=8
reply="$(lab_ctl connect "$profile" lab-nonce)"
echo "reply: $reply"
check "connect fails once the tunnel could be stopped" has "$reply" \
  '^\{"ok":false,"error":"tunnel_start_failed","message":"tunnel service did not report running within 3 s"'
check "nothing left when it answers" nothing_left
sleep 60
check "nothing came up 60 s on" nothing_left
lab_ctl connect "$profile" lab-nonce >"$LAB_DIR/connect-reply.json" &
connect_pid=$!
for _ in $(seq 100); do has "$(lab_ctl status)" '"phase":"connecting"' && break; sleep 0.1; done
reply="$(lab_ctl disconnect)"
check "a disconnect during the start is answered" has "$reply" '^\{"ok":true,"phase":"disconnected"'
wait "$connect_pid"
check "the connect says the disconnect cancelled it" has "$(cat "$LAB_DIR/connect-reply.json")" \
  '"error":"tunnel_start_failed","message":"a disconnect cancelled the connect'
check "afterwards nothing runs" nothing_left
lab_switches
lab_service_stop
lab_service_start || exit 1

echo "== a configuration that wg rejects"
# The service refuses what it can tell is wrong (a key that is not one); an
# endpoint that no name service here resolves is wg's to reject.
lab_switches
sed 's/"endpoint_host": "[^"]*"/"endpoint_host": "no-such-host.invalid"/' "$profile" >"$LAB_DIR/bad-profile.json"
reply="$(lab_ctl connect "$LAB_DIR/bad-profile.json" lab-nonce)"
echo "reply: $reply"
check "connect is answered tunnel_start_failed with the library's exit code" has "$reply" \
  '^\{"ok":false,"error":"tunnel_start_failed","message":"tunnel service stopped before it reported running \(exit code 1066, service-specific exit code 3\)"\}$'
check "nothing left" nothing_left
lab_service_stop

echo "== safe mode"
lab_service_start QUORVANE_POC_DISABLE_DEFAULT_ROUTE=1 || exit 1
lab_profile "$profile" '"0.0.0.0/0"'
reply="$(lab_ctl connect "$profile" lab-nonce)"
check "connect with a catch-all profile is answered connected" has "$reply" '^\{"ok":true,"phase":"connected"'
check "the catch-all was patched" has "$reply" '"generated_allowed_ips_before":"0\.0\.0\.0/0","generated_allowed_ips_after":"10\.66\.0\.0/24"'
no_tunnel_default_route() { ! lab_pc ip route show default dev "$LAB_INTERFACE" | grep -q .; }
check "no default route on the tunnel" no_tunnel_default_route
check "traffic still flows" has "$(lab_echo 2>&1)" "^server saw $LAB_CLIENT_IP"
lab_ctl disconnect >/dev/null
lab_switches LAB_FORCE_DEFAULT_ROUTE=1
reply="$(lab_ctl connect "$profile" lab-nonce)"
check "a tunnel that adds a default route anyway is refused" has "$reply" \
  '^\{"ok":false,"error":"poc_default_route_detected",.*"offending_default_route":"0\.0\.0\.0/0->[0-9.]+@if[0-9]+:wireguard0:'
check "everything undone" nothing_left
lab_service_stop

echo "== the start-up report names a leftover default route on the lab interface"
lab_switches LAB_FORCE_DEFAULT_ROUTE=1
conf="$LAB_DIR/leftover.conf"
printf '[Interface]\nPrivateKey = %s\nAddress = %s/32\n\n[Peer]\nPublicKey = %s\nAllowedIPs = 10.66.0.0/24\nEndpoint = %s:51820\n' \
  "$(cat "$LAB_DIR/keys/client.key")" "$LAB_CLIENT_IP" "$(cat "$LAB_DIR/keys/server.pub")" "$LAB_ENDPOINT" >"$conf"
lab_pc sh "$LAB_BIN/lab-tunnel.sh" up "$conf" /dev/null
report="$(lab_wine wine "$LAB_BIN/QuorvaneVpnService.exe" --dry-run-startup 2>/dev/null)"
echo "$report"
check "the leftover default route is reported" has "$report" \
  '"leftover_tunnel_default_route_detected":true,.*"leftover_offending_default_route":"0\.0\.0\.0/0->[0-9.]+@if[0-9]+:wireguard0:'
lab_pc sh "$LAB_BIN/lab-tunnel.sh" down "$conf" /dev/null
lab_switches
rm -f "$conf"

if [ "$failed" -ne 0 ]; then
  echo "--- service log"; cat "$LAB_DIR/service.log"
  echo "--- lab tunnel log"; cat "$LAB_BIN/lab-tunnel.log"
fi
exit "$failed"
