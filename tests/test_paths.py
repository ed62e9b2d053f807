"""Barriers, Asians and the path weights against closed forms and finite differences."""

from __future__ import annotations

import math

import numpy as np
import pytest
from numpy.testing import assert_array_equal

import quarnel as q

S0, K, VOL, T, MU = 100.0, 100.0, 0.3, 1.0, 0.05


def ncdf(x: float) -> float:
    return 0.5 * math.erfc(-x / math.sqrt(2.0))


def barrier_closed_form(x0: float, vol: float, kind: str, h: float, k: float = K) -> float:
    """Undiscounted continuous-monitoring knock-out price (Reiner-Rubinstein, carry MU)."""
    m = (MU - vol * vol / 2) / (vol * vol)
    st = vol * math.sqrt(T)
    phi = 1.0 if kind.endswith("call") else -1.0
    eta = 1.0 if kind.startswith("d") else -1.0
    growth = math.exp(MU * T)

    def term(z: float, power: bool) -> float:
        a = (h / x0) ** (2 * (m + 1)) if power else 1.0
        b = (h / x0) ** (2 * m) if power else 1.0
        sg = eta if power else phi
        return phi * x0 * growth * a * ncdf(sg * z) - phi * k * b * ncdf(sg * z - sg * st)

    x1 = math.log(x0 / k) / st + (1 + m) * st
    x2 = math.log(x0 / h) / st + (1 + m) * st
    y1 = math.log(h * h / (x0 * k)) / st + (1 + m) * st
    y2 = math.log(h / x0) / st + (1 + m) * st
    a, b, c, d = term(x1, False), term(x2, False), term(y1, True), term(y2, True)
    return {"do_call": a - c if k > h else b - d, "uo_call": 0.0 if k > h else a - b + c - d,
            "do_put": a - b + c - d if k > h else 0.0, "uo_put": b - d if k > h else a - c}[kind]


def vanilla(x0: float, vol: float, kind: str, h: float) -> float:
    st = vol * math.sqrt(T)
    d1 = (math.log(x0 / K) + (MU + vol * vol / 2) * T) / st
    fwd = x0 * math.exp(MU * T)
    call = fwd * ncdf(d1) - K * ncdf(d1 - st)
    return call if kind.endswith("call") else call - fwd + K


def geometric_closed_form(x0: float, vol: float, payoff: str, dates: np.ndarray,
                          n_steps: int) -> float:
    t = dates * T / n_steps
    mean = math.log(x0) + (MU - vol * vol / 2) * t.mean()
    var = vol * vol * np.minimum.outer(t, t).sum() / len(t) ** 2
    sv = math.sqrt(var)
    d1 = (mean - math.log(K) + var) / sv
    d2 = d1 - sv
    fwd = math.exp(mean + var / 2)
    return {"call": fwd * ncdf(d1) - K * ncdf(d2), "put": K * ncdf(-d2) - fwd * ncdf(-d1),
            "digital": ncdf(d2), "digital_put": ncdf(-d2)}[payoff]


def closed_greeks(price) -> np.ndarray:
    """Price, delta, gamma, vega of a closed form price(x0, vol) by central differences."""
    h, hv = 1e-2, 1e-4
    p = price(S0, VOL)
    up, dn = price(S0 + h, VOL), price(S0 - h, VOL)
    return np.array([p, (up - dn) / (2 * h), (up - 2 * p + dn) / h**2,
                     (price(S0, VOL + hv) - price(S0, VOL - hv)) / (2 * hv)])


def estimates(g) -> tuple[np.ndarray, np.ndarray]:
    return (np.array([g.price, g.delta, g.gamma, g.vega]),
            np.array([g.price_stderr, g.delta_stderr, g.gamma_stderr, g.vega_stderr]))


def gbm_grid(n: int, n_steps: int, seed: int, x0: float = S0) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    dw = rng.standard_normal((n, n_steps)) * math.sqrt(T / n_steps)
    t = np.arange(1, n_steps + 1) * T / n_steps
    s = np.empty((n, n_steps + 1))
    s[:, 0] = x0
    s[:, 1:] = x0 * np.exp((MU - VOL * VOL / 2) * t + VOL * np.cumsum(dw, axis=1))
    return s, dw


def euler_batch(n: int, n_steps: int, seed: int, x0: float = S0) -> q.PathBatch:
    """GBM on an Euler grid, sigma = VOL * x."""
    rng = np.random.default_rng(seed)
    dt = T / n_steps
    dw = rng.standard_normal((n, n_steps)) * math.sqrt(dt)
    x = np.empty((n, n_steps + 1))
    x[:, 0] = x0
    for j in range(n_steps):
        x[:, j + 1] = x[:, j] + MU * x[:, j] * dt + VOL * x[:, j] * dw[:, j]
    zero = np.zeros((n, n_steps))
    return q.PathBatch(states=x, dws=dw, horizon=T, sigma=VOL * x[:, :-1], d_mu_dx=zero + MU,
                       d_sigma_dx=zero + VOL, d2_mu_dx2=zero, d2_sigma_dx2=zero)


BARRIERS = [("do_call", 90.0, "down", "call"), ("uo_call", 130.0, "up", "call"),
            ("do_put", 90.0, "down", "put"), ("uo_put", 130.0, "up", "put")]


@pytest.fixture(scope="module")
def gbm() -> tuple[np.ndarray, np.ndarray]:
    return gbm_grid(60_000, 32, 11)


@pytest.fixture(scope="module")
def euler() -> q.PathBatch:
    return euler_batch(60_000, 64, 12)


class TestContinuousBarrier:
    @pytest.mark.parametrize("estimator", ["lowest_variance", "weights"])
    @pytest.mark.parametrize(("kind", "h", "direction", "payoff"), BARRIERS)
    @pytest.mark.parametrize("knock", ["out", "in"])
    def test_gbm_against_the_closed_form(self, gbm, kind, h, direction, payoff, estimator,
                                         knock):
        # The bridge is exact for GBM in log space: no discretisation bias at all.
        ref = closed_greeks(lambda x, v: barrier_closed_form(x, v, kind, h))
        if knock == "in":  # in-out parity
            ref = closed_greeks(lambda x, v: vanilla(x, v, kind, h)) - ref
        g = q.price_and_greeks_barrier_gbm(*gbm, T, S0, VOL, h, direction=direction,
                                           knock=knock, payoff=payoff, strike=K,
                                           estimator=estimator)
        est, se = estimates(g)
        assert np.all(np.abs(est - ref) < 4 * se + 1e-9), (est, ref, se)

    @pytest.mark.parametrize("estimator", ["lowest_variance", "weights"])
    @pytest.mark.parametrize(("kind", "h", "direction", "payoff"), BARRIERS)
    def test_euler_against_the_closed_form(self, euler, kind, h, direction, payoff,
                                           estimator):
        # The Euler scheme's own bias is O(dt); measured well inside 1% at 64 steps.
        ref = closed_greeks(lambda x, v: barrier_closed_form(x, v, kind, h))
        g = q.price_and_greeks_barrier_tangent_flow(euler, h, direction=direction,
                                                    payoff=payoff, strike=K, vol=VOL,
                                                    estimator=estimator)
        est, se = estimates(g)
        bias = np.abs(ref) * (T / euler.dws.shape[1])
        assert np.all(np.abs(est - ref) < 4 * se + bias), (est, ref, se)

    @pytest.mark.parametrize(("kind", "h", "direction", "payoff"), BARRIERS)
    def test_lowest_variance_is_never_worse_than_the_weights(self, gbm, kind, h, direction,
                                                              payoff):
        kw = dict(direction=direction, payoff=payoff, strike=K)
        lv = q.price_and_greeks_barrier_gbm(*gbm, T, S0, VOL, h, **kw)
        w = q.price_and_greeks_barrier_gbm(*gbm, T, S0, VOL, h, estimator="weights", **kw)
        assert lv.price == w.price
        # The regression on the controls can only lower the variance, up to O(1/n).
        assert np.all(np.array(lv[6:9]) < 1.01 * np.array(w[6:9]))

    @pytest.mark.parametrize("estimator", ["lowest_variance", "weights"])
    def test_digital_and_rebate_against_finite_differences(self, estimator):
        # CRN central differences of the price itself: S_j is proportional to x0.
        s, dw = gbm_grid(100_000, 16, 13)
        kw = dict(payoff="digital", strike=K, rebate=0.3, estimator=estimator)
        g = q.price_and_greeks_barrier_gbm(s, dw, T, S0, VOL, 90.0, **kw)
        h = 0.5
        up = q.price_and_greeks_barrier_gbm(s * (1 + h / S0), dw, T, S0 + h, VOL, 90.0, **kw)
        dn = q.price_and_greeks_barrier_gbm(s * (1 - h / S0), dw, T, S0 - h, VOL, 90.0, **kw)
        fd = (up.price - dn.price) / (2 * h)
        assert abs(g.delta - fd) < 4 * g.delta_stderr


class TestDiscreteBarrier:
    def test_scheme_exact_weights_match_crn_differences(self):
        s, dw = gbm_grid(100_000, 16, 14)
        dates = [4, 8, 12, 16]
        kw = dict(strike=K, monitoring_dates=dates)
        g = q.price_and_greeks_barrier_gbm(s, dw, T, S0, VOL, 95.0, **kw)
        h = 1.0
        up = q.price_and_greeks_barrier_gbm(s * (1 + h / S0), dw, T, S0 + h, VOL, 95.0, **kw)
        dn = q.price_and_greeks_barrier_gbm(s * (1 - h / S0), dw, T, S0 - h, VOL, 95.0, **kw)
        assert abs(g.delta - (up.price - dn.price) / (2 * h)) < 4 * g.delta_stderr
        assert abs(g.gamma - (up.price - 2 * g.price + dn.price) / h**2) < 4 * g.gamma_stderr
        # Broadie-Glasserman-Kou: discrete ~ continuous with the barrier shifted away,
        # an approximation that improves with the number of dates.
        every = q.price_and_greeks_barrier_gbm(s, dw, T, S0, VOL, 95.0, strike=K,
                                               monitoring_dates=range(1, 17))
        shifted = 95.0 * math.exp(-0.5826 * VOL * math.sqrt(T / 16))
        assert abs(every.price / barrier_closed_form(S0, VOL, "do_call", shifted) - 1) < 0.02

    def test_euler_weights_match_crn_differences(self):
        def batch(x0: float) -> q.PathBatch:
            return euler_batch(60_000, 16, 15, x0)

        kw = dict(direction="up", payoff="put", strike=K, monitoring_dates=[8, 12, 16])
        g = q.price_and_greeks_barrier_tangent_flow(batch(S0), 115.0, **kw)
        h = 1.0
        fd = (q.price_and_greeks_barrier_tangent_flow(batch(S0 + h), 115.0, **kw).price
              - q.price_and_greeks_barrier_tangent_flow(batch(S0 - h), 115.0, **kw).price) / (2 * h)
        assert abs(g.delta - fd) < 4 * g.delta_stderr
        assert math.isnan(g.vega) and math.isnan(g.vega_stderr)


class TestAsian:
    @pytest.mark.parametrize("estimator", ["lowest_variance", "weights"])
    @pytest.mark.parametrize("payoff", ["call", "put", "digital", "digital_put"])
    @pytest.mark.parametrize("dates", [None, [8, 16, 24, 32]], ids=["all", "four"])
    def test_geometric_against_the_closed_form(self, gbm, payoff, estimator, dates):
        n_steps = gbm[1].shape[1]
        d = np.arange(1, n_steps + 1) if dates is None else np.array(dates)
        ref = closed_greeks(lambda x, v: geometric_closed_form(x, v, payoff, d, n_steps))
        g = q.price_and_greeks_asian_gbm(*gbm, T, S0, VOL, average="geometric", payoff=payoff,
                                         strike=K, monitoring_dates=dates, estimator=estimator)
        est, se = estimates(g)
        assert np.all(np.abs(est - ref) < 4 * se + 1e-9), (est, ref, se)

    def test_arithmetic_against_crn_differences(self):
        s, dw = gbm_grid(200_000, 24, 16)
        g = q.price_and_greeks_asian_gbm(s, dw, T, S0, VOL, strike=K)
        h, hv = 2.0, 0.01
        up = q.price_and_greeks_asian_gbm(s * (1 + h / S0), dw, T, S0 + h, VOL, strike=K)
        dn = q.price_and_greeks_asian_gbm(s * (1 - h / S0), dw, T, S0 - h, VOL, strike=K)
        assert abs(g.delta - (up.price - dn.price) / (2 * h)) < 4 * g.delta_stderr
        assert abs(g.gamma - (up.delta - dn.delta) / (2 * h)) < 4 * g.gamma_stderr

        def bumped(v: float) -> float:
            t = np.arange(1, 25) * T / 24
            sv = np.empty_like(s)
            sv[:, 0] = S0
            sv[:, 1:] = S0 * np.exp((MU - v * v / 2) * t + v * np.cumsum(dw, axis=1))
            return q.price_and_greeks_asian_gbm(sv, dw, T, S0, v, strike=K).price

        assert abs(g.vega - (bumped(VOL + hv) - bumped(VOL - hv)) / (2 * hv)) < 4 * g.vega_stderr

    @pytest.mark.parametrize("payoff", ["call", "digital"])
    def test_euler_against_crn_differences(self, payoff):
        kw = dict(payoff=payoff, strike=K, monitoring_dates=[8, 12, 16], vol=VOL)
        g = q.price_and_greeks_asian_tangent_flow(euler_batch(60_000, 16, 17), **kw)
        h = 1.0
        up = q.price_and_greeks_asian_tangent_flow(euler_batch(60_000, 16, 17, S0 + h), **kw)
        dn = q.price_and_greeks_asian_tangent_flow(euler_batch(60_000, 16, 17, S0 - h), **kw)
        # A digital's differences are paths flipping across the strike: their own error.
        flips = abs(up.price - dn.price) if payoff == "digital" else 0.0
        fd_se = math.sqrt(flips / 60_000) / (2 * h)
        fd = (up.price - dn.price) / (2 * h)
        assert abs(g.delta - fd) < 4 * math.hypot(g.delta_stderr, fd_se)
        assert abs(g.gamma - (up.delta - dn.delta) / (2 * h)) < 4 * g.gamma_stderr + 1e-4
        assert math.isnan(g.vega) == (payoff == "digital")


class TestPathWeights:
    def test_at_the_last_date_they_are_the_terminal_weights(self, gbm, euler):
        s, dw = gbm
        w = q.path_weights_gbm(dw, T, S0, VOL, first_date=dw.shape[1])
        ref = q.greek_weights_constant_flow(np.cumsum(dw, axis=1)[:, -1], T, S0, VOL)
        assert_array_equal(w, ref[:, :3])
        wt = q.path_weights_tangent_flow(euler, first_date=euler.dws.shape[1])
        assert_array_equal(wt, q.greek_weights_tangent_flow(euler)[:, :2])

    def test_valid_for_a_lookback_after_the_first_date(self):
        # max of the path from date 8 on: CRN differences of the price itself.
        s, dw = gbm_grid(200_000, 16, 18)
        w = q.path_weights_gbm(dw, T, S0, VOL, first_date=8)

        def price(x0: float) -> np.ndarray:
            return np.maximum((s[:, 8:] * (x0 / S0)).max(axis=1) - K, 0.0)

        f = price(S0)
        for col, fd in [(0, (price(S0 + 1) - price(S0 - 1)) / 2)]:
            sample = f * w[:, col]
            assert abs(sample.mean() - fd.mean()) < 4 * sample.std() / math.sqrt(len(f))


class TestReproducibility:
    def test_parallel_and_time_major_give_the_same_bits(self, euler):
        x, dw = euler.states, euler.dws
        fields = [euler.sigma, euler.d_mu_dx, euler.d_sigma_dx, euler.d2_mu_dx2,
                  euler.d2_sigma_dx2]
        time_major = [np.ascontiguousarray(a.T).T for a in (x, dw, *fields)]
        one = q.price_and_greeks_barrier_tangent_flow(euler, 90.0, strike=K, vol=VOL)
        other = q.price_and_greeks_barrier_tangent_flow(*time_major, T, 90.0, strike=K,
                                                        vol=VOL, parallel=True)
        assert_array_equal(np.array(one), np.array(other))  # NaN rho equal to NaN rho
        w = q.path_weights_tangent_flow(euler, first_date=7)
        assert_array_equal(w, q.path_weights_tangent_flow_parallel(*time_major, T, first_date=7))

    @pytest.mark.parametrize(("product", "barrier", "direction", "knock", "dates"), [
        ("barrier_continuous", 95.0, "down", "out", None),
        ("barrier_continuous", 108.0, "up", "in", None),
        ("barrier_discrete", 95.0, "down", "out", [3, 7, 12]),
        ("asian_arithmetic", 1.0, "down", "out", [3, 7, 12]),
        ("asian_geometric", 1.0, "down", "out", None),
    ])
    def test_gbm_rows_in_lanes_are_the_one_path_rows(self, product, barrier, direction, knock,
                                                      dates):
        """The lanes (runs of rows, time-major tiles, their tails, the queued bridges) give
        each path's rows as a walk of that path alone, specials included."""
        from quarnel import _paths

        s, dw = gbm_grid(1_300, 12, 31)
        rng = np.random.default_rng(32)
        for a in (s[:, 1:], dw):
            a[rng.random(a.shape) < 0.003] = rng.choice([np.nan, np.inf, 0.0, 1e-300], 1)[0]
        mask = np.ones(12) if dates is None else np.isin(np.arange(1, 13), dates) * 1.0
        if product == "barrier_continuous":
            mask = np.zeros(0)

        def rows(arrays, threads="serial"):
            return _paths.rows("gbm", arrays, T, S0, VOL, product, barrier, direction, knock,
                               mask, 0.0, 0, threads)

        one = np.vstack([rows((s[i:i + 1], dw[i:i + 1])) for i in range(len(s))])
        time_major = tuple(np.ascontiguousarray(a.T).T for a in (s, dw))
        for got in (rows((s, dw)), rows(time_major), rows(time_major, "parallel"),
                    rows((s[::-1], dw[::-1]))[::-1]):
            assert_array_equal(got, one)

    def test_rate_discounts_every_sample(self, gbm):
        g = q.price_and_greeks_barrier_gbm(*gbm, T, S0, VOL, 90.0, strike=K)
        d = q.price_and_greeks_barrier_gbm(*gbm, T, S0, VOL, 90.0, strike=K, rate=0.04)
        df = math.exp(-0.04 * T)
        np.testing.assert_allclose(np.array(d[:4]), df * np.array(g[:4]), rtol=1e-12)
        np.testing.assert_allclose(np.array(d[5:9]), df * np.array(g[5:9]), rtol=1e-10)


@pytest.mark.parametrize("dates", [None, [2, 4]])
def test_a_nan_state_gives_nan_estimates_with_nan_errors(dates):
    s, dw = gbm_grid(50, 4, 22)
    s[np.argmax(s.min(axis=1)), 2] = np.nan  # on a path that is alive until then
    g = q.price_and_greeks_barrier_gbm(s, dw, T, S0, VOL, 90.0, strike=K,
                                       monitoring_dates=dates)
    assert all(math.isnan(x) for x in g)


@pytest.mark.parametrize(("kwargs", "error", "match"), [
    (dict(x0=float("nan")), ValueError, "x0 must be positive and finite, got nan"),
    (dict(vol=-0.1), ValueError, "vol must be positive and finite"),
    (dict(barrier=float("inf")), ValueError, "barrier must be positive and finite, got inf"),
    (dict(strike=float("nan")), ValueError, "strike must be finite"),
    (dict(rebate=float("inf")), ValueError, "rebate must be finite"),
    (dict(rate=float("nan")), ValueError, "rate must be finite"),
    (dict(half_width=0.0), ValueError, "half_width must be positive and finite"),
    (dict(payoff="digital_call"), ValueError, "unknown payoff 'digital_call'"),
    (dict(direction="sideways"), ValueError, "unknown direction 'sideways'"),
    (dict(knock="maybe"), ValueError, "unknown knock 'maybe'"),
    (dict(estimator="pathwise"), ValueError, "unknown estimator 'pathwise'"),
    (dict(monitoring_dates=[0, 3]), ValueError, r"monitoring_dates must lie in 1\.\.4"),
    (dict(monitoring_dates=[2, 2]), ValueError, "must not repeat a date"),
    (dict(monitoring_dates=[1.5]), TypeError, "grid indices"),
    (dict(horizon=0.0), ValueError, "horizon must be positive and finite"),
])
def test_argument_errors_name_the_argument(kwargs, error, match):
    s, dw = gbm_grid(8, 4, 19)
    args = dict(horizon=T, x0=S0, vol=VOL, barrier=90.0) | {
        k: v for k, v in kwargs.items() if k in ("horizon", "x0", "vol", "barrier")}
    rest = {k: v for k, v in kwargs.items() if k not in args}
    with pytest.raises(error, match=match):
        q.price_and_greeks_barrier_gbm(s, dw, args["horizon"], args["x0"], args["vol"],
                                       args["barrier"], **rest)


def test_first_date_must_be_a_grid_index():
    _, dw = gbm_grid(8, 4, 20)
    with pytest.raises(ValueError, match=r"first_date must be a grid index in 1\.\.4, got 5"):
        q.path_weights_gbm(dw, T, S0, VOL, first_date=5)
    with pytest.raises(TypeError, match="first_date must be an integer"):
        q.path_weights_gbm(dw, T, S0, VOL, first_date=2.0)


class TestDask:
    @pytest.mark.parametrize(("fn", "kwargs"), [
        ("price_and_greeks_barrier_tangent_flow", dict(barrier=90.0, strike=K, vol=VOL)),
        ("price_and_greeks_barrier_tangent_flow",
         dict(barrier=90.0, payoff="digital", strike=K, monitoring_dates=[3, 5, 8])),
        ("price_and_greeks_asian_tangent_flow", dict(payoff="digital_put", strike=K)),
    ])
    def test_chunks_give_one_call_bit_for_bit(self, fn, kwargs):
        da = pytest.importorskip("dask.array")
        import quarnel.dask as qd

        b = euler_batch(5_000, 8, 21)
        arrays = (b.states, b.dws, b.sigma, b.d_mu_dx, b.d_sigma_dx, b.d2_mu_dx2,
                  b.d2_sigma_dx2)
        chunked = [da.from_array(a, chunks=(1_300, -1)) for a in arrays]
        one = getattr(q, fn)(*arrays, T, **kwargs)
        assert_array_equal(np.array(one), np.array(getattr(qd, fn)(*chunked, T, **kwargs)))
        w = qd.path_weights_tangent_flow(*chunked, T, first_date=4).compute()
        assert_array_equal(w, q.path_weights_tangent_flow(*arrays, T, first_date=4))
