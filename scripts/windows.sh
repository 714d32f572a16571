#!/usr/bin/env bash
# Cross-builds the Windows DLL with Debian's mingw-w64 compilers and runs the portable tests
# under Wine:
#   build/ci-win-i686   32-bit qxnet.dll and import library (built, not run)
#   build/ci-win-x64    64-bit qxnet.dll, import library and portable tests, run with ctest
#   build/wine-prefix   the Wine prefix, made once by wineboot and kept for later runs
# Then installs the 64-bit build, checks the installed files, builds examples/ against the
# installed import library and runs it under Wine with the installed qxnet.dll; the C example,
# built by the mingw C compiler, runs against the simulators. The DLL's exported C functions
# are checked against qxnet/c/qxnet.h.
# Works without a display and without standard input. Exits non-zero when anything fails.
# Usage: scripts/windows.sh   (QXNET_JOBS overrides the number of parallel jobs)
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${QXNET_JOBS:-$(nproc)}
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
toolchains=$root/cmake/toolchains

export WINEPREFIX=$root/build/wine-prefix
export WINEDEBUG=-all
# No Mono or Gecko installer dialogs; nothing here needs them.
export WINEDLLOVERRIDES="mscoree,mshtml="
# Wine must not look for a display, whatever the caller's session has.
unset DISPLAY WAYLAND_DISPLAY

declare -a timings
status=0

step() {  # name command...
  local name=$1
  shift
  echo
  echo "==== windows: $name"
  local start=$SECONDS rc
  "$@" </dev/null
  rc=$?
  local took=$((SECONDS - start))
  if [ $rc -eq 0 ]; then
    timings+=("$(printf '%-24s %5ss  ok' "$name" "$took")")
  else
    timings+=("$(printf '%-24s %5ss  FAILED (exit %s)' "$name" "$took" "$rc")")
    status=1
  fi
  echo "==== windows: $name: ${took}s, exit $rc"
  return $rc
}

check_tools() {
  local missing=0 tool
  for tool in x86_64-w64-mingw32-g++-posix i686-w64-mingw32-g++-posix cmake ninja; do
    if ! command -v "$tool" >/dev/null; then
      echo "missing $tool (run scripts/install-deps.sh)" >&2
      missing=1
    fi
  done
  for tool in "$wine" "$wineserver"; do
    if [ ! -x "$tool" ]; then
      echo "missing $tool (run scripts/install-deps.sh: packages wine, wine64)" >&2
      missing=1
    fi
  done
  if [ ! -f /usr/src/googletest/CMakeLists.txt ]; then
    echo "missing /usr/src/googletest (run scripts/install-deps.sh: package googletest)" >&2
    missing=1
  fi
  return $missing
}

build() {  # directory toolchain [target]
  cmake -S "$root" -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$toolchains/$2" -DQXNET_BUILD_TOOLS=OFF \
    -DQXNET_WINEPREFIX="$WINEPREFIX" &&
    cmake --build "$1" -j "$jobs" ${3:+--target "$3"} &&
    for file in qxnet/qxnet.dll qxnet/libqxnet.dll.a; do
      [ -f "$1/$file" ] || { echo "$1/$file was not built" >&2; return 1; }
    done
}

# The first start of a prefix takes a while (wineboot makes the registry and the Windows
# folders); later runs find it ready and only bring it up to date. Waiting for the wine server
# to finish keeps the tests from racing a half-made prefix.
prepare_prefix() {
  mkdir -p "$(dirname "$WINEPREFIX")"
  "$wine" wineboot --init && "$wineserver" -w
}

# The mDNS client without an address opens on the first address of the host's name; what the
# Linux resolver answers for it is what the client must take under Wine too.
run_tests() {
  QXNET_HOST_NAME_ADDRESS=$(getent ahostsv4 "$(hostname)" | awk 'NR == 1 { print $1 }')
  export QXNET_HOST_NAME_ADDRESS
  (cd build/ci-win-x64 && ctest -L portable --output-on-failure -j "$jobs")
}

# Sets sim to the path of the native simulator program $1. The Release stage has usually built
# it already; otherwise it is built here.
sim_program() {
  sim=build/ci-release/sim/$1
  [ -x "$sim" ] && return 0
  sim=build/ci-win-sim/sim/$1
  cmake -S "$root" -B build/ci-win-sim -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DQXNET_BUILD_TESTS=OFF -DQXNET_BUILD_TOOLS=ON >/dev/null &&
    cmake --build build/ci-win-sim -j "$jobs" --target "$1"
}

# The discovery tests under Wine (tests/scan) find the demo
# cameras of qxcam-sim by broadcast to 127.255.255.255 and by mDNS on 127.0.0.1, and the TFTP
# tests (tests/tftp/QXTFTPServerTest.cpp) read the generated files of the sizes they
# expect from the first demo camera, 127.0.1.1. The simulator is a Linux program, built natively
# here and run on loopback while the portable tests run, then stopped by its process id. Its
# discovery responder binds the wildcard address so that the loopback broadcast reaches it, and
# answers requesters in 127.0.0.0/8 only; its mDNS responder serves 127.0.0.1 only.
cam_sim_pid=
start_cam_sim() {
  local log=build/qxcam-sim.log port= tftp= sim
  sim_program qxcam-sim || return 1
  "$sim" --port 0 --tftp-port 0 --no-web --generate portable-1450=10153 \
    --generate portable-2904=874103 --seconds 3600 >"$log" 2>&1 &
  cam_sim_pid=$!
  for _ in $(seq 100); do
    grep -q '^qxcam-sim: mdns on 127.0.0.1:5353$' "$log" &&
      port=$(sed -n 's/^qxcam-sim: [0-9]* cameras, discovery on 0.0.0.0:\([0-9]*\)$/\1/p' "$log") &&
      tftp=$(sed -n 's/^qxcam-sim: camera [0-9a-f:]* at 127.0.1.1: tftp \([0-9]*\).*$/\1/p' "$log")
    [ -n "$port" ] && [ -n "$tftp" ] && break
    sleep 0.1
  done
  [ -n "$port" ] && [ -n "$tftp" ] || { cat "$log" >&2; return 1; }
  export QXNET_DISCOVERY_SIM_PORT=$port QXNET_MDNS_SIM=1 QXNET_TFTP_SIM_PORT=$tftp
  echo "qxcam-sim (pid $cam_sim_pid) on 0.0.0.0:$port, mDNS on 127.0.0.1:5353, TFTP on 127.0.1.1:$tftp"
}
stop_cam_sim() {
  [ -n "$cam_sim_pid" ] || return 0
  kill "$cam_sim_pid" && wait "$cam_sim_pid"
  cam_sim_pid=
}

# The HTTP tests under Wine fetch from lighttpd on a loopback address of their own (WinHTTP
# always asks port 80), started by tests/http/start_lighttpd.sh and stopped by its process id.
http_server_pid=
http_server_dir=
start_http_server() {
  local started
  started=$(sh tests/http/start_lighttpd.sh 127.0.3.1) || return 1
  http_server_pid=${started%% *}
  http_server_dir=${started#* }
  export QXNET_HTTP_LIVE_SERVER=127.0.3.1
  echo "lighttpd (pid $http_server_pid) on 127.0.3.1:80"
}
stop_http_server() {
  [ -n "$http_server_pid" ] || return 0
  kill "$http_server_pid"
  rm -rf "$http_server_dir"
  http_server_pid=
}

# The installed package: the DLL in bin/, its import library in lib/, the headers under
# include/qxnet/, each of which compiles on its own (cmake/header-check); a program built
# against it runs under Wine with the installed DLL.
check_install() {
  local prefix consumer rc
  prefix=$(mktemp -d)
  consumer=$root/build/ci-win-consumer
  # A project of a user's, built against the installed package with the cross compiler.
  local package=(-G Ninja -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_TOOLCHAIN_FILE="$toolchains/mingw-x86_64.cmake" -DQXNet_DIR="$prefix/lib/cmake/QXNet"
    -DBoost_INCLUDE_DIR="$root/build/ci-win-x64/boost-headers")
  cmake --install build/ci-win-x64 --prefix "$prefix" &&
    for file in bin/qxnet.dll lib/libqxnet.dll.a include/qxnet/QXExport.h \
      include/qxnet/QXVersion.h include/qxnet/platform/QXSync.h \
      lib/cmake/QXNet/QXNetConfig.cmake; do
      [ -f "$prefix/$file" ] || { echo "not installed: $file" >&2; return 1; }
      echo "installed: $file"
    done &&
    ! find "$prefix/include" \( -path '*/win/*' -o -path '*/posix/*' \) | grep . &&
    cmake -S cmake/header-check -B build/ci-win-header-check "${package[@]}" &&
    cmake --build build/ci-win-header-check -j "$jobs" &&
    cmake -S examples -B "$consumer" "${package[@]}" &&
    cmake --build "$consumer" &&
    cp "$prefix/bin/qxnet.dll" "$consumer/" &&
    (cd "$consumer" && QXNET_TRACE=off "$wine" qxnet-consumer.exe)
  rc=$?
  rm -rf "$prefix"
  return $rc
}

# The C interface from the mingw C compiler (built by check_install with the other examples),
# run under Wine against the simulators: discovery, a file read and a page fetch.
run_c_consumer() {
  local rc
  start_cam_sim && start_http_server &&
    (cd build/ci-win-consumer && QXNET_TRACE=off "$wine" qxnet-c-consumer.exe \
      "$QXNET_DISCOVERY_SIM_PORT" 127.0.1.1 "$QXNET_TFTP_SIM_PORT" portable-2904 \
      "$QXNET_HTTP_LIVE_SERVER")
  rc=$?
  stop_cam_sim
  stop_http_server
  return $rc
}

# The servers go with the script, however it ends.
trap 'stop_cam_sim; stop_http_server' EXIT

total=$SECONDS
if step "tools" check_tools; then
  # The 32-bit DLL is built to prove it builds; only the 64-bit tests can run under wine64.
  step "build i686" build build/ci-win-i686 mingw-i686.cmake qxnet
  if step "build x86_64" build build/ci-win-x64 mingw-x86_64.cmake &&
    step "C exports" sh tests/c/check_exports.sh build/ci-win-x64/qxnet/qxnet.dll qxnet/c/qxnet.h &&
    step "wine prefix" prepare_prefix; then
    step "camera simulator" start_cam_sim
    step "http server" start_http_server
    step "portable tests (Wine)" run_tests
    stop_cam_sim
    stop_http_server
    step "install and consumer" check_install &&
      step "C consumer (Wine)" run_c_consumer
  fi
  # The wine server lingers a few seconds after the last program; wait for it to go.
  timeout 60 "$wineserver" -w
fi

echo
echo "==== windows: step times"
printf '%s\n' "${timings[@]}"
echo "total                    $((SECONDS - total))s"
exit $status
