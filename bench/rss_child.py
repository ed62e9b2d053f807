"""Peak-RSS probe, run in a fresh process by the harness.

    python rss_child.py FUNCTION ROWS COLS {call,skip}

Builds the inputs of FUNCTION (a path batch of ROWS x COLS steps, or ROWS samples when
COLS is 0), makes one tiny warm-up call so one-time costs (binding NumPy's C API,
starting the worker pool) are paid in both modes, then makes the measured call only in
mode `call`. It prints one JSON object: the process's peak RSS and the size of the
result. The harness subtracts the peaks of the two modes, so everything but the call
itself (interpreter, NumPy, the inputs) cancels out.

The inputs are filled with np.full, which touches every page without temporaries, so
the peak before the call equals the resident inputs.
"""

from __future__ import annotations

import json
import resource
import sys

import numpy as np

import _quarnel as q

TANGENT = ("bel_weights_tangent_flow", "bel_weights_tangent_flow_parallel",
           "price_and_delta_tangent_flow")


def tangent_args(name, n, m):
    states = np.full((n, m + 1), 1.0)
    dws = np.full((n, m), 0.01)
    sigma = np.full((n, m), 0.2)
    d_mu = np.full((n, m), 0.03)
    d_sigma = np.full((n, m), 0.2)
    args = (states, dws, sigma, d_mu, d_sigma, 1.0)
    return args + ("call", 1.0) if name == "price_and_delta_tangent_flow" else args


def sample_args(name, n):
    x = np.full(n, 1.1)
    if name == "price_from_samples":
        return (x,)
    w = np.full(n, 0.5)
    if name == "bel_weights_constant_flow":
        return (w, 1.0, 0.2)
    return (x, w, 1.0, 0.2, "call", 1.0)


def result_bytes(result):
    return int(result.nbytes) if isinstance(result, np.ndarray) else 0


def main(argv):
    name, rows, cols, mode = argv[1], int(argv[2]), int(argv[3]), argv[4]
    fn = getattr(q, name)
    if name in TANGENT:
        fn(*tangent_args(name, 1, 2))
        args = tangent_args(name, rows, cols)
    else:
        fn(*sample_args(name, 1))
        args = sample_args(name, rows)
    result = fn(*args) if mode == "call" else None
    peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss  # KiB on Linux
    print(json.dumps({"peak_kib": peak_kib, "result_bytes": result_bytes(result)}))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
