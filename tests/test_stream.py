"""TangentFlowAccumulator: a batch fed one step at a time gives the batch calls' bits on
the stacked arrays, in every layout, through the pool, with special values; refused
steps and early results name what is wrong and change nothing."""

from __future__ import annotations

import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import quarnel
from helpers import SPECIALS, assert_same_floats, random_path_batch, rng_for, sprinkle
from layouts import LAYOUTS_1D, layout
from quarnel import TangentFlowAccumulator

STEP_FIELDS = ("dws", "sigma", "d_mu_dx", "d_sigma_dx", "d2_mu_dx2", "d2_sigma_dx2")
PAYOFFS = ("identity", "call", "put", "digital_call", "digital_put", "call_spread")


def cev_batch(n_paths, n_steps, seed=0, horizon=1.5, beta=0.7, s=0.3, mu=0.05):
    """An Euler CEV batch, dX = mu X dt + s X^beta dW, its fields at each step's start."""
    rng = rng_for("cev", n_paths, n_steps, seed)
    dt = horizon / n_steps
    f = {k: np.empty((n_paths, n_steps)) for k in STEP_FIELDS}
    f["dws"] = rng.standard_normal((n_paths, n_steps)) * math.sqrt(dt)
    states = np.empty((n_paths, n_steps + 1))
    states[:, 0] = 1.0
    for j in range(n_steps):
        x = np.abs(states[:, j]) + 1e-3
        f["sigma"][:, j] = s * x**beta
        f["d_mu_dx"][:, j] = mu
        f["d_sigma_dx"][:, j] = s * beta * x ** (beta - 1)
        f["d2_mu_dx2"][:, j] = 0.0
        f["d2_sigma_dx2"][:, j] = s * beta * (beta - 1) * x ** (beta - 2)
        states[:, j + 1] = states[:, j] + mu * states[:, j] * dt + f["sigma"][:, j] * f["dws"][:, j]
    return states, f, horizon


def streamed(f, horizon, name="contiguous", **kwargs):
    """(accumulator fed every step in layout `name`, the stacked values it was fed)."""
    n_paths, n_steps = f["dws"].shape
    acc = TangentFlowAccumulator(n_paths, n_steps, horizon, **kwargs)
    fed = {k: np.empty((n_paths, n_steps)) for k in STEP_FIELDS}
    first_order = kwargs.get("second_order") is False
    for j in range(n_steps):
        cols = [layout(f[k][:, j], name) for k in STEP_FIELDS]
        acc.step(*(cols[:4] if first_order else cols))
        for k, c in zip(STEP_FIELDS, cols):
            fed[k][:, j] = c
    return acc, fed


def batch_results(states, f, horizon):
    first = (states, f["dws"], f["sigma"], f["d_mu_dx"], f["d_sigma_dx"])
    second = (*first, f["d2_mu_dx2"], f["d2_sigma_dx2"])
    bump = quarnel.parallel_volatility_bump(f["sigma"], f["d_sigma_dx"])
    return (quarnel.bel_weights_tangent_flow(*first, horizon),
            quarnel.greek_weights_tangent_flow(*second, horizon),
            quarnel.parameter_weights_tangent_flow(*second, *bump, horizon))


def assert_weights_equal_batch(acc, states, fed, horizon):
    bel, greeks, vega = batch_results(states, fed, horizon)
    assert_same_floats(acc.bel_weights(), bel)
    assert_same_floats(acc.greek_weights(), greeks)
    assert acc.greek_weights().shape == greeks.shape
    assert_same_floats(acc.vega_weights(), vega)


class TestEqualsTheBatch:
    @pytest.mark.parametrize("name", LAYOUTS_1D)
    def test_weights_in_every_layout(self, name):
        states, f, horizon = cev_batch(37, 16)
        acc, fed = streamed(f, horizon, name)
        assert acc.steps_taken == 16
        assert_weights_equal_batch(acc, states, fed, horizon)

    # One path and one step, remainders of every lane width, and a batch above the
    # size from which the steps run on the pool without the interpreter lock.
    @pytest.mark.parametrize("n_paths, n_steps", [(0, 2), (1, 1), (5, 3), (4099, 2),
                                                  (20_011, 3)])
    def test_weights_at_every_size(self, n_paths, n_steps):
        states, f, horizon = cev_batch(n_paths, n_steps)
        acc, fed = streamed(f, horizon)
        assert_weights_equal_batch(acc, states, fed, horizon)
        first, _ = streamed(f, horizon, second_order=False)
        assert_same_floats(first.bel_weights(), acc.bel_weights())

    def test_special_values_propagate_as_in_the_batch(self):
        rng = rng_for("stream specials")
        states, dws, sigma, d_mu, d_sigma = random_path_batch(rng, 64, 9, p=0.05)
        f = {"dws": dws, "sigma": sigma, "d_mu_dx": d_mu, "d_sigma_dx": d_sigma,
             "d2_mu_dx2": sprinkle(rng, rng.standard_normal(dws.shape), SPECIALS, 0.05),
             "d2_sigma_dx2": sprinkle(rng, rng.standard_normal(dws.shape), SPECIALS, 0.05)}
        acc, fed = streamed(f, 0.75, "strided")
        assert_weights_equal_batch(acc, states, fed, 0.75)

    @pytest.mark.parametrize("payoff", PAYOFFS)
    @pytest.mark.parametrize("estimator", ["weights", "lowest_variance"])
    @pytest.mark.parametrize("vol, half_width, rate", [(0.3, None, None), (None, None, 0.05),
                                                       (0.3, 0.3, None)])
    def test_price_and_greeks(self, payoff, estimator, vol, half_width, rate):
        if half_width is not None and (estimator == "weights" or "digital" not in payoff):
            pytest.skip("half_width is refused where it means nothing")
        states, f, horizon = cev_batch(301, 8)
        acc, fed = streamed(f, horizon, "reversed")
        strike2 = 1.3 if payoff == "call_spread" else None
        options = {"estimator": estimator, "vol": vol, "half_width": half_width, "rate": rate,
                   "strike2": strike2}
        got = acc.price_and_greeks(layout(states[:, -1], "strided"), payoff, 1.1, **options)
        want = quarnel.price_and_greeks_tangent_flow(
            states, fed["dws"], fed["sigma"], fed["d_mu_dx"], fed["d_sigma_dx"],
            fed["d2_mu_dx2"], fed["d2_sigma_dx2"], horizon, payoff, 1.1, **options)
        assert type(got) is quarnel.Greeks
        assert_same_floats(got, want)

    def test_the_thread_count_changes_no_bit(self):
        """The pool's thread count (RAYON_NUM_THREADS) only deals the paths."""
        states, f, horizon = cev_batch(20_011, 3)
        want = batch_results(states, f, horizon)[1].tobytes()
        code = textwrap.dedent("""
            import sys
            import numpy as np
            sys.path.insert(0, sys.argv[1])
            from test_stream import cev_batch, streamed
            acc, _ = streamed(cev_batch(20_011, 3)[1], 1.5)
            sys.stdout.write(acc.greek_weights().tobytes().hex())
        """)
        here = os.path.dirname(__file__)
        for threads in ("1", "3"):
            env = {**os.environ, "RAYON_NUM_THREADS": threads}
            out = subprocess.run([sys.executable, "-c", code, here], capture_output=True,
                                 text=True, env=env, timeout=120, check=True).stdout
            assert bytes.fromhex(out) == want, threads


class TestInputs:
    def test_numbers_and_dlpack_arrays_read_as_arrays(self):
        states, f, horizon = cev_batch(33, 4)
        want, _ = streamed(f, horizon)

        class Exporter:
            def __init__(self, a):
                self.a = a

            def __dlpack__(self, **kwargs):
                return self.a.__dlpack__(**kwargs)

            def __dlpack_device__(self):
                return self.a.__dlpack_device__()

        acc = TangentFlowAccumulator(33, 4, horizon)
        for j in range(4):
            # d_mu_dx is 0.05 on every path and d2_mu_dx2 zero: numbers stand for them.
            acc.step(Exporter(f["dws"][:, j].copy()), f["sigma"][:, j], 0.05,
                     f["d_sigma_dx"][:, j], 0, f["d2_sigma_dx2"][:, j])
        assert_same_floats(acc.greek_weights(), want.greek_weights())
        assert_same_floats(acc.price_and_greeks(Exporter(states[:, -1].copy()), "call", 1.0),
                           want.price_and_greeks(states[:, -1], "call", 1.0))

    def test_reset_starts_again_with_the_same_bits(self):
        _, f, horizon = cev_batch(21, 5)
        acc, _ = streamed(f, horizon)
        first = acc.greek_weights()
        acc.reset()
        assert acc.steps_taken == 0
        for j in range(5):
            acc.step(*(f[k][:, j] for k in STEP_FIELDS))
        assert_same_floats(acc.greek_weights(), first)

    def test_rate_discounts_every_sample(self):
        states, f, horizon = cev_batch(401, 6)
        acc, _ = streamed(f, horizon)
        plain = acc.price_and_greeks(states[:, -1], "digital_call", 1.0)
        # exp(-0) is exactly 1: no bit changes.
        assert_same_floats(acc.price_and_greeks(states[:, -1], "digital_call", 1.0, rate=0.0),
                           plain)
        df = math.exp(-0.04 * horizon)
        got = acc.price_and_greeks(states[:, -1], "digital_call", 1.0, rate=0.04)
        finite = [i for i, v in enumerate(plain) if math.isfinite(v)]
        np.testing.assert_allclose([got[i] for i in finite], [df * plain[i] for i in finite],
                                   rtol=1e-13)


def accumulator(n_paths=3, n_steps=2, **kwargs):
    return TangentFlowAccumulator(n_paths, n_steps, 1.0, **kwargs)


ONES = np.ones(3)


def fed(acc, steps):
    for _ in range(steps):
        acc.step(ONES, ONES, ONES, ONES, *([] if not acc.second_order else [ONES, ONES]))
    return acc


class TestRefusals:
    @pytest.mark.parametrize("make, message", [
        (lambda: accumulator(n_steps=0), "n_steps must be at least 1"),
        (lambda: accumulator(n_paths=-1), "n_paths must be non-negative, got -1"),
        (lambda: TangentFlowAccumulator(3, 2, 0.0), "horizon must be positive and finite, got 0"),
        (lambda: TangentFlowAccumulator(3, 2, math.inf),
         "horizon must be positive and finite, got inf"),
        (lambda: TangentFlowAccumulator(3, 2, math.nan),
         "horizon must be positive and finite, got nan"),
    ])
    def test_construction(self, make, message):
        with pytest.raises(ValueError) as info:
            make()
        assert str(info.value) == message

    @pytest.mark.parametrize("kwargs, call, message", [
        ({}, lambda a: a.step(ONES, np.ones(2), ONES, ONES, ONES, ONES),
         "step 1: sigma has 2 values, expected n_paths = 3"),
        ({}, lambda a: a.step(ONES, ONES, ONES, ONES, ONES, np.ones(4)),
         "step 1: d2_sigma_dx2 has 4 values, expected n_paths = 3"),
        ({"second_order": False}, lambda a: a.step(ONES, ONES, np.ones(0), ONES),
         "step 1: d_mu_dx has 0 values, expected n_paths = 3"),
        # The first zero in path order; -0.0 is a zero too.
        ({}, lambda a: a.step(ONES, np.array([1.0, -0.0, 0.0]), ONES, ONES, ONES, ONES),
         "step 1: sigma[1] = 0 produces division by zero"),
        ({}, lambda a: a.greek_weights(),
         "the accumulator has taken 1 of its 2 steps: results need all of them"),
        ({}, lambda a: a.price_and_greeks(ONES, "call"),
         "the accumulator has taken 1 of its 2 steps: results need all of them"),
    ])
    def test_a_refused_step_changes_nothing(self, kwargs, call, message):
        acc = fed(accumulator(**kwargs), 1)
        with pytest.raises(ValueError) as info:
            call(acc)
        assert str(info.value) == message
        assert acc.steps_taken == 1
        fed(acc, 1)
        assert_same_floats(acc.bel_weights(), fed(accumulator(**kwargs), 2).bel_weights())

    @pytest.mark.parametrize("kwargs, call, message", [
        ({}, lambda a: fed(a, 1), "step 2: the accumulator has taken all its 2 steps "
                                  "(reset() starts again)"),
        ({"second_order": False}, lambda a: a.greek_weights(),
         "greek_weights needs a second-order accumulator (second_order=True)"),
        ({"vega": False}, lambda a: a.vega_weights(),
         "vega_weights needs an accumulator with vega=True"),
        ({"second_order": False}, lambda a: a.price_and_greeks(ONES, "call"),
         "price_and_greeks needs a second-order accumulator (second_order=True)"),
        ({"vega": False}, lambda a: a.price_and_greeks(ONES, "call", vol=0.2),
         "vol= (a vega) needs an accumulator with vega=True"),
        ({}, lambda a: a.price_and_greeks(np.ones(2), "call"),
         "terminal_states has 2 values, expected n_paths = 3"),
        ({}, lambda a: a.price_and_greeks(ONES, "digx"),
         "unknown payoff 'digx': expected 'identity', 'call', 'put', 'digital_call' (or "
         "'digital'), 'digital_put', 'call_spread', or 'put_spread'"),
        ({}, lambda a: a.price_and_greeks(ONES, "call", estimator="best"),
         "unknown estimator 'best': expected 'weights' or 'lowest_variance'"),
        ({}, lambda a: a.price_and_greeks(ONES, "call", math.inf),
         "strike must be finite, got inf"),
        ({}, lambda a: a.price_and_greeks(ONES, "call", rate=math.nan),
         "rate must be finite, got nan"),
        ({}, lambda a: a.price_and_greeks(ONES, "digital_call", half_width=-1.0),
         "half_width must be positive and finite"),
    ])
    def test_results(self, kwargs, call, message):
        acc = fed(accumulator(**kwargs), 2)
        with pytest.raises(ValueError) as info:
            call(acc)
        assert str(info.value) == message

    @pytest.mark.parametrize("call, message", [
        (lambda: accumulator().step(ONES, ONES, ONES, ONES),
         "step() of a second-order accumulator needs d2_mu_dx2 and d2_sigma_dx2"),
        (lambda: accumulator(second_order=False).step(ONES, ONES, ONES, ONES, ONES, ONES),
         "step() of a first-order accumulator takes no d2_mu_dx2 or d2_sigma_dx2"),
        (lambda: accumulator().step(ONES, [1.0, 1.0, 1.0], ONES, ONES, ONES, ONES),
         "argument 'sigma': 'list' object cannot be converted to "),
        (lambda: accumulator().step(ONES, ONES.astype(np.float32), ONES, ONES, ONES, ONES),
         "argument 'sigma': 'ndarray' object cannot be converted to "),
        (lambda: TangentFlowAccumulator(2.0, 3, 1.0),
         "argument 'n_paths': 'float' object cannot be interpreted as an integer"),
    ])
    def test_types(self, call, message):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value).startswith(message)
