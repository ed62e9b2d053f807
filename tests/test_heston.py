"""Heston (`quarnel._heston`): the Greeks against the characteristic-function closed form
and against common-random-numbers differences of the same scheme, the functions against
each other, the argument checks and the bits across layouts and thread counts."""

import importlib.util
import math
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import quarnel as q

_spec = importlib.util.spec_from_file_location(
    "heston_example", Path(__file__).resolve().parents[1] / "examples" / "heston.py")
assert _spec is not None and _spec.loader is not None
example = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(example)

NAMES = example.NAMES
S0, K, V0, KAPPA, THETA, XI, RHO, MU, T = 100.0, 100.0, 0.04, 2.0, 0.04, 0.3, -0.7, 0.03, 1.0
MODEL = (S0, V0, KAPPA, THETA, XI, RHO)
N_STEPS = 64

# The scheme's bias at 64 steps against the closed form, |mean - exact| + 2 stderr from
# 4 million paths (seed 11): the full-truncation Euler variance moves the vega by about
# half a percent, everything else by less than its error bar here.
BIAS_64 = {
    "call": dict(price=0.022, delta=0.0010, gamma=0.00013, vega=0.12, kappa=0.0033,
                 theta=0.32, xi=0.047, rho=0.026),
    "digital": dict(price=0.00083, delta=0.00007, gamma=0.000012, vega=0.0044,
                    kappa=0.00021, theta=0.018, xi=0.0019, rho=0.0020),
}


@pytest.fixture(scope="module")
def increments():
    rng = np.random.default_rng(2026)
    sq = math.sqrt(T / N_STEPS)
    return (sq * rng.standard_normal((200_000, N_STEPS)),
            sq * rng.standard_normal((200_000, N_STEPS)))


def greeks(inc, payoff="call", model=MODEL, **kw):
    kw.setdefault("mu", MU)
    return q.price_and_greeks_heston(inc[0], inc[1], T, *model, payoff, K, **kw)


@pytest.mark.parametrize(("payoff", "kw"), [
    ("call", {}), ("call", {"estimator": "weights"}), ("digital", {}),
    ("digital", {"estimator": "weights"}), ("digital", {"half_width": 10.0})])
def test_against_the_closed_form(increments, payoff, kw):
    exact = example.closed_form_greeks(payoff)
    g = greeks(increments, payoff, **kw)
    for i, name in enumerate(NAMES):
        assert abs(g[i] - exact[name]) < 4.0 * g[8 + i] + BIAS_64[payoff][name], name


def test_put_and_digital_put_by_parity(increments):
    # call - put = S_T - K and digital + digital_put = 1 path by path: the pathwise Greeks
    # of S_T (noise around 0 but for delta) and the mean of each weight.
    call, put = greeks(increments, "call"), greeks(increments, "put")
    dig, dput = (greeks(increments, p, estimator="weights") for p in ("digital", "digital_put"))
    assert call.price - put.price == pytest.approx(S0 * math.exp(MU * T) - K, abs=4 * call[8])
    s_t = q.tangents_heston(*increments, T, *MODEL, mu=MU)[:, 0]
    assert call.delta - put.delta == pytest.approx(np.mean(s_t) / S0, abs=1e-12)
    for i in range(2, 8):
        assert abs(call[i] - put[i]) < 4.0 * math.hypot(call[8 + i], put[8 + i]), NAMES[i]
    assert dig.price + dput.price == pytest.approx(1.0, abs=1e-12)
    w = q.greek_weights_heston(*increments, T, *MODEL, mu=MU)
    np.testing.assert_allclose(np.array(dig[1:8]) + np.array(dput[1:8]), np.mean(w[:, 1:], axis=0),
                               rtol=1e-9, atol=1e-15)
    # Centred (with and without the ramp), the two digitals' Greeks are opposite: the
    # centring removes the mean of the weight that the plain sums keep.
    for kw in ({}, {"half_width": 10.0}):
        dig, dput = (greeks(increments, p, **kw) for p in ("digital", "digital_put"))
        np.testing.assert_allclose(np.array(dig[1:8]), -np.array(dput[1:8]), rtol=1e-9)
        np.testing.assert_allclose(np.array(dig[9:]), np.array(dput[9:]), rtol=1e-6)


@pytest.mark.parametrize("estimator", ["lowest_variance", "weights"])
def test_common_random_numbers_difference_of_the_same_scheme(increments, estimator):
    # The scheme's own derivative: bump each parameter, reprice on the same increments.
    # Pathwise Greeks are that derivative path by path, so they agree far inside their
    # errors; the weights agree within them.
    inc = (increments[0][:50_000], increments[1][:50_000])
    g = greeks(inc, estimator=estimator)
    # Small bumps: a path whose variance crosses zero between the two has a kink in its
    # price, whose share of the difference shrinks with the bump.
    bumps = {"delta": (0, 0.05), "vega": (1, None), "kappa": (2, 1e-5), "theta": (3, 1e-5),
             "xi": (4, 1e-5), "rho": (5, 1e-5)}
    for name, (i, h) in bumps.items():
        def price(e, i=i, h=h):
            m = list(MODEL)
            if h is None:  # vega: d/d sqrt(v0)
                m[1] = (math.sqrt(V0) + e) ** 2
            else:
                m[i] += e
            return greeks(inc, model=tuple(m)).price
        e = h if h is not None else 1e-5
        fd = (price(e) - price(-e)) / (2.0 * e)
        j = NAMES.index(name)
        tol = (0.05 if estimator == "lowest_variance" else 3.0) * g[8 + j]
        assert abs(g[j] - fd) < tol, name
    hs = 2.0
    fd_gamma = (price_at_s0(inc, S0 + hs) - 2.0 * g.price + price_at_s0(inc, S0 - hs)) / hs**2
    assert abs(g.gamma - fd_gamma) < 3.0 * g.gamma_stderr


def price_at_s0(inc, s0):
    return greeks(inc, model=(s0, *MODEL[1:])).price


def test_functions_agree(increments):
    inc = (increments[0][:5000], increments[1][:5000])
    t = q.tangents_heston(*inc, T, *MODEL, mu=MU)
    w = q.greek_weights_heston(*inc, T, *MODEL, mu=MU)
    assert t.shape == (5000, 14) and w.shape == (5000, 8)
    np.testing.assert_array_equal(t[:, 0], w[:, 0])
    f = np.maximum(w[:, 0] - K, 0.0)
    g = greeks(inc, estimator="weights")
    np.testing.assert_allclose(np.mean(f[:, None] * w[:, 1:], axis=0), g[1:8], rtol=1e-10)
    slope = (t[:, 0] > K).astype(float)
    lv = greeks(inc)
    pathwise = np.mean(slope[:, None] * t[:, 2:8], axis=0)
    pathwise[1] *= 2.0 * math.sqrt(V0)  # vega is d/d sqrt(v0)
    np.testing.assert_allclose(pathwise, np.array(lv)[[1, 3, 4, 5, 6, 7]], rtol=1e-10)
    # v and S0 tangents: dv/ds0 = dv/drho = 0 and dS_T/dS0 = S_T / S0.
    assert not t[:, 8].any() and not t[:, 13].any()
    np.testing.assert_array_equal(t[:, 2], t[:, 0] / S0)


def test_rate_discounts_every_value_and_error(increments):
    inc = (increments[0][:2000], increments[1][:2000])
    plain, disc = greeks(inc), greeks(inc, rate=0.05)
    df = math.exp(-0.05 * T)
    np.testing.assert_allclose(np.array(disc), df * np.array(plain), rtol=1e-13)
    assert greeks(inc, rate=0.0) == plain


def test_non_finite_paths_give_nan_with_nan_errors():
    db = np.full((3, 4), 0.1)
    db[1, 2] = np.nan
    g = q.price_and_greeks_heston(db, db, T, *MODEL, "digital", K, estimator="weights")
    assert all(math.isnan(v) for v in g)
    assert math.isnan(q.price_and_greeks_heston(db[:0], db[:0], T, *MODEL, "call", K).price_stderr)


def test_layouts_give_the_same_bits(increments):
    db, dz = increments[0][:999, :17], increments[1][:999, :17]
    ref = q.greek_weights_heston(db, dz, T, *MODEL)
    for a, b in [(np.asfortranarray(db), np.asfortranarray(dz)),
                 (db[::-1].copy()[::-1], dz[::-1].copy()[::-1]),
                 (np.asfortranarray(db[::-1])[::-1], dz)]:
        np.testing.assert_array_equal(q.greek_weights_heston(a, b, T, *MODEL), ref)


def test_thread_counts_give_the_same_bits(tmp_path):
    code = textwrap.dedent("""
        import hashlib, numpy as np, quarnel as q
        rng = np.random.default_rng(5)
        db, dz = 0.1 * rng.standard_normal((2, 30_001, 40))
        g = q.price_and_greeks_heston(db, dz, 1.0, 100.0, 0.04, 2.0, 0.04, 0.9, -0.5, "call",
                                      100.0, estimator="weights")
        w = q.tangents_heston(db, dz, 1.0, 100.0, 0.04, 2.0, 0.04, 0.9, -0.5)
        print(np.array(g).tobytes().hex(), hashlib.sha256(w.tobytes()).hexdigest())
    """)
    outs = {subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                           env={**os.environ, "RAYON_NUM_THREADS": str(t)},
                           check=True).stdout for t in (1, 2, 3, 7)}
    assert len(outs) == 1


@pytest.mark.parametrize(("change", "message"), [
    ({"dw_perp": np.zeros((3, 5))}, "dw_perp shape [3, 5] != expected (3, 4)"),
    ({"dw_v": np.zeros((3, 0)), "dw_perp": np.zeros((3, 0))},
     "dw_v must have at least 1 column (n_steps)"),
    ({"horizon": math.inf}, "horizon must be positive and finite, got inf"),
    ({"s0": 0.0}, "s0 must be positive and finite, got 0"),
    ({"v0": math.nan}, "v0 must be positive and finite, got nan"),
    ({"kappa": -1.0}, "kappa must be non-negative and finite, got -1"),
    ({"xi": math.inf}, "xi must be non-negative and finite, got inf"),
    ({"rho": 1.0}, "rho must lie strictly between -1 and 1, got 1"),
    ({"mu": -math.inf}, "mu must be finite, got -inf"),
    ({"payoff": "digital_call"},
     "unknown payoff 'digital_call': expected 'call', 'put', 'digital' or 'digital_put'"),
    ({"strike": math.nan}, "strike must be finite, got nan"),
    ({"estimator": "pathwise"},
     "unknown estimator 'pathwise': expected 'weights' or 'lowest_variance'"),
    ({"rate": math.nan}, "rate must be finite, got nan"),
    ({"half_width": 0.0}, "half_width must be positive and finite"),
])
def test_bad_arguments(change, message):
    args = dict(dw_v=np.zeros((3, 4)), dw_perp=np.zeros((3, 4)), horizon=1.0, s0=S0, v0=V0,
                kappa=KAPPA, theta=THETA, xi=XI, rho=RHO, payoff="call", strike=K)
    args.update(change)
    with pytest.raises(ValueError) as e:
        q.price_and_greeks_heston(**args)
    assert str(e.value) == message


def test_dask_equals_one_call(increments):
    da = pytest.importorskip("dask.array")
    import quarnel.dask as qd

    db, dz = increments[0][:7001, :16], increments[1][:7001, :16]
    for payoff, kw in [("call", {}), ("digital_put", {"estimator": "weights", "rate": 0.02}),
                       ("digital", {"half_width": 8.0, "rate": 0.02})]:
        one = q.price_and_greeks_heston(db, dz, T, *MODEL, payoff, K, mu=MU, **kw)
        many = qd.price_and_greeks_heston(da.from_array(db, chunks=(1000, 16)),
                                          da.from_array(dz, chunks=(2500, 8)), T, *MODEL,
                                          payoff, K, mu=MU, **kw)
        assert many == one
    w = qd.tangents_heston(da.from_array(db, chunks=(999, 16)), da.from_array(dz), T, *MODEL)
    np.testing.assert_array_equal(w.compute(), q.tangents_heston(db, dz, T, *MODEL))
    with pytest.raises(ValueError, match=r"^dw_perp shape \[7001, 5\] != expected \(7001, 16\)$"):
        qd.price_and_greeks_heston(da.from_array(db), da.from_array(dz[:, :5]), T, *MODEL,
                                   "call", K)


def test_inputs_keep_their_reference_counts():
    # Every way out of a call, the named-tuple result included, releases what it took.
    db, strike, rate = np.full((4, 3), 0.1), 100.0 + 0.5, 0.01 + 0.001
    calls = [(q.price_and_greeks_heston, (db, db, T, *MODEL, "call", strike), {"rate": rate}),
             (q.price_and_greeks_heston, (db, db, T, *MODEL, "bad", strike), {"rate": rate}),
             (q.price_and_greeks_heston, (db, "x", T, *MODEL, "call", strike), {}),
             (q.greek_weights_heston, (db, db, -1.0, *MODEL), {}),
             (q.tangents_heston, (db, db, T, *MODEL), {"mu": rate})]
    for fn, args, kwargs in calls:
        before = [sys.getrefcount(a) for a in (db, strike, rate)]
        for _ in range(3):
            try:
                fn(*args, **kwargs)
            except (TypeError, ValueError):
                pass
        assert [sys.getrefcount(a) for a in (db, strike, rate)] == before, fn.__name__
