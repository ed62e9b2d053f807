"""Inputs, and the tables of what is measured: our kernels and their peers.

Adding a kernel is adding a row to KERNELS (and its peers to PEERS): a workload family
gives it inputs, the rows say how to call it, what to check its result against, which
bandwidth probe pattern matches its memory traffic on those inputs and how to find its
compute ceiling.
"""

from __future__ import annotations

import math
import time
from collections.abc import Callable
from dataclasses import dataclass
from functools import partial
from typing import Any

import numpy as np

import quarnel as q

from . import peers_numpy as npp
from .config import HORIZON, RATE, STRIKE, VOL, X0
from .harness import CHECKS, Case, check_bits, timed
from .probe import MIXED, PAIR, SINGLE, TANGENT, Need, Pattern

TF = "bel_weights_tangent_flow"
TFP = "bel_weights_tangent_flow_parallel"
PDT = "price_and_delta_tangent_flow"
PFS = "price_from_samples"
CFW = "bel_weights_constant_flow"
PDC = "price_and_delta_constant_flow"
GWC = "greek_weights_constant_flow"
PGCW = "price_and_greeks_constant_flow (weights)"
PGCL = "price_and_greeks_constant_flow (lowest_variance)"
GWT = "greek_weights_tangent_flow"
GWTP = "greek_weights_tangent_flow_parallel"
PGT = "price_and_greeks_tangent_flow"

PATHS = "paths"      # a path batch; work counted in path-steps
SAMPLES = "samples"  # terminal samples; work counted in samples
UNIT = {PATHS: "step", SAMPLES: "sample"}


# ---------------------------------------------------------------------------------------
# Inputs


@dataclass
class PathBatch:
    """A geometric Brownian motion batch with every coefficient field materialised.

    The values only have to be realistic (no subnormals, no zero sigma): the kernels'
    cost does not depend on them. The derivative fields are full arrays, not broadcast
    views, so every kernel streams all 32 bytes of each path-step (48 for the
    second-order kernels, which also read the two second derivatives, zero under GBM).
    """

    states: np.ndarray
    dws: np.ndarray
    sigma: np.ndarray
    d_mu: np.ndarray
    d_sigma: np.ndarray
    d2_mu: np.ndarray
    d2_sigma: np.ndarray

    @property
    def fields(self) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
        return self.dws, self.sigma, self.d_mu, self.d_sigma

    @property
    def args(self) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, np.ndarray, float]:
        return (self.states, *self.fields, HORIZON)

    @property
    def second_order_fields(self) -> tuple[np.ndarray, ...]:
        """In the argument order of the second-order functions."""
        return self.dws, self.sigma, self.d_mu, self.d_sigma, self.d2_mu, self.d2_sigma

    @property
    def second_order_args(self) -> tuple[Any, ...]:
        return (self.states, *self.second_order_fields, HORIZON)

    @property
    def work(self) -> int:
        return self.dws.size


def path_batch(n_paths: int, n_steps: int, seed: int = 12345) -> PathBatch:
    rng = np.random.default_rng(seed)
    dt = HORIZON / n_steps
    dws = rng.standard_normal((n_paths, n_steps))
    dws *= math.sqrt(dt)
    log_x = np.cumsum(dws, axis=1)
    log_x *= VOL
    log_x += (RATE - 0.5 * VOL * VOL) * dt * np.arange(1, n_steps + 1)
    states = np.empty((n_paths, n_steps + 1))
    states[:, 0] = 1.0
    np.exp(log_x, out=states[:, 1:])
    del log_x
    sigma = VOL * states[:, :-1]  # a fresh C-ordered array, not a view
    d_mu_dx = np.full((n_paths, n_steps), RATE)
    d_sigma_dx = np.full((n_paths, n_steps), VOL)
    # np.full, not np.zeros: calloc's pages all map the one zero page, which stays cached.
    d2_mu_dx2 = np.full((n_paths, n_steps), 0.0)
    d2_sigma_dx2 = np.full((n_paths, n_steps), 0.0)
    return PathBatch(states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2)


@dataclass
class Samples:
    x: np.ndarray   # terminal states
    w: np.ndarray   # terminal Brownian values
    p: np.ndarray   # call payoffs of x

    @property
    def work(self) -> int:
        return self.x.size


def terminal_samples(n: int, seed: int = 54321) -> Samples:
    rng = np.random.default_rng(seed)
    w = math.sqrt(HORIZON) * rng.standard_normal(n)
    x = np.exp((RATE - 0.5 * VOL * VOL) * HORIZON + VOL * w)
    return Samples(x, w, npp.call_payoff(x, STRIKE))


def make_inputs(family: str, size: tuple[int, int] | int) -> Any:
    if family == PATHS:
        assert isinstance(size, tuple)
        return path_batch(*size)
    assert isinstance(size, int)
    return terminal_samples(size)


def size_key(family: str, size: tuple[int, int] | int) -> str:
    return f"{size[0]}x{size[1]}" if isinstance(size, tuple) else str(size)


def size_label(size: str) -> str:
    if "x" in size:
        rows, cols = size.split("x")
        return f"{int(rows):,} x {int(cols)}".replace(",", " ")
    n = int(size)
    if n >= 1000 and 10 ** round(math.log10(n)) == n:
        return f"1e{round(math.log10(n))}"
    return str(n)


# ---------------------------------------------------------------------------------------
# Our kernels


@dataclass(frozen=True)
class Kernel:
    name: str
    family: str
    run: Callable[[Any], Any]            # inputs -> our result
    # The probe pattern that reads what this kernel reads from these inputs, and the
    # bytes it moves per path-step or sample.
    traffic: Callable[[Any], tuple[Pattern, int]]
    parallel: bool = False               # runs on the worker pool (all threads)
    same_as: str | None = None           # must give this kernel's result bit for bit
    # A small batch with its inputs in L1 (32 KiB at most): the compute ceiling is the
    # rate on it, the call overhead taken out by differencing with a one-step call
    # (None: no ceiling of its own; a parallel kernel's is that of `same_as` times the
    # threads). For the tangent flow that is one path per lane.
    in_l1: tuple[int, int] | int | None = None
    tiny: tuple[int, int] | int | None = None
    rss: bool = True                     # rss_child.py knows how to call it


def lane_traffic(fields: tuple[np.ndarray, ...]) -> tuple[Pattern, int]:
    """Four paths in the lanes, each a run of rows: four streams per field, but none for
    a field broadcast across the paths (row stride 0), which stays in cache."""
    n = sum(1 for f in fields if f.strides[0] != 0)
    return (TANGENT if n == 4 else Pattern(f"{4 * n} reads", 4 * n)), 8 * n


def tangent_traffic(b: PathBatch) -> tuple[Pattern, int]:
    return lane_traffic(b.fields)


def second_order_traffic(b: PathBatch) -> tuple[Pattern, int]:
    """Six fields (the parallel-bump vega of price_and_greeks_tangent_flow reads sigma
    and sigma' again, from the lines just loaded); the states and the result rows are
    one value a path, nothing beside a path's steps."""
    return lane_traffic(b.second_order_fields)


def fixed(pattern: Pattern, nbytes: int) -> Callable[[Any], tuple[Pattern, int]]:
    return lambda inputs: (pattern, nbytes)


def _pd_tangent(b: PathBatch) -> Any:
    return q.price_and_delta_tangent_flow(*b.args, "call", STRIKE)


def _pg_tangent(b: PathBatch) -> Any:
    # vol=1.0: vega is the parallel bump's own derivative, the quantity the peers compute.
    return q.price_and_greeks_tangent_flow(*b.second_order_args, "call", STRIKE, vol=1.0)


def _pg_constant(estimator: str) -> Callable[[Samples], Any]:
    return lambda s: q.price_and_greeks_constant_flow(s.x, s.w, HORIZON, X0, VOL, "call",
                                                      STRIKE, estimator=estimator)


KERNELS: list[Kernel] = [
    Kernel(TF, PATHS, lambda b: q.bel_weights_tangent_flow(*b.args), tangent_traffic,
           in_l1=(4, 256), tiny=(1, 2)),
    Kernel(TFP, PATHS, lambda b: q.bel_weights_tangent_flow_parallel(*b.args),
           tangent_traffic, parallel=True, same_as=TF),
    Kernel(PDT, PATHS, _pd_tangent, tangent_traffic, in_l1=(4, 256), tiny=(1, 2)),
    Kernel(PFS, SAMPLES, lambda s: q.price_from_samples(s.p), fixed(SINGLE, 8),
           in_l1=2048, tiny=1),
    Kernel(CFW, SAMPLES, lambda s: q.bel_weights_constant_flow(s.w, HORIZON, VOL),
           fixed(MIXED, 16), in_l1=2048, tiny=1),
    Kernel(PDC, SAMPLES, lambda s: q.price_and_delta_constant_flow(
        s.x, s.w, HORIZON, VOL, "call", STRIKE), fixed(PAIR, 16), in_l1=2048, tiny=1),
    # The Greeks. The constant-flow weights read one stream and write a row of four: the
    # probe's one read + one write over the same 40 bytes a sample is the nearest pattern
    # (it reads more and writes less than the kernel).
    Kernel(GWT, PATHS, lambda b: q.greek_weights_tangent_flow(*b.second_order_args),
           second_order_traffic, in_l1=(4, 128), tiny=(1, 2), rss=False),
    Kernel(GWTP, PATHS, lambda b: q.greek_weights_tangent_flow_parallel(*b.second_order_args),
           second_order_traffic, parallel=True, same_as=GWT, rss=False),
    Kernel(PGT, PATHS, _pg_tangent, second_order_traffic, in_l1=(4, 128), tiny=(1, 2),
           rss=False),
    Kernel(GWC, SAMPLES, lambda s: q.greek_weights_constant_flow(s.w, HORIZON, X0, VOL),
           fixed(MIXED, 40), in_l1=512, tiny=1, rss=False),
    Kernel(PGCW, SAMPLES, _pg_constant("weights"), fixed(PAIR, 16), in_l1=2048, tiny=1,
           rss=False),
    Kernel(PGCL, SAMPLES, _pg_constant("lowest_variance"), fixed(PAIR, 16), in_l1=2048,
           tiny=1, rss=False),
]
KERNEL = {k.name: k for k in KERNELS}


# ---------------------------------------------------------------------------------------
# Peers


@dataclass(frozen=True)
class Peer:
    function: str
    impl: str
    run: Callable[[Any, Any], Any]       # (inputs, numba peers module) -> what is timed
    check: str                           # "bits" (same operations) or "close"
    result: Callable[[Any, Any], Any] | None = None   # what is checked, if not `run`
    ours: Callable[[Any], Any] = lambda r: r          # the part of our result it matches
    numba: bool = False
    only_at: int | None = None           # measured at this work size only
    chart: bool = True


def _np_pd_tangent(b: PathBatch, nb: Any) -> Any:
    return npp.price_and_delta_tangent_flow(b.states, *b.fields, HORIZON, STRIKE)


def _nb_pd_tangent(b: PathBatch, nb: Any) -> Any:
    return nb.price_and_delta_tangent_flow(b.states, *b.fields, HORIZON, STRIKE)


def _np_pg_tangent(b: PathBatch, nb: Any) -> Any:
    return npp.price_and_greeks_tangent_flow(b.states, *b.second_order_fields, HORIZON, STRIKE)


def _nb_pg_tangent(b: PathBatch, nb: Any) -> Any:
    return nb.price_and_greeks_tangent_flow(b.states, *b.second_order_fields, HORIZON, STRIKE)


def _pg_constant_peer(module: str, which: str) -> Callable[[Samples, Any], Any]:
    def run(s: Samples, nb: Any) -> Any:
        lib = npp if module == "numpy" else nb
        return getattr(lib, f"price_and_greeks_constant_flow_{which}")(s.x, s.w, HORIZON, X0,
                                                                      VOL, STRIKE)
    return run


PEERS: list[Peer] = [
    Peer(TF, "numpy", lambda b, nb: npp.tangent_flow_weights(*b.fields, HORIZON), "bits"),
    Peer(PDT, "numpy", _np_pd_tangent, "close"),
    Peer(TF, "numba njit", lambda b, nb: nb.tangent_flow_weights(*b.fields, HORIZON), "bits",
         numba=True),
    Peer(TFP, "numba prange", lambda b, nb: nb.tangent_flow_weights_prange(*b.fields, HORIZON),
         "bits", numba=True),
    Peer(PDT, "numba njit", _nb_pd_tangent, "bits", numba=True),
    Peer(PFS, "numpy mean+std", lambda s, nb: npp.mean_and_std(s.p), "close",
         result=lambda s, nb: npp.mean_stderr(s.p)),
    # The smallest thing a NumPy user can call on one sample.
    Peer(PFS, "numpy.mean", lambda s, nb: np.mean(s.p), "close", ours=lambda r: r[0],
         only_at=1, chart=False),
    Peer(CFW, "numpy", lambda s, nb: npp.constant_flow_weights(s.w, HORIZON, VOL), "bits"),
    Peer(PDC, "numpy", lambda s, nb: npp.price_and_delta_constant_flow(
        s.x, s.w, HORIZON, VOL, STRIKE), "close"),
    Peer(PFS, "numba njit", lambda s, nb: nb.price_from_samples(s.p), "bits", numba=True),
    Peer(CFW, "numba njit", lambda s, nb: nb.constant_flow_weights(s.w, HORIZON, VOL), "bits",
         numba=True),
    Peer(PDC, "numba njit", lambda s, nb: nb.price_and_delta_constant_flow(
        s.x, s.w, HORIZON, VOL, STRIKE), "bits", numba=True),
    # The Greeks.
    Peer(GWT, "numpy reference", lambda b, nb: npp.greek_weights_tangent_flow(
        *b.second_order_fields, HORIZON), "columns"),
    Peer(GWT, "numba njit", lambda b, nb: nb.greek_weights_tangent_flow(
        *b.second_order_fields, HORIZON), "bits", numba=True),
    Peer(GWTP, "numba prange", lambda b, nb: nb.greek_weights_tangent_flow_prange(
        *b.second_order_fields, HORIZON), "bits", numba=True),
    Peer(PGT, "numpy reference", _np_pg_tangent, "close"),
    Peer(PGT, "numba njit", _nb_pg_tangent, "bits", numba=True),
    Peer(GWC, "numpy", lambda s, nb: npp.greek_weights_constant_flow(s.w, HORIZON, X0, VOL),
         "bits"),
    Peer(GWC, "numba njit", lambda s, nb: nb.greek_weights_constant_flow(s.w, HORIZON, X0, VOL),
         "bits", numba=True),
    Peer(PGCW, "numpy", _pg_constant_peer("numpy", "weights"), "close"),
    Peer(PGCW, "numba njit", _pg_constant_peer("numba", "weights"), "bits", numba=True),
    Peer(PGCL, "numpy", _pg_constant_peer("numpy", "pathwise"), "close"),
    Peer(PGCL, "numba njit", _pg_constant_peer("numba", "pathwise"), "bits", numba=True),
]


# ---------------------------------------------------------------------------------------
# Cases of one workload


def kernel_cases(family: str, inputs: Any, size: str, kernels: list[Kernel] | None = None,
                 chart: bool = True) -> tuple[list[Case], dict[str, Any]]:
    """Our kernels of a family on one workload, and their results for the peer checks."""
    label = size_label(size)
    results: dict[str, Any] = {}
    cases = []
    for k in kernels if kernels is not None else KERNELS:
        if k.family != family:
            continue
        ours = results[k.name] = k.run(inputs)
        if k.same_as is None:
            check = "reference"
        else:
            check = check_bits(f"{k.name} {label} vs {k.same_as}", results[k.same_as], ours)
        cases.append(Case(k.name, size, "quarnel", partial(k.run, inputs), inputs.work,
                          UNIT[family], None, check, chart=chart, traffic=k.traffic(inputs)))
    return cases, results


def peer_cases(family: str, inputs: Any, size: str, results: dict[str, Any],
               nb: Any) -> list[Case]:
    label = size_label(size)
    cases = []
    for p in PEERS:
        if (KERNEL[p.function].family != family or (p.numba and nb is None)
                or (p.only_at is not None and p.only_at != inputs.work)):
            continue
        value = (p.result or p.run)(inputs, nb)
        check = CHECKS[p.check](f"{p.function} {label} {p.impl}", p.ours(results[p.function]),
                                value)
        cases.append(Case(p.function, size, p.impl, partial(p.run, inputs, nb), inputs.work,
                          UNIT[family], "quarnel", check, chart=p.chart,
                          traffic=KERNEL[p.function].traffic(inputs)))
    return cases


def workload_cases(family: str, size: tuple[int, int] | int, nb: Any) -> list[Case]:
    """Every kernel of the family and every peer on one workload, results checked."""
    inputs = make_inputs(family, size)
    key = size_key(family, size)
    cases, results = kernel_cases(family, inputs, key)
    return cases + peer_cases(family, inputs, key, results, nb)


def overhead_cases() -> list[Case]:
    """Fixed cost of a call on a batch too small to be worth any thread."""
    cases: list[Case] = []
    for n in (1, 2):
        b = path_batch(n, 2)
        cases += kernel_cases(PATHS, b, f"{n}x2", [KERNEL[TF], KERNEL[TFP]], chart=False)[0]
    return cases


def ceiling_cases() -> list[Case]:
    """Each kernel with a compute ceiling on its in-L1 batch and on a one-step call.

    Timed in this thread's CPU time, not wall time: a ceiling is what the core does
    when it runs the kernel, and on a shared machine the wall clock also counts the
    time the core ran something else.
    """
    cases: list[Case] = []
    for k in KERNELS:
        for size in (k.in_l1, k.tiny):
            if size is None:
                continue
            inputs = make_inputs(k.family, size)
            cases += kernel_cases(k.family, inputs, size_key(k.family, size), [k],
                                  chart=False)[0]
    for c in cases:
        c.timer = partial(timed, c.fn, clock=time.thread_time)
    return cases


def ceilings(cases: list[Case], threads: int) -> dict[str, float]:
    """Units per second of each kernel with its inputs in L1, call overhead differenced
    out; a parallel kernel's is its serial twin's times the threads (perfect scaling).

    From the fastest repetition of each, not the median: the call overhead is most of a
    small call's time, and a difference of medians carries the noise of both.
    """
    out: dict[str, float] = {}
    for k in KERNELS:
        if k.in_l1 is None or k.tiny is None:
            continue
        big = next(c for c in cases if c.function == k.name
                   and c.size == size_key(k.family, k.in_l1))
        small = next(c for c in cases if c.function == k.name
                     and c.size == size_key(k.family, k.tiny))
        dt = min(big.times) - min(small.times)
        if dt > 0:
            out[k.name] = (big.work - small.work) / dt
    for k in KERNELS:
        if k.parallel and k.same_as in out:
            out[k.name] = out[k.same_as] * threads
    return out


def need_of(case: Case, max_threads: int) -> Need | None:
    """The bandwidth probe that matches a measured kernel or peer, if any: the bytes
    the operation must move, in the pattern and on the threads of our kernel."""
    k = KERNEL.get(case.function)
    if k is None or not case.chart or case.traffic is None or case.traffic[1] == 0:
        return None
    pattern, nbytes = case.traffic
    return Need(pattern, max_threads if k.parallel else 1, nbytes * case.work, case.size)
