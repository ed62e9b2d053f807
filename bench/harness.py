"""Timing (interleaved, rotated repetitions; medians) and the checks of peer results."""

from __future__ import annotations

import gc
import math
import statistics
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from .config import Config


@dataclass
class Case:
    function: str
    size: str             # key of the workload: "50000x256" or "1000000"
    impl: str
    fn: Callable[[], Any] | None
    work: int             # path-steps, samples or bytes done by one call
    unit: str             # "step", "sample" or "byte"
    peer_of: str | None   # impl it is compared with, None for our own rows
    check: str = ""
    chart: bool = True
    number: int = 1
    times: list[float] = field(default_factory=list)
    # For code that times itself (the bandwidth probe): calls -> seconds.
    timer: Callable[[int], float] | None = None
    # What one unit of work reads and writes: (probe pattern, bytes), for the bound.
    traffic: tuple[Any, int] | None = None

    @property
    def median(self) -> float:
        return statistics.median(self.times)

    @property
    def throughput(self) -> float:
        """Units (path-steps, samples or bytes) per second."""
        return self.work / self.median

    @property
    def peak(self) -> float:
        """Units per second in the fastest repetition: what a bound is stated from (as
        STREAM does), since interference only ever slows a repetition down."""
        return self.work / min(self.times)


def timed(fn: Callable[[], Any], number: int,
          clock: Callable[[], float] = time.perf_counter) -> float:
    start = clock()
    for _ in range(number):
        fn()
    return clock() - start


def run_case(case: Case, number: int) -> float:
    if case.timer is not None:
        return case.timer(number)
    assert case.fn is not None
    return timed(case.fn, number)


def calibrate(case: Case, min_rep_s: float) -> int:
    """The number of calls that makes one repetition last at least min_rep_s."""
    number = 1
    while True:
        elapsed = run_case(case, number)
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
            case.number = calibrate(case, cfg.min_rep_s)
        for rep in range(cfg.reps):
            shift = rep % len(cases)
            for case in cases[shift:] + cases[:shift]:
                case.times.append(run_case(case, case.number) / case.number)
    finally:
        if enabled:
            gc.enable()
    # The closures hold the inputs; let a measured batch go before the next is built.
    for case in cases:
        case.fn = None
        case.timer = None


def find(cases: list[Case], function: str, size: str, impl: str = "quarnel") -> Case | None:
    for c in cases:
        if c.function == function and c.size == size and c.impl == impl:
            return c
    return None


# ---------------------------------------------------------------------------------------
# Checking the peers against our results

MISMATCHES: list[str] = []


def as_floats(value: Any) -> np.ndarray:
    return np.ascontiguousarray(np.asarray(value, dtype=np.float64)).ravel()


def mismatch(message: str) -> str:
    MISMATCHES.append(message)
    print(f"\n!!! MISMATCH !!! {message}\n", file=sys.stderr, flush=True)
    return "MISMATCH"


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
    return mismatch(f"{label}: NOT bit-identical to ours ({detail})")


def check_close(label: str, ours: Any, peer: Any, rtol: float = 1e-9,
                by_column: bool = False) -> str:
    """For peers that sum in another order: equal up to rounding, never bit for bit. NaN
    must meet NaN (a Greek that is not computed). By column: each value's difference
    against the largest magnitude of its column, for sums whose terms cancel (a gamma
    weight near zero carries the rounding of terms far larger than itself)."""
    a, b = np.asarray(ours, dtype=np.float64), np.asarray(peer, dtype=np.float64)
    if a.shape != b.shape:
        return mismatch(f"{label}: shapes {a.shape} != {b.shape}")
    nan = np.isnan(a) | np.isnan(b)
    if not np.array_equal(np.isnan(a), np.isnan(b)):
        return mismatch(f"{label}: NaN where ours is not, or the other way round")
    a, b = np.where(nan, 0.0, a), np.where(nan, 0.0, b)
    if by_column and a.ndim == 2:
        scale = np.broadcast_to(np.max(np.abs(np.concatenate([a, b])), axis=0), a.shape)
    else:
        scale = np.maximum(np.abs(a), np.abs(b))
    with np.errstate(invalid="ignore", divide="ignore"):
        rel = np.where(scale > 0, np.abs(a - b) / scale, 0.0)
    worst = float(np.max(rel)) if rel.size else 0.0
    if worst <= rtol:
        return f"close, rel {worst:.0e}"
    return mismatch(f"{label}: differs from ours beyond rounding (max rel diff {worst:.3g})")


def check_columns(label: str, ours: Any, peer: Any) -> str:
    return check_close(label, ours, peer, by_column=True)


CHECKS = {"bits": check_bits, "close": check_close, "columns": check_columns}
