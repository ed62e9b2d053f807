"""Local volatility on a 50 x 50 (time, state) grid: the fused call against the best
NumPy recipe for the same job, price, delta, gamma and vega, in one run.

    python -m bench.local_vol [--paths N] [--steps M] [--repeat R]

The NumPy recipe simulates time-major (each step one vectorised pass over the paths:
`searchsorted` into the states, the natural spline of the two bracketing time nodes
and their blend, its x derivatives, the Euler step), stores the fields, and hands them
to `quarnel.price_and_greeks_tangent_flow`: quarnel's own estimator, so the recipe's
only cost beyond the fused call is NumPy's simulation and the stored batch. The two use
different normals; their estimates agree within their standard errors.
"""

from __future__ import annotations

import argparse
import math
import time

import numpy as np

import quarnel
from quarnel.models import LocalVol

X0, MU, T, STRIKE = 1.0, 0.02, 1.0, 1.0
TIMES = np.linspace(0.0, T, 50)
STATES = np.linspace(0.2, 3.0, 50)
_TT, _SS = np.meshgrid(TIMES, STATES, indexing="ij")
VOLS = 0.18 + 0.12 * (1.0 - _SS) ** 2 / (1.0 + 2.0 * _TT)


def spline_curvatures(states: np.ndarray, vols: np.ndarray) -> np.ndarray:
    """The natural spline's second derivatives of every time's row (Thomas algorithm)."""
    h = np.diff(states)
    n = states.size
    m = np.zeros_like(vols)
    c, r = np.zeros(n), np.zeros((vols.shape[0], n))
    for k in range(1, n - 1):
        rhs = 6.0 * ((vols[:, k + 1] - vols[:, k]) / h[k]
                     - (vols[:, k] - vols[:, k - 1]) / h[k - 1])
        diag = 2.0 * (h[k - 1] + h[k]) - h[k - 1] * c[k - 1]
        c[k] = h[k] / diag
        r[:, k] = (rhs - h[k - 1] * r[:, k - 1]) / diag
    for k in range(n - 2, 0, -1):
        m[:, k] = r[:, k] - c[k] * m[:, k + 1]
    return m


def numpy_recipe(n_paths: int, n_steps: int, seed: int) -> quarnel.Greeks:
    rng = np.random.Generator(np.random.SFC64(seed))
    dt = T / n_steps
    curv = spline_curvatures(STATES, VOLS)
    h = np.diff(STATES)
    fields = {k: np.empty((n_steps, n_paths)) for k in ("dws", "sigma", "sp", "spp")}
    states = np.empty((n_steps + 1, n_paths))
    states[0] = X0
    x = states[0]
    for j in range(n_steps):
        t = j * dt
        i = min(int(np.searchsorted(TIMES, t, side="right")) - 1, TIMES.size - 2)
        w = (t - TIMES[i]) / (TIMES[i + 1] - TIMES[i])
        xc = np.clip(x, STATES[0], STATES[-1])
        k = np.clip(np.searchsorted(STATES, xc, side="right") - 1, 0, STATES.size - 2)
        hk = h[k]
        a = (STATES[k + 1] - xc) / hk
        b = 1.0 - a
        out = []
        for row in (i, i + 1):
            y0, y1, m0, m1 = VOLS[row, k], VOLS[row, k + 1], curv[row, k], curv[row, k + 1]
            s = a * y0 + b * y1 + ((a**3 - a) * m0 + (b**3 - b) * m1) * hk * hk / 6.0
            ds = (y1 - y0) / hk - ((3 * a * a - 1) * m0 - (3 * b * b - 1) * m1) * hk / 6.0
            dds = a * m0 + b * m1
            outside = xc != x
            out.append((s + ds * (x - xc), ds, np.where(outside, 0.0, dds)))
        sig, dsig, ddsig = ((1 - w) * lo + w * hi for lo, hi in zip(*out))
        dw = rng.standard_normal(n_paths) * math.sqrt(dt)
        fields["dws"][j], fields["sigma"][j] = dw, sig * x
        fields["sp"][j], fields["spp"][j] = dsig * x + sig, ddsig * x + 2.0 * dsig
        x = states[j + 1] = x + MU * x * dt + sig * x * dw
    mu_x = np.broadcast_to(np.float64(MU), (n_steps, n_paths))
    zero = np.broadcast_to(np.float64(0.0), (n_steps, n_paths))
    return quarnel.price_and_greeks_tangent_flow(
        states.T, fields["dws"].T, fields["sigma"].T, mu_x.T, fields["sp"].T, zero.T,
        fields["spp"].T, T, "call", STRIKE, vol=1.0)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--paths", type=int, default=50_000)
    ap.add_argument("--steps", type=int, default=128)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    model = LocalVol(x0=X0, times=TIMES, states=STATES, vols=VOLS, mu=MU)
    best = {"numpy": math.inf, "fused": math.inf}
    for _ in range(args.repeat):  # interleaved: a busy machine slows both alike
        t0 = time.perf_counter()
        ref = numpy_recipe(args.paths, args.steps, 5)
        best["numpy"] = min(best["numpy"], time.perf_counter() - t0)
        t0 = time.perf_counter()
        got = quarnel.price_and_greeks_fused(model, args.paths, args.steps, T, 5, "call", STRIKE)
        best["fused"] = min(best["fused"], time.perf_counter() - t0)
    print(f"local vol on a {TIMES.size} x {STATES.size} grid, {args.paths} paths x "
          f"{args.steps} steps, best of {args.repeat}")
    for name, t in best.items():
        print(f"  {name:6s} {t * 1e3:8.1f} ms")
    print(f"  fused / NumPy recipe: {best['numpy'] / best['fused']:.1f}x faster (target 5)")
    for field in ("price", "delta", "gamma", "vega"):
        a, b = getattr(ref, field), getattr(got, field)
        se = math.hypot(getattr(ref, field + "_stderr"), getattr(got, field + "_stderr"))
        print(f"  {field:5s} recipe {a:.5f} fused {b:.5f} ({(b - a) / se:+.1f} SE)")


if __name__ == "__main__":
    main()
