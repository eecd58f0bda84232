#!/usr/bin/env bash
# Builds the server and runs it in a private virtual LAN (two network
# namespaces joined by a veth pair), with the default configuration from
# etc/tamber.ini and its state under build/demo-state/. Ctrl-C stops the
# server and removes the virtual LAN.
#
#   scripts/run-demo.sh            (as root, or with sudo available)
#   TAMBER_DEMO_TAG=demo2 scripts/run-demo.sh   a second demo side by side
#   TAMBER_BUILD_DIR=build-x, TAMBER_DEMO_STATE=dir   other build / state
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

if [ "$(id -u)" -ne 0 ]; then
  exec sudo -E "$0" "$@"
fi

tag=${TAMBER_DEMO_TAG:-demo}
build=${TAMBER_BUILD_DIR:-build}
state=${TAMBER_DEMO_STATE:-$repo/$build/demo-state}
srv_ns=tb-$tag-srv
peer_ns=tb-$tag-peer

bash scripts/install-deps.sh
cmake -S . -B "$build"
cmake --build "$build" -j2

if ip netns list | awk '{print $1}' | grep -qx -- "$srv_ns"; then
  echo "A virtual LAN '$tag' exists already (another demo running?)." >&2
  echo "Stop that demo, or remove it with: scripts/vlan.sh down $tag" >&2
  exit 1
fi

mkdir -p "$state/manifest" "$state/syslog"
ini=$state/tamber.ini
sed -E -e "s|^(manifest[[:space:]]*=).*|\1 $state/manifest|" \
       -e "s|^(syslog[[:space:]]*=).*|\1 $state/syslog|" \
       -e "s|^(load[[:space:]]*=).*|\1 $state/firmware.bin|" \
       etc/tamber.ini >"$ini"

server_pid=
cleanup() {
  trap - EXIT INT TERM
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill -TERM "$server_pid" 2>/dev/null || true
    for _ in $(seq 1 50); do
      kill -0 "$server_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$server_pid" 2>/dev/null || true
  fi
  wait 2>/dev/null || true
  scripts/vlan.sh down "$tag"
  echo "demo stopped; state kept in $state"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

scripts/vlan.sh up "$tag"

if command -v nc >/dev/null 2>&1; then
  console="sudo ip netns exec $peer_ns nc 10.213.0.1 11244"
else
  console="sudo ip netns exec $peer_ns python3 -c 'import socket,sys,threading
s=socket.create_connection((\"10.213.0.1\",11244))
def show():
    for d in iter(lambda: s.recv(4096), b\"\"): sys.stdout.write(d.decode(errors=\"replace\")); sys.stdout.flush()
threading.Thread(target=show,daemon=True).start()
for line in sys.stdin: s.sendall(line.encode())'"
fi

cat <<EOF
================================================================
 Tamber server demo in the virtual LAN '$tag'
   server:  namespace $srv_ns, 10.213.0.1 on tbveth0
   peers:   namespace $peer_ns, 10.213.0.2 on tbveth0
   config:  $ini
   state:   $state/manifest (manifests), $state/syslog/syslog.log
 Text console (TCP 11244), from another terminal:
   $console
 Menu clients: TCP 10.213.0.1:11224 from $peer_ns
 A shell on the LAN:  sudo ip netns exec $peer_ns bash
 Ctrl-C stops the server and removes the virtual LAN.
================================================================
EOF

ip netns exec "$srv_ns" "$build/tamber-server" -i "$ini" &
server_pid=$!
set +e
wait "$server_pid"
status=$?
set -e
server_pid=
echo "tamber-server ended with status $status"
exit "$status"
