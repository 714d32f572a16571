"""The exception that every failing call raises."""

from __future__ import annotations

import ctypes

from ._native import lib

OK = 0
UNEXPECTED = 0xF0000003
INVALID_ARGUMENT = 0xF0000004
TIMED_OUT = 0xF0000007
BUFFER_TOO_SMALL = 0xF000000A
OBJECT_NOT_FOUND = 0xF000000C
UNAVAILABLE = 0xF000000E
NO_NETWORK_DEVICE = 0xF0000016


class QXNetError(Exception):
    """A failed library call: ``code`` is the library's result code (or a system error number,
    such as an HTTP transport error), ``text`` the handle's error text or the code's message."""

    def __init__(self, code: int, text: str = "") -> None:
        self.code = code
        self.text = text or result_text(code) or f"error 0x{code:08x}"
        super().__init__(f"0x{code:08x}: {self.text}")


def read_text(function, *arguments) -> str:
    """Calls a text-out function twice when needed: first for the size, then for the text."""
    needed = ctypes.c_uint32(0)
    code = function(*arguments, None, 0, ctypes.byref(needed))
    if code not in (OK, BUFFER_TOO_SMALL):
        return ""
    buffer = ctypes.create_string_buffer(max(needed.value, 1))
    if function(*arguments, buffer, len(buffer), ctypes.byref(needed)) != OK:
        return ""
    return buffer.value.decode("utf-8", "replace")


def result_text(code: int) -> str:
    """The library's message for a result code, or "" when it has none."""
    return read_text(lib.qxnet_result_text, code)


def check(code: int, handle=None, last_error=None) -> None:
    """Raises QXNetError for a non-zero code, with the handle's last error text."""
    if code != OK:
        text = read_text(last_error, handle) if last_error is not None and handle else ""
        raise QXNetError(code, text)
