"""Error numbers of the TAVLON library and the Tq4815x driver, and the exception that
carries them.

The library and the driver share one number space: library codes below 100, driver codes
from 101 up, 18 on both sides, 1000 for an erased card frequency.
"""

from __future__ import annotations

# code: (short identifier, meaning)
ERRORS: dict[int, tuple[str, str]] = {
    2: ("DEVICE_NOT_OPEN", "device not open (no \\\\.\\Tq4815x when the library loaded)"),
    3: ("NOT_INITIALISED", "not initialised (Initial has not succeeded)"),
    10: ("BUFFER_COUNT_ZERO", "buffer count is 0"),
    11: ("TOO_FEW_SCANS", "scans per buffer below 5"),
    12: ("CHANNEL_COUNT_ZERO", "channel count is 0"),
    13: ("BAD_SLOT", "notification slot index 4 or more"),
    14: ("TOO_MANY_CHANNELS", "channel count above 32"),
    15: ("COUNT_OUT_OF_RANGE", "count out of range; nothing sent"),
    16: ("RATE_TOO_LOW", "rate code below -100000"),
    17: ("RATE_TOO_HIGH", "rate code above 100000"),
    18: ("NO_DATA", "no data: no unread buffer"),
    19: ("SYSTEM_REFUSED", "the system refused the request before the driver saw it"),
    101: ("BAD_INITIAL_LENGTH", "IOCTL_INITIAL input is not 16 bytes"),
    102: ("RUNNING", "acquisition already running, or a board command that would corrupt it"),
    103: ("BOARD_NOT_PRESENT", "board not present or not started"),
    105: ("NO_INTERRUPT", "no interrupt assigned"),
    107: ("DRIVER_NOT_INITIALISED", "not initialised (driver)"),
    108: ("BAD_START_LENGTH", "StartRecord is not 32 bytes"),
    109: ("NO_MEMORY", "allocation of the data buffers failed"),
    110: ("NOT_RUNNING", "no acquisition running"),
    111: ("NOT_RING_MODE", "last acquisition was not in ring mode"),
    112: ("BAD_OUTPUT_LENGTH", "output length not acceptable"),
    113: ("NOT_SNAPSHOT_MODE", "last acquisition was not in snapshot mode"),
    114: ("BAD_BOARD_COMMAND", "malformed board command"),
    116: ("BAD_FREQUENCY_REQUEST", "malformed card-frequency request"),
    117: ("BAD_EVENT", "notification event cannot be referenced"),
    118: ("BAD_START_FIELD", "StartRecord field out of range"),
    119: ("BUFFER_TOO_SHORT", "request buffer too short for its record or reply"),
    120: ("CONVERSION_TIMEOUT", "conversion did not complete (polled scan)"),
    121: ("PORT_OUTSIDE_CARD", "port outside the card's ranges"),
    1000: ("FREQUENCY_NOT_PROGRAMMED", "card frequency not programmed (EEPROM words erased)"),
}


def error_name(code: int) -> str:
    """The short identifier of an error number ("UNKNOWN" for an undocumented one)."""
    return ERRORS.get(code, ("UNKNOWN", ""))[0]


def error_meaning(code: int) -> str:
    """The documented meaning of an error number."""
    if code == 0:
        return "failure reported without an error number"
    return ERRORS.get(code, ("UNKNOWN", f"undocumented error number {code}"))[1]


class TavlonError(Exception):
    """A TAVLON export failed.

    Attributes:
        code: the library's error number (GetLastADError after the failure).
        name: the code's short identifier, e.g. "NOT_RUNNING".
        function: the export that failed, e.g. "StartIntr".
    """

    def __init__(self, code: int, function: str, detail: str = ""):
        self.code = code
        self.name = error_name(code)
        self.function = function
        message = f"{function} failed: error {code} ({self.name}): {error_meaning(code)}"
        if detail:
            message += f" [{detail}]"
        super().__init__(message)


class ConfigurationError(RuntimeError):
    """The library cannot be loaded as asked (not found, or a second simulated-card
    configuration in a process whose simulated machine already runs)."""
