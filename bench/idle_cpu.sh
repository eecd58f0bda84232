#!/usr/bin/env bash
# Idle CPU use of the server: starts it in a private virtual LAN with the
# default configuration (etc/tamber.ini), lets start-up finish, then samples
# its CPU time (utime + stime of /proc/<pid>/stat) over a window and prints
# it as a percentage of one core, with the busiest threads.
#
#   bench/idle_cpu.sh               30 s window, build/ (built if missing)
#   IDLE_SECONDS=10 TAMBER_BUILD_DIR=build-x bench/idle_cpu.sh
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/common.sh

build=${TAMBER_BUILD_DIR:-build}
window=${IDLE_SECONDS:-30}
# Start-up waits 10 s before adapting stored manifests; idle begins after.
settle=${SETTLE_SECONDS:-11}
server=$build/tamber-server

if [ "$(id -u)" -ne 0 ]; then
  echo "idle_cpu.sh needs root (network namespaces)" >&2
  exit 1
fi
if [ ! -x "$server" ]; then
  bash scripts/install-deps.sh
  cmake -S . -B "$build"
  cmake --build "$build" -j2
fi

tag=bench$$
work=$(mktemp -d /tmp/tamber-bench-XXXXXX)
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
keys=$(grep -cE '^[[:space:]]*[^;#[[:space:]][^=]*=' "$work/tamber.ini")

scripts/vlan.sh up "$tag"
ip netns exec "tb-$tag-srv" stdbuf -oL -eL "$server" -i "$work/tamber.ini" \
  >"$work/stdout" 2>"$work/stderr" &
pid=$!

# Start-up done: every key has gone through pass 2.
for _ in $(seq 1 300); do
  kill -0 "$pid" 2>/dev/null || { echo "server ended during start-up:" >&2; cat "$work/stderr" >&2; exit 1; }
  [ "$(grep -c '^pass_2:' "$work/stderr" || true)" -ge "$keys" ] && break
  sleep 0.1
done
sleep "$settle"

# Ticks of the process and of each thread (fields after the ")" of comm).
ticks() { sed 's/.*) //' "$1" | awk '{print $12 + $13}'; }
declare -A before
for t in /proc/"$pid"/task/*; do before[${t##*/}]=$(ticks "$t/stat" 2>/dev/null || echo 0); done
t0=$(ticks /proc/"$pid"/stat)
w0=$(date +%s.%N)
sleep "$window"
kill -0 "$pid" 2>/dev/null || { echo "server ended during the measurement:" >&2; tail "$work/stderr" >&2; exit 1; }
t1=$(ticks /proc/"$pid"/stat)
w1=$(date +%s.%N)
hz=$(getconf CLK_TCK)

threads=$(ls /proc/"$pid"/task | wc -l)
rss=$(awk '/^VmRSS/ {print $2 " " $3}' /proc/"$pid"/status)
awk -v a="$t0" -v b="$t1" -v hz="$hz" -v w0="$w0" -v w1="$w1" -v n="$threads" -v rss="$rss" 'BEGIN {
  secs = w1 - w0
  printf "idle CPU: %.2f %% of one core (%.2f s CPU in %.1f s; %d threads; RSS %s)\n",
         100 * (b - a) / hz / secs, (b - a) / hz, secs, n, rss
}'
echo "busiest threads (CPU % of one core):"
for t in /proc/"$pid"/task/*; do
  id=${t##*/}
  now=$(ticks "$t/stat" 2>/dev/null) || continue
  name=$(cat "$t/comm" 2>/dev/null || echo "?")
  echo "$(( now - ${before[$id]:-0} )) $id $name"
done | sort -rn | head -5 | awk -v hz="$hz" -v secs="$window" '{
  printf "  %6.2f %%  tid %s  %s\n", 100 * $1 / hz / secs, $2, $3
}'

# What an empty thread on the same 3 ms schedule costs on this machine: the
# part of the figure that is the price of waking up, not the server's work.
floor_bin=$work/sleep_floor
if c++ -O2 -std=c++20 -o "$floor_bin" bench/sleep_floor.cpp 2>/dev/null; then
  "$floor_bin" 10
fi
