"""What the run ran on: processor, caches, versions, threads."""

from __future__ import annotations

import os
import platform
import threading
from pathlib import Path

import numpy as np

import quarnel as q


def count_threads() -> int:
    try:
        return len(os.listdir("/proc/self/task"))
    except OSError:
        return threading.active_count()


def pool_threads_started() -> int:
    """OS threads that the first parallel call starts: the size of our worker pool.

    Must run before anything else starts threads (Numba's parallel loops do).
    """
    before = count_threads()
    a = np.full((64, 2), 0.5)
    q.bel_weights_tangent_flow_parallel(np.ones((64, 3)), a, a, a, a, 1.0)
    return count_threads() - before


def available_cores() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # pragma: no cover - not Linux
        return os.cpu_count() or 1


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def cpu_flags() -> list[str]:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    have = set(line.split(":", 1)[1].split())
                    return [x for x in ("sse4_2", "avx", "avx2", "fma", "avx512f") if x in have]
    except OSError:
        pass
    return []


def cache_size(level: int, kind: str = "Unified") -> str | None:
    base = Path("/sys/devices/system/cpu/cpu0/cache")
    try:
        for index in sorted(base.glob("index*")):
            if ((index / "level").read_text().strip() == str(level)
                    and (index / "type").read_text().strip() in (kind, "Unified")):
                return (index / "size").read_text().strip()
    except OSError:
        pass
    return None


def machine_info(numba_info: dict | None, pool_threads: int) -> dict:
    return {
        "cpu": cpu_model(),
        "cores": os.cpu_count(),
        "cores_available": available_cores(),
        "cpu_flags": cpu_flags(),
        "l1d": cache_size(1, "Data"),
        "l2": cache_size(2),
        "l3": cache_size(3),
        "python": platform.python_version(),
        "platform": platform.platform(),
        "numpy": np.__version__,
        "numba": numba_info,
        "quarnel": q.__version__,
        "quarnel_file": q.__file__,
        "pool_threads": pool_threads,
        "rayon_num_threads": os.environ.get("RAYON_NUM_THREADS"),
        "omp_wait_policy": os.environ.get("OMP_WAIT_POLICY"),
        "load_average": [round(x, 2) for x in os.getloadavg()],
    }
