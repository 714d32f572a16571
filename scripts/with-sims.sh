#!/usr/bin/env bash
# Runs a command while the simulators answer on loopback, and stops them afterwards:
#   qxcam-sim   discovery on 0.0.0.0:$QXNET_DISCOVERY_SIM_PORT (answers loopback requesters only);
#               its first camera serves TFTP on $QXNET_TFTP_SIM_ADDRESS:$QXNET_TFTP_SIM_PORT with
#               the file "portable-2904" of 874103 bytes
#   lighttpd    $QXNET_HTTP_LIVE_SERVER:80 (tests/http/start_lighttpd.sh; needs root)
# Usage: scripts/with-sims.sh SIM_DIR HTTP_ADDRESS COMMAND [ARG...]
#   SIM_DIR: the build directory's sim/ that holds qxcam-sim.
set -uo pipefail
sim_dir=$(realpath "$1")
http_address=$2
shift 2
root=$(realpath "$(dirname "$0")/..")
logs=$(mktemp -d)
pids=()
http_dir=

stop() {
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  done
  [ -n "$http_dir" ] && rm -rf "$http_dir"
  rm -rf "$logs"
}
trap stop EXIT

# Starts a simulator and waits for the line that names its port (into $port): program, sed
# pattern, arguments.
start() {
  local program=$1 pattern=$2
  port=
  shift 2
  "$sim_dir/$program" "$@" >"$logs/$program.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    port=$(sed -n "s/$pattern/\1/p" "$logs/$program.log")
    [ -n "$port" ] && break
    sleep 0.1
  done
  [ -n "$port" ] || { cat "$logs/$program.log" >&2; return 1; }
}

# mDNS stays off: these clients do not use it, and port 5353 on loopback is left to others.
start qxcam-sim '^qxcam-sim: [0-9]* cameras, discovery on 0.0.0.0:\([0-9]*\)$' \
  --port 0 --tftp-port 0 --no-web --no-mdns --generate portable-2904=874103 --seconds 600 || exit 1
QXNET_DISCOVERY_SIM_PORT=$port
QXNET_TFTP_SIM_ADDRESS=127.0.1.1
QXNET_TFTP_SIM_PORT=
for _ in $(seq 100); do
  QXNET_TFTP_SIM_PORT=$(sed -n 's/^qxcam-sim: camera [0-9a-f:]* at 127.0.1.1: tftp \([0-9]*\).*$/\1/p' \
    "$logs/qxcam-sim.log")
  [ -n "$QXNET_TFTP_SIM_PORT" ] && break
  sleep 0.1
done
[ -n "$QXNET_TFTP_SIM_PORT" ] || { cat "$logs/qxcam-sim.log" >&2; exit 1; }
started=$(sh "$root/tests/http/start_lighttpd.sh" "$http_address") || exit 1
pids+=("${started%% *}")
http_dir=${started#* }
export QXNET_DISCOVERY_SIM_PORT QXNET_TFTP_SIM_ADDRESS QXNET_TFTP_SIM_PORT QXNET_HTTP_LIVE_SERVER=$http_address
echo "simulators: discovery port $QXNET_DISCOVERY_SIM_PORT, TFTP port $QXNET_TFTP_SIM_PORT," \
  "web server $http_address:80"
"$@"
