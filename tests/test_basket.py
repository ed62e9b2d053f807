"""Greeks on several correlated assets: closed forms, common-random-number differences,
the correlation checks, and bits across thread counts."""

import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import quarnel
from quarnel import greek_weights_basket, price_and_greeks_basket


def Phi(x):
    return 0.5 * math.erfc(-x / math.sqrt(2.0))


def phi(x):
    return math.exp(-0.5 * x * x) / math.sqrt(2.0 * math.pi)


def simulate(n, x0, vols, corr, horizon, model="gbm", mu=0.0, seed=7):
    rng = np.random.default_rng(seed)
    w = rng.standard_normal((n, len(x0))) * math.sqrt(horizon)
    lw = w @ np.linalg.cholesky(corr).T
    if model == "gbm":
        x = x0 * np.exp((mu - 0.5 * vols**2) * horizon + vols * lw)
    else:
        x = x0 + mu * horizon + vols * lw
    return x, w


X0_2 = np.array([100.0, 95.0])
VOLS_2 = np.array([0.3, 0.2])
RHO_2 = np.array([[1.0, 0.5], [0.5, 1.0]])


def margrabe(x0, vols, rho, t):
    """Exchange option max(X_0 - X_1, 0): price, deltas, gamma matrix, vegas."""
    s1, s2 = x0
    sig = math.sqrt(vols[0] ** 2 + vols[1] ** 2 - 2 * rho * vols[0] * vols[1])
    d1 = (math.log(s1 / s2) + 0.5 * sig * sig * t) / (sig * math.sqrt(t))
    d2 = d1 - sig * math.sqrt(t)
    n1 = phi(d1) / (sig * math.sqrt(t))
    gamma = np.array([[n1 / s1, -n1 / s2], [-n1 / s2, n1 * s1 / (s2 * s2)]])
    vega = s1 * phi(d1) * math.sqrt(t) * np.array(
        [vols[0] - rho * vols[1], vols[1] - rho * vols[0]]) / sig
    return s1 * Phi(d1) - s2 * Phi(d2), np.array([Phi(d1), -Phi(d2)]), gamma, vega


@pytest.mark.parametrize("estimator", ["lowest_variance", "weights"])
def test_exchange_option_against_margrabe(estimator):
    x, w = simulate(400_000, X0_2, VOLS_2, RHO_2, 1.0)
    price, delta, gamma, vega = margrabe(X0_2, VOLS_2, 0.5, 1.0)
    g = price_and_greeks_basket(x, w, X0_2, VOLS_2, RHO_2, 1.0, "exchange", estimator=estimator)
    assert abs(g.price - price) < 4 * g.price_stderr
    assert np.all(np.abs(g.delta - delta) < 4 * g.delta_stderr)
    assert np.all(np.abs(g.gamma - gamma) < 4 * g.gamma_stderr)
    assert np.all(np.abs(g.vega - vega) < 4 * g.vega_stderr)
    assert np.array_equal(g.gamma, g.gamma.T)


def bachelier_basket(payoff, x0, vols, corr, t, strike, a):
    """ABM: the level B = a . X(T) is normal, so a basket call or digital has closed-form
    Greeks, cross-gammas and vegas included."""
    cov = np.outer(vols, vols) * corr
    v = math.sqrt(t * a @ cov @ a)
    dv = t * a * (cov @ a) / (v * vols)  # d v / d vol_i
    d = (a @ x0 - strike) / v
    if payoff == "call":
        return ((a @ x0 - strike) * Phi(d) + v * phi(d), a * Phi(d),
                np.outer(a, a) * phi(d) / v, phi(d) * dv)
    return Phi(d), a * phi(d) / v, -np.outer(a, a) * d * phi(d) / v**2, -d * phi(d) / v * dv


@pytest.mark.parametrize("payoff", ["call", "digital"])
@pytest.mark.parametrize("estimator", ["lowest_variance", "weights"])
def test_abm_basket_against_bachelier(payoff, estimator):
    x0, vols, a = np.array([1.0, 0.9, 1.1]), np.array([0.3, 0.2, 0.25]), np.array([0.5, 0.3, 0.2])
    corr = np.array([[1.0, 0.6, 0.3], [0.6, 1.0, -0.2], [0.3, -0.2, 1.0]])
    x, w = simulate(400_000, x0, vols, corr, 0.5, "abm")
    g = price_and_greeks_basket(x, w, x0, vols, corr, 0.5, payoff, 1.05, weights=a,
                                model="abm", estimator=estimator)
    price, delta, gamma, vega = bachelier_basket(payoff, x0, vols, corr, 0.5, 1.05, a)
    assert abs(g.price - price) < 4 * g.price_stderr
    assert np.all(np.abs(g.delta - delta) < 4 * g.delta_stderr)
    assert np.all(np.abs(g.gamma - gamma) < 4 * g.gamma_stderr)
    assert np.all(np.abs(g.vega - vega) < 4 * g.vega_stderr)


def basket_price(x0, vols, corr, w, strike, a, model):
    lw = w @ np.linalg.cholesky(corr).T
    x = x0 * np.exp(-0.5 * vols**2 + vols * lw) if model == "gbm" else x0 + vols * lw
    return np.mean(np.maximum(x @ a - strike, 0.0))


@pytest.mark.parametrize("model,x0,strike", [
    ("gbm", np.array([100.0, 90.0, 110.0]), 100.0),
    ("abm", np.array([1.0, 0.9, 1.1]), 1.0),
])
@pytest.mark.parametrize("estimator", ["lowest_variance", "weights"])
def test_correlated_basket_call_against_common_random_numbers(model, x0, strike, estimator):
    vols = np.array([0.3, 0.2, 0.25]) * (1.0 if model == "gbm" else 0.5)
    corr = np.array([[1.0, 0.6, 0.3], [0.6, 1.0, -0.2], [0.3, -0.2, 1.0]])
    a = np.array([0.5, 0.3, 0.2])
    x, w = simulate(300_000, x0, vols, corr, 1.0, model)
    g = price_and_greeks_basket(x, w, x0, vols, corr, 1.0, "call", strike, weights=a,
                                model=model, estimator=estimator)
    h = 1e-3 * x0[0]
    f = basket_price
    for i, e in enumerate(np.eye(3)):
        fd = (f(x0 + h * e, vols, corr, w, strike, a, model)
              - f(x0 - h * e, vols, corr, w, strike, a, model)) / (2 * h)
        assert abs(g.delta[i] - fd) < 4 * g.delta_stderr[i]
        fv = (f(x0, vols + 1e-4 * e, corr, w, strike, a, model)
              - f(x0, vols - 1e-4 * e, corr, w, strike, a, model)) / 2e-4
        assert abs(g.vega[i] - fv) < 4 * g.vega_stderr[i]
    # A cross-gamma from the common-random-number differences of the deltas' bumps.
    hh = 0.05 * x0[0]
    e0, e1 = np.eye(3)[0] * hh, np.eye(3)[1] * hh
    cross = (f(x0 + e0 + e1, vols, corr, w, strike, a, model)
             - f(x0 + e0 - e1, vols, corr, w, strike, a, model)
             - f(x0 - e0 + e1, vols, corr, w, strike, a, model)
             + f(x0 - e0 - e1, vols, corr, w, strike, a, model)) / (4 * hh * hh)
    assert abs(g.gamma[0, 1] - cross) < 4 * g.gamma_stderr[0, 1] + 0.02 * abs(cross)


def test_one_asset_is_the_scalar_constant_flow():
    """d = 1: the basket weights are the scalar weights (catches sign and scale faults)."""
    rng = np.random.default_rng(3)
    w = rng.standard_normal(50_000) * 0.5
    x = 100.0 * np.exp(-0.5 * 0.04 * 0.25 + 0.2 * w)
    one = price_and_greeks_basket(x[:, None], w[:, None], [100.0], [0.2], [[1.0]], 0.25,
                                  "call", 100.0, estimator="weights")
    ref = quarnel.price_and_greeks_constant_flow(x, w, 0.25, 100.0, 0.2, "call", strike=100.0,
                                                 estimator="weights")
    got = (one.price, one.delta[0], one.gamma[0, 0], one.vega[0])
    assert np.allclose(got, (ref.price, ref.delta, ref.gamma, ref.vega), rtol=1e-11, atol=0)
    wt = greek_weights_basket(w[:, None], [100.0], [0.2], [[1.0]], 0.25)
    scalar = quarnel.greek_weights_constant_flow(w, 0.25, 100.0, 0.2)
    assert np.allclose(wt.gamma[:, 0, 0], scalar[:, 1], rtol=1e-12, atol=1e-15)
    assert np.allclose(wt.vega[:, 0], scalar[:, 2], rtol=1e-10, atol=1e-12)


class Exported:
    """A DLPack exporter that is not an ndarray (a CPU tensor, say)."""

    def __init__(self, a):
        self.a = a

    def __dlpack__(self, *args, **kwargs):
        return self.a.__dlpack__(*args, **kwargs)

    def __dlpack_device__(self):
        return self.a.__dlpack_device__()


def test_weights_compose_with_any_payoff_and_rate_discounts():
    x, w = simulate(20_000, X0_2, VOLS_2, RHO_2, 0.5)
    wt = greek_weights_basket(Exported(w), X0_2, VOLS_2, RHO_2, 0.5)
    f = np.maximum(x[:, 0] - x[:, 1] - 5.0, 0.0)
    g = price_and_greeks_basket(Exported(x), w, X0_2, VOLS_2, RHO_2, 0.5, "spread", 5.0,
                                estimator="weights")
    assert np.allclose(g.delta, np.mean(f[:, None] * wt.delta, axis=0), rtol=1e-10)
    assert np.allclose(g.gamma, np.mean(f[:, None, None] * wt.gamma, axis=0), rtol=1e-10)
    assert np.allclose(g.vega, np.mean(f[:, None] * wt.vega, axis=0), rtol=1e-10)
    df = math.exp(-0.04 * 0.5)
    r = price_and_greeks_basket(x, w, X0_2, VOLS_2, RHO_2, 0.5, "spread", 5.0,
                                estimator="weights", rate=0.04)
    assert np.allclose([r.price, r.price_stderr], [df * g.price, df * g.price_stderr], rtol=1e-12)
    assert np.allclose(r.gamma_stderr, df * g.gamma_stderr, rtol=1e-12)


@pytest.mark.parametrize("payoff,strike", [
    ("digital", 97.0), ("digital_put", 97.0), ("best_of_call", 100.0), ("worst_of_put", 95.0)])
def test_estimators_agree(payoff, strike):
    """The lowest-variance estimators have the weights' mean and a smaller error."""
    x, w = simulate(400_000, X0_2, VOLS_2, RHO_2, 1.0)
    lv, wg = (price_and_greeks_basket(x, w, X0_2, VOLS_2, RHO_2, 1.0, payoff, strike,
                                      estimator=e) for e in ("lowest_variance", "weights"))
    for a, b, sa, sb in [(lv.delta, wg.delta, lv.delta_stderr, wg.delta_stderr),
                         (lv.gamma, wg.gamma, lv.gamma_stderr, wg.gamma_stderr),
                         (lv.vega, wg.vega, lv.vega_stderr, wg.vega_stderr)]:
        assert np.all(np.abs(a - b) < 4 * np.hypot(sa, sb))
        assert np.all(sa < sb)


BAD_RHO = [
    (np.array([[1.0, 0.9, 0.9], [0.9, 1.0, -0.9], [0.9, -0.9, 1.0]]),
     "correlation is not positive definite: its leading 3 x 3 block is singular or indefinite"),
    (np.array([[1.0, 1.0, 0.0], [1.0, 1.0, 0.0], [0.0, 0.0, 1.0]]),
     "correlation is not positive definite: its leading 2 x 2 block"),
    (np.array([[1.0, 0.2, 0.0], [0.3, 1.0, 0.0], [0.0, 0.0, 1.0]]),
     r"correlation must be symmetric: correlation\[1, 0\] = 0.300000 but correlation\[0, 1\]"),
    (np.array([[1.0, 0.0, 0.0], [0.0, 0.9, 0.0], [0.0, 0.0, 1.0]]),
     r"correlation must have a unit diagonal: correlation\[1, 1\] is 0.900000"),
    (np.array([[1.0, 0.0, np.nan], [0.0, 1.0, 0.0], [np.nan, 0.0, 1.0]]),
     r"correlation\[0, 2\] is not finite"),
    (np.eye(2), r"correlation has shape \(2, 2\), expected \(3, 3\)"),
]


@pytest.mark.parametrize("corr,message", BAD_RHO)
def test_bad_correlation_refused(corr, message):
    w = np.zeros((4, 3))
    with pytest.raises(ValueError, match="^" + message):
        price_and_greeks_basket(w + 1.0, w, [1.0] * 3, [0.2] * 3, corr, 1.0, "call")
    with pytest.raises(ValueError, match="^" + message):
        greek_weights_basket(w, [1.0] * 3, [0.2] * 3, corr, 1.0)


@pytest.mark.parametrize("change,message", [
    ({"payoff": "rainbow"}, "unknown payoff 'rainbow'"),
    ({"payoff": "exchange", "strike": 1.0}, "payoff 'exchange' has no strike"),
    ({"payoff": "best_of_call", "weights": [1.0, 0.0]}, "weights apply to the basket payoffs"),
    ({"weights": [1.0]}, r"weights has 1 entries, expected one per asset \(2\)"),
    ({"strike": math.inf}, "strike must be finite"),
    ({"rate": math.nan}, "rate must be finite"),
    ({"horizon": 0.0}, "horizon must be positive and finite"),
    ({"vols": [0.2, 0.0]}, r"vols\[1\] must be positive and finite"),
    ({"x0": [1.0, -1.0]}, r"x0\[1\] must be positive"),
    ({"x0": [1.0]}, r"x0 has 1 entries, expected one per asset \(2\)"),
    ({"estimator": "best"}, "unknown estimator 'best'"),
    ({"model": "heston"}, "unknown model 'heston'"),
    ({"half_width": -1.0}, "half_width must be positive and finite"),
    ({"w_terminals": np.zeros((5, 2))}, r"terminal_states has shape \(4, 2\) but w_terminals"),
])
def test_bad_arguments_refused(change, message):
    args = {"terminal_states": np.ones((4, 2)), "w_terminals": np.zeros((4, 2)),
            "x0": [1.0, 1.0], "vols": [0.2, 0.2], "correlation": np.eye(2), "horizon": 1.0,
            "payoff": "call", "strike": 1.0} | change
    with pytest.raises(ValueError, match="^" + message):
        price_and_greeks_basket(**args)


def test_spread_needs_two_assets_and_nan_has_nan_error():
    x, w = simulate(100, np.ones(3), np.full(3, 0.2), np.eye(3), 1.0)
    with pytest.raises(ValueError, match="^payoff 'spread' needs 2 assets, the batch has 3"):
        price_and_greeks_basket(x, w, np.ones(3), np.full(3, 0.2), np.eye(3), 1.0, "spread")
    x[7, 1] = np.nan
    g = price_and_greeks_basket(x, w, np.ones(3), np.full(3, 0.2), np.eye(3), 1.0, "call", 1.0)
    assert math.isnan(g.price) and math.isnan(g.price_stderr)
    assert np.all(np.isnan(g.delta_stderr[np.isnan(g.delta)]))


def test_same_bits_for_any_thread_count():
    code = """
        import sys, numpy as np
        from quarnel import price_and_greeks_basket
        rng = np.random.default_rng(5)
        w = rng.standard_normal((30_000, 4))
        x = 100.0 * np.exp(0.2 * w)
        for est in ("weights", "lowest_variance"):
            g = price_and_greeks_basket(x, w, [100.0] * 4, [0.2] * 4, np.eye(4) * 0.7 + 0.3,
                                        1.0, "digital", 100.0, estimator=est)
            sys.stdout.write(np.concatenate([[g.price], g.delta, g.gamma.ravel(), g.vega,
                                             g.gamma_stderr.ravel()]).tobytes().hex())
    """
    outs = set()
    for threads in ("1", "3"):
        env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON")}
        env["RAYON_NUM_THREADS"] = threads
        outs.add(subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                                capture_output=True, text=True, check=True).stdout)
    assert len(outs) == 1


@pytest.mark.parametrize("payoff,kw", [
    ("call", {"strike": 100.0, "rate": 0.03}),
    ("digital", {"strike": 100.0}),
    ("digital_put", {"strike": 100.0, "half_width": 4.0}),
    ("worst_of_call", {"strike": 90.0, "estimator": "weights"}),
])
def test_dask_equals_one_call(payoff, kw):
    da = pytest.importorskip("dask.array", reason="dask comes with the dask extra")
    dask = pytest.importorskip("dask")
    qd = pytest.importorskip("quarnel.dask")
    corr = np.eye(3) * 0.6 + 0.4
    x, w = simulate(7_000, np.full(3, 100.0), np.full(3, 0.25), corr, 1.0)
    args = (np.full(3, 100.0), np.full(3, 0.25), corr, 1.0, payoff)
    one = price_and_greeks_basket(x, w, *args, **kw)
    rows = ((700, 1500, 1024, 300, 2476, 1000),)
    with dask.config.set(scheduler="synchronous"):
        got = qd.price_and_greeks_basket(da.from_array(x, chunks=rows + ((3,),)),
                                         da.from_array(w, chunks=rows + ((3,),)), *args, **kw)
        weights = qd.greek_weights_basket(da.from_array(w, chunks=rows + ((3,),)), *args[:4])
        gamma = weights.gamma.compute()
    for field in ("price", "delta", "gamma", "vega", "price_stderr", "delta_stderr",
                  "gamma_stderr", "vega_stderr"):
        assert np.array_equal(getattr(got, field), getattr(one, field)), field
    assert np.array_equal(gamma, greek_weights_basket(w, *args[:4]).gamma)
