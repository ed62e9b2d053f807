"""Run sizes: the full run and the quick smoke run."""

from __future__ import annotations

from dataclasses import dataclass

HORIZON = 1.0
VOL = 0.2
RATE = 0.03
STRIKE = 1.0
X0 = 1.0          # the initial state of every batch and sample set


@dataclass(frozen=True)
class Config:
    quick: bool
    tangent_shapes: list[tuple[int, int]]
    sample_sizes: list[int]
    reps: int
    min_rep_s: float
    probe_bytes: int          # the out-of-cache working set of the headline probe
    probe_cache_bytes: int    # the in-cache one
    rss_shape: tuple[int, int]
    rss_samples: int
    rss_runs: int
    # Which measured sizes stand for the workloads the targets are stated for.
    cache_shape: tuple[int, int]
    big_shapes: list[tuple[int, int]]
    pd_shape: tuple[int, int]
    mid_samples: int
    big_samples: int
    # The whole job of examples/end_to_end.py, and its instrumented runs for the stages.
    end_to_end_shape: tuple[int, int]
    end_to_end_runs: int


FULL = Config(
    quick=False,
    tangent_shapes=[(1_000, 100), (10_000, 128), (50_000, 256), (100_000, 100)],
    sample_sizes=[1, 1_000, 1_000_000, 10_000_000],
    reps=7, min_rep_s=0.05, probe_bytes=512 << 20, probe_cache_bytes=256 << 10,
    rss_shape=(50_000, 256), rss_samples=10_000_000, rss_runs=2,
    cache_shape=(1_000, 100), big_shapes=[(50_000, 256), (100_000, 100)],
    pd_shape=(50_000, 256), mid_samples=1_000_000, big_samples=10_000_000,
    end_to_end_shape=(100_000, 256), end_to_end_runs=3,
)

QUICK = Config(
    quick=True,
    tangent_shapes=[(100, 16), (1_000, 50)],
    sample_sizes=[1, 1_000, 100_000],
    reps=2, min_rep_s=0.002, probe_bytes=16 << 20, probe_cache_bytes=256 << 10,
    rss_shape=(2_000, 64), rss_samples=100_000, rss_runs=1,
    cache_shape=(100, 16), big_shapes=[(1_000, 50)],
    pd_shape=(1_000, 50), mid_samples=1_000, big_samples=100_000,
    end_to_end_shape=(4_000, 32), end_to_end_runs=1,
)


def shape_key(shape: tuple[int, int]) -> str:
    """The size key of a path batch: "50000x256"."""
    return f"{shape[0]}x{shape[1]}"
