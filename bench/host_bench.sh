#!/usr/bin/env bash
# The machine host's costs: a DeviceIoControl round trip in-process and through a host
# (target through a host: median at most 20 µs on the 2-core machine), and a 32-channel
# acquisition at the top rate (100000 conversions per second) with the card's clock at
# speed 10 through a host: scans, lost scans (target: zero), and the CPU time of the tool
# and of the host together per million samples.
#   bench/host_bench.sh [BUILD_DIR] [CARD_SECONDS]
set -euo pipefail
build=${1:-build}
seconds=${2:-60}
tool="$build/bin/tq4815"
bench="$build/bin/bench_host_roundtrip"
[ -x "$tool" ] && [ -x "$bench" ] || { echo "no $tool or $bench: build first" >&2; exit 2; }
out=$(mktemp -d)
socket="$out/host.sock"
host=
cleanup() { [ -n "$host" ] && kill "$host" 2>/dev/null; rm -rf "$out"; }
trap cleanup EXIT
unset TQ4815_HOST TQ4815_SIM

round_trip() {
  "$bench" --benchmark_format=json 2>/dev/null |
    python3 -c 'import json,sys; b=json.load(sys.stdin)["benchmarks"][0]
print("%-15s mean %6.2f us  median %6.2f us  p99 %6.2f us" % (b["label"], b["real_time"]/1000, b["median_us"], b["p99_us"]))'
}
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

echo "DeviceIoControl round trip (IOCTL_GET_LAST_ERROR)"
round_trip
sim="speed=10"
for ((c = 0; c < 32; ++c)); do sim="$sim;ch$c=count"; done
"$tool" host --socket "$socket" --sim "$sim" 2>"$out/host.log" &
host=$!
for _ in $(seq 600); do [ -S "$socket" ] && break; sleep 0.05; done
export TQ4815_HOST="$socket"
round_trip

echo "32 channels at rate code 100000, speed 10, $seconds s of card time, through the host"
before=$(cpu_ticks "$host")
status=0
/usr/bin/time -f '%e %U %S' -o "$out/time" "$tool" acquire --channels 32 --rate 100000 --seconds "$seconds" \
  --buffers 64 --output "$out/run.npy" --quiet || status=$?
after=$(cpu_ticks "$host")
read -r wall user sys < "$out/time"
scans=$(sed -n 's/.*"scans": \([0-9]*\).*/\1/p' "$out/run.json")
lost=$(sed -n 's/.*"lost_scans": \([0-9]*\).*/\1/p' "$out/run.json")
hz=$(getconf CLK_TCK)
awk -v s="$scans" -v l="$lost" -v w="$wall" -v u="$user" -v y="$sys" -v h="$((after - before))" -v hz="$hz" \
  -v st="$status" 'BEGIN {
    tool = u + y; hostcpu = h / hz; samples = s * 32
    printf "scans %d  lost %s  wall %.2f s  cpu: tool %.2f s + host %.2f s = %.1f ms per million samples%s\n",
      s, l, w, tool, hostcpu, (tool + hostcpu) * 1e9 / samples, (st == 0 ? "" : "  (exit status " st ")") }'
"$tool" host --stop --socket "$socket"
wait "$host"
host=
