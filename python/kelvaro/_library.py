"""Finding and loading the Kelvaro32 shared library, once per process."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import struct
import sys
import threading
from typing import List, Optional, Tuple

ENVIRONMENT_VARIABLE = "KELVARO_LIBRARY"

_WINDOWS = sys.platform == "win32"
# The file name the build gives the library on this platform.
FILE_NAME = "Kelvaro32.dll" if _WINDOWS else "libKelvaro32.so"

_loaded: Optional[ctypes.CDLL] = None
_loading = threading.Lock()


def _open(name: str) -> ctypes.CDLL:
    # The 32-bit DLL is __stdcall; on 64-bit Windows WinDLL and CDLL are the same convention.
    if sys.platform == "win32":
        return ctypes.WinDLL(name)
    return ctypes.CDLL(name)


def _file_bits(path: str) -> Optional[int]:
    """32 or 64 for an ELF or PE file, None when the header says neither."""
    try:
        with open(path, "rb") as file:
            header = file.read(64)
            if header[:4] == b"\x7fELF" and len(header) > 4:
                return {1: 32, 2: 64}.get(header[4])
            if header[:2] == b"MZ" and len(header) >= 64:
                (offset,) = struct.unpack_from("<I", header, 0x3C)
                file.seek(offset)
                pe = file.read(6)
                if pe[:4] == b"PE\0\0" and len(pe) == 6:
                    (machine,) = struct.unpack_from("<H", pe, 4)
                    return {0x014C: 32, 0x8664: 64, 0xAA64: 64}.get(machine)
    except OSError:
        pass
    return None


def _try_path(path: str) -> Tuple[Optional[ctypes.CDLL], str]:
    """The library at `path`, or None and why not."""
    if not os.path.exists(path):
        return None, "no such file"
    python_bits = struct.calcsize("P") * 8
    bits = _file_bits(path)
    # Checked here because the loader's own message for it is cryptic on both platforms.
    if bits is not None and bits != python_bits:
        return None, f"a {bits}-bit library, but this Python is {python_bits}-bit"
    try:
        return _open(path), ""
    except OSError as error:
        return None, str(error)


def _try_name(name: str) -> Tuple[Optional[ctypes.CDLL], str]:
    try:
        return _open(name), ""
    except OSError as error:
        return None, str(error)


def load_library() -> ctypes.CDLL:
    """Loads the library afresh, without the cache.

    Looks at the file named by KELVARO_LIBRARY when that is set (and then nowhere else, so a
    chosen build is never silently swapped for another); otherwise at the library inside
    this package's folder, then at the system's. Raises OSError naming every place looked
    at, with why each failed (missing, wrong bitness, the loader's message).
    """
    tried: List[str] = []
    chosen = os.environ.get(ENVIRONMENT_VARIABLE, "")
    if chosen:
        library, why = _try_path(chosen)
        if library is not None:
            return library
        raise OSError(
            f"cannot load the Kelvaro32 library: {ENVIRONMENT_VARIABLE}={chosen}: {why} "
            "(no other place is looked at while it is set)"
        )
    tried.append(f"{ENVIRONMENT_VARIABLE}: not set")

    beside = os.path.join(os.path.dirname(os.path.abspath(__file__)), FILE_NAME)
    library, why = _try_path(beside)
    if library is not None:
        return library
    tried.append(f"{beside}: {why}")

    names: List[str] = []
    found = ctypes.util.find_library("Kelvaro32")
    if found:
        names.append(found)
    plain = "Kelvaro32" if _WINDOWS else FILE_NAME
    if plain not in names:
        names.append(plain)
    for name in names:
        library, why = _try_name(name) if not os.path.isabs(name) else _try_path(name)
        if library is not None:
            return library
        tried.append(f"{name} (system): {why}")
    raise OSError("cannot load the Kelvaro32 library; looked at:\n  " + "\n  ".join(tried))


def library() -> ctypes.CDLL:
    """The process's library, loaded by the first call that succeeds."""
    global _loaded
    with _loading:
        if _loaded is None:
            _loaded = load_library()
        return _loaded
