"""Values, validation and bit-exactness of the two serial BEL weight kernels."""

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
arr = np.asarray
# The four step arrays, in parameter order.
STEP_ARRAYS = list(inspect.signature(q.bel_weights_tangent_flow).parameters)[1:5]


# --- constant flow -------------------------------------------------------------------


class TestConstantFlowValues:
    @pytest.mark.parametrize(
        "w, horizon, sigma, expected",
        [
            ([1.0, -2.0, 0.0], 2.0, 0.5, [1.0, -2.0, 0.0]),
            # w * (1 / 3.0); the quotient 2.5 / 3.0 would end in ...334.
            ([2.5], 1.0, 3.0, [0.8333333333333333]),
            ([3.0], 1.0, 20.0, [0.15000000000000002]),
            # horizon * sigma overflows, the scale is 0.0: zeros keep the sign of W_T.
            ([1.0, -2.0, 0.0, -0.0, INF], 1e200, 1e200, [0.0, -0.0, 0.0, -0.0, NAN]),
            # horizon * sigma underflows, the scale is +inf.
            ([1.0, -2.0, 0.0], 1e-200, 1e-200, [INF, -INF, NAN]),
            ([NAN, INF, -INF, -0.0], 1.0, 2.0, [NAN, INF, -INF, -0.0]),
            ([1.0, -1.0], INF, 1.0, [0.0, -0.0]),
            ([-4.0], 1.0, INF, [-0.0]),
        ],
    )
    def test_known_weights(self, w, horizon, sigma, expected):
        assert_same_floats(q.bel_weights_constant_flow(arr(w), horizon, sigma), expected)

    def test_empty_batch(self):
        out = q.bel_weights_constant_flow(arr([]), 1.0, 2.0)
        assert out.dtype == np.float64 and out.shape == (0,)


class TestConstantFlowValidation:
    @pytest.mark.parametrize("horizon", [0.0, -0.0, -1.0, -INF, NAN])
    @pytest.mark.parametrize("sigma", [2.0, 0.0, NAN])
    def test_horizon_is_checked_before_sigma(self, horizon, sigma):
        msg = value_error(q.bel_weights_constant_flow, arr([1.0]), horizon, sigma)
        assert msg == "horizon must be positive"

    @pytest.mark.parametrize("sigma", [0.0, -0.0, -3.0, -INF, NAN])
    def test_sigma_must_be_positive(self, sigma):
        msg = value_error(q.bel_weights_constant_flow, arr([1.0]), 1.0, sigma)
        assert msg == "sigma_at_x0 must be positive"

    def test_checks_apply_to_an_empty_batch(self):
        assert value_error(q.bel_weights_constant_flow, arr([]), 0.0, 1.0) == (
            "horizon must be positive"
        )
        assert value_error(q.bel_weights_constant_flow, arr([]), 1.0, 0.0) == (
            "sigma_at_x0 must be positive"
        )


def random_brownians(rng, n):
    magnitudes = 10.0 ** rng.uniform(-4, 4, n)
    return sprinkle(rng, rng.standard_normal(n) * magnitudes, SPECIALS, 0.1)


class TestConstantFlowMatchesReference:
    SCALES = [
        (1.0, 0.2),
        (0.37, 3.3),
        (0.1, 7.0),
        (1e200, 1e200),
        (1e-200, 1e-200),
        (INF, 1.0),
        (5e-324, 1.0),
        (1.7976931348623157e308, 0.5),
    ]

    @pytest.mark.parametrize("name", LAYOUTS_1D)
    @pytest.mark.parametrize("horizon, sigma", SCALES)
    def test_random_batch(self, name, horizon, sigma):
        rng = rng_for("constant", name, horizon, sigma)
        for n in (0, 1, 2, int(rng.integers(3, 200))):
            w = layout(random_brownians(rng, n), name)
            assert_same_outcome(q.bel_weights_constant_flow, ref.bel_weights_constant_flow, w,
                                horizon, sigma)

    def test_division_would_differ(self):
        # Guard for the reference itself: on these inputs w * (1 / (T * s)) and
        # w / (T * s) disagree somewhere, so a kernel that divides cannot pass above.
        rng = rng_for("division")
        w = rng.standard_normal(1000)
        got = q.bel_weights_constant_flow(w, 0.37, 3.3)
        assert np.any(got != w / (0.37 * 3.3))
        assert_same_floats(got, ref.bel_weights_constant_flow(w, 0.37, 3.3))


# --- tangent flow --------------------------------------------------------------------

# A 2-path batch small enough to follow by hand.
DWS = [[0.1, 0.2], [0.3, -0.1]]
SIGMA = [[0.2, 0.22], [0.2, 0.25]]
D_MU = [[0.05, 0.05], [0.05, 0.05]]
D_SIGMA = [[0.2, 0.2], [0.2, 0.2]]


def small_batch(states=None, dws=DWS, sigma=SIGMA, d_mu=D_MU, d_sigma=D_SIGMA):
    if states is None:
        states = np.zeros((len(dws), len(dws[0]) + 1))
    return [arr(states), arr(dws), arr(sigma), arr(d_mu), arr(d_sigma)]


class TestTangentFlowValues:
    @pytest.mark.parametrize("state_value", [0.0, 1.0, NAN, -INF])
    def test_known_batch_ignores_state_values(self, state_value):
        states = np.full((2, 3), state_value)
        got = q.bel_weights_tangent_flow(*small_batch(states), 2.0)
        # Written as Y * dw / (s * T) with Y * (1 + mu' dt + sigma' dw), the second
        # weight would be 0.5279999999999998.
        assert_same_floats(got, [0.7363636363636364, 0.528])

    def test_constant_tangent(self):
        batch = small_batch(dws=[[0.1, -0.2]], sigma=[[0.5, 0.25]], d_mu=[[0.0, 0.0]],
                            d_sigma=[[0.0, 0.0]])
        assert_same_floats(q.bel_weights_tangent_flow(*batch, 1.0), [-0.6000000000000001])

    def test_empty_batch(self):
        empty = np.empty((0, 2))
        out = q.bel_weights_tangent_flow(np.empty((0, 3)), empty, empty, empty, empty, 1.0)
        assert out.dtype == np.float64 and out.shape == (0,)

    @pytest.mark.parametrize("bad", [NAN, INF])
    def test_non_finite_sigma_stays_in_its_path(self, bad):
        sigma = [[0.2, 0.22], [bad, 0.25]]
        got = q.bel_weights_tangent_flow(*small_batch(sigma=sigma), 2.0)
        assert got[0] == 0.7363636363636364
        assert_same_floats(got, ref.bel_weights_tangent_flow(*small_batch(sigma=sigma), 2.0))

    def test_tiny_sigma_is_not_zero(self):
        sigma = [[5e-324, 0.22], [0.2, -5e-324]]
        got = q.bel_weights_tangent_flow(*small_batch(sigma=sigma), 2.0)
        assert_same_floats(got, ref.bel_weights_tangent_flow(*small_batch(sigma=sigma), 2.0))
        assert got[0] == INF and got[1] == INF

    def test_zeros_outside_sigma_are_fine(self):
        zeros = [[0.0, -0.0], [-0.0, 0.0]]
        got = q.bel_weights_tangent_flow(*small_batch(dws=zeros, d_mu=zeros, d_sigma=zeros), 2.0)
        assert_same_floats(got, [0.0, 0.0])


class TestTangentFlowValidation:
    @pytest.mark.parametrize("horizon", [0.0, -0.0, -1.0, NAN, -INF])
    def test_horizon_first(self, horizon):
        # A one-column states and mis-shaped matrices would fail too, but later.
        bad = np.zeros((5, 7))
        msg = value_error(q.bel_weights_tangent_flow, np.zeros((2, 1)), bad, bad, bad, bad,
                          horizon)
        assert msg == "horizon must be positive"

    @pytest.mark.parametrize("shape", [(2, 1), (2, 0), (0, 1), (0, 0)])
    def test_states_need_two_columns(self, shape):
        bad = np.zeros((5, 7))
        msg = value_error(q.bel_weights_tangent_flow, np.zeros(shape), bad, bad, bad, bad, 1.0)
        assert msg == "states must have at least 2 columns (n_steps + 1)"

    @pytest.mark.parametrize(
        "shape, message",
        [
            ((3, 5), "dws shape [3, 5] != expected (3, 4)"),
            ((4, 3), "dws shape [4, 3] != expected (3, 4)"),
            ((4, 4), "dws shape [4, 4] != expected (3, 4)"),
            ((0, 4), "dws shape [0, 4] != expected (3, 4)"),
        ],
    )
    def test_shape_message(self, shape, message):
        good = np.ones((3, 4))
        assert value_error(q.bel_weights_tangent_flow, np.zeros((3, 5)), np.ones(shape),
                           good, good, good, 1.0) == message

    @pytest.mark.parametrize("position, name", list(enumerate(STEP_ARRAYS)))
    def test_first_wrong_matrix_is_named(self, position, name):
        # Every matrix from `position` on is wrong; only the first of them is reported.
        mats = [np.ones((12, 10)) for _ in range(4)]
        for i in range(position, 4):
            mats[i] = np.ones((12, 11))
        msg = value_error(q.bel_weights_tangent_flow, np.zeros((12, 11)), *mats, 1.0)
        assert msg == f"{name} shape [12, 11] != expected (12, 10)"

    def test_shapes_are_checked_before_values(self):
        sigma = np.zeros((2, 2))  # all zero, but d_sigma_dx has the wrong shape
        msg = value_error(q.bel_weights_tangent_flow, np.zeros((2, 3)), np.ones((2, 2)), sigma,
                          np.ones((2, 2)), np.ones((2, 3)), 1.0)
        assert msg == "d_sigma_dx shape [2, 3] != expected (2, 2)"

    @pytest.mark.parametrize(
        "sigma, message",
        [
            ([[0.2, 0.0], [0.0, 0.1]], "sigma[0, 1] = 0 produces division by zero in BEL weight"),
            ([[0.2, 0.1], [-0.0, 0.1]], "sigma[1, 0] = 0 produces division by zero in BEL weight"),
            ([[NAN, 0.1], [0.3, -0.0]], "sigma[1, 1] = 0 produces division by zero in BEL weight"),
        ],
    )
    def test_first_zero_sigma_in_row_major_order(self, sigma, message):
        assert value_error(q.bel_weights_tangent_flow, *small_batch(sigma=sigma), 2.0) == message

    def test_zero_sigma_indices_in_decimal(self):
        sigma = np.ones((20, 12))
        sigma[13, 11] = 0.0
        sigma[19, 0] = 0.0
        ones = np.ones((20, 12))
        msg = value_error(q.bel_weights_tangent_flow, np.zeros((20, 13)), ones, sigma, ones,
                          ones, 1.0)
        assert msg == "sigma[13, 11] = 0 produces division by zero in BEL weight"


TANGENT_HORIZONS = [1.0, 0.37, 3.0, 1e-300, 1e300, INF, 5e-324]


class TestTangentFlowMatchesReference:
    @pytest.mark.parametrize("name", LAYOUTS_2D)
    @pytest.mark.parametrize("horizon", TANGENT_HORIZONS)
    def test_random_batch(self, name, horizon):
        rng = rng_for("tangent", name, horizon)
        sizes = [(1, 1), (3, 1), (int(rng.integers(2, 30)), int(rng.integers(2, 16)))]
        for n_paths, n_steps in sizes:
            batch = [layout(a, name) for a in random_path_batch(rng, n_paths, n_steps)]
            assert_same_outcome(q.bel_weights_tangent_flow, ref.bel_weights_tangent_flow,
                                *batch, horizon)

    @pytest.mark.parametrize("seed", range(6))
    def test_mixed_layouts(self, seed):
        rng = rng_for("mixed", seed)
        n_paths, n_steps = int(rng.integers(1, 25)), int(rng.integers(1, 12))
        names = [str(name) for name in rng.choice(LAYOUTS_2D, 5)]
        batch = [layout(a, name)
                 for a, name in zip(random_path_batch(rng, n_paths, n_steps), names)]
        assert_same_outcome(q.bel_weights_tangent_flow, ref.bel_weights_tangent_flow, *batch, 0.8)

    def test_one_array_for_several_parameters(self):
        rng = rng_for("aliased")
        m = layout(rng.uniform(0.1, 1.0, (7, 5)), "strided_columns")
        got = q.bel_weights_tangent_flow(np.zeros((7, 6)), m, m, m, m, 1.5)
        assert_same_floats(got, ref.bel_weights_tangent_flow(np.zeros((7, 6)), m, m, m, m, 1.5))

    @pytest.mark.parametrize("seed", range(8))
    def test_random_zero_sigma(self, seed):
        # Zeros anywhere, of either sign: the message names the first in row-major order.
        rng = rng_for("zeros", seed)
        batch = random_path_batch(rng, int(rng.integers(1, 20)), int(rng.integers(1, 10)),
                                  sigma_specials=SPECIALS, p=0.05)
        sigma = batch[2]
        plant_zeros(rng, sigma, int(rng.integers(1, 4)))
        assert_same_outcome(q.bel_weights_tangent_flow, ref.bel_weights_tangent_flow, *batch, 1.0)
