#!/usr/bin/env bash
# Builds the benchmarks in Release and prints one table: what, ours, the reference measured in
# the same run, the ratio and the goal. Ratios are rate against rate (higher is better) except
# where the goal reads "<=" (memory or time against the reference). Rows that need root or a
# Debian peer (tftpd-hpa, curl, lighttpd, namespaces) say n/a where those are missing.
# Benchmarks are not part of CI's pass/fail; CI only builds them.
#
#   bash scripts/bench.sh            everything (several minutes)
#   QXNET_BENCH_ONLY=tftp bash scripts/bench.sh    one group: tftp, get, http, stream, mdns,
#                                                  net, broadcast, scan (comma-separated)
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${QXNET_BENCH_BUILD:-$root/build/bench}
only=${QXNET_BENCH_ONLY:-tftp,get,http,stream,mdns,net,broadcast,scan}
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQXNET_BUILD_BENCH=ON \
  -DQXNET_BUILD_TOOLS=ON "${launcher[@]}" >/dev/null || exit 2
cmake --build "$build" -j"${QXNET_JOBS:-2}" --target bench_tftp_read bench_http \
  bench_memory_stream bench_mdns bench_net bench_broadcast bench_scan qxnet-cli qxcam-sim \
  >/dev/null || exit 2

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
# The machine's load beside the table: on a shared machine it says how far to trust a row.
load_start=$(cut -d' ' -f1-3 /proc/loadavg)
wanted() { [[ ",$only," == *",$1,"* ]]; }
# Runs a benchmark with its results as JSON beside its printed output, both named as (the
# benchmark's own name with run).
run_as() {
  local as=$1 name=$2
  shift 2
  echo "running $as ..." >&2
  "$build/bench/$name" --benchmark_color=false --benchmark_out="$out/$as.json" \
    --benchmark_out_format=json "$@" >"$out/$as.txt" 2>&1 || true
}
run() { run_as "$1" "$@"; }

if wanted tftp; then
  run bench_tftp_read --benchmark_filter='/64/' --benchmark_enable_random_interleaving=true
  # The same reads with the heap kept between them, as the reference reader keeps its buffer:
  # what is left of the gap once the pages of a read's memory are not fresh from the kernel.
  GLIBC_TUNABLES=glibc.malloc.trim_threshold=4000000000:glibc.malloc.mmap_threshold=33554432 \
    run_as bench_tftp_read-kept bench_tftp_read --benchmark_enable_random_interleaving=true \
    --benchmark_filter='BM_(Reference|Sim|SimMemory)/64/'
fi
# Not a Google Benchmark program: its arguments are the body size (MB) and the small runs.
if wanted http; then
  echo "running bench_http ..." >&2
  "$build/bench/bench_http" 256 >"$out/bench_http.txt" 2>&1 || true
fi
wanted stream && run bench_memory_stream
wanted mdns && run bench_mdns
wanted net && run bench_net
wanted broadcast && run bench_broadcast
wanted scan && run bench_scan

# qxnet get against the simulator program, beside the reference reader against the same one.
if wanted get; then
  echo "running qxnet get ..." >&2
  "$build/sim/qxcam-sim" --port 0 --tftp-port 0 --no-web --no-mdns --generate f64=67108864 \
    --seconds 600 >"$out/sim.txt" 2>&1 &
  sim=$!
  port=""
  for _ in $(seq 50); do
    port=$(sed -n 's/^qxcam-sim: camera [0-9a-f:]* at 127.0.1.1: tftp \([0-9]*\).*/\1/p' "$out/sim.txt")
    [ -n "$port" ] && break
    sleep 0.1
  done
  # The file lands in memory (tmpfs), as the reference reader's does; the disk row adds what a
  # disk costs on top (the sync before the rename, and dropping the replaced file).
  shm=$(mktemp -d /dev/shm/qxbench-get.XXXXXX 2>/dev/null || echo "$out")
  [ "$shm" = "$out" ] && touch "$out/get-on-disk"
  for block in 1450 2904; do
    flag=""
    [ "$block" = 2904 ] && flag=--double
    for target in "$shm" "$out"; do
      name=get-$block.txt
      [ "$target" = "$out" ] && [ "$shm" != "$out" ] && name=getdisk-$block.txt
      for _ in 1 2 3; do
        start=$(date +%s.%N)
        "$build/tools/qxnet/qxnet" get 127.0.1.1 f64 -o "$target/f64" --port "$port" $flag \
          >/dev/null 2>&1 || echo "FAILED" >>"$out/$name"
        echo "$start $(date +%s.%N)" | awk '{print $2 - $1}' >>"$out/$name"
      done
      rm -f "$target/f64"
    done
    "$build/bench/bench_tftp_read" --reference-only=127.0.1.1:"$port":f64:67108864:"$block" \
      >>"$out/getref-$block.txt" 2>&1 || true
  done
  kill "$sim" 2>/dev/null
  wait "$sim" 2>/dev/null
  [ "$shm" != "$out" ] && rm -rf "$shm"
fi

python3 - "$out" <<'EOF'
import glob, json, os, re, statistics, sys

out = sys.argv[1]
rows = []  # what, ours, reference, ratio, goal


def text(name):
    path = os.path.join(out, name)
    if not os.path.exists(path):
        return ""
    return re.sub(r"\x1b\[[0-9;]*m", "", open(path).read())


# The read benchmark prints its own rows.
for line in text("bench_tftp_read.txt").splitlines():
    if line.startswith("ROW\t"):
        rows.append(line.split("\t")[1:6])
for line in text("bench_tftp_read-kept.txt").splitlines():
    if line.startswith("ROW\tRead"):
        row = line.split("\t")[1:6]
        rows.append([row[0] + ", heap kept", row[1], row[2], row[3], "(informative)"])

for block in (1450, 2904):
    reference = re.findall(r"REFERENCE\t([0-9.]+)", text("getref-%d.txt" % block))
    memory = "disk" if os.path.exists(os.path.join(out, "get-on-disk")) else "tmpfs"
    for name, where, goal in (("get", memory, ">= 0.8"), ("getdisk", "disk", "(informative)")):
        times = text("%s-%d.txt" % (name, block)).split()
        what = "qxnet get 64 MB -o %s, blocks %d (vs reference reader)" % (where, block)
        if not times and name == "getdisk":
            continue
        if "FAILED" in times or not times or not reference:
            rows.append([what, "n/a", "n/a", "n/a", goal])
            continue
        ours = statistics.median(float(t) for t in times)
        ref = statistics.median(float(t) for t in reference)
        rows.append([what, "%.3f s" % ours, "%.3f s" % ref, "%.2f" % (ref / ours), goal])

# Printed summary lines of the HTTP and host-network benchmarks.
for line in text("bench_http.txt").splitlines():
    m = re.match(r"(\S+)\s+body\s+(\d+) MB: HTTPClient\s+([0-9.]+) MB/s, curl\s+([0-9.]+) MB/s, "
                 r"ratio ([0-9.]+)", line)
    if m:
        rows.append(["HTTP body %s MB into a CMemoryStream, %s (vs curl -o to tmpfs)" % (m[2], m[1]),
                     m[3] + " MB/s", m[4] + " MB/s", m[5], ">= 0.9"])
    m = re.match(r"(\S+)\s+body\s+(\d+) MB: qxnet http -o\s+([0-9.]+) MB/s, curl\s+([0-9.]+) MB/s, "
                 r"ratio ([0-9.]+)", line)
    if m:
        rows.append(["HTTP body %s MB, qxnet http -o (tmpfs), %s (vs curl -o, both processes)" % (m[2], m[1]),
                     m[3] + " MB/s", m[4] + " MB/s", m[5], ">= 0.9"])
    m = re.match(r"(\S+)\s+peak memory .*growth ([0-9.]+) x body size", line)
    if m:
        rows.append(["Peak memory of that body, %s" % m[1], m[2] + " x", "1 x", m[2], "<= 1.1"])
    m = re.match(r"small authenticated request: HTTPClient median ([0-9.]+) ms.*curl median "
                 r"([0-9.]+) ms.*ratio ([0-9.]+)", line)
    if m:
        rows.append(["HTTP small authenticated request (vs curl)", m[1] + " ms", m[2] + " ms",
                     m[3], "(time ratio)"])
for line in text("bench_net.txt").splitlines():
    m = re.match(r"(.+?)\s+/\s+(.+?)\s+= ([0-9.]+) \(median ([0-9.]+) us against ([0-9.]+) us\)",
                 line)
    if m:
        rows.append(["host network: %s / %s" % (m[1], m[2]), m[4] + " us", m[5] + " us", m[3],
                     "(time ratio)"])

# The benchmarks' own counters.
goals = {"bench_memory_stream": ("ratio", "<= 1.25 (time vs memcpy)"),
         "bench_mdns": ("ratio", "(time ratio)"),
         "bench_scan": ("ratio", "(time ratio)")}
for path in sorted(glob.glob(os.path.join(out, "*.json"))):
    name = os.path.basename(path)[:-5]
    if name in ("bench_tftp_read", "bench_tftp_read-kept", "bench_http", "bench_net"):
        continue
    try:
        data = json.load(open(path))
    except ValueError:
        continue
    for b in data.get("benchmarks", []):
        if b.get("error_occurred"):
            rows.append([b["name"], "n/a (" + b.get("error_message", "") + ")", "", "", ""])
            continue
        ours = "%.3g %s" % (b["real_time"], b.get("time_unit", ""))
        if name == "bench_broadcast":
            rows.append([b["name"], "%d found in %s" % (b.get("found", 0), ours),
                         "%d cameras, plain socket %.3f s" % (b.get("cameras", 0),
                                                              b.get("reference_s", 0)),
                         "%.2f" % b.get("floor_ratio", 0), "all found; floor ratio 1.0 best"])
            continue
        key, goal = goals.get(name, ("ratio", ""))
        for counter in (key, "floor_ratio"):
            if counter in b:
                rows.append([b["name"], ours, "", "%.2f" % b[counter], goal])
                break
        else:
            rows.append([b["name"], ours, "", "", goal])

widths = [max(len(r[i]) for r in rows + [["what", "ours", "reference", "ratio", "goal"]])
          for i in range(5)]
line = lambda r: " | ".join(c.ljust(w) for c, w in zip(r, widths))
print(line(["what", "ours", "reference", "ratio", "goal"]))
print("-+-".join("-" * w for w in widths))
for r in rows:
    print(line(r))
EOF
echo "load average (1, 5, 15 min): $load_start at the start, $(cut -d' ' -f1-3 /proc/loadavg) at the end"
