"""Property tests: every function against the pure-Python reference, bit for bit.

Inputs are drawn over shapes (empty ones included), memory layouts (slices with any
step, reversed and Fortran order, stride 0 from broadcasting, float64 at odd byte
offsets and odd byte strides) and values (NaN, infinities, signed zeros, subnormals,
extreme magnitudes). The reference reads every element by index through NumPy, so it
is blind to the layout; the module reads through raw byte strides, so any slip in
its addressing shows up as a different number.

The second half draws bad argument vectors (wrong types, dtypes, dimensions, objects
whose __float__ fails in various ways, keywords in any order mixed with positional
arguments, unknown, doubled and missing parameters) and checks the exception class and
text against a small model of the binding and conversion rules.
"""

from __future__ import annotations

import math
import re
from typing import NamedTuple

import numpy as np
import pytest
from hypothesis import event, given, note
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import _quarnel as q
import hypothesis_profiles  # noqa: F401  - selects the Hypothesis profile
import oracle as ref
from helpers import (
    NONZERO_SPECIALS,
    SPECIALS,
    assert_same_floats,
    assert_same_outcome,
    outcome,
    plant_zeros,
    random_path_batch,
)
from layouts import ALL_KINDS, ODD_KINDS, arranged
from oddities import (
    FUNCTIONS,
    VALID,
    CustomTypeError,
    Float,
    FloatRaises,
    FloatReturnsText,
    Index,
    IndexRaises,
    Name,
    PanicException,
    binding_error,
    kind,
    parameters,
    required,
)

# --- values ----------------------------------------------------------------------------

ANY_DOUBLE = st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True)
VALUES = st.one_of(st.sampled_from(SPECIALS), st.floats(-3.0, 3.0), ANY_DOUBLE)
NONZERO_VALUES = st.one_of(
    st.sampled_from(NONZERO_SPECIALS),
    st.floats(0.05, 3.0),
    st.floats(-3.0, -0.05),
    ANY_DOUBLE.filter(lambda v: v != 0.0),
)


def mostly(common, *rare, every=4):
    """`common` in about every - 1 draws out of `every`, otherwise one of `rare`."""
    # The rare branch sits mid-range: Hypothesis favours the ends of integer ranges.
    return st.integers(0, every - 1).flatmap(
        lambda i: st.one_of(*rare) if i == every // 2 else common)


# Horizons and diffusion values: mostly usable, sometimes anything at all.
SCALARS = mostly(st.floats(0.01, 10.0), st.sampled_from(SPECIALS), ANY_DOUBLE)
PAYOFF_NAMES = ("identity", "call", "put", "digital_call")
PAYOFFS = mostly(
    st.sampled_from(PAYOFF_NAMES),
    st.sampled_from(["Call", "CALL", " call", "call ", "digital", "", "identity\0", "put\0x"]),
    st.text(max_size=6),
    every=6,
)
OPTIONAL_STRIKE = st.one_of(st.none(), st.floats(-2.0, 4.0), VALUES)


def values_of(shape, elements=VALUES):
    return hnp.arrays(np.float64, shape, elements=elements)


@st.composite
def arrays_1d(draw, n=None, elements=VALUES, kinds=ALL_KINDS):
    if n is None:
        n = draw(st.integers(0, 12))
    return draw(arranged(draw(values_of((n,), elements)), kinds))


@st.composite
def arrays_2d(draw, shape, elements=VALUES, kinds=ALL_KINDS):
    return draw(arranged(draw(values_of(shape, elements)), kinds))


def _plant_zeros(draw, sigma):
    if sigma.size and draw(st.integers(0, 3)) == 2:
        for _ in range(draw(st.integers(1, 3))):
            k = draw(st.integers(0, sigma.shape[0] - 1))
            j = draw(st.integers(0, sigma.shape[1] - 1))
            sigma[k, j] = draw(st.sampled_from([0.0, -0.0]))
    return sigma


@st.composite
def path_batches(draw, kinds=ALL_KINDS, slack=False):
    """[states, dws, sigma, d_mu_dx, d_sigma_dx] with shapes that are mostly right.

    With slack=False a matrix is sometimes one row or column off (a shape error); with
    slack=True (the single-pass routine) matrices may be larger or smaller than needed.
    """
    n_paths = draw(mostly(st.integers(0, 6), st.integers(7, 19)))
    n_steps = draw(st.integers(1, 5))
    columns = draw(st.integers(0, 1)) if draw(st.integers(0, 11)) == 6 else n_steps + 1
    batch = [draw(arrays_2d((n_paths, columns), kinds=kinds))]
    # One matrix is sometimes one row or column short.
    short = draw(st.integers(0, 23)) if slack else 99
    for i in range(4):
        if slack:
            extra = st.sampled_from([0, 0, 1, 2])
            shape = (max(0, n_paths + (-1 if short == 8 + 2 * i else draw(extra))),
                     max(0, n_steps + (-1 if short == 9 + 2 * i else draw(extra))))
        elif draw(st.integers(0, 11)) == 6:
            shape = (max(0, n_paths + draw(st.sampled_from([-1, 0, 1]))),
                     max(0, n_steps + draw(st.sampled_from([-1, 1]))))
        else:
            shape = (n_paths, n_steps)
        values = draw(values_of(shape, NONZERO_VALUES if i == 1 else VALUES))
        if i == 1:
            values = _plant_zeros(draw, values)
        batch.append(draw(arranged(values, kinds)))
    return batch


def snapshot(arrays):
    return [np.array(a, copy=True) for a in arrays]


def assert_unchanged(arrays, before):
    for a, b in zip(arrays, before):
        assert_same_floats(a, b)


def agree(module_fn, reference_fn, arrays, *scalars):
    """helpers.assert_same_outcome, with the outcome noted for Hypothesis' report."""
    got = assert_same_outcome(module_fn, reference_fn, *arrays, *scalars)
    note(f"module: {got!r}")
    event(f"outcome: {got[0]}" + (f" {got[1].split(' ')[0]}" if got[0] == "value_error" else ""))
    return got


# --- values against the reference ------------------------------------------------------


class TestAgainstReference:
    @given(samples=arrays_1d())
    def test_price_from_samples(self, samples):
        kind, value = agree(q.price_from_samples, ref.price_from_samples, [samples])
        assert kind == "ok" and type(value) is tuple and len(value) == 2

    @given(w=arrays_1d(), horizon=SCALARS, sigma_at_x0=SCALARS)
    def test_bel_weights_constant_flow(self, w, horizon, sigma_at_x0):
        kind, value = agree(q.bel_weights_constant_flow, ref.bel_weights_constant_flow, [w],
                            horizon, sigma_at_x0)
        if kind == "ok":
            assert value.shape == w.shape and not np.shares_memory(value, w)

    @given(data=st.data(), horizon=SCALARS, sigma_at_x0=SCALARS, payoff=PAYOFFS,
           strike=OPTIONAL_STRIKE)
    def test_price_and_delta_constant_flow(self, data, horizon, sigma_at_x0, payoff, strike):
        x = data.draw(arrays_1d(), "terminal_states")
        n = None if data.draw(st.integers(0, 7)) == 3 else len(x)  # None: any length
        w = data.draw(arrays_1d(n), "w_terminals")
        scalars = [horizon, sigma_at_x0, payoff] + ([] if strike is None else [strike])
        agree(q.price_and_delta_constant_flow, ref.price_and_delta_constant_flow, [x, w],
              *scalars)

    @given(batch=path_batches(), horizon=SCALARS)
    def test_bel_weights_tangent_flow(self, batch, horizon):
        agree(q.bel_weights_tangent_flow, ref.bel_weights_tangent_flow, batch, horizon)

    @given(batch=path_batches(slack=True), horizon=SCALARS, payoff=PAYOFFS,
           strike=OPTIONAL_STRIKE)
    def test_price_and_delta_tangent_flow(self, batch, horizon, payoff, strike):
        scalars = [horizon, payoff] + ([] if strike is None else [strike])
        agree(q.price_and_delta_tangent_flow, ref.price_and_delta_tangent_flow, batch,
              *scalars)


# --- the parallel kernel ---------------------------------------------------------------

ZERO_SIGMA = re.compile(r"sigma\[(\d+), (\d+)\] = 0 produces division by zero in BEL weight")


def assert_valid_parallel_zero(message, serial_message, sigma):
    """With zeros in several work items, any item may report its own first zero."""
    s = np.array(sigma)
    k, j = map(int, ZERO_SIGMA.fullmatch(message).groups())
    first_k, _ = map(int, ZERO_SIGMA.fullmatch(serial_message).groups())
    assert s[k, j] == 0.0 and not (s[k, :j] == 0.0).any(), message
    assert k >= first_k
    if len({r for r, _ in zip(*np.nonzero(s == 0.0))}) == 1:
        assert message == serial_message


def assert_parallel_agrees(batch, horizon, serial):
    """The parallel kernel's outcome on batch is the serial one's `serial`: the same
    weights, or a valid first zero of some work item, or the same message."""
    got = outcome(q.bel_weights_tangent_flow_parallel, *batch, horizon)
    assert got[0] == serial[0], (got, serial)
    if got[0] == "ok":
        assert_same_floats(got[1], serial[1])
    elif ZERO_SIGMA.fullmatch(serial[1]):
        assert_valid_parallel_zero(got[1], serial[1], batch[2])
    else:
        assert got[1] == serial[1]


class TestParallelKernel:
    @given(batch=path_batches(), horizon=SCALARS)
    def test_equals_serial_and_reference(self, batch, horizon):
        before = snapshot(batch)
        serial = outcome(q.bel_weights_tangent_flow, *batch, horizon)
        want = outcome(ref.bel_weights_tangent_flow, *batch, horizon)
        assert serial[0] == want[0], (serial, want)
        if serial[0] == "ok":
            assert_same_floats(serial[1], want[1])
        assert_parallel_agrees(batch, horizon, serial)
        assert_unchanged(batch, before)


@st.composite
def large_batches(draw):
    """Up to 300 paths: several work items of the pool, several blocks of interleaved
    paths in the kernels, with remainders. Values come from a seeded generator (drawing
    thousands of them one by one would be slow); layouts are drawn as elsewhere."""
    n_paths = draw(st.integers(2, 300))
    n_steps = draw(st.integers(1, 6))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    batch = random_path_batch(rng, n_paths, n_steps)
    if draw(st.integers(0, 3)) == 2:
        plant_zeros(rng, batch[2], draw(st.integers(1, 4)))
    return [draw(arranged(a)) for a in batch]


class TestLargerBatches:
    @given(batch=large_batches(), horizon=st.floats(0.1, 4.0))
    def test_weight_kernels(self, batch, horizon):
        serial = agree(q.bel_weights_tangent_flow, ref.bel_weights_tangent_flow, batch, horizon)
        assert_parallel_agrees(batch, horizon, serial)

    @given(batch=large_batches(), horizon=st.floats(0.1, 4.0), payoff=st.sampled_from(
        PAYOFF_NAMES), strike=st.floats(0.5, 1.5))
    def test_price_and_delta_tangent_flow(self, batch, horizon, payoff, strike):
        agree(q.price_and_delta_tangent_flow, ref.price_and_delta_tangent_flow, batch, horizon,
              payoff, strike)


# --- odd byte strides and unaligned data in two dimensions -----------------------------


class TestOddByteStrides:
    """Every matrix read through byte strides that are not multiples of 8 (or at an odd
    address) gives the result of its contiguous copy, and the reference's."""

    @given(batch=path_batches(kinds=ODD_KINDS), horizon=SCALARS)
    def test_weight_kernels(self, batch, horizon):
        serial = agree(q.bel_weights_tangent_flow, ref.bel_weights_tangent_flow, batch, horizon)
        parallel = outcome(q.bel_weights_tangent_flow_parallel, *batch, horizon)
        assert parallel[0] == serial[0]
        if serial[0] == "ok":
            assert_same_floats(parallel[1], serial[1])

    @given(data=st.data(), payoff=st.sampled_from(PAYOFF_NAMES), strike=st.floats(-1.0, 2.0))
    def test_price_and_delta_tangent_flow(self, data, payoff, strike):
        n_paths = data.draw(st.integers(1, 6))
        n_steps = data.draw(st.integers(1, 5))
        states = data.draw(arrays_2d((n_paths, n_steps + 1), kinds=ODD_KINDS))
        fields = [data.draw(arrays_2d((n_paths, n_steps),
                                      NONZERO_VALUES if i == 1 else VALUES, ODD_KINDS))
                  for i in range(4)]
        agree(q.price_and_delta_tangent_flow, ref.price_and_delta_tangent_flow,
              [states, *fields], 1.5, payoff, strike)

    @given(data=st.data(), payoff=st.sampled_from(PAYOFF_NAMES))
    def test_one_dimensional_functions(self, data, payoff):
        x = data.draw(arrays_1d(kinds=ODD_KINDS))
        w = data.draw(arrays_1d(len(x), kinds=ODD_KINDS))
        agree(q.price_from_samples, ref.price_from_samples, [x])
        agree(q.bel_weights_constant_flow, ref.bel_weights_constant_flow, [w], 0.75, 1.25)
        agree(q.price_and_delta_constant_flow, ref.price_and_delta_constant_flow, [x, w],
              0.75, 1.25, payoff, 0.5)


# --- bad arguments ---------------------------------------------------------------------


class ArrayLike:
    """Converts with numpy.asarray, but is not an ndarray: refused all the same."""

    def __array__(self, dtype=None, copy=None):
        return np.ones(3)


def _readonly(a):
    r = a.copy()
    r.flags.writeable = False
    return r


class Sub(np.ndarray):
    pass


def valid_alternatives(kind, v):
    """Other objects that convert to exactly the same input."""
    if kind.startswith("array"):
        tagged = v.astype(np.dtype(np.float64, metadata={"unit": "USD"}))
        flipped = tuple(slice(None, None, -1) for _ in v.shape)
        return [v, v.copy()[flipped].copy()[flipped], np.asfortranarray(v), _readonly(v),
                v.view(Sub), tagged]
    if kind == "float":
        out = [v, np.float64(v), np.float32(v), Float(v)]
        if v == int(v):
            out += [int(v), np.int64(int(v)), Index(int(v))]
        return out
    return [v, Name(v), np.str_(v)]


def bad_values(kind):
    """Objects that fail conversion for a parameter of this kind."""
    common = [None, object(), "1.0", [1.0, 2.0], (1.0,), b"call"]
    if kind.startswith("array"):
        wrong_ndim = np.ones((2, 2)) if kind == "array1" else np.ones(3)
        return common + [
            1.5, np.float64(1.0), np.array(1.0), wrong_ndim, np.ones((1, 1, 1)),
            np.arange(4), np.ones(4, np.float32), np.ones(4, np.complex128),
            np.ones(4, object), np.ones(4, ">f8"), np.ones(4, bool), ArrayLike(),
            memoryview(b"\0" * 32).cast("d"),
        ]
    if kind == "float":
        return common + [
            Name("2.0"), 1 + 2j, np.ones(2), 10**400, -(10**400),
            FloatRaises(TypeError), FloatRaises(CustomTypeError), FloatRaises(ValueError),
            FloatRaises(ZeroDivisionError), FloatRaises(PanicException), FloatReturnsText(),
            IndexRaises(), np.str_("1.0"),
        ]
    return [None, object(), 3, 1.5, ["call"], b"call", VALID["samples"], "\udcff", "call\ud800"]


class Expected(NamedTuple):
    """A failure: its exact class, and its exact text or the start of it."""

    cls: type
    text: str | None = None
    prefix: str | None = None
    cause: BaseException | None = None


BAD_VALUES = {k: bad_values(k) for k in ("array1", "array2", "float", "str")}


def expected_conversion_error(name, kind, obj):
    """The failure to convert the bad value obj for parameter `name`."""
    if kind.startswith("array") or kind == "str" and not isinstance(obj, str):
        prefix = f"argument '{name}': '{type(obj).__qualname__}' object cannot be converted to '"
        return Expected(TypeError, prefix=prefix)
    if kind == "float":
        try:
            math.isnan(obj)  # goes through PyFloat_AsDouble exactly like the module
        except BaseException as exc:  # noqa: BLE001 - PanicException included
            if type(exc) is TypeError:
                return Expected(TypeError, f"argument '{name}': {exc}", cause=exc.__cause__)
            return Expected(type(exc), str(exc))
        raise AssertionError(f"{obj!r} converts to a float")
    try:
        obj.encode("utf-8")
    except UnicodeEncodeError as exc:
        return Expected(UnicodeEncodeError, str(exc))
    raise AssertionError(f"{obj!r} is a valid str")


KEYWORD_TEXT = st.text(
    alphabet=st.characters(blacklist_categories=("Cs",)), min_size=1, max_size=12
)


@st.composite
def argument_vectors(draw, function):
    """(positional args, keyword dict, Expected failure or None for success)."""
    names = [p.name for p in parameters(function)]
    n, n_required = len(names), required(function)
    values, bad = [], []
    for name in names:
        bad.append(draw(st.integers(0, 3)) == 0)
        k = kind(VALID[name])
        choices = BAD_VALUES[k] if bad[-1] else valid_alternatives(k, VALID[name])
        # Drawn by index: some of these objects cannot be hashed, which sampled_from needs.
        values.append(choices[draw(st.integers(0, len(choices) - 1))])
    n_positional = draw(st.integers(0, n))
    positional = values[:n_positional]
    if n_positional == n and draw(st.integers(0, 9)) == 0:
        positional += [VALID["samples"]] * draw(st.integers(1, 2))  # too many
    keyword_names = []
    for i in range(n_positional, n):
        # Optional parameters are often left out; required ones only now and then.
        if draw(st.integers(0, 1 if i >= n_required else 15)) != 0:
            keyword_names.append(names[i])
    if n_positional and draw(st.integers(0, 9)) == 0:
        keyword_names.append(names[draw(st.integers(0, n_positional - 1))])  # doubled
    if draw(st.integers(0, 9)) == 0:
        keyword_names.append(draw(KEYWORD_TEXT.filter(lambda s: s not in names)))  # unknown
    keyword_names = draw(st.permutations(keyword_names))
    keywords = {k: values[names.index(k)] if k in names else 1.0 for k in keyword_names}

    binding = binding_error(function, positional, keywords)
    if binding is not None:
        return positional, keywords, Expected(TypeError, binding)
    given_names = set(names[:n_positional]) | set(keywords)
    for name, value, is_bad in zip(names, values, bad):
        if name in given_names and is_bad:
            return positional, keywords, expected_conversion_error(name, kind(VALID[name]),
                                                                   value)
    return positional, keywords, None


def canonical_call(function, keywords_given):
    args = [VALID[p.name] for p in parameters(function)
            if p.default is p.empty or p.name in keywords_given]
    return getattr(q, function)(*args)


@pytest.mark.parametrize("function", FUNCTIONS)
class TestBadArguments:
    def test_every_bad_value_for_every_parameter(self, function, capfd):
        """The whole catalogue, one parameter at a time, by position and by keyword."""
        names = [p.name for p in parameters(function)]
        valid = [VALID[name] for name in names]
        fn = getattr(q, function)
        for i, name in enumerate(names):
            for bad in BAD_VALUES[kind(valid[i])]:
                expected = expected_conversion_error(name, kind(valid[i]), bad)
                args = valid[:i] + [bad] + valid[i + 1:]
                check_call(expected, fn, args, {})
                check_call(expected, fn, args[:i], dict(zip(names[i:], args[i:])))
        capfd.readouterr()  # fault diagnostics of the PanicException cases

    def test_every_binding_failure(self, function):
        """Missing lists of every length, every doubled parameter, too many, unknown."""
        names = [p.name for p in parameters(function)]
        n_required = required(function)
        valid = [VALID[name] for name in names]
        fn = getattr(q, function)
        calls = [(valid[:k], {}) for k in range(n_required)]  # missing the rest
        calls += [(valid[:k], {names[-1]: valid[-1]}) for k in range(n_required - 1)]
        calls += [(valid[:i + 1], {names[i]: valid[i]}) for i in range(len(names))]
        calls += [(valid + [valid[0]], {}), (valid + [valid[0]] * 2, {}),
                  (valid[:1], {"bogus": 1.0}), ([], {names[0].upper(): valid[0]}),
                  (valid + [valid[0]], {"bogus": 1.0}), ([], {names[0] + "\0x": valid[0]})]
        for positional, keywords in calls:
            expected = binding_error(function, positional, keywords)
            assert expected is not None
            check_call(Expected(TypeError, expected), fn, positional, keywords)

    @given(data=st.data())
    def test_exception_class_and_text(self, function, data):
        positional, keywords, expected = data.draw(argument_vectors(function))
        result = check_call(expected, getattr(q, function), positional, keywords)
        if expected is None:
            names = [p.name for p in parameters(function)]
            assert_same_floats(result, canonical_call(
                function, set(keywords) | set(names[:len(positional)])))


def check_call(expected, fn, positional, keywords):
    """Calls fn; it must fail exactly as `expected` says, or return for None."""
    try:
        result = fn(*positional, **keywords)
    except BaseException as exc:  # noqa: BLE001 - PanicException included
        assert expected is not None, f"unexpected {type(exc).__name__}: {exc}"
        assert type(exc) is expected.cls, (type(exc), exc, expected)
        if expected.text is not None:
            assert str(exc) == expected.text
        if expected.prefix is not None:
            assert str(exc).startswith(expected.prefix), str(exc)
        if expected.cause is not None:
            assert exc.__cause__ is expected.cause
        return None
    assert expected is None, f"expected {expected}, got {result!r}"
    return result


# NumPy 1.25 to 1.26 warn when a one-element array is taken as a float; the fuzzer
# passes such arrays where a number belongs on purpose.
@pytest.mark.filterwarnings("ignore:Conversion of an array with ndim > 0:DeprecationWarning")
def test_argument_fuzz_smoke(capfd):
    """A few thousand seeded inputs of the fuzzing harness (see fuzz_arguments.py)."""
    import fuzz_arguments

    for data in fuzz_arguments.random_inputs(3000, seed=1):
        try:
            fuzz_arguments.one_input(data)
        except AssertionError as exc:
            raise AssertionError(f"finding for input {data!r}") from exc
    capfd.readouterr()  # fault diagnostics
