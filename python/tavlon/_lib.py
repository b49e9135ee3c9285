"""Loading TAVLON and calling its exports.

One table gives the prototype of every export. The library keeps one error number per
process, so a call and the reading of that number happen under one lock: a failure is
never reported with another thread's error number.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from ctypes import POINTER, c_char_p, c_double, c_float, c_int32, c_uint16, c_uint32, c_void_p
from pathlib import Path

from .errors import ConfigurationError, TavlonError

_i32, _u32 = c_int32, c_uint32

# name: (result type, argument types). None as result: the export returns nothing.
PROTOTYPES: dict[str, tuple[object, list[object]]] = {
    "GetLastADError": (_i32, []),
    "GetADPropStrSize": (_i32, []),
    "GetADPropString": (_i32, [c_char_p]),
    "ConfigInfo": (None, [c_char_p, POINTER(_i32), POINTER(_i32), POINTER(_i32), POINTER(_i32),
                          POINTER(c_float), POINTER(c_float), POINTER(_i32)]),
    "Initial": (_i32, [_u32, _u32, _u32, _u32]),
    "StartIntr": (_i32, [_u32, _u32, _u32, _u32, _i32, _u32, _u32]),
    "StartSnapshot": (_i32, [_u32, _u32, _u32, _u32, _i32, _u32, _u32, _u32]),
    "StopIntr": (_i32, []),
    "QueryBuf": (_i32, []),
    "ADResult": (_i32, [c_void_p]),
    "ADResultRecent": (_i32, [c_void_p]),
    "GetSnapshot": (_i32, [c_void_p, _u32, POINTER(_i32)]),
    "ChannelFrq": (c_double, [_i32, _i32]),
    "CardFrequency": (_i32, [POINTER(c_float)]),
    "RegisterNotify": (_i32, [_u32, c_void_p, _u32, _u32, _u32]),
    "IOCtl": (_i32, [_u32, c_void_p, _u32, c_void_p]),
    "inportb": (_u32, [_u32]),
    "inport": (_u32, [_u32]),
    "inportdw": (_u32, [_u32]),
    "outportb": (None, [_u32, _u32]),
    "outport": (None, [_u32, _u32]),
    "outportdw": (None, [_u32, _u32]),
    "Zel_Init": (_i32, [_u32, _u32, _u32]),
    "Zel_DI": (_i32, [_u32, POINTER(c_uint16)]),
    "Zel_DO": (_i32, [_u32, _u32]),
    "Zel_SetPGA": (_i32, [_u32]),
    "Zel_SetChn": (_i32, [_u32]),
    "Zel_StartAD": (_i32, []),
    "Zel_ADR1": (_i32, [POINTER(c_uint16)]),
    "Zel_ADResult": (_i32, [_u32, POINTER(c_uint16)]),
    "Zel_DA": (_i32, [_u32, _u32]),
    "Zel_CounterOut": (_i32, [_u32, _u32, _u32, _u32]),
}

# Exports whose result 0 is a valid value: their failure shows only in the error number.
ZERO_IS_VALID = {"QueryBuf", "inportb", "inport", "inportdw", "outportb", "outport", "outportdw"}
# Exports that neither set nor clear the error number.
NO_ERROR_NUMBER = {"GetLastADError", "GetADPropStrSize", "GetADPropString", "ConfigInfo", "ChannelFrq"}

_load_lock = threading.Lock()
_loaded: "Library | None" = None
_loaded_sim: "str | None" = None


def _candidates(explicit: "str | os.PathLike | None") -> list[str]:
    """Where to look for the library, in order."""
    if explicit:
        return [os.fspath(explicit)]
    found = []
    if os.environ.get("TAVLON_LIBRARY"):
        found.append(os.environ["TAVLON_LIBRARY"])
    windows = sys.platform == "win32"
    name = "TAVLON.dll" if windows else "libTAVLON.so"
    # Run from the repository: python/tavlon/_lib.py -> <repo>/build/{lib,bin}.
    repo = Path(__file__).resolve().parents[2]
    found.append(str(repo / "build" / ("bin" if windows else "lib") / name))
    found.append(ctypes.util.find_library("TAVLON") or name)
    return found


class Library:
    """The loaded TAVLON with a prototype on every export and one lock for the calls that
    use the process-wide error number."""

    def __init__(self, path: str):
        loader = ctypes.WinDLL if sys.platform == "win32" else ctypes.CDLL  # stdcall on Win32
        self.path = path
        self.dll = loader(path)
        self.lock = threading.RLock()
        for name, (result, arguments) in PROTOTYPES.items():
            function = getattr(self.dll, name)
            function.restype = result
            function.argtypes = arguments

    def raw(self, name: str):
        """The export itself, for calls that need no error check."""
        return getattr(self.dll, name)

    def call(self, name: str, *arguments):
        """Calls an export and raises TavlonError when it failed.

        A result of 0 is a failure except for the exports in ZERO_IS_VALID, which fail only
        when the error number is set."""
        function = getattr(self.dll, name)
        if name in NO_ERROR_NUMBER:
            return function(*arguments)
        with self.lock:
            result = function(*arguments)
            code = self.dll.GetLastADError()
        failed = code != 0 if name in ZERO_IS_VALID else result == 0
        if failed:
            raise TavlonError(code, name)
        return result


def load(sim: "str | None" = None, library: "str | os.PathLike | None" = None) -> Library:
    """The process's TAVLON, loaded on first use.

    sim sets TQ4815_SIM (the simulated card's configuration) before the first load; the
    simulated machine boots once per process, so a different sim later is refused."""
    global _loaded, _loaded_sim
    with _load_lock:
        if _loaded is not None:
            if sim is not None and sim != _loaded_sim:
                raise ConfigurationError(
                    f"the simulated card already runs in this process with TQ4815_SIM={_loaded_sim!r}; "
                    f"it boots once per process, so sim={sim!r} cannot take effect (use a new process)")
            if library is not None and os.fspath(library) != _loaded.path:
                raise ConfigurationError(f"TAVLON is already loaded from {_loaded.path}")
            return _loaded
        if sim is not None:
            os.environ["TQ4815_SIM"] = sim
        errors = []
        for path in _candidates(library):
            if os.sep in path and not os.path.exists(path):
                errors.append(f"{path}: not found")
                continue
            try:
                _loaded = Library(path)
                break
            except OSError as error:
                errors.append(f"{path}: {error}")
        if _loaded is None:
            raise ConfigurationError("cannot load TAVLON: " + "; ".join(errors))
        _loaded_sim = os.environ.get("TQ4815_SIM", "")
        return _loaded
