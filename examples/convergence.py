"""Convergence of delta estimators: BEL weights against pathwise and finite differences.

Black-Scholes (zero rates), exact terminal sampling. For a call and for a digital call,
the delta is estimated on the first n of one set of samples, for growing n, by

- BEL weights: the mean of f(X_T) * W_T / (T sigma(X_0)), `price_and_delta_constant_flow`;
- pathwise (call): the mean of f'(X_T) dX_T/dx0, the default estimator of
  `price_and_greeks_constant_flow`;
- localised and centred (digital): the same function's default for digitals, the jump
  smoothed into a ramp taken pathwise, the rest by weights;
- central finite differences with common random numbers: the mean of
  (f(X_T(x0 + h)) - f(X_T(x0 - h))) / (2 h), both bumped paths driven by the same W_T.

On the call, pathwise and finite differences (which tend to pathwise as h shrinks) have
about a fifth of the weight's variance. On the digital the difference quotient is 0 on
almost every path and 1 / (2 h) on the few that cross the strike between the bumps: its
variance grows like 1 / h, while the weight never differentiates the payoff.

Saves a PNG (needs matplotlib, the `plot` extra) and prints the standard errors and the
variance ratios.

    python examples/convergence.py [--quick] [--max-paths N] [--bump H] [--strike K]
                                   [--horizon T] [--output FILE]
"""

from __future__ import annotations

import argparse
import math
from pathlib import Path

import numpy as np

import quarnel

X0, SIGMA, T, K = 1.0, 0.2, 1.0, 1.0
BEL = "BEL weights"
# Marker and colour per method, the same in every panel.
STYLE = {
    BEL: ("tab:blue", "o"),
    "pathwise": ("tab:green", "s"),
    "localised + centred": ("tab:green", "s"),
    "FD h": ("tab:orange", "^"),
    "FD h/10": ("tab:red", "v"),
}


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
    """For each payoff, method -> array of (delta, stderr) rows, one per size."""
    x_t = terminal(X0, w_t)
    out: dict[str, dict[str, np.ndarray]] = {}
    for name in ("call", "digital_call"):
        methods = out[name] = {}
        methods[BEL] = np.array(
            [quarnel.price_and_delta_constant_flow(x_t[:n], w_t[:n], T, SIGMA * X0, name,
                                                   K)[1::2] for n in sizes])
        lowest = [quarnel.price_and_greeks_constant_flow(x_t[:n], w_t[:n], T, X0, SIGMA, name, K)
                  for n in sizes]
        methods["pathwise" if name == "call" else "localised + centred"] = np.array(
            [(g.delta, g.delta_stderr) for g in lowest])
        for label, h in (("FD h", bump), ("FD h/10", bump / 10)):
            if name == "call" and label == "FD h/10":
                continue  # indistinguishable from pathwise: h hardly matters on a call
            fd = (payoff_of(name, terminal(X0 + h, w_t))
                  - payoff_of(name, terminal(X0 - h, w_t))) / (2.0 * h)
            methods[label] = np.array([quarnel.price_from_samples(fd[:n]) for n in sizes])
    return out


def variance_ratios(methods: dict[str, np.ndarray]) -> dict[str, float]:
    """Variance per path of each method over the weight's, at the largest size."""
    bel_se = methods[BEL][-1, 1]
    return {m: (rows[-1, 1] / bel_se) ** 2 for m, rows in methods.items() if m != BEL}


def label_of(method: str, bump: float) -> str:
    if method == "FD h":
        return f"central FD, h={bump:g}"
    if method == "FD h/10":
        return f"central FD, h={bump / 10:g}"
    return method


def plot(results, sizes: list[int], bump: float, output: Path) -> bool:
    try:
        import matplotlib
    except ImportError:
        print("matplotlib is not installed (pip install quarnel[plot]): no plot written")
        return False
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(2, 2, figsize=(12, 8.5), sharex=True, constrained_layout=True)
    n = np.array(sizes, dtype=float)
    for col, (name, methods) in enumerate(results.items()):
        exact = exact_delta(name)
        top, bottom = axes[0, col], axes[1, col]
        # Error bars: spread the methods along x, so that equal values stay side by side.
        # Standard errors: at their true n; a curve drawn later is thinner and dashed, so
        # one lying on another (pathwise and FD on the call) still shows.
        shifts = np.exp(np.linspace(-0.12, 0.12, len(methods)))
        for i, (shift, (method, rows)) in enumerate(zip(shifts, methods.items())):
            colour, marker = STYLE[method]
            delta, se = rows[:, 0], rows[:, 1]
            label = label_of(method, bump)
            top.errorbar(n * shift, delta - exact, yerr=2 * se, fmt=marker + "-", ms=4, lw=1,
                         capsize=2, color=colour, label=label)
            bottom.loglog(n, se, marker, ls="-" if i < 2 else "--", lw=2.5 if i < 2 else 1.2,
                          ms=8 if i < 2 else 4, color=colour, label=label,
                          markerfacecolor="none" if i < 2 else colour)
        top.axhline(0.0, color="black", lw=0.8, ls="--")
        title = name.replace("_", " ")
        top.set_title(f"{title}, K={K}: error of the estimate, ± 2 stderr")
        top.set_ylabel(f"delta − {exact:.4f} (closed form)")
        top.set_xscale("log")
        bottom.set_title(f"{title}: standard error (each falls as 1/√n)")
        bottom.set_ylabel("standard error")
        bottom.set_xlabel("number of paths n")
        bottom.legend(fontsize=8, loc="upper right")
        ratios = variance_ratios(methods)
        text = "variance / variance of BEL weights\n" + "\n".join(
            f"  {label_of(m, bump)}: {r:.3g}" for m, r in ratios.items())
        bottom.text(0.02, 0.03, text + f"\n(at n = {sizes[-1]:,})", transform=bottom.transAxes,
                    fontsize=8, va="bottom", ha="left",
                    bbox={"boxstyle": "round", "facecolor": "white", "alpha": 0.9})
    fig.suptitle(f"Black-Scholes delta, x0={X0}, sigma={SIGMA}, T={T}, exact sampling; "
                 "finite differences with common random numbers")
    fig.savefig(output, dpi=110)
    plt.close(fig)
    print(f"wrote {output}")
    return True


def main() -> None:
    global K, T
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="small batches, for smoke tests")
    ap.add_argument("--max-paths", type=int, default=None)
    ap.add_argument("--bump", type=float, default=0.01, help="finite-difference bump h")
    ap.add_argument("--strike", type=float, default=K)
    ap.add_argument("--horizon", type=float, default=T)
    ap.add_argument("--seed", type=int, default=11)
    ap.add_argument("--output", type=Path, default=Path("convergence.png"))
    args = ap.parse_args()
    K, T = args.strike, args.horizon
    max_paths = args.max_paths or (20_000 if args.quick else 2_000_000)
    sizes = sorted({int(round(v)) for v in np.geomspace(1000, max_paths, 11)})

    rng = np.random.default_rng(args.seed)
    w_t = math.sqrt(T) * rng.standard_normal(max_paths)
    results = study(w_t, sizes, args.bump)

    print(f"{'payoff':<13} {'method':<22} {'delta':>9} {'stderr':>9} {'exact':>9}  "
          f"at n={sizes[-1]}")
    for name, methods in results.items():
        for method, rows in methods.items():
            print(f"{name:<13} {label_of(method, args.bump):<22} {rows[-1, 0]:9.5f} "
                  f"{rows[-1, 1]:9.5f} {exact_delta(name):9.5f}")
        ratios = variance_ratios(methods)
        fd = ", ".join(f"{label_of(m, args.bump)[12:]} {r:.3g}" for m, r in ratios.items()
                       if m.startswith("FD"))
        other = next(m for m in ratios if not m.startswith("FD"))
        print(f"{'':<13} variance of FD / variance of BEL: {fd}")
        print(f"{'':<13} variance of {other} / variance of BEL: {ratios[other]:.3g}")
    plot(results, sizes, args.bump, args.output)


if __name__ == "__main__":
    main()
