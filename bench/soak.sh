#!/usr/bin/env bash
# Soak run: the server with 32 user slots (synology/arch = max) in a private
# virtual LAN against a simulated installation (tools/tamber_sim.py): 60
# room devices with 15 room services each, 8 console clients with the status
# feed on, constant churn and a little datagram loss, for a bounded time.
# Then churn stops; after a settle period the console lists and the manifest
# store are compared with the simulator, and the idle CPU is sampled with the
# registry still full. Prints: crash or not, peak RSS at 1 min and at the
# end, list and manifest agreement, "transmit ring full" in the syslog file,
# tick-time figures (TAMBER_TICK_HISTOGRAM) and idle CPU.
#
#   bench/soak.sh                        10 minutes (SOAK_SECONDS=600)
#   SOAK_SECONDS=120 bench/soak.sh       shorter
#   SOAK_MODE=tick bench/soak.sh         full registry: 63 devices sharing
#                                        1024 minus the server's own service
#                                        records (bench/tick_budget.sh)
#
# Knobs (environment): TAMBER_BUILD_DIR (build), SOAK_SECONDS (600),
# SOAK_DEVICES (60), SOAK_SERVICES (15 per device), SOAK_CONSOLES (8),
# SOAK_CHURN (events per second, 2), SOAK_DROP (0.01), SOAK_SETTLE (45),
# IDLE_SECONDS (30), SOAK_SEED, SOAK_KEEP=1 (keep the work directory),
# SOAK_TMPDIR (/tmp; where the work directory with the manifest store lives).
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/common.sh

mode=${SOAK_MODE:-soak}
build=${TAMBER_BUILD_DIR:-build}
server=$build/tamber-server
seconds=${SOAK_SECONDS:-600}
settle=${SOAK_SETTLE:-45}
idle=${IDLE_SECONDS:-30}
consoles=${SOAK_CONSOLES:-8}
churn=${SOAK_CHURN:-2}
drop=${SOAK_DROP:-0.01}
if [ "$mode" = tick ]; then
  devices=${SOAK_DEVICES:-63}
  layout=(--fill-registry)
else
  devices=${SOAK_DEVICES:-60}
  layout=(--services-per-device "${SOAK_SERVICES:-15}")
fi
seed=()
[ -n "${SOAK_SEED:-}" ] && seed=(--seed "$SOAK_SEED")

if [ "$(id -u)" -ne 0 ]; then
  echo "soak.sh needs root (network namespaces)" >&2
  exit 1
fi
if [ ! -x "$server" ]; then
  bash scripts/install-deps.sh
  cmake -S . -B "$build"
  cmake --build "$build" -j2
fi

tag=soak$$
srv_ns=tb-$tag-srv
peer_ns=tb-$tag-peer
work=$(mktemp -d "${SOAK_TMPDIR:-/tmp}/tamber-soak-XXXXXX")
pid=
sim_pid=
cleanup() {
  trap - EXIT INT TERM
  bench_stop "$sim_pid"
  bench_stop "$pid"
  wait 2>/dev/null || true
  scripts/vlan.sh down "$tag"
  if [ -n "${SOAK_KEEP:-}" ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

bench_write_ini "$work" -e "s|^(arch[[:space:]]*=).*|\1 max|"
keys=$(grep -cE '^[[:space:]]*[^;#[[:space:]][^=]*=' "$work/tamber.ini")
ticks=$work/ticks.txt

scripts/vlan.sh up "$tag"
TAMBER_TICK_HISTOGRAM=$ticks ip netns exec "$srv_ns" stdbuf -oL -eL "$server" -i "$work/tamber.ini" \
  >"$work/stdout" 2>"$work/stderr" &
pid=$!
started=$(date +%s)
for _ in $(seq 1 300); do
  kill -0 "$pid" 2>/dev/null || { echo "server ended during start-up:" >&2; cat "$work/stderr" >&2; exit 1; }
  [ "$(grep -c '^pass_2:' "$work/stderr" || true)" -ge "$keys" ] && break
  sleep 0.1
done
# The stored masks are adapted 10 s after start; let that pass too.
sleep 11

python3 tools/tamber_sim.py --netns "$peer_ns" --devices "$devices" "${layout[@]}" \
  --consoles "$consoles" --churn "$churn" --drop "$drop" --duration "$seconds" --ramp 10 \
  --settle "$settle" --check --manifest-dir "$work/manifest" --hold $((idle + 30)) \
  --report "$work/report.json" "${seed[@]}" >"$work/sim.log" 2>&1 &
sim_pid=$!

memory() { awk '/^VmHWM|^VmRSS/ {printf "%s %s %s  ", $1, $2, $3}' /proc/"$pid"/status 2>/dev/null; }
mem_1min=
next_mark=60
: >"$work/memory.log"
# Stop at the idle phase, noting memory once a minute meanwhile.
while kill -0 "$sim_pid" 2>/dev/null && ! grep -q 'phase hold' "$work/sim.log"; do
  now=$(date +%s)
  if [ -z "$mem_1min" ] && [ $((now - started)) -ge 60 ]; then mem_1min=$(memory); fi
  if [ $((now - started)) -ge "$next_mark" ]; then
    echo "$((now - started)) s: $(memory)" >>"$work/memory.log"
    next_mark=$((next_mark + 60))
  fi
  if [ ! -e "$work/ticks_churn_start.txt" ] && grep -q 'phase churn' "$work/sim.log"; then
    cp "$ticks" "$work/ticks_churn_start.txt" 2>/dev/null || true
  fi
  if [ ! -e "$work/ticks_churn_end.txt" ] && grep -q 'phase settle' "$work/sim.log"; then
    cp "$ticks" "$work/ticks_churn_end.txt" 2>/dev/null || true
  fi
  kill -0 "$pid" 2>/dev/null || break
  sleep 1
done

snapshot() { # waits for the histogram's next rewrite, then copies it
  local before
  before=$(stat -c %Y.%s "$ticks" 2>/dev/null || echo none)
  for _ in $(seq 1 150); do
    [ "$(stat -c %Y.%s "$ticks" 2>/dev/null || echo none)" != "$before" ] && break
    sleep 0.1
  done
  sleep 0.2
  cp "$ticks" "$1" 2>/dev/null || : >"$1"
}

idle_cpu=
if kill -0 "$pid" 2>/dev/null && kill -0 "$sim_pid" 2>/dev/null; then
  snapshot "$work/ticks_idle_start.txt"
  cpu() { sed 's/.*) //' /proc/"$pid"/stat | awk '{print $12 + $13}'; }
  c0=$(cpu); w0=$(date +%s.%N)
  sleep "$idle"
  c1=$(cpu); w1=$(date +%s.%N)
  idle_cpu=$(awk -v a="$c0" -v b="$c1" -v hz="$(getconf CLK_TCK)" -v w0="$w0" -v w1="$w1" \
    'BEGIN { printf "%.2f %% of one core (%.2f s CPU in %.1f s)", 100 * (b - a) / hz / (w1 - w0), (b - a) / hz, w1 - w0 }')
  snapshot "$work/ticks_idle_end.txt"
fi
mem_end=$(memory)
udp_drops=$(ip netns exec "$srv_ns" awk '/^Udp:/ { if (++n == 2) print "RcvbufErrors " $6 ", InErrors " $4 }' /proc/net/snmp)

wait "$sim_pid" || echo "simulator ended with status $?"
sim_pid=
alive=yes
kill -0 "$pid" 2>/dev/null || alive=no
status=
if [ "$alive" = yes ]; then
  kill -TERM "$pid"
  for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
fi
set +e
wait "$pid"
status=$?
set -e
pid=

echo "== soak ($mode): $devices devices, $seconds s churn ($churn/s, drop $drop), $consoles consoles"
if [ "$alive" = yes ] && [ "$status" -eq 0 ]; then
  echo "crash: no (running until SIGTERM, exit status 0)"
else
  echo "crash: YES (alive before SIGTERM: $alive, exit status $status)"
  tail -20 "$work/stderr"
fi
echo "memory at 1 min: ${mem_1min:-n/a}"
echo "memory at end:   $mem_end"
echo "memory each minute:"; sed 's/^/  /' "$work/memory.log"
echo "server UDP receive drops: $udp_drops"
if grep -q 'transmit ring full' "$work/syslog/syslog.log" 2>/dev/null; then
  echo "transmit ring full: YES ($(grep -c 'transmit ring full' "$work/syslog/syslog.log") lines)"
else
  echo "transmit ring full: no"
fi
echo "idle CPU (no churn, registry full): ${idle_cpu:-n/a}"

python3 - "$work" <<'EOF'
import json, sys
from pathlib import Path
work = Path(sys.argv[1])

def histogram(path):
    stats, buckets = {}, {}
    try:
        text = path.read_text()
    except OSError:
        return None
    for line in text.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[0] == "bucket_us":
            buckets[int(parts[1].rstrip("+"))] = int(parts[2])
        elif len(parts) == 2:
            stats[parts[0]] = int(parts[1])
    return stats, buckets

def figures(stats, buckets, run_max=None):
    """Median and percentiles from 1-us buckets; the last bucket (3000)
    holds every tick of 3 ms and more."""
    n = sum(buckets.values())
    if not n:
        return "no ticks"
    def show(us):
        return f">={us}" if us >= 3000 else str(us)
    def q(f):
        want, seen = f * n, 0
        for us in sorted(buckets):
            seen += buckets[us]
            if seen >= want:
                return show(us)
    top = max(us for us, c in buckets.items() if c)
    longest = show(top) if top < 3000 or run_max is None else str(run_max)
    over300, over3000 = stats.get("over_300us", 0), stats.get("over_3000us", 0)
    return (f"{n} ticks, median {q(0.5)} us, p99 {q(0.99)} us, p99.9 {q(0.999)} us, max {longest} us, "
            f"over 0.3 ms {over300} ({100 * over300 / n:.3f} %), over 3 ms {over3000}")

whole = histogram(work / "ticks.txt")
if whole:
    s, b = whole
    print(f"ticks, whole run: {figures(s, b, s.get('max_us'))}")
for label, first, last in (("churn (10 s snapshots)", "ticks_churn_start.txt", "ticks_churn_end.txt"),
                           ("idle window", "ticks_idle_start.txt", "ticks_idle_end.txt")):
    a, z = histogram(work / first), histogram(work / last)
    if not (a and z):
        continue
    diff = {us: z[1].get(us, 0) - a[1].get(us, 0) for us in z[1]}
    counters = {k: z[0].get(k, 0) - a[0].get(k, 0) for k in ("over_300us", "over_3000us")}
    window_max = z[0].get("max_us") if z[0].get("max_us", 0) > a[0].get("max_us", 0) else None
    print(f"ticks, {label}: {figures(counters, {k: v for k, v in diff.items() if v > 0}, window_max)}")

try:
    r = json.loads((work / "report.json").read_text())
except (OSError, ValueError) as e:
    print(f"simulator report missing: {e}")
    sys.exit(0)
m = r.get("manifests", {})
print(f"simulator: {r['devices']} devices, {r['services']} services; announced {r['devices_announced']} devices, "
      f"{r['services_announced']} services; datagrams sent {r['datagrams_sent']}, received "
      f"{r['datagrams_received']}, dropped on purpose {r['dropped_out']} out / {r['dropped_in']} in")
print(f"churn events: {r['churn']}")
c = r["consoles"]
print(f"consoles: {c['clients']} clients, {c['open']} open at the end, {c['lines']} lines / {c['bytes']} bytes read, "
      f"{c['disconnects']} disconnects")
lists = r.get("lists", {})
for kind in ("devices", "services"):
    l = lists.get(kind, {})
    print(f"console list {kind}: {'AGREE' if l.get('ok') else 'DISAGREE'} (expected {l.get('expected')}, "
          f"listed {l.get('listed')}, missing {l.get('missing_count')}, mismatched {l.get('mismatch_count')}, "
          f"unexpected {len(l.get('unexpected', []))})")
    for key in ("missing", "mismatch", "unexpected"):
        if l.get(key):
            print(f"  {key}: {l[key][:5]}")
ms = r.get("store", {})
if "rooms" in ms:
    print(f"manifests: {ms['rooms']} rooms, {ms['on_disk']} on disk as last published, "
          f"{ms['listed_with_stamp']} listed with their stamp; commits to users: "
          f"{len(ms['commits'])} users, {ms['commits_ok']} on disk and published -> {'OK' if ms['ok'] else 'NOT OK'}")
    for key in ("missing", "stale", "unlisted"):
        if ms.get(key):
            print(f"  {key}: {ms[key][:5]}")
print(f"manifest traffic: {r['manifests']}")
print(f"server syslog (top): {r['server_syslog']['top'][:12]}")
EOF
