# The lab: a PC and a VPN server in two network namespaces of our own, joined
# by a veth pair, where the real service under Wine brings up a real WireGuard
# tunnel (wireguard-go, wg, ip) with the lab tunnel library. Source this file;
# the functions hold under "set -e" too.
#   lab_check            can this machine make the lab? (decided by trying; LAB_WHY says why not)
#   lab_up               make the namespaces, the server peer and its echo service; refuses when they exist
#   lab_down             end every process in the namespaces and remove everything the lab made
#   lab_pc CMD...        run a command on the PC (lab_vpn: on the server)
#   lab_wine_start       a Wine session on the PC, with the lab's own prefix
#   lab_service_start [NAME=VALUE...]   the service in console mode on the PC (lab_service_stop)
#   lab_ctl ARGS...      QuorvaneVpnCtl.exe on the PC
#   lab_profile FILE [ALLOWED_IPS]      a connect profile with the lab's keys
#   lab_echo             one TCP exchange with the server's tunnel address; prints what the server saw
#   lab_switches [NAME=VALUE...]        the lab tunnel library's switches (none: off)
# LAB_WINDOWS_BIN names the Windows build's bin folder (default build/windows/bin).
# Addresses: the PC's "physical" link 192.0.2.2/24 with its gateway, the
# server, at 192.0.2.1; the tunnel 10.66.0.0/24, server 10.66.0.1, PC 10.66.0.2.

LAB_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
LAB_PC=quorvane-lab-pc
LAB_VPN=quorvane-lab-vpn
LAB_DIR="$LAB_ROOT/build/lab"
LAB_BIN="$LAB_DIR/bin"
LAB_INTERFACE=wireguard0
LAB_SERVER_INTERFACE=wgqlabvpn
LAB_SERVER_IP=10.66.0.1
LAB_CLIENT_IP=10.66.0.2
LAB_ENDPOINT=192.0.2.1
LAB_ECHO_PORT=7000
LAB_SERVICE_PID=""
LAB_WHY=""

lab_pc() { ip netns exec "$LAB_PC" "$@"; }
lab_vpn() { ip netns exec "$LAB_VPN" "$@"; }

# Tries each thing the lab needs, in a namespace made for the try, and removes it.
lab_check() {
  local probe="quorvane-lab-probe-$$" err
  err="$(mktemp)"
  LAB_WHY=""
  if [ "$(id -u)" -ne 0 ]; then
    LAB_WHY="the lab needs root to make network namespaces"
  else
    local tool
    for tool in ip wg wireguard-go socat wine; do
      command -v "$tool" >/dev/null || { LAB_WHY="no '$tool' command"; break; }
    done
  fi
  if [ -z "$LAB_WHY" ]; then
    if ! ip netns add "$probe" 2>"$err"; then
      LAB_WHY="cannot create a network namespace: $(cat "$err")"
    else
      if ! ip netns exec "$probe" ip link set lo up 2>"$err"; then
        LAB_WHY="cannot run a command in a network namespace: $(cat "$err")"
      elif ! ip netns exec "$probe" ip link add qlabprobe0 type veth peer name qlabprobe1 2>"$err"; then
        LAB_WHY="cannot create a veth pair: $(cat "$err")"
      elif ! ip netns exec "$probe" env WG_PROCESS_FOREGROUND= wireguard-go qlabprobewg >"$err" 2>&1; then
        LAB_WHY="wireguard-go cannot make an interface: $(tail -n 1 "$err")"
      fi
      ip netns exec "$probe" ip link del qlabprobewg 2>/dev/null || true
      ip netns pids "$probe" 2>/dev/null | xargs -r kill 2>/dev/null || true
      ip netns del "$probe" 2>/dev/null || true
      rm -f /var/run/wireguard/qlabprobewg.sock
    fi
  fi
  rm -f "$err"
  [ -z "$LAB_WHY" ]
}

lab_up() {
  if ip netns list | grep -Eq "^($LAB_PC|$LAB_VPN)( |$)"; then
    echo "lab: namespaces $LAB_PC / $LAB_VPN already exist (another lab running, or left over: ip netns del them)" >&2
    return 1
  fi
  mkdir -p "$LAB_DIR/keys" "$LAB_BIN"
  ip netns add "$LAB_PC" && ip netns add "$LAB_VPN" || return 1
  lab_pc ip link set lo up
  lab_vpn ip link set lo up
  ip link add eth0 netns "$LAB_PC" type veth peer name eth0 netns "$LAB_VPN" || return 1
  lab_pc ip address add 192.0.2.2/24 dev eth0
  lab_pc ip link set eth0 up
  lab_vpn ip address add "$LAB_ENDPOINT/24" dev eth0
  lab_vpn ip link set eth0 up
  lab_pc ip route add default via "$LAB_ENDPOINT" dev eth0 metric 100

  local keys="$LAB_DIR/keys"
  (umask 077 && wg genkey >"$keys/server.key" && wg genkey >"$keys/client.key") || return 1
  wg pubkey <"$keys/server.key" >"$keys/server.pub"
  wg pubkey <"$keys/client.key" >"$keys/client.pub"
  lab_vpn wireguard-go "$LAB_SERVER_INTERFACE" >/dev/null 2>&1 || return 1
  lab_vpn wg set "$LAB_SERVER_INTERFACE" private-key "$keys/server.key" listen-port 51820 \
    peer "$(cat "$keys/client.pub")" allowed-ips "$LAB_CLIENT_IP/32" || return 1
  lab_vpn ip address add "$LAB_SERVER_IP/24" dev "$LAB_SERVER_INTERFACE"
  lab_vpn ip link set "$LAB_SERVER_INTERFACE" up
  # Linux would take a packet for the server's tunnel address on any link;
  # only what comes through the tunnel may reach it.
  lab_vpn ip rule add pref 10 iif eth0 to "$LAB_SERVER_IP/32" prohibit
  lab_vpn ip rule add pref 20 table local
  lab_vpn ip rule del pref 0
  # Reachable only through the tunnel: bound to the server's tunnel address.
  # It answers with the address it saw the client come from.
  lab_vpn socat "TCP-LISTEN:$LAB_ECHO_PORT,bind=$LAB_SERVER_IP,reuseaddr,fork" \
    SYSTEM:'read line; echo "server saw $SOCAT_PEERADDR: $line"' </dev/null >/dev/null 2>&1 &

  # The lab's copy of the service, with the lab tunnel library as its tunnel.dll.
  local windows_bin="${LAB_WINDOWS_BIN:-$LAB_ROOT/build/windows/bin}"
  cp "$windows_bin/QuorvaneVpnService.exe" "$windows_bin/QuorvaneVpnCtl.exe" "$LAB_BIN/" || return 1
  cp "$windows_bin/lab_tunnel.dll" "$LAB_BIN/tunnel.dll" || return 1
  cp "$windows_bin/wireguard.dll" "$LAB_BIN/" || return 1  # laid out as a deployment is
  cp "$LAB_ROOT/lab/lab-tunnel.sh" "$LAB_BIN/"
  rm -f "$LAB_BIN/lab-tunnel.env" "$LAB_BIN/lab-tunnel.log" "$LAB_BIN/lab-tunnel.endpoint-route"
}

lab_down() {
  local namespace
  for namespace in "$LAB_PC" "$LAB_VPN"; do
    ip netns list | grep -Eq "^$namespace( |$)" || continue
    # Wine, the service, wireguard-go, socat: whatever still runs in there.
    ip netns pids "$namespace" 2>/dev/null | xargs -r kill -9 2>/dev/null || true
    ip netns exec "$namespace" ip link del "$LAB_INTERFACE" 2>/dev/null || true
    ip netns exec "$namespace" ip link del "$LAB_SERVER_INTERFACE" 2>/dev/null || true
    ip netns del "$namespace" 2>/dev/null || true
  done
  rm -f "/var/run/wireguard/$LAB_INTERFACE.sock" "/var/run/wireguard/$LAB_SERVER_INTERFACE.sock"
  LAB_SERVICE_PID=""
  return 0
}

lab_wine_start() {
  lab_pc env WINEPREFIX="$LAB_DIR/wine-prefix" bash -c \
    "source '$LAB_ROOT/scripts/wine-session.sh' && wine_session_start" </dev/null >/dev/null 2>&1
}

lab_wine() { lab_pc env WINEPREFIX="$LAB_DIR/wine-prefix" WINEARCH=win64 WINEDEBUG=-all \
  WINEDLLOVERRIDES="mscoree,mshtml=" "$@"; }

lab_service_start() {
  local log="$LAB_DIR/service.log"
  : >"$log"
  lab_wine env QUORVANE_POC_ADMIN_BYPASS=0 "$@" wine "$LAB_BIN/QuorvaneVpnService.exe" --console \
    </dev/null >"$log" 2>&1 &
  LAB_SERVICE_PID=$!
  local i
  for i in $(seq 300); do
    grep -q "IPC on" "$log" 2>/dev/null && return 0
    kill -0 "$LAB_SERVICE_PID" 2>/dev/null || break
    sleep 0.1
  done
  echo "lab: the service did not start:" >&2
  cat "$log" >&2
  return 1
}

# The console service's own Wine process on the PC (we started it through a
# subshell, so $! is not it).
lab_service_windows_pid() {
  local pid
  for pid in $(ip netns pids "$LAB_PC" 2>/dev/null); do
    if cat "/proc/$pid/cmdline" 2>/dev/null | tr '\0' ' ' | grep -q 'QuorvaneVpnService.exe --console'; then
      echo "$pid"
    fi
  done
  return 0
}

# Ctrl+C, as a person would; after 20 s, a kill.
lab_service_stop() {
  [ -n "$LAB_SERVICE_PID" ] || return 0
  local pids i
  pids="$(lab_service_windows_pid)"
  [ -z "$pids" ] || kill -INT $pids 2>/dev/null || true
  for i in $(seq 200); do
    [ -z "$(lab_service_windows_pid)" ] && break
    sleep 0.1
  done
  pids="$(lab_service_windows_pid)"
  [ -z "$pids" ] || kill -9 $pids 2>/dev/null || true
  wait "$LAB_SERVICE_PID" 2>/dev/null || true
  LAB_SERVICE_PID=""
}

# Wine writes console lines with CR LF.
lab_ctl() { lab_wine wine "$LAB_BIN/QuorvaneVpnCtl.exe" --json "$@" </dev/null | tr -d "\r"; }

lab_profile() {
  local file="$1" allowed="${2:-\"10.66.0.0/24\"}"
  cat >"$file" <<JSON
{
  "node_id": "lab-node",
  "address_cidr": "$LAB_CLIENT_IP/32",
  "endpoint_host": "$LAB_ENDPOINT",
  "endpoint_port": 51820,
  "server_public_key": "$(cat "$LAB_DIR/keys/server.pub")",
  "client_private_key": "$(cat "$LAB_DIR/keys/client.key")",
  "dns": ["$LAB_SERVER_IP"],
  "allowed_ips": [$allowed]
}
JSON
}

lab_echo() { echo "hello" | lab_pc timeout 10 socat -T 3 - "TCP:$LAB_SERVER_IP:$LAB_ECHO_PORT,connect-timeout=3"; }

lab_switches() {
  rm -f "$LAB_BIN/lab-tunnel.env"
  local setting
  for setting in "$@"; do echo "$setting" >>"$LAB_BIN/lab-tunnel.env"; done
}
