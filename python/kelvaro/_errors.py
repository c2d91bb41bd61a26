"""The library's result codes as Python exceptions."""

from __future__ import annotations

from . import _native

# The library's texts are single-byte; latin-1 maps every byte, so a name never fails to decode.
TEXT_ENCODING = "latin-1"


class LensError(Exception):
    """A lens operation failed: `code` is the library's result code, `text` its name for it."""

    def __init__(self, code: int, text: str) -> None:
        super().__init__(code, text)
        self.code = code
        self.text = text

    def __str__(self) -> str:
        return f"{self.text} (code {self.code})"


def result_text(code: int) -> str:
    """The library's English text for a result code ("OK", "Timeout", ...)."""
    text = _native.api().result_text(code)
    return (text or b"").decode(TEXT_ENCODING)


def check(code: int) -> None:
    """Raises LensError for any code but 0."""
    if code != 0:
        raise LensError(code, result_text(code))
