"""The flat functions of Kelvaro32.h, as ctypes prototypes, for hosts moving from them.

Thin on purpose: each name is the library's own function with its argument and result
types set, called exactly as from C. Importing this module loads the library.

    from ctypes import byref, c_ushort, create_string_buffer
    from kelvaro import flat

    flat.InitializeLensControl()            # once per process: one lens link per process
    if flat.OpenComPort(b"/dev/ttyUSB0") == 0:
        zoom = c_ushort()
        text = create_string_buffer(b"zoom:", 64)
        flat.GetResultString(flat.GetLensZoom(byref(zoom)), text)

Out values are passed as ctypes.byref() of c_ushort, texts as create_string_buffer() with
the room each function's comment in Kelvaro32.h asks for; ports as bytes. The handle
interface (kelvaro.Lens) never touches the state these functions work on.
"""

from __future__ import annotations

import ctypes
from typing import Any, Callable, Optional

from ._library import library

# A ctypes.byref() or pointer() to the out value; a writable buffer for texts.
_Out = Any
_Text = Any

_lib = library()


def _bind(name: str, restype: Any, *argtypes: Any) -> Any:
    function = getattr(_lib, name)
    function.restype = restype
    function.argtypes = list(argtypes)
    return function


_int, _ushort, _uchar = ctypes.c_int, ctypes.c_ushort, ctypes.c_ubyte
_ushort_out = ctypes.POINTER(ctypes.c_ushort)
_text = ctypes.c_char_p

# Lifecycle
InitializeLensControl: Callable[[], int] = _bind("InitializeLensControl", _int)
IsAutoConnected: Callable[[], int] = _bind("IsAutoConnected", _int)

# Port
OpenComPort: Callable[[Optional[bytes]], int] = _bind("OpenComPort", _int, _text)
CloseComPort: Callable[[], int] = _bind("CloseComPort", _int)

# Link
Connect: Callable[[], int] = _bind("Connect", _int)
Reset: Callable[[], int] = _bind("Reset", _int)

# Result texts
GetResultString: Callable[[int, _Text], None] = _bind("GetResultString", None, _int, _text)

# Positions
SetLensIris: Callable[[int], int] = _bind("SetLensIris", _int, _ushort)
SetLensZoom: Callable[[int], int] = _bind("SetLensZoom", _int, _ushort)
SetLensFocus: Callable[[int], int] = _bind("SetLensFocus", _int, _ushort)
GetLensIris: Callable[[_Out], int] = _bind("GetLensIris", _int, _ushort_out)
GetLensZoom: Callable[[_Out], int] = _bind("GetLensZoom", _int, _ushort_out)
GetLensFocus: Callable[[_Out], int] = _bind("GetLensFocus", _int, _ushort_out)

# Switches
SetSwitch0Host: Callable[[int], int] = _bind("SetSwitch0Host", _int, _uchar)
SetSwitch2Host: Callable[[int], int] = _bind("SetSwitch2Host", _int, _uchar)
SetSwitch3Host: Callable[[int], int] = _bind("SetSwitch3Host", _int, _uchar)
SetSwitch4Host: Callable[[int], int] = _bind("SetSwitch4Host", _int, _uchar)
GetSwitch0Host: Callable[[_Text, _Out], int] = _bind("GetSwitch0Host", _int, _text, _ushort_out)
GetSwitch2Host: Callable[[_Text, _Out], int] = _bind("GetSwitch2Host", _int, _text, _ushort_out)
GetSwitch3Host: Callable[[_Text, _Out], int] = _bind("GetSwitch3Host", _int, _text, _ushort_out)
GetSwitch4Host: Callable[[_Text, _Out], int] = _bind("GetSwitch4Host", _int, _text, _ushort_out)
Set2XMag: Callable[[int], int] = _bind("Set2XMag", _int, _ushort)
Get2XMag: Callable[[_Out], int] = _bind("Get2XMag", _int, _ushort_out)
SetAutoIris: Callable[[int], int] = _bind("SetAutoIris", _int, _ushort)

# Identity and optics
GetLensName: Callable[[_Text], int] = _bind("GetLensName", _int, _text)
GetLensFocalLengthRange: Callable[[_Text], int] = _bind("GetLensFocalLengthRange", _int, _text)
GetLensMOD: Callable[[_Text], int] = _bind("GetLensMOD", _int, _text)
GetLensOpenFNo: Callable[[_Text], int] = _bind("GetLensOpenFNo", _int, _text)

# Result codes of Kelvaro32.h.
OK = 0
GENERAL_FAILURE = 1
NOT_INITIALIZED = 3
TIMEOUT = 4
COMMS_ERROR = 5
WRONG_REPLY_CODE = 6
UNABLE_TO_OPEN_PORT = 7
PORT_ALREADY_OPEN = 8
PORT_NOT_OPEN = 10
BAD_CHECKSUM = 12
REPLY_TOO_SHORT = 13
COULD_NOT_CONNECT = 14
