#!/usr/bin/env bash
# Tick budget with a full registry: 63 simulated devices share 1024 minus the
# server's own service records, so the server holds 64 devices and 1024
# service records. Runs bench/soak.sh in its tick mode: churn for
# TICK_SECONDS (120), then the lists and store are checked and the idle
# phase (no churn) is measured. Prints median and 99.9th percentile of the
# tick time for the churn phase and for the idle window, and the idle CPU.
#
#   bench/tick_budget.sh
#   TICK_SECONDS=300 SOAK_CHURN=1 bench/tick_budget.sh
#   SOAK_TMPDIR=/dev/shm bench/tick_budget.sh     state directory in memory
set -euo pipefail
cd "$(dirname "$0")/.."
export SOAK_MODE=tick
export SOAK_SECONDS=${TICK_SECONDS:-120}
exec bench/soak.sh
