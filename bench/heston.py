"""Heston Greeks: quarnel.price_and_greeks_heston against the same recursions in NumPy and
against bump-and-reprice on the same paths.

    python bench/heston.py [--quick] [--paths N] [--steps M] [--repeats R]

At 50 000 x 256 (S0 = K = 100, v0 = theta = 0.04, kappa = 2, xi = 0.3, rho = -0.7,
mu = 0.03, T = 1, a call):

- NumPy, the same recursions: the scheme, the four variance tangents and their sums,
  vectorised across paths over time-major increments (each step reads one contiguous
  row, the fastest layout for NumPy), then the same per-path weights and sums. Its
  Greeks are checked against quarnel's to 1e-9 (NumPy's exp is not the library's).
- quarnel on the same arrays, C order and time-major (the transposed views), on the
  process's worker pool (RAYON_NUM_THREADS sets its size; the figure is printed).
- Bump-and-reprice: 13 NumPy price-only runs of the scheme on the same increments
  (central differences in s0, v0, kappa, theta, xi, rho, and gamma from the s0 pair),
  timed, with the variance of each difference from its per-path samples. The
  efficiency ratio is (variance x time) of bump-and-reprice over that of quarnel: how
  many times more paths the bumps need for the same error in the same time.
- One pass: price_and_greeks_heston_fused against simulate_heston followed by the
  stored call on its increments (checked equal bit for bit).
"""

from __future__ import annotations

import argparse
import math
import os
import statistics
import time
from collections.abc import Callable
from typing import Any

import numpy as np

import quarnel as q

S0, K, V0, KAPPA, THETA, XI, RHO, MU, T = 100.0, 100.0, 0.04, 2.0, 0.04, 0.3, -0.7, 0.03, 1.0
MODEL = (S0, V0, KAPPA, THETA, XI, RHO)
NAMES = ("price", "delta", "gamma", "vega", "kappa", "theta", "xi", "rho")


def numpy_greeks(db: np.ndarray, dz: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The kernel's recursions and pathwise call Greeks in NumPy; db, dz time-major
    (n_steps, n_paths). Returns price and the seven Greeks (means only), and v_T with its
    tangents in v0, kappa, theta, xi, which no exp touches: the kernel's bits."""
    n_steps, n = db.shape
    dt = T / n_steps
    d, qs, rs, gs = (np.zeros(n) for _ in range(4))
    tan = [np.ones(n), np.zeros(n), np.zeros(n), np.zeros(n)]
    tq, tr, tg = ([np.zeros(n) for _ in range(4)] for _ in range(3))
    kdt = KAPPA * dt
    for j in range(n_steps):
        b, z = db[j], dz[j]
        v = d + V0
        pos = v > 0.0
        vp = np.where(pos, v, 0.0)
        s = np.sqrt(vp)
        qm = pos.astype(float)
        h = (0.5 * qm) / (s + (1.0 - qm))
        a = (1.0 - kdt * qm) + (XI * b) * h
        drift = THETA - vp
        sb = s * b
        src = (None, drift * dt, kdt, sb)
        for p in range(4):
            qt = qm * tan[p]
            ds = h * tan[p]
            tq[p] += qt
            tr[p] += ds * b
            tg[p] += ds * z
            tan[p] = tan[p] * a if src[p] is None else tan[p] * a + src[p]
        qs += vp
        rs += sb
        gs += s * z
        d += (KAPPA * drift) * dt + (XI * s) * b
    c2 = 1.0 - RHO * RHO
    c = math.sqrt(c2)
    var = c2 * dt * qs
    cg = c * gs
    s_t = S0 * np.exp(((MU * T - 0.5 * dt * qs) + RHO * rs) + cg)
    z1 = cg / var
    slope = (s_t > K).astype(float)
    out = [np.maximum(s_t - K, 0.0), slope * s_t / S0,
           slope * s_t * (z1 - 1.0) / (S0 * S0)]
    for p in range(4):
        dx = (RHO * tr[p] - 0.5 * dt * tq[p]) + c * tg[p]
        out.append(slope * s_t * dx * (2.0 * math.sqrt(V0) if p == 0 else 1.0))
    out.append(slope * s_t * (rs - (RHO / c) * gs))
    return np.array([np.mean(x) for x in out]), np.stack([V0 + d, *tan], axis=1)


def numpy_payoffs(db: np.ndarray, dz: np.ndarray, s0: float, v0: float, kappa: float,
                  theta: float, xi: float, rho: float) -> np.ndarray:
    """Per-path S_T of the scheme alone (what one bumped run costs)."""
    n_steps, n = db.shape
    dt = T / n_steps
    c = math.sqrt(1.0 - rho * rho)
    v = np.full(n, v0)
    x = np.zeros(n)
    for j in range(n_steps):
        vp = np.maximum(v, 0.0)
        s = np.sqrt(vp)
        x += (MU - 0.5 * vp) * dt + s * (rho * db[j] + c * dz[j])
        v += kappa * (theta - vp) * dt + xi * s * db[j]
    return s0 * np.exp(x)


PAYOFFS: dict[str, Callable[[np.ndarray], np.ndarray]] = {
    "call": lambda s: np.maximum(s - K, 0.0),
    "digital": lambda s: (s > K).astype(float),
}


# Bumps per payoff: small ones for the call, whose differences are smooth; for the
# digital, whose difference on common numbers is nonzero only on paths near the strike,
# about 5 % of each parameter (a variance 1/h that small bumps make useless, for a bias
# that the table does not count against them).
BUMPS = {
    "call": {"delta": (0, 0.5), "vega": (1, 1e-3), "kappa": (2, 1e-3), "theta": (3, 1e-4),
             "xi": (4, 1e-3), "rho": (5, 1e-3)},
    "digital": {"delta": (0, 5.0), "vega": (1, 0.01), "kappa": (2, 0.1), "theta": (3, 0.002),
                "xi": (4, 0.015), "rho": (5, 0.05)},
}


def bump_and_reprice(db: np.ndarray, dz: np.ndarray,
                     payoff: str = "call") -> dict[str, np.ndarray]:
    """Per-path samples of every Greek by central differences on the same increments
    (vega in sqrt(v0)); 13 runs of the scheme."""
    f = PAYOFFS[payoff]
    base = f(numpy_payoffs(db, dz, *MODEL))
    out = {"price": base}
    for name, (i, h) in BUMPS[payoff].items():
        runs = []
        for e in (h, -h):
            m = list(MODEL)
            if name == "vega":
                m[1] = (math.sqrt(V0) + e) ** 2
            else:
                m[i] += e
            runs.append(f(numpy_payoffs(db, dz, *m)))
        out[name] = (runs[0] - runs[1]) / (2.0 * h)
        if name == "delta":
            out["gamma"] = (runs[0] - 2.0 * base + runs[1]) / (h * h)
    return out


def median_time(fn: Callable[[], Any], repeats: int,
                clock: Callable[[], float] = time.perf_counter) -> float:
    times = []
    for _ in range(repeats):
        t0 = clock()
        fn()
        times.append(clock() - t0)
    return statistics.median(times)


def main() -> None:
    ap = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="small batch, one repetition")
    ap.add_argument("--paths", type=int, default=None)
    ap.add_argument("--steps", type=int, default=None)
    ap.add_argument("--repeats", type=int, default=None)
    args = ap.parse_args()
    n = args.paths or (2000 if args.quick else 50_000)
    n_steps = args.steps or (16 if args.quick else 256)
    repeats = args.repeats or (1 if args.quick else 5)
    rng = np.random.default_rng(3)
    sq = math.sqrt(T / n_steps)
    db_tm = sq * rng.standard_normal((n_steps, n))  # time-major, as NumPy likes it
    dz_tm = sq * rng.standard_normal((n_steps, n))
    db_c, dz_c = np.ascontiguousarray(db_tm.T), np.ascontiguousarray(dz_tm.T)

    def ours(db: np.ndarray, dz: np.ndarray, estimator: str = "lowest_variance") -> Any:
        return q.price_and_greeks_heston(db, dz, T, *MODEL, "call", K, mu=MU,
                                         estimator=estimator)

    g = ours(db_c, dz_c)
    assert ours(db_tm.T, dz_tm.T) == g, "time-major and C order differ"
    ref, v_tangents = numpy_greeks(db_tm, dz_tm)
    np.testing.assert_allclose(ref, np.array(g[:8]), rtol=1e-9, atol=1e-12)
    t = q.tangents_heston(db_c, dz_c, T, *MODEL, mu=MU)
    assert np.array_equal(t[:, [1, 9, 10, 11, 12]], v_tangents), "v and its tangents differ"

    t_np = median_time(lambda: numpy_greeks(db_tm, dz_tm), max(1, repeats // 2))
    t_c = median_time(lambda: ours(db_c, dz_c), repeats)
    t_tm = median_time(lambda: ours(db_tm.T, dz_tm.T), repeats)
    threads = os.environ.get("RAYON_NUM_THREADS", f"all ({os.cpu_count()} cores)")
    print(f"Heston call Greeks, {n} paths x {n_steps} steps, pool threads: {threads}")
    print(f"  NumPy, same recursions (time-major): {t_np * 1e3:9.1f} ms")
    print(f"  quarnel, C order:                    {t_c * 1e3:9.1f} ms   {t_np / t_c:6.1f}x")
    print(f"  quarnel, time-major:                 {t_tm * 1e3:9.1f} ms   {t_np / t_tm:6.1f}x")
    # CPU time (all threads): the ratio per core, which a busy machine disturbs less.
    c_np = median_time(lambda: numpy_greeks(db_tm, dz_tm), max(1, repeats // 2), time.process_time)
    c_c = median_time(lambda: ours(db_c, dz_c), repeats, time.process_time)
    c_tm = median_time(lambda: ours(db_tm.T, dz_tm.T), repeats, time.process_time)
    print(f"  CPU time: NumPy {c_np * 1e3:.1f} ms, quarnel C order {c_c * 1e3:.1f} ms "
          f"({c_np / c_c:.1f}x), time-major {c_tm * 1e3:.1f} ms ({c_np / c_tm:.1f}x)")

    # One pass: the fused paths simulated and estimated with no increment stored, against
    # simulate_heston's increments and the stored call (the same Greeks bit for bit).
    model = q.models.Heston(s0=S0, v0=V0, kappa=KAPPA, theta=THETA, xi=XI, rho=RHO, mu=MU)

    def stored() -> Any:
        dw_v, dw_perp = q.simulate_heston(model, n, n_steps, T, 5)
        return q.price_and_greeks_heston(dw_v, dw_perp, T, *MODEL, "call", K, mu=MU)

    def fused() -> Any:
        return q.price_and_greeks_heston_fused(model, n, n_steps, T, 5, "call", K)

    assert repr(fused()) == repr(stored()), "the fused call and the stored call differ"
    t_st = median_time(stored, repeats)
    t_fu = median_time(fused, repeats)
    print(f"  simulate_heston + the stored call:   {t_st * 1e3:9.1f} ms")
    print(f"  price_and_greeks_heston_fused:       {t_fu * 1e3:9.1f} ms   {t_st / t_fu:6.2f}x")

    t_bump = median_time(lambda: bump_and_reprice(db_tm, dz_tm), max(1, repeats // 2))
    print(f"\n  bump-and-reprice (13 NumPy runs):    {t_bump * 1e3:9.1f} ms   "
          f"{t_bump / t_c:6.1f}x quarnel's time")
    for payoff in PAYOFFS:
        samples = bump_and_reprice(db_tm, dz_tm, payoff)
        gp = q.price_and_greeks_heston(db_c, dz_c, T, *MODEL, payoff, K, mu=MU)
        t_p = median_time(lambda p=payoff: q.price_and_greeks_heston(  # type: ignore[misc]
            db_c, dz_c, T, *MODEL, p, K, mu=MU), repeats)
        print(f"\n  {payoff:8s} {'quarnel':>11s} {'stderr':>9s} {'bumps':>11s} {'stderr':>9s} "
              f"{'(var x time) of bumps / of quarnel':>36s}")
        for i, name in enumerate(NAMES):
            s = samples[name]
            se_b = float(np.std(s) / math.sqrt(n))
            se = gp[8 + i]
            ratio = (se_b**2 * t_bump) / (se**2 * t_p) if se > 0 else math.nan
            print(f"  {name:8s} {gp[i]:11.5f} {se:9.5f} {np.mean(s):11.5f} {se_b:9.5f} "
                  f"{ratio:36.1f}")
    w = ours(db_c, dz_c, "weights")
    print("\n  call: variance of the weights over the default (pathwise) estimator: " + ", ".join(
        f"{name} {(w[8 + i] / g[8 + i]) ** 2:.1f}" for i, name in enumerate(NAMES) if i))

if __name__ == "__main__":
    main()
