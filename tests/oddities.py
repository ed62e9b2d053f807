"""Argument objects that probe the conversion rules, shared by the tests and the fuzzer,
and the class of the module's internal faults.
"""

from __future__ import annotations

import numpy as np

import _quarnel

try:
    from quarnel import PanicException
except ImportError:  # a build without the package: take the class from a first fault
    try:
        _quarnel.price_and_delta_constant_flow(np.zeros(1), np.zeros(1), 0.0, 1.0, "call")
    except BaseException as exc:  # noqa: BLE001 - PanicException derives from BaseException
        PanicException = type(exc)


class Float:
    """A number only through __float__."""

    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v

    def __repr__(self):
        return f"Float({self.v!r})"


class Index:
    """A number only through __index__."""

    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v

    def __repr__(self):
        return f"Index({self.v!r})"


class Name(str):
    pass


class CustomTypeError(TypeError):
    pass


class FloatRaises:
    """__float__ raises a fresh exception of the given class each time, with a fixed
    cause, so that a test can check that the cause is carried over."""

    def __init__(self, cls, text="no float here"):
        self.cls = cls
        self.text = text
        self.cause = KeyError("root cause")

    def __float__(self):
        raise self.cls(self.text) from self.cause

    def __repr__(self):
        return f"FloatRaises({self.cls.__name__})"


class FloatReturnsText:
    def __float__(self):
        return "1.0"


class IndexRaises:
    def __index__(self):
        raise ZeroDivisionError("no index either")
