#!/usr/bin/env bash
# Installs what the tests need, builds every configuration and runs every test:
#   release (whole suite, fuzz corpora replayed) · asan+ubsan (whole suite, fuzz corpora
#   replayed) · tsan (threaded suites) · fuzz (each target for its share of the fuzz budget) ·
#   windows (i686 and x86_64 DLLs, x86_64 tests under Wine) · consumer (every installed header
#   compiled on its own, the installed package used by a separate project, and its C interface
#   by a C program built with clang) · python (the ctypes package installed with pip, its tests
#   against the simulators). Benchmarks are built, not run.
# Usage: scripts/test.sh [stage ...]   (default: every stage; "deps" can be skipped with
# QXNET_SKIP_DEPS=1). Build trees go to build/ci-*.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)
# The fuzz stage's budget, spread evenly over the targets: 630 s is 90 s for each of seven targets,
# long enough to meet inputs that a 20-second run never builds, and keeps CI well inside its 40
# minutes. QXNET_FUZZ_SECONDS sets the time of each target instead.
fuzz_total_seconds=${QXNET_FUZZ_TOTAL_SECONDS:-630}
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(deps release asan tsan fuzz windows consumer python)

declare -a summary
passed=0
failed=0
status=0

stage_time() {  # name seconds result
  summary+=("$(printf '%-10s %5ss  %s' "$1" "$2" "$3")")
}

# Runs ctest in a build tree and adds its counts to the totals.
run_ctest() {
  local dir=$1
  shift
  local log
  log=$(mktemp)
  (cd "$dir" && ctest --output-on-failure -j "$jobs" "$@") 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
  if [ -n "$line" ]; then
    local total bad
    bad=$(sed -E 's/.*tests passed, ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/.*tests passed, ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
  fi
  rm -f "$log"
  return "$rc"
}

configure_build() {  # dir, cmake args...
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" -G Ninja "$@" && cmake --build "$dir" -j "$jobs"
}

stage_deps() {
  [ "${QXNET_SKIP_DEPS:-0}" = 1 ] && return 0
  bash scripts/install-deps.sh
}

stage_release() {
  configure_build build/ci-release -DCMAKE_BUILD_TYPE=Release -DQXNET_BUILD_BENCH=ON &&
    run_ctest build/ci-release
}

stage_asan() {
  configure_build build/ci-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQXNET_BUILD_TOOLS=OFF \
    -DQXNET_SANITIZE=address,undefined &&
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
      run_ctest build/ci-asan
}

stage_tsan() {
  # Only the threaded suites run here, so only they are built.
  cmake -S "$root" -B build/ci-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQXNET_BUILD_TOOLS=OFF -DQXNET_SANITIZE=thread || return 1
  local targets
  targets=$(cd build/ci-tsan && ctest -N -L threaded | sed -nE 's/^ *Test +#[0-9]+: +([^ ]+).*/\1/p')
  [ -n "$targets" ] || { echo "no threaded suites found" >&2; return 1; }
  # shellcheck disable=SC2086
  cmake --build build/ci-tsan -j "$jobs" --target $targets &&
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest build/ci-tsan -L threaded
}

stage_fuzz() {
  CC=clang CXX=clang++ configure_build build/ci-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQXNET_BUILD_TESTS=OFF -DQXNET_BUILD_TOOLS=OFF -DQXNET_BUILD_FUZZ=ON || return 1
  local rc=0 target name corpus fuzz_seconds
  local -a targets=()
  for target in build/ci-fuzz/fuzz/fuzz_*; do
    [ -x "$target" ] && targets+=("$target")
  done
  [ ${#targets[@]} -gt 0 ] || { echo "no fuzz targets built" >&2; return 1; }
  fuzz_seconds=${QXNET_FUZZ_SECONDS:-$((fuzz_total_seconds / ${#targets[@]}))}
  for target in "${targets[@]}"; do
    name=$(basename "$target")
    corpus=$(mktemp -d)
    [ -d "fuzz/corpus/${name#fuzz_}" ] && cp -r "fuzz/corpus/${name#fuzz_}/." "$corpus/"
    echo "== $name: ${fuzz_seconds}s"
    if "$target" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 "$corpus" 2>&1 | tail -15; then
      passed=$((passed + 1))
    else
      echo "FUZZ FINDING in $name" >&2
      failed=$((failed + 1))
      rc=1
    fi
    rm -rf "$corpus"
  done
  return $rc
}

stage_windows() {
  bash scripts/windows.sh
}

# The C interface from another compiler: clang builds the C example against the installed
# package (pkg-config), and it discovers, reads and fetches from the simulators on loopback.
c_consumer() {  # prefix
  local pc=(env PKG_CONFIG_PATH="$1/lib/pkgconfig" pkg-config --define-variable=prefix="$1")
  # shellcheck disable=SC2046
  clang -std=c99 -Wall -Wextra -pedantic -Werror $("${pc[@]}" --cflags qxnet) \
    examples/c_consumer.c $("${pc[@]}" --libs qxnet) -o build/ci-consumer/qxnet-c-consumer-clang &&
    LD_LIBRARY_PATH="$1/lib" QXNET_TRACE=off bash scripts/with-sims.sh build/ci-release/sim \
      127.0.3.5 sh -c 'build/ci-consumer/qxnet-c-consumer-clang "$QXNET_DISCOVERY_SIM_PORT" \
        "$QXNET_TFTP_SIM_ADDRESS" "$QXNET_TFTP_SIM_PORT" portable-2904 "$QXNET_HTTP_LIVE_SERVER"'
}

stage_consumer() {
  local prefix
  prefix=$(mktemp -d)
  cmake --install build/ci-release --prefix "$prefix" &&
    cmake -S cmake/header-check -B build/ci-header-check -G Ninja \
      -DQXNet_DIR="$prefix/lib/cmake/QXNet" &&
    cmake --build build/ci-header-check -j "$jobs" &&
    cmake -S examples -B build/ci-consumer -G Ninja -DCMAKE_PREFIX_PATH="$prefix" &&
    cmake --build build/ci-consumer &&
    LD_LIBRARY_PATH="$prefix/lib" QXNET_TRACE=off build/ci-consumer/qxnet-consumer &&
    PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --exists qxnet &&
    c_consumer "$prefix"
  local rc=$?
  rm -rf "$prefix"
  [ $rc -eq 0 ] && passed=$((passed + 1)) || failed=$((failed + 1))
  return $rc
}

# The Python package as users get it: pip installs it from the repository with Debian's
# setuptools and nothing downloaded; Debian's interpreter and pytest run its tests against the
# release build's library and simulators (from the install folder, so that the installed copy
# is the one imported).
stage_python() {
  local target rc
  target=$(mktemp -d)
  /usr/bin/python3 -m pip install -q --no-build-isolation --no-index --target "$target" ./python &&
    (cd "$target" && PYTHONPATH="$target" QXNET_LIBRARY="$root/build/ci-release/qxnet/libqxnet.so.0" \
      QXNET_SIM_DIR="$root/build/ci-release/sim" QXNET_TRACE=off \
      bash "$root/scripts/with-sims.sh" "$root/build/ci-release/sim" 127.0.3.5 \
      /usr/bin/python3 -m pytest -q -p no:cacheprovider "$root/python/tests")
  rc=$?
  rm -rf "$target" python/build python/qxnet.egg-info
  [ $rc -eq 0 ] && passed=$((passed + 1)) || failed=$((failed + 1))
  return $rc
}

total_start=$SECONDS
for stage in "${stages[@]}"; do
  echo
  echo "======== stage: $stage ========"
  start=$SECONDS
  if "stage_$stage"; then
    stage_time "$stage" $((SECONDS - start)) ok
  else
    stage_time "$stage" $((SECONDS - start)) FAILED
    status=1
  fi
done

echo
echo "======== stage times ========"
printf '%s\n' "${summary[@]}"
echo "total      $((SECONDS - total_start))s"
echo "qxnet: $passed passed, $failed failed"
exit $status
