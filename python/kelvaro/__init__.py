"""Drive a motorised zoom lens through the Kelvaro32 library.

    from kelvaro import Lens

    with Lens("/dev/ttyUSB0") as lens:
        print(lens.name, lens.zoom)
        lens.zoom = 1000

The library is looked for at the path in KELVARO_LIBRARY when that is set, otherwise inside
this package's folder, then on the system; it is loaded on first use, not on import.
`kelvaro.flat` has the flat functions of Kelvaro32.h for hosts moving from them.
"""

from ._library import load_library
from ._errors import LensError, result_text
from .lens import Lens, Optics, Stats, clock
from .stream import Sample, Stream

__all__ = ["Lens", "LensError", "Optics", "Sample", "Stats", "Stream", "clock", "load_library", "result_text"]
