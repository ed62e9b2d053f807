"""Pure-Python reference for the numerics of `_quarnel`.

Every routine is a plain left-to-right loop over Python floats (IEEE doubles; CPython
rounds each operation on its own and never fuses a multiply-add), written in the
association the extension promises. The tests compare the extension against these
routines bit for bit, so do not "simplify" any expression here: `(p * w) * scale` and
`p * (w * scale)` are different functions in the last bit.

Python differs from C in two places that matter here:

* float division by zero raises instead of giving inf or NaN, so every division that
  can meet a zero goes through `div`;
* `x ** 2` raises OverflowError, so squares are written `v * v` (float `*`, `+` and `-`
  overflow to inf silently, like C).

Arrays are read element by element with `float(a[i])` / `float(a[k, j])`, in index
order, so the reference neither knows nor cares about the memory layout of its inputs.

Domain failures that the extension raises as ValueError raise ValueError here with the
same text. The two estimator preconditions that the extension treats as internal faults
(raised to Python as PanicException) raise `InternalFault` here, so a test can tell the
two kinds apart without caring how the extension spells its class.
"""

from __future__ import annotations

import math
import struct

import numpy as np


class InternalFault(Exception):
    """A violated estimator precondition: the extension raises PanicException for it."""


def div(a: float, b: float) -> float:
    """IEEE 754 quotient a / b, including the cases Python refuses (b == +-0.0)."""
    if b != 0.0:
        return a / b
    if math.isnan(a) or a == 0.0:
        return math.nan
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


def mean_stderr(s1: float, s2: float, n: int) -> tuple[float, float]:
    """Mean and population standard error from a sum and a sum of squares.

    The clamp keeps the non-NaN operand like IEEE maxNum: a negative variance from
    cancellation and a NaN variance (inf - inf) both become +0.0.
    """
    count = float(n)
    mean = div(s1, count)
    var = div(s2, count) - mean * mean
    var = var if var > 0.0 else 0.0
    return mean, math.sqrt(div(var, count))


# --- payoffs -------------------------------------------------------------------------

_PAYOFF_NAMES = ("identity", "call", "put", "digital_call")

_CONSTANT_FLOW_UNKNOWN = (
    "unknown payoff '{}': expected 'identity', 'call', 'put', or 'digital_call'"
)
_TANGENT_FLOW_UNKNOWN = "unknown payoff '{}'"


def payoff_function(name: str, strike: float):
    """The payoff for `name`, or None when the name is not one of the four."""
    k = float(strike)
    if name == "identity":
        return lambda x: x
    if name == "call":

        def call(x: float) -> float:
            d = x - k
            return d if d > 0.0 else 0.0

        return call
    if name == "put":

        def put(x: float) -> float:
            d = k - x
            return d if d > 0.0 else 0.0

        return put
    if name == "digital_call":
        return lambda x: 1.0 if x > k else 0.0
    return None


# --- element access --------------------------------------------------------------------


def _at2(a: np.ndarray, k: int, j: int) -> float:
    """a[k, j]; reading past the end is an internal fault, never a wrap-around."""
    if k >= a.shape[0] or j >= a.shape[1]:
        raise InternalFault(f"index [{k}, {j}] out of bounds for shape {list(a.shape)}")
    return float(a[k, j])


def _shape_text(a: np.ndarray) -> str:
    return "[" + ", ".join(str(int(e)) for e in a.shape) + "]"


# --- the six functions -----------------------------------------------------------------


def price_from_samples(samples: np.ndarray) -> tuple[float, float]:
    s1 = 0.0
    s2 = 0.0
    n = samples.shape[0]
    for i in range(n):
        v = float(samples[i])
        s1 = s1 + v
        s2 = s2 + v * v
    return mean_stderr(s1, s2, n)


def bel_weights_constant_flow(
    w_terminals: np.ndarray, horizon: float, sigma_at_x0: float
) -> np.ndarray:
    horizon = float(horizon)
    sigma_at_x0 = float(sigma_at_x0)
    if not horizon > 0.0:
        raise ValueError("horizon must be positive")
    if not sigma_at_x0 > 0.0:
        raise ValueError("sigma_at_x0 must be positive")
    n = w_terminals.shape[0]
    if n == 0:
        return np.empty(0, dtype=np.float64)
    # One reciprocal per call, then one multiplication per element.
    scale = div(1.0, horizon * sigma_at_x0)
    return np.array([float(w_terminals[k]) * scale for k in range(n)], dtype=np.float64)


def _check_state_columns(states: np.ndarray) -> tuple[int, int]:
    if states.shape[1] < 2:
        raise ValueError("states must have at least 2 columns (n_steps + 1)")
    return states.shape[0], states.shape[1] - 1


def _path_weight(k, n_steps, inv_t, dt, dws, sigma, d_mu_dx, d_sigma_dx, zero_message):
    """Tangent-flow weight of path k; Y enters the weight term before its own update."""
    y = 1.0
    acc = 0.0
    for j in range(n_steps):
        s = _at2(sigma, k, j)
        if s == 0.0:
            raise ValueError(zero_message.format(k, j))
        dw = _at2(dws, k, j)
        acc = acc + ((y / s) * inv_t) * dw  # s is nonzero here
        y = y + ((_at2(d_mu_dx, k, j) * y) * dt + (_at2(d_sigma_dx, k, j) * y) * dw)
    return acc


def bel_weights_tangent_flow(
    states: np.ndarray,
    dws: np.ndarray,
    sigma: np.ndarray,
    d_mu_dx: np.ndarray,
    d_sigma_dx: np.ndarray,
    horizon: float,
) -> np.ndarray:
    horizon = float(horizon)
    if not horizon > 0.0:
        raise ValueError("horizon must be positive")
    n_paths, n_steps = _check_state_columns(states)
    for name, a in (("dws", dws), ("sigma", sigma), ("d_mu_dx", d_mu_dx),
                    ("d_sigma_dx", d_sigma_dx)):
        if tuple(a.shape) != (n_paths, n_steps):
            raise ValueError(
                f"{name} shape {_shape_text(a)} != expected ({n_paths}, {n_steps})"
            )
    if n_paths == 0:
        return np.empty(0, dtype=np.float64)
    inv_t = div(1.0, horizon)
    dt = div(horizon, float(n_steps))
    message = "sigma[{}, {}] = 0 produces division by zero in BEL weight"
    return np.array(
        [
            _path_weight(k, n_steps, inv_t, dt, dws, sigma, d_mu_dx, d_sigma_dx, message)
            for k in range(n_paths)
        ],
        dtype=np.float64,
    )


# The parallel kernel returns the serial weights bit for bit. Its error message agrees
# with this one whenever the zero sigma values of a batch all fall in one work item.
bel_weights_tangent_flow_parallel = bel_weights_tangent_flow


def price_and_delta_constant_flow(
    terminal_states: np.ndarray,
    w_terminals: np.ndarray,
    horizon: float,
    sigma_at_x0: float,
    payoff: str,
    strike: float = 0.0,
) -> tuple[float, float, float, float]:
    horizon = float(horizon)
    sigma_at_x0 = float(sigma_at_x0)
    n = terminal_states.shape[0]
    if w_terminals.shape[0] != n:
        raise ValueError("terminal_states and w_terminals must have the same length")
    f = payoff_function(payoff, strike)
    if f is None:
        raise ValueError(_CONSTANT_FLOW_UNKNOWN.format(payoff))
    if not horizon > 0.0:
        raise InternalFault("horizon must be positive")
    if not sigma_at_x0 > 0.0:
        raise InternalFault("sigma_at_x0 must be positive")
    scale = div(1.0, horizon * sigma_at_x0)
    s1p = s2p = s1d = s2d = 0.0
    for k in range(n):
        p = f(float(terminal_states[k]))
        d = (p * float(w_terminals[k])) * scale
        s1p = s1p + p
        s1d = s1d + d
        s2p = s2p + p * p
        s2d = s2d + d * d
    price, price_se = mean_stderr(s1p, s2p, n)
    delta, delta_se = mean_stderr(s1d, s2d, n)
    return price, delta, price_se, delta_se


def price_and_delta_tangent_flow(
    states: np.ndarray,
    dws: np.ndarray,
    sigma_field: np.ndarray,
    d_mu_dx_field: np.ndarray,
    d_sigma_dx_field: np.ndarray,
    horizon: float,
    payoff: str,
    strike: float = 0.0,
) -> tuple[float, float, float, float]:
    """Single pass: no horizon check, no shape comparison; extra rows/columns ignored.

    An array too small for the loop raises InternalFault at the first missing element;
    the extension may find it earlier (before a zero diffusion value that comes first,
    say), so compare only batches in which at most one of the two can happen.
    """
    horizon = float(horizon)
    n_paths, n_steps = _check_state_columns(states)
    f = payoff_function(payoff, strike)
    if f is None:
        raise ValueError(_TANGENT_FLOW_UNKNOWN.format(payoff))
    inv_t = div(1.0, horizon)
    dt = div(horizon, float(n_steps))
    message = "sigma_field[{}, {}] = 0 produces division by zero"
    s1p = s2p = s1d = s2d = 0.0
    for k in range(n_paths):
        acc = _path_weight(
            k, n_steps, inv_t, dt, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, message
        )
        p = f(float(states[k, n_steps]))
        d = acc * p
        s1p = s1p + p
        s1d = s1d + d
        s2p = s2p + p * p
        s2d = s2d + d * d
    price, price_se = mean_stderr(s1p, s2p, n_paths)
    delta, delta_se = mean_stderr(s1d, s2d, n_paths)
    return price, delta, price_se, delta_se


# --- comparison and memory layouts for the tests ----------------------------------------
#
# Kept beside the reference so that every test module compares and lays out its inputs
# the same way.

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

# Filler for the gaps of strided layouts: reading a gap instead of the element meant
# changes every result it touches.
_GAP = 1234.5


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


def layout_1d(a: np.ndarray, name: str) -> np.ndarray:
    """A 1-D array equal to a (or, for "broadcast", to a[0] repeated) in another layout."""
    a = np.ascontiguousarray(a, dtype=np.float64)
    n = a.shape[0]
    if name == "contiguous":
        return a.copy()
    if name == "strided":  # every second element, not starting at the buffer's start
        wide = np.full(2 * n + 1, _GAP)
        wide[1::2] = a
        return wide[1::2]
    if name == "reversed":  # stride -1: element 0 sits at the high end of the block
        return a[::-1].copy()[::-1]
    if name == "reversed_step3":
        wide = np.full(3 * n + 2, _GAP)
        view = wide[::-3][:n]
        view[...] = a
        return view
    if name == "fortran_row":  # a row of a column-major matrix: stride 3 elements
        m = np.full((3, n), _GAP, order="F")
        m[1] = a
        return m[1]
    if name == "readonly":
        out = a.copy()
        out.flags.writeable = False
        return out
    if name == "broadcast":  # stride 0
        return np.broadcast_to(a[:1], (n,)) if n else a.copy()
    raise ValueError(name)


LAYOUTS_1D = ("contiguous", "strided", "reversed", "reversed_step3", "fortran_row",
              "readonly", "broadcast")


def layout_2d(a: np.ndarray, name: str) -> np.ndarray:
    """A 2-D array equal to a (for the broadcasts: to a's first row or column, repeated)."""
    a = np.ascontiguousarray(a, dtype=np.float64)
    r, c = a.shape
    if name == "contiguous":
        return a.copy()
    if name == "strided_columns":  # every second column of a wider matrix
        wide = np.full((r, 2 * c + 1), _GAP)
        wide[:, 1::2] = a
        return wide[:, 1::2]
    if name == "strided_rows":
        tall = np.full((3 * r, c), _GAP)
        tall[2::3] = a
        return tall[2::3]
    if name == "reversed":  # negative strides on both axes
        return a[::-1, ::-1].copy()[::-1, ::-1]
    if name == "fortran":
        return np.asfortranarray(a)
    if name == "transposed":  # a transposed view of a C-ordered matrix
        return a.T.copy().T
    if name == "readonly":
        out = a.copy()
        out.flags.writeable = False
        return out
    if name == "broadcast_rows":  # stride 0 along the paths
        return np.broadcast_to(a[:1], a.shape) if r else a.copy()
    if name == "broadcast_columns":  # stride 0 along the steps
        return np.broadcast_to(a[:, :1], a.shape) if c else a.copy()
    raise ValueError(name)


LAYOUTS_2D = ("contiguous", "strided_columns", "strided_rows", "reversed", "fortran",
              "transposed", "readonly", "broadcast_rows", "broadcast_columns")


def outcome(fn, *args):
    """("ok", value), ("value_error", message) or ("fault", None) for a call of fn.

    The extension's PanicException and the reference's InternalFault both count as a
    fault; PanicException is told apart by name, as it is not importable.
    """
    try:
        return "ok", fn(*args)
    except ValueError as exc:
        return "value_error", str(exc)
    except InternalFault:
        return "fault", None
    except BaseException as exc:  # noqa: BLE001 - PanicException derives from BaseException
        if type(exc).__name__ == "PanicException":
            return "fault", None
        raise


def assert_same_outcome(module_fn, reference_fn, *args) -> None:
    """The extension and the reference agree: same failure and text, or the same bits."""
    got = outcome(module_fn, *args)
    want = outcome(reference_fn, *args)
    assert got[0] == want[0], (got, want)
    if got[0] == "ok":
        assert_same_floats(got[1], want[1])
    else:
        assert got[1] == want[1]


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
