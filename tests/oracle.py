"""The bit-exact oracle: a pure-Python reference for the numerics of quarnel.

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
same text. Reading past the end of an array, which the extension's own checks rule out,
raises `InternalFault`, the counterpart of the extension's PanicException.
"""

from __future__ import annotations

import math

import numpy as np


class InternalFault(Exception):
    """A broken internal invariant: the extension raises PanicException for it."""


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


def _constant_flow_pair(terminal_states, w_terminals, payoff, strike):
    """The first checks of both constant-flow estimators: (n, the payoff function)."""
    n = terminal_states.shape[0]
    if w_terminals.shape[0] != n:
        raise ValueError("terminal_states and w_terminals must have the same length")
    f = payoff_function(payoff, strike)
    if f is None:
        raise ValueError(_CONSTANT_FLOW_UNKNOWN.format(payoff))
    return n, f


def _price_and_delta(samples, n: int) -> tuple[float, float, float, float]:
    """(price, delta, price_stderr, delta_stderr) of the (price, delta) sample pairs,
    each sum left to right in path order."""
    s1p = s2p = s1d = s2d = 0.0
    for p, d in samples:
        s1p = s1p + p
        s1d = s1d + d
        s2p = s2p + p * p
        s2d = s2d + d * d
    price, price_se = mean_stderr(s1p, s2p, n)
    delta, delta_se = mean_stderr(s1d, s2d, n)
    return price, delta, price_se, delta_se


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
    n, f = _constant_flow_pair(terminal_states, w_terminals, payoff, strike)
    if not horizon > 0.0:
        raise ValueError("horizon must be positive")
    if not sigma_at_x0 > 0.0:
        raise ValueError("sigma_at_x0 must be positive")
    scale = div(1.0, horizon * sigma_at_x0)

    def samples():
        for k in range(n):
            p = f(float(terminal_states[k]))
            yield p, (p * float(w_terminals[k])) * scale

    return _price_and_delta(samples(), n)


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
    """Single pass; the step arrays may have extra rows and columns, which are ignored."""
    horizon = float(horizon)
    n_paths, n_steps = _check_state_columns(states)
    f = payoff_function(payoff, strike)
    if f is None:
        raise ValueError(_TANGENT_FLOW_UNKNOWN.format(payoff))
    if not horizon > 0.0:
        raise ValueError("horizon must be positive")
    fields = (("dws", dws), ("sigma_field", sigma_field), ("d_mu_dx_field", d_mu_dx_field),
              ("d_sigma_dx_field", d_sigma_dx_field))
    for name, a in fields if n_paths else ():
        if a.shape[0] < n_paths or a.shape[1] < n_steps:
            raise ValueError(f"{name} shape {_shape_text(a)} is smaller than required "
                             f"({n_paths}, {n_steps})")
    inv_t = div(1.0, horizon)
    dt = div(horizon, float(n_steps))
    message = "sigma_field[{}, {}] = 0 produces division by zero"

    def samples():
        for k in range(n_paths):
            acc = _path_weight(
                k, n_steps, inv_t, dt, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, message
            )
            p = f(float(states[k, n_steps]))
            yield p, acc * p

    return _price_and_delta(samples(), n_paths)


# --- constant-flow Greeks ----------------------------------------------------------------

_UNKNOWN_MODEL = "unknown model '{}': expected 'gbm' or 'abm'"
_UNKNOWN_ESTIMATOR = "unknown estimator '{}': expected 'weights' or 'lowest_variance'"


def _check_model(model):
    if model not in ("gbm", "abm"):
        raise ValueError(_UNKNOWN_MODEL.format(model))


def _check_finite(value, name):
    if value is not None and not math.isfinite(value):
        text = "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")
        raise ValueError(f"{name} must be finite, got {text}")


def _constant_flow_numbers(model, horizon, x0, vol):
    if not horizon > 0.0:
        raise ValueError("horizon must be positive")
    _check_finite(horizon, "horizon")
    if model == "gbm" and not x0 > 0.0:
        raise ValueError("x0 must be positive")
    _check_finite(x0, "x0")
    if not vol > 0.0:
        raise ValueError("vol must be positive")
    _check_finite(vol, "vol")


_DIGITALS = ("digital_call", "digital", "digital_put")
_SPREADS = ("call_spread", "put_spread")
_GREEK_UNKNOWN = ("unknown payoff '{}': expected 'identity', 'call', 'put', 'digital_call' "
                  "(or 'digital'), 'digital_put', 'call_spread', or 'put_spread'")


def greek_payoff_function(name, strike, strike2):
    """The payoff of the price-and-Greeks functions for `name`, or None; the spreads are
    long the option at `strike`, short it at `strike2` (0 when not given)."""
    k, k2 = float(strike), 0.0 if strike2 is None else float(strike2)
    if name in _SPREADS:
        long_leg = payoff_function(name[:-len("_spread")], k)
        short_leg = payoff_function(name[:-len("_spread")], k2)
        return lambda x: long_leg(x) - short_leg(x)
    if name == "digital_put":
        return lambda x: 1.0 if x < k else 0.0
    return payoff_function("digital_call" if name == "digital" else name, k)


def greek_slope_function(name, strike, strike2):
    if name in _SPREADS:
        k2 = 0.0 if strike2 is None else float(strike2)
        long_leg = _slope_function(name[:-len("_spread")], strike)
        short_leg = _slope_function(name[:-len("_spread")], k2)
        return lambda x: long_leg(x) - short_leg(x)
    return _slope_function(name, strike)


def _pairs_mode(pairs, n):
    if pairs in (None, ""):
        return None
    if pairs not in ("halves", "adjacent"):
        raise ValueError(f"unknown pairs '{pairs}': expected 'halves', 'adjacent' or None")
    if n % 2:
        raise ValueError(f"pairs need an even number of paths, got {n}")
    return pairs


def _pair_mean(a, b):
    if isinstance(a, (list, tuple)):
        return [_pair_mean(x, y) for x, y in zip(a, b)]
    return (a + b) * 0.5


def pair_means(samples, pairs):
    """The per-path samples as they are, or the mean samples of the antithetic pairs in
    pair order: rows k and k + n/2 ("halves") or 2j and 2j + 1 ("adjacent")."""
    if pairs is None:
        return samples
    h = len(samples) // 2
    rows = [(j, j + h) if pairs == "halves" else (2 * j, 2 * j + 1) for j in range(h)]
    return [_pair_mean(samples[a], samples[b]) for a, b in rows]


def _check_strikes(payoff, strike, strike2):
    _check_finite(strike, "strike")
    if payoff in _SPREADS and strike2 is None:
        raise ValueError(f"strike2 is required by payoff '{payoff}'")
    if payoff not in _SPREADS and strike2 is not None:
        raise ValueError("strike2 applies only to the payoffs 'call_spread' and 'put_spread'")
    _check_finite(None if strike2 is None else float(strike2), "strike2")


def _check_half_width(half_width, payoff, estimator):
    if half_width is None:
        return None
    half_width = float(half_width)
    if not (half_width > 0.0 and math.isfinite(half_width)):
        raise ValueError("half_width must be positive and finite")
    if not (estimator == "lowest_variance" and payoff in _DIGITALS):
        raise ValueError("half_width applies only to a digital payoff with estimator "
                         "'lowest_variance'")
    return half_width


def fixed_exp(x):
    """The library's exp (core/fixed_math.hpp): Cody-Waite reduction, a degree-13
    Taylor polynomial in Horner form, an exact scaling by 2^k."""
    if x != x:
        return x
    if x > 7.09782712893383973096e02:
        return math.inf
    if x < -7.45133219101941108420e02:
        return 0.0
    shifter = 6755399441055744.0
    kd = (x * 1.44269504088896338700e00 + shifter) - shifter
    k = int(kd)
    r = (x - kd * 6.93147180369123816490e-01) - kd * 1.90821492927058770002e-10
    p = 1.0 / 6227020800.0
    for c in (479001600.0, 39916800.0, 3628800.0, 362880.0, 40320.0, 5040.0, 720.0, 120.0,
              24.0, 6.0):
        p = p * r + 1.0 / c
    p = p * r + 0.5
    p = p * r * r + r
    e = 1.0 + p
    if -1021 <= k <= 1023:
        return e * math.ldexp(1.0, k)
    half = int(k / 2)
    return (e * math.ldexp(1.0, half)) * math.ldexp(1.0, k - half)


def finish_greeks(out, rate, horizon):
    """The last steps of every price-and-Greeks call: times df = exp(-rate T) with a
    rate, then a NaN error beside every estimate that is not finite."""
    out = list(out)
    if rate is not None:
        df = fixed_exp(-(rate * horizon))
        out = [v * df for v in out]
    for i in range(5):
        if not math.isfinite(out[i]):
            out[5 + i] = math.nan
    return tuple(out)


def _constant_flow(model, horizon, x0, vol):
    """(scale, weights(w), pathwise(x, w)); each returns (delta, gamma, vega, rho)."""
    if model == "gbm":
        scale = div(1.0, horizon * (vol * x0))
        q = (scale * scale) * horizon
        c1 = div(1.0, x0)
        inv_st = div(1.0, vol * horizon)
        inv_s = div(1.0, vol)
        st = vol * horizon

        def weights(w):
            p = w * scale
            return p, (p * p - p * c1) - q, (w * w - horizon) * inv_st - w, w * inv_s

        def pathwise(x, w):
            p = w * scale
            y = x * c1
            return y, y * (p - c1), x * (w - st), x * horizon

        return scale, weights, pathwise
    scale = div(1.0, horizon * vol)
    q = (scale * scale) * horizon
    inv_st = div(1.0, vol * horizon)
    inv_s = div(1.0, vol)

    def abm_weights(w):
        p = w * scale
        return p, p * p - q, (w * w - horizon) * inv_st, w * inv_s

    def abm_pathwise(x, w):
        return 1.0, w * scale, w, horizon

    return scale, abm_weights, abm_pathwise


def greek_weights_constant_flow(w_terminals, horizon, x0, vol, model="gbm"):
    horizon, x0, vol = float(horizon), float(x0), float(vol)
    _check_model(model)
    _constant_flow_numbers(model, horizon, x0, vol)
    _, weights, _ = _constant_flow(model, horizon, x0, vol)
    n = w_terminals.shape[0]
    out = np.empty((n, 4), dtype=np.float64)
    for k in range(n):
        out[k] = weights(float(w_terminals[k]))
    return out


def _slope_function(name, strike):
    k = float(strike)
    if name == "identity":
        return lambda x: 1.0
    if name == "call":
        return lambda x: 1.0 if x > k else 0.0
    return lambda x: -1.0 if x < k else 0.0


def _finish_greeks(sp, spp, s1, s2, n):
    price, price_se = mean_stderr(sp, spp, n)
    pairs = [mean_stderr(a, b, n) for a, b in zip(s1, s2)]
    return (price, *(m for m, _ in pairs), price_se, *(e for _, e in pairs))


def default_half_width(values) -> float:
    """Twice the population standard deviation, from one left-to-right pass."""
    s1 = s2 = 0.0
    n = values.shape[0]
    for k in range(n):
        x = float(values[k])
        s1 = s1 + x
        s2 = s2 + x * x
    count = float(n)
    mean = div(s1, count)
    var = div(s2, count) - mean * mean
    var = var if var > 0.0 else 0.0
    return 2.0 * math.sqrt(var)


def centre_on_weight(su, suu, suv, sv, svv, n):
    """(S1, S2) of u - c v for the regression coefficient c = Cov(u, v) / Var(v), from
    the sums of u, u^2, uv, v and v^2; c = 0 when v has no spread beyond rounding."""
    count = float(n)
    mv = div(sv, count)
    cov = div(suv, count) - div(su, count) * mv
    var = div(svv, count) - mv * mv
    c = div(cov, var) if var > 2.0**-26 * div(svv, count) else 0.0
    return su - c * sv, (suu - (2.0 * c) * suv) + (c * c) * svv


class _LocalisedDigital:
    """The digital's ramp of half-width e from K - e to K + e (off unless e is positive
    and finite), taken pathwise, the remainder by weights, and the sums that centre each
    of the m Greeks on its weight by its regression coefficient."""

    def __init__(self, strike, e, m, put=False):
        self.strike = strike
        self.put = put  # the digital put: 1{x < K} around the ramp 1 - fs
        self.lo = self.hi = math.inf
        self.inv2e = 0.0
        if e > 0.0 and e < math.inf:
            self.lo, self.hi, self.inv2e = strike - e, strike + e, div(1.0, 2.0 * e)
        self.sp = self.spp = 0.0
        self.su, self.suu, self.suv, self.sv, self.svv = ([0.0] * m for _ in range(5))

    def add(self, x, multipliers, weights, rho_of=None):
        """One path ending at x: the pathwise multipliers and the weights of its Greeks;
        `rho_of(u, f)` forms the last Greek's combined sample of a discounted rho."""
        self.add_centred(*self.sample(x, multipliers, weights, rho_of))

    def sample(self, x, multipliers, weights, rho_of=None):
        """(price, us, vs) of the path that `add` adds."""
        lo, hi, inv2e = self.lo, self.hi, self.inv2e
        v = 1.0 if x > self.strike else 0.0
        fs = 0.0 if x <= lo else (1.0 if x >= hi else (x - lo) * inv2e)
        fsp = inv2e if lo < x < hi else 0.0
        if self.put:
            v, fs, fsp = (1.0 if x < self.strike else 0.0), 1.0 - fs, -fsp
        g = v - fs
        us = []
        for i, (m, wt) in enumerate(zip(multipliers, weights)):
            u = fsp * m + g * wt
            if rho_of is not None and i == 3:
                u = rho_of(u, v)
            us.append(u)
        return v, us, list(weights)

    def add_centred(self, price, us, vs):
        """One path's price sample and, per Greek, the sample u and the zero-mean v that
        it is centred on."""
        self.sp = self.sp + price
        self.spp = self.spp + price * price
        for i, (u, wt) in enumerate(zip(us, vs)):
            self.su[i] = self.su[i] + u
            self.suu[i] = self.suu[i] + u * u
            self.suv[i] = self.suv[i] + u * wt
            self.sv[i] = self.sv[i] + wt
            self.svv[i] = self.svv[i] + wt * wt

    def sums(self, n):
        """(S(f), S(f * f), the centred sums, their sums of squares) over n paths."""
        centred = [centre_on_weight(*sums, n)
                   for sums in zip(self.su, self.suu, self.suv, self.sv, self.svv)]
        return self.sp, self.spp, [a for a, _ in centred], [b for _, b in centred]


def price_and_greeks_constant_flow(
    terminal_states,
    w_terminals,
    horizon,
    x0,
    vol,
    payoff,
    strike=0.0,
    model="gbm",
    estimator="lowest_variance",
    half_width=None,
    rate=None,
    strike2=None,
    pairs=None,
):
    """(price, delta, gamma, vega, rho, and their five standard errors)."""
    horizon, x0, vol, strike = float(horizon), float(x0), float(vol), float(strike)
    rate = None if rate is None else float(rate)
    return finish_greeks(_constant_flow_greeks(terminal_states, w_terminals, horizon, x0, vol,
                                               payoff, strike, model, estimator, half_width,
                                               rate, strike2, pairs), rate, horizon)


def _constant_flow_greeks(terminal_states, w_terminals, horizon, x0, vol, payoff, strike, model,
                          estimator, half_width, rate, strike2, pairs):
    n = terminal_states.shape[0]
    if w_terminals.shape[0] != n:
        raise ValueError("terminal_states and w_terminals must have the same length")
    f = greek_payoff_function(payoff, strike, strike2)
    if f is None:
        raise ValueError(_GREEK_UNKNOWN.format(payoff))
    _check_model(model)
    if estimator not in ("weights", "lowest_variance"):
        raise ValueError(_UNKNOWN_ESTIMATOR.format(estimator))
    _constant_flow_numbers(model, horizon, x0, vol)
    _check_strikes(payoff, strike, strike2)
    half_width = _check_half_width(half_width, payoff, estimator)
    _check_finite(rate, "rate")
    pairs = _pairs_mode(pairs, n)
    # With a rate, rho's per-path sample is the combined one of the discounted price.
    rho_of = (lambda r, v: r) if rate is None else (lambda r, v: r - horizon * v)
    scale, weights, pathwise = _constant_flow(model, horizon, x0, vol)

    def by_weights(x, w):
        v = f(x)
        _, g, e, r = weights(w)
        return v, [(v * w) * scale, v * g, v * e, rho_of(v * r, v)]

    def by_pathwise(x, w):
        v = f(x)
        d = slope(x)
        return v, [d * m if i < 3 else rho_of(d * m, v) for i, m in enumerate(pathwise(x, w))]

    def path_samples(sample):
        return pair_means([sample(float(terminal_states[k]), float(w_terminals[k]))
                           for k in range(n)], pairs)

    def plain(sample):
        sp = spp = 0.0
        s1 = [0.0] * 4
        s2 = [0.0] * 4
        samples = path_samples(sample)
        for v, us in samples:
            sp = sp + v
            spp = spp + v * v
            for i, u in enumerate(us):
                s1[i] = s1[i] + u
                s2[i] = s2[i] + u * u
        return _finish_greeks(sp, spp, s1, s2, len(samples))

    def centred_sums(sample, sums):
        samples = path_samples(sample)
        for price, us, vs in samples:
            sums.add_centred(price, us, vs)
        return _finish_greeks(*sums.sums(len(samples)), len(samples))

    if estimator == "weights":
        return plain(by_weights)
    if payoff not in _DIGITALS:
        slope = greek_slope_function(payoff, strike, strike2)
        if payoff not in _SPREADS:
            return plain(by_pathwise)
        # A spread: the weights samples z centred on z - u, u the pathwise ones.
        def blended(x, w):
            v, zs = by_weights(x, w)
            _, us = by_pathwise(x, w)
            return v, zs, [z - u for z, u in zip(zs, us)]

        return centred_sums(blended, _LocalisedDigital(strike, math.nan, 4))

    # Localised digital: ramp pathwise, remainder by weights, each Greek centred on its
    # weight by its regression coefficient through expanded sums.
    e = half_width if half_width is not None else default_half_width(terminal_states)
    digital = _LocalisedDigital(strike, e, 4, payoff == "digital_put")
    return centred_sums(
        lambda x, w: digital.sample(x, pathwise(x, w), weights(w),
                                    rho_of if rate is not None else None), digital)


# --- second-order tangent flow ------------------------------------------------------------

def _zero_sigma(sigma_name, k, j):
    """The weight functions' message names "sigma" and the weight; the estimators' does not."""
    where = "" if sigma_name.endswith("_field") else " in BEL weight"
    return f"{sigma_name}[{k}, {j}] = 0 produces division by zero{where}"


_GREEK_FIELDS = ("dws", "sigma", "d_mu_dx", "d_sigma_dx", "d2_mu_dx2", "d2_sigma_dx2")
_PARAMETER_FIELDS = ("d_mu_dp", "d_sigma_dp", "d2_mu_dx_dp", "d2_sigma_dx_dp")


def _check_shapes(states, named):
    n_paths, n_steps = _check_state_columns(states)
    for name, a in named:
        if tuple(a.shape) != (n_paths, n_steps):
            raise ValueError(f"{name} shape {_shape_text(a)} != expected ({n_paths}, {n_steps})")
    return n_paths, n_steps


def _second_order_path(k, n_steps, horizon, m, gamma, theta, sigma_name, mixed=False):
    """Path k's (pi, gamma weight, Y_N, H_N, V_N, parameter weight[, M Y_N, mixed weight]):
    the kernel's loop.

    m = (dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2[, the four parameter
    fields]). Entries not asked for (gamma, theta) are left at their start values; the
    last two come with `mixed` (which needs theta).
    """
    inv_t = div(1.0, horizon)
    dt = div(horizon, float(n_steps))
    inv_n = div(1.0, float(n_steps))
    y, h, acc, accl, kk, v, dv = 1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0
    z, acct, accu = 0.0, 0.0, 0.0
    for j in range(n_steps):
        s = _at2(m[1], k, j)
        if s == 0.0:
            raise ValueError(_zero_sigma(sigma_name, k, j))
        dw, mp, sp, mpp, spp = (_at2(m[i], k, j) for i in (0, 2, 3, 4, 5))
        p = sp * y
        yn = y + ((mp * y) * dt + p * dw)  # the first-order kernel's update
        u = (yn / s) * inv_n
        tau = ((yn * dw) - p * dt) / s
        if gamma:
            g = (float(n_steps - j) * inv_n) * y
            spp_g = spp * g
            la = ((mpp * g) * dt + spp_g * dw) - sp * u
            hn = h + (((mp * h) * dt + (sp * h) * dw) + y * la)
            ltau = (((hn * dw) - yn * u) - (spp_g * y + sp * h) * dt) / s - ((tau * sp) * g) / s
            accl = accl + ltau * inv_t
            h = hn
        if theta:
            mth, sth, mxth, sxth = (_at2(m[i], k, j) for i in (6, 7, 8, 9))
            d = (float(j) * inv_n) * y
            da = ((mpp * d) * dt + (spp * d) * dw) + sp * u
            kn = kk + (((mp * kk) * dt + (sp * kk) * dw) + y * da)
            vn = v + (((mp * v) * dt + (sp * v) * dw) + (mth * dt + sth * dw))
            dvn = dv + (
                ((mp * dv) * dt + (sp * dv) * dw)
                + ((v * da + ((mxth * d) * dt + (sxth * d) * dw)) + sth * u)
            )
            if mixed:
                dmp, dsp, ds = mpp * v + mxth, spp * v + sxth, sp * v + sth
                zn = z + (((mp * z) * dt + (sp * z) * dw) + y * (dmp * dt + dsp * dw))
                dtau = div((zn * dw) - (dsp * y + sp * z) * dt, s) - div(tau * ds, s)
                dutau = (div(((kn * dw) + yn * u) - ((spp * d) * y + sp * kk) * dt, s)
                         - div((tau * sp) * d, s))
                acct, accu, z = acct + dtau * inv_t, accu + dutau * inv_t, zn
            kk, v, dv = kn, vn, dvn
        acc = acc + tau * inv_t
        y = yn
    q = 0.0
    if theta:
        beta = div(v, y)
        q = beta * acc - div(dv - beta * kk, y)
    if mixed:
        return acc, acc * acc + accl, y, h, v, q, z - beta * kk, q * acc + (acct - beta * accu)
    return acc, acc * acc + accl, y, h, v, q


def greek_weights_tangent_flow(states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2,
                               horizon):
    horizon = float(horizon)
    if not horizon > 0.0:
        raise ValueError("horizon must be positive")
    m = (dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2)
    n_paths, n_steps = _check_shapes(states, zip(_GREEK_FIELDS, m))
    out = np.empty((n_paths, 4), dtype=np.float64)
    for k in range(n_paths):
        out[k] = _second_order_path(k, n_steps, horizon, m, True, False, "sigma")[:4]
    return out


# Bit-equal to the serial function; with zero sigma values in several work items the
# message names the leftmost failing item's first zero, which is this one only when all
# zeros fall in one item.
greek_weights_tangent_flow_parallel = greek_weights_tangent_flow


def _parameter_column(column, mixed):
    """The oracle of a one-parameter weight function: column `column` of each path's
    row (the parameter weight, or with `mixed` the mixed weight), after their checks."""

    def weights(states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2, d_mu_dp,
                d_sigma_dp, d2_mu_dx_dp, d2_sigma_dx_dp, horizon):
        horizon = float(horizon)
        if not horizon > 0.0:
            raise ValueError("horizon must be positive")
        m = (dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2, d_mu_dp, d_sigma_dp,
             d2_mu_dx_dp, d2_sigma_dx_dp)
        n_paths, n_steps = _check_shapes(states, zip(_GREEK_FIELDS + _PARAMETER_FIELDS, m))
        return np.array(
            [_second_order_path(k, n_steps, horizon, m, False, True, "sigma", mixed)[column]
             for k in range(n_paths)],
            dtype=np.float64,
        )

    return weights


parameter_weights_tangent_flow = _parameter_column(5, False)
mixed_weights_tangent_flow = _parameter_column(7, True)


def price_and_greeks_tangent_flow(states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field,
                                  d2_mu_dx2_field, d2_sigma_dx2_field, horizon, payoff,
                                  strike=0.0, estimator="lowest_variance", vol=None,
                                  half_width=None, rate=None, strike2=None, pairs=None):
    horizon = float(horizon)
    strike = float(strike)
    vol = None if vol is None else float(vol)
    rate = None if rate is None else float(rate)
    fields = (dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, d2_mu_dx2_field,
              d2_sigma_dx2_field)
    n, n_steps = _check_state_columns(states)
    # The covering rule of price_and_delta_tangent_flow: extra rows and columns ignored.
    names = [name + "_field" if name != "dws" else name for name in _GREEK_FIELDS]
    for name, a in zip(names, fields) if n else ():
        if a.shape[0] < n or a.shape[1] < n_steps:
            raise ValueError(f"{name} shape {_shape_text(a)} is smaller than required "
                             f"({n}, {n_steps})")
    fields = tuple(a[:n, :n_steps] for a in fields)
    dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, d2_mu_dx2_field, d2_sigma_dx2_field = (
        fields)
    f = greek_payoff_function(payoff, strike, strike2)
    if f is None:
        raise ValueError(_GREEK_UNKNOWN.format(payoff))
    if estimator not in ("weights", "lowest_variance"):
        raise ValueError(_UNKNOWN_ESTIMATOR.format(estimator))
    if not horizon > 0.0:
        raise ValueError("horizon must be positive")
    _check_finite(horizon, "horizon")
    _check_strikes(payoff, strike, strike2)
    if vol is not None and not vol > 0.0:
        raise ValueError("vol must be positive")
    _check_finite(vol, "vol")
    half_width = _check_half_width(half_width, payoff, estimator)
    _check_finite(rate, "rate")
    pairs = _pairs_mode(pairs, n)
    # The parallel bump: d sigma/de = sigma, d2 sigma/dx de = d sigma/dx, drift unchanged.
    zeros = np.zeros((n, n_steps))
    m = fields + (zeros, sigma_field, zeros, d_sigma_dx_field)
    with_vega = vol is not None
    terminal = np.array([float(states[k, n_steps]) for k in range(n)], dtype=np.float64)

    def by_weights(x, r):
        fx = f(x)
        return fx, fx * r[0], fx * r[1], fx * r[5]

    def by_pathwise(x, r):
        d = slope(x)
        return f(x), d * r[2], d * ((r[2] * r[0]) + r[3]), d * r[4]

    def path_samples(sample):
        rows = [_second_order_path(k, n_steps, horizon, m, True, with_vega, "sigma_field")
                for k in range(n)]
        return pair_means([sample(float(terminal[k]), rows[k]) for k in range(n)], pairs)

    def centred_sums(sample, sums):
        samples = path_samples(sample)
        for price, us, vs in samples:
            sums.add_centred(price, us, vs)
        sp, spp, c1, c2 = sums.sums(len(samples))
        return [sp] + c1, [spp] + c2, len(samples)

    if estimator == "lowest_variance" and payoff in _SPREADS:
        slope = greek_slope_function(payoff, strike, strike2)

        def blended(x, r):  # the weights samples z centred on z - u
            z, u = by_weights(x, r), by_pathwise(x, r)
            return z[0], list(z[1:]), [a - b for a, b in zip(z[1:], u[1:])]

        s1, s2, count = centred_sums(blended, _LocalisedDigital(strike, math.nan, 3))
    elif estimator == "lowest_variance" and payoff in _DIGITALS:
        e = half_width if half_width is not None else default_half_width(terminal)
        digital = _LocalisedDigital(strike, e, 3, payoff == "digital_put")
        s1, s2, count = centred_sums(
            lambda x, r: digital.sample(x, (r[2], (r[2] * r[0]) + r[3], r[4]),
                                        (r[0], r[1], r[5])), digital)
    else:
        if estimator == "weights":
            sample = by_weights
        else:
            slope = greek_slope_function(payoff, strike, strike2)
            sample = by_pathwise
        s1 = [0.0] * 4
        s2 = [0.0] * 4
        samples = path_samples(sample)
        count = len(samples)
        for values in samples:
            for i, v in enumerate(values):
                s1[i] = s1[i] + v
                s2[i] = s2[i] + v * v
    out = list(_finish_greeks(s1[0], s2[0], s1[1:] + [0.0], s2[1:] + [0.0], count))
    out[4] = out[9] = math.nan  # rho
    if with_vega:  # per unit of vol: the bump e is dvol / vol
        out[3], out[8] = div(out[3], vol), div(out[8], vol)
    else:
        out[3] = out[8] = math.nan
    return finish_greeks(out, rate, horizon)


# --- vanna and volga --------------------------------------------------------------------

def _cross_flow(model, horizon, x0, vol):
    """(weights(w), pathwise(x, w)), each returning (vanna, volga), in the kernel's order."""
    inv_st = div(1.0, vol * horizon)
    inv_s = div(1.0, vol)
    inv_s2 = div(1.0, vol * vol)
    three_over_s2t = div(3.0, (vol * vol) * horizon)
    if model == "gbm":
        scale = div(1.0, horizon * (vol * x0))
        c1 = div(1.0, x0)
        st = vol * horizon
        inv_sx0 = div(1.0, vol * x0)
        two_over_sstx0 = div(2.0, ((vol * vol) * horizon) * x0)
        three_over_s = div(3.0, vol)

        def weights(w):
            pd = w * scale
            pv = (w * w - horizon) * inv_st - w
            return ((pd * pv + inv_sx0) - w * two_over_sstx0,
                    (((pv * pv + inv_s2) + w * three_over_s) - (w * w) * three_over_s2t)
                    - horizon)

        def pathwise(x, w):
            pv = (w * w - horizon) * inv_st - w
            return (x * c1) * pv, x * ((w - st) * pv - w * inv_s)

        return weights, pathwise
    scale = div(1.0, horizon * vol)
    two_over_s2t = div(2.0, (vol * vol) * horizon)

    def abm_weights(w):
        pd = w * scale
        pv = (w * w - horizon) * inv_st
        return pd * pv - w * two_over_s2t, (pv * pv + inv_s2) - (w * w) * three_over_s2t

    def abm_pathwise(x, w):
        pv = (w * w - horizon) * inv_st
        return pv, w * pv - w * inv_s

    return abm_weights, abm_pathwise


def vanna_volga_constant_flow(terminal_states, w_terminals, horizon, x0, vol, payoff,
                              strike=0.0, model="gbm", estimator="lowest_variance",
                              half_width=None, rate=None, strike2=None, pairs=None):
    """(vanna, volga, vanna_stderr, volga_stderr), checked as price_and_greeks_constant_flow."""
    horizon, x0, vol, strike = float(horizon), float(x0), float(vol), float(strike)
    rate = None if rate is None else float(rate)
    n = terminal_states.shape[0]
    if w_terminals.shape[0] != n:
        raise ValueError("terminal_states and w_terminals must have the same length")
    # The same checks, in the same order: the price-and-Greeks oracle raises them.
    _constant_flow_greeks(terminal_states[:0], w_terminals[:0], horizon, x0, vol, payoff,
                          strike, model, estimator, half_width, rate, strike2, None)
    pairs = _pairs_mode(pairs, n)
    f = greek_payoff_function(payoff, strike, strike2)
    weights, pathwise = _cross_flow(model, horizon, x0, vol)
    paths = [(float(terminal_states[k]), float(w_terminals[k])) for k in range(n)]
    if estimator == "lowest_variance" and payoff in _DIGITALS:
        e = half_width if half_width is not None else default_half_width(terminal_states)
        digital = _LocalisedDigital(strike, e, 2, payoff == "digital_put")
        for price, us, vs in pair_means([digital.sample(x, pathwise(x, w), weights(w))
                                         for x, w in paths], pairs):
            digital.add_centred(price, us, vs)
        count = n // 2 if pairs else n
        _, _, c1, c2 = digital.sums(count)
        out = [mean_stderr(a, b, count) for a, b in zip(c1, c2)]
    else:
        if estimator == "weights":
            samples = [[f(x) * t for t in weights(w)] for x, w in paths]
        else:
            slope = greek_slope_function(payoff, strike, strike2)
            samples = [[slope(x) * m for m in pathwise(x, w)] for x, w in paths]
        samples = pair_means(samples, pairs)
        s1, s2 = [0.0, 0.0], [0.0, 0.0]
        for us in samples:
            for i, u in enumerate(us):
                s1[i] = s1[i] + u
                s2[i] = s2[i] + u * u
        out = [mean_stderr(a, b, len(samples)) for a, b in zip(s1, s2)]
    nan = math.nan
    g = finish_greeks((nan, nan, nan, out[0][0], out[1][0], nan, nan, nan, out[0][1],
                       out[1][1]), rate, horizon)
    return np.array([g[3], g[4], g[8], g[9]])
