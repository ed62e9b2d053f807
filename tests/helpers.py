"""What the tests share beside the oracle: the special values, bit-for-bit comparison,
the outcome of a call (value, ValueError text or fault), seeded generators and random
path batches.

The oracle (oracle.py) says what the extension must compute; these say how every test
module feeds it and compares, the same way everywhere.
"""

from __future__ import annotations

import math
import struct
import zlib

import numpy as np

from oddities import PanicException
from oracle import InternalFault

# Values that tend to expose a different operation order or a missing special case:
# signed zeros, subnormals, the edges of the normal range, overflow-prone magnitudes.
SPECIALS = (
    math.nan,
    math.inf,
    -math.inf,
    0.0,
    -0.0,
    5e-324,
    -5e-324,
    2.2250738585072014e-308,
    -1e-310,
    1e-300,
    1e300,
    -1.7976931348623157e308,
    1.0000000000000002,
    -1.0,
)

# The same without zeros, for arrays where a zero is a domain error (the diffusion).
NONZERO_SPECIALS = tuple(v for v in SPECIALS if v != 0.0)

def float_key(x: float):
    """Bit pattern of x, with every NaN mapped to one key (payloads are not compared)."""
    x = float(x)
    if math.isnan(x):
        return "nan"
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def assert_same_floats(actual, expected) -> None:
    """Element-wise identity of two float sequences: signed zeros differ, NaNs agree."""
    actual = [float(v) for v in np.asarray(actual, dtype=np.float64).ravel()]
    expected = [float(v) for v in np.asarray(expected, dtype=np.float64).ravel()]
    assert len(actual) == len(expected), (len(actual), len(expected))
    bad = [
        (i, a, e)
        for i, (a, e) in enumerate(zip(actual, expected))
        if float_key(a) != float_key(e)
    ]
    assert not bad, "first mismatches (index, actual, expected): " + ", ".join(
        f"({i}, {a!r} [{a.hex()}], {e!r} [{e.hex()}])" for i, a, e in bad[:5]
    )


def sprinkle(rng: np.random.Generator, a: np.ndarray, specials, p: float) -> np.ndarray:
    """A copy of a with each entry replaced, with probability p, by a random special."""
    out = np.array(a, dtype=np.float64)
    mask = rng.random(out.shape) < p
    out[mask] = rng.choice(np.array(specials, dtype=np.float64), size=int(mask.sum()))
    return out


def outcome(fn, *args):
    """("ok", value), ("value_error", message) or ("fault", None) for a call of fn.

    The extension's PanicException and the oracle's InternalFault both count as a
    fault.
    """
    try:
        return "ok", fn(*args)
    except ValueError as exc:
        return "value_error", str(exc)
    except (InternalFault, PanicException):
        return "fault", None


def value_error(fn, *args, **kwargs) -> str:
    """The text of the ValueError (that class exactly, one argument) that the call raises."""
    try:
        fn(*args, **kwargs)
    except ValueError as exc:
        assert type(exc) is ValueError and len(exc.args) == 1, repr(exc)
        return str(exc)
    raise AssertionError("no ValueError raised")


def assert_same_outcome(module_fn, reference_fn, *args):
    """The extension and the reference agree (the same bits, or the same failure and
    text), the extension gives the same on contiguous copies of the arrays, and no input
    array was written. Returns the extension's outcome."""
    before = [np.array(a, copy=True) for a in args if isinstance(a, np.ndarray)]
    got = outcome(module_fn, *args)
    want = outcome(reference_fn, *args)
    assert got[0] == want[0], (got, want)
    if got[0] == "ok":
        assert_same_floats(got[1], want[1])
    else:
        assert got[1] == want[1]
    copies = [np.ascontiguousarray(a) if isinstance(a, np.ndarray) else a for a in args]
    again = outcome(module_fn, *copies)
    assert again[0] == got[0]
    if got[0] == "ok":
        assert_same_floats(again[1], got[1])
    for a, b in zip([a for a in args if isinstance(a, np.ndarray)], before):
        assert_same_floats(a, b)
    return got


def rng_for(*key) -> np.random.Generator:
    """A generator seeded from a test's parameters, stable across runs and machines."""
    return np.random.default_rng(zlib.crc32(repr(key).encode()))


def random_path_batch(rng, n_paths, n_steps, p=0.03, sigma_specials=NONZERO_SPECIALS):
    """A plausible Euler path batch with special values sprinkled over every matrix.

    The diffusion takes both signs (only a zero is an error) and, by default, no
    special zeros, so that the batch passes validation.
    """
    shape = (n_paths, n_steps)
    states = sprinkle(rng, rng.lognormal(0.0, 0.3, (n_paths, n_steps + 1)), SPECIALS, p)
    dws = sprinkle(rng, rng.standard_normal(shape) * math.sqrt(1.0 / n_steps), SPECIALS, p)
    sigma = rng.uniform(0.05, 2.0, shape) * rng.choice([-1.0, 1.0], shape)
    sigma = sprinkle(rng, sigma, sigma_specials, p)
    d_mu = sprinkle(rng, rng.standard_normal(shape), SPECIALS, p)
    d_sigma = sprinkle(rng, rng.standard_normal(shape) * 0.5, SPECIALS, p)
    return [states, dws, sigma, d_mu, d_sigma]


def plant_zeros(rng, a, count):
    """Set `count` random entries of a (in place) to +0.0 or -0.0."""
    for _ in range(count):
        a[rng.integers(a.shape[0]), rng.integers(a.shape[1])] = rng.choice([0.0, -0.0])
