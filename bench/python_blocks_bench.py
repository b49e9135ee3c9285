#!/usr/bin/env python3
"""The Python wrapper keeping up with the card's top rate: a 32-channel acquisition at
100,000 conversions per second with the simulated card's clock at ten times real time,
read through Acquisition.blocks(). Reports lost scans (target: none) and the process's CPU
time per million samples (the simulated machine runs in the same process, as for the
tool's acquire_bench.sh, so the figures compare).

    python3 bench/python_blocks_bench.py [card-seconds]
"""

import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))
import tavlon  # noqa: E402

card_seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 60.0
with tavlon.Device(sim="speed=10") as dev, dev.acquire(32, 100000) as acq:
    target = int(card_seconds * acq.rate)
    cpu, wall, scans = time.process_time(), time.monotonic(), 0
    for block in acq.blocks(timeout=10):
        scans += len(block.data)
        if scans >= target:
            break
    cpu, wall = time.process_time() - cpu, time.monotonic() - wall
lost = acq.lost_scans + acq.trailing_lost_scans
samples = scans * 32
print(f"{scans} scans ({samples} samples), {lost} lost, {wall:.1f} s wall, "
      f"{cpu / samples * 1e6:.2f} s CPU per million samples")
sys.exit(1 if lost else 0)
