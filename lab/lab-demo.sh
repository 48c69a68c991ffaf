#!/usr/bin/env bash
# The demo in the lab: the service under Wine on the lab's PC brings up a real
# WireGuard tunnel to the lab's server, carries traffic through it and takes
# it down; then safe mode. Run by scripts/demo.sh when the lab can be made.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/lab/lab.sh"
trap lab_down EXIT
trap 'exit 130' INT TERM

say() { echo; echo "# $*"; }
run() {  # shows a command of the PC and what it printed
  echo "pc\$ $*"
  "$@"
  echo "(exit code $?)"
}
ctl() { echo "pc\$ QuorvaneVpnCtl.exe $*"; lab_ctl "$@"; echo "(exit code ${PIPESTATUS[0]})"; }
exchange() {
  echo "pc\$ echo hello | socat - TCP:$LAB_SERVER_IP:$LAB_ECHO_PORT"
  lab_echo && echo "(the exchange went through)" || echo "(the exchange failed: no route to the server's tunnel address)"
}

echo "The LAB: real WireGuard (wireguard-go), real routes and traffic between two network namespaces"
echo "($LAB_PC, $LAB_VPN). The service and QuorvaneVpnCtl run under Wine on the PC; its tunnel.dll is"
echo "the LAB tunnel library (test equipment), which drives wireguard-go, wg and ip as the real library"
echo "drives Wintun. The admin bypass is off: Wine's route creation calls succeed without adding a route."
lab_up || exit 1
lab_wine_start || exit 1
lab_profile "$LAB_DIR/profile.json"
say "Keys made with wg genkey; the server peer $LAB_SERVER_IP listens on $LAB_ENDPOINT:51820. The profile:"
sed 's/"client_private_key": ".*"/"client_private_key": "(hidden)"/' "$LAB_DIR/profile.json"

say "The service in console mode on the PC"
lab_service_start || exit 1
cat "$LAB_DIR/service.log"
ctl register lab-demo-nonce
ctl connect "$LAB_DIR/profile.json" lab-demo-nonce
run lab_pc wg show "$LAB_INTERFACE"
run lab_pc ip route show
exchange
ctl status
ctl disconnect
exchange
run lab_pc ip link show "$LAB_INTERFACE"
lab_service_stop

say "Safe mode: QUORVANE_POC_DISABLE_DEFAULT_ROUTE=1 and a profile with 0.0.0.0/0"
lab_service_start QUORVANE_POC_DISABLE_DEFAULT_ROUTE=1 || exit 1
lab_profile "$LAB_DIR/profile.json" '"0.0.0.0/0"'
ctl connect "$LAB_DIR/profile.json" lab-demo-nonce
echo "(the configuration's AllowedIPs: $(grep AllowedIPs "$LAB_DIR/wine-prefix/drive_c/ProgramData/Quorvane/tunnels/active.conf"))"
run lab_pc ip route show default
ctl disconnect >/dev/null

say "Safe mode, and the lab tunnel library told to add a default route whatever the configuration says"
lab_switches LAB_FORCE_DEFAULT_ROUTE=1
ctl connect "$LAB_DIR/profile.json" lab-demo-nonce
run lab_pc ip link show "$LAB_INTERFACE"
run lab_pc ip route show
lab_switches
lab_service_stop
echo
echo "(the lab is taken down: namespaces, interfaces and processes)"
