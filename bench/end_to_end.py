"""A whole job, simulation included: examples/end_to_end.py's two versions, by stage.

The job is the tangent-flow delta of E[X_T] under CEV (the example's docstring). Both
versions run the same stages: random numbers, the Euler loop, the coefficient fields,
quarnel's call. Their totals are timed without instrumentation, repetitions interleaved
like every other comparison; the stages come from separate runs with the example's
timing hook (`lap`) pointed at a clock here. The fast recipe runs its blocks on two
threads: the wall time of that parallel part is shared among its stages in proportion
to their thread time (the thread seconds are in the JSON record too).

The functions are the example's own, imported from its file, not copies; the random
numbers are drawn here exactly as the example's main() draws them.
"""

from __future__ import annotations

import importlib.util
import statistics
import threading
import time
from collections.abc import Callable
from pathlib import Path
from types import ModuleType
from typing import Any

import numpy as np

from .config import Config
from .harness import Case, measure

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "end_to_end.py"
FUNCTION = "end-to-end CEV delta job"
STRAIGHTFORWARD = "straightforward"
FAST = "fast recipe"
STAGES = ("random numbers", "Euler loop", "coefficient fields", "quarnel call")
OTHER = "other"
SEED = 11


def load_example() -> ModuleType | None:
    if not EXAMPLE.exists():
        return None
    spec = importlib.util.spec_from_file_location("quarnel_example_end_to_end", EXAMPLE)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


class StageClock:
    """The example's `lap`: the time since a thread's previous call goes to the stage
    named. Each thread sums into a dict of its own (no lock: one writer each)."""

    def __init__(self) -> None:
        self.local = threading.local()
        self.tables: list[tuple[int, dict[str, float]]] = []

    def __call__(self, stage: str | None) -> None:
        now = time.perf_counter()
        loc = self.local
        if not hasattr(loc, "seconds"):
            loc.seconds = {}
            self.tables.append((threading.get_ident(), loc.seconds))
        if stage is not None and hasattr(loc, "last"):
            loc.seconds[stage] = loc.seconds.get(stage, 0.0) + (now - loc.last)
        loc.last = now

    def mine(self) -> dict[str, float]:
        me = threading.get_ident()
        return next((t for ident, t in self.tables if ident == me), {})

    def others(self) -> dict[str, float]:
        me = threading.get_ident()
        out: dict[str, float] = {}
        for ident, t in self.tables:
            if ident != me:
                for k, v in t.items():
                    out[k] = out.get(k, 0.0) + v
        return out


def straightforward_job(ex: ModuleType, n_paths: int, n_steps: int) -> np.ndarray:
    scale = np.sqrt(ex.T / n_steps)
    ex.lap(None)
    rng = np.random.default_rng(SEED)
    dws = scale * rng.standard_normal((n_paths, n_steps))
    ex.lap("random numbers")
    return ex.straightforward(dws)


def fast_job(ex: ModuleType, n_paths: int, n_steps: int) -> np.ndarray:
    scale = np.sqrt(ex.T / n_steps)
    ex.lap(None)
    rng = np.random.Generator(np.random.SFC64(SEED))
    dws_t = rng.standard_normal((n_steps, n_paths))
    np.multiply(dws_t, scale, out=dws_t)
    ex.lap("random numbers")
    return ex.fast(dws_t)


JOBS: dict[str, Callable[[ModuleType, int, int], np.ndarray]] = {
    STRAIGHTFORWARD: straightforward_job, FAST: fast_job}


def stage_run(ex: ModuleType, impl: str, n_paths: int, n_steps: int) -> dict[str, Any]:
    """One instrumented run: wall seconds per stage (and 'other'), and thread seconds."""
    clock = StageClock()
    plain = ex.lap
    ex.lap = clock
    try:
        start = time.perf_counter()
        JOBS[impl](ex, n_paths, n_steps)
        total = time.perf_counter() - start
    finally:
        ex.lap = plain
    mine, others = clock.mine(), clock.others()
    wall = {s: mine.get(s, 0.0) for s in STAGES}
    if others:
        # The stages after the random numbers ran on the worker threads: the main
        # thread's wall time from then on, shared in proportion to their thread time.
        parallel = total - wall["random numbers"]
        busy = sum(others.get(s, 0.0) for s in STAGES)
        for s in STAGES[1:]:
            wall[s] = parallel * others.get(s, 0.0) / busy if busy > 0 else 0.0
    wall[OTHER] = max(total - sum(wall.values()), 0.0)
    return {"total_s": total, "wall_s": wall, "thread_s": others or None}


def measure_job(cfg: Config) -> dict[str, Any] | None:
    """Totals of both versions (interleaved, uninstrumented), then the stages of each
    as the median over a few instrumented runs."""
    ex = load_example()
    if ex is None:
        print(f"  {EXAMPLE} not found: end-to-end job skipped")
        return None
    n_paths, n_steps = cfg.end_to_end_shape
    # Both versions must estimate the same delta (exactly 1): a broken job is no timing.
    for impl, job in JOBS.items():
        samples = job(ex, n_paths, n_steps)
        mean = float(samples.mean())
        se = float(samples.std()) / np.sqrt(samples.size)
        if not abs(mean - 1.0) < 6 * se:
            raise AssertionError(f"end-to-end {impl}: delta {mean} +- {se}, expected 1")
    size = f"{n_paths}x{n_steps}"
    cases = [Case(FUNCTION, size, impl, lambda job=job: job(ex, n_paths, n_steps),
                  n_paths * n_steps, "step", None if impl == FAST else FAST, chart=False)
             for impl, job in JOBS.items()]
    measure(cases, cfg)
    runs = {impl: [stage_run(ex, impl, n_paths, n_steps) for _ in range(cfg.end_to_end_runs)]
            for impl in JOBS}
    out: dict[str, Any] = {"shape": [n_paths, n_steps], "size": size, "versions": {}}
    for c in cases:
        rs = runs[c.impl]
        wall = {s: statistics.median(r["wall_s"][s] for r in rs) for s in (*STAGES, OTHER)}
        total = sum(wall.values())
        thread = None
        if rs[0]["thread_s"] is not None:
            thread = {s: statistics.median(r["thread_s"].get(s, 0.0) for r in rs)
                      for s in STAGES[1:]}
        out["versions"][c.impl] = {
            "median_s": c.median, "times_s": c.times,
            "instrumented_total_s": total,
            "stages_s": wall,
            "stage_shares": {s: v / total for s, v in wall.items()},
            "worker_thread_s": thread,
        }
    fast, slow = (out["versions"][k]["median_s"] for k in (FAST, STRAIGHTFORWARD))
    out["speedup"] = slow / fast
    out["cases"] = cases
    print(f"  measured the end-to-end job, {n_paths} x {n_steps}", flush=True)
    return out


def print_job(job: dict[str, Any] | None) -> None:
    if job is None:
        return
    n, m = job["shape"]
    print(f"end-to-end job (examples/end_to_end.py: CEV, {n} paths x {m} steps, simulation "
          "included), seconds and share of the total:")
    head = f"  {'stage':<22}" + "".join(f"{v:>26}" for v in job["versions"])
    print(head)
    for s in (*STAGES, OTHER):
        row = f"  {s:<22}"
        for v in job["versions"].values():
            row += f"{v['stages_s'][s]:>16.3f} s {100 * v['stage_shares'][s]:>5.1f} %"
        print(row)
    row = f"  {'total (instrumented)':<22}"
    for v in job["versions"].values():
        row += f"{v['instrumented_total_s']:>16.3f} s {'':>7}"
    print(row.rstrip())
    row = f"  {'total (median)':<22}"
    for v in job["versions"].values():
        row += f"{v['median_s']:>16.3f} s {'':>7}"
    print(row.rstrip())
    print(f"  straightforward / fast recipe: {job['speedup']:.2f}x "
          "(medians of uninstrumented runs, interleaved)")
    print("  (the fast recipe's stages after the random numbers run on two threads: their "
          "wall time is shared in proportion to thread time)")
