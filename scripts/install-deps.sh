#!/usr/bin/env bash
# Installs the Debian packages the server, its tests and its tools need.
# Does nothing when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libavformat-dev libavcodec-dev libavfilter-dev libswresample-dev libavutil-dev
  libcurl4-openssl-dev libinih-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang-14 libclang-rt-14-dev
  iproute2 procps python3 time
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
