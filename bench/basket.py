"""Greeks of a basket call on d correlated assets (d = 2, 5, 10) at 10^6 paths: quarnel's
`price_and_greeks_basket` (default estimator: pathwise deltas and vegas, pathwise-times-
weight gammas) against the same estimator written with care in NumPy (vectorised over
paths, in chunks that stay in cache, only the upper triangle of the gamma matrix).

`python -m bench.basket [--quick]` prints the table; the full benchmark run prints it too.
"""

from __future__ import annotations

import math
import sys
import time
from typing import Any

import numpy as np

import quarnel as q

from .config import Config

HORIZON = 1.0
STRIKE = 100.0
CHUNK = 1 << 16


def batch(n: int, d: int, seed: int = 11) -> dict[str, Any]:
    rng = np.random.default_rng(seed)
    corr = np.full((d, d), 0.4) + 0.6 * np.eye(d)
    vols = np.linspace(0.15, 0.35, d)
    x0 = np.linspace(90.0, 110.0, d)
    w = rng.standard_normal((n, d)) * math.sqrt(HORIZON)
    x = x0 * np.exp(-0.5 * vols**2 * HORIZON + (w @ np.linalg.cholesky(corr).T) * vols)
    return {"x": x, "w": w, "x0": x0, "vols": vols, "corr": corr,
            "weights": np.full(d, 1.0 / d)}


def numpy_basket(x: np.ndarray, w: np.ndarray, x0: np.ndarray, vols: np.ndarray,
                 corr: np.ndarray, weights: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Means and standard errors of [price, delta, gamma upper triangle, vega]."""
    n, d = x.shape
    chol = np.linalg.cholesky(corr)
    g_map = np.linalg.inv(chol) / (HORIZON * vols)  # rows of W @ g_map are g
    iu, ju = np.triu_indices(d)
    diag = iu == ju
    s1 = np.zeros(1 + 2 * d + len(iu))
    s2 = np.zeros_like(s1)
    for start in range(0, n, CHUNK):
        xs, ws = x[start:start + CHUNK], w[start:start + CHUNK]
        p = (ws @ g_map) / x0
        level = xs @ weights
        itm = level > STRIKE
        phi = (itm[:, None] * weights) * (xs / x0)
        gamma = 0.5 * (phi[:, iu] * p[:, ju] + phi[:, ju] * p[:, iu])
        gamma[:, diag] -= phi / x0
        vega = (itm[:, None] * weights) * xs * (ws @ chol.T - vols * HORIZON)
        samples = np.column_stack([np.where(itm, level - STRIKE, 0.0), phi, gamma, vega])
        s1 += samples.sum(axis=0)
        s2 += np.einsum("ij,ij->j", samples, samples)
    mean = s1 / n
    return mean, np.sqrt(np.maximum(s2 / n - mean * mean, 0.0) / n)


def quarnel_basket(b: dict[str, Any]) -> q.BasketGreeks:
    return q.price_and_greeks_basket(b["x"], b["w"], b["x0"], b["vols"], b["corr"], HORIZON,
                                     "call", STRIKE, weights=b["weights"])


def best_of(fn: Any, reps: int) -> float:
    times = []
    for _ in range(reps):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def basket_speed(cfg: Config) -> list[dict]:
    n = 20_000 if cfg.quick else 1_000_000
    reps = 2 if cfg.quick else 5
    rows = []
    for d in (2, 5) if cfg.quick else (2, 5, 10):
        b = batch(n, d)
        ours = quarnel_basket(b)
        mean, _ = numpy_basket(b["x"], b["w"], b["x0"], b["vols"], b["corr"], b["weights"])
        iu, ju = np.triu_indices(d)
        agree = bool(np.allclose(ours.delta, mean[1:1 + d], rtol=1e-9, atol=1e-12)
                     and np.allclose(ours.gamma[iu, ju], mean[1 + d:1 + d + len(iu)],
                                     rtol=1e-8, atol=1e-12))
        t_q = best_of(lambda b=b: quarnel_basket(b), reps)
        t_np = best_of(lambda b=b: numpy_basket(b["x"], b["w"], b["x0"], b["vols"], b["corr"],
                                                b["weights"]), reps)
        rows.append({"d": d, "paths": n, "quarnel_s": t_q, "numpy_s": t_np,
                     "speedup": t_np / t_q, "agree": agree})
    return rows


def print_basket(rows: list[dict]) -> None:
    print("basket call Greeks (price, delta vector, gamma matrix, vega vector with errors)")
    print(f"{'d':>3} {'paths':>9} {'quarnel s':>10} {'numpy s':>9} {'speed-up':>9}  agree")
    for r in rows:
        print(f"{r['d']:>3} {r['paths']:>9} {r['quarnel_s']:>10.4f} {r['numpy_s']:>9.4f} "
              f"{r['speedup']:>8.1f}x  {r['agree']}")


if __name__ == "__main__":
    from .config import FULL, QUICK

    print_basket(basket_speed(QUICK if "--quick" in sys.argv else FULL))
