"""Convergence of delta estimators: BEL weights against central finite differences.

Black-Scholes (zero rates), exact terminal sampling. For a call and for a digital call,
the delta is estimated on the first n of one set of samples, for growing n, by

- BEL: the mean of f(X_T) * W_T / (T sigma(X_0)), with `price_and_delta_constant_flow`;
- central finite differences with common random numbers: the mean of
  (f(X_T(x0 + h)) - f(X_T(x0 - h))) / (2 h), both bumped paths driven by the same W_T,
  for a bump h and for h / 10.

For the call the two are close (CRN differences are very good on a Lipschitz payoff).
For the digital the difference quotient is 0 on almost every path and 1 / (2 h) on the
few that cross the strike between the bumps: its variance grows like 1 / h, while the
BEL weight never differentiates the payoff and keeps its variance.

Saves a PNG (needs matplotlib, the `plot` extra) and prints the standard errors.

    python examples/convergence.py [--quick] [--max-paths N] [--bump H] [--output FILE]
"""

from __future__ import annotations

import argparse
import math
from pathlib import Path

import numpy as np

import _quarnel as q

X0, SIGMA, T, K = 1.0, 0.2, 1.0, 1.0


def norm_cdf(x: float) -> float:
    return 0.5 * math.erfc(-x / math.sqrt(2.0))


def exact_delta(payoff: str) -> float:
    v = SIGMA * math.sqrt(T)
    d1 = (math.log(X0 / K) + 0.5 * v * v) / v
    d2 = d1 - v
    if payoff == "call":
        return norm_cdf(d1)
    return math.exp(-0.5 * d2 * d2) / math.sqrt(2.0 * math.pi) / (X0 * v)


def terminal(x0: float, w_t: np.ndarray) -> np.ndarray:
    return x0 * np.exp(-0.5 * SIGMA * SIGMA * T + SIGMA * w_t)


def payoff_of(name: str, x: np.ndarray) -> np.ndarray:
    return np.maximum(x - K, 0.0) if name == "call" else (x > K).astype(np.float64)


def study(w_t: np.ndarray, sizes: list[int], bump: float) -> dict[str, dict[str, np.ndarray]]:
    """For each payoff and method, an array of (delta, stderr) rows, one per size."""
    x_t = terminal(X0, w_t)
    out: dict[str, dict[str, np.ndarray]] = {}
    for name in ("call", "digital_call"):
        bel = [q.price_and_delta_constant_flow(x_t[:n], w_t[:n], T, SIGMA * X0, name, K)[1::2]
               for n in sizes]
        out[name] = {"BEL weights": np.array(bel)}
        for h in (bump, bump / 10):
            fd = (payoff_of(name, terminal(X0 + h, w_t))
                  - payoff_of(name, terminal(X0 - h, w_t))) / (2.0 * h)
            out[name][f"central FD, h={h:g}"] = np.array(
                [q.price_from_samples(fd[:n]) for n in sizes])
    return out


def plot(results, sizes: list[int], output: Path) -> bool:
    try:
        import matplotlib
    except ImportError:
        print("matplotlib is not installed (pip install quarnel[plot]): no plot written")
        return False
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(2, 2, figsize=(11, 7.5), sharex=True, constrained_layout=True)
    n = np.array(sizes, dtype=float)
    colours = ["tab:blue", "tab:orange", "tab:red"]
    for col, (name, methods) in enumerate(results.items()):
        exact = exact_delta(name)
        top, bottom = axes[0, col], axes[1, col]
        for colour, (method, rows) in zip(colours, methods.items()):
            delta, se = rows[:, 0], rows[:, 1]
            top.plot(n, delta, "o-", ms=3, color=colour, label=method)
            top.fill_between(n, delta - 2 * se, delta + 2 * se, color=colour, alpha=0.2)
            bottom.loglog(n, se, "o-", ms=3, color=colour, label=method)
        top.axhline(exact, color="black", lw=1, ls="--", label=f"closed form {exact:.4f}")
        bottom.loglog(n, methods["BEL weights"][0, 1] * np.sqrt(n[0] / n), color="grey",
                      lw=0.8, ls=":", label=r"$\propto 1/\sqrt{n}$")
        top.set_title(f"{name.replace('_', ' ')}, K={K}: delta ± 2 stderr")
        bottom.set_title(f"{name.replace('_', ' ')}: standard error")
        top.set_xscale("log")
        bottom.set_xlabel("number of paths")
        top.legend(fontsize=8)
        bottom.legend(fontsize=8)
        lo, hi = exact - 0.15 * abs(exact), exact + 0.15 * abs(exact)
        top.set_ylim(lo, hi)
    fig.suptitle(f"Black-Scholes delta, x0={X0}, sigma={SIGMA}, T={T}: "
                 "BEL weights vs central finite differences (common random numbers)")
    fig.savefig(output, dpi=110)
    plt.close(fig)
    print(f"wrote {output}")
    return True


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="small batches, for smoke tests")
    ap.add_argument("--max-paths", type=int, default=None)
    ap.add_argument("--bump", type=float, default=0.01, help="finite-difference bump h")
    ap.add_argument("--seed", type=int, default=11)
    ap.add_argument("--output", type=Path, default=Path("convergence.png"))
    args = ap.parse_args()
    max_paths = args.max_paths or (20_000 if args.quick else 2_000_000)
    sizes = sorted({int(round(v)) for v in np.geomspace(1000, max_paths, 13)})

    rng = np.random.default_rng(args.seed)
    w_t = math.sqrt(T) * rng.standard_normal(max_paths)
    results = study(w_t, sizes, args.bump)

    print(f"{'payoff':<13} {'method':<22} {'delta':>9} {'stderr':>9} {'exact':>9}  "
          f"at n={sizes[-1]}")
    for name, methods in results.items():
        for method, rows in methods.items():
            print(f"{name:<13} {method:<22} {rows[-1, 0]:9.5f} {rows[-1, 1]:9.5f} "
                  f"{exact_delta(name):9.5f}")
        bel, *fds = (rows[-1, 1] for rows in methods.values())
        ratios = ", ".join(f"{(fd / bel) ** 2:.2f}" for fd in fds)
        print(f"{'':<13} variance of FD / variance of BEL: {ratios}")
    plot(results, sizes, args.output)


if __name__ == "__main__":
    main()
