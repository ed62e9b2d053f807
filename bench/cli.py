"""The run: flags, the order of the measurements, the output files."""

from __future__ import annotations

import argparse
import gc
import json
import sys
import time
import warnings
from dataclasses import replace
from pathlib import Path
from typing import Any

import quarnel as q

from . import __doc__ as PACKAGE_DOC
from . import harness
from . import paths as path_products
from .basket import basket_speed, print_basket
from .chart import draw_chart
from .config import FULL, QUICK, Config
from .end_to_end import measure_job, print_job
from .harness import Case, measure
from .machine import available_cores, machine_info, pool_threads_started
from .memory import rss_probe
from .probe import Probe, headline, matching_cases
from .report import (
    case_record,
    print_ceilings,
    print_memory,
    print_probe,
    print_table,
    print_targets,
)
from .targets import Results, evaluate
from .variance import print_variance, variance_ratios
from .workloads import (
    PATHS,
    SAMPLES,
    ceiling_cases,
    ceilings,
    need_of,
    overhead_cases,
    size_key,
    size_label,
    workload_cases,
)

HERE = Path(__file__).resolve().parent


def load_numba(disabled: bool) -> Any:
    if disabled:
        print("numba disabled (--no-numba): Numba peers skipped")
        return None
    try:
        from . import peers_numba
    except ImportError as exc:
        print(f"numba not importable ({exc}): Numba peers skipped")
        return None
    return peers_numba


def measure_workload(family: str, size: tuple[int, int] | int, nb: Any, probe: Probe,
                     cfg: Config) -> tuple[list[Case], list[Case]]:
    """One workload's kernels, peers and matching probes, timed together."""
    cases = workload_cases(family, size, nb)
    needs = [n for n in (need_of(c, probe.max_threads) for c in cases) if n is not None]
    probes = matching_cases(probe, needs)
    measure(cases + probes, cfg)
    gc.collect()
    print(f"  measured {size_label(size_key(family, size))} "
          f"{'path-steps' if family == PATHS else 'samples'}", flush=True)
    return cases, probes


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="bench", description=(PACKAGE_DOC or "").split("\n\n")[0])
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
    # The parallel kernel's probe runs on as many threads as the pool has.
    threads = pool if pool > 0 else available_cores()
    probe = Probe(threads)

    print(f"quarnel {q.__version__} benchmark ({'quick' if cfg.quick else 'full'} run)")
    print(f"machine: {machine['cpu']}, {machine['cores']} cores "
          f"({machine['cores_available']} available), L1d {machine['l1d']}, L2 "
          f"{machine['l2']} per core, L3 {machine['l3']}, flags {' '.join(machine['cpu_flags'])}")
    nb_text = "absent"
    if numba_info:
        nb_text = (f"{numba_info['version']} ({numba_info['threads']} threads, "
                   f"{numba_info['threading_layer']})")
    print(f"python {machine['python']}, numpy {machine['numpy']}, numba {nb_text}, quarnel "
          f"pool {pool} worker threads (RAYON_NUM_THREADS={machine['rayon_num_threads']}), "
          f"load average {machine['load_average']}")
    print(f"module: {q.__file__}")
    if machine["load_average"][0] > 0.5:
        print(f"warning: the machine is busy (load {machine['load_average'][0]}); "
              "ratios hold up better than absolute figures")
    print(flush=True)

    probe_table = headline(probe, cfg)
    print_probe(probe_table, probe.how, probe.native)
    print(flush=True)
    cases: list[Case] = []
    probes: list[Case] = []
    for shape in cfg.tangent_shapes:
        group, matching = measure_workload(PATHS, shape, nb, probe, cfg)
        cases += group
        probes += matching
    group = overhead_cases()
    measure(group, cfg)
    cases += group
    for n in cfg.sample_sizes:
        group, matching = measure_workload(SAMPLES, n, nb, probe, cfg)
        cases += group
        probes += matching
    job = measure_job(cfg)
    if job is not None:
        cases += job.pop("cases")
    ratios = variance_ratios(cfg)
    baskets = basket_speed(cfg)
    path_rows = path_products.measure(*((5_000, 64) if cfg.quick else (50_000, 256)),
                                      reps=1 if cfg.quick else 3)
    ceiling_group = ceiling_cases()
    # Small calls, differenced: more and longer repetitions than the quick run's.
    measure(ceiling_group, replace(cfg, reps=max(cfg.reps, 7), min_rep_s=max(cfg.min_rep_s,
                                                                              0.02)))
    ceiling_rates = ceilings(ceiling_group, threads)
    mem = rss_probe(cfg)
    elapsed = time.perf_counter() - started

    results = Results(cases, probes, mem, threads, nb is not None, ceiling_rates)
    print()
    print_table(results, ceiling_rates)
    print()
    print_ceilings(ceiling_rates, threads)
    print()
    print("peak RSS of a fresh process with one call vs without it "
          "(inputs and a warm-up call in both)")
    print_memory(mem)
    print()
    print_job(job)
    print()
    print_variance(ratios)
    print()
    print_basket(baskets)
    path_products.print_rows(path_rows)
    print()
    targets = evaluate(results, cfg)
    print_targets(targets, cfg.quick)

    chart = None
    if not (cfg.quick or args.no_chart) and draw_chart(cases, probe_table, ceiling_rates,
                                                          args.chart):
        chart = str(args.chart)
    out_of_cache = [h for h in probe_table
                    if h["pattern"] == "16 reads" and h["working_set_kib"] == max(
                        x["working_set_kib"] for x in probe_table)]
    record = {
        "quick": cfg.quick,
        "machine": machine,
        "bandwidth": {
            **probe.describe(),
            "threads": threads,
            "gb_s_one_thread": next((h["gb_s"] for h in out_of_cache if h["threads"] == 1),
                                    None),
            "gb_s_all_threads": next((h["gb_s"] for h in out_of_cache
                                      if h["threads"] == threads), None),
            "headline": probe_table,
            "matching": [case_record(c) for c in probes],
        },
        "ceilings_per_s": ceiling_rates,
        "results": [case_record(c, results, ceiling_rates) for c in cases],
        "memory": mem,
        "end_to_end": job,
        "variance_ratios": ratios,
        "basket": baskets,
        "path_products": path_rows,
        "targets": targets,
        "mismatches": harness.MISMATCHES,
        "chart": chart,
        "elapsed_s": round(elapsed, 1),
    }
    json_path.write_text(json.dumps(record, indent=1) + "\n")
    print(f"\nfigures written to {json_path}" + (f", chart to {chart}" if chart else "")
          + f" ({elapsed:.0f} s)")
    if harness.MISMATCHES:
        print(f"\n!!! {len(harness.MISMATCHES)} result MISMATCH(ES) against our kernels:",
              file=sys.stderr)
        for m in harness.MISMATCHES:
            print(f"!!!   {m}", file=sys.stderr)
        return 1
    return 0
