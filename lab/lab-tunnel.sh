#!/bin/sh
# The lab tunnel library's work on the Linux side, run by lab_tunnel.dll (as
# tunnel.dll beside the lab's service) under Wine, inside the lab's PC network
# namespace. Test equipment only.
#   lab-tunnel.sh up <configuration> <result>    bring the WireGuard interface up as the real library does
#   lab-tunnel.sh down <configuration> <result>  remove it, its routes and the endpoint route
# The exit code also goes to <result>, as the last thing done: the DLL cannot
# wait for a Unix process that Wine started.
# Lab switches, read from lab-tunnel.env beside this script when it exists:
#   LAB_FORCE_DEFAULT_ROUTE=1  add a default route on the interface whatever the configuration says
#   LAB_DELAY_SECONDS=N        take N seconds to come up and N to go down
#   LAB_START_SECONDS=N        stay start-pending N seconds first, as the real library does
#                              while it retries resolving the endpoint
# Exit codes of "up": 0 running; 3 wg rejected the configuration; 4 an address or route failed;
# 5 wireguard-go could not make the interface. Output goes to lab-tunnel.log.
set -u
PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
# The lab has no name service: an endpoint host name fails at once rather
# than after wg's 15 s of retries.
WG_ENDPOINT_RESOLUTION_RETRIES=0
export PATH WG_ENDPOINT_RESOLUTION_RETRIES
here=$(cd "$(dirname "$0")" && pwd)
action=${1:-}
conf=${2:-}
result=${3:-/dev/null}
interface=wireguard0
LAB_FORCE_DEFAULT_ROUTE=0
LAB_DELAY_SECONDS=0
LAB_START_SECONDS=0
[ -f "$here/lab-tunnel.env" ] && . "$here/lab-tunnel.env"
# Our standard streams are the tunnel service's; keep nothing of them open.
exec </dev/null >>"$here/lab-tunnel.log" 2>&1
endpoint_route="$here/lab-tunnel.endpoint-route"

# The first value of |key| in the configuration (spaces around "=" as we write them).
value() { sed -n "s/^$1[[:space:]]*=[[:space:]]*//p" "$conf" | head -n 1; }

remove_interface() {
  ip link del "$interface" 2>/dev/null
  # wireguard-go ends a moment after its interface; stopped means it is gone.
  i=0
  while [ -e "/var/run/wireguard/$interface.sock" ] && [ "$i" -lt 100 ]; do
    sleep 0.05
    i=$((i + 1))
  done
  if [ -f "$endpoint_route" ]; then
    # shellcheck disable=SC2046
    ip route del $(cat "$endpoint_route") 2>/dev/null
    rm -f "$endpoint_route"
  fi
}

finish() {
  echo "$1" >"$result.tmp" && mv "$result.tmp" "$result"
  exit "$1"
}

fail() {
  code=$1
  shift
  echo "lab-tunnel: $*"
  remove_interface
  finish "$code"
}

up() {
  echo "lab-tunnel: up $conf ($(date -u +%H:%M:%S))"
  [ "$LAB_DELAY_SECONDS" -gt 0 ] && sleep "$LAB_DELAY_SECONDS"
  [ "$LAB_START_SECONDS" -gt 0 ] && sleep "$LAB_START_SECONDS"
  [ -r "$conf" ] || fail 2 "cannot read $conf"
  # wg takes only its own keys; the addresses, DNS and MTU are ours to apply, as wg-quick does.
  stripped=$(mktemp)
  grep -Ev '^[[:space:]]*(Address|DNS|MTU|Table|PreUp|PostUp|PreDown|PostDown|SaveConfig)[[:space:]]*=' "$conf" \
    >"$stripped"
  wireguard-go "$interface" || { rm -f "$stripped"; fail 5 "wireguard-go could not make $interface"; }
  if ! wg setconf "$interface" "$stripped"; then
    rm -f "$stripped"
    fail 3 "wg rejected the configuration"
  fi
  rm -f "$stripped"
  mtu=$(value MTU)
  [ -n "$mtu" ] && { ip link set "$interface" mtu "$mtu" || fail 4 "bad MTU $mtu"; }
  for address in $(value Address | tr ',' ' '); do
    ip address add "$address" dev "$interface" || fail 4 "bad address $address"
  done
  ip link set "$interface" up || fail 4 "cannot set $interface up"

  # The endpoint stays reachable outside the tunnel, through the physical gateway.
  endpoint=$(value Endpoint)
  host=${endpoint%:*}
  host=${host#[}
  host=${host%]}
  case "$host" in
    *:*) ;;  # the lab's endpoints are IPv4
    *)
      physical=$(ip -4 route get "$host" 2>/dev/null | head -n 1)
      via=$(echo "$physical" | sed -n 's/.* via \([0-9.]*\).*/\1/p')
      dev=$(echo "$physical" | sed -n 's/.* dev \([^ ]*\).*/\1/p')
      if [ -n "$dev" ] && [ "$dev" != "$interface" ]; then
        route="$host/32${via:+ via $via} dev $dev"
        # shellcheck disable=SC2086
        ip route replace $route && echo "$route" >"$endpoint_route"
      fi
      ;;
  esac

  for range in $(value AllowedIPs | tr ',' ' '); do
    case "$range" in
      *:*) ip -6 route add "$range" dev "$interface" 2>/dev/null || echo "lab-tunnel: IPv6 route $range skipped" ;;
      *) ip route add "$range" dev "$interface" || fail 4 "cannot route $range" ;;
    esac
  done
  if [ "$LAB_FORCE_DEFAULT_ROUTE" = 1 ]; then
    ip route replace 0.0.0.0/0 dev "$interface" metric 0 || fail 4 "cannot add the forced default route"
    echo "lab-tunnel: forced a default route on $interface"
  fi
  echo "lab-tunnel: $interface running"
}

down() {
  echo "lab-tunnel: down ($(date -u +%H:%M:%S))"
  [ "$LAB_DELAY_SECONDS" -gt 0 ] && sleep "$LAB_DELAY_SECONDS"
  # The interface's routes go with it, and wireguard-go ends when its interface does.
  remove_interface
  echo "lab-tunnel: $interface removed"
}

case "$action" in
  up) up ;;
  down) down ;;
  *) echo "usage: lab-tunnel.sh up|down <configuration> <result>"; finish 1 ;;
esac
finish 0
