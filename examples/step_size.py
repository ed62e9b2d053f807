"""How many Euler steps: the discretisation bias of price and delta, and the halving check.

Two models with a closed form, simulated by Euler on n steps for n = 4, 8, ..., and
estimated with `price_and_delta_tangent_flow`'s samples (f(X_n) and f(X_n) * weight):

- GBM, dX = s X dW (Black-Scholes with zero rates). The bias is measured against exact
  sampling driven by the same Brownian path (X_T = x0 exp(-s^2 T / 2 + s W_T)), whose
  mean is the closed form: the difference of the two has a small variance, so a small
  bias is resolved with few paths.
- Ornstein-Uhlenbeck, dX = kappa (theta - X) dt + s dW, against its closed form.

Every coarse grid is the finest grid's Brownian path with its increments summed in
groups, so est(n) - est(2n) is measured with common random numbers too: that is the
halving check, the one available when the model has no closed form. With a bias c / n,
est(n) - est(2n) = c / (2n), the bias left at 2n steps.

Paths are simulated and estimated in blocks, so memory stays bounded by the block.

    python examples/step_size.py [--quick] [--paths N] [--block B] [--seed S]
"""

from __future__ import annotations

import argparse
import math

import numpy as np

import quarnel

X0, K, T = 1.0, 1.0, 1.0
S_GBM = 0.2
KAPPA, THETA, S_OU = 1.5, 0.8, 0.3
K_OU = 0.85  # about the mean of X_T: at the money
PAYOFFS = ("call", "digital_call")


def norm_cdf(x: float) -> float:
    return 0.5 * math.erfc(-x / math.sqrt(2.0))


def norm_pdf(x: float) -> float:
    return math.exp(-0.5 * x * x) / math.sqrt(2.0 * math.pi)


def payoff_of(name: str, x: np.ndarray, k: float) -> np.ndarray:
    return np.maximum(x - k, 0.0) if name == "call" else (x > k).astype(np.float64)


def ou_exact(name: str) -> tuple[float, float]:
    """(price, delta) of the payoff on X_T ~ N(m, v^2) of the OU model."""
    decay = math.exp(-KAPPA * T)
    m = THETA + (X0 - THETA) * decay
    v = S_OU * math.sqrt((1.0 - decay * decay) / (2.0 * KAPPA))
    d = (m - K_OU) / v
    if name == "call":
        return (m - K_OU) * norm_cdf(d) + v * norm_pdf(d), decay * norm_cdf(d)
    return norm_cdf(d), decay * norm_pdf(d) / v


def euler_batch(model: str, dws: np.ndarray):
    """States and coefficient fields of an Euler batch driven by the increments dws."""
    n_paths, n = dws.shape
    dt = T / n
    states = np.empty((n_paths, n + 1))
    states[:, 0] = X0
    if model == "gbm":
        np.cumprod(1.0 + S_GBM * dws, axis=1, out=states[:, 1:])
        states[:, 1:] *= X0
        fields = (S_GBM * states[:, :-1], np.broadcast_to(0.0, dws.shape),
                  np.broadcast_to(S_GBM, dws.shape))
    else:
        for j in range(n):
            x = states[:, j]
            states[:, j + 1] = x + KAPPA * (THETA - x) * dt + S_OU * dws[:, j]
        fields = (np.broadcast_to(S_OU, dws.shape), np.broadcast_to(-KAPPA, dws.shape),
                  np.broadcast_to(0.0, dws.shape))
    return states, fields


def block_samples(model: str, fine: np.ndarray, ladder: list[int]):
    """Per-path (price, delta) samples of each payoff at each n, and of the reference:
    exact sampling on the same W_T for GBM, nothing (zeros) for OU."""
    out = {}
    k = K if model == "gbm" else K_OU
    for n in ladder:
        dws = fine.reshape(fine.shape[0], n, -1).sum(axis=2)
        states, fields = euler_batch(model, dws)
        w = quarnel.bel_weights_tangent_flow(states, dws, *fields, T)
        for name in PAYOFFS:
            f = payoff_of(name, states[:, -1], k)
            out[n, name] = (f, f * w)
    w_t = fine.sum(axis=1)
    for name in PAYOFFS:
        if model == "gbm":
            x_t = X0 * np.exp(-0.5 * S_GBM * S_GBM * T + S_GBM * w_t)
            f = payoff_of(name, x_t, k)
            out["ref", name] = (f, f * quarnel.bel_weights_constant_flow(w_t, T, S_GBM * X0))
        else:
            out["ref", name] = (np.zeros_like(w_t), np.zeros_like(w_t))
    return out


class Sums:
    """Running S1, S2 and count of per-path samples, to combine blocks."""

    def __init__(self) -> None:
        self.n, self.s1, self.s2 = 0, 0.0, 0.0

    def add(self, x: np.ndarray) -> None:
        self.n += x.size
        self.s1 += float(np.sum(x))
        self.s2 += float(np.sum(x * x))

    def mean_stderr(self) -> tuple[float, float]:
        mean = self.s1 / self.n
        return mean, math.sqrt(max(self.s2 / self.n - mean * mean, 0.0) / self.n)


def study(model: str, rng: np.random.Generator, n_paths: int, block: int, ladder: list[int]):
    """Bias against the closed form and the halving difference, as (mean, stderr)."""
    finest = ladder[-1]
    bias = {(n, name, i): Sums() for n in ladder for name in PAYOFFS for i in (0, 1)}
    halving = {(n, name, i): Sums() for n in ladder[:-1] for name in PAYOFFS for i in (0, 1)}
    for start in range(0, n_paths, block):
        rows = min(block, n_paths - start)
        fine = math.sqrt(T / finest) * rng.standard_normal((rows, finest))
        samples = block_samples(model, fine, ladder)
        for (n, name, i), acc in bias.items():
            acc.add(samples[n, name][i] - samples["ref", name][i])
        for (n, name, i), acc in halving.items():
            acc.add(samples[n, name][i] - samples[2 * n, name][i])
    if model == "gbm":
        v = S_GBM * math.sqrt(T)
        d1 = (math.log(X0 / K) + 0.5 * v * v) / v
        exact = {"call": (X0 * norm_cdf(d1) - K * norm_cdf(d1 - v), norm_cdf(d1)),
                 "digital_call": (norm_cdf(d1 - v), norm_pdf(d1 - v) / (X0 * v))}
    else:
        exact = {name: ou_exact(name) for name in PAYOFFS}
    # For OU the reference samples are 0: subtract the closed form from the mean.
    result = {}
    for key, acc in bias.items():
        mean, se = acc.mean_stderr()
        result[("bias", *key)] = (mean - (exact[key[1]][key[2]] if model == "ou" else 0.0), se)
    for key, acc in halving.items():
        result[("halving", *key)] = acc.mean_stderr()
    return result, exact


def report(title: str, result, exact, ladder: list[int]) -> None:
    print(f"\n{title}")
    for name in PAYOFFS:
        print(f"  {name}: closed form price {exact[name][0]:.5f}, delta {exact[name][1]:.5f}")
        print(f"  {'n':>5} {'price bias':>20} {'delta bias':>20}   "
              f"{'price(n)-price(2n)':>20} {'delta(n)-delta(2n)':>20}")
        for n in ladder:
            cells = [result["bias", n, name, i] for i in (0, 1)]
            if n != ladder[-1]:
                cells += [result["halving", n, name, i] for i in (0, 1)]
            print(f"  {n:>5} " + " ".join(f"{m:+10.5f} ±{se:8.5f}" for m, se in cells[:2])
                  + "   " + " ".join(f"{m:+10.5f} ±{se:8.5f}" for m, se in cells[2:]))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="small batches, for smoke tests")
    ap.add_argument("--paths", type=int, default=None)
    ap.add_argument("--block", type=int, default=10_000, help="paths simulated at a time")
    ap.add_argument("--finest", type=int, default=None, help="finest number of steps")
    ap.add_argument("--seed", type=int, default=5)
    args = ap.parse_args()
    n_paths = args.paths or (4_000 if args.quick else 200_000)
    finest = args.finest or (32 if args.quick else 256)
    ladder = [n for n in (4, 8, 16, 32, 64, 128, 256, 512, 1024) if n <= finest]
    rng = np.random.default_rng(args.seed)

    result, exact = study("gbm", rng, n_paths, args.block, ladder)
    report(f"GBM by Euler, x0={X0}, K={K}, s={S_GBM}, T={T}, {n_paths} paths "
           "(bias against exact sampling on the same Brownian paths)", result, exact, ladder)
    result, exact = study("ou", rng, n_paths, args.block, ladder)
    report(f"Ornstein-Uhlenbeck by Euler, kappa={KAPPA}, theta={THETA}, s={S_OU}, x0={X0}, "
           f"K={K_OU}, T={T}, {n_paths} paths (bias against the closed form)",
           result, exact, ladder)
    print("\nbias = E[estimate] - closed form; differences measured on common paths; "
          "± one standard error")


if __name__ == "__main__":
    main()
