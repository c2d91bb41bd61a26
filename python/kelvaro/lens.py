"""One lens on its serial port, over the library's handle interface."""

from __future__ import annotations

import ctypes
import os
import sys
from types import TracebackType
from typing import Iterable, NamedTuple, Optional, Tuple, Type, Union

from . import _native
from ._errors import TEXT_ENCODING as _TEXT_ENCODING
from ._errors import check as _check
from .stream import Stream, axis_number

# The whole name has at most 292 characters; the rest is headroom.
NAME_BUFFER_SIZE = 300
POSITION_MAX = 4095
SWITCHES = (0, 2, 3, 4)

_FRAMINGS = {"frame": _native.FRAMING_FRAME, "timed": _native.FRAMING_TIMED}
_EASINGS = {"linear": _native.EASE_LINEAR, "in-out": _native.EASE_IN_OUT}
# The library's limits of a timed move and of a jog's deadman, in seconds.
MOVE_SECONDS_MAX = 600.0
DEADMAN_SECONDS = (0.05, 60.0)


class Optics(NamedTuple):
    focal_min_mm: float
    focal_max_mm: float
    mod_m: float  # minimum object distance, metres
    f_number: float  # widest aperture


class Stats(NamedTuple):
    """The lens's exchanges since it was opened: host calls, checks, stream reads and steps."""

    by_code: Tuple[int, ...]  # exchanges by result code 0..15
    time_bucket: Tuple[int, ...]  # exchange times up to 0.5, 1, 2.5, 5, 10, 50, 100 ms, and longer
    time_sum: float  # seconds, all exchanges


def clock() -> float:
    """Seconds on the clock of sample times (time.monotonic() on Linux)."""
    return float(_native.api().clock())


def _number(value: object, what: str, low: float, high: float) -> float:
    # NaN fails both comparisons, so it is refused with the rest.
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not low <= value <= high:
        raise ValueError(f"{what} is a number from {low:g} to {high:g}, not {value!r}")
    return float(value)


def _port_bytes(port: Union[str, "os.PathLike[str]"]) -> bytes:
    text = os.fspath(port)
    if not isinstance(text, str):
        raise TypeError(f"port must be a str or a path, not {type(port).__name__}")
    # The library takes the ANSI name on Windows and the file system's bytes elsewhere.
    return text.encode("mbcs") if sys.platform == "win32" else os.fsencode(text)


def _position(value: object) -> int:
    # bool is an int to Python, but never a position anyone meant.
    if not isinstance(value, int) or isinstance(value, bool):
        raise ValueError(f"a position is an int from 0 to {POSITION_MAX}, not {value!r}")
    if not 0 <= value <= POSITION_MAX:
        raise ValueError(f"position {value} is outside 0 to {POSITION_MAX}")
    return value


def _switch_number(number: object) -> int:
    if isinstance(number, bool) or number not in SWITCHES:
        raise ValueError(f"there is no switch {number!r}; the switches are 0, 2, 3 and 4")
    assert isinstance(number, int)
    return number


def _byte(value: object) -> int:
    if not isinstance(value, int) or isinstance(value, bool) or not 0 <= value <= 255:
        raise ValueError(f"a switch byte is an int from 0 to 255, not {value!r}")
    return value


class Lens:
    """An open lens.

    Every property read asks the lens afresh; assigning a position sends the move (the
    motor's arrival is not awaited). A failed exchange raises LensError. Bad arguments raise
    ValueError before anything is sent. Once closed, every operation but close() raises
    ValueError("lens is closed"), as a closed file does. A Lens can be used from several
    threads; the library serves calls on one lens one at a time, and different lenses in
    parallel.
    """

    def __init__(
        self,
        port: Union[str, "os.PathLike[str]"],
        framing: str = "frame",
        watch: bool = False,
        reopen: bool = False,
    ) -> None:
        self._handle: Optional[int] = None
        self._port = os.fspath(port)
        if framing not in _FRAMINGS:
            raise ValueError(f"framing must be 'frame' or 'timed', not {framing!r}")
        options = _native.Options(_FRAMINGS[framing], 1 if watch else 0, 1 if reopen else 0)
        handle = ctypes.c_void_p()
        api = _native.api()
        _check(api.open(_port_bytes(port), ctypes.byref(options), ctypes.byref(handle)))
        self._handle = handle.value
        self._api = api

    @property
    def port(self) -> str:
        return str(self._port)

    @property
    def closed(self) -> bool:
        return self._handle is None

    def _open_handle(self) -> int:
        handle = self._handle
        if handle is None:
            raise ValueError("lens is closed")
        return handle

    def close(self) -> None:
        """Closes the lens; a call in flight on it finishes first. Closing twice is harmless."""
        handle, self._handle = self._handle, None
        if handle is not None:
            self._api.close(handle)

    def __enter__(self) -> "Lens":
        self._open_handle()
        return self

    def __exit__(
        self,
        kind: Optional[Type[BaseException]],
        value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        self.close()

    def __del__(self) -> None:
        # A forgotten lens would hold one of the library's few lens slots until exit.
        try:
            self.close()
        except Exception:
            pass

    def __repr__(self) -> str:
        return f"<kelvaro.Lens {self._port!r} {'closed' if self.closed else 'open'}>"

    # ---- link ----

    def connect(self) -> None:
        """The handshake; raises LensError when the lens does not answer it."""
        _check(self._api.connect(self._open_handle()))

    @property
    def connected(self) -> bool:
        """Whether the lens answered its last once-a-second check (always False unwatched)."""
        return self._api.is_connected(self._open_handle()) != 0

    # ---- positions ----

    def _read_position(self, axis: int) -> int:
        handle = self._open_handle()
        value = ctypes.c_ushort()
        _check(self._api.position(handle, axis, ctypes.byref(value)))
        return value.value

    def _move(self, axis: int, position: object) -> None:
        checked = _position(position)
        _check(self._api.move(self._open_handle(), axis, checked))

    @property
    def iris(self) -> int:
        return self._read_position(_native.IRIS)

    @iris.setter
    def iris(self, position: int) -> None:
        self._move(_native.IRIS, position)

    @property
    def zoom(self) -> int:
        return self._read_position(_native.ZOOM)

    @zoom.setter
    def zoom(self, position: int) -> None:
        self._move(_native.ZOOM, position)

    @property
    def focus(self) -> int:
        return self._read_position(_native.FOCUS)

    @focus.setter
    def focus(self, position: int) -> None:
        self._move(_native.FOCUS, position)

    # ---- switches ----

    def switch(self, number: int) -> int:
        """The raw byte of switch 0, 2, 3 or 4."""
        checked = _switch_number(number)
        handle = self._open_handle()
        value = ctypes.c_ubyte()
        _check(self._api.switch(handle, checked, ctypes.byref(value)))
        return value.value

    def set_switch(self, number: int, value: int) -> None:
        """Writes a raw byte to switch 0, 2, 3 or 4."""
        checked_number = _switch_number(number)
        checked_value = _byte(value)
        _check(self._api.set_switch(self._open_handle(), checked_number, checked_value))

    @staticmethod
    def switch_label(number: int, value: int) -> str:
        """The label the flat getters give for a switch byte, such as "Mag x2 [fe]"."""
        checked_number = _switch_number(number)
        checked_value = _byte(value)
        buffer = ctypes.create_string_buffer(32)
        _check(_native.api().switch_label(checked_number, checked_value, buffer, len(buffer)))
        return buffer.value.decode(_TEXT_ENCODING)

    @property
    def magnifier(self) -> bool:
        """Whether the 2x magnifier is in; set it to move it in or out."""
        handle = self._open_handle()
        on = ctypes.c_int()
        _check(self._api.magnifier(handle, ctypes.byref(on)))
        return on.value != 0

    @magnifier.setter
    def magnifier(self, on: bool) -> None:
        _check(self._api.set_magnifier(self._open_handle(), 1 if on else 0))

    def set_auto_iris(self, on: bool) -> None:
        """Auto iris in host mode 4, or host mode 0 without it."""
        _check(self._api.set_auto_iris(self._open_handle(), 1 if on else 0))

    # ---- identity and optics ----

    @property
    def name(self) -> str:
        """The lens's whole name (a long one comes in two replies)."""
        handle = self._open_handle()
        buffer = ctypes.create_string_buffer(NAME_BUFFER_SIZE)
        _check(self._api.name(handle, buffer, NAME_BUFFER_SIZE))
        return buffer.value.decode(_TEXT_ENCODING)

    @property
    def optics(self) -> Optics:
        handle = self._open_handle()
        raw = _native.OpticsStruct()
        _check(self._api.read_optics(handle, ctypes.byref(raw)))
        return Optics(raw.focal_min_mm, raw.focal_max_mm, raw.mod_m, raw.f_number)

    # ---- streams, timed moves and jogs ----

    def stream(self, axes: Iterable[str] = _native.AXIS_NAMES, rate: float = 0) -> Stream:
        """Samples of `axes` ("iris", "zoom", "focus") taken `rate` times a second (0: as fast
        as the line goes, up to 1000), as an iterator and context manager; see Stream."""
        return Stream(self._open_handle, axes, rate)

    def move_together(
        self,
        iris: Optional[int] = None,
        zoom: Optional[int] = None,
        focus: Optional[int] = None,
        seconds: float = 0,
        easing: str = "in-out",
    ) -> None:
        """Moves the axes given so that they arrive together after `seconds` (up to 600),
        easing "in-out" or "linear"; returns at once, the library sends the steps."""
        targets = [-1 if value is None else _position(value) for value in (iris, zoom, focus)]
        if targets == [-1, -1, -1]:
            raise ValueError("move_together needs a target for at least one of iris, zoom and focus")
        duration = _number(seconds, "seconds", 0, MOVE_SECONDS_MAX)
        if easing not in _EASINGS:
            raise ValueError(f"easing must be 'in-out' or 'linear', not {easing!r}")
        handle = self._open_handle()
        raw = (ctypes.c_int * 3)(*targets)
        _check(self._api.move_together(handle, raw, round(duration * 1000), _EASINGS[easing]))

    def jog(self, axis: str, speed: float, deadman: float = 0.5) -> None:
        """Moves `axis` at `speed` (-1 to 1, a fraction of the whole travel a second) until
        `deadman` seconds (0.05 to 60) pass without another jog of it, or speed 0."""
        number = axis_number(axis)
        checked_speed = _number(speed, "speed", -1, 1)
        checked_deadman = _number(deadman, "deadman", *DEADMAN_SECONDS)
        _check(self._api.jog(self._open_handle(), number, checked_speed, round(checked_deadman * 1000)))

    def stop(self) -> None:
        """Ends every timed move and jog, leaving the lens where it is."""
        _check(self._api.stop(self._open_handle()))

    @property
    def moving(self) -> bool:
        """Whether a timed move or jog is in progress (asks no exchange of the lens)."""
        return self._api.moving(self._open_handle()) != 0

    @property
    def stats(self) -> Stats:
        handle = self._open_handle()
        raw = _native.StatsStruct()
        _check(self._api.stats(handle, ctypes.byref(raw)))
        return Stats(tuple(raw.by_code), tuple(raw.time_bucket), raw.time_sum)
