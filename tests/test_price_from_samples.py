"""The mean-and-standard-error rule, bit for bit."""

import math

import numpy as np
import pytest

import _quarnel as q
from helpers import SPECIALS, assert_same_floats
from oracle import price_from_samples as reference


@pytest.mark.parametrize("samples, expected", [
    ([1.0, 2.0, 3.0, 4.0], (2.5, 0.5590169943749475)),
    ([5.0], (5.0, 0.0)),
    ([0.1] * 3, (0.10000000000000002, 0.0)),
    ([0.1] * 10, (0.09999999999999999, 7.213993642865526e-10)),
    ([1.0, math.inf], (math.inf, 0.0)),
    ([math.inf, -math.inf], (math.nan, 0.0)),
    ([1.0, math.nan, 3.0], (math.nan, 0.0)),
    ([1e160, -1e160], (0.0, math.inf)),
    ([1e200], (1e200, 0.0)),
    ([], (math.nan, math.nan)),
])
def test_published_values(samples, expected):
    assert_same_floats(q.price_from_samples(np.array(samples, dtype=np.float64)), expected)


@pytest.mark.parametrize("seed", range(6))
def test_matches_left_to_right_reference(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(0, 400))
    x = rng.standard_normal(n) * 10.0 ** rng.integers(-5, 5)
    if seed % 2 and n:
        idx = rng.integers(0, n, size=max(1, n // 20))
        x[idx] = rng.choice(SPECIALS, size=len(idx))
    assert_same_floats(q.price_from_samples(x), reference(x))
    assert_same_floats(q.price_from_samples(x[::-2]), reference(x[::-2]))


def test_differs_from_pairwise_numpy_summation():
    # Left-to-right order is the contract: np.sum (pairwise) gives other last bits here.
    x = np.random.default_rng(7).standard_normal(10_000)
    mean, _ = q.price_from_samples(x)
    assert mean == reference(x)[0]
