"""quarnel.dask on a cluster of two worker processes: one call's results, bit for bit."""

from __future__ import annotations

import math
import re
import struct
import subprocess
import sys

import numpy as np
import pytest

import quarnel
from markers import not_sanitized

dask = pytest.importorskip("dask", reason="dask comes with the dask extra")
da = pytest.importorskip("dask.array", reason="dask comes with the dask extra")
distributed = pytest.importorskip("distributed", reason="distributed comes with the dask extra")
qd = pytest.importorskip("quarnel.dask")

# Worker processes would start under the sanitizer preload too: slow, and the kernels
# they call are covered there by the other tests.
pytestmark = not_sanitized

N_PATHS, N_STEPS, S, T = 10_001, 12, 0.2, 1.0
PAYOFFS = ["identity", "call", "put", "digital_call"]


@pytest.fixture(scope="module")
def client():
    # Any free port for the scheduler's HTTP server: the default one taken by another
    # cluster would give a warning, an error here.
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                  dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as c:
        yield c


@pytest.fixture(scope="module")
def batch():
    """GBM Euler paths; dws inside a wider buffer and sigma with a spare row, which the
    estimator ignores."""
    rng = np.random.default_rng(8)
    buffer = np.sqrt(T / N_STEPS) * rng.standard_normal((N_PATHS, N_STEPS + 3))
    dws = buffer[:, :N_STEPS]
    states = np.ones((N_PATHS, N_STEPS + 1))
    for j in range(N_STEPS):
        states[:, j + 1] = states[:, j] * (1.0 + S * dws[:, j])
    sigma = np.vstack([S * states[:, :-1], np.ones((1, N_STEPS))])
    return states, buffer, sigma, np.zeros_like(dws), np.full_like(dws, S)


def chunked(a, rows):
    return da.from_array(a, chunks=(rows + (a.shape[0] - sum(rows),),) + a.shape[1:])


# A last chunk of one path, an empty chunk, one chunk.
@pytest.mark.parametrize("rows", [(1_250,) * 8, (3_000, 0, 4_000), ()])
def test_results_equal_one_call(client, batch, rows):
    d = [chunked(a, rows) for a in batch]
    for payoff in PAYOFFS:
        assert (qd.price_and_delta_tangent_flow(*d, T, payoff, 1.0)
                == quarnel.price_and_delta_tangent_flow(*batch, T, payoff, 1.0))
    x, w = batch[0][:, -1], batch[1][:, 0]
    for payoff in PAYOFFS:
        assert (qd.price_and_delta_constant_flow(chunked(x, rows), chunked(w, rows), T, S,
                                                 payoff, 1.1)
                == quarnel.price_and_delta_constant_flow(x, w, T, S, payoff, 1.1))
    exact = [a[:N_PATHS, :N_STEPS] for a in batch[1:]]
    np.testing.assert_array_equal(
        qd.bel_weights_tangent_flow(d[0], *(chunked(a, rows) for a in exact), T).compute(),
        quarnel.bel_weights_tangent_flow(batch[0], *exact, T))
    np.testing.assert_array_equal(qd.bel_weights_constant_flow(chunked(w, rows), T, S).compute(),
                                  quarnel.bel_weights_constant_flow(w, T, S))


def bits(values):
    """The bits of the values, every NaN as one: a compiler may swap the operands of a
    commutative operation, which changes which NaN comes out, not whether one does."""
    return struct.pack(f"{len(values)}d", *(math.nan if math.isnan(v) else v for v in values))


# Each estimator's code path once; half_width=None takes the digital's default width.
GREEKS_CF = [dict(payoff="call", estimator="weights"), dict(payoff="put", model="abm"),
             dict(payoff="digital_call", rate=0.03),
             dict(payoff="digital_call", half_width=0.05), dict(payoff="call", rate=0.05),
             dict(payoff="call_spread", strike2=1.2, rate=0.01), dict(payoff="digital_put"),
             dict(payoff="call", pairs="halves"), dict(payoff="digital", pairs="adjacent"),
             dict(payoff="put_spread", strike2=0.9, pairs="halves", estimator="weights")]
# The ladder's code paths: plain sums per strike (weights, pathwise with the rate's rho),
# the centred digitals with the default width and with a given one.
LADDER_CF = [dict(payoff="put", estimator="weights"), dict(payoff="call", rate=0.05),
             dict(payoff="digital_call", rate=0.03),
             dict(payoff="digital_put", half_width=0.05, model="abm")]
GREEKS_TF = [dict(payoff="digital_call", estimator="weights"),
             dict(payoff="call", vol=S, rate=0.05), dict(payoff="digital_call", vol=S),
             dict(payoff="digital_call", half_width=0.05, rate=0.02),
             dict(payoff="put_spread", strike2=0.9, vol=S), dict(payoff="digital_put", vol=S),
             dict(payoff="digital_call", vol=S, pairs="halves"),
             dict(payoff="put", pairs="adjacent", rate=0.01)]


@pytest.mark.parametrize("rows", [(1_250,) * 8, (3_000, 0, 4_000)])
def test_greeks_equal_one_call(client, batch, rows):
    states, dws, sigma = (a[:N_PATHS, :N_STEPS + (a is batch[0])] for a in batch[:3])
    x, w = states[:, -1], dws[:, 0]
    # Pairs take an even number of paths: the batch less its last path.
    even = slice(0, N_PATHS - N_PATHS % 2)
    for kwargs in GREEKS_CF:
        xs, ws = (x[even], w[even]) if "pairs" in kwargs else (x, w)
        assert bits(qd.price_and_greeks_constant_flow(chunked(xs, rows), chunked(ws, rows), T,
                                                      1.0, S, strike=1.05, **kwargs)) == \
            bits(quarnel.price_and_greeks_constant_flow(xs, ws, T, 1.0, S, strike=1.05,
                                                        **kwargs))
        # Vanna and volga take the same arguments: every row, the centred digitals'
        # seven columns and their pairs included.
        assert bits(qd.vanna_volga_constant_flow(chunked(xs, rows), chunked(ws, rows), T, 1.0,
                                                 S, strike=1.05, **kwargs)) == \
            bits(quarnel.vanna_volga_constant_flow(xs, ws, T, 1.0, S, strike=1.05, **kwargs))
    strikes = np.linspace(0.9, 1.2, 4)
    for kwargs in LADDER_CF:
        assert repr(qd.price_and_greeks_ladder_constant_flow(
            chunked(x, rows), chunked(w, rows), T, 1.0, S, strikes=strikes, **kwargs)) == \
            repr(quarnel.price_and_greeks_ladder_constant_flow(x, w, T, 1.0, S, strikes=strikes,
                                                               **kwargs))
    zeros = np.zeros_like(dws)
    arrays = [states, dws, sigma, zeros, np.full_like(dws, S), zeros, zeros]
    for kwargs in GREEKS_TF:
        some = [a[even] for a in arrays] if "pairs" in kwargs else arrays
        assert bits(qd.price_and_greeks_tangent_flow(*(chunked(a, rows) for a in some), T,
                                                     strike=1.05, **kwargs)) == \
            bits(quarnel.price_and_greeks_tangent_flow(*some, T, strike=1.05, **kwargs))
        # The vanna takes the same arguments, vol required: every row again.
        vanna = {**kwargs, "vol": kwargs.get("vol", S)}
        assert bits(qd.vanna_tangent_flow(*(chunked(a, rows) for a in some), T, strike=1.05,
                                          **vanna)) == \
            bits(quarnel.vanna_tangent_flow(*some, T, strike=1.05, **vanna))
    # Off the cluster the estimate is one plain graph, chains included.
    with dask.config.set(scheduler="synchronous"):
        assert bits(qd.price_and_greeks_tangent_flow(*(chunked(a, rows) for a in arrays), T,
                                                     "digital_call", 1.05)) == \
            bits(quarnel.price_and_greeks_tangent_flow(*arrays, T, "digital_call", 1.05))
    np.testing.assert_array_equal(
        qd.greek_weights_constant_flow(chunked(w, rows), T, 1.0, S).compute(),
        quarnel.greek_weights_constant_flow(w, T, 1.0, S))
    np.testing.assert_array_equal(
        qd.greek_weights_tangent_flow(*(chunked(a, rows) for a in arrays), T).compute(),
        quarnel.greek_weights_tangent_flow(*arrays, T))
    bump = quarnel.parallel_volatility_bump(sigma, arrays[4])
    for name in ("parameter_weights_tangent_flow", "mixed_weights_tangent_flow"):
        np.testing.assert_array_equal(
            getattr(qd, name)(*(chunked(a, rows) for a in arrays + [*bump]), T).compute(),
            getattr(quarnel, name)(*arrays, *bump, T))


def with_zeros(sigma, paths=(9_000, 2_600)):
    """Zero diffusion values; the first in path order is in a chunk that finishes last."""
    sigma = sigma.copy()
    for k in paths:
        sigma[k, k % N_STEPS] = 0.0
    return sigma


# (function, its arguments from the batch): raises the single call's error.
ERRORS = [
    ("price_and_delta_tangent_flow", lambda b: [*b[:2], with_zeros(b[2]), *b[3:], T, "call"]),
    ("price_and_delta_tangent_flow", lambda b: [*b, T, "Call"]),
    ("price_and_delta_tangent_flow", lambda b: [*b, -T, "call", "1.0"]),
    ("price_and_delta_tangent_flow", lambda b: [b[0], b[1][:-1], *b[2:], T, "call"]),
    ("price_and_delta_tangent_flow", lambda b: [*b[:3], b[3].astype(np.float32), b[4], T, "put"]),
    ("price_and_delta_tangent_flow", lambda b: [b[0][:, :1], *b[1:], T, "put"]),
    # Chunks of weights fail on their own: the batch index, of the only zero.
    ("bel_weights_tangent_flow", lambda b: [*b[:2], with_zeros(b[2], [4_321]), *b[3:], T]),
    ("bel_weights_tangent_flow", lambda b: [b[0], b[1][:, :-1], *b[2:], T]),
    ("price_and_delta_constant_flow", lambda b: [b[0][:, -1], b[1][1:, 0], T, S, "call"]),
    ("price_and_delta_constant_flow", lambda b: [b[0][:, -1], b[1][:, 0], T, 0.0, "x"]),
    ("bel_weights_constant_flow", lambda b: [b[1][:, 0], T, -S]),
    ("price_and_greeks_tangent_flow",
     lambda b: [*b[:2], with_zeros(b[2]), *b[3:], b[3], b[3], T, "digital_call"]),
    ("price_and_greeks_tangent_flow", lambda b: [*b, b[3], b[3][:-1], T, "call"]),
    ("price_and_greeks_tangent_flow", lambda b: [*b, b[3], b[3], T, "call", 1.0, "weights", "x"]),
    ("vanna_tangent_flow",
     lambda b: [*b[:2], with_zeros(b[2]), *b[3:], b[3], b[3], T, "digital_call", S]),
    ("vanna_tangent_flow", lambda b: [*b, b[3], b[3], T, "call", S, 1.0, "weights", 0.1]),
    ("greek_weights_tangent_flow",
     lambda b: [*b[:2], with_zeros(b[2], [7_777]), *b[3:], b[3], b[3], T]),
    ("parameter_weights_tangent_flow",
     lambda b: [*b[:2], with_zeros(b[2], [7_777]), *b[3:], b[3], b[3], b[3], b[2], b[3], b[4],
                T]),
    ("price_and_greeks_constant_flow", lambda b: [b[0][:, -1], b[1][:, 0], T, 1.0, S, "call",
                                                  1.0, "gbm", "weights", 0.0]),
    # The constant flow's stand-ins are empty: the count of paths is checked beside them.
    ("price_and_greeks_constant_flow", lambda b: [b[0][:, -1], b[1][:, 0], T, 1.0, S, "call",
                                                  1.0, "gbm", "weights", None, None, None,
                                                  "halves"]),
    ("vanna_volga_constant_flow", lambda b: [b[0][:, -1], b[1][:, 0], T, 1.0, S, "digital",
                                             1.0, "gbm", "lowest_variance", None, None, None,
                                             "adjacent"]),
    ("price_and_greeks_ladder_constant_flow",
     lambda b: [b[0][:, -1], b[1][:, 0], T, 1.0, S, "call", [1.0, math.inf]]),
]


@pytest.mark.parametrize(("name", "arguments"), ERRORS)
def test_errors_equal_one_call(client, batch, name, arguments):
    if any(k in name for k in ("weights_tangent", "greeks_tangent", "vanna_tangent")):
        # exact shapes there
        batch = (batch[0], *(a[:N_PATHS, :N_STEPS] for a in batch[1:]))
    args = arguments(batch)
    with pytest.raises(Exception) as single:
        getattr(quarnel, name)(*args)
    dask_args = [chunked(a, (1_250,) * 8) if isinstance(a, np.ndarray) else a for a in args]
    expected = f"^{re.escape(str(single.value))}$"
    if "ndarray" in str(single.value):  # the same argument, and what was passed here
        argument = str(single.value).split(": ")[0]
        expected = f"^{re.escape(argument)}: expected a dask.array.Array of float64 with " \
            r"ndim=2, got dask.array.Array of float32, shape \(10001, 12\)$"
    with pytest.raises(single.type, match=expected):
        np.asarray(getattr(qd, name)(*dask_args))


@pytest.mark.parametrize(("change", "message"), [
    (lambda a: a.rechunk({1: 5}), "dws is chunked along the step axis"),
    (lambda a: a.rechunk({0: 1_000}), "dws has row chunks"),
    (lambda a: a.compute(), "argument 'dws': expected a dask.array.Array"),
    (lambda a: a.compute(), "expected a dask.array.Array of float64, got numpy.ndarray of "
                            "float64, shape (10001, 15)"),
    (lambda a: a.compute().tolist(), "argument 'dws': expected a dask.array.Array of float64 "
                                     "with ndim=2, got list"),
])
def test_batch_layout_errors(batch, change, message):
    d = [chunked(a, (1_250,) * 8) for a in batch]
    d[1] = change(d[1])
    with pytest.raises((ValueError, TypeError), match=re.escape(message)):
        qd.price_and_delta_tangent_flow(*d, T, "call")


def test_import_quarnel_leaves_dask_alone():
    code = "import sys, quarnel; assert 'dask' not in sys.modules, 'dask imported'"
    subprocess.run([sys.executable, "-c", code], check=True)


def test_path_batch_of_dask_arrays(client, batch):
    """A PathBatch of Dask arrays, made by from_model on the states, in each function."""
    states, dws = (chunked(a[:N_PATHS, :N_STEPS + (a is batch[0])], (1_250,) * 8)
                   for a in batch[:2])
    b = quarnel.PathBatch.from_model(states, dws, T, sigma=lambda x: S * x, d_mu_dx=0.0,
                                     d_sigma_dx=S, d2_mu_dx2=0.0, d2_sigma_dx2=0.0)
    b = b.with_parameters(vol=quarnel.ParameterFields(
        **dict(zip(["d_mu_dp", "d_sigma_dp", "d2_mu_dx_dp", "d2_sigma_dx_dp"],
                   qd.parallel_volatility_bump(b.sigma, b.d_sigma_dx)))))
    computed = quarnel.PathBatch(
        **{f: dask.compute(getattr(b, f))[0] for f in ("states", "dws", "sigma", "d_mu_dx",
                                                       "d_sigma_dx", "d2_mu_dx2",
                                                       "d2_sigma_dx2")},
        horizon=T, parameters={"vol": quarnel.ParameterFields.parallel_volatility_bump(
            b.sigma.compute(), b.d_sigma_dx.compute())})
    assert "states=dask, 9 row chunks, dws=dask, 9 row chunks" in repr(b)
    assert qd.price_and_delta_tangent_flow(b, "call", 1.0, timeout=60) == \
        quarnel.price_and_delta_tangent_flow(computed, "call", 1.0)
    assert bits(qd.price_and_greeks_tangent_flow(b, "digital_call", 1.0)) == \
        bits(quarnel.price_and_greeks_tangent_flow(computed, "digital_call", 1.0))
    for name, extra in [("bel_weights_tangent_flow", ()), ("greek_weights_tangent_flow", ()),
                        ("parameter_weights_tangent_flow", ("vol",)),
                        ("mixed_weights_tangent_flow", ("vol",))]:
        np.testing.assert_array_equal(getattr(qd, name)(b, *extra).compute(),
                                      getattr(quarnel, name)(computed, *extra))


def misdeclared(a, rows):
    """`a` chunked by (1_250,) * 8 + (1,), whose metadata says `rows` instead."""
    d = chunked(a, (1_250,) * 8)
    return da.Array(d.dask, d.name, chunks=(rows,) + d.chunks[1:], dtype=d.dtype, meta=d._meta)


@pytest.mark.parametrize("call", [
    lambda b: qd.price_and_delta_tangent_flow(*b, T, "call"),
    lambda b: qd.bel_weights_tangent_flow(b[0], *(a[:N_PATHS, :N_STEPS] for a in b[1:]),
                                          T).compute(),
    lambda b: qd.price_and_delta_constant_flow(b[0][:, -1], b[1][:, 0], T, S, "call"),
    lambda b: qd.bel_weights_constant_flow(b[1][:, 0], T, S).compute(),
])
def test_chunks_that_misdescribe_their_blocks(batch, call):
    """Same total, other sizes: no shape check can see it before the blocks exist."""
    rows = (1_000, 1_500) + (1_250,) * 6 + (1,)
    d = [misdeclared(a, rows) for a in batch]
    with dask.config.set(scheduler="synchronous"), \
            pytest.raises(ValueError, match="the Dask array's chunks do not describe its blocks"):
        call(d)


def test_every_wait_is_bounded(client, batch):
    def slow(block):
        import time
        time.sleep(2)
        return block

    x, w = (chunked(a, (5_000,)) for a in (batch[0][:, -1], batch[1][:, 0]))
    for bad, error in [(0.0, ValueError), (math.inf, ValueError), (None, TypeError)]:
        with pytest.raises(error, match="timeout"):
            qd.price_and_delta_constant_flow(x, w, T, S, "call", timeout=bad)
    with pytest.raises(TimeoutError, match=r"^no result within timeout=0.5 seconds"):
        qd.price_and_delta_constant_flow(x.map_blocks(slow), w, T, S, "call", timeout=0.5)
    never = client.submit(slow, 1.0)
    with pytest.raises(TimeoutError, match="timeout=9.0"):
        qd._wait(never, 0.2, 9.0)


def test_a_worker_lost_before_the_gather(client, batch):
    """The worker that holds the finished estimate dies before it is gathered: the
    scheduler recomputes what was lost, the chain task placed on the dead worker
    included, on the worker that remains."""
    import os
    import signal

    x, w = (chunked(a, ()) for a in (batch[0][:, -1], batch[1][:, 0]))
    call = qd._Call.of("_constant_flow_samples",
                       {"horizon": T, "sigma_at_x0": S, "payoff": "call", "strike": 1.0}, 2)
    g = qd._Graph("lost", {"terminal_states": x, "w_terminals": w}, call, 60.0)
    samples = g.per_chunk("samples", qd._chunk, call, 0.0)
    final = g.task("finish", qd._finish, g.sums("sums", samples, 2), g.n_paths)
    distributed.wait(final, timeout=30)
    holder = next(iter(client.who_has(final)[final.key]))
    os.kill(client.run(os.getpid, workers=[holder])[holder], signal.SIGKILL)
    assert qd._price_delta(g.compute(final)) == quarnel.price_and_delta_constant_flow(
        *dask.compute(x, w), T, S, "call", 1.0)
    client.wait_for_workers(2, timeout=30)
