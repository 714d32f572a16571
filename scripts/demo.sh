#!/usr/bin/env bash
# The main job: installs what is needed, builds the library and the qxnet program in Release, and
# runs `qxnet demo`: simulated cameras on loopback, found by broadcast and mDNS, a file read and a
# web page fetched from them. Nothing leaves 127.0.0.0/8.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "${QXNET_SKIP_DEPS:-0}" = 1 ] || bash scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQXNET_BUILD_TESTS=OFF
cmake --build build/release -j "$(nproc)" --target qxnet-cli
exec build/release/tools/qxnet/qxnet demo "$@"
