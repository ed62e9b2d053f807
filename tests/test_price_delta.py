"""Payoffs, values, validation and bit-exactness of the price-and-delta routines."""

import inspect
import math

import numpy as np
import pytest

import _quarnel as q
import oracle as ref
from helpers import (
    SPECIALS,
    assert_same_floats,
    assert_same_outcome,
    plant_zeros,
    random_path_batch,
    rng_for,
    sprinkle,
    value_error,
)
from layouts import LAYOUTS_1D, LAYOUTS_2D, layout

NAN = math.nan
INF = math.inf
PAYOFFS = ("identity", "call", "put", "digital_call")
NEXT_AFTER_ONE = 1.0000000000000002
arr = np.asarray
# The four step arrays of the tangent-flow estimator, in parameter order.
STEP_ARRAYS = list(inspect.signature(q.price_and_delta_tangent_flow).parameters)[1:5]


# --- payoffs ---------------------------------------------------------------------------


def payoff_via_constant_flow(name, strike, x):
    # One path with a unit weight: the price is f(x) itself.
    return q.price_and_delta_constant_flow(arr([x]), arr([1.0]), 1.0, 1.0, name, strike)[0]


def payoff_via_tangent_flow(name, strike, x):
    # One path of one step with dW = sigma = T = 1 and no drift: again a unit weight.
    one, zero = arr([[1.0]]), arr([[0.0]])
    return q.price_and_delta_tangent_flow(arr([[0.0, x]]), one, one, zero, zero, 1.0, name,
                                          strike)[0]


PAYOFF_CASES = [
    ("call", 1.0, 1.5, 0.5),
    ("call", 1.0, 1.0, 0.0),
    ("call", 1.0, 0.5, 0.0),
    ("call", 1.0, INF, INF),
    ("call", 1.0, -INF, 0.0),
    ("call", 1.0, NAN, 0.0),
    ("call", NAN, 2.0, 0.0),
    ("call", INF, INF, 0.0),
    ("call", 0.0, 3.0, 3.0),
    ("call", 0.0, -3.0, 0.0),
    ("put", 1.0, 0.25, 0.75),
    ("put", 1.0, -INF, INF),
    ("put", 1.0, NAN, 0.0),
    ("put", 1.0, 1.0, 0.0),
    ("put", -INF, -INF, 0.0),
    ("put", 0.0, -3.0, 3.0),
    ("put", 0.0, 3.0, 0.0),
    ("digital_call", 1.0, 1.0, 0.0),
    ("digital_call", 1.0, NEXT_AFTER_ONE, 1.0),
    ("digital_call", 1.0, INF, 1.0),
    ("digital_call", 1.0, NAN, 0.0),
    ("digital_call", NAN, 5.0, 0.0),
    ("digital_call", -INF, -1e308, 1.0),
    ("identity", 1.0, NAN, NAN),
    ("identity", NAN, 0.75, 0.75),
    ("identity", INF, -INF, -INF),
]


class TestPayoffs:
    @pytest.mark.parametrize("via", [payoff_via_constant_flow, payoff_via_tangent_flow],
                             ids=["constant_flow", "tangent_flow"])
    @pytest.mark.parametrize("name, strike, x, expected", PAYOFF_CASES)
    def test_value(self, via, name, strike, x, expected):
        assert_same_floats([via(name, strike, x)], [expected])

    @pytest.mark.parametrize(
        "fn, template",
        [
            (payoff_via_constant_flow,
             "unknown payoff '{}': expected 'identity', 'call', 'put', or 'digital_call'"),
            (payoff_via_tangent_flow, "unknown payoff '{}'"),
        ],
        ids=["constant_flow", "tangent_flow"],
    )
    @pytest.mark.parametrize(
        "name", ["CALL", "Identity", "", " call", "call ", "digital", "call\x00", "c\u00e4ll",
                 "put'); --", "{}"])
    def test_unknown_name_is_quoted_verbatim(self, fn, template, name):
        assert value_error(fn, name, 1.0, 1.0) == template.format(name)


# --- constant flow -----------------------------------------------------------------------

CF_STATES = [1.0, 2.0, 3.0, 4.0]
CF_BROWNIANS = [0.5, -0.5, 1.0, 2.0]


class TestConstantFlowValues:
    @pytest.mark.parametrize(
        "payoff, expected",
        [
            ("call", (0.75, 0.625, 0.414578098794425, 0.409839907768875)),
            ("put", (0.25, 0.0625, 0.21650635094610965, 0.05412658773652741)),
            ("digital_call", (0.5, 0.375, 0.25, 0.2072890493972125)),
            ("identity", (2.5, 1.3125, 0.5590169943749475, 0.854103148044778)),
        ],
    )
    def test_four_paths(self, payoff, expected):
        got = q.price_and_delta_constant_flow(arr(CF_STATES), arr(CF_BROWNIANS), 1.0, 2.0,
                                              payoff, 2.0)
        assert type(got) is tuple and all(type(v) is float for v in got)
        assert got == expected

    def test_delta_sample_is_payoff_times_brownian_then_scale(self):
        # (0.1 * 0.1) * 10.0; 0.1 * (0.1 * 10.0), the payoff times the weight, is 0.1.
        got = q.price_and_delta_constant_flow(arr([0.1]), arr([0.1]), 1.0, 0.1, "identity")
        assert got == (0.1, 0.10000000000000002, 0.0, 0.0)

    @pytest.mark.parametrize("payoff", PAYOFFS)
    def test_single_path_has_zero_stderr(self, payoff):
        got = q.price_and_delta_constant_flow(arr([1.7]), arr([-0.4]), 0.5, 0.3, payoff, 1.2)
        assert got[2:] == (0.0, 0.0)

    @pytest.mark.parametrize("payoff", PAYOFFS)
    def test_empty_batch(self, payoff):
        got = q.price_and_delta_constant_flow(arr([]), arr([]), 1.0, 2.0, payoff)
        assert_same_floats(got, [NAN] * 4)

    def test_nan_state_has_zero_call_payoff(self):
        args = (arr([1.0, NAN, 3.0]), arr([0.5, 1.0, -1.0]), 1.0, 2.0)
        assert q.price_and_delta_constant_flow(*args, "call", 2.0) == (
            0.3333333333333333, -0.16666666666666666, 0.2721655269759087, 0.13608276348795434)
        assert_same_floats(q.price_and_delta_constant_flow(*args, "identity", 2.0),
                           [NAN, NAN, 0.0, 0.0])

    def test_infinite_horizon_gives_zero_delta(self):
        got = q.price_and_delta_constant_flow(arr(CF_STATES), arr(CF_BROWNIANS), INF, 2.0,
                                              "call", 2.0)
        assert_same_floats(got, [0.75, 0.0, 0.414578098794425, 0.0])

    def test_strike_defaults_to_zero(self):
        args = (arr([-1.0, 0.5, 2.0]), arr([0.3, -0.2, 1.1]), 1.0, 2.0)
        for payoff in PAYOFFS:
            assert_same_floats(q.price_and_delta_constant_flow(*args, payoff),
                               q.price_and_delta_constant_flow(*args, payoff, 0.0))


class TestConstantFlowValidation:
    def test_length_mismatch_comes_before_the_payoff_name(self):
        msg = value_error(q.price_and_delta_constant_flow, arr([1.0, 2.0, 3.0]), arr([1.0, 2.0]),
                          0.0, 0.0, "nope")
        assert msg == "terminal_states and w_terminals must have the same length"

    def test_payoff_name_comes_before_the_horizon(self):
        msg = value_error(q.price_and_delta_constant_flow, arr([1.0]), arr([1.0]), 0.0, 0.0,
                          "Call")
        assert msg.startswith("unknown payoff 'Call': ")

    @pytest.mark.parametrize("horizon", [0.0, -0.0, -2.0, NAN])
    @pytest.mark.parametrize("sigma", [1.0, 0.0, NAN])
    def test_horizon_must_be_positive(self, horizon, sigma):
        msg = value_error(q.price_and_delta_constant_flow, arr([1.0]), arr([1.0]), horizon,
                          sigma, "call")
        assert msg == "horizon must be positive"

    @pytest.mark.parametrize("sigma", [0.0, -0.0, -1.0, NAN, -INF])
    def test_sigma_must_be_positive(self, sigma):
        msg = value_error(q.price_and_delta_constant_flow, arr([1.0]), arr([1.0]), 1.0, sigma,
                          "put")
        assert msg == "sigma_at_x0 must be positive"

    def test_empty_batch_is_still_checked(self):
        msg = value_error(q.price_and_delta_constant_flow, arr([]), arr([]), 0.0, 1.0, "identity")
        assert msg == "horizon must be positive"


# --- tangent flow ----------------------------------------------------------------------

TF_STATES = [[1.0, 1.1, 1.3], [1.0, 0.9, 0.8]]
TF_DWS = [[0.1, 0.2], [0.3, -0.1]]
TF_SIGMA = [[0.2, 0.22], [0.2, 0.25]]
TF_D_MU = [[0.05, 0.05], [0.05, 0.05]]
TF_D_SIGMA = [[0.2, 0.2], [0.2, 0.2]]


def tf_batch(states=TF_STATES, dws=TF_DWS, sigma=TF_SIGMA, d_mu=TF_D_MU, d_sigma=TF_D_SIGMA):
    return [arr(states), arr(dws), arr(sigma), arr(d_mu), arr(d_sigma)]


class TestTangentFlowValues:
    @pytest.mark.parametrize(
        "payoff, expected",
        [
            ("call", (0.15000000000000002, 0.11045454545454549, 0.10606601717798214,
                      0.07810315810378686)),
            ("put", (0.09999999999999998, 0.05279999999999999, 0.07071067811865474,
                     0.037335238046649705)),
            ("digital_call", (0.5, 0.3681818181818182, 0.3535533905932738, 0.2603438603459562)),
            ("identity", (1.05, 0.6898363636363637, 0.1767766952966369, 0.18910606626314422)),
        ],
    )
    def test_two_paths(self, payoff, expected):
        got = q.price_and_delta_tangent_flow(*tf_batch(), 2.0, payoff, 1.0)
        assert type(got) is tuple and all(type(v) is float for v in got)
        assert got == expected

    def test_constant_tangent(self):
        zero = [[0.0, 0.0]]
        batch = tf_batch([[1.0, 1.1, 1.2]], [[0.1, -0.2]], [[0.5, 0.5]], zero, zero)
        assert q.price_and_delta_tangent_flow(*batch, 1.0, "call", 1.0) == (
            0.19999999999999996, -0.039999999999999994, 0.0, 0.0)

    def test_only_the_last_state_column_is_read(self):
        states = np.array(TF_STATES)
        states[:, :-1] = NAN
        got = q.price_and_delta_tangent_flow(arr(states), *tf_batch()[1:], 2.0, "call", 1.0)
        assert_same_floats(got, q.price_and_delta_tangent_flow(*tf_batch(), 2.0, "call", 1.0))

    @pytest.mark.parametrize("payoff", PAYOFFS)
    def test_no_paths(self, payoff):
        # With no rows no step array is looked at, not even its shape.
        junk = np.empty((0, 0))
        got = q.price_and_delta_tangent_flow(np.empty((0, 4)), junk, np.ones((1, 1)), junk, junk,
                                             1.0, payoff)
        assert_same_floats(got, [NAN] * 4)

    def test_nan_sigma_makes_delta_nan(self):
        got = q.price_and_delta_tangent_flow(*tf_batch(sigma=[[0.2, 0.22], [NAN, 0.25]]), 2.0,
                                             "call", 1.0)
        assert_same_floats(got, [0.15000000000000002, NAN, 0.10606601717798214, 0.0])

    def test_larger_arrays_are_cut(self):
        rng = rng_for("oversized")
        batch = random_path_batch(rng, 9, 6, p=0.0)
        bigger = [batch[0]]
        for i, (extra_rows, extra_cols) in enumerate([(3, 0), (0, 2), (1, 1), (5, 7)], start=1):
            a = batch[i]
            # Beyond the batch: zeros in sigma_field would fail, NaN elsewhere would spread.
            filler = 0.0 if i == 2 else NAN
            big = np.full((a.shape[0] + extra_rows, a.shape[1] + extra_cols), filler)
            big[: a.shape[0], : a.shape[1]] = a
            bigger.append(big)
        for payoff in PAYOFFS:
            assert_same_floats(q.price_and_delta_tangent_flow(*bigger, 0.9, payoff, 0.2),
                               q.price_and_delta_tangent_flow(*batch, 0.9, payoff, 0.2))

    @pytest.mark.parametrize("payoff", PAYOFFS)
    @pytest.mark.parametrize("seed", range(3))
    def test_delta_is_the_mean_of_payoff_times_weight(self, payoff, seed):
        # Ties the estimator to the weight kernel and the plain estimator.
        rng = rng_for("consistency", seed)
        batch = random_path_batch(rng, int(rng.integers(1, 150)), int(rng.integers(1, 30)))
        weights = q.bel_weights_tangent_flow(*batch, 1.3)
        price, delta, price_se, delta_se = q.price_and_delta_tangent_flow(*batch, 1.3, payoff, 0.4)
        f = np.array([ref.payoff_function(payoff, 0.4)(float(x)) for x in batch[0][:, -1]])
        with np.errstate(all="ignore"):
            products = f * weights
        assert_same_floats([delta, delta_se], q.price_from_samples(products))
        assert_same_floats([price, price_se], q.price_from_samples(f))


class TestTangentFlowValidation:
    @pytest.mark.parametrize("shape", [(2, 1), (2, 0), (0, 1), (0, 0)])
    def test_states_need_two_columns(self, shape):
        junk = np.empty((0, 0))
        msg = value_error(q.price_and_delta_tangent_flow, np.zeros(shape), junk, junk, junk, junk,
                          NAN, "not a payoff")
        assert msg == "states must have at least 2 columns (n_steps + 1)"

    def test_unknown_payoff_even_without_paths(self):
        junk = np.empty((0, 0))
        assert value_error(q.price_and_delta_tangent_flow, np.zeros((0, 3)), junk, junk, junk,
                           junk, NAN, "Put") == "unknown payoff 'Put'"

    @pytest.mark.parametrize("horizon", [NAN, 0.0, -0.0, -1.0, -INF])
    @pytest.mark.parametrize("n_paths", [2, 0])
    def test_horizon_must_be_positive_before_sizes(self, horizon, n_paths):
        junk = np.empty((0, 0))  # too small, but the horizon is reported first
        msg = value_error(q.price_and_delta_tangent_flow, np.zeros((n_paths, 3)), junk, junk,
                          junk, junk, horizon, "call")
        assert msg == "horizon must be positive"

    def test_unknown_payoff_before_zero_sigma(self):
        zeros = [[0.0, 0.0], [0.0, 0.0]]
        msg = value_error(q.price_and_delta_tangent_flow, *tf_batch(sigma=zeros), 2.0, "calls")
        assert msg == "unknown payoff 'calls'"

    @pytest.mark.parametrize(
        "sigma, message",
        [
            ([[0.2, 0.22], [-0.0, 0.25]], "sigma_field[1, 0] = 0 produces division by zero"),
            ([[0.2, 0.0], [0.0, 0.25]], "sigma_field[0, 1] = 0 produces division by zero"),
            ([[NAN, 0.22], [0.2, 0.0]], "sigma_field[1, 1] = 0 produces division by zero"),
        ],
    )
    def test_first_zero_sigma_in_row_major_order(self, sigma, message):
        for payoff in PAYOFFS:
            assert value_error(q.price_and_delta_tangent_flow, *tf_batch(sigma=sigma), 2.0,
                               payoff) == message

    def test_zero_sigma_indices_in_decimal(self):
        ones = np.ones((70, 12))
        sigma = ones.copy()
        sigma[66, 10] = -0.0
        msg = value_error(q.price_and_delta_tangent_flow, np.zeros((70, 13)), ones, sigma, ones,
                          ones, 1.0, "call")
        assert msg == "sigma_field[66, 10] = 0 produces division by zero"

    @pytest.mark.parametrize("n_paths", [1, 2])
    @pytest.mark.parametrize("position", range(1, 5))
    @pytest.mark.parametrize("cut", ["row", "column", "both"])
    def test_undersized_array_is_named(self, n_paths, position, cut):
        batch = [a[:n_paths] for a in tf_batch()]
        rows, cols = batch[position].shape
        rows, cols = rows - (cut != "column"), cols - (cut != "row")
        # Every later step array is too small as well; only the first is reported, and
        # before the zero diffusion values.
        batch[2] = np.zeros_like(batch[2])
        for i in range(position, 5):
            batch[i] = batch[i][:rows, :cols]
        assert value_error(q.price_and_delta_tangent_flow, *batch, 2.0, "call", 1.0) == (
            f"{STEP_ARRAYS[position - 1]} shape [{rows}, {cols}] is smaller than required "
            f"({n_paths}, 2)")


# --- bit-exactness against the reference --------------------------------------------


def random_terminal_data(rng, n):
    signs = rng.choice([1.0, -1.0], n, p=[0.9, 0.1])
    states = sprinkle(rng, rng.lognormal(0.0, 0.5, n) * signs, SPECIALS, 0.08)
    magnitudes = 10.0 ** rng.uniform(-3, 3, n)
    brownians = sprinkle(rng, rng.standard_normal(n) * magnitudes, SPECIALS, 0.08)
    return states, brownians


STRIKES = [0.0, -0.0, 1.0, -0.5, 1e300, NAN, INF, -INF]


class TestConstantFlowMatchesReference:
    SCALES = [(1.0, 0.2), (0.37, 3.3), (1e200, 1e200), (1e-200, 1e-200), (INF, 0.5),
              (0.25, 5e-324)]

    @pytest.mark.parametrize("name", LAYOUTS_1D)
    @pytest.mark.parametrize("horizon, sigma", SCALES)
    def test_random_batch(self, name, horizon, sigma):
        rng = rng_for("cf", name, horizon, sigma)
        for n in (1, 2, int(rng.integers(3, 120))):
            x, w = (layout(a, name) for a in random_terminal_data(rng, n))
            for payoff in PAYOFFS:
                strike = float(rng.choice(STRIKES))
                assert_same_outcome(q.price_and_delta_constant_flow,
                                    ref.price_and_delta_constant_flow,
                                    x, w, horizon, sigma, payoff, strike)

    @pytest.mark.parametrize("strike", STRIKES)
    def test_every_strike(self, strike):
        rng = rng_for("cf-strike", strike)
        x, w = random_terminal_data(rng, 64)
        for payoff in PAYOFFS:
            assert_same_outcome(q.price_and_delta_constant_flow, ref.price_and_delta_constant_flow,
                                x, w, 0.8, 1.7, payoff, strike)

    def test_same_array_for_both_parameters(self):
        x = layout(random_terminal_data(rng_for("cf-alias"), 40)[0], "reversed")
        for payoff in PAYOFFS:
            assert_same_outcome(q.price_and_delta_constant_flow, ref.price_and_delta_constant_flow,
                                x, x, 1.1, 0.9, payoff, 1.0)


class TestTangentFlowMatchesReference:
    HORIZONS = [1.0, 0.37, 1e-300, 1e300, INF, 0.0, -0.7, NAN]

    @pytest.mark.parametrize("name", LAYOUTS_2D)
    @pytest.mark.parametrize("horizon", HORIZONS)
    def test_random_batch(self, name, horizon):
        rng = rng_for("tf", name, horizon)
        for n_paths, n_steps in [(1, 1), (int(rng.integers(2, 90)), int(rng.integers(1, 12)))]:
            batch = [layout(a, name) for a in random_path_batch(rng, n_paths, n_steps)]
            for payoff in PAYOFFS:
                strike = float(rng.choice(STRIKES))
                assert_same_outcome(q.price_and_delta_tangent_flow,
                                    ref.price_and_delta_tangent_flow,
                                    *batch, horizon, payoff, strike)

    @pytest.mark.parametrize("seed", range(6))
    def test_mixed_layouts_and_oversized_arrays(self, seed):
        rng = rng_for("tf-mixed", seed)
        n_paths, n_steps = int(rng.integers(1, 80)), int(rng.integers(1, 10))
        batch = random_path_batch(rng, n_paths, n_steps)
        for i in range(1, 5):
            big = rng.standard_normal((n_paths + int(rng.integers(0, 3)),
                                       n_steps + int(rng.integers(0, 3))))
            big[:n_paths, :n_steps] = batch[i]
            batch[i] = big
        names = [str(name) for name in rng.choice(LAYOUTS_2D, 5)]
        batch = [layout(a, name) for a, name in zip(batch, names)]
        for payoff in PAYOFFS:
            assert_same_outcome(q.price_and_delta_tangent_flow, ref.price_and_delta_tangent_flow,
                                *batch, 0.6, payoff, 1.0)

    @pytest.mark.parametrize("seed", range(6))
    def test_random_zero_sigma(self, seed):
        rng = rng_for("tf-zeros", seed)
        batch = random_path_batch(rng, int(rng.integers(1, 100)), int(rng.integers(1, 8)))
        sigma = batch[2]
        plant_zeros(rng, sigma, int(rng.integers(1, 4)))
        assert_same_outcome(q.price_and_delta_tangent_flow, ref.price_and_delta_tangent_flow,
                            *batch, 1.0, "digital_call", 1.0)


class TestMeanStderrMatchesReference:
    @pytest.mark.parametrize("name", LAYOUTS_1D)
    @pytest.mark.parametrize("p_special", [0.0, 0.2])
    def test_random_samples(self, name, p_special):
        rng = rng_for("samples", name, p_special)
        for n in (0, 1, 2, 3, 10, int(rng.integers(11, 500))):
            base = rng.standard_normal(n) * 10.0 ** rng.uniform(-160, 160, n)
            samples = layout(sprinkle(rng, base, SPECIALS, p_special), name)
            assert_same_floats(q.price_from_samples(samples), ref.price_from_samples(samples))

    @pytest.mark.parametrize("value", [0.1, 1.0 / 3.0, 1e-170, 1e154, -7.25])
    @pytest.mark.parametrize("n", [3, 10, 1000])
    def test_constant_samples(self, value, n):
        # Constant data is where the one-pass variance cancels to tiny positive or
        # negative values, so the clamp and the exact rounding both show.
        samples = np.full(n, value)
        assert_same_floats(q.price_from_samples(samples), ref.price_from_samples(samples))
