"""tavlon: the Tq4815 data-acquisition card from Python.

    import tavlon
    with tavlon.Device() as dev, dev.acquire(channels=4, rate=4000) as acq:
        for block in acq.blocks():
            print(block.first_scan, block.data.mean(axis=0))

A thin layer over the TAVLON library (ctypes), with NumPy arrays, exceptions
(TavlonError) and context managers. On Linux it runs on the simulated card.
"""

from .device import Acquisition, Block, Device, Snapshot, to_volts
from .errors import ERRORS, ConfigurationError, TavlonError

__all__ = ["Device", "Acquisition", "Snapshot", "Block", "TavlonError", "ConfigurationError",
           "ERRORS", "to_volts"]
__version__ = "0.2.0"
