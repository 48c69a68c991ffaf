#!/usr/bin/env bash
# System test in a network namespace of its own: a default route on an
# interface named like a tunnel ("wintun0") must show in the passive start-up
# report of the real program, with the offending route's text. Wine sees the
# namespace its session was started in, so the namespace gets its own prefix
# and session. Exit 77 (skipped) with the reason when this machine cannot make
# the namespace or its links.
#   tunnel_default_route_test.sh <QuorvaneVpnService.exe>
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
exe="$(realpath "$1")"

if [ "${QUORVANE_IN_NETNS:-}" = 1 ]; then
  source "$root/scripts/wine-session.sh"
  trap wine_session_stop EXIT
  wine_session_start
  wine "$exe" --dry-run-startup 2>/dev/null
  exit 0
fi

skip() {
  echo "SKIPPED: $*"
  exit 77
}

namespace="quorvane-route-$$"
prefix="$root/build/wine-netns-prefix-$$"
command -v ip >/dev/null || skip "no 'ip' command to make a network namespace"
ip netns add "$namespace" 2>/tmp/quorvane-netns-$$.err || skip "cannot create a network namespace: $(cat /tmp/quorvane-netns-$$.err)"
cleanup() {
  ip netns del "$namespace" 2>/dev/null || true
  rm -rf "$prefix" "$prefix.lock" /tmp/quorvane-netns-$$.err
}
trap cleanup EXIT

in_namespace() { ip netns exec "$namespace" "$@"; }
# Making a namespace is not enough: "ip netns exec" must also be able to enter it.
in_namespace ip link set lo up 2>/tmp/quorvane-netns-$$.err ||
  skip "cannot run a command in the network namespace: $(cat /tmp/quorvane-netns-$$.err)"
in_namespace ip link add wintun0 type veth peer name quorvane-peer 2>/tmp/quorvane-netns-$$.err ||
  skip "cannot create a veth pair in the namespace: $(cat /tmp/quorvane-netns-$$.err)"
in_namespace ip addr add 10.77.0.2/24 dev wintun0
in_namespace ip link set quorvane-peer up
in_namespace ip link set wintun0 up
in_namespace ip route add default via 10.77.0.1 dev wintun0

report="$(in_namespace env QUORVANE_IN_NETNS=1 WINEPREFIX="$prefix" bash "${BASH_SOURCE[0]}" "$exe")"
echo "$report"

failed=0
expect() {
  if grep -Eq -- "$1" <<<"$report"; then
    echo "ok: $2"
  else
    echo "FAILED: $2"
    failed=1
  fi
}
expect '"leftover_tunnel_default_route_detected":true' "the tunnel default route is detected"
expect '"leftover_offending_default_route":"0\.0\.0\.0/0->10\.77\.0\.1@if[0-9]+:wintun0:metric=[0-9]+","tunnel_libraries":\{' \
  "the offending route's text, before the libraries"
expect '^\[Quorvane\] passive startup report: \{"service_started_utc":"[0-9T:Z-]{20}","startup_passive":true,' \
  "the report line"
exit "$failed"
