#!/usr/bin/env python3
"""Streams a ring acquisition into a NumPy .npy file, with a progress line on stderr.

    python3 python/examples/stream_to_npy.py run.npy --channels 8 --rate 20000 --seconds 10

The file's header is rewritten after every block, so the file is a valid array of the
scans received so far at any moment (and after Ctrl-C). Lost scans are reported at the end.
"""

import argparse
import ast
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # run from the repository
import tavlon  # noqa: E402

HEADER_BYTES = 128  # magic, version, length and the padded header text


def npy_header(scans: int, channels: int) -> bytes:
    """A NumPy 1.0 header for a (scans, channels) uint16 array, always HEADER_BYTES long."""
    text = repr({"descr": "<u2", "fortran_order": False, "shape": (scans, channels)})
    text = text.ljust(HEADER_BYTES - 10 - 1) + "\n"
    return b"\x93NUMPY\x01\x00" + len(text).to_bytes(2, "little") + text.encode("latin1")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("output", type=Path)
    parser.add_argument("--channels", type=int, default=4)
    parser.add_argument("--rate", type=int, default=4000, help="rate code (conversions per second)")
    parser.add_argument("--seconds", type=float, default=3.0, help="card time to acquire")
    parser.add_argument("--sim", help="simulated card configuration (as TQ4815_SIM)")
    args = parser.parse_args()

    scans = 0
    with tavlon.Device(sim=args.sim) as dev, open(args.output, "wb") as out:
        out.write(npy_header(0, args.channels))
        with dev.acquire(args.channels, args.rate) as acq:
            target = int(args.seconds * acq.rate)
            started = time.monotonic()
            try:
                for block in acq.blocks(timeout=10):
                    out.write(block.data.astype("<u2").tobytes())
                    scans += len(block.data)
                    out.seek(0)
                    out.write(npy_header(scans, args.channels))
                    out.seek(0, 2)
                    print(f"\r{time.monotonic() - started:6.1f} s  {scans:10d} scans  lost {acq.lost_scans}",
                          end="", file=sys.stderr, flush=True)
                    if scans >= target:
                        break
            except KeyboardInterrupt:
                pass
        lost = acq.lost_scans + acq.trailing_lost_scans
    print(f"\n{scans} scans of {args.channels} channels in {args.output}; {lost} scans lost", file=sys.stderr)
    np.load(args.output, mmap_mode="r")  # the file is a valid array
    return 3 if lost else 0


if __name__ == "__main__":
    sys.exit(main())
