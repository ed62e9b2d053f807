"""The path-dependent products against a careful NumPy version of the same estimators.

`python -m bench.paths [--quick]`: a down-and-out call under GBM with continuous
monitoring (the Brownian-bridge survival with its D, L, LL, LD and vega derivatives,
the default least-squares combination of the pathwise and weights samples) and an
arithmetic Asian call, both at 50 000 paths x 256 steps (quick: 5 000 x 64), C-ordered
and time-major. The NumPy versions loop over the steps and update every path at once,
computing the bridge only on the paths near the barrier, as a careful user would; their
results must agree with ours to rounding (NumPy's sums are pairwise, ours left to right).
"""

from __future__ import annotations

import argparse
import math
import time
from collections.abc import Callable
from typing import Any

import numpy as np

import quarnel as q

X0, K, H, VOL, MU, T = 100.0, 100.0, 90.0, 0.3, 0.05, 1.0


def gbm_batch(n: int, steps: int, seed: int = 7) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    dw = rng.standard_normal((n, steps)) * math.sqrt(T / steps)
    t = np.arange(1, steps + 1) * T / steps
    s = np.empty((n, steps + 1))
    s[:, 0] = X0
    s[:, 1:] = X0 * np.exp((MU - VOL * VOL / 2) * t + VOL * np.cumsum(dw, axis=1))
    return s, dw


def _regressed(y: np.ndarray, x1: np.ndarray, x2: np.ndarray) -> tuple[float, float]:
    """Mean and standard error of y less its least-squares fit on the controls."""
    xs = [x for x in (x1, x2) if x.var() > 2.0**-26 * np.mean(x * x)]
    z = y
    if xs:
        a = np.stack(xs, axis=1)
        a = a - a.mean(axis=0)
        beta = np.linalg.lstsq(a, y - y.mean(), rcond=None)[0]
        z = y - np.stack(xs, axis=1) @ beta
    return float(z.mean()), float(z.std() / math.sqrt(z.size))


def numpy_barrier(s: np.ndarray, dw: np.ndarray) -> list[float]:
    """Price, delta, gamma, vega of the continuously monitored down-and-out call."""
    n, steps = dw.shape
    dt = T / steps
    log_s = np.log(s)
    log_s[:, 0] = math.log(X0)
    la = log_s - math.log(H)  # distances to the barrier in log space
    c = VOL * VOL * dt
    q_ = 1.0 / c
    cv = 2.0 * dt * VOL
    w = np.zeros(n)
    surv = np.ones(n)
    sums = {k: np.zeros(n) for k in ("d", "l", "ll", "ld", "v", "p", "q")}
    for j in range(steps):
        a, b = la[:, j], la[:, j + 1]
        wn = w + dw[:, j]
        dead = (a <= 0.0) | (b <= 0.0)
        surv[dead] = 0.0
        z = 2.0 * a * b * q_
        near = np.flatnonzero(~dead & (z < 40.0) & (surv > 0.0))
        if near.size:
            an, bn, zn = a[near], b[near], z[near]
            e = np.exp(-zn)
            p = 1.0 - e
            r = e / p
            r2 = r / p
            gj, gn = (steps - j) / steps, (steps - j - 1) / steps
            d = 1.0 / X0
            ld = -1.0 / X0**2
            ad = {"d": d, "l": gj * d, "v": w[near] - VOL * j * dt, "p": w[near], "q": j / steps}
            bd = {"d": d, "l": gn * d, "v": wn[near] - VOL * (j + 1) * dt, "p": wn[near],
                  "q": (j + 1) / steps}
            cd = {"d": 0.0, "l": 0.0, "v": cv, "p": cv, "q": 0.0}
            zd = {k: 2.0 * (q_ * (ad[k] * bn + an * bd[k]) - an * bn * q_ * q_ * cd[k])
                  for k in ad}
            for k in ad:
                sums[k][near] += r * zd[k]
            zll = 2.0 * q_ * (gj * ld * bn + 2.0 * ad["l"] * bd["l"] + an * gn * ld)
            zld = 2.0 * q_ * (ld * bn + ad["l"] * bd["d"] + ad["d"] * bd["l"] + an * ld)
            sums["ll"][near] += r * zll - r2 * zd["l"] ** 2
            sums["ld"][near] += r * zld - r2 * zd["l"] * zd["d"]
            surv[near] *= p
        w = wn
    x = s[:, -1]
    y, hh, v = x / X0, -x / X0**2, x * (w - VOL * T)
    pi = w / (VOL * T * X0)
    pig = pi * pi - pi / X0 - 1.0 / (VOL * VOL * T * X0 * X0)
    piv = (w * w - T) / (VOL * T) - w
    da, la_, lda = surv * sums["d"], surv * sums["l"], surv * (sums["l"] * sums["d"] + sums["ld"])
    lla = surv * (sums["l"] ** 2 + sums["ll"])
    va, lva = surv * sums["v"], surv * (sums["p"] - w * sums["q"])
    f = np.maximum(x - K, 0.0)
    slope = (x > K) * 1.0
    price = f * surv
    pw = [slope * y * surv + f * da,
          slope * (y * surv * pi + hh * surv + y * la_) + f * (da * pi + lda),
          slope * v * surv + f * va]
    wt = [price * pi + f * la_, price * pig + f * (2.0 * la_ * pi + lla), price * piv + f * lva]
    out = [float(price.mean())]
    for i, weight in enumerate((pi, pig, piv)):
        out.append(_regressed(wt[i], wt[i] - pw[i], weight)[0])
    return out


def numpy_asian(s: np.ndarray, dw: np.ndarray) -> list[float]:
    """Price, delta, gamma, vega of the arithmetic Asian call on every grid date."""
    n, steps = dw.shape
    dt = T / steps
    w = np.cumsum(dw, axis=1)
    t = np.arange(1, steps + 1) * dt
    avg = s[:, 1:].mean(axis=1)
    vavg = (s[:, 1:] * (w - VOL * t)).mean(axis=1)
    # The weights of the first date, t1 = dt; the vega weight's tail over the later steps.
    w1 = dw[:, 0]
    pi1 = w1 / (VOL * dt * X0)
    pi1g = pi1 * pi1 - pi1 / X0 - 1.0 / (VOL * VOL * dt * X0 * X0)
    tail = ((dw[:, 1:] ** 2 - dt) / (VOL * dt) - dw[:, 1:]).sum(axis=1)
    piv1 = (w1 * w1 - dt) / (VOL * dt) - w1 + tail
    slope = (avg > K) * 1.0
    price = np.maximum(avg - K, 0.0)
    delta = slope * avg / X0
    pw = [delta, delta * (pi1 - 1.0 / X0), slope * vavg]
    out = [float(price.mean())]
    for p, weight in zip(pw, (pi1, pi1g, piv1), strict=True):
        wt = price * weight
        out.append(_regressed(wt, wt - p, weight)[0])
    return out


def _best(fn: Callable[[], Any], reps: int) -> tuple[float, Any]:
    best, out = math.inf, None
    for _ in range(reps):
        t = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t)
    return best, out


def measure(n: int, steps: int, reps: int = 3) -> list[dict[str, Any]]:
    s, dw = gbm_batch(n, steps)
    st, dwt = (np.ascontiguousarray(a.T).T for a in (s, dw))
    cases = [
        ("barrier (down-and-out call)", numpy_barrier,
         lambda a, b: q.price_and_greeks_barrier_gbm(a, b, T, X0, VOL, H, strike=K)),
        ("asian (arithmetic call)", numpy_asian,
         lambda a, b: q.price_and_greeks_asian_gbm(a, b, T, X0, VOL, strike=K)),
    ]
    rows = []
    for name, peer, ours in cases:
        t_np, ref = _best(lambda p=peer: p(s, dw), reps)
        for layout, (a, b) in (("C", (s, dw)), ("time-major", (st, dwt))):
            t_q, g = _best(lambda o=ours, a=a, b=b: o(a, b), reps)
            got = [g.price, g.delta, g.gamma, g.vega]
            agree = bool(np.allclose(got[:2], ref[:2], rtol=1e-6))
            rows.append({"product": name, "layout": layout, "paths": n, "steps": steps,
                         "numpy_s": t_np, "quarnel_s": t_q, "speedup": t_np / t_q,
                         "agrees": agree})
    return rows


def print_rows(rows: list[dict[str, Any]]) -> None:
    print("path products vs NumPy (same estimator; price and delta agree to 1e-6)")
    for r in rows:
        print(f"  {r['product']:<30} {r['layout']:<10} {r['paths']} x {r['steps']}: numpy "
              f"{r['numpy_s'] * 1e3:8.1f} ms, quarnel {r['quarnel_s'] * 1e3:7.1f} ms, "
              f"{r['speedup']:5.1f}x{'' if r['agrees'] else '  MISMATCH'}")


def _price_samples(plan: Any, s: np.ndarray, dw: np.ndarray, x0: float) -> np.ndarray:
    """Per-path price samples f(x) A of a barrier (A the survival) or f(A) of an Asian,
    from the kernel's rows on the states scaled to x0 (S_j is proportional to x0)."""
    r = plan.rows((s * (x0 / X0), dw), x0)
    x = r[:, 0]
    f = np.maximum(x - plan.strike, 0.0) if plan.payoff == "call" else (
        np.maximum(plan.strike - x, 0.0) if plan.payoff == "put" else (x > plan.strike) * 1.0)
    return f * r[:, 7] if plan.product.startswith("barrier") else f


def variance(n: int = 100_000, steps: int = 64) -> list[dict[str, Any]]:
    """Variance of the plain weights and of CRN central differences (bump 1% of x0) over
    the default estimator's, per Greek (finite differences: delta only)."""
    from quarnel import _paths

    s, dw = gbm_batch(n, steps, seed=3)
    cases = [("down-and-out call, H = 90", dict(barrier=90.0, direction="down")),
             ("up-and-out call, H = 130", dict(barrier=130.0, direction="up")),
             ("down-and-out digital, H = 90", dict(barrier=90.0, payoff="digital")),
             ("up-and-out put, H = 130", dict(barrier=130.0, direction="up", payoff="put"))]
    out = []
    for name, kw in cases:
        kw = {"strike": K, **kw}
        lv = q.price_and_greeks_barrier_gbm(s, dw, T, X0, VOL, **kw)
        w = q.price_and_greeks_barrier_gbm(s, dw, T, X0, VOL, estimator="weights", **kw)
        plan = _paths.barrier_plan("gbm", dw, T, VOL, kw.pop("barrier"),
                                   kw.pop("direction", "down"), "out", kw.pop("payoff", "call"),
                                   K, 0.0, None, "lowest_variance", None, None)
        h = 0.01 * X0
        fd = (_price_samples(plan, s, dw, X0 + h) - _price_samples(plan, s, dw, X0 - h)) / (2 * h)
        ratios = {g: (getattr(w, f"{g}_stderr") / getattr(lv, f"{g}_stderr")) ** 2
                  for g in ("delta", "gamma", "vega")}
        ratios["fd delta"] = fd.var() / n / lv.delta_stderr**2
        out.append({"product": name, **ratios})
    for payoff in ("call", "digital"):
        lv = q.price_and_greeks_asian_gbm(s, dw, T, X0, VOL, payoff=payoff, strike=K)
        w = q.price_and_greeks_asian_gbm(s, dw, T, X0, VOL, payoff=payoff, strike=K,
                                         estimator="weights")
        ratios = {g: (getattr(w, f"{g}_stderr") / getattr(lv, f"{g}_stderr")) ** 2
                  for g in ("delta", "gamma", "vega")}
        plan = _paths.asian_plan("gbm", dw, T, VOL, "arithmetic", payoff, K, None,
                                 "lowest_variance", None, None)
        h = 0.01 * X0
        fd = (_price_samples(plan, s, dw, X0 + h) - _price_samples(plan, s, dw, X0 - h)) / (2 * h)
        ratios["fd delta"] = fd.var() / n / lv.delta_stderr**2
        out.append({"product": f"arithmetic Asian {payoff}, all dates", **ratios})
    return out


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="bench.paths", description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="5 000 x 64 instead of 50 000 x 256")
    parser.add_argument("--variance", action="store_true",
                        help="print the variance ratios of the estimators instead")
    args = parser.parse_args(argv)
    if args.variance:
        print("variance of the plain weights / of CRN differences over the default estimator "
              f"(GBM, x0 = K = {X0}, vol = {VOL}, T = {T}, 100 000 paths x 64 steps)")
        for r in variance():
            print(f"  {r['product']:<36} weights: delta {r['delta']:6.2f} gamma {r['gamma']:6.2f}"
                  f" vega {r['vega']:6.2f}   CRN differences: delta {r['fd delta']:6.2f}")
        return 0
    rows = measure(*((5_000, 64) if args.quick else (50_000, 256)), reps=1 if args.quick else 3)
    print_rows(rows)
    return 0 if all(r["agrees"] for r in rows) else 1


if __name__ == "__main__":
    raise SystemExit(main())
