"""bench/throughput.png: throughput against batch size, with the probe's bounds."""

from __future__ import annotations

import os
from pathlib import Path

import quarnel as q

from .harness import Case
from .machine import cpu_model
from .report import size_key
from .workloads import KERNELS, TF

COLOURS = ["tab:blue", "tab:red", "tab:green", "tab:purple", "tab:orange", "tab:brown",
           "tab:pink", "tab:olive", "tab:cyan", "tab:gray"]
STYLES = {"quarnel": "-", "numpy": "--", "numpy mean+std": "--", "numpy reference": "--",
          "numba njit": ":", "numba prange": ":"}


def draw_chart(cases: list[Case], headline: list[dict], ceilings: dict[str, float],
               path: Path) -> bool:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib not importable: no chart drawn")
        return False

    # Colours numbered within each panel, so that no two kernels of a panel share one.
    colours: dict[str, str] = {}
    for family in dict.fromkeys(k.family for k in KERNELS):
        names = [k.name for k in KERNELS if k.family == family]
        colours.update({n: COLOURS[i % len(COLOURS)] for i, n in enumerate(names)})
    fig, (left, right) = plt.subplots(1, 2, figsize=(13, 9))
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
            ax.plot(xs, ys, STYLES.get(impl, "-."), color=colours[function],
                    marker="o" if ours else "x", linewidth=2.2 if ours else 1.3,
                    label=f"{function} ({impl})")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.grid(True, which="both", alpha=0.3)
    # The 16-stream probe out of cache, at 32 bytes per path-step.
    big = max((h["working_set_kib"] for h in headline), default=0)
    for h in headline:
        if h["pattern"] == "16 reads" and h["working_set_kib"] == big:
            left.axhline(h["gb_s"] * 1000 / 32, color="black" if h["threads"] == 1 else "grey",
                         linewidth=1, linestyle="-.",
                         label=f"memory bound, {h['threads']} thread(s) "
                               f"(16-stream probe {h['gb_s']:.0f} GB/s / 32 B)")
    if TF in ceilings:
        left.axhline(ceilings[TF] / 1e6, color=colours[TF], linewidth=1, linestyle=(0, (1, 3)),
                     label=f"compute ceiling, 1 thread ({TF} in L1)")
    left.set_xlabel("batch size (path-steps)")
    left.set_ylabel("throughput (million path-steps / s)")
    left.set_title("Path batches (tangent flow)")
    right.set_xlabel("batch size (samples)")
    right.set_ylabel("throughput (million samples / s)")
    right.set_title("One-dimensional estimators")
    # Below the axes: a dozen series would hide the curves inside them.
    for ax in (left, right):
        ax.legend(fontsize=7, loc="upper center", bbox_to_anchor=(0.5, -0.1), ncol=1)
    fig.suptitle(f"quarnel {q.__version__} on {cpu_model()}, {os.cpu_count()} cores "
                 "(solid: quarnel, dashed: NumPy, dotted: Numba)", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True
