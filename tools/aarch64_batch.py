"""A fixed batch through every function of _quarnel, for comparing two machines.

    python aarch64_batch.py inputs DIR    # write the input arrays (on one machine only)
    python aarch64_batch.py outputs IN OUT  # run every call on IN, one .npy per result
    python aarch64_batch.py compare A B     # the results of two machines, bit for bit

Only NumPy and _quarnel are needed, so the same file runs on the host and inside the
emulated root. The inputs are made once and copied, never regenerated on the other
side, so the comparison does not depend on either machine's random generator or libm.
Every result is a float64 array (tuples become arrays): comparing the files' bytes
compares the results bit for bit.
"""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np

N_PATHS, N_STEPS = 3001, 48


def make_inputs(out: Path) -> None:
    out.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(20261208)
    T, s, kappa, theta, x0 = 1.25, 0.3, 1.5, 0.8, 1.0
    dt = T / N_STEPS
    dws = np.sqrt(dt) * rng.standard_normal((N_PATHS, N_STEPS))
    # A local-volatility model, so every field varies along the path.
    states = np.empty((N_PATHS, N_STEPS + 1))
    states[:, 0] = x0
    for j in range(N_STEPS):
        x = states[:, j]
        states[:, j + 1] = x + kappa * (theta - x) * dt + s * np.sqrt(np.abs(x) + 0.1) * dws[:, j]
    base = np.abs(states[:, :-1]) + 0.1
    arrays = {
        "states": states,
        "dws": dws,
        "sigma": s * np.sqrt(base),
        "d_mu_dx": np.full_like(dws, -kappa),
        "d_sigma_dx": 0.5 * s / np.sqrt(base) * np.sign(states[:, :-1]),
        "w_terminals": np.sqrt(T) * rng.standard_normal(50_001),
        "samples": rng.standard_normal(40_000) * 3.0 + 1.0,
    }
    arrays["terminal_states"] = x0 * np.exp(-0.5 * s * s * T + s * arrays["w_terminals"])
    # Values that test the payoffs' edges: signed zeros, NaN and infinities, subnormals.
    specials = np.array([0.0, -0.0, np.nan, np.inf, -np.inf, 5e-324, -5e-324, 1.0, 1e308,
                         -1e308, 0.9999999999999999, 1.0000000000000002])
    arrays["special_states"] = np.resize(specials, 600)
    arrays["special_w"] = np.resize(specials[::-1], 600)
    np.savez(out / "inputs.npz", T=np.array(T), s=np.array(s), **arrays)


def run_all(inputs: Path, out: Path) -> int:
    import _quarnel as q

    out.mkdir(parents=True, exist_ok=True)
    a = dict(np.load(inputs / "inputs.npz"))
    T, s = float(a["T"]), float(a["s"])
    fields = (a["states"], a["dws"], a["sigma"], a["d_mu_dx"], a["d_sigma_dx"])
    # The same batch in other layouts: Fortran order, reversed rows, a broadcast field.
    fortran = tuple(np.asfortranarray(f) for f in fields)
    reversed_rows = tuple(f[::-1] for f in fields)
    broadcast = fields[:3] + (np.broadcast_to(-1.5, fields[1].shape), fields[4])
    results: dict[str, object] = {}

    results["price_from_samples"] = q.price_from_samples(a["samples"])
    results["price_from_samples_strided"] = q.price_from_samples(a["samples"][::-3])
    results["price_from_samples_specials"] = q.price_from_samples(a["special_states"])
    results["bel_weights_constant_flow"] = q.bel_weights_constant_flow(a["w_terminals"], T, s)
    for name, batch in (("c", fields), ("f", fortran), ("r", reversed_rows), ("b", broadcast)):
        results[f"bel_weights_tangent_flow_{name}"] = q.bel_weights_tangent_flow(*batch, T)
        results[f"bel_weights_tangent_flow_parallel_{name}"] = (
            q.bel_weights_tangent_flow_parallel(*batch, T))
    for payoff, strike in (("identity", 0.0), ("call", 1.05), ("put", 0.95),
                           ("digital_call", 1.0)):
        results[f"price_and_delta_constant_flow_{payoff}"] = q.price_and_delta_constant_flow(
            a["terminal_states"], a["w_terminals"], T, s, payoff, strike=strike)
        results[f"price_and_delta_constant_flow_specials_{payoff}"] = (
            q.price_and_delta_constant_flow(a["special_states"], a["special_w"], T, s, payoff,
                                            strike=strike))
        results[f"price_and_delta_tangent_flow_{payoff}"] = q.price_and_delta_tangent_flow(
            *fields, T, payoff, strike=strike)
        results[f"price_and_delta_tangent_flow_f_{payoff}"] = q.price_and_delta_tangent_flow(
            *fortran, T, payoff, strike=strike)

    for name, value in results.items():
        np.save(out / f"{name}.npy", np.asarray(value, dtype=np.float64))
    print(f"{len(results)} results written to {out}")
    return 0


def same_up_to_nan(a: np.ndarray, b: np.ndarray) -> bool:
    nan_a, nan_b = np.isnan(a), np.isnan(b)
    return bool(a.shape == b.shape and np.array_equal(nan_a, nan_b) and
                a[~nan_a].tobytes() == b[~nan_b].tobytes())


def compare(first: Path, second: Path) -> int:
    """0 when every result is the same bits on both sides, but for the sign or payload of
    NaNs the arithmetic creates (inf - inf, 0 * inf): IEEE 754 leaves those open, and
    x86 makes them negative where Arm makes them positive."""
    names = sorted(p.name for p in first.glob("*.npy"))
    if not names or names != sorted(p.name for p in second.glob("*.npy")):
        print(f"FAILED: the result sets of {first} and {second} differ")
        return 1
    exact, nan_bits, different = [], [], []
    for name in names:
        a, b = np.load(first / name), np.load(second / name)
        if a.shape == b.shape and a.tobytes() == b.tobytes():
            exact.append(name)
        elif same_up_to_nan(a, b):
            nan_bits.append(name)
        else:
            different.append(name)
    values = sum(np.load(first / n).size for n in names)
    print(f"{len(names)} results, {values} float64 values, from the six functions: "
          f"{len(exact)} identical bit for bit, {len(nan_bits)} identical but for the "
          f"sign or payload of created NaNs, {len(different)} different")
    for name in nan_bits:
        print(f"  NaN bits only: {name[:-4]}")
    for name in different:
        a, b = np.load(first / name), np.load(second / name)
        print(f"  DIFFERENT: {name[:-4]}: {a.ravel()[:4]} vs {b.ravel()[:4]}")
    return 1 if different else 0


def main(argv: list[str]) -> int:
    if len(argv) == 2 and argv[0] == "inputs":
        make_inputs(Path(argv[1]))
        return 0
    if len(argv) == 3 and argv[0] == "outputs":
        return run_all(Path(argv[1]), Path(argv[2]))
    if len(argv) == 3 and argv[0] == "compare":
        return compare(Path(argv[1]), Path(argv[2]))
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
