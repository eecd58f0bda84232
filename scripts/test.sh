#!/usr/bin/env bash
# Installs what is missing, builds into build/ (or $TAMBER_BUILD_DIR) and
# runs every test: the unit tests and the end-to-end tests (real server in
# a private virtual LAN; these need root). Extra arguments go to ctest, e.g. -L unit,
# -R e2e.test_startup, -j2. Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
build=${TAMBER_BUILD_DIR:-build}
cmake -S . -B "$build"
cmake --build "$build" -j2
if [ "$(id -u)" -ne 0 ]; then
  echo "note: not root, so the end-to-end tests (network namespaces) are skipped" >&2
fi
ctest --test-dir "$build" --output-on-failure "$@"
