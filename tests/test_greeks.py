"""The Greeks of `quarnel._greeks`: bits against the reference, values against closed
forms, and the argument checks."""

import math

import numpy as np
import pytest
from quarnel import _greeks as g

import _quarnel
import reference as ref
from layouts import layout
from reference import SPECIALS, assert_same_floats, assert_same_outcome, rng_for, sprinkle

PAYOFFS = ("identity", "call", "put", "digital_call")
MODELS = ("gbm", "abm")
ESTIMATORS = ("weights", "lowest_variance")


# --- constant flow -----------------------------------------------------------------------


def phi(x):
    return math.exp(-0.5 * x * x) / math.sqrt(2.0 * math.pi)


def Phi(x):
    return 0.5 * math.erfc(-x / math.sqrt(2.0))


def closed_form(model, payoff, x0, mu, s, T, K):
    """Undiscounted (price, delta, gamma, vega d/ds, rho d/dmu)."""
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
                                            estimator=estimator, **kw)


class TestConstantFlow:
    def test_abm_closed_form_is_the_guide_example(self):
        _, delta, gamma, vega, _ = closed_form("abm", "call", *MARKETS["abm"])
        assert (round(delta, 6), round(gamma, 6), round(vega, 6)) == (0.361837, 1.76669,
                                                                        0.265004)

    @pytest.mark.parametrize("model", MODELS)
    @pytest.mark.parametrize("payoff", PAYOFFS)
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
    @pytest.mark.parametrize("payoff", PAYOFFS)
    @pytest.mark.parametrize("estimator", ESTIMATORS)
    def test_bits_against_reference(self, model, payoff, estimator):
        x0, _, s, T, K = MARKETS[model]
        rng = rng_for("cf-bits", model, payoff, estimator)
        x, w = simulate(model, 23, (payoff, estimator))
        # Strikes at sampled states hit the ramp ends and the kink exactly.
        strike = float(x[3])
        widths = [None, 0.37 * s * x0, float(abs(x[5] - strike))]
        cases = [(x, w)] + [
            (sprinkle(rng, x, SPECIALS, 0.15), sprinkle(rng, w, SPECIALS, 0.15))
            for _ in range(2)
        ]
        for i, (xs, ws) in enumerate(cases):
            kinds = ("contiguous", "strided", "reversed", "unaligned")
            xs, ws = layout(xs, kinds[i % 4]), layout(ws, kinds[(i + 1) % 4])
            for hw in widths:
                assert_same_outcome(g.price_and_greeks_constant_flow,
                                    ref.price_and_greeks_constant_flow, xs, ws, T, x0, s,
                                    payoff, strike, model, estimator, hw)
        assert_same_outcome(g.greek_weights_constant_flow, ref.greek_weights_constant_flow,
                            cases[1][1], T, x0, s, model)
        empty = np.empty(0)
        assert_same_outcome(g.price_and_greeks_constant_flow,
                            ref.price_and_greeks_constant_flow, empty, empty, T, x0, s,
                            payoff, K, model, estimator)
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
             "unknown payoff 'Call': expected 'identity', 'call', 'put', or 'digital_call'"),
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
        ],
    )
    def test_argument_errors_in_order(self, change, message):
        kw = dict(terminal_states=np.ones(3), w_terminals=np.zeros(3), horizon=1.0, x0=1.0,
                  vol=0.2, payoff="call", strike=1.0, model="gbm",
                  estimator="lowest_variance", half_width=None)
        kw.update(change)
        assert ref.value_error(g.price_and_greeks_constant_flow, **kw) == message
        assert ref.value_error(ref.price_and_greeks_constant_flow, **kw) == message
        if set(change) <= {"model", "horizon", "x0", "vol"}:
            kw = {k: kw[k] for k in ("w_terminals", "horizon", "x0", "vol", "model")}
            assert ref.value_error(g.greek_weights_constant_flow, **kw) == message
