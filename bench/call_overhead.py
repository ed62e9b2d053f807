"""The cost of a call of the package's functions beside the native one, on a 1 x 2 batch
(one path of two steps), where the kernel's own work is next to nothing.

    python bench/call_overhead.py [--calls N] [--repeats R]

Rows: the native `_quarnel.bel_weights_tangent_flow` with its six arguments; the
package's `quarnel.bel_weights_tangent_flow` with the same (the positional form); its
batch form on a `PathBatch`; the positional form on arrays seen only through DLPack;
and `PathBatch(...)` itself, which checks the batch. Nanoseconds per call, the best of
the repeats of `calls` calls each (the minimum: the figure is a fixed cost, and a
neighbour's load only adds to it).
"""

from __future__ import annotations

import argparse
import timeit
from collections.abc import Callable
from typing import Any

import numpy as np

import _quarnel
import quarnel


class Exporter:
    """A CPU array of another library, as the package sees it: DLPack only."""

    def __init__(self, a: np.ndarray) -> None:
        self.a = a

    def __dlpack__(self, **kwargs: Any) -> Any:
        return self.a.__dlpack__(**kwargs)

    def __dlpack_device__(self) -> tuple[int, int]:
        return self.a.__dlpack_device__()


def best_ns(fn: Callable[[], object], calls: int, repeats: int) -> float:
    return min(timeit.repeat(fn, number=calls, repeat=repeats)) / calls * 1e9


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=100_000)
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()
    states, step = np.ones((1, 3)), np.full((1, 2), 0.5)
    fields = dict(states=states, dws=step, horizon=1.0, sigma=step, d_mu_dx=step,
                  d_sigma_dx=step)
    batch = quarnel.PathBatch(**fields)
    positional = (states, step, step, step, step, 1.0)
    exported = (Exporter(states), *(Exporter(step) for _ in range(4)), 1.0)
    rows = [
        ("native _quarnel.bel_weights_tangent_flow", lambda: _quarnel.bel_weights_tangent_flow(
            *positional)),
        ("quarnel.bel_weights_tangent_flow, positional",
         lambda: quarnel.bel_weights_tangent_flow(*positional)),
        ("quarnel.bel_weights_tangent_flow(batch)",
         lambda: quarnel.bel_weights_tangent_flow(batch)),
        ("quarnel.bel_weights_tangent_flow, DLPack arrays",
         lambda: quarnel.bel_weights_tangent_flow(*exported)),
        ("PathBatch(...)", lambda: quarnel.PathBatch(**fields)),
    ]
    calls = {name: args.calls // (10 if "DLPack" in name or "PathBatch(" in name else 1)
             for name, _ in rows}
    for name, fn in rows:
        print(f"{name:50} {best_ns(fn, calls[name], args.repeats):9.0f} ns")


if __name__ == "__main__":
    main()
