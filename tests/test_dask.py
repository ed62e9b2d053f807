"""Row-chunked batches on a Dask cluster of worker processes give the single-call answer."""

from __future__ import annotations

import importlib.util
import math
import sys
from pathlib import Path

import numpy as np
import pytest

import _quarnel as q
from markers import not_sanitized

da = pytest.importorskip("dask.array", reason="dask comes with the dask extra")
distributed = pytest.importorskip("distributed", reason="distributed comes with the dask extra")

# Worker processes would start under the sanitizer preload too: slow, and the kernels
# they call are covered there by the other tests.
pytestmark = not_sanitized

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "dask_scaling.py"


@pytest.fixture(scope="module")
def example():
    spec = importlib.util.spec_from_file_location("dask_scaling", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    yield module
    del sys.modules[spec.name]


@pytest.fixture(scope="module")
def client(example):
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as c:
        # Tasks refer to the example's functions by module name: make it importable there.
        c.upload_file(str(EXAMPLE))
        yield c


@pytest.fixture(scope="module")
def batches(example):
    # 10_001 rows in chunks of 1_250: eight full chunks and a last one of a single path.
    lazy = example.path_batch(10_001, 12, 1_250, seed=3)
    assert lazy[0].chunks[0][-1] == 1
    return lazy, [np.asarray(a) for a in da.compute(*lazy, scheduler="threads")]


def test_weights_per_chunk_equal_the_whole_batch_kernel(example, client, batches):
    lazy, whole = batches
    distributed_weights = example.weights(*lazy).compute()
    np.testing.assert_array_equal(distributed_weights,
                                  q.bel_weights_tangent_flow(*whole, example.T))


@pytest.mark.parametrize("payoff", ["call", "put", "digital_call"])
def test_combined_chunks_equal_one_call(example, client, batches, payoff):
    lazy, whole = batches
    combined = example.price_and_delta(lazy, payoff, 1.0)
    single = q.price_and_delta_tangent_flow(*whole, example.T, payoff, 1.0)
    np.testing.assert_allclose(combined, single, rtol=1e-12, atol=0.0)


def test_combine_recovers_the_whole_sample_rule(example):
    rng = np.random.default_rng(0)
    samples = rng.lognormal(size=1_000)
    # Uneven chunks, an empty one and single samples (whose variance is exactly 0).
    edges = [0, 1, 1, 400, 401, 777, 1_000]
    parts = [samples[a:b] for a, b in zip(edges, edges[1:])]
    n = [len(p) for p in parts]
    mean, se = zip(*(q.price_from_samples(p) for p in parts))
    assert math.isnan(mean[1])  # the empty chunk
    got = example.combine(n, mean, se)
    np.testing.assert_allclose(got, q.price_from_samples(samples), rtol=1e-12, atol=0.0)
