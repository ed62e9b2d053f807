"""The memory-bandwidth probe: probe.cpp built with the system compiler, loaded by ctypes.

A kernel's bound is the rate at which this machine can read (and write) what the kernel
must, laid out the way the kernel walks it: the tangent-flow kernels read sixteen
concurrent streams (four fields, four paths in the lanes, each path a run of rows), the
constant-flow estimator two, price_from_samples one, the constant-flow weights one and
write one. The probe reads the same number of streams, 8 bytes at a time (16 for the
weights, a loop the compiler vectorizes), over the same number of bytes, on one thread
or on all of them. NumPy's sum is not such a bound: it
reads one stream with wide vector loads, and a 16-stream kernel can beat it.

Without a C++ compiler the probe falls back to NumPy reductions and copies (one thread
only), and says so: those figures are indicative, not bounds.
"""

from __future__ import annotations

import ctypes
import hashlib
import math
import os
import platform
import shutil
import subprocess
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from .config import Config
from .harness import Case, measure

HERE = Path(__file__).resolve().parent
SOURCE = HERE / "probe.cpp"
CACHE = HERE.parent / "build" / "bench"
# -O2 without fast-math; no vectorizer, so that every element is one 8-byte load as in
# the kernels' lane gathers (and the loop stays the one that was checked for spills).
FLAGS = ["-std=c++17", "-O2", "-fno-tree-vectorize", "-ffp-contract=off", "-fPIC", "-shared",
         "-pthread"]
ROUND = 64        # elements: a stream's length is a multiple of this times the threads
PAGE = 512        # elements per 4 KiB page
SKEW = 72         # elements: successive streams start 576 bytes apart within a page


@dataclass(frozen=True)
class Pattern:
    name: str
    reads: int
    writes: int = 0
    width: int = 8   # bytes a load: 8 (scalar, lane gathers) or 16 (vectorized loops)

    @property
    def streams(self) -> int:
        return self.reads + self.writes


TANGENT = Pattern("16 reads", 16)
PAIR = Pattern("2 reads", 2)
SINGLE = Pattern("1 read", 1)
# The constant-flow weights are a loop the compiler vectorizes: 16-byte loads and stores.
MIXED = Pattern("1 read + 1 write", 1, 1, 16)
PATTERNS = [TANGENT, PAIR, SINGLE, MIXED]


def compiler() -> str | None:
    for name in (os.environ.get("CXX"), "g++", "c++", "clang++"):
        if name and shutil.which(name):
            return shutil.which(name)
    return None


def build() -> tuple[Path | None, str]:
    """The probe's shared library (built once per source, flags and compiler), or None
    and the reason."""
    if os.name != "posix":
        return None, "the native probe is built for POSIX systems only"
    cxx = compiler()
    if cxx is None:
        return None, "no C++ compiler (g++, c++, clang++ or $CXX) on the PATH"
    # The compiler is not ours to instrument: no sanitizer runtime preloaded into it.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    try:
        version = subprocess.run([cxx, "--version"], capture_output=True, text=True,
                                 timeout=60, check=False, env=env).stdout.split("\n", 1)[0]
    except OSError as exc:
        return None, f"{cxx} does not run ({exc})"
    digest = hashlib.sha256("\0".join(
        [SOURCE.read_text(), *FLAGS, cxx, version, platform.machine()]).encode()).hexdigest()
    out = CACHE / f"probe-{digest[:16]}.so"
    if out.exists():
        return out, f"{cxx} ({version})"
    CACHE.mkdir(parents=True, exist_ok=True)
    tmp = out.with_name(f"{out.name}.{os.getpid()}.tmp")
    proc = subprocess.run([cxx, *FLAGS, "-o", str(tmp), str(SOURCE)], capture_output=True,
                          text=True, timeout=300, check=False, env=env)
    if proc.returncode != 0:
        tmp.unlink(missing_ok=True)
        return None, f"{cxx} failed on probe.cpp:\n{proc.stderr.strip()}"
    os.replace(tmp, out)  # atomic: concurrent runs never load a half-written file
    return out, f"{cxx} ({version})"


PtrArray = ctypes.POINTER(ctypes.c_void_p)


class Streams:
    """The probe's own buffer: `pattern.streams` streams of `length` elements, each on
    its own pages and at its own offset within a page (streams at equal page offsets
    compete for the same L1 sets, which no kernel suffers from)."""

    def __init__(self, pattern: Pattern, nbytes: int, max_threads: int):
        self.pattern = pattern
        quantum = ROUND * max_threads
        length = nbytes / (8 * pattern.streams)
        self.length = max(quantum, math.ceil(length / quantum) * quantum)
        stride = math.ceil(self.length / PAGE) * PAGE + SKEW
        self.buffer = np.ones(pattern.streams * stride + 8)  # every page touched
        first = (-self.buffer.ctypes.data % 64) // 8
        views = [self.buffer[first + s * stride: first + s * stride + self.length]
                 for s in range(pattern.streams)]
        self.reads, self.writes = views[:pattern.reads], views[pattern.reads:]
        self.read_ptrs = (ctypes.c_void_p * max(1, pattern.reads))(
            *[v.ctypes.data for v in self.reads])
        self.write_ptrs = (ctypes.c_void_p * max(1, pattern.writes))(
            *[v.ctypes.data for v in self.writes])

    @property
    def nbytes(self) -> int:
        """Bytes moved by one pass."""
        return self.length * 8 * self.pattern.streams


class Probe:
    def __init__(self, max_threads: int):
        self.max_threads = max_threads
        path, self.how = build()
        self.lib = None
        if path is not None:
            self.lib = ctypes.CDLL(str(path))
            fn = self.lib.quarnel_bench_probe
            fn.restype = ctypes.c_double
            fn.argtypes = [PtrArray, ctypes.c_size_t, PtrArray, ctypes.c_size_t,
                           ctypes.c_size_t, ctypes.c_size_t, ctypes.c_size_t, ctypes.c_size_t,
                           ctypes.POINTER(ctypes.c_uint64)]
        self.sink = ctypes.c_uint64(0)

    @property
    def native(self) -> bool:
        return self.lib is not None

    def describe(self) -> dict:
        return {"native": self.native, "built_with": self.how,
                "flags": FLAGS if self.native else None}

    def streams(self, pattern: Pattern, nbytes: int) -> Streams:
        return Streams(pattern, nbytes, self.max_threads)

    def timer(self, st: Streams, threads: int) -> Callable[[int], float] | None:
        """passes -> seconds, or None where the probe cannot run on `threads`."""
        if self.lib is not None:
            fn = self.lib.quarnel_bench_probe
            reads = ctypes.cast(st.read_ptrs, PtrArray)
            writes = ctypes.cast(st.write_ptrs, PtrArray)
            p = st.pattern

            def native(passes: int) -> float:
                return float(fn(reads, p.reads, writes, p.writes, p.width, st.length, threads,
                                passes, ctypes.byref(self.sink)))
            return native
        if threads != 1:
            return None

        def fallback(passes: int) -> float:
            start = time.perf_counter()
            for _ in range(passes):
                for r in st.reads:
                    r.sum()
                for r, w in zip(st.reads, st.writes):
                    np.copyto(w, r)
            return time.perf_counter() - start
        return fallback


# ---------------------------------------------------------------------------------------
# Measuring with it


def headline(probe: Probe, cfg: Config) -> list[dict]:
    """Every pattern in cache and out of it, on one thread and on all of them: the rate of
    the fastest repetition (and the median's)."""
    out = []
    thread_counts = sorted({1, probe.max_threads})
    for pattern in PATTERNS:
        for nbytes in (cfg.probe_cache_bytes, cfg.probe_bytes):
            st = probe.streams(pattern, nbytes)
            timed: list[tuple[int, Case]] = []
            for threads in thread_counts:
                timer = probe.timer(st, threads)
                if timer is not None:
                    timed.append((threads, Case(f"probe {pattern.name}", str(st.nbytes),
                                                thread_label(threads), None, st.nbytes, "byte",
                                                None, timer=timer)))
            measure([c for _, c in timed], cfg)
            for threads, c in timed:
                out.append({"pattern": pattern.name, "reads": pattern.reads,
                            "writes": pattern.writes, "working_set_kib": st.nbytes >> 10,
                            "threads": threads, "gb_s": c.peak / 1e9,
                            "gb_s_median": c.throughput / 1e9, "times_s": c.times})
            del st
    return out


def thread_label(threads: int) -> str:
    return f"{threads} thread" + ("s" if threads > 1 else "")


@dataclass(frozen=True)
class Need:
    """The probe that matches one measured kernel: its pattern, threads and bytes."""
    pattern: Pattern
    threads: int
    nbytes: int
    size: str

    @property
    def function(self) -> str:
        return f"probe {self.pattern.name}"


def matching_cases(probe: Probe, needs: list[Need]) -> list[Case]:
    """Probe cases to time beside the kernels of one workload, one per distinct need."""
    cases = []
    for need in dict.fromkeys(needs):
        st = probe.streams(need.pattern, need.nbytes)
        timer = probe.timer(st, need.threads)
        if timer is not None:
            cases.append(Case(need.function, need.size, thread_label(need.threads), None,
                              st.nbytes, "byte", None, chart=False, timer=timer))
    return cases
