"""Peak RSS growth of one call beyond its result, measured in fresh processes."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

from .config import Config
from .workloads import KERNELS, PATHS

CHILD = Path(__file__).resolve().parent / "rss_child.py"

# Linux carries the RSS high-water mark of the address space a process replaces at exec
# into its ru_maxrss, and subprocess starts children with vfork, whose address space is
# ours: a child would report this (large) process's peak. A shell that starts the probe
# as its own child, rather than exec'ing it, gives the probe a fresh, tiny ancestor.
SPAWN_CLEAN = ["/bin/sh", "-c", '"$@"; exit $?', "sh"]


def rss_probe(cfg: Config) -> list[dict]:
    n, m = cfg.rss_shape
    probes = [(k.name, n, m) if k.family == PATHS else (k.name, cfg.rss_samples, 0)
              for k in KERNELS if k.rss]
    env = {k: v for k, v in os.environ.items()
           if k not in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")}
    out = []
    for name, rows, cols in probes:
        peaks: dict[str, list[int]] = {"skip": [], "call": []}
        result_bytes = 0
        for _ in range(cfg.rss_runs):
            for mode in ("skip", "call"):
                proc = subprocess.run(
                    [*SPAWN_CLEAN, sys.executable, str(CHILD), name, str(rows), str(cols), mode],
                    capture_output=True, text=True, env=env, timeout=300, check=False)
                if proc.returncode != 0:
                    raise RuntimeError(f"RSS probe of {name} failed:\n{proc.stderr}")
                record = json.loads(proc.stdout.strip().splitlines()[-1])
                peaks[mode].append(record["peak_kib"])
                result_bytes = max(result_bytes, record["result_bytes"])
        # The smallest peak of each mode: allocator noise only ever adds to a peak.
        without, with_call = min(peaks["skip"]), min(peaks["call"])
        out.append({
            "function": name,
            "size": f"{rows}x{cols}" if cols else str(rows),
            "peak_without_kib": without,
            "peak_with_kib": with_call,
            "result_kib": result_bytes / 1024,
            "peak_growth_kib": with_call - without,
            # A result that fits into memory the process had already touched (and freed)
            # raises no peak; only growth past the result's own size is the kernel's.
            "growth_beyond_result_kib": max(0.0, with_call - without - result_bytes / 1024),
            "input_mib": (rows * (cols + 1) + 4 * rows * cols) * 8 / 2**20 if cols else
            rows * 8 / 2**20,
        })
    return out
