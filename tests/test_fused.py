"""The fused estimators: the generator against a pure NumPy reference, the fused call
against the stored-batch call on its own simulated batch, every vector width against
one path at a time, values against closed forms, and the argument checks."""

import ctypes
import dataclasses
import math
import os
import subprocess
import sys

import numpy as np
import pytest

import quarnel
from quarnel import _fused
from quarnel.models import ABM, CEV, CIR, GBM, OU, Compiled, Heston, LocalVol

# --- the generator, in NumPy ----------------------------------------------------------

M0, M1, W0, W1 = 0xD2511F53, 0xCD9E8D57, 0x9E3779B9, 0xBB67AE85
LOW = np.uint64(0xFFFFFFFF)


def philox(c0, c1, c2, c3, k0, k1):
    """Philox4x32-10 on uint64 arrays holding 32-bit words."""
    c = [np.asarray(v, dtype=np.uint64) for v in (c0, c1, c2, c3)]
    k0, k1 = int(k0), int(k1)
    for _ in range(10):
        p0 = c[0] * np.uint64(M0)
        p1 = c[2] * np.uint64(M1)
        c = [(p1 >> np.uint64(32)) ^ c[1] ^ np.uint64(k0), p1 & LOW,
             (p0 >> np.uint64(32)) ^ c[3] ^ np.uint64(k1), p0 & LOW]
        k0, k1 = (k0 + W0) & 0xFFFFFFFF, (k1 + W1) & 0xFFFFFFFF
    return c


# The fitted polynomials of fixed_math.hpp (pow's log) and fused_math.hpp (Box-Muller's
# sine and cosine), highest coefficient first.
LOG_FIT = (0.07308224910391238, 0.07665860794787153, 0.0909144456279605, 0.11111105567395273,
           0.14285714312987757, 0.19999999999949752, 0.3333333333333335)
SIN_FIT = (1.5918129154550544e-10, -2.5051131843056034e-08, 2.7557316102543096e-06,
           -0.00019841269836758557, 0.008333333333330948, -0.16666666666666666)
COS_FIT = (-1.1382632337741214e-11, 2.087614626718481e-09, -2.755731727172395e-07,
           2.4801587298765676e-05, -0.0013888888888887398, 0.041666666666666664)


def horner(coefficients, t):
    p = np.full_like(t, coefficients[0])
    for c in coefficients[1:]:
        p = p * t + c
    return p


def fixed_log(x):
    """The generator's log (pow's in fixed_math.hpp) for positive normal x, in NumPy."""
    bits = x.view(np.uint64)
    e = (bits >> np.uint64(52)).astype(np.int64) - 1023
    m = ((bits & np.uint64(0x000FFFFFFFFFFFFF)) | np.uint64(0x3FF0000000000000)).view(np.float64)
    big = m > 1.4142135623730951
    m = np.where(big, m * 0.5, m)
    e = e + big
    f = m - 1.0
    s = f / (2.0 + f)
    s2 = s * s
    p = horner(LOG_FIT, s2)
    two_s = 2.0 * s
    log_m = two_s + two_s * (s2 * p)
    ed = e.astype(np.float64)
    return ed * 6.93147180369123816490e-01 + (log_m + ed * 1.90821492927058770002e-10)


def cos_sin_2pi(u):
    shifter = 6755399441055744.0
    t = 4.0 * u
    n = (t + shifter) - shifter
    f = t - n
    r = f * 1.5707963267948966 + f * 6.123233995736766e-17
    r2 = r * r
    sr = r + r * (r2 * horner(SIN_FIT, r2))
    cr = (1.0 - 0.5 * r2) + (r2 * r2) * horner(COS_FIT, r2)
    swap = (n == 1) | (n == 3)
    c0, s0 = np.where(swap, sr, cr), np.where(swap, cr, sr)
    return (np.where((n == 1) | (n == 2), -c0, c0), np.where((n == 2) | (n == 3), -s0, s0))


def reference_normals(seed, n_paths, n_steps, first_path=0):
    paths = np.arange(first_path, first_path + n_paths, dtype=np.uint64)[:, None]
    pairs = np.arange((n_steps + 1) // 2, dtype=np.uint64)[None, :]
    zero = np.zeros((n_paths, pairs.shape[1]), dtype=np.uint64)
    r0, r1, r2, r3 = philox((paths & LOW) + zero, (paths >> np.uint64(32)) + zero, pairs + zero,
                            zero, seed & 0xFFFFFFFF, seed >> 32)
    a = r0 | (r1 << np.uint64(32))
    b = r2 | (r3 << np.uint64(32))
    one = np.uint64(0x3FF0000000000000)
    u1 = 2.0 - ((a >> np.uint64(12)) | one).view(np.float64)
    u2 = ((b >> np.uint64(12)) | one).view(np.float64) - 1.0
    radius = np.sqrt(-2.0 * fixed_log(u1))
    c, s = cos_sin_2pi(u2)
    z = np.empty((n_paths, 2 * pairs.shape[1]))
    z[:, 0::2], z[:, 1::2] = radius * c, radius * s
    return z[:, :n_steps]


@pytest.mark.parametrize("ctr, key, expected", [
    # The known answers of the Philox paper's reference implementation.
    ((0, 0, 0, 0), (0, 0), (0x6627E8D5, 0xE169C58D, 0xBC57AC4C, 0x9B00DBD8)),
    ((0xFFFFFFFF,) * 4, (0xFFFFFFFF,) * 2, (0x408F276D, 0x41C83B0E, 0xA20BC7C6, 0x6D5451FD)),
    ((0x243F6A88, 0x85A308D3, 0x13198A2E, 0x03707344), (0xA4093822, 0x299F31D0),
     (0xD16CFE09, 0x94FDCCEB, 0x5001E420, 0x24126EA1)),
])
def test_reference_philox_known_answers(ctr, key, expected):
    assert tuple(int(w) for w in philox(*ctr, *key)) == expected


@pytest.mark.parametrize("seed, n_paths, n_steps, first_path", [
    (0, 5, 7, 0), (2**64 - 1, 3, 4, 2**32 - 2), (123456789, 64, 33, 10**12)])
def test_normals_equal_the_numpy_reference(seed, n_paths, n_steps, first_path):
    got = quarnel.normals(seed, n_paths, n_steps, first_path=first_path)
    np.testing.assert_array_equal(got, reference_normals(seed, n_paths, n_steps, first_path))


def test_normals_are_standard_and_independent():
    z = quarnel.normals(5, 20000, 10)
    assert abs(z.mean()) < 4 / math.sqrt(z.size)
    assert abs(z.var() - 1.0) < 4 * math.sqrt(2 / z.size)
    # Even and odd steps share a Philox block: their correlation must still vanish.
    assert abs(np.corrcoef(z[:, 0], z[:, 1])[0, 1]) < 4 / math.sqrt(20000)
    # A path's normals do not depend on the range they were drawn in.
    np.testing.assert_array_equal(quarnel.normals(5, 3, 10, first_path=7), z[7:10])


# --- the fused call equals the stored-batch call on its simulated batch -------------------

MODELS = [
    GBM(x0=1.0, vol=0.3, mu=0.05),
    ABM(x0=1.0, vol=0.3, mu=0.05),
    OU(x0=1.0, kappa=1.5, theta=1.2, vol=0.3),
    CEV(x0=1.0, vol=0.3, beta=0.7, mu=0.02),
    CIR(x0=0.04, kappa=2.0, theta=0.05, vol=0.1),
    LocalVol(x0=1.0, times=[0.0, 0.5, 1.0], states=[0.5, 0.8, 1.0, 1.3, 2.0],
             vols=[[0.3, 0.25, 0.2, 0.22, 0.3], [0.28, 0.24, 0.21, 0.2, 0.25],
                   [0.25, 0.22, 0.2, 0.2, 0.22]], mu=0.03),
]
CASES = [("identity", "lowest_variance", None), ("call", "lowest_variance", None),
         ("put", "weights", None), ("digital_call", "lowest_variance", None),
         ("digital_call", "lowest_variance", 0.05), ("digital_call", "weights", None),
         ("digital", "lowest_variance", None), ("digital_put", "lowest_variance", 0.05),
         ("call_spread", "lowest_variance", None), ("put_spread", "weights", None)]


@pytest.mark.parametrize("model", MODELS, ids=lambda m: m.name)
@pytest.mark.parametrize("payoff, estimator, half_width", CASES)
def test_fused_equals_the_stored_batch_bit_for_bit(model, payoff, estimator, half_width):
    n, N, T, seed, K = 1001, 13, 0.7, 99, model.x0 * 1.02
    k2 = model.x0 * 1.2 if payoff.endswith("spread") else None
    batch = quarnel.simulate(model, n, N, T, seed)
    stored = quarnel.price_and_greeks_tangent_flow(batch, payoff, K, estimator=estimator,
                                                   half_width=half_width, vol=model.vol,
                                                   strike2=k2)
    fused = quarnel.price_and_greeks_fused(model, n, N, T, seed, payoff, K, estimator=estimator,
                                           half_width=half_width, strike2=k2)
    assert repr(fused) == repr(stored)
    if payoff in ("identity", "call", "put") or (payoff, estimator) == ("digital_call", "weights"):
        pd = quarnel.price_and_delta_fused(model, n, N, T, seed, payoff, K)
        assert repr(pd) == repr(quarnel.price_and_delta_tangent_flow(batch, payoff, K))


HESTON = Heston(s0=100.0, v0=0.04, kappa=2.0, theta=0.04, xi=0.3, rho=-0.7, mu=0.03)


# Every payoff by both estimators, and the digitals' ramp.
HESTON_CASES = [(payoff, *rest) for payoff in ("call", "put", "digital", "digital_put")
                for rest in (("lowest_variance", None, None), ("weights", None, 0.02))]
HESTON_CASES += [("digital", "lowest_variance", 4.0, 0.02),
                 ("digital_put", "lowest_variance", 4.0, None)]


@pytest.mark.parametrize("payoff, estimator, half_width, rate", HESTON_CASES)
def test_heston_fused_equals_the_stored_call_bit_for_bit(payoff, estimator, half_width, rate):
    n, N, T, seed = 1001, 13, 0.7, 99  # 1001 paths: a tail for every lane width
    dw_v, dw_perp = quarnel.simulate_heston(HESTON, n, N, T, seed)
    # The documented layout: one Box-Muller pair a Heston step.
    z = math.sqrt(T / N) * quarnel.normals(seed, n, 2 * N)
    np.testing.assert_array_equal(dw_v, z[:, 0::2])
    np.testing.assert_array_equal(dw_perp, z[:, 1::2])
    m = HESTON
    stored = quarnel.price_and_greeks_heston(
        dw_v, dw_perp, T, m.s0, m.v0, m.kappa, m.theta, m.xi, m.rho, payoff, 101.0, mu=m.mu,
        estimator=estimator, rate=rate, half_width=half_width)
    fused = quarnel.price_and_greeks_heston_fused(m, n, N, T, seed, payoff, 101.0,
                                                  estimator=estimator, rate=rate,
                                                  half_width=half_width)
    assert repr(fused) == repr(stored)
    if payoff in ("call", "digital"):  # and over Dask, each chunk simulated where it is summed
        qd = pytest.importorskip("quarnel.dask")
        for chunks in (300, (1, 500, 500)):
            assert repr(qd.price_and_greeks_heston_fused(
                m, n, N, T, seed, payoff, 101.0, estimator=estimator, rate=rate,
                half_width=half_width, chunks=chunks)) == repr(fused)


# Local volatility too: a chunk of one path runs alone, the others in lanes.
@pytest.mark.parametrize("model", MODELS[::2] + MODELS[5:], ids=lambda m: m.name)
@pytest.mark.parametrize("payoff, estimator, half_width", CASES[1::2])
def test_dask_chunks_of_paths_give_the_single_calls_bits(model, payoff, estimator, half_width):
    qd = pytest.importorskip("quarnel.dask")
    n, N, T, seed, K = 1001, 7, 0.7, 5, model.x0 * 1.02
    k2 = model.x0 * 1.2 if payoff.endswith("spread") else None
    args = (model, n, N, T, seed, payoff, K)
    kw = {"estimator": estimator, "half_width": half_width, "strike2": k2, "rate": 0.03}
    one = quarnel.price_and_greeks_fused(*args, **kw)
    for chunks in (n, 250, (1, 500, 500)):
        assert repr(qd.price_and_greeks_fused(*args, **kw, chunks=chunks)) == repr(one)


@pytest.mark.parametrize("payoff, estimator", [("call", "lowest_variance"),
                                               ("digital", "lowest_variance"), ("put", "weights")])
def test_antithetic_pairs_equal_the_stored_pairs(payoff, estimator):
    model, args = MODELS[3], (2000, 9, 1.0, 3, payoff, 1.0)
    fused = quarnel.price_and_greeks_fused(model, *args, estimator=estimator, pairs="adjacent")
    batch = quarnel.simulate(model, *args[:4], pairs="adjacent")
    np.testing.assert_array_equal(np.asarray(batch.dws)[1::2], -np.asarray(batch.dws)[0::2])
    stored = quarnel.price_and_greeks_tangent_flow(batch, payoff, 1.0, estimator=estimator,
                                                   vol=model.vol, pairs="adjacent")
    assert repr(fused) == repr(stored)
    qd = pytest.importorskip("quarnel.dask")
    assert repr(qd.price_and_greeks_fused(model, *args, estimator=estimator, pairs="adjacent",
                                          chunks=301)) == repr(fused)


def test_dask_names_the_first_zero_diffusion_as_the_single_call():
    qd = pytest.importorskip("quarnel.dask")
    m = CIR(x0=0.3, kappa=0.5, theta=0.3, vol=0.5)
    with pytest.raises(ValueError, match="on path 22 at step 3"):
        quarnel.price_and_greeks_fused(m, 4000, 4, 1.0, 2, "call")
    with pytest.raises(ValueError, match="on path 22 at step 3"):
        qd.price_and_greeks_fused(m, 4000, 4, 1.0, 2, "call", chunks=5)


_PROTO = ctypes.CFUNCTYPE(None, ctypes.c_double, ctypes.c_double, ctypes.POINTER(ctypes.c_double))


@_PROTO
def _gbm_coefficients(t, x, out):  # the operations of the built-in GBM's coefficients
    out[0], out[1], out[2], out[3], out[4], out[5] = 0.05 * x, 0.3 * x, 0.05, 0.3, 0.0, 0.0


@pytest.mark.parametrize("payoff", ["call", "digital", "put_spread"])
def test_compiled_coefficients_give_the_built_in_models_bits(payoff):
    k2 = 1.2 if payoff.endswith("spread") else None
    mine, built_in = Compiled(x0=1.0, coefficients=_gbm_coefficients, vol=0.3), \
        GBM(x0=1.0, vol=0.3, mu=0.05)
    got = quarnel.price_and_greeks_fused(mine, 301, 5, 1.0, 3, payoff, 1.02, strike2=k2)
    assert repr(got) == repr(quarnel.price_and_greeks_fused(built_in, 301, 5, 1.0, 3, payoff,
                                                           1.02, strike2=k2))
    batch = quarnel.simulate(mine, 301, 5, 1.0, 3)
    assert repr(got) == repr(quarnel.price_and_greeks_tangent_flow(batch, payoff, 1.02, vol=0.3,
                                                                  strike2=k2))


def test_compiled_time_dependent_volatility_against_black_scholes():
    numba = pytest.importorskip("numba")
    sig = numba.types.void(numba.types.float64, numba.types.float64,
                           numba.types.CPointer(numba.types.float64))

    @numba.cfunc(sig)
    def coefficients(t, x, out):  # sigma(t, x) = 0.3 (1 + t) x
        s = 0.3 * (1.0 + t)
        out[0], out[1], out[2], out[3], out[4], out[5] = 0.0, s * x, 0.0, s, 0.0, 0.0

    g = quarnel.price_and_greeks_fused(Compiled(x0=1.0, coefficients=coefficients, vol=0.3),
                                       100_000, 128, 1.0, 3, "call", 1.0)
    sd = 0.3 * math.sqrt(7.0 / 3.0)  # the integrated variance of 0.3 (1 + t) over [0, 1]
    n = lambda z: 0.5 * (1.0 + math.erf(z / math.sqrt(2.0)))  # noqa: E731
    assert abs(g.price - (n(sd / 2) - n(-sd / 2))) < 4 * g.price_stderr + 1e-3
    assert abs(g.delta - n(sd / 2)) < 4 * g.delta_stderr + 1e-3
    # vega: d/d vol of the price with sigma = vol (1 + t) x, vol = 0.3
    vega = math.sqrt(7.0 / 3.0) * math.exp(-sd * sd / 8) / math.sqrt(2 * math.pi)
    assert abs(g.vega - vega) < 4 * g.vega_stderr + 2e-3


def test_local_vol_greeks_against_bumped_surfaces():
    # Common random numbers: the fused calls of one seed differ only by the bump, so
    # the central differences check delta, gamma and vega (the spline's first and second
    # derivatives among them) to far below their standard errors.
    lv, n, N = MODELS[-1], 40_000, 16
    args = (n, N, 1.0, 9, "call", 1.0)
    g = quarnel.price_and_greeks_fused(lv, *args)

    def price(x0=1.0, scale=1.0):
        return quarnel.price_and_greeks_fused(
            LocalVol(x0=x0, times=lv.times, states=lv.states, vols=lv.vols * scale, mu=lv.mu),
            *args).price

    h, e = 1e-3, 1e-4
    up, down = price(x0=1.0 + h), price(x0=1.0 - h)
    assert abs(g.delta - (up - down) / (2 * h)) < 0.05 * g.delta_stderr
    assert abs(g.vega - (price(scale=1 + e) - price(scale=1 - e)) / (2 * e)) < 0.05 * g.vega_stderr
    # The second difference counts the paths near the strike, noisy on its own: more
    # paths and a wider step for gamma.
    args, h = (200_000, N, 1.0, 9, "call", 1.0), 0.02
    g = quarnel.price_and_greeks_fused(lv, *args)
    second = (price(x0=1.0 + h) - 2 * g.price + price(x0=1.0 - h)) / h**2
    assert abs(g.gamma - second) < 3 * g.gamma_stderr
    # A flat surface is GBM, vega per unit of relative bump.
    flat = LocalVol(x0=1.0, times=[0.0], states=[0.5, 2.0], vols=[[0.2, 0.2]], mu=0.03)
    gbm = quarnel.price_and_greeks_fused(GBM(x0=1.0, vol=0.2, mu=0.03), *args)
    got = quarnel.price_and_greeks_fused(flat, *args)
    for field, scale in (("price", 1.0), ("delta", 1.0), ("gamma", 1.0), ("vega", 0.2)):
        assert getattr(got, field) == pytest.approx(getattr(gbm, field) * scale, rel=1e-11)
    # Another process (a Dask worker) rebuilds the surface from the pickle.
    import pickle

    again = pickle.loads(pickle.dumps(lv))
    assert again._handle != lv._handle
    assert repr(quarnel.price_and_greeks_fused(again, *args)) == repr(g)


def test_rate_discounts_every_value_and_error():
    m, args = GBM(x0=1.0, vol=0.2), (500, 8, 2.0, 1, "call", 1.0)
    plain, disc = quarnel.price_and_greeks_fused(m, *args), \
        quarnel.price_and_greeks_fused(m, *args, rate=0.05)
    df = math.exp(-0.1)
    for a, b in zip(plain, disc):
        assert b == pytest.approx(a * df, rel=1e-15, nan_ok=True)


@pytest.mark.parametrize("model", MODELS, ids=lambda m: m.name)
def test_every_width_gives_the_bits_of_one_path_at_a_time(model):
    # 77 paths: whole groups of every width and a tail for each.
    args = (*model._native(), 77, 9, 1.0, 7.0, 3.0)
    for kind in (0, 1, 2):
        one = _fused.rows(1, kind, *args)
        for width in (0, 2, 4, 8):
            rows = _fused.rows(width, kind, *args)
            if rows is not None:
                np.testing.assert_array_equal(rows, one)


def test_thread_count_does_not_change_a_bit():
    code = ("import quarnel; from quarnel.models import CEV, Heston; print(repr("
            "quarnel.price_and_greeks_fused(CEV(x0=1.0, vol=0.3, beta=0.7), 30001, 20, 1.0, 5,"
            " 'call', 1.0)), repr(quarnel.price_and_greeks_heston_fused(Heston(s0=1.0, "
            "v0=0.04, kappa=2.0, theta=0.04, xi=0.3, rho=-0.7), 70001, 8, 1.0, 5, 'digital',"
            " 1.0)))")
    outs = {subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                           env={**os.environ, "RAYON_NUM_THREADS": t}).stdout for t in ("1", "3")}
    assert len(outs) == 1


# --- values -------------------------------------------------------------------------------


def test_abm_greeks_against_bachelier():
    # Euler is exact for ABM, so the closed forms hold at any n_steps; vega is d/d vol.
    g = quarnel.price_and_greeks_fused(ABM(x0=1.0, vol=0.3, mu=0.05), 200_000, 4, 0.5, 3,
                                       "call", 1.1)
    for value, se, exact in ((g.delta, g.delta_stderr, 0.361837),
                             (g.gamma, g.gamma_stderr, 1.766690),
                             (g.vega, g.vega_stderr, 0.265004)):
        assert abs(value - exact) < 4 * se


def test_cev_delta_of_the_martingale_is_one():
    p, d, _, se = quarnel.price_and_delta_fused(CEV(x0=1.0, vol=0.3, beta=0.7), 50_000, 64, 1.0,
                                                11, "identity")
    assert abs(d - 1.0) < 4 * se


# --- arguments ------------------------------------------------------------------------------


@pytest.mark.parametrize("call, error, message", [
    (lambda: quarnel.price_and_greeks_fused("gbm", 10, 2, 1.0, 1, "call"), TypeError,
     "argument 'model'"),
    (lambda: quarnel.price_and_greeks_fused(GBM(x0=1.0, vol=0.2), 10, 2, 1.0, -1, "call"),
     ValueError, "seed must be a whole number"),
    (lambda: quarnel.price_and_greeks_fused(GBM(x0=1.0, vol=0.2), 10, 2, 1.0, 2**64, "call"),
     ValueError, "seed must be a whole number"),
    (lambda: quarnel.price_and_greeks_fused(GBM(x0=1.0, vol=0.2), 10, 2, 1.0, 1.5, "call"),
     TypeError, "argument 'seed'"),
    (lambda: quarnel.price_and_greeks_fused(GBM(x0=1.0, vol=0.0), 10, 2, 1.0, 1, "call"),
     ValueError, "vol must be positive and finite, got 0"),
    (lambda: quarnel.price_and_greeks_fused(GBM(x0=math.nan, vol=0.2), 10, 2, 1.0, 1, "call"),
     ValueError, "x0 must be finite, got nan"),
    (lambda: quarnel.price_and_greeks_fused(GBM(x0=1.0, vol=0.2), 0, 2, 1.0, 1, "call"),
     ValueError, "n_paths must be at least 1"),
    (lambda: quarnel.price_and_greeks_fused(GBM(x0=1.0, vol=0.2), 10, 0, 1.0, 1, "call"),
     ValueError, "n_steps must be from 1 to 2**32"),
    (lambda: quarnel.price_and_greeks_fused(GBM(x0=1.0, vol=0.2), 10, 2, -1.0, 1, "call"),
     ValueError, "horizon must be positive and finite"),
    (lambda: quarnel.price_and_greeks_fused(GBM(x0=1.0, vol=0.2), 10, 2, 1.0, 1, "cal"),
     ValueError, "unknown payoff 'cal'"),
    (lambda: quarnel.price_and_greeks_fused(GBM(x0=1.0, vol=0.2), 10, 2, 1.0, 1, "call",
                                            math.inf), ValueError, "strike must be finite"),
    (lambda: quarnel.price_and_greeks_fused(GBM(x0=1.0, vol=0.2), 10, 2, 1.0, 1, "call",
                                            rate=math.nan), ValueError, "rate must be finite"),
    (lambda: quarnel.price_and_greeks_fused(CEV(x0=0.0, vol=0.2, beta=0.5), 10, 2, 1.0, 1,
                                            "call"), ValueError, "x0 must be positive"),
    # Coarse CIR steps with a low Feller ratio reach zero: the weights' division error.
    (lambda: quarnel.price_and_greeks_fused(CIR(x0=0.01, kappa=0.5, theta=0.01, vol=0.5), 2000,
                                            4, 1.0, 1, "call"), ValueError, "sigma(X) = 0"),
    (lambda: quarnel.price_and_greeks_fused(Compiled(x0=1.0, coefficients=len), 10, 2, 1.0, 1,
                                            "call"), TypeError, "argument 'coefficients'"),
    (lambda: quarnel.price_and_greeks_fused(
        Compiled(x0=1.0, coefficients=ctypes.CFUNCTYPE(None, ctypes.c_double)(lambda x: None)),
        10, 2, 1.0, 1, "call"), TypeError, "restype None and argtypes"),
    (lambda: LocalVol(x0=1.0, times=[0.0], states=[1.0, 0.5], vols=[[0.2, 0.2]]), ValueError,
     "states must be strictly increasing, got 0.5"),
    (lambda: LocalVol(x0=1.0, times=[0.0], states=[0.5, 1.0], vols=[[0.2, 0.2, 0.2]]),
     ValueError, "vols must have shape (len(times), len(states)) = (1, 2), got (1, 3)"),
    (lambda: LocalVol(x0=1.0, times=[0.0], states=[0.5, 1.0], vols=[[0.2, -0.1]]), ValueError,
     "vols must be positive and finite, got -0.1"),
    (lambda: _fused.price_and_greeks("local_vol", 1.0, 12345.0, 1.0, 0.0, 10, 2, 1.0, 0, 0,
                                     "call"), ValueError, "no live local volatility surface"),
    (lambda: quarnel.price_and_greeks_fused(GBM(x0=1.0, vol=0.2), 10, 2, 1.0, 1, "call",
                                            pairs="halves"), ValueError,
     "pairs must be 'adjacent' or None, got 'halves'"),
    (lambda: quarnel.price_and_greeks_fused(GBM(x0=1.0, vol=0.2), 11, 2, 1.0, 1, "call",
                                            pairs="adjacent"), ValueError,
     "pairs need an even number of paths, got 11"),
    (lambda: quarnel.price_and_greeks_fused(HESTON, 10, 2, 1.0, 1, "call"), TypeError,
     "argument 'model': expected a scalar quarnel.models model"),
    (lambda: quarnel.price_and_greeks_heston_fused(GBM(x0=1.0, vol=0.2), 10, 2, 1.0, 1, "call",
                                                   1.0), TypeError,
     "argument 'model': expected a quarnel.models.Heston, got GBM"),
    (lambda: quarnel.simulate_heston(dataclasses.replace(HESTON, rho=1.0), 10, 2, 1.0, 1),
     ValueError, "rho must lie strictly between -1 and 1, got 1"),
    (lambda: quarnel.price_and_greeks_heston_fused(HESTON, 10, 2, 1.0, 1, "call", 1.0,
                                                   estimator="pathwise"), ValueError,
     "estimator"),
])
def test_bad_arguments(call, error, message):
    with pytest.raises(error, match=None) as info:
        call()
    assert message in str(info.value)
