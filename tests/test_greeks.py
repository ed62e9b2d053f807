"""The Greeks of `quarnel._greeks`: bits against the reference, values against closed
forms, and the argument checks."""

import functools
import math

import numpy as np
import pytest

import _quarnel
import oracle as ref
import quarnel
from helpers import (
    SPECIALS,
    assert_same_floats,
    assert_same_outcome,
    random_path_batch,
    rng_for,
    sprinkle,
    value_error,
)
from layouts import layout
from quarnel import _greeks as g
from quarnel import parallel_volatility_bump

PAYOFFS = ("identity", "call", "put", "digital_call")
# The payoffs of the price-and-Greeks functions beyond price_and_delta's four.
MORE_PAYOFFS = ("digital_put", "call_spread", "put_spread")
UNKNOWN_PAYOFF = ("unknown payoff '{}': expected 'identity', 'call', 'put', 'digital_call' "
                  "(or 'digital'), 'digital_put', 'call_spread', or 'put_spread'")
MODELS = ("gbm", "abm")
ESTIMATORS = ("weights", "lowest_variance")


# --- constant flow -----------------------------------------------------------------------


def phi(x):
    return math.exp(-0.5 * x * x) / math.sqrt(2.0 * math.pi)


def Phi(x):
    return 0.5 * math.erfc(-x / math.sqrt(2.0))


def closed_form(model, payoff, x0, mu, s, T, K):
    """Undiscounted (price, delta, gamma, vega d/ds, rho d/dmu)."""
    if payoff.endswith("_spread"):  # long at K, short at the market's second strike
        leg = payoff[:-len("_spread")]
        return tuple(a - b for a, b in zip(closed_form(model, leg, x0, mu, s, T, K),
                                           closed_form(model, leg, x0, mu, s, T,
                                                       STRIKE2[model])))
    if payoff == "digital_put":  # 1 - the digital call
        return tuple((1.0 if i == 0 else 0.0) - v
                     for i, v in enumerate(closed_form(model, "digital_call", x0, mu, s, T, K)))
    sq = math.sqrt(T)
    if model == "gbm":
        d1 = (math.log(x0 / K) + (mu + 0.5 * s * s) * T) / (s * sq)
        d2 = d1 - s * sq
        fwd = x0 * math.exp(mu * T)
        growth = math.exp(mu * T)
        gamma = growth * phi(d1) / (x0 * s * sq)
        vega = fwd * phi(d1) * sq
        if payoff == "call":
            return fwd * Phi(d1) - K * Phi(d2), growth * Phi(d1), gamma, vega, T * fwd * Phi(d1)
        if payoff == "put":
            return (K * Phi(-d2) - fwd * Phi(-d1), -growth * Phi(-d1), gamma, vega,
                    -T * fwd * Phi(-d1))
        if payoff == "identity":
            return fwd, growth, 0.0, 0.0, T * fwd
        return (Phi(d2), phi(d2) / (x0 * s * sq), -phi(d2) * d1 / (x0 * x0 * s * s * T),
                -phi(d2) * d1 / s, phi(d2) * sq / s)
    m = x0 + mu * T
    v = s * sq
    d = (m - K) / v
    if payoff == "call":
        return (m - K) * Phi(d) + v * phi(d), Phi(d), phi(d) / v, phi(d) * sq, T * Phi(d)
    if payoff == "put":
        return (K - m) * Phi(-d) + v * phi(d), -Phi(-d), phi(d) / v, phi(d) * sq, -T * Phi(-d)
    if payoff == "identity":
        return m, 1.0, 0.0, 0.0, T
    return Phi(d), phi(d) / v, -d * phi(d) / (v * v), -d * phi(d) / s, T * phi(d) / v


# (x0, mu, s, T, K) per model; the ABM row is the worked Bachelier example of the guide.
MARKETS = {"gbm": (100.0, 0.03, 0.25, 0.5, 105.0), "abm": (1.0, 0.05, 0.3, 0.5, 1.1)}
STRIKE2 = {"gbm": 115.0, "abm": 1.3}


def strike2_of(model, payoff):
    return STRIKE2[model] if payoff.endswith("_spread") else None


def simulate(model, n, key):
    x0, mu, s, T, _ = MARKETS[model]
    w = rng_for("constant-flow", model, n, key).standard_normal(n) * math.sqrt(T)
    if model == "gbm":
        x = x0 * np.exp((mu - 0.5 * s * s) * T + s * w)
    else:
        x = x0 + mu * T + s * w
    return x, w


def greeks_call(model, x, w, payoff, estimator, **kw):
    x0, _, s, T, K = MARKETS[model]
    return g.price_and_greeks_constant_flow(x, w, T, x0, s, payoff, strike=K, model=model,
                                            estimator=estimator,
                                            strike2=strike2_of(model, payoff), **kw)


class TestConstantFlow:
    def test_abm_closed_form_is_the_guide_example(self):
        _, delta, gamma, vega, _ = closed_form("abm", "call", *MARKETS["abm"])
        assert (round(delta, 6), round(gamma, 6), round(vega, 6)) == (0.361837, 1.76669,
                                                                        0.265004)

    @pytest.mark.parametrize("model", MODELS)
    @pytest.mark.parametrize("payoff", PAYOFFS + MORE_PAYOFFS)
    def test_closed_forms_and_variance_reduction(self, model, payoff):
        x, w = simulate(model, 400_000, payoff)
        exact = closed_form(model, payoff, *MARKETS[model])
        results = {e: greeks_call(model, x, w, payoff, e) for e in ESTIMATORS}
        for estimator, r in results.items():
            for i, name in enumerate(("price", "delta", "gamma", "vega", "rho")):
                err = r[5 + i]
                assert abs(r[i] - exact[i]) <= 4.0 * err + 1e-12 * abs(exact[i]), (
                    estimator, name, r[i], exact[i], err)
        # The default really is a lower-variance estimator, Greek by Greek.
        weights, lowest = results["weights"], results["lowest_variance"]
        assert lowest.price_stderr == weights.price_stderr
        for i in range(6, 10):
            assert lowest[i] < 0.8 * weights[i], (i, lowest[i], weights[i])

    @pytest.mark.parametrize("model", MODELS)
    def test_weight_identities(self, model):
        x0, _, s, T, _ = MARKETS[model]
        _, w = simulate(model, 1000, "weights")
        out = g.greek_weights_constant_flow(w, T, x0, s, model=model)
        assert out.shape == (1000, 4) and out.flags.c_contiguous
        sigma0 = s * x0 if model == "gbm" else s
        assert_same_floats(out[:, 0], _quarnel.bel_weights_constant_flow(w, T, sigma0))
        pi, gamma, vega, rho = out.T
        # vega = x0^2 s T gamma (GBM) or s T gamma (ABM); rho = T x0 pi or T pi.
        vega_scale = x0 * x0 * s * T if model == "gbm" else s * T
        rho_scale = T * x0 if model == "gbm" else T
        np.testing.assert_allclose(vega, vega_scale * gamma, rtol=1e-12,
                                   atol=1e-12 * np.abs(vega).max())
        np.testing.assert_allclose(rho, rho_scale * pi, rtol=1e-12)

    @pytest.mark.parametrize("model", MODELS)
    @pytest.mark.parametrize("payoff", PAYOFFS)
    def test_weights_estimator_is_price_and_delta(self, model, payoff):
        x0, _, s, T, K = MARKETS[model]
        x, w = simulate(model, 3000, "bits")
        r = greeks_call(model, x, w, payoff, "weights")
        sigma0 = s * x0 if model == "gbm" else s
        want = _quarnel.price_and_delta_constant_flow(x, w, T, sigma0, payoff, K)
        assert_same_floats([r.price, r.delta, r.price_stderr, r.delta_stderr], want)

    @pytest.mark.parametrize("model", MODELS)
    @pytest.mark.parametrize("payoff", PAYOFFS + MORE_PAYOFFS + ("digital",))
    @pytest.mark.parametrize("estimator", ESTIMATORS)
    def test_bits_against_reference(self, model, payoff, estimator):
        x0, _, s, T, K = MARKETS[model]
        rng = rng_for("cf-bits", model, payoff, estimator)
        x, w = simulate(model, 24, (payoff, estimator))
        # Strikes at sampled states hit the ramp ends and the kinks exactly.
        strike = float(x[3])
        strike2 = float(x[9]) if payoff.endswith("_spread") else None
        localised = "digital" in payoff and estimator == "lowest_variance"
        widths = [None, 0.37 * s * x0, float(abs(x[5] - strike))]
        # (half_width, rate, pairs): a width only where it means something; with a rate
        # the rho sample is the combined one and every number is discounted.
        options = [(hw if localised else None, rate, pairs)
                   for hw, rate, pairs in zip(widths, (None, 0.05, -0.01),
                                              (None, "halves", "adjacent"))]
        cases = [(x, w)] + [
            (sprinkle(rng, x, SPECIALS, 0.15), sprinkle(rng, w, SPECIALS, 0.15))
            for _ in range(2)
        ]
        for i, (xs, ws) in enumerate(cases):
            kinds = ("contiguous", "strided", "reversed", "unaligned")
            xs, ws = layout(xs, kinds[i % 4]), layout(ws, kinds[(i + 1) % 4])
            for hw, rate, pairs in options:
                assert_same_outcome(g.price_and_greeks_constant_flow,
                                    ref.price_and_greeks_constant_flow, xs, ws, T, x0, s,
                                    payoff, strike, model, estimator, hw, rate, strike2, pairs)
        assert_same_outcome(g.greek_weights_constant_flow, ref.greek_weights_constant_flow,
                            cases[1][1], T, x0, s, model)
        empty = np.empty(0)
        assert_same_outcome(g.price_and_greeks_constant_flow,
                            ref.price_and_greeks_constant_flow, empty, empty, T, x0, s,
                            payoff, K, model, estimator, None, None, strike2)
        assert g.greek_weights_constant_flow(empty, T, x0, s, model).shape == (0, 4)

    def test_default_half_width_is_twice_the_spread(self):
        # A width given equal to the default gives the default's bits.
        x, w = simulate("gbm", 5000, "width")
        e = float(2.0 * np.std(x))
        assert e == pytest.approx(ref.default_half_width(x), rel=1e-9)
        args = (x, w, 0.5, 100.0, 0.25, "digital_call", 105.0)
        exact = g.price_and_greeks_constant_flow(*args, half_width=ref.default_half_width(x))
        assert_same_floats(g.price_and_greeks_constant_flow(*args), exact)

    @pytest.mark.parametrize(
        ("change", "message"),
        [
            ({"w_terminals": np.zeros(2), "payoff": "nope"},
             "terminal_states and w_terminals must have the same length"),
            ({"payoff": "Call", "model": "nope"},
             UNKNOWN_PAYOFF.format("Call")),
            ({"model": "GBM", "estimator": "nope"},
             "unknown model 'GBM': expected 'gbm' or 'abm'"),
            ({"estimator": "pathwise", "horizon": 0.0},
             "unknown estimator 'pathwise': expected 'weights' or 'lowest_variance'"),
            ({"horizon": math.nan, "x0": 0.0}, "horizon must be positive"),
            ({"x0": -1.0, "vol": 0.0}, "x0 must be positive"),
            ({"x0": -1.0, "model": "abm", "vol": -0.0}, "vol must be positive"),
            ({"vol": math.nan, "half_width": 0.0}, "vol must be positive"),
            ({"half_width": 0.0}, "half_width must be positive and finite"),
            ({"half_width": math.inf, "estimator": "weights"},
             "half_width must be positive and finite"),
            ({"horizon": math.inf}, "horizon must be finite, got inf"),
            ({"x0": math.nan, "model": "abm"}, "x0 must be finite, got nan"),
            ({"vol": math.inf}, "vol must be finite, got inf"),
            ({"strike": math.nan, "half_width": 0.0}, "strike must be finite, got nan"),
            ({"half_width": 0.5}, "half_width applies only to a digital payoff with estimator "
                                  "'lowest_variance'"),
            ({"rate": math.nan}, "rate must be finite, got nan"),
            ({"payoff": "call_spread", "half_width": 1.0},
             "strike2 is required by payoff 'call_spread'"),
            ({"strike2": 1.2},
             "strike2 applies only to the payoffs 'call_spread' and 'put_spread'"),
            ({"payoff": "put_spread", "strike2": math.inf}, "strike2 must be finite, got inf"),
            ({"payoff": "digital_put", "half_width": 0.1, "rate": math.nan},
             "rate must be finite, got nan"),
            ({"pairs": "pairs", "rate": 0.0}, "unknown pairs 'pairs': expected 'halves', "
                                              "'adjacent' or None"),
            ({"pairs": "halves"}, "pairs need an even number of paths, got 3"),
        ],
    )
    def test_argument_errors_in_order(self, change, message):
        kw = dict(terminal_states=np.ones(3), w_terminals=np.zeros(3), horizon=1.0, x0=1.0,
                  vol=0.2, payoff="call", strike=1.0, model="gbm",
                  estimator="lowest_variance", half_width=None, rate=None, strike2=None,
                  pairs=None)
        kw.update(change)
        assert value_error(g.price_and_greeks_constant_flow, **kw) == message
        assert value_error(ref.price_and_greeks_constant_flow, **kw) == message
        if set(change) <= {"model", "horizon", "x0", "vol"}:
            kw = {k: kw[k] for k in ("w_terminals", "horizon", "x0", "vol", "model")}
            assert value_error(g.greek_weights_constant_flow, **kw) == message

    def test_weight_matrix_size_cannot_wrap(self):
        # n * 8 bytes fits NumPy's limit, n * 4 * 8 would wrap the allocation size.
        w = np.broadcast_to(np.float64(0.0), (2**59,))
        assert (value_error(g.greek_weights_constant_flow, w, 1.0, 1.0, 0.2)
                == "w_terminals is too long: the result would not fit in memory")


# --- vanna and volga ----------------------------------------------------------------------


def cross_closed_form(model, payoff, x0, mu, s, T, K):
    """Undiscounted (vanna d2/dx0 ds, volga d2/ds2) by central differences of the closed-form
    price (Black-Scholes, Bachelier), whose error (1e-7 or so) is far below any error bar."""
    hx, hs = 1e-3 * x0, 1e-3 * s

    def price(x, v):
        return closed_form(model, payoff, x, mu, v, T, K)[0]

    vanna = (price(x0 + hx, s + hs) - price(x0 + hx, s - hs) - price(x0 - hx, s + hs)
             + price(x0 - hx, s - hs)) / (4.0 * hx * hs)
    volga = (price(x0, s + hs) - 2.0 * price(x0, s) + price(x0, s - hs)) / (hs * hs)
    return vanna, volga


def test_black_scholes_call_vanna_volga_formulas():
    x0, mu, s, T, K = MARKETS["gbm"]
    d1 = (math.log(x0 / K) + (mu + 0.5 * s * s) * T) / (s * math.sqrt(T))
    d2 = d1 - s * math.sqrt(T)
    vega = x0 * math.exp(mu * T) * phi(d1) * math.sqrt(T)
    vanna, volga = cross_closed_form("gbm", "call", x0, mu, s, T, K)
    assert vanna == pytest.approx(-math.exp(mu * T) * phi(d1) * d2 / s, rel=1e-5)
    assert volga == pytest.approx(vega * d1 * d2 / s, rel=1e-5)


@pytest.mark.parametrize("model", MODELS)
@pytest.mark.parametrize("payoff", ["call", "put", "digital_call"])
@pytest.mark.parametrize("estimator", ESTIMATORS)
def test_vanna_volga_against_closed_forms(model, payoff, estimator):
    x, w = simulate(model, 400_000, ("cross", payoff))
    x0, mu, s, T, K = MARKETS[model]
    exact = cross_closed_form(model, payoff, x0, mu, s, T, K)
    r = quarnel.vanna_volga_constant_flow(x, w, T, x0, s, payoff, K, model=model,
                                          estimator=estimator)
    for name, value, want, err in zip(("vanna", "volga"), r[:2], exact, r[2:]):
        assert abs(value - want) <= 4.0 * err, (name, value, want, err)
    if estimator == "lowest_variance":
        plain = quarnel.vanna_volga_constant_flow(x, w, T, x0, s, payoff, K, model=model,
                                                  estimator="weights")
        assert r.vanna_stderr < 0.8 * plain.vanna_stderr
        assert r.volga_stderr < 0.8 * plain.volga_stderr


@pytest.mark.parametrize("model", MODELS)
@pytest.mark.parametrize("payoff", PAYOFFS + MORE_PAYOFFS)
@pytest.mark.parametrize("estimator", ESTIMATORS)
def test_vanna_volga_bits_against_reference(model, payoff, estimator):
    x0, _, s, T, _ = MARKETS[model]
    rng = rng_for("vv-bits", model, payoff, estimator)
    x, w = simulate(model, 24, ("vv", payoff, estimator))
    strike = float(x[3])
    strike2 = float(x[9]) if payoff.endswith("_spread") else None
    width = float(abs(x[5] - strike)) if "digital" in payoff and estimator != "weights" else None
    xs, ws = sprinkle(rng, x, SPECIALS, 0.1), layout(sprinkle(rng, w, SPECIALS, 0.1), "strided")
    for args in ((x, w, None, None, None), (xs, ws, width, 0.03, "halves"),
                 (x[:-1], w[:-1], None, None, "adjacent")):
        a, b, hw, rate, pairs = args
        assert_same_outcome(g._vanna_volga_constant_flow, ref.vanna_volga_constant_flow, a, b,
                            T, x0, s, payoff, strike, model, estimator, hw, rate, strike2, pairs)


@pytest.mark.parametrize("model", MODELS)
@pytest.mark.parametrize("payoff", PAYOFFS + ("digital_put",))
@pytest.mark.parametrize("estimator", ESTIMATORS)
def test_ladder_is_one_call_per_strike(model, payoff, estimator):
    x0, _, s, T, _ = MARKETS[model]
    rng = rng_for("ladder", model, payoff, estimator)
    x, w = simulate(model, 40, ("ladder", payoff))
    x, w = sprinkle(rng, x, SPECIALS, 0.05), layout(w, "reversed")
    # Strikes at sampled states (the kinks hit exactly), a repeated one, one far away.
    strikes = np.array([float(x[3]), float(x[7]), float(x[3]), 10.0 * x0])
    for hw, rate in ((None, None), (0.3 * s * x0 if "digital" in payoff
                                     and estimator != "weights" else None, 0.02)):
        ladder = quarnel.price_and_greeks_ladder_constant_flow(
            x, w, T, x0, s, payoff, list(strikes), model, estimator, hw, rate)
        assert len(ladder) == len(strikes)
        for i, k in enumerate(strikes):
            assert_same_floats(ladder[i], g.price_and_greeks_constant_flow(
                x, w, T, x0, s, payoff, k, model, estimator, hw, rate))
        assert_same_floats(ladder.gamma, [ladder[i].gamma for i in range(len(strikes))])
    bad = strikes.copy()
    bad[2] = math.nan
    assert value_error(quarnel.price_and_greeks_ladder_constant_flow, x, w, T, x0, s,
                       payoff, bad) == "strikes[2] must be finite, got nan"


def test_ladder_frame():
    pd = pytest.importorskip("pandas")
    x, w = simulate("gbm", 1000, "frame")
    x0, _, s, T, _ = MARKETS["gbm"]
    ladder = quarnel.price_and_greeks_ladder_constant_flow(x, w, T, x0, s, "call", [95.0, 105.0])
    frame = ladder.to_frame()
    assert list(frame.index) == [95.0, 105.0] and frame.index.name == "strike"
    assert frame.loc[105.0, "vega_stderr"] == ladder[1].vega_stderr
    assert isinstance(frame, pd.DataFrame)


# --- discounting: one Black-Scholes market with r = 5 % for both functions ----------------

BS_RATE = dict(x0=100.0, r=0.05, s=0.25, T=0.5, K=105.0)


def bs_discounted(payoff):
    """Discounted (price, delta, gamma, vega, rho) of the Black-Scholes market, rho = d/dr
    with the drift equal to the rate: df * (drift rho - T * undiscounted price)."""
    p = BS_RATE
    price, delta, gamma, vega, drift_rho = closed_form("gbm", payoff, p["x0"], p["r"], p["s"],
                                                       p["T"], p["K"])
    df = math.exp(-p["r"] * p["T"])
    return (df * price, df * delta, df * gamma, df * vega, df * (drift_rho - p["T"] * price))


def bs_euler_batch(n, n_steps):
    """GBM's Euler batch at drift r; the constant fields as zero-stride arrays."""
    p = BS_RATE
    dt = p["T"] / n_steps
    dws = rng_for("bs-rate", n, n_steps).standard_normal((n, n_steps)) * math.sqrt(dt)
    states = np.empty((n, n_steps + 1))
    states[:, 0] = p["x0"]
    for j in range(n_steps):
        states[:, j + 1] = states[:, j] * (1.0 + p["r"] * dt + p["s"] * dws[:, j])
    const = lambda v: np.broadcast_to(np.float64(v), (n, n_steps))  # noqa: E731
    return (states, dws, p["s"] * states[:, :-1], const(p["r"]), const(p["s"]), const(0.0),
            const(0.0))


@pytest.mark.parametrize("payoff", ["call", "put", "digital_call"])
@pytest.mark.parametrize("estimator", ESTIMATORS)
@pytest.mark.parametrize("flow", ["constant", "tangent"])
def test_discounted_greeks_against_black_scholes(flow, estimator, payoff):
    p = BS_RATE
    exact = bs_discounted(payoff)
    if flow == "constant":
        n = 400_000
        w = rng_for("bs-rate", n, payoff).standard_normal(n) * math.sqrt(p["T"])
        x = p["x0"] * np.exp((p["r"] - 0.5 * p["s"] ** 2) * p["T"] + p["s"] * w)
        r = g.price_and_greeks_constant_flow(x, w, p["T"], p["x0"], p["s"], payoff, p["K"],
                                             estimator=estimator, rate=p["r"])
        names = ("price", "delta", "gamma", "vega", "rho")
    else:
        # Fine steps: the Euler scheme's own Greeks are Black-Scholes' to far below 4 SE.
        r = g.price_and_greeks_tangent_flow(*bs_euler_batch(100_000, 40), p["T"], payoff,
                                            p["K"], estimator=estimator, vol=p["s"],
                                            rate=p["r"])
        names = ("price", "delta", "gamma", "vega")
        assert math.isnan(r.rho) and math.isnan(r.rho_stderr)
        vv = quarnel.vanna_tangent_flow(*bs_euler_batch(100_000, 40), p["T"], payoff, p["s"],
                                        p["K"], estimator=estimator, rate=p["r"])
        vanna = math.exp(-p["r"] * p["T"]) * cross_closed_form(
            "gbm", payoff, p["x0"], p["r"], p["s"], p["T"], p["K"])[0]
        assert abs(vv.vanna - vanna) <= 4.0 * vv.vanna_stderr, (vv, vanna)
        assert math.isnan(vv.volga) and math.isnan(vv.volga_stderr)
    for i, name in enumerate(names):
        assert abs(r[i] - exact[i]) <= 4.0 * r[5 + i], (name, r[i], exact[i], r[5 + i])


@pytest.mark.parametrize("pairs", ["halves", "adjacent"])
def test_antithetic_pairs_report_the_error_of_pair_means(pairs):
    # W and -W as rows k and k + n/2 (or 2j and 2j + 1): the estimate and its error are
    # the mean and the population standard error of the pair averages, bit for bit.
    n, (x0, mu, s, T, K) = 40_000, MARKETS["gbm"]
    half = rng_for("antithetic", n).standard_normal(n // 2) * math.sqrt(T)
    w = np.concatenate([half, -half]) if pairs == "halves" else np.stack([half, -half], 1).ravel()
    x = x0 * np.exp((mu - 0.5 * s * s) * T + s * w)
    rows = (slice(0, n // 2), slice(n // 2, n)) if pairs == "halves" else (slice(0, n, 2),
                                                                          slice(1, n, 2))
    f = np.maximum(x - K, 0.0)
    delta = (f * w) * (1.0 / (T * (s * x0)))  # the weights' delta samples, as rounded
    r = g.price_and_greeks_constant_flow(x, w, T, x0, s, "call", K, estimator="weights",
                                         pairs=pairs)
    for i, samples in enumerate((f, delta)):
        pair_means = (samples[rows[0]] + samples[rows[1]]) * 0.5
        assert_same_floats(_quarnel.price_from_samples(pair_means), (r[i], r[5 + i]))
    # The antithetic price error is well below the one that treats the paths as independent.
    unpaired = g.price_and_greeks_constant_flow(x, w, T, x0, s, "call", K, estimator="weights")
    assert r.price_stderr < 0.9 * unpaired.price_stderr
    # The tangent flow pairs its rows the same way: pairs of identical paths are one path.
    batch = bs_euler_batch(200, 4)
    twice = [np.concatenate([a, a]) if pairs == "halves" else np.repeat(a, 2, axis=0)
             for a in batch]
    one = g.price_and_greeks_tangent_flow(*batch, BS_RATE["T"], "call", BS_RATE["K"], vol=0.25)
    both = g.price_and_greeks_tangent_flow(*twice, BS_RATE["T"], "call", BS_RATE["K"], vol=0.25,
                                           pairs=pairs)
    assert_same_floats(both, one)


def test_non_finite_estimates_have_nan_errors():
    # An infinite state gives an infinite call price (a NaN state pays 0: the payoffs
    # send NaN to 0), an infinite Brownian value NaN Greeks.
    x, w = simulate("gbm", 50, "nan")
    x[7] = math.inf
    w[3] = math.inf
    for estimator in ESTIMATORS:
        r = greeks_call("gbm", x, w, "call", estimator)
        assert all(math.isnan(v) == (not math.isfinite(r[i])) for i, v in enumerate(r[5:]))
        assert math.isinf(r.price) and math.isnan(r.price_stderr)


# --- second-order tangent flow ------------------------------------------------------------

# mu(x) = kappa (theta - x) + c sin(x), sigma(x) = s sqrt(1 + x^2): the model of the exact
# Euler-scheme Greeks below.
EULER_MODEL = dict(kappa=1.0, theta=1.0, c=0.3, s=0.3, x0=1.0, T=1.0, K=1.2)
# (price, delta, gamma, vega d/ds) of the scheme at N = 2, by quadrature.
EULER_EXACT = {"call": (0.142135, 0.196494, 0.055367, 0.476745),
               "digital_call": (0.472527, 0.344349, -0.300426, -0.073896)}
# Its vanna d2/dx0 ds (a central difference of the quadrature's price).
EULER_VANNA = {"call": 0.110845, "digital_call": -1.258066}


def euler_batch(n, n_steps, key):
    """states, dws and the six coefficient fields of EULER_MODEL's Euler scheme."""
    p = EULER_MODEL
    dt = p["T"] / n_steps
    dws = rng_for("euler", n, n_steps, key).standard_normal((n, n_steps)) * math.sqrt(dt)
    states = np.empty((n, n_steps + 1))
    states[:, 0] = p["x0"]
    for j in range(n_steps):
        x = states[:, j]
        r = np.sqrt(1.0 + x * x)
        states[:, j + 1] = (x + (p["kappa"] * (p["theta"] - x) + p["c"] * np.sin(x)) * dt
                            + p["s"] * r * dws[:, j])
    x = states[:, :-1]
    r = np.sqrt(1.0 + x * x)
    s = p["s"]
    fields = (s * r, -p["kappa"] + p["c"] * np.cos(x), s * x / r, -p["c"] * np.sin(x),
              s / (r * r * r))
    return (states, dws) + fields


def tangent_batch(rng, n, n_steps, p=0.03):
    """A random batch with special values in every matrix: states, dws, then six fields."""
    batch = random_path_batch(rng, n, n_steps, p)
    extra = [sprinkle(rng, rng.standard_normal((n, n_steps)), SPECIALS, p) for _ in range(2)]
    return batch + extra


class TestTangentFlow:
    @pytest.mark.parametrize("payoff", ["call", "digital_call"])
    def test_exact_greeks_of_the_euler_scheme(self, payoff):
        p = EULER_MODEL
        batch = euler_batch(2_000_000, 2, "table")
        # sigma(x) = s sqrt(1 + x^2) scales with vol = s: vega is the table's d/ds.
        results = {e: g.price_and_greeks_tangent_flow(*batch, p["T"], payoff, strike=p["K"],
                                                      estimator=e, vol=p["s"])
                   for e in ESTIMATORS}
        for estimator, r in results.items():
            got = (r.price, r.delta, r.gamma, r.vega)
            err = (r.price_stderr, r.delta_stderr, r.gamma_stderr, r.vega_stderr)
            checked = zip(("price", "delta", "gamma", "vega"), got, EULER_EXACT[payoff], err)
            if (payoff, estimator) == ("digital_call", "lowest_variance"):
                # With two steps the tangent Y_T comes near zero, where the parameter
                # weight (in 1/Y_T) is heavy-tailed; the centred remainder multiplies it
                # on every path, so its vega has no usable error bar here.
                checked = list(checked)[:3]
            for name, a, b, e in checked:
                assert abs(a - b) <= 4.0 * e, (estimator, name, a, b, e)
            assert math.isnan(r.rho) and math.isnan(r.rho_stderr)
        for e in ESTIMATORS if payoff == "call" else ("weights",):  # heavy tails as above
            vv = quarnel.vanna_tangent_flow(*batch, p["T"], payoff, vol=p["s"], strike=p["K"],
                                            estimator=e)
            assert abs(vv.vanna - EULER_VANNA[payoff]) <= 4.0 * vv.vanna_stderr, (e, vv)
        weights, lowest = results["weights"], results["lowest_variance"]
        assert lowest.price_stderr == weights.price_stderr
        for i in (6, 7) if payoff == "digital_call" else (6, 7, 8):
            assert lowest[i] < 0.5 * weights[i], (i, lowest[i], weights[i])

    def test_abm_reduction_and_first_order_tangent(self):
        # Constant coefficients: Y = 1, H = 0 and the gamma weight is pi^2 - 1/(T s^2).
        n, n_steps, s, T = 500, 7, 0.4, 0.8
        dws = rng_for("abm").standard_normal((n, n_steps)) * math.sqrt(T / n_steps)
        zeros = np.zeros((n, n_steps))
        out = g.greek_weights_tangent_flow(np.zeros((n, n_steps + 1)), dws,
                                           np.full((n, n_steps), s), zeros, zeros, zeros,
                                           zeros, T)
        pi, gamma, y, h = out.T
        np.testing.assert_allclose(pi, dws.sum(axis=1) / (s * T), rtol=1e-12)
        np.testing.assert_allclose(gamma, pi * pi - 1.0 / (T * s * s), rtol=1e-12)
        assert (y == 1.0).all() and (h == 0.0).all()
        # In any model Y_T is the first-order kernel's tangent, bit for bit.
        states, dws, sigma, d_mu, d_sigma, d2_mu, d2_sigma = tangent_batch(
            rng_for("tangent"), 300, 9)
        y = np.ones(300)
        dt = 1.3 / 9
        with np.errstate(all="ignore"):
            for j in range(9):
                y = y + ((d_mu[:, j] * y) * dt + (d_sigma[:, j] * y) * dws[:, j])
            out = g.greek_weights_tangent_flow(states, dws, sigma, d_mu, d_sigma, d2_mu,
                                               d2_sigma, 1.3)
        assert_same_floats(out[:, 2], y)

    @pytest.mark.parametrize("shape", [(1, 1), (6, 3), (9, 2)])
    def test_weights_bits_against_reference(self, shape):
        rng = rng_for("tf-bits", shape)
        batch = tangent_batch(rng, *shape)
        sigma, d_sigma = batch[2], batch[4]
        for fn in ("greek_weights_tangent_flow", "greek_weights_tangent_flow_parallel"):
            assert_same_outcome(getattr(g, fn), getattr(ref, fn), *batch, 1.3)
        bump = parallel_volatility_bump(sigma, d_sigma)
        for fields in (bump, batch[1:5]):
            for fn in ("parameter_weights_tangent_flow", "mixed_weights_tangent_flow"):
                assert_same_outcome(getattr(g, fn), getattr(ref, fn), *batch, *fields, 1.3)

    @pytest.mark.parametrize("payoff", PAYOFFS + MORE_PAYOFFS)
    @pytest.mark.parametrize("estimator", ESTIMATORS)
    def test_price_and_greeks_bits_against_reference(self, payoff, estimator):
        rng = rng_for("tf-greeks-bits", payoff, estimator)
        batch = tangent_batch(rng, 12, 3, p=0.02)
        terminal = batch[0][:, -1]
        strike = float(terminal[4])  # a terminal state: the kink and the ramp hit exactly
        strike2 = float(terminal[2]) if payoff.endswith("_spread") else None
        localised = "digital" in payoff and estimator == "lowest_variance"
        width = (float(abs(terminal[7] - strike)) or 0.5) if localised else None
        rows = [(0.3, None, None, None), (None, None, 0.04, "halves"),
                (0.7, width, -0.02, "adjacent")]
        for vol, half_width, rate, pairs in rows:
            assert_same_outcome(
                functools.partial(g.price_and_greeks_tangent_flow, vol=vol,
                                  half_width=half_width, rate=rate, strike2=strike2,
                                  pairs=pairs),
                functools.partial(ref.price_and_greeks_tangent_flow, vol=vol,
                                  half_width=half_width, rate=rate, strike2=strike2,
                                  pairs=pairs),
                *batch, 1.3, payoff, strike, estimator)

    def test_wider_step_arrays_are_read_as_their_batch(self):
        # As price_and_delta_tangent_flow: extra rows and columns of the six step arrays
        # are ignored, whatever is in them.
        batch = tangent_batch(rng_for("wider"), 13, 4, p=0.0)
        wider = [batch[0]] + [np.pad(a, ((0, 3), (0, 2)), constant_values=np.nan)
                              for a in batch[1:]]
        for estimator in ESTIMATORS:
            args = (1.3, "digital_call", 0.9, estimator, 0.4)
            assert_same_floats(g.price_and_greeks_tangent_flow(*wider, *args),
                               g.price_and_greeks_tangent_flow(*batch, *args))

    def test_weights_estimator_composes_the_weights(self):
        # Price and Greeks by "weights" are the means of f(X_T) times the weight columns:
        # the parallel bump's fields reach the kernel as parameter_weights_tangent_flow
        # receives them from parallel_volatility_bump.
        p = EULER_MODEL
        batch = euler_batch(3000, 4, "compose")
        # vol = 1: vega is the parallel bump's derivative itself, bit for bit.
        r = g.price_and_greeks_tangent_flow(*batch, p["T"], "call", strike=p["K"],
                                            estimator="weights", vol=1.0)
        f = np.maximum(batch[0][:, -1] - p["K"], 0.0)
        w = g.greek_weights_tangent_flow_parallel(*batch, p["T"])
        q = g.parameter_weights_tangent_flow(
            *batch, *parallel_volatility_bump(batch[2], batch[4]), p["T"])
        for i, samples in enumerate((f, f * w[:, 0], f * w[:, 1], f * q)):
            assert_same_floats(_quarnel.price_from_samples(samples), (r[i], r[5 + i]))
        # The vanna's "weights" are f(X_T) times the bump's mixed weight, so at vol = 1.
        m = g.mixed_weights_tangent_flow(
            *batch, *parallel_volatility_bump(batch[2], batch[4]), p["T"])
        vv = quarnel.vanna_tangent_flow(*batch, p["T"], "call", 1.0, p["K"], "weights")
        assert_same_floats(_quarnel.price_from_samples(f * m), (vv.vanna, vv.vanna_stderr))

    def test_mixed_weights_are_exact_for_the_scheme(self):
        # Three Euler steps of a nonlinear model, integrated exactly by Gauss-Hermite
        # quadrature over the increments: the parameter and mixed weights give d/dp and
        # d2/dx0 dp of E f(X_3) as central differences of the quadrature price do (to
        # their 1e-6 or so), for a drift parameter th and a volatility scale c.
        n_steps, T, x0, th, c = 3, 0.75, 0.8, 0.7, 1.0
        z, w = np.polynomial.hermite_e.hermegauss(30)
        nodes = np.stack(np.meshgrid(*[z] * n_steps, indexing="ij"), -1).reshape(-1, n_steps)
        weight = np.prod(np.stack(np.meshgrid(*[w / w.sum()] * n_steps, indexing="ij"), -1)
                         .reshape(-1, n_steps), axis=1)
        dws = nodes * math.sqrt(T / n_steps)

        def simulate(x0, th, c):
            states = np.empty((len(dws), n_steps + 1))
            states[:, 0] = x0
            for j in range(n_steps):
                x = states[:, j]
                states[:, j + 1] = (x + (th * (1 - x) - 0.1 * x * x) * (T / n_steps)
                                    + c * 0.3 * (1 + 0.5 * np.sin(x)) * dws[:, j])
            return states

        def f(x):
            return np.exp(0.7 * x) + x ** 3

        def price(dx, dth, dc):
            return float((f(simulate(x0 + dx, th + dth, c + dc)[:, -1]) * weight).sum())

        states = simulate(x0, th, c)
        x = states[:, :-1]
        zero = np.zeros_like(x)
        sig = c * 0.3 * (1 + 0.5 * np.sin(x))
        batch = (states, dws, sig, -th - 0.2 * x, c * 0.15 * np.cos(x), zero - 0.2,
                 -c * 0.15 * np.sin(x))
        h = 1e-3
        for params, bump in (((1 - x, zero, zero - 1.0, zero), (h, 0.0)),
                             ((zero, sig / c, zero, batch[4] / c), (0.0, h))):
            q = g.parameter_weights_tangent_flow(*batch, *params, T)
            m = g.mixed_weights_tangent_flow(*batch, *params, T)
            d_p = (price(0.0, *bump) - price(0.0, *(-b for b in bump))) / (2 * h)
            d_xp = (price(h, *bump) - price(h, *(-b for b in bump)) - price(-h, *bump)
                    + price(-h, *(-b for b in bump))) / (4 * h * h)
            fx = f(states[:, -1]) * weight
            assert float((fx * q).sum()) == pytest.approx(d_p, abs=1e-6)
            assert float((fx * m).sum()) == pytest.approx(d_xp, abs=1e-5)

    def test_serial_equals_parallel_on_many_work_items(self):
        # Enough path-steps for the pool to hand items to its workers.
        batch = tangent_batch(rng_for("tf-parallel"), 10007, 6, p=0.001)
        assert_same_floats(g.greek_weights_tangent_flow_parallel(*batch, 0.9),
                           g.greek_weights_tangent_flow(*batch, 0.9))

    @pytest.mark.parametrize("change, message", [
        ({"horizon": 0.0}, "horizon must be positive"),
        ({"horizon": math.nan}, "horizon must be positive"),
        ({"states": np.zeros((4, 1))}, "states must have at least 2 columns (n_steps + 1)"),
        ({"d2_sigma_dx2_field": np.zeros((4, 2))},
         "d2_sigma_dx2_field shape [4, 2] is smaller than required (4, 3)"),
        ({"payoff": "Call"},
         UNKNOWN_PAYOFF.format("Call")),
        ({"estimator": "pathwise"},
         "unknown estimator 'pathwise': expected 'weights' or 'lowest_variance'"),
        ({"vol": 0.0}, "vol must be positive"),
        ({"vol": math.nan}, "vol must be positive"),
        ({"vol": math.inf}, "vol must be finite, got inf"),
        ({"horizon": math.inf}, "horizon must be finite, got inf"),
        ({"strike": math.nan, "vol": 0.0}, "strike must be finite, got nan"),
        ({"rate": -math.inf}, "rate must be finite, got -inf"),
        ({"half_width": 0.0}, "half_width must be positive and finite"),
        ({"half_width": math.inf}, "half_width must be positive and finite"),
        ({"half_width": 0.1, "estimator": "weights"},
         "half_width applies only to a digital payoff with estimator 'lowest_variance'"),
        ({"half_width": 0.1, "payoff": "call_spread", "strike2": 1.1},
         "half_width applies only to a digital payoff with estimator 'lowest_variance'"),
        ({"payoff": "put_spread", "vol": 0.0}, "strike2 is required by payoff 'put_spread'"),
        ({"pairs": "adjacent", "states": np.ones((3, 4))},
         "pairs need an even number of paths, got 3"),
        ({"sigma_field": "zero at [2, 1]"},
         "sigma_field[2, 1] = 0 produces division by zero"),
        # Shapes come before names, names before numbers.
        ({"dws": np.zeros((3, 3)), "payoff": "x", "horizon": -1.0},
         "dws shape [3, 3] is smaller than required (4, 3)"),
        ({"payoff": "x", "estimator": "y"},
         UNKNOWN_PAYOFF.format("x")),
        ({"vol": -1.0, "horizon": -1.0}, "horizon must be positive"),
    ])
    def test_price_and_greeks_argument_checks(self, change, message):
        names = ("states", "dws", "sigma_field", "d_mu_dx_field", "d_sigma_dx_field",
                 "d2_mu_dx2_field", "d2_sigma_dx2_field")
        args = dict(zip(names, tangent_batch(rng_for("checks"), 4, 3, p=0.0)),
                    horizon=1.0, payoff="digital_call")
        for name, value in change.items():
            if isinstance(value, str) and value.startswith("zero at"):
                args[name][2, 1] = 0.0
                args[name][3, 0] = 0.0
            else:
                args[name] = value
        assert value_error(g.price_and_greeks_tangent_flow, **args) == message
        assert value_error(ref.price_and_greeks_tangent_flow, **args) == message

    def test_weight_function_messages_name_their_arrays(self):
        batch = tangent_batch(rng_for("names"), 4, 3, p=0.0)
        params = [batch[1], batch[2], np.zeros((4, 3)), np.ones((4, 2))]
        # Parameter fields are checked after the six of the Greek weights, in order.
        assert value_error(g.parameter_weights_tangent_flow, *batch, *params,
                               1.0) == "d2_sigma_dx_dp shape [4, 2] != expected (4, 3)"
        batch[2][1, 2] = -0.0
        for fn in (g.greek_weights_tangent_flow, g.greek_weights_tangent_flow_parallel):
            assert value_error(fn, *batch, 1.0) == (
                "sigma[1, 2] = 0 produces division by zero in BEL weight")
