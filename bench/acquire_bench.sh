#!/usr/bin/env bash
# Whole-stack acquisition benchmark: `tq4815 acquire` at the top rate (100000 conversions
# per second) on 1 channel and on 32 channels, for 60 s of card time with the simulated
# card's clock at speed 10 — one million conversions per second through card, driver,
# kernel and Win32 stand-ins, library and tool — writing .npy files.
# Reports, per run: scans, lost scans (target: zero), wall time, and CPU time of the tool's
# process (all its threads: the clock thread, DPCs, the notification thread, the writer)
# per million samples.
#   bench/acquire_bench.sh [BUILD_DIR] [CARD_SECONDS]
set -euo pipefail
build=${1:-build}
seconds=${2:-60}
tool="$build/bin/tq4815"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
[ -x "$tool" ] || { echo "no $tool: build first" >&2; exit 2; }

printf '%-9s %12s %10s %9s %9s %16s\n' channels scans lost wall_s cpu_s cpu_ms/Msample
for channels in 1 32; do
  sim="speed=10"
  for ((c = 0; c < channels; ++c)); do sim="$sim;ch$c=count"; done
  status=0
  /usr/bin/time -f '%e %U %S' -o "$out/time" \
    "$tool" acquire --channels "$channels" --rate 100000 --seconds "$seconds" --buffers 64 \
      --output "$out/run.npy" --force --quiet --sim "$sim" || status=$?
  read -r wall user sys < "$out/time"
  scans=$(sed -n 's/.*"scans": \([0-9]*\).*/\1/p' "$out/run.json")
  lost=$(sed -n 's/.*"lost_scans": \([0-9]*\).*/\1/p' "$out/run.json")
  samples=$((scans * channels))
  cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }')
  per=$(awk -v c="$cpu" -v n="$samples" 'BEGIN { print (n > 0 ? c * 1e9 / n : 0) }')
  printf '%-9s %12s %10s %9.2f %9.2f %16.1f%s\n' "$channels" "$scans" "$lost" "$wall" "$cpu" "$per" \
    "$([ "$status" = 0 ] || echo "  (exit status $status)")"
done
