#!/usr/bin/env bash
# Hostile input for a bounded time: the server in a private virtual LAN, and
# the simulator (tools/tamber_sim.py --hostile) sending random and mutated
# datagrams of every opcode (lengths, counts, texts, ids) and junk console
# lines beside a few well-behaved devices. Afterwards the server must still
# greet a console client, stop with exit status 0 at SIGTERM and have
# written no sanitizer report. Prints what was sent, by opcode.
#
#   bench/hostile.sh                                  5 minutes, build/
#   HOSTILE_SECONDS=60 TAMBER_BUILD_DIR=build-asan bench/hostile.sh
#
# Knobs (environment): TAMBER_BUILD_DIR (build), HOSTILE_SECONDS (300),
# HOSTILE_RATE (datagrams per second, 500), HOSTILE_SEED.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/common.sh

build=${TAMBER_BUILD_DIR:-build}
server=$build/tamber-server
seconds=${HOSTILE_SECONDS:-300}
rate=${HOSTILE_RATE:-500}
seed=()
[ -n "${HOSTILE_SEED:-}" ] && seed=(--seed "$HOSTILE_SEED")

if [ "$(id -u)" -ne 0 ]; then
  echo "hostile.sh needs root (network namespaces)" >&2
  exit 1
fi
[ -x "$server" ] || { echo "no server at $server: build it first" >&2; exit 1; }

tag=hostile$$
srv_ns=tb-$tag-srv
peer_ns=tb-$tag-peer
work=$(mktemp -d /tmp/tamber-hostile-XXXXXX)
pid=
cleanup() {
  trap - EXIT INT TERM
  bench_stop "$pid"
  wait 2>/dev/null || true
  scripts/vlan.sh down "$tag"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

bench_write_ini "$work"

scripts/vlan.sh up "$tag"
ip netns exec "$srv_ns" "$server" -i "$work/tamber.ini" >"$work/stdout" 2>"$work/stderr" &
pid=$!
sleep 3
kill -0 "$pid" 2>/dev/null || { echo "server ended during start-up:" >&2; cat "$work/stderr" >&2; exit 1; }

sim_status=0
python3 tools/tamber_sim.py --netns "$peer_ns" --devices 4 --services-per-device 3 --churn 1 \
  --hostile --hostile-rate "$rate" --duration "$seconds" --ramp 1 \
  --report "$work/report.json" "${seed[@]}" >"$work/sim.log" 2>&1 || sim_status=$?

# Still serving: the console greets a new client.
answers=$(ip netns exec "$peer_ns" python3 - <<'EOF'
import socket
try:
    with socket.create_connection(("10.213.0.1", 11244), timeout=5) as console:
        console.settimeout(5)
        greeting = console.recv(4096)
        print("yes" if b"Welcome to" in greeting else "no (greeting %r)" % greeting[:80])
except OSError as error:
    print("no (%s)" % error)
EOF
) || answers="no (check failed)"

alive=yes
kill -0 "$pid" 2>/dev/null || alive=no
[ "$alive" = yes ] && kill -TERM "$pid"
set +e
wait "$pid"
status=$?
set -e
pid=

echo "== hostile: $seconds s at $rate datagrams/s, server $server"
echo "simulator exit status: $sim_status"
echo "server greets a console client after the run: $answers"
if [ "$alive" = yes ] && [ "$status" -eq 0 ]; then
  echo "crash: no (exit status 0 at SIGTERM)"
else
  echo "crash: YES (alive before SIGTERM: $alive, exit status $status)"
  tail -20 "$work/stderr"
fi
if grep -qE 'ERROR: AddressSanitizer|runtime error:|LeakSanitizer' "$work/stderr"; then
  echo "sanitizer reports: YES"
  grep -E -A5 'ERROR: AddressSanitizer|runtime error:|LeakSanitizer' "$work/stderr" | head -40
else
  echo "sanitizer reports: none"
fi
python3 - "$work/report.json" <<'EOF'
import json, sys
try:
    report = json.load(open(sys.argv[1]))
except (OSError, ValueError) as error:
    print(f"no simulator report: {error}")
    sys.exit(0)
hostile = report.get("hostile", {})
print(f"hostile datagrams sent: {hostile.get('sent', 0)}; console lines {hostile.get('console_lines', 0)}, "
      f"console datagrams {hostile.get('console_udp', 0)}")
for opcode, count in sorted(hostile.get("by_opcode", {}).items()):
    print(f"  {opcode}: {count}")
EOF
