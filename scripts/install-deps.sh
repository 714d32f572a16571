#!/usr/bin/env bash
# Installs everything the build, the tests and the Windows cross-build need on Debian 12.
# Safe to run again; the package mirror is sometimes caught mid-sync, so a failed update is
# retried and then the install goes on with the lists it has.
set -u
export DEBIAN_FRONTEND=noninteractive

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

for attempt in 1 2 3; do
  $SUDO apt-get update -q && break
  echo "apt-get update failed (attempt $attempt); retrying" >&2
  sleep $((attempt * 5))
done

# Packaged services must not start on their own or hold ports the tests use.
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee /usr/sbin/policy-rc.d >/dev/null
  $SUDO chmod +x /usr/sbin/policy-rc.d
  trap '$SUDO rm -f /usr/sbin/policy-rc.d' EXIT
fi

packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  libboost-dev libcurl4-openssl-dev libnl-route-3-dev libnl-3-dev zlib1g-dev libdeflate-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev
  clang-format iproute2 iputils-ping curl procps
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64
  tftpd-hpa lighttpd avahi-daemon
  python3 python3-pip python3-setuptools python3-pytest
)
if ! $SUDO apt-get install -y -q --no-install-recommends "${packages[@]}"; then
  echo "apt-get install failed" >&2
  exit 1
fi
