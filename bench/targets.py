"""The performance targets, one row each, and their verdicts.

"Bandwidth bound" is the matching probe (probe.py) at the batch's own size: the kernel's
throughput over the rate at which this machine reads the same bytes in the same number
of streams. Both are medians of repetitions interleaved with each other, so that a
neighbour's load weighs on both alike (fastest repetitions, which a burst of quiet
favours at random, scatter more on a shared machine).
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass, field

from .config import Config, shape_key
from .end_to_end import FAST, FUNCTION, STRAIGHTFORWARD
from .harness import Case, find
from .probe import Need, thread_label
from .workloads import (
    CFW,
    GWC,
    GWT,
    GWTP,
    PDC,
    PDT,
    PFS,
    PGCL,
    PGCW,
    PGT,
    TF,
    TFP,
    need_of,
    size_label,
)


@dataclass
class Results:
    cases: list[Case]
    probes: list[Case]
    mem: list[dict]
    max_threads: int
    have_numba: bool
    ceilings: dict[str, float] = field(default_factory=dict)

    def probe_for(self, case: Case, threads: int | None = None) -> Case | None:
        need = need_of(case, self.max_threads)
        if need is None:
            return None
        if threads is not None:
            need = Need(need.pattern, threads, need.nbytes, need.size)
        return find(self.probes, need.function, need.size, thread_label(need.threads))

    def of_probe(self, case: Case, threads: int | None = None) -> float | None:
        """Throughput as a fraction of the matching probe's bound."""
        probe = self.probe_for(case, threads)
        need = need_of(case, self.max_threads)
        if probe is None or need is None:
            return None
        return (need.nbytes / case.median) / probe.throughput


Metric = Callable[[Results, str, str], "float | None"]


def time_ratio(num: Case | None, den: Case | None) -> float | None:
    return None if num is None or den is None else num.median / den.median


def speedup(peer: str) -> Metric:
    """Peer time over our time."""
    return lambda r, f, s: time_ratio(find(r.cases, f, s, peer), find(r.cases, f, s))


def time_vs(function: str, impl: str = "quarnel") -> Metric:
    """Our time over another function's (or implementation's) time on the same size."""
    return lambda r, f, s: time_ratio(find(r.cases, f, s), find(r.cases, function, s, impl))


def of_probe(threads: int | str | None = None) -> Metric:
    """Fraction of the bandwidth bound: the kernel's own probe, or one with 1 or "all"
    threads."""
    def metric(r: Results, f: str, s: str) -> float | None:
        ours = find(r.cases, f, s)
        n = r.max_threads if threads == "all" else threads
        return None if ours is None else r.of_probe(ours, n if isinstance(n, int) else None)
    return metric


def of_ceiling(r: Results, f: str, s: str) -> float | None:
    """Throughput as a fraction of the kernel's compute ceiling (inputs in L1)."""
    ours = find(r.cases, f, s)
    rate = r.ceilings.get(f)
    return None if ours is None or rate is None else ours.throughput / rate


def scaling_vs(serial: str, parallel: str, of_serial: str, of_parallel: str) -> Metric:
    """The parallel/serial speed-up of one kernel pair over that of another pair."""
    def metric(r: Results, f: str, s: str) -> float | None:
        mine = time_ratio(find(r.cases, serial, s), find(r.cases, parallel, s))
        theirs = time_ratio(find(r.cases, of_serial, s), find(r.cases, of_parallel, s))
        return None if mine is None or theirs is None else mine / theirs
    return metric


def memory_growth(r: Results, f: str, s: str) -> float | None:
    for m in r.mem:
        if m["function"] == f and m["size"] == s:
            return float(m["growth_beyond_result_kib"])
    return None


@dataclass(frozen=True)
class Target:
    function: str
    sizes: Callable[[Config], list[str]]
    text: str
    metric: Metric
    limit: float | None               # None: information only
    higher_is_better: bool = True
    needs_numba: bool = False
    unit: str = "x"
    label: Callable[[str], str] = size_label


def big(cfg: Config) -> list[str]:
    return [shape_key(s) for s in cfg.big_shapes]


def mid(cfg: Config) -> list[str]:
    return [str(cfg.mid_samples)]


TARGETS: list[Target] = [
    Target(TF, big, ">= 0.6 x bandwidth bound", of_probe(), 0.6),
    Target(TF, big, ">= 1.8 x Numba serial", speedup("numba njit"), 1.8, needs_numba=True),
    Target(TF, lambda c: [shape_key(c.cache_shape)], ">= 2 x Numba serial",
           speedup("numba njit"), 2.0, needs_numba=True,
           label=lambda s: size_label(s) + " (in cache)"),
    Target(TFP, big, ">= 0.85 x bandwidth bound", of_probe(1), 0.85),
    Target(TFP, big, ">= 1.8 x Numba prange", speedup("numba prange"), 1.8, needs_numba=True),
    Target(TFP, big, "(info) x all-thread bound", of_probe("all"), None),
    Target(TFP, lambda c: ["1x2"], "call time <= 1.5 x serial", time_vs(TF), 1.5,
           higher_is_better=False),
    Target(PDT, lambda c: [shape_key(c.pd_shape)], f"time <= 1.10 x {TF}", time_vs(TF), 1.10,
           higher_is_better=False),
    Target(PFS, lambda c: [str(c.mid_samples)], ">= 1.0 x NumPy mean+std",
           speedup("numpy mean+std"), 1.0),
    Target(PFS, lambda c: [str(c.big_samples)], ">= 1.5 x NumPy mean+std",
           speedup("numpy mean+std"), 1.5),
    Target(PFS, lambda c: ["1"], "call time <= 0.25 x numpy.mean",
           time_vs(PFS, "numpy.mean"), 0.25, higher_is_better=False,
           label=lambda s: "1 sample"),
    Target(PDC, lambda c: [str(c.mid_samples)], ">= 5 x NumPy expression", speedup("numpy"),
           5.0),
    Target(CFW, lambda c: [str(c.mid_samples)], ">= 0.9 x NumPy", speedup("numpy"), 0.9),
    Target(TF, lambda c: [shape_key(c.rss_shape)], "peak growth beyond result <= 1 MiB",
           memory_growth, 1024, higher_is_better=False, unit="KiB",
           label=lambda s: size_label(s) + " (memory)"),
    # The Greeks.
    Target(PGCW, mid, ">= 3 x NumPy temporaries", speedup("numpy"), 3.0),
    Target(PGCL, mid, ">= 3 x NumPy temporaries", speedup("numpy"), 3.0),
    Target(GWC, mid, "(info) x NumPy temporaries", speedup("numpy"), None),
    Target(GWT, big, f"time <= 3.5 x {TF}", time_vs(TF), 3.5, higher_is_better=False),
    Target(GWT, big, ">= 20 x NumPy reference recursion", speedup("numpy reference"), 20.0),
    Target(GWTP, big, "parallel speed-up >= 0.85 x first-order's",
           scaling_vs(GWT, GWTP, TF, TFP), 0.85),
    Target(GWT, big, "(info) x Numba serial", speedup("numba njit"), None),
    Target(GWTP, big, "(info) x Numba prange", speedup("numba prange"), None),
    Target(PGT, big, f"(info) time x {GWT}", time_vs(GWT), None),
    Target(PGT, big, "(info) x NumPy reference recursion", speedup("numpy reference"), None),
    Target(PGT, big, "(info) x Numba serial", speedup("numba njit"), None),
    Target(PGCW, mid, "(info) x Numba serial", speedup("numba njit"), None),
    Target(PGCL, mid, "(info) x Numba serial", speedup("numba njit"), None),
    Target(FUNCTION, lambda c: [shape_key(c.end_to_end_shape)], ">= 3 x straightforward",
           lambda r, f, s: time_ratio(find(r.cases, f, s, STRAIGHTFORWARD),
                                      find(r.cases, f, s, FAST)), 3.0),
    *[Target(f, sizes, "(info) x bandwidth bound", of_probe(), None)
      for f, sizes in ((GWT, big), (GWTP, big), (PGT, big), (GWC, mid), (PGCW, mid),
                       (PGCL, mid))],
    *[Target(f, sizes, "(info) x compute ceiling", of_ceiling, None)
      for f, sizes in ((GWT, big), (GWTP, big), (PGT, big), (GWC, mid), (PGCW, mid),
                       (PGCL, mid))],
]


def evaluate(r: Results, cfg: Config, targets: list[Target] = TARGETS) -> list[dict]:
    out: list[dict] = []
    for t in targets:
        for size in t.sizes(cfg):
            value = t.metric(r, t.function, size)
            if t.limit is None:
                if value is None:
                    continue
                status, measured = "INFO", f"{value:.2f}x"
            elif value is None:
                status = "SKIP" if t.needs_numba and not r.have_numba else "MISSING"
                measured = "numba not available" if status == "SKIP" else "not measured"
            else:
                ok = value >= t.limit if t.higher_is_better else value <= t.limit
                status = "PASS" if ok else "FAIL"
                measured = f"{value:.2f}{t.unit}" if t.unit == "x" else f"{value:.0f} {t.unit}"
            out.append({"function": t.function, "workload": t.label(size), "target": t.text,
                        "value": value, "limit": t.limit, "measured": measured,
                        "status": status})
    return out
