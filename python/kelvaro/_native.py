"""ctypes prototypes of the handle interface (kelvaro.h)."""

from __future__ import annotations

import ctypes
import threading
from typing import Any, Callable, Optional

from ._library import library

INVALID_ARGUMENT = 101
NO_FREE_LENS = 102

IRIS, ZOOM, FOCUS = 0, 1, 2
AXIS_NAMES = ("iris", "zoom", "focus")  # indexed by the numbers above
FRAMING_FRAME, FRAMING_TIMED = 0, 1
EASE_LINEAR, EASE_IN_OUT = 0, 1
TIMEOUT = 4  # kelvaro_stream_wait: no sample came in time


class Options(ctypes.Structure):
    _fields_ = [("framing", ctypes.c_int), ("watch", ctypes.c_int), ("reopen", ctypes.c_int)]


class OpticsStruct(ctypes.Structure):
    _fields_ = [
        ("focal_min_mm", ctypes.c_double),
        ("focal_max_mm", ctypes.c_double),
        ("mod_m", ctypes.c_double),
        ("f_number", ctypes.c_double),
    ]


class SampleStruct(ctypes.Structure):
    _fields_ = [
        ("time", ctypes.c_double),
        ("sequence", ctypes.c_uint),
        ("fresh", ctypes.c_uint),
        ("position", ctypes.c_ushort * 3),
    ]


class StatsStruct(ctypes.Structure):
    _fields_ = [
        ("by_code", ctypes.c_ulonglong * 16),
        ("time_bucket", ctypes.c_ulonglong * 8),
        ("time_sum", ctypes.c_double),
    ]


# Pointers are passed as ctypes.byref() of the matching type; handles as c_void_p values.
_Ref = Any


class HandleApi:
    """The kelvaro_* functions of one loaded library, with their argument and result types."""

    def __init__(self, lib: ctypes.CDLL) -> None:
        def bind(name: str, restype: Any, *argtypes: Any) -> Any:
            function = getattr(lib, name)
            function.restype = restype
            function.argtypes = list(argtypes)
            return function

        handle = ctypes.c_void_p
        self.open: Callable[[bytes, _Ref, _Ref], int] = bind(
            "kelvaro_open", ctypes.c_int, ctypes.c_char_p, ctypes.POINTER(Options), ctypes.POINTER(handle))
        self.close: Callable[[Optional[int]], int] = bind("kelvaro_close", ctypes.c_int, handle)
        self.connect: Callable[[Optional[int]], int] = bind("kelvaro_connect", ctypes.c_int, handle)
        self.is_connected: Callable[[Optional[int]], int] = bind("kelvaro_is_connected", ctypes.c_int, handle)
        self.move: Callable[[Optional[int], int, int], int] = bind(
            "kelvaro_move", ctypes.c_int, handle, ctypes.c_int, ctypes.c_ushort)
        self.position: Callable[[Optional[int], int, _Ref], int] = bind(
            "kelvaro_position", ctypes.c_int, handle, ctypes.c_int, ctypes.POINTER(ctypes.c_ushort))
        self.set_switch: Callable[[Optional[int], int, int], int] = bind(
            "kelvaro_set_switch", ctypes.c_int, handle, ctypes.c_int, ctypes.c_ubyte)
        self.switch: Callable[[Optional[int], int, _Ref], int] = bind(
            "kelvaro_switch", ctypes.c_int, handle, ctypes.c_int, ctypes.POINTER(ctypes.c_ubyte))
        self.set_magnifier: Callable[[Optional[int], int], int] = bind(
            "kelvaro_set_magnifier", ctypes.c_int, handle, ctypes.c_int)
        self.magnifier: Callable[[Optional[int], _Ref], int] = bind(
            "kelvaro_magnifier", ctypes.c_int, handle, ctypes.POINTER(ctypes.c_int))
        self.set_auto_iris: Callable[[Optional[int], int], int] = bind(
            "kelvaro_set_auto_iris", ctypes.c_int, handle, ctypes.c_int)
        self.switch_label: Callable[[int, int, _Ref, int], int] = bind(
            "kelvaro_switch_label", ctypes.c_int, ctypes.c_int, ctypes.c_ubyte, ctypes.c_char_p, ctypes.c_size_t)
        self.name: Callable[[Optional[int], _Ref, int], int] = bind(
            "kelvaro_name", ctypes.c_int, handle, ctypes.c_char_p, ctypes.c_size_t)
        self.read_optics: Callable[[Optional[int], _Ref], int] = bind(
            "kelvaro_read_optics", ctypes.c_int, handle, ctypes.POINTER(OpticsStruct))
        self.clock: Callable[[], float] = bind("kelvaro_clock", ctypes.c_double)
        self.stream_start: Callable[[Optional[int], int, float], int] = bind(
            "kelvaro_stream_start", ctypes.c_int, handle, ctypes.c_uint, ctypes.c_double)
        self.stream_stop: Callable[[Optional[int]], int] = bind("kelvaro_stream_stop", ctypes.c_int, handle)
        self.stream_wait: Callable[[Optional[int], _Ref, int], int] = bind(
            "kelvaro_stream_wait", ctypes.c_int, handle, ctypes.POINTER(SampleStruct), ctypes.c_int)
        self.move_together: Callable[[Optional[int], _Ref, int, int], int] = bind(
            "kelvaro_move_together", ctypes.c_int, handle, ctypes.POINTER(ctypes.c_int), ctypes.c_uint, ctypes.c_int)
        self.jog: Callable[[Optional[int], int, float, int], int] = bind(
            "kelvaro_jog", ctypes.c_int, handle, ctypes.c_int, ctypes.c_double, ctypes.c_uint)
        self.stop: Callable[[Optional[int]], int] = bind("kelvaro_stop", ctypes.c_int, handle)
        self.moving: Callable[[Optional[int]], int] = bind("kelvaro_moving", ctypes.c_int, handle)
        self.stats: Callable[[Optional[int], _Ref], int] = bind(
            "kelvaro_stats", ctypes.c_int, handle, ctypes.POINTER(StatsStruct))
        # A static text of the library's: c_char_p copies it into bytes, never frees it.
        self.result_text: Callable[[int], Optional[bytes]] = bind("kelvaro_result_text", ctypes.c_char_p, ctypes.c_int)


_api: Optional[HandleApi] = None
_binding = threading.Lock()


def api() -> HandleApi:
    """The handle interface of the process's library (loading it on first use)."""
    global _api
    with _binding:
        if _api is None:
            _api = HandleApi(library())
        return _api
