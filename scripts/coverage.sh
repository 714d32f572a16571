#!/usr/bin/env bash
# Line and branch coverage of the library (qxnet/) by the whole test suite: a gcc --coverage build
# in build/coverage, every suite run once, and gcovr's summary. Throw and unreachable branches are
# left out of the branch count: they are the compiler's, not the code's. No compiler launcher: a
# cached object would carry another tree's coverage paths.
# Usage: scripts/coverage.sh [gcovr filter ...]   (default: qxnet/); QXNET_COVERAGE_TESTS, a ctest
# regular expression, runs only those suites.
set -uo pipefail
cd "$(dirname "$0")/.."
dir=${QXNET_COVERAGE_BUILD:-build/coverage}
filters=("$@")
[ ${#filters[@]} -gt 0 ] || filters=(qxnet/)
command -v gcovr >/dev/null || apt-get install -y gcovr >/dev/null

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQXNET_BUILD_TOOLS=ON \
  -DCMAKE_C_COMPILER_LAUNCHER= -DCMAKE_CXX_COMPILER_LAUNCHER= \
  -DCMAKE_C_FLAGS=--coverage -DCMAKE_CXX_FLAGS=--coverage \
  -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage >/dev/null || exit 1
cmake --build "$dir" -j "$(nproc)" >/dev/null || exit 1
find "$dir" -name '*.gcda' -delete
(cd "$dir" && ctest -j "$(nproc)" --timeout 600 ${QXNET_COVERAGE_TESTS:+-R "$QXNET_COVERAGE_TESTS"} >"$PWD/ctest.log" 2>&1) ||
  echo "some suites failed; see $dir/ctest.log" >&2
args=()
for f in "${filters[@]}"; do args+=(--filter "$f"); done
# Threaded suites may leave a counter that gcov cannot parse; one such line is not worth the run.
gcovr -r . "${args[@]}" --gcov-ignore-parse-errors --exclude-throw-branches --exclude-unreachable-branches \
  --print-summary -o "$dir/coverage.txt" "$dir"
