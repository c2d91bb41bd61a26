"""A lens's position stream: the samples the library's worker takes, as a Python iterator."""

from __future__ import annotations

import ctypes
from types import TracebackType
from typing import Callable, Iterable, NamedTuple, Optional, Type

from . import _native
from ._errors import check

RATE_MAX = 1000.0
# How long one wait for a sample may block: short, so that Ctrl-C is seen between waits.
_WAIT_MS = 100


class Sample(NamedTuple):
    time: float  # kelvaro.clock() when the round's last good reply arrived
    sequence: int  # 1, 2, 3, ... within one stream; a jump means samples were overwritten
    fresh: int  # bit (1 << axis) for each axis read in this round
    iris: int
    zoom: int
    focus: int


def axis_number(name: object) -> int:
    """The library's number of an axis named "iris", "zoom" or "focus"."""
    if name not in _native.AXIS_NAMES:
        raise ValueError(f"there is no axis {name!r}; the axes are {', '.join(_native.AXIS_NAMES)}")
    assert isinstance(name, str)
    return _native.AXIS_NAMES.index(name)


def _axis_mask(axes: Iterable[str]) -> int:
    # A lone name is an iterable of letters: said plainly rather than "there is no axis 'z'".
    if isinstance(axes, str):
        raise ValueError(f"axes is a sequence of names, such as ({axes!r},), not the string {axes!r}")
    mask = 0
    for name in axes:
        mask |= 1 << axis_number(name)
    if mask == 0:
        raise ValueError("a stream needs at least one axis")
    return mask


def _rate(rate: object) -> float:
    if isinstance(rate, bool) or not isinstance(rate, (int, float)) or not 0 <= rate <= RATE_MAX:
        raise ValueError(f"rate is a number from 0 to {RATE_MAX:g} (0: as fast as the line goes), not {rate!r}")
    return float(rate)


class Stream:
    """Samples of a lens's positions, oldest first.

    Entering the context or starting to iterate starts the stream (a stream started again
    replaces the last one, unread samples and all); leaving the context, or stop(), stops it.
    Iteration waits for each sample and ends only when the stream is stopped.
    """

    def __init__(self, handle: Callable[[], int], axes: Iterable[str], rate: float) -> None:
        self._handle = handle
        self._mask = _axis_mask(axes)
        self._rate = _rate(rate)
        self._running = False

    def start(self) -> None:
        check(_native.api().stream_start(self._handle(), self._mask, self._rate))
        self._running = True

    def stop(self) -> None:
        if self._running:
            self._running = False
            check(_native.api().stream_stop(self._handle()))

    def __enter__(self) -> "Stream":
        self.start()
        return self

    def __exit__(
        self,
        kind: Optional[Type[BaseException]],
        value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        self.stop()

    def __iter__(self) -> "Stream":
        if not self._running:
            self.start()
        return self

    def __next__(self) -> Sample:
        api = _native.api()
        raw = _native.SampleStruct()
        while self._running:
            code = api.stream_wait(self._handle(), ctypes.byref(raw), _WAIT_MS)
            if code == 0:
                return Sample(raw.time, raw.sequence, raw.fresh, *raw.position)
            # Stopped by stop() from another thread ends the iteration; stopped otherwise (the
            # lens closed, another stream started on it) is the library's error.
            if code != _native.TIMEOUT and self._running:
                self._running = False
                check(code)
        raise StopIteration
