#!/usr/bin/env python3
"""Benchmark suite: `_quarnel` beside NumPy, Numba and a memory-bandwidth probe.

    python bench/run.py                  # full run: table, results.json, throughput.png
    python bench/run.py --quick          # tiny shapes, 2 repetitions, no chart
    python bench/run.py --no-numba       # skip the Numba peers (also automatic without numba)

One run measures every function and its peers on the same machine, interleaving the
repetitions of the implementations that are compared (so drifting clock speed or a
neighbour's load hits them alike), and reports the median time of each. Before anything
is timed, every peer's result is checked against ours: bit for bit where the peer runs
the same operations in the same order, to a tolerance where it cannot (NumPy's mean and
std sum pairwise). A bit mismatch is printed loudly and makes the run exit with status 1.

The figures go to bench/results.json and the chart to bench/throughput.png (a quick run
writes bench/results-quick.json unless --json is given, and never draws the chart).
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import threading
import time
import warnings
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

# Numba's OpenMP threads spin for a while after each parallel loop, on the cores that
# the next implementation timed (ours, in the interleaved repetitions) needs. Sleeping
# idle threads cost a parallel loop nothing measurable and keep the peers independent.
os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")
os.environ.setdefault("KMP_BLOCKTIME", "0")

import numpy as np  # noqa: E402

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import peers_numpy as npp  # noqa: E402

try:
    import _quarnel as q
except ImportError as exc:  # pragma: no cover - depends on the environment
    sys.exit(f"cannot import _quarnel ({exc}).\nInstall the package with its bench extra "
             "(pip install '.[bench]') or put a build directory on PYTHONPATH.")

TF = "bel_weights_tangent_flow"
TFP = "bel_weights_tangent_flow_parallel"
PDT = "price_and_delta_tangent_flow"
PFS = "price_from_samples"
CFW = "bel_weights_constant_flow"
PDC = "price_and_delta_constant_flow"

BYTES_PER_STEP = 32  # dws, sigma, d_mu_dx and d_sigma_dx: one double each per path-step
HORIZON = 1.0
VOL = 0.2
RATE = 0.03
STRIKE = 1.0


# ---------------------------------------------------------------------------------------
# Configuration


@dataclass(frozen=True)
class Config:
    quick: bool
    tangent_shapes: list[tuple[int, int]]
    sample_sizes: list[int]
    reps: int
    min_rep_s: float
    probe_bytes: int
    rss_shape: tuple[int, int]
    rss_samples: int
    rss_runs: int
    # Which measured sizes stand for the workloads the targets are stated for.
    cache_shape: tuple[int, int]
    big_shapes: list[tuple[int, int]]
    pd_shape: tuple[int, int]
    mid_samples: int
    big_samples: int


FULL = Config(
    quick=False,
    tangent_shapes=[(1_000, 100), (10_000, 128), (50_000, 256), (100_000, 100)],
    sample_sizes=[1, 1_000, 1_000_000, 10_000_000],
    reps=7, min_rep_s=0.05, probe_bytes=512 << 20,
    rss_shape=(50_000, 256), rss_samples=10_000_000, rss_runs=2,
    cache_shape=(1_000, 100), big_shapes=[(50_000, 256), (100_000, 100)],
    pd_shape=(50_000, 256), mid_samples=1_000_000, big_samples=10_000_000,
)

QUICK = Config(
    quick=True,
    tangent_shapes=[(100, 16), (1_000, 50)],
    sample_sizes=[1, 1_000, 100_000],
    reps=2, min_rep_s=0.002, probe_bytes=16 << 20,
    rss_shape=(2_000, 64), rss_samples=100_000, rss_runs=1,
    cache_shape=(100, 16), big_shapes=[(1_000, 50)],
    pd_shape=(1_000, 50), mid_samples=1_000, big_samples=100_000,
)


# ---------------------------------------------------------------------------------------
# Measurement


@dataclass
class Case:
    function: str
    size: str             # key of the workload: "50000x256" or "1000000"
    impl: str
    fn: Callable[[], Any] | None
    work: int             # path-steps or samples done by one call
    unit: str             # "step" or "sample"
    peer_of: str | None   # impl it is compared with, None for our own rows
    check: str = ""
    chart: bool = True
    number: int = 1
    times: list[float] = field(default_factory=list)

    @property
    def median(self) -> float:
        return statistics.median(self.times)

    @property
    def throughput(self) -> float:
        """Units (path-steps or samples) per second."""
        return self.work / self.median


def timed(fn: Callable[[], Any], number: int) -> float:
    start = time.perf_counter()
    for _ in range(number):
        fn()
    return time.perf_counter() - start


def calibrate(fn: Callable[[], Any], min_rep_s: float) -> int:
    """The number of calls that makes one repetition last at least min_rep_s."""
    number = 1
    while True:
        elapsed = timed(fn, number)
        if elapsed >= min_rep_s / 5 or number >= 10**7:
            return max(1, math.ceil(number * min_rep_s / max(elapsed, 1e-9)))
        number *= 10


def measure(cases: list[Case], cfg: Config) -> None:
    """Median per-call time of each case, repetitions interleaved across the cases.

    The order of the cases rotates between repetitions, so that none of them always
    follows the one that just flushed the caches.
    """
    gc.collect()
    enabled = gc.isenabled()
    gc.disable()
    try:
        for case in cases:
            case.number = calibrate(case.fn, cfg.min_rep_s)
        for rep in range(cfg.reps):
            shift = rep % len(cases)
            for case in cases[shift:] + cases[:shift]:
                case.times.append(timed(case.fn, case.number) / case.number)
    finally:
        if enabled:
            gc.enable()
    # The closures hold the inputs; let a measured batch go before the next is built.
    for case in cases:
        case.fn = None


# ---------------------------------------------------------------------------------------
# Checking the peers against our results

MISMATCHES: list[str] = []


def as_floats(value: Any) -> np.ndarray:
    return np.ascontiguousarray(np.asarray(value, dtype=np.float64)).ravel()


def check_bits(label: str, ours: Any, peer: Any) -> str:
    a, b = as_floats(ours), as_floats(peer)
    if a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64)):
        return "bit-identical"
    if a.shape != b.shape:
        detail = f"shapes {a.shape} != {b.shape}"
    else:
        bad = np.flatnonzero(a.view(np.uint64) != b.view(np.uint64))
        detail = (f"{bad.size} of {a.size} values differ, first at {bad[0]}: "
                  f"{a[bad[0]]!r} vs {b[bad[0]]!r}")
    message = f"{label}: NOT bit-identical to ours ({detail})"
    MISMATCHES.append(message)
    print(f"\n!!! MISMATCH !!! {message}\n", file=sys.stderr, flush=True)
    return "MISMATCH"


def check_close(label: str, ours: Any, peer: Any, rtol: float = 1e-9) -> str:
    """For peers that sum in another order: equal up to rounding, never bit for bit."""
    a, b = as_floats(ours), as_floats(peer)
    scale = np.maximum(np.abs(a), np.abs(b))
    with np.errstate(invalid="ignore", divide="ignore"):
        rel = np.where(scale > 0, np.abs(a - b) / scale, 0.0)
    worst = float(np.max(rel)) if rel.size else 0.0
    if a.shape == b.shape and worst <= rtol:
        return f"close, rel {worst:.0e}"
    message = f"{label}: differs from ours beyond rounding (max rel diff {worst:.3g})"
    MISMATCHES.append(message)
    print(f"\n!!! MISMATCH !!! {message}\n", file=sys.stderr, flush=True)
    return "MISMATCH"


# ---------------------------------------------------------------------------------------
# Inputs


def path_batch(n_paths: int, n_steps: int, seed: int = 12345):
    """A geometric Brownian motion batch with every coefficient field materialised.

    The values only have to be realistic (no subnormals, no zero sigma): the kernels'
    cost does not depend on them. The derivative fields are full arrays, not broadcast
    views, so every kernel streams all 32 bytes of each path-step.
    """
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
    return states, dws, sigma, d_mu_dx, d_sigma_dx


def terminal_samples(n: int, seed: int = 54321):
    rng = np.random.default_rng(seed)
    w = math.sqrt(HORIZON) * rng.standard_normal(n)
    x = np.exp((RATE - 0.5 * VOL * VOL) * HORIZON + VOL * w)
    return x, w


def size_label(size: str) -> str:
    if "x" in size:
        n, m = size.split("x")
        return f"{int(n):,} x {int(m)}".replace(",", " ")
    n = int(size)
    if n >= 1000 and 10 ** round(math.log10(n)) == n:
        return f"1e{round(math.log10(n))}"
    return str(n)


# ---------------------------------------------------------------------------------------
# Machine and probes


def count_threads() -> int:
    try:
        return len(os.listdir("/proc/self/task"))
    except OSError:
        return threading.active_count()


def pool_threads_started() -> int:
    """OS threads that the first parallel call starts: the size of our worker pool.

    Must run before anything else starts threads (Numba's parallel loops do).
    """
    before = count_threads()
    a = np.full((64, 2), 0.5)
    q.bel_weights_tangent_flow_parallel(np.ones((64, 3)), a, a, a, a, 1.0)
    return count_threads() - before


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def cpu_flags() -> list[str]:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    have = set(line.split(":", 1)[1].split())
                    return [x for x in ("sse4_2", "avx", "avx2", "fma", "avx512f") if x in have]
    except OSError:
        pass
    return []


def cache_size(level: int) -> str | None:
    base = Path("/sys/devices/system/cpu/cpu0/cache")
    try:
        for index in sorted(base.glob("index*")):
            if (index / "level").read_text().strip() == str(level):
                return (index / "size").read_text().strip()
    except OSError:
        pass
    return None


def machine_info(numba_info: dict | None, pool_threads: int) -> dict:
    try:
        affinity = len(os.sched_getaffinity(0))
    except AttributeError:  # pragma: no cover - not Linux
        affinity = os.cpu_count()
    return {
        "cpu": cpu_model(),
        "cores": os.cpu_count(),
        "cores_available": affinity,
        "cpu_flags": cpu_flags(),
        "l2": cache_size(2),
        "l3": cache_size(3),
        "python": platform.python_version(),
        "platform": platform.platform(),
        "numpy": np.__version__,
        "numba": numba_info,
        "quarnel": q.__version__,
        "quarnel_file": q.__file__,
        "pool_threads": pool_threads,
        "rayon_num_threads": os.environ.get("RAYON_NUM_THREADS"),
        "omp_wait_policy": os.environ.get("OMP_WAIT_POLICY"),
        "load_average": [round(x, 2) for x in os.getloadavg()],
    }


def bandwidth_probe(cfg: Config) -> dict:
    """Read bandwidth of numpy.sum over an array larger than the last-level cache.

    Summing is as close to a pure read as NumPy gets, so bytes / time bounds what a
    kernel that streams its inputs once can reach. The all-cores figure runs one sum
    per core on its own slice at once (NumPy releases the GIL inside reductions).
    """
    a = np.ones(cfg.probe_bytes // 8)
    a.sum()
    reps = max(cfg.reps, 3)
    single = []
    for _ in range(reps):
        single.append(timed(a.sum, 1))
    workers = max(1, len(os.sched_getaffinity(0)))
    parts = np.array_split(a, workers)
    # Threads started once and released together by a barrier, so that neither thread
    # start-up nor a staggered start is counted as memory time.
    start_line = threading.Barrier(workers + 1)
    end_line = threading.Barrier(workers + 1)
    stop = False

    def worker(part: np.ndarray) -> None:
        while True:
            start_line.wait()
            if stop:
                return
            part.sum()
            end_line.wait()

    threads = [threading.Thread(target=worker, args=(p,), daemon=True) for p in parts]
    for t in threads:
        t.start()

    def all_cores() -> float:
        start = time.perf_counter()
        start_line.wait()
        end_line.wait()
        return time.perf_counter() - start

    all_cores()
    multi = [all_cores() for _ in range(reps)]
    stop = True
    start_line.wait()
    for t in threads:
        t.join()
    nbytes = a.nbytes
    del a, parts
    gb1 = nbytes / statistics.median(single) / 1e9
    gbn = nbytes / statistics.median(multi) / 1e9
    return {
        "array_mib": nbytes >> 20,
        "gb_s_one_thread": gb1,
        "gb_s_all_cores": gbn,
        "threads": workers,
        "bound_mstep_s": gb1 * 1000 / BYTES_PER_STEP,
        "bound_mstep_s_all_cores": gbn * 1000 / BYTES_PER_STEP,
    }


# Linux carries the RSS high-water mark of the address space a process replaces at exec
# into its ru_maxrss, and subprocess starts children with vfork, whose address space is
# ours: a child would report this (large) process's peak. A shell that starts the probe
# as its own child, rather than exec'ing it, gives the probe a fresh, tiny ancestor.
SPAWN_CLEAN = ["/bin/sh", "-c", '"$@"; exit $?', "sh"]


def rss_probe(cfg: Config) -> list[dict]:
    """Peak RSS growth of one call beyond its result, measured in fresh processes."""
    n, m = cfg.rss_shape
    probes = [(TF, n, m), (TFP, n, m), (PDT, n, m),
              (PFS, cfg.rss_samples, 0), (CFW, cfg.rss_samples, 0), (PDC, cfg.rss_samples, 0)]
    env = {k: v for k, v in os.environ.items()
           if k not in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")}
    out = []
    for name, rows, cols in probes:
        peaks: dict[str, list[int]] = {"skip": [], "call": []}
        result_bytes = 0
        for _ in range(cfg.rss_runs):
            for mode in ("skip", "call"):
                proc = subprocess.run(
                    [*SPAWN_CLEAN, sys.executable, str(HERE / "rss_child.py"), name, str(rows),
                     str(cols), mode],
                    capture_output=True, text=True, env=env, timeout=300, check=False)
                if proc.returncode != 0:
                    raise RuntimeError(f"RSS probe of {name} failed:\n{proc.stderr}")
                record = json.loads(proc.stdout.strip().splitlines()[-1])
                peaks[mode].append(record["peak_kib"])
                result_bytes = max(result_bytes, record["result_bytes"])
        # The smallest peak of each mode: allocator noise only ever adds to a peak.
        without, with_call = min(peaks["skip"]), min(peaks["call"])
        out.append({
            "function": name,
            "size": f"{rows}x{cols}" if cols else str(rows),
            "peak_without_kib": without,
            "peak_with_kib": with_call,
            "result_kib": result_bytes / 1024,
            "peak_growth_kib": with_call - without,
            # A result that fits into memory the process had already touched (and freed)
            # raises no peak; only growth past the result's own size is the kernel's.
            "growth_beyond_result_kib": max(0.0, with_call - without - result_bytes / 1024),
            "input_mib": (rows * (cols + 1) + 4 * rows * cols) * 8 / 2**20 if cols else
            rows * 8 / 2**20,
        })
    return out


# ---------------------------------------------------------------------------------------
# The workloads


def tangent_cases(shape: tuple[int, int], nb) -> list[Case]:
    n, m = shape
    states, dws, sigma, d_mu, d_sigma = path_batch(n, m)
    size = f"{n}x{m}"
    work = n * m
    args = (states, dws, sigma, d_mu, d_sigma, HORIZON)
    pd_args = args + ("call", STRIKE)
    label = size_label(size)

    serial = q.bel_weights_tangent_flow(*args)
    parallel = q.bel_weights_tangent_flow_parallel(*args)
    pd = q.price_and_delta_tangent_flow(*pd_args)

    cases = [
        Case(TF, size, "quarnel", lambda: q.bel_weights_tangent_flow(*args), work, "step",
             None, "reference"),
        Case(TFP, size, "quarnel", lambda: q.bel_weights_tangent_flow_parallel(*args), work,
             "step", None, check_bits(f"{TFP} {label} vs serial", serial, parallel)),
        Case(PDT, size, "quarnel", lambda: q.price_and_delta_tangent_flow(*pd_args), work,
             "step", None, "reference"),
    ]
    np_w = npp.tangent_flow_weights(dws, sigma, d_mu, d_sigma, HORIZON)
    cases.append(Case(TF, size, "numpy", lambda: npp.tangent_flow_weights(
        dws, sigma, d_mu, d_sigma, HORIZON), work, "step", "quarnel",
        check_bits(f"{TF} {label} numpy", serial, np_w)))
    np_pd = npp.price_and_delta_tangent_flow(states, dws, sigma, d_mu, d_sigma, HORIZON, STRIKE)
    cases.append(Case(PDT, size, "numpy", lambda: npp.price_and_delta_tangent_flow(
        states, dws, sigma, d_mu, d_sigma, HORIZON, STRIKE), work, "step", "quarnel",
        check_close(f"{PDT} {label} numpy", pd, np_pd)))
    if nb is not None:
        cases += [
            Case(TF, size, "numba njit", lambda: nb.tangent_flow_weights(
                dws, sigma, d_mu, d_sigma, HORIZON), work, "step", "quarnel",
                check_bits(f"{TF} {label} numba njit", serial,
                           nb.tangent_flow_weights(dws, sigma, d_mu, d_sigma, HORIZON))),
            Case(TFP, size, "numba prange", lambda: nb.tangent_flow_weights_prange(
                dws, sigma, d_mu, d_sigma, HORIZON), work, "step", "quarnel",
                check_bits(f"{TFP} {label} numba prange", serial,
                           nb.tangent_flow_weights_prange(dws, sigma, d_mu, d_sigma, HORIZON))),
            Case(PDT, size, "numba njit", lambda: nb.price_and_delta_tangent_flow(
                states, dws, sigma, d_mu, d_sigma, HORIZON, STRIKE), work, "step", "quarnel",
                check_bits(f"{PDT} {label} numba njit", pd, nb.price_and_delta_tangent_flow(
                    states, dws, sigma, d_mu, d_sigma, HORIZON, STRIKE))),
        ]
    return cases


def overhead_cases() -> list[Case]:
    """Fixed cost of a call on a batch too small to be worth any thread."""
    cases = []
    for n in (1, 2):
        states = np.ones((n, 3))
        a = np.full((n, 2), 0.5)
        args = (states, a, a, a, a, HORIZON)
        size = f"{n}x2"
        serial = q.bel_weights_tangent_flow(*args)
        parallel = q.bel_weights_tangent_flow_parallel(*args)
        cases += [
            Case(TF, size, "quarnel", lambda args=args: q.bel_weights_tangent_flow(*args),
                 n * 2, "step", None, "reference", chart=False),
            Case(TFP, size, "quarnel",
                 lambda args=args: q.bel_weights_tangent_flow_parallel(*args), n * 2, "step",
                 None, check_bits(f"{TFP} {size} vs serial", serial, parallel), chart=False),
        ]
    return cases


def sample_cases(n: int, nb) -> list[Case]:
    x, w = terminal_samples(n)
    p = npp.call_payoff(x, STRIKE)
    size = str(n)
    label = size_label(size)
    ours_pfs = q.price_from_samples(p)
    ours_cfw = q.bel_weights_constant_flow(w, HORIZON, VOL)
    pd_args = (x, w, HORIZON, VOL, "call", STRIKE)
    ours_pdc = q.price_and_delta_constant_flow(*pd_args)

    cases = [
        Case(PFS, size, "quarnel", lambda: q.price_from_samples(p), n, "sample", None,
             "reference"),
        Case(PFS, size, "numpy mean+std", lambda: npp.mean_and_std(p), n, "sample", "quarnel",
             check_close(f"{PFS} {label} numpy", ours_pfs, npp.mean_stderr(p))),
        Case(CFW, size, "quarnel", lambda: q.bel_weights_constant_flow(w, HORIZON, VOL), n,
             "sample", None, "reference"),
        Case(CFW, size, "numpy", lambda: npp.constant_flow_weights(w, HORIZON, VOL), n,
             "sample", "quarnel", check_bits(f"{CFW} {label} numpy", ours_cfw,
                                             npp.constant_flow_weights(w, HORIZON, VOL))),
        Case(PDC, size, "quarnel", lambda: q.price_and_delta_constant_flow(*pd_args), n,
             "sample", None, "reference"),
        Case(PDC, size, "numpy", lambda: npp.price_and_delta_constant_flow(
            x, w, HORIZON, VOL, STRIKE), n, "sample", "quarnel",
            check_close(f"{PDC} {label} numpy", ours_pdc,
                        npp.price_and_delta_constant_flow(x, w, HORIZON, VOL, STRIKE))),
    ]
    if n == 1:
        # The smallest thing a NumPy user can call on one sample.
        cases.append(Case(PFS, size, "numpy.mean", lambda: np.mean(p), n, "sample", "quarnel",
                          check_close(f"{PFS} 1 numpy.mean", ours_pfs[0], np.mean(p)),
                          chart=False))
    if nb is not None:
        cases += [
            Case(PFS, size, "numba njit", lambda: nb.price_from_samples(p), n, "sample",
                 "quarnel", check_bits(f"{PFS} {label} numba", ours_pfs,
                                       nb.price_from_samples(p))),
            Case(CFW, size, "numba njit", lambda: nb.constant_flow_weights(w, HORIZON, VOL), n,
                 "sample", "quarnel", check_bits(f"{CFW} {label} numba", ours_cfw,
                                                 nb.constant_flow_weights(w, HORIZON, VOL))),
            Case(PDC, size, "numba njit", lambda: nb.price_and_delta_constant_flow(
                x, w, HORIZON, VOL, STRIKE), n, "sample", "quarnel",
                check_bits(f"{PDC} {label} numba", ours_pdc,
                           nb.price_and_delta_constant_flow(x, w, HORIZON, VOL, STRIKE))),
        ]
    return cases


# ---------------------------------------------------------------------------------------
# Reporting


def fmt_time(s: float) -> str:
    if s < 1e-6:
        return f"{s * 1e9:.0f} ns"
    if s < 1e-3:
        return f"{s * 1e6:.2f} us"
    if s < 1:
        return f"{s * 1e3:.2f} ms"
    return f"{s:.2f} s"


def find(cases: list[Case], function: str, size: str, impl: str = "quarnel") -> Case | None:
    for c in cases:
        if c.function == function and c.size == size and c.impl == impl:
            return c
    return None


ORDER = [TF, TFP, PDT, PFS, CFW, PDC]


def size_key(size: str) -> tuple[int, int]:
    if "x" in size:
        n, m = size.split("x")
        return (int(n) * int(m), int(n))
    return (int(size), 0)


def print_table(cases: list[Case], bw: dict) -> None:
    bound = bw["bound_mstep_s"]
    head = (f"{'function':<34} {'size':>14} {'implementation':<16} {'median':>10} "
            f"{'throughput':>16} {'of bound':>8} {'ours/peer':>9}  check")
    print(head)
    print("-" * len(head))
    for function in ORDER:
        rows = [c for c in cases if c.function == function]
        rows.sort(key=lambda c: (size_key(c.size), c.peer_of is not None, c.impl))
        last_size = None
        for c in rows:
            if last_size is not None and c.size != last_size:
                print()
            last_size = c.size
            unit = "Mstep/s" if c.unit == "step" else "Msample/s"
            of_bound = f"{c.throughput / 1e6 / bound:.2f}" if c.unit == "step" else ""
            ratio = ""
            if c.peer_of is not None:
                ours = find(cases, c.function, c.size, c.peer_of)
                if ours is not None:
                    ratio = f"x{c.median / ours.median:.2f}"
            print(f"{c.function:<34} {size_label(c.size):>14} {c.impl:<16} "
                  f"{fmt_time(c.median):>10} {c.throughput / 1e6:>8.1f} {unit:<9}"
                  f"{of_bound:>6} {ratio:>9}  {c.check}")
        print()
    print(f"memory bound: numpy.sum over {bw['array_mib']} MiB: {bw['gb_s_one_thread']:.1f} GB/s"
          f" on one thread = {bound:.0f} Mstep/s at {BYTES_PER_STEP} B/step; "
          f"{bw['gb_s_all_cores']:.1f} GB/s on {bw['threads']} threads = "
          f"{bw['bound_mstep_s_all_cores']:.0f} Mstep/s")
    print("'of bound' = throughput / one-thread bound; 'ours/peer' = peer time / our time "
          "(above 1: we are faster)")


def print_memory(mem: list[dict]) -> None:
    print(f"{'function':<34} {'size':>14} {'inputs':>10} {'peak w/o call':>14} "
          f"{'peak w/ call':>13} {'growth':>10} {'result':>10} {'beyond result':>14}")
    for r in mem:
        print(f"{r['function']:<34} {size_label(r['size']):>14} {r['input_mib']:>6.0f} MiB "
              f"{r['peak_without_kib'] / 1024:>10.1f} MiB {r['peak_with_kib'] / 1024:>9.1f} MiB "
              f"{r['peak_growth_kib']:>6.0f} KiB {r['result_kib']:>6.0f} KiB "
              f"{r['growth_beyond_result_kib']:>10.0f} KiB")


def evaluate_targets(cases: list[Case], bw: dict, mem: list[dict], cfg: Config,
                     have_numba: bool) -> list[dict]:
    out: list[dict] = []

    def add(function: str, workload: str, target: str, value: float | None, limit: float,
            higher_is_better: bool = True, needs_numba: bool = False, unit: str = "x") -> None:
        if value is None:
            status = "SKIP" if needs_numba and not have_numba else "MISSING"
            measured = "numba not available" if status == "SKIP" else "not measured"
        else:
            ok = value >= limit if higher_is_better else value <= limit
            status = "PASS" if ok else "FAIL"
            measured = f"{value:.2f}{unit}" if unit == "x" else f"{value:.0f} {unit}"
        out.append({"function": function, "workload": workload, "target": target,
                    "value": value, "limit": limit, "measured": measured, "status": status})

    def time_ratio(num: Case | None, den: Case | None) -> float | None:
        return None if num is None or den is None else num.median / den.median

    def speedup(function: str, size: str, peer: str) -> float | None:
        return time_ratio(find(cases, function, size, peer), find(cases, function, size))

    def of_bound(function: str, size: str, key: str = "bound_mstep_s") -> float | None:
        ours = find(cases, function, size)
        return None if ours is None else ours.throughput / 1e6 / bw[key]

    def sz(shape: tuple[int, int]) -> str:
        return f"{shape[0]}x{shape[1]}"

    for shape in cfg.big_shapes:
        s = sz(shape)
        add(TF, size_label(s), ">= 0.6 x bandwidth bound", of_bound(TF, s), 0.6)
        add(TF, size_label(s), ">= 1.8 x Numba serial", speedup(TF, s, "numba njit"), 1.8,
            needs_numba=True)
    s = sz(cfg.cache_shape)
    add(TF, size_label(s) + " (in cache)", ">= 2 x Numba serial",
        speedup(TF, s, "numba njit"), 2.0, needs_numba=True)
    for shape in cfg.big_shapes:
        s = sz(shape)
        add(TFP, size_label(s), ">= 0.85 x bandwidth bound", of_bound(TFP, s), 0.85)
        add(TFP, size_label(s), ">= 1.8 x Numba prange", speedup(TFP, s, "numba prange"), 1.8,
            needs_numba=True)
    for shape in cfg.big_shapes:
        s = sz(shape)
        # Informational: the same kernel against what all cores can read together.
        value = of_bound(TFP, s, "bound_mstep_s_all_cores")
        if value is not None:
            out.append({"function": TFP, "workload": size_label(s),
                        "target": f"(info) x all-core bound ({bw['threads']} threads)",
                        "value": value, "limit": None, "measured": f"{value:.2f}x",
                        "status": "INFO"})
    add(TFP, "1 x 2", "call time <= 1.5 x serial",
        time_ratio(find(cases, TFP, "1x2"), find(cases, TF, "1x2")), 1.5,
        higher_is_better=False)
    s = sz(cfg.pd_shape)
    add(PDT, size_label(s), f"time <= 1.10 x {TF}",
        time_ratio(find(cases, PDT, s), find(cases, TF, s)), 1.10, higher_is_better=False)
    add(PFS, size_label(str(cfg.mid_samples)), ">= 1.0 x NumPy mean+std",
        speedup(PFS, str(cfg.mid_samples), "numpy mean+std"), 1.0)
    add(PFS, size_label(str(cfg.big_samples)), ">= 1.5 x NumPy mean+std",
        speedup(PFS, str(cfg.big_samples), "numpy mean+std"), 1.5)
    add(PFS, "1 sample", "call time <= 0.25 x numpy.mean",
        time_ratio(find(cases, PFS, "1"), find(cases, PFS, "1", "numpy.mean")), 0.25,
        higher_is_better=False)
    add(PDC, size_label(str(cfg.mid_samples)), ">= 5 x NumPy expression",
        speedup(PDC, str(cfg.mid_samples), "numpy"), 5.0)
    add(CFW, size_label(str(cfg.mid_samples)), ">= 0.9 x NumPy",
        speedup(CFW, str(cfg.mid_samples), "numpy"), 0.9)
    for r in mem:
        if r["function"] == TF:
            add(TF, size_label(r["size"]) + " (memory)", "peak growth beyond result <= 1 MiB",
                r["growth_beyond_result_kib"], 1024, higher_is_better=False, unit="KiB")
    return out


def print_targets(targets: list[dict], quick: bool) -> None:
    if quick:
        print("(quick run: the target workloads are stood in for by tiny shapes, "
              "so these verdicts mean nothing)")
    print(f"{'function':<34} {'workload':<24} {'target':<38} {'measured':>12}  result")
    for t in targets:
        print(f"{t['function']:<34} {t['workload']:<24} {t['target']:<38} {t['measured']:>12}"
              f"  {t['status']}")


def draw_chart(cases: list[Case], bw: dict, path: Path) -> bool:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib not importable: no chart drawn")
        return False

    fig, (left, right) = plt.subplots(1, 2, figsize=(13, 5.2))
    styles = {"quarnel": "-", "numpy": "--", "numpy mean+std": "--", "numba njit": ":",
              "numba prange": ":"}
    colours = {TF: "tab:blue", TFP: "tab:red", PDT: "tab:green",
               PFS: "tab:purple", CFW: "tab:orange", PDC: "tab:brown"}
    for ax, unit in ((left, "step"), (right, "sample")):
        series: dict[tuple[str, str], list[tuple[int, float]]] = {}
        for c in cases:
            if c.unit == unit and c.chart:
                series.setdefault((c.function, c.impl), []).append(
                    (size_key(c.size)[0], c.throughput / 1e6))
        for (function, impl), points in sorted(series.items()):
            points.sort()
            xs, ys = zip(*points)
            ours = impl == "quarnel"
            ax.plot(xs, ys, styles.get(impl, "-."), color=colours[function],
                    marker="o" if ours else "x", linewidth=2.2 if ours else 1.3,
                    label=f"{function} ({impl})")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.grid(True, which="both", alpha=0.3)
    left.axhline(bw["bound_mstep_s"], color="black", linewidth=1, linestyle="-.",
                 label=f"memory bound, 1 thread ({bw['gb_s_one_thread']:.0f} GB/s / 32 B)")
    left.axhline(bw["bound_mstep_s_all_cores"], color="grey", linewidth=1, linestyle="-.",
                 label=f"memory bound, {bw['threads']} threads")
    left.set_xlabel("batch size (path-steps)")
    left.set_ylabel("throughput (million path-steps / s)")
    left.set_title("Tangent-flow weights and price/delta")
    right.set_xlabel("batch size (samples)")
    right.set_ylabel("throughput (million samples / s)")
    right.set_title("One-dimensional estimators")
    left.legend(fontsize=7, loc="best")
    right.legend(fontsize=7, loc="best")
    fig.suptitle(f"quarnel {q.__version__} on {cpu_model()}, {os.cpu_count()} cores "
                 "(solid: quarnel, dashed: NumPy, dotted: Numba)", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def case_record(c: Case) -> dict:
    return {"function": c.function, "size": c.size, "implementation": c.impl,
            "work": c.work, "unit": c.unit, "compared_with": c.peer_of, "check": c.check,
            "calls_per_rep": c.number, "times_s": c.times, "median_s": c.median,
            "throughput_per_s": c.throughput}


# ---------------------------------------------------------------------------------------


def load_numba(disabled: bool):
    if disabled:
        print("numba disabled (--no-numba): Numba peers skipped")
        return None
    try:
        import peers_numba
    except ImportError as exc:
        print(f"numba not importable ({exc}): Numba peers skipped")
        return None
    return peers_numba


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="tiny shapes and 2 repetitions, no chart (a smoke run)")
    parser.add_argument("--no-chart", action="store_true", help="do not draw the PNG chart")
    parser.add_argument("--no-numba", action="store_true", help="skip the Numba peers")
    parser.add_argument("--json", type=Path, default=None,
                        help="where to write the figures (default bench/results.json, "
                             "bench/results-quick.json with --quick)")
    parser.add_argument("--chart", type=Path, default=HERE / "throughput.png",
                        help="where to draw the chart (default bench/throughput.png)")
    args = parser.parse_args(argv)
    cfg = QUICK if args.quick else FULL
    json_path = args.json or HERE / ("results-quick.json" if cfg.quick else "results.json")
    started = time.perf_counter()

    pool = pool_threads_started()
    nb = load_numba(args.no_numba)
    numba_info = None
    if nb is not None:
        from numba.core.errors import NumbaPerformanceWarning

        t = time.perf_counter()
        # A prange loop that Numba quietly compiles as a serial one would make the
        # parallel comparison meaningless: refuse to run with it.
        with warnings.catch_warnings():
            warnings.simplefilter("error", NumbaPerformanceWarning)
            nb.compile_all()
        numba_info = nb.describe()
        numba_info["compile_s"] = round(time.perf_counter() - t, 2)
    machine = machine_info(numba_info, pool)

    print(f"quarnel {q.__version__} benchmark ({'quick' if cfg.quick else 'full'} run)")
    print(f"machine: {machine['cpu']}, {machine['cores']} cores "
          f"({machine['cores_available']} available), L2 {machine['l2']} per core, "
          f"L3 {machine['l3']}, flags {' '.join(machine['cpu_flags'])}")
    print(f"python {machine['python']}, numpy {machine['numpy']}, numba "
          f"{numba_info['version'] + ' (' + str(numba_info['threads']) + ' threads, ' + str(numba_info['threading_layer']) + ')' if numba_info else 'absent'}"  # noqa: E501
          f", quarnel pool {pool} worker threads (RAYON_NUM_THREADS="
          f"{machine['rayon_num_threads']}), load average {machine['load_average']}")
    print(f"module: {q.__file__}")
    if machine["load_average"][0] > 0.5:
        print(f"warning: the machine is busy (load {machine['load_average'][0]}); "
              "ratios hold up better than absolute figures")
    print(flush=True)

    bw = bandwidth_probe(cfg)
    cases: list[Case] = []
    for shape in cfg.tangent_shapes:
        group = tangent_cases(shape, nb)
        measure(group, cfg)
        cases += group
        gc.collect()
        print(f"  measured {size_label(group[0].size)} path-steps", flush=True)
    group = overhead_cases()
    measure(group, cfg)
    cases += group
    for n in cfg.sample_sizes:
        group = sample_cases(n, nb)
        measure(group, cfg)
        cases += group
        gc.collect()
        print(f"  measured {size_label(str(n))} samples", flush=True)
    mem = rss_probe(cfg)
    elapsed = time.perf_counter() - started

    print()
    print_table(cases, bw)
    print()
    print("peak RSS of a fresh process with one call vs without it "
          "(inputs and a warm-up call in both)")
    print_memory(mem)
    print()
    targets = evaluate_targets(cases, bw, mem, cfg, nb is not None)
    print_targets(targets, cfg.quick)

    chart = None
    if not (cfg.quick or args.no_chart) and draw_chart(cases, bw, args.chart):
        chart = str(args.chart)
    record = {
        "quick": cfg.quick,
        "machine": machine,
        "bandwidth": bw,
        "results": [case_record(c) for c in cases],
        "memory": mem,
        "targets": targets,
        "mismatches": MISMATCHES,
        "chart": chart,
        "elapsed_s": round(elapsed, 1),
    }
    json_path.write_text(json.dumps(record, indent=1) + "\n")
    print(f"\nfigures written to {json_path}" + (f", chart to {chart}" if chart else "")
          + f" ({elapsed:.0f} s)")
    if MISMATCHES:
        print(f"\n!!! {len(MISMATCHES)} result MISMATCH(ES) against our kernels:",
              file=sys.stderr)
        for m in MISMATCHES:
            print(f"!!!   {m}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
