"""python -m kelvaro PORT: the lens's status, in the lines of `kelvaroctl status`.

Exit status 0 when every item was read, 1 when the port could not be opened or the lens
failed an item, 2 for a bad command line.
"""

from __future__ import annotations

import argparse
import sys
from typing import Callable, List, Tuple

from ._errors import LensError
from .lens import SWITCHES, Lens

_LABEL_WIDTH = 14  # kelvaroctl's column: "focal length  "


def _line(label: str, text: str) -> str:
    return label.ljust(_LABEL_WIDTH) + text


def _items(lens: Lens) -> List[Tuple[str, Callable[[], str]]]:
    def optics(which: str) -> Callable[[], str]:
        def text() -> str:
            o = lens.optics
            return {
                "focal length": f"Focal Length  {o.focal_min_mm:.1f} to  {o.focal_max_mm:.1f} mm",
                "MOD": f"MOD:  {o.mod_m:.1f} meters",
                "aperture": f"Aperture: f/{o.f_number:.2f}",
            }[which]
        return text

    items: List[Tuple[str, Callable[[], str]]] = [("name", lambda: lens.name)]
    items += [(which, optics(which)) for which in ("focal length", "MOD", "aperture")]
    items += [("iris", lambda: str(lens.iris)), ("zoom", lambda: str(lens.zoom)),
              ("focus", lambda: str(lens.focus))]
    for number in SWITCHES:
        items.append((f"switch {number}",
                      lambda n=number: Lens.switch_label(n, lens.switch(n))))  # type: ignore[misc]
    return items


def main(argv: List[str]) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m kelvaro", description="Shows a lens's status, as kelvaroctl status does.")
    parser.add_argument("port", metavar="PORT",
                        help="the lens's port: /dev/ttyUSB0, COM3, tcp://HOST:PORT, rfc2217://HOST:PORT")
    port = parser.parse_args(argv).port
    try:
        lens = Lens(port)
    except (LensError, OSError, ValueError) as error:
        print(f"python -m kelvaro: cannot open {port}: {error}", file=sys.stderr)
        return 1
    with lens:
        print(_line("port", port))
        try:
            lens.connect()
        except LensError as error:
            # Nothing else would answer either: every item would wait out its time-out.
            print(_line("connect", f"failed: {error.text}"))
            return 1
        print(_line("connect", "OK"))
        status = 0
        for label, read in _items(lens):
            try:
                print(_line(label, read()))
            except LensError as error:
                print(_line(label, f"failed: {error.text}"))
                status = 1
        return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
