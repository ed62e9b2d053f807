"""Fuzzing of the argument boundary: byte strings decoded into argument vectors.

Each input picks a function, a mixture of positional and keyword arguments (in any
order, with unknown, doubled or missing names now and then) and, per argument, an
object: float64 arrays of any shape and layout (odd byte strides and offsets
included), arrays of other dtypes and dimensions, numbers, strings (some without a
UTF-8 form), None, and objects whose __float__ or __index__ misbehave. A call must
either return or raise one of the documented classes; when it returns or fails in the
computation, the pure-Python reference must agree bit for bit. Anything else (a crash,
a sanitizer report, SystemError, a wrong number) is a finding.

By hand, coverage-guided with Atheris (the `fuzz` extra, in .venv-fuzz; the corpus is
kept in build/fuzz-corpus):

    python3 dev.py fuzz 3600         # seconds; 600 by default

Against the sanitizer build, add the LD_PRELOAD and *SAN_OPTIONS of dev.py's sanitizer
stage. The fault diagnostics that the module writes for PanicException go to standard
error as well. Without Atheris, `python3 tests/fuzz_arguments.py --random N` feeds N
seeded random inputs instead; test_properties.py runs a few thousand that way.
"""

from __future__ import annotations

import math
import re
import struct
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

if __name__ == "__main__" and "--random" not in sys.argv:
    import atheris

    with atheris.instrument_imports(include=["oracle", "helpers"]):
        import helpers
        import oracle as ref
else:
    import helpers
    import oracle as ref

import layouts
from oddities import (
    NATIVE_FUNCTIONS,
    TEXTS,
    CustomTypeError,
    Float,
    FloatRaises,
    Index,
    Name,
    PanicException,
    binding_error,
    kind,
    native,
    parameters,
    required,
    valid,
)


class Source:
    """Reads choices from the fuzzer's bytes; past the end every read is zero."""

    def __init__(self, data: bytes):
        self.data = data
        self.pos = 0

    def byte(self) -> int:
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def below(self, n: int) -> int:
        return self.byte() % n if n > 0 else 0

    def chance(self, in_256: int) -> bool:
        return self.byte() < in_256

    def double(self) -> float:
        if self.chance(160):  # mostly small, tidy values; the rest any bit pattern
            return [0.5, 1.0, 1.5, 2.0, -1.0, 0.0, -0.0, 0.1, 0.25, math.nan, math.inf,
                    -math.inf, 5e-324, 1e300, 3.0, 0.2][self.below(16)]
        raw = bytes(self.byte() for _ in range(8))
        return struct.unpack("<d", raw)[0]

    def text(self) -> str:
        n = self.below(8)
        raw = bytes(self.byte() for _ in range(n))
        return raw.decode("utf-8", "surrogateescape")  # lone surrogates now and then


# Classes a call may raise besides TypeError, ValueError and PanicException.
RAISED_BY_ARGUMENTS = (OverflowError, UnicodeEncodeError, CustomTypeError, ZeroDivisionError)


def float64_array(src: Source, shape) -> np.ndarray:
    values = np.array([src.double() for _ in range(int(np.prod(shape)))],
                      dtype=np.float64).reshape(shape)
    names = layouts.LAYOUTS_1D if len(shape) == 1 else layouts.LAYOUTS_2D
    choice = src.below(len(names) + 2)
    if choice == len(names):  # byte strides from the input, multiples of 8 or not
        return layouts.byte_strided(values, [src.below(41) - 20 for _ in shape], src.below(8))
    if choice == len(names) + 1:  # a field of records of 16 to 19 bytes
        return layouts.structured(values, src.below(8), 16 + src.below(4))
    return layouts.layout(values, names[choice])


def bad_object(src: Source):
    choices = [
        None, object(), [1.0], (1.0,), b"call", 1 + 2j, 10**400, Name("call"),
        np.float64(2.0), np.array(1.0), np.ones((1, 1, 1)), np.arange(3), np.ones(3, np.float32),
        np.ones((2, 2), np.complex128), np.ones(2, object), np.ones(3, ">f8"), np.ones(2, bool),
        FloatRaises(TypeError), FloatRaises(CustomTypeError), FloatRaises(ValueError),
        FloatRaises(ZeroDivisionError), FloatRaises(PanicException), Index(10**400),
        np.str_("put"), Index(2), Float(math.nan), True,
    ]
    return choices[src.below(len(choices))]


def argument(src: Source, kind: str, index: int, n_paths: int, n_steps: int, n: int,
             name: str = "payoff"):
    if src.chance(24):
        return bad_object(src)
    if kind == "array1":
        return float64_array(src, (n if src.chance(224) else src.below(5),))
    if kind == "array2":  # the first is the states, one column more than the steps
        rows, cols = n_paths, n_steps + (1 if index == 0 else 0)
        if src.chance(32):
            rows, cols = max(0, rows + src.below(3) - 1), max(0, cols + src.below(3) - 1)
        return float64_array(src, (rows, cols))
    if kind == "float":
        return src.double()
    texts = TEXTS.get(name, TEXTS["payoff"])
    return texts[src.below(len(texts))] if src.chance(224) else src.text()


def build_call(src: Source):
    function = NATIVE_FUNCTIONS[src.below(len(NATIVE_FUNCTIONS))]
    names = [p.name for p in parameters(function)]
    kinds = [kind(valid(function, name)) for name in names]
    n_required = required(function)
    n_paths, n_steps, n = src.below(5), 1 + src.below(4), src.below(6)
    values = [argument(src, k, i, n_paths, n_steps, n, name)
              for i, (k, name) in enumerate(zip(kinds, names))]
    n_positional = src.below(len(names) + 1)
    positional = values[:n_positional]
    if n_positional == len(names) and src.chance(16):
        positional.append(1.0)
    keywords = {}
    rest = list(range(n_positional, len(names)))
    while rest:  # in an order taken from the input
        i = rest.pop(src.below(len(rest)))
        if i >= n_required and src.chance(128) or src.chance(8):
            continue  # optional left out, or a required one missing
        keywords[names[i]] = values[i]
    if n_positional and src.chance(12):
        keywords[names[src.below(n_positional)]] = values[0]
    if src.chance(12):
        keywords[src.text() or "x"] = 1.0
    return function, positional, keywords


ZERO = re.compile(r"sigma\[(\d+), (\d+)\] = 0 produces division by zero in BEL weight")

# Parallel functions and the serial ones that they must equal.
SERIAL = {"_quarnel:bel_weights_tangent_flow_parallel": "_quarnel:bel_weights_tangent_flow",
          "quarnel._greeks:greek_weights_tangent_flow_parallel":
              "quarnel._greeks:greek_weights_tangent_flow"}


def same(got, want) -> bool:
    if got[0] != want[0]:
        return False
    if got[0] != "ok":
        return got[1] == want[1]
    a = np.atleast_1d(np.asarray(got[1], dtype=np.float64))
    b = np.atleast_1d(np.asarray(want[1], dtype=np.float64))
    return a.shape == b.shape and all(helpers.float_key(x) == helpers.float_key(y)
                                      for x, y in zip(a.ravel(), b.ravel()))


def one_input(data: bytes) -> None:
    src = Source(data)
    function, positional, keywords = build_call(src)
    fn = native(function)
    binding = binding_error(function, positional, keywords)
    try:
        got = _outcome(fn, positional, keywords)
    except (TypeError, *RAISED_BY_ARGUMENTS) as exc:
        if binding is not None:  # worded as CPython words it for a plain def
            assert type(exc) is TypeError and str(exc) == binding, (function, exc, binding)
        elif str(exc).startswith("argument '"):
            assert type(exc) is TypeError, (type(exc), exc)
        return
    assert binding is None, (function, got, binding)
    if any(isinstance(v, FloatRaises) for v in [*positional, *keywords.values()]):
        # Only a re-raised PanicException gets this far: the module resumes it as a
        # fault of its own. (The reference converts lazily, so it is not asked.)
        assert got == ("fault", None), got
        return
    # The call got past conversion: the reference must agree with what it computed.
    if function in SERIAL:
        serial = _outcome(native(SERIAL[function]), positional, keywords)
        if got[0] == serial[0] == "value_error" and ZERO.fullmatch(serial[1]):
            assert ZERO.fullmatch(got[1]), got  # any work item's first zero may be named
        else:
            assert same(got, serial), (got, serial)
        return
    module, _, name = function.rpartition(":")
    if module != "_quarnel":
        # No reference here: a value or a ValueError, and a fault only where one is asked.
        assert got[0] != "fault" or name == "_panic_exception", (function, got)
        return
    want = _outcome(getattr(ref, name), positional, keywords)
    assert same(got, want), (function, got, want)


def _outcome(fn, positional, keywords):
    """Like helpers.outcome, with keywords; conversion failures propagate."""
    try:
        return "ok", fn(*positional, **keywords)
    except UnicodeEncodeError:
        raise  # a conversion failure, though a subclass of ValueError
    except ValueError as exc:
        if str(exc) == "no float here":
            raise TypeError("raised by __float__") from exc  # an argument's own failure
        return "value_error", str(exc)
    except ref.InternalFault:
        return "fault", None
    except PanicException:
        return "fault", None


def random_inputs(count: int, seed: int = 0):
    rng = np.random.default_rng(seed)
    for _ in range(count):
        yield rng.bytes(int(rng.integers(0, 160)))


def main() -> None:
    if "--random" in sys.argv:
        count = int(sys.argv[sys.argv.index("--random") + 1])
        for data in random_inputs(count):
            one_input(data)
        print(f"{count} random inputs, no finding")
        return
    # Coverage of this file's decoding and of the reference guides the search; the
    # extension itself is not instrumented (that needs a -fsanitize=fuzzer build).
    for f in (one_input, build_call, argument, float64_array, bad_object, Source.double,
              Source.text, _outcome, same):
        atheris.instrument_func(f)
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
