#!/usr/bin/env bash
# Private virtual LAN for running the server and scripted peers.
#
#   vlan.sh up TAG     create namespaces tb-TAG-srv and tb-TAG-peer joined by
#                      a veth pair named tbveth0 on both sides:
#                        server 10.213.0.1/24, peer 10.213.0.2/24,
#                        multicast route 224.0.0.0/4 dev tbveth0 in each
#   vlan.sh down TAG   delete both namespaces (and the veth); idempotent
#   vlan.sh status TAG show both namespaces' links, addresses and routes
#
# Several TAGs can coexist. The root namespace only ever sees the veth pair
# for a moment, under temporary names derived from TAG.
set -Eeuo pipefail

readonly IFNAME=tbveth0
readonly SRV_ADDR=10.213.0.1/24
readonly PEER_ADDR=10.213.0.2/24
# Fixed, locally administered MACs: the server's device id is then known in
# advance: 02:54:42:d5:00:01 gives the device id 0025442D500010.
readonly SRV_MAC=02:54:42:d5:00:01
readonly PEER_MAC=02:54:42:d5:00:02

usage() {
  echo "usage: $0 up|down|status TAG   (TAG: 1-24 characters of [A-Za-z0-9_-])" >&2
  exit 2
}

[ $# -eq 2 ] || usage
cmd=$1
tag=$2
[[ $tag =~ ^[A-Za-z0-9_-]{1,24}$ ]] || usage

srv_ns=tb-$tag-srv
peer_ns=tb-$tag-peer
# Temporary root-namespace names: unique per TAG, at most 15 characters.
hash=$(printf '%s' "$tag" | md5sum | cut -c1-11)
tmp_srv=tbs$hash
tmp_peer=tbp$hash

ns_exists() {
  ip netns list 2>/dev/null | awk '{print $1}' | grep -qx -- "$1"
}

# Ends what still runs inside one of our namespaces (a server left over by a
# crashed test); otherwise the namespace would outlive its name.
stop_ns_processes() {
  local ns=$1 pids pid
  pids=$(ip netns pids "$ns" 2>/dev/null || true)
  [ -n "$pids" ] || return 0
  echo "vlan.sh: ending processes left in $ns: $pids" >&2
  for pid in $pids; do kill -TERM "$pid" 2>/dev/null || true; done
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    pids=$(ip netns pids "$ns" 2>/dev/null || true)
    [ -n "$pids" ] || return 0
    sleep 0.2
  done
  for pid in $pids; do kill -KILL "$pid" 2>/dev/null || true; done
}

down() {
  local ns
  for ns in "$srv_ns" "$peer_ns"; do
    if ns_exists "$ns"; then
      stop_ns_processes "$ns"
      ip netns del "$ns" 2>/dev/null || true
    fi
  done
  # Left over only when an "up" died half-way.
  ip link del "$tmp_srv" 2>/dev/null || true
  ip link del "$tmp_peer" 2>/dev/null || true
}

setup_side() {
  local ns=$1 tmp=$2 addr=$3 mac=$4
  ip link set "$tmp" netns "$ns"
  ip -n "$ns" link set "$tmp" name "$IFNAME"
  ip -n "$ns" link set "$IFNAME" address "$mac"
  # Keep the link quiet: no IPv6 router/neighbour chatter on it.
  ip netns exec "$ns" sysctl -q -w net.ipv6.conf.all.disable_ipv6=1 >/dev/null 2>&1 || true
  ip -n "$ns" link set lo up
  ip -n "$ns" addr add "$addr" dev "$IFNAME"
  ip -n "$ns" link set "$IFNAME" up
  ip -n "$ns" route add 224.0.0.0/4 dev "$IFNAME"
}

up() {
  if ns_exists "$srv_ns" || ns_exists "$peer_ns"; then
    echo "vlan.sh: virtual LAN '$tag' already exists (run: $0 down $tag)" >&2
    exit 1
  fi
  trap 'echo "vlan.sh: setting up '"'$tag'"' failed, cleaning up" >&2; down' ERR
  ip netns add "$srv_ns"
  ip netns add "$peer_ns"
  ip link add "$tmp_srv" type veth peer name "$tmp_peer"
  setup_side "$srv_ns" "$tmp_srv" "$SRV_ADDR" "$SRV_MAC"
  setup_side "$peer_ns" "$tmp_peer" "$PEER_ADDR" "$PEER_MAC"
  trap - ERR
  # The link needs a moment to come up on both ends.
  for _ in $(seq 1 50); do
    if ip -n "$srv_ns" link show "$IFNAME" | grep -q 'state UP' &&
       ip -n "$peer_ns" link show "$IFNAME" | grep -q 'state UP'; then
      return 0
    fi
    sleep 0.05
  done
  echo "vlan.sh: warning: $IFNAME not reported UP yet" >&2
}

status() {
  local ns
  for ns in "$srv_ns" "$peer_ns"; do
    echo "== $ns"
    if ns_exists "$ns"; then
      ip -n "$ns" -br addr
      ip -n "$ns" route
    else
      echo "(absent)"
    fi
  done
}

case $cmd in
  up) up ;;
  down) down ;;
  status) status ;;
  *) usage ;;
esac
