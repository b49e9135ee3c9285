"""The Tq4815 card through TAVLON: the device, ring acquisitions, snapshots and the
board-level functions, with NumPy arrays in and out.

Every buffer handed to the library is allocated here with the size the library will
write, computed from this wrapper's own start arguments, so no call can write past it.
Codes are presented as the converter's 12 bits: the card may fill the upper four bits of
each sample word, which the driver stores as read.
"""

from __future__ import annotations

import ctypes
import math
import threading
import time
from collections import deque
from typing import Iterator, Optional, Sequence

import numpy as np

from . import _lib
from .errors import TavlonError

CODE_MASK = 0x0FFF
CODE_STEPS = 4096  # the converter's steps over its input range
DEFAULT_GAINS = (1.0, 2.0, 4.0, 8.0)
DEFAULT_RANGE = (-5.0, 5.0)
MAX_CHANNELS = 32
EEPROM_WORDS = 64
CONFIG_NAMES = ("max_channels", "out2", "max_rate", "min_scans_per_buffer", "out5", "out6", "out7")
_POLL_SECONDS = 0.002


def _sim_items(sim: Optional[str]) -> dict[str, str]:
    """The key=value items of a simulated-card configuration string."""
    items = {}
    for item in (sim or "").split(";"):
        key, _, value = item.partition("=")
        if key.strip():
            items[key.strip()] = value.strip()
    return items


def to_volts(codes: np.ndarray, input_range: Sequence[float] = DEFAULT_RANGE, gain: float = 1.0) -> np.ndarray:
    """Volts of 12-bit codes: min + code * (max - min) / 4096, divided by the gain factor."""
    low, high = input_range
    codes = np.asarray(codes) & CODE_MASK
    return ((low + codes * ((high - low) / CODE_STEPS)) / gain).astype(np.float64)


class Device:
    """The card, opened through TAVLON.

    Args:
        sim: the simulated card's configuration (as TQ4815_SIM), applied before the library
            is first loaded in this process; a different value later raises
            ConfigurationError, since the simulated machine boots once per process.
        library: the path of libTAVLON.so / TAVLON.dll (default: $TAVLON_LIBRARY, the
            repository's build/lib, then the system loader).

    As a context manager, leaving the block stops an acquisition this device started.
    """

    def __init__(self, sim: Optional[str] = None, library=None):
        self._lib = _lib.load(sim, library)
        items = _sim_items(sim if sim is not None else _lib._loaded_sim)
        self.gains: tuple[float, ...] = (
            tuple(float(g) for g in items["gains"].split(",")) if "gains" in items else DEFAULT_GAINS)
        self.input_range: tuple[float, float] = (
            tuple(float(v) for v in items["range"].split(":")) if "range" in items else DEFAULT_RANGE)
        self._active: "Optional[_Run]" = None
        self._lock = threading.Lock()

    # ---- lifetime ---------------------------------------------------------------------
    def close(self) -> None:
        """Stops the acquisition this device started, if one runs."""
        active, self._active = self._active, None
        if active is not None:
            active.stop()

    def __enter__(self) -> "Device":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    # ---- information ----------------------------------------------------------------
    @property
    def description(self) -> str:
        """The card's description string (stored in code page 936)."""
        size = self._lib.call("GetADPropStrSize")
        buffer = ctypes.create_string_buffer(size + 1)
        self._lib.call("GetADPropString", buffer)
        return buffer.value.decode("cp936", errors="replace")

    @property
    def card_frequency(self) -> float:
        """The card's frequency value from its configuration EEPROM, in Hz."""
        value = ctypes.c_float()
        self._lib.call("CardFrequency", ctypes.byref(value))
        return float(value.value)

    @property
    def config(self) -> dict:
        """The library's fixed configuration values, by name."""
        name = ctypes.create_string_buffer(8)
        ints = [ctypes.c_int32() for _ in range(5)]
        floats = [ctypes.c_float() for _ in range(2)]
        self._lib.call("ConfigInfo", name, *(ctypes.byref(v) for v in ints[:4]),
                       *(ctypes.byref(v) for v in floats), ctypes.byref(ints[4]))
        values = [v.value for v in ints[:4]] + [v.value for v in floats] + [ints[4].value]
        return {"name": name.value.decode("ascii"), **dict(zip(CONFIG_NAMES, values))}

    def channel_rate(self, channels: int, rate: int) -> float:
        """Samples per second of each of `channels` channels at rate code `rate`."""
        return float(self._lib.call("ChannelFrq", channels, rate))

    def gain_code(self, gain: float) -> int:
        """The gain code of a gain factor the card offers."""
        for code, factor in enumerate(self.gains):
            if math.isclose(factor, gain):
                return code
        raise ValueError(f"gain {gain} is not one of the card's gain factors {self.gains}")

    # ---- acquisitions ---------------------------------------------------------------
    def acquire(self, channels: int, rate: int, scans_per_buffer: Optional[int] = None,
                buffers: Optional[int] = None, first_channel: int = 0, gain: float = 1) -> "Acquisition":
        """A ring acquisition of `channels` channels (0 … channels-1, or `first_channel`
        alone when channels is 1) at rate code `rate` (conversions per second, or -n for
        one every n seconds). Default sizing: about 0.1 s a buffer and 1 s of ring.
        Use it as a context manager: it starts on entry and stops on exit."""
        return Acquisition(self, channels, rate, scans_per_buffer, buffers, first_channel, gain)

    def snapshot(self, channels: int, rate: int, scans: int, first_channel: int = 0,
                 gain: float = 1) -> "Snapshot":
        """A snapshot acquisition into one circular store of `scans` scans; `latest()`
        copies its newest scans. Use it as a context manager."""
        return Snapshot(self, channels, rate, scans, first_channel, gain)

    def _initial(self) -> None:
        """Readies the device once per process (Initial); an acquisition needs it."""
        lib = self._lib
        with lib.lock:
            if not getattr(lib, "initialised", False):
                lib.call("Initial", 0, 0, 0, 0)
                lib.initialised = True

    def _begin(self, run: "_Run", start) -> None:
        """Starts `run` with `start()` (Initial first when needed) and makes it this
        device's active acquisition."""
        with self._lock:
            if self._active is not None and self._active.running:
                raise RuntimeError("this device already runs an acquisition; stop it first")
            self._initial()
            try:
                start()
            except TavlonError as error:
                if error.code not in (3, 107):
                    raise
                self._lib.initialised = False  # the driver lost its initialisation
                self._initial()
                start()
            self._active = run

    # ---- board level ----------------------------------------------------------------
    def digital_in(self) -> int:
        """The 16 digital inputs: the low byte's bits 0-7, the high byte's 8-15."""
        values = (ctypes.c_uint16 * 2)()
        self._lib.call("Zel_DI", 2, values)
        return (values[0] & 0xFF) | (values[1] & 0xFF) << 8

    def digital_out(self, byte: int, value: int) -> None:
        """Writes digital-output byte `byte` (0 low, 1 high) with `value` (0-255)."""
        if byte not in (0, 1) or not 0 <= value <= 0xFF:
            raise ValueError("digital_out: byte is 0 or 1, value 0-255")
        self._lib.call("Zel_DO", byte, value)

    def analog_out(self, channel: int, code: int) -> None:
        """Loads the 12-bit `code` into analog output `channel` (0 or 1)."""
        if channel not in (0, 1) or not 0 <= code <= CODE_MASK:
            raise ValueError("analog_out: channel is 0 or 1, code 0-4095")
        self._lib.call("Zel_DA", code, channel)

    def scan(self, channels: int, gain: float = 1) -> np.ndarray:
        """One polled scan of channels 0 … channels-1: their 12-bit codes."""
        if not 1 <= channels <= MAX_CHANNELS:
            raise ValueError(f"scan: channels is 1-{MAX_CHANNELS}")
        values = (ctypes.c_uint16 * channels)()
        with self._lib.lock:
            self._lib.call("Zel_Init", channels, 0, self.gain_code(gain))
            self._lib.call("Zel_ADResult", channels, values)
        return np.frombuffer(values, dtype=np.uint16).copy() & CODE_MASK

    def eeprom_read(self, word: int) -> int:
        """Word `word` (0-63) of the configuration EEPROM."""
        self._check_word(word)
        request = (ctypes.c_uint8 * 2)(2 * word, 1)
        reply = (ctypes.c_uint8 * 2)()
        self._lib.call("IOCtl", 2, request, 2, reply)
        return reply[0] | reply[1] << 8

    def eeprom_write(self, word: int, value: int) -> None:
        """Writes `value` (16 bits) to EEPROM word `word` (0-63)."""
        self._check_word(word)
        if not 0 <= value <= 0xFFFF:
            raise ValueError("eeprom_write: value is 16 bits")
        request = (ctypes.c_uint8 * 4)(2 * word, 1, value & 0xFF, value >> 8)
        self._lib.call("IOCtl", 4, request, 0, None)

    def counters(self) -> dict:
        """The driver's counts since the last start: scans stored, scans dropped because
        the ring was full, and overruns (times the ring became full)."""
        reply = (ctypes.c_uint32 * 4)()
        self._lib.call("IOCtl", 0, None, 16, reply)
        return {"stored": reply[0], "dropped": reply[1], "overruns": reply[2]}

    @staticmethod
    def _check_word(word: int) -> None:
        if not 0 <= word < EEPROM_WORDS:
            raise ValueError(f"EEPROM word is 0-{EEPROM_WORDS - 1}")


class _Run:
    """What the two acquisition kinds share: validated arguments, start and stop."""

    def __init__(self, device: Device, channels: int, rate: int, first_channel: int, gain: float):
        if not 1 <= channels <= MAX_CHANNELS:
            raise ValueError(f"channels is 1-{MAX_CHANNELS}")
        if not 0 <= first_channel < MAX_CHANNELS:
            raise ValueError(f"first_channel is 0-{MAX_CHANNELS - 1}")
        self.device, self.channels, self.rate_code = device, channels, rate
        self.first_channel, self.gain = first_channel, float(gain)
        self._gain_code = device.gain_code(gain)
        self.rate = device.channel_rate(channels, rate)  # per-channel Hz
        self.running = False

    def stop(self) -> None:
        """Stops the acquisition (a second stop does nothing)."""
        if self.running:
            self.running = False
            self.device._lib.call("StopIntr")

    def __exit__(self, *exc) -> None:
        self.stop()
        if self.device._active is self:
            self.device._active = None


class Block:
    """One ring buffer as read.

    Attributes:
        data: uint16 array (scans, channels) of 12-bit codes.
        sequence: the buffer's sequence word.
        lost_scans: scans the driver dropped just before this block (0: contiguous).
        exact: whether lost_scans is the driver's exact count (False: the upper bound the
            sequence words give, on a driver without counters or when the counters were
            read too late to tell this gap from the next).
        first_scan: index of this block's first scan in the acquisition, lost scans counted.
    """

    def __init__(self, data: np.ndarray, sequence: int, lost_scans: int, exact: bool,
                 first_scan: int, input_range: Sequence[float], gain: float):
        self.data, self.sequence, self.lost_scans, self.exact = data, sequence, lost_scans, exact
        self.first_scan = first_scan
        self._range, self._gain = tuple(input_range), gain

    def volts(self, range: Optional[Sequence[float]] = None) -> np.ndarray:  # noqa: A002
        """The block in volts (float64), for the input range (default the card's)."""
        return to_volts(self.data, range or self._range, self._gain)


class Acquisition(_Run):
    """A running ring acquisition (see Device.acquire)."""

    def __init__(self, device: Device, channels: int, rate: int, scans_per_buffer: Optional[int],
                 buffers: Optional[int], first_channel: int, gain: float):
        super().__init__(device, channels, rate, first_channel, gain)
        if scans_per_buffer is None:
            scans_per_buffer = max(5, round(self.rate * 0.1))
        if buffers is None:
            buffers = max(4, math.ceil(self.rate / scans_per_buffer))
        if scans_per_buffer < 5 or not 1 <= buffers <= 0xFFFF:
            raise ValueError("scans_per_buffer is at least 5, buffers 1-65535")
        if channels * scans_per_buffer > 0x7FFF:
            raise ValueError("a buffer holds at most 32767 samples")
        self.scans_per_buffer, self.buffers = scans_per_buffer, buffers
        self._words = 1 + channels * scans_per_buffer
        self.lost_scans = 0  # before the blocks read so far
        self.trailing_lost_scans = 0  # dropped after the last block, known once stopped
        self.scans_read = 0
        self._pending: deque = deque()  # blocks read but not yet handed out
        self._leftover = np.empty((0, channels), dtype=np.uint16)
        self._next_sequence = 0
        self._counted = True  # the driver answers the counters form
        self._dropped_seen = 0
        self._stored_seen = 0  # scans stored at the last reading (not wrapped)
        self._taken_seen = 0  # scans taken from the ring at the last reading
        self._open = False  # scans may still be dropping at that reading's buffer boundary
        self._drops: dict = {}  # buffer boundary (scans stored) -> [dropped scans, sure]

    def __enter__(self) -> "Acquisition":
        def start():
            size = self.device._lib.call("StartIntr", self.buffers, self.scans_per_buffer,
                                         self.first_channel, self.channels, self.rate_code, 0,
                                         self._gain_code)
            assert size == 2 * self._words, "library and wrapper disagree on the buffer size"
        self.device._begin(self, start)
        self.running = True
        return self

    def stop(self) -> None:
        """Reads what the ring still holds, then stops; the blocks read stay available."""
        if self.running:
            try:
                self._drain()
            finally:
                super().stop()
                self._note_counters()
                self.trailing_lost_scans = sum(count for count, _ in self._drops.values())
                self._drops.clear()

    # ---- reading ----------------------------------------------------------------------
    def _note_counters(self) -> None:
        """Reads the driver's counters right after a buffer was taken and places the scans
        dropped since the last reading. The driver drops scans only while its ring is full,
        that is while the count of scans stored stands at a buffer boundary; the gap shows
        in the sequence word of the buffer that begins there. So the drops between two
        readings belong to the boundaries between their stored counts: to one gap, exactly,
        when a single boundary lies there; when several do (a reading came late), each of
        those gaps is only bounded by its sequence jump."""
        if not self._counted:
            return
        try:
            counters = self.device.counters()
        except TavlonError:
            self._counted = False  # a driver without counters: the sequence bound serves
            return
        spb = self.scans_per_buffer
        stored = self._stored_seen + ((counters["stored"] - self._stored_seen) & 0xFFFFFFFF)
        dropped = (counters["dropped"] - self._dropped_seen) & 0xFFFFFFFF
        self._dropped_seen = counters["dropped"]
        # Boundaries where these drops may have happened: from the last reading's (if it
        # was still open) or the next one after it, up to the one at or below `stored`;
        # and only where the ring could be full, a ring's worth beyond what was taken then.
        taken = self.scans_read + spb  # this buffer included
        first = self._stored_seen if self._open else (self._stored_seen // spb + 1) * spb
        first = max(first, self._taken_seen + self.buffers * spb)
        boundaries = range(first, stored // spb * spb + 1, spb)
        if dropped:
            for boundary in boundaries[:-1]:
                self._drops.setdefault(boundary, [0, False])[1] = False
            # (No boundary in range cannot happen; the count is kept all the same.)
            entry = self._drops.setdefault(boundaries[-1] if boundaries else stored // spb * spb, [0, True])
            entry[0] += dropped
            entry[1] = entry[1] and len(boundaries) == 1
        # Still open: at a boundary with the ring full (this buffer taken), more may drop there.
        self._open = stored % spb == 0 and stored - taken >= self.buffers * spb
        self._stored_seen, self._taken_seen = stored, taken

    def _read_available(self) -> bool:
        """Takes every filled buffer into the pending blocks; False if none was there."""
        lib = self.device._lib
        with lib.lock:
            count = lib.call("QueryBuf")
        for _ in range(count):
            words = np.empty(self._words, dtype=np.uint16)
            lib.call("ADResult", words.ctypes.data)
            self._note_counters()
            self._take(words)
        return count > 0

    def _take(self, words: np.ndarray) -> None:
        """Makes a block of a buffer read, placing the gap its sequence word shows."""
        sequence = int(words[0])
        jump = (sequence - self._next_sequence) & 0xFFFF
        self._next_sequence = (sequence + 1) & 0xFFFF
        lost, exact = 0, True
        if jump:
            # The sequence word steps once at the first dropped scan and once more for
            # every further L (samples a buffer) dropped scans.
            per_step = self.channels * self.scans_per_buffer
            low, high = (jump - 1) * per_step + 1, jump * per_step
            # This block's first scan was stored at boundary scans_read.
            gap, sure = self._drops.pop(self.scans_read, [0, False])
            if sure and low <= gap <= high:
                lost = gap
            else:
                lost, exact = high, False
        data = (words[1:] & CODE_MASK).reshape(self.scans_per_buffer, self.channels)
        first = self.scans_read + self.lost_scans + lost
        self.lost_scans += lost
        self.scans_read += self.scans_per_buffer
        self._pending.append(Block(data, sequence, lost, exact, first, self.device.input_range, self.gain))

    def _drain(self) -> None:
        """Reads what the ring holds now, and no more: a card filling it faster than this
        reads would otherwise keep the stop from ever coming."""
        self._read_available()

    def blocks(self, timeout: Optional[float] = None) -> Iterator[Block]:
        """Yields the blocks in order as they fill. Ends when the acquisition has stopped
        and every block read is given, or when none arrives within `timeout` seconds."""
        while True:
            if self._pending:
                yield self._pending.popleft()
                continue
            if not self.running:
                return
            waited = time.monotonic()
            while self.running and not self._read_available():
                if timeout is not None and time.monotonic() - waited >= timeout:
                    return
                time.sleep(_POLL_SECONDS)

    def read(self, scans: int, timeout: Optional[float] = None) -> np.ndarray:
        """The next `scans` scans as one uint16 array (scans, channels), lost scans left
        out (lost_scans counts them). Raises TimeoutError when they do not arrive in time,
        and returns fewer only when the acquisition has stopped."""
        parts, have = [self._leftover], len(self._leftover)
        deadline = None if timeout is None else time.monotonic() + timeout
        while have < scans:
            remaining = None if deadline is None else max(0.0, deadline - time.monotonic())
            block = next(self.blocks(remaining), None)
            if block is None:
                if self.running:
                    self._leftover = np.concatenate(parts)
                    raise TimeoutError(f"{have} of {scans} scans arrived within {timeout} s")
                break
            parts.append(block.data)
            have += len(block.data)
        everything = np.concatenate(parts)
        self._leftover = everything[scans:]
        return everything[:scans].copy()


class Snapshot(_Run):
    """A running snapshot acquisition (see Device.snapshot)."""

    def __init__(self, device: Device, channels: int, rate: int, scans: int, first_channel: int,
                 gain: float):
        super().__init__(device, channels, rate, first_channel, gain)
        if scans < 5 or channels * scans > 0x7FFFFFFF // 2:
            raise ValueError("a snapshot holds at least 5 scans")
        self.scans = scans
        self._passes = 0

    def __enter__(self) -> "Snapshot":
        self.device._begin(self, lambda: self.device._lib.call(
            "StartSnapshot", 1, self.scans, self.first_channel, self.channels, self.rate_code, 0,
            self._gain_code, 0))
        self.running = True
        return self

    def latest(self, n: Optional[int] = None) -> tuple[int, np.ndarray]:
        """(scans taken since the start, the newest min(n, scans taken) scans as a uint16
        array (scans, channels), oldest first). n defaults to the whole store."""
        n = self.scans if n is None else n
        if not 1 <= n <= self.scans:
            raise ValueError(f"latest: n is 1-{self.scans}")
        words = np.empty(n * self.channels + 3, dtype=np.uint16)
        position = ctypes.c_int32()
        self.device._lib.call("GetSnapshot", words.ctypes.data, n, ctypes.byref(position))
        # The word before the samples counts completed passes over the store (16 bits);
        # the position is the newest scan's index, the store's last one after a whole pass.
        self._passes += (int(words[0]) - self._passes) & 0xFFFF
        newest = position.value + 1
        taken = self._passes * self.scans + (0 if newest == self.scans else newest)
        samples = (words[1:1 + n * self.channels] & CODE_MASK).reshape(n, self.channels)
        return taken, samples[max(0, n - taken):].copy()
