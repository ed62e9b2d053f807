"""Binding of arguments to parameters, strict conversion, and result arrays."""

import numpy as np
import pytest

import _quarnel as q
from helpers import assert_same_floats
from oddities import (
    NATIVE_FUNCTIONS,
    SLOPES,
    VALID,
    Float,
    Index,
    W,
    X,
    binding_error,
    kind,
    native,
    parameters,
    required,
)
from quarnel import _greeks

M = np.ones((2, 2))
S = np.ones((2, 3))


class TestBinding:
    @pytest.mark.parametrize("call, message", [
        (lambda: q.price_from_samples(),
         "price_from_samples() missing 1 required positional argument: 'samples'"),
        (lambda: q.price_from_samples(X, samples=X),
         "price_from_samples() got multiple values for argument 'samples'"),
        (lambda: q.price_from_samples(X, X),
         "price_from_samples() takes 1 positional arguments but 2 were given"),
        (lambda: q.price_from_samples(sample=X),
         "price_from_samples() got an unexpected keyword argument 'sample'"),
        # The whole name, past the NUL.
        (lambda: q.price_from_samples(**{"samples\x00x": X}),
         "price_from_samples() got an unexpected keyword argument 'samples\x00x'"),
        (lambda: q.bel_weights_constant_flow(X),
         "bel_weights_constant_flow() missing 2 required positional arguments: "
         "'horizon' and 'sigma_at_x0'"),
        (lambda: q.bel_weights_tangent_flow(S, M, M),
         "bel_weights_tangent_flow() missing 3 required positional arguments: "
         "'d_mu_dx', 'd_sigma_dx', and 'horizon'"),
        (lambda: q.price_and_delta_constant_flow(X, W, 1.0, 1.0, "call", 0.0, 1),
         "price_and_delta_constant_flow() takes from 5 to 6 positional arguments but 7 were "
         "given"),
        (lambda: q.price_and_delta_tangent_flow(*[S] * 9),
         "price_and_delta_tangent_flow() takes from 7 to 8 positional arguments but 9 were "
         "given"),
        (lambda: q.price_and_delta_constant_flow(X, W, 1.0, 1.0, terminal_states=X),
         "price_and_delta_constant_flow() got multiple values for argument 'terminal_states'"),
        (lambda: q.price_and_delta_constant_flow(X, W, 1.0, strike=1.0),
         "price_and_delta_constant_flow() missing 2 required positional arguments: "
         "'sigma_at_x0' and 'payoff'"),
    ])
    def test_messages(self, call, message):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message

    @pytest.mark.parametrize("function", NATIVE_FUNCTIONS)
    def test_every_function_binds_as_a_plain_def(self, function):
        """Every way to fail binding, for every function of every native module, with the
        text CPython gives a plain def of the same signature. Binding fails before any
        argument is converted, so placeholders stand in for the values."""
        names = [p.name for p in parameters(function)]
        n_required = required(function)
        values = [object() for _ in names]
        calls = [(values[:k], {}) for k in range(n_required)]  # missing the rest
        calls += [([], {name: v for name, v in zip(names[k:], values[k:])})
                  for k in range(1, n_required)]  # missing the first k, the rest by keyword
        calls += [(values[:i + 1], {names[i]: values[i]}) for i in range(len(names))]
        calls += [(values + [1.0], {}), (values + [1.0] * 3, {}), (values[:1], {"bogus": 1.0}),
                  ([], {"bogus": 1.0}), (values, {"x\0y": 1.0}),
                  ([], {"\udcff": 1.0})]  # a name without a UTF-8 form
        fn = native(function)
        for positional, keywords in calls:
            expected = binding_error(function, positional, keywords)
            assert expected is not None, (positional, keywords)
            with pytest.raises(TypeError) as info:
                fn(*positional, **keywords)
            assert str(info.value) == expected

    def test_keywords_in_any_order(self):
        expected = q.price_and_delta_constant_flow(X, W, 1.0, 2.0, "call", 2.0)
        got = q.price_and_delta_constant_flow(strike=2.0, payoff="call", sigma_at_x0=2.0,
                                              horizon=1.0, w_terminals=W, terminal_states=X)
        assert got == expected

    def test_binding_error_comes_before_conversion_error(self):
        with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
            q.bel_weights_constant_flow("not an array", 1.0, 1.0, bogus=1)

    def test_missing_strike_means_zero_but_none_is_an_error(self):
        assert (q.price_and_delta_constant_flow(X, W, 1.0, 2.0, "call")
                == q.price_and_delta_constant_flow(X, W, 1.0, 2.0, "call", 0.0))
        with pytest.raises(TypeError, match="^argument 'strike': "):
            q.price_and_delta_constant_flow(X, W, 1.0, 2.0, "call", strike=None)


class RaisesTypeErrorSubclass:
    def __float__(self):
        raise type("MyTypeError", (TypeError,), {})("custom")


class TestArrayConversion:
    @pytest.mark.parametrize("bad, qualname", [
        ([1.0, 2.0], "list"),
        ((1.0,), "tuple"),
        (1.0, "float"),
        (None, "NoneType"),
        (np.array([1, 2]), "ndarray"),
        (np.array([1.0], dtype=np.float32), "ndarray"),
        (np.array([1.0], dtype=np.complex128), "ndarray"),
        (np.array([1.0], dtype=object), "ndarray"),
        (np.array(1.0), "ndarray"),
        (np.array([[1.0]]), "ndarray"),
        (np.float64(1.0), "float64"),
    ])
    def test_one_dimensional_rejections(self, bad, qualname):
        with pytest.raises(TypeError) as info:
            q.price_from_samples(bad)
        assert type(info.value) is TypeError
        assert str(info.value).startswith(
            f"argument 'samples': '{qualname}' object cannot be converted to ")

    @pytest.mark.parametrize("bad, found", [
        (np.ones(4, np.float32), ", got float32"),
        (np.ones(4, ">f8"), ", got >f8"),
        (np.ones((4, 1)), ", got ndim=2"),
        (np.ones((4, 1), np.int64), ", got ndim=2"),  # the dimensions first
        (np.array(1.0), ", got ndim=0"),
        ([1.0], ""),  # not an array: its type says it all
    ])
    def test_the_package_module_says_what_it_found(self, bad, found):
        expected = (f"argument 'w_terminals': '{type(bad).__qualname__}' object cannot be "
                    "converted to 'numpy.ndarray[float64, ndim=1]'")
        with pytest.raises(TypeError) as info:
            _greeks.greek_weights_constant_flow(bad, 1.0, 1.0, 0.2)
        assert str(info.value) == expected + found
        # _quarnel's text is fixed without it.
        with pytest.raises(TypeError) as info:
            q.bel_weights_constant_flow(bad, 1.0, 1.0)
        assert str(info.value) == expected

    @pytest.mark.parametrize("position, name", [
        (i, p.name) for i, p in enumerate(parameters("bel_weights_tangent_flow"))
        if kind(VALID[p.name]) == "array2"])
    def test_two_dimensional_rejections_name_the_parameter(self, position, name):
        args = [S, M, M, M, M, 1.0]
        args[position] = np.ones(2)  # one dimension short
        with pytest.raises(TypeError, match=f"^argument '{name}': 'ndarray' object cannot"):
            q.bel_weights_tangent_flow(*args)

    def test_first_bad_argument_in_parameter_order_is_reported(self):
        with pytest.raises(TypeError, match="^argument 'w_terminals'"):
            q.price_and_delta_constant_flow(X, [1.0], "bad", 1.0, 3)

    def test_subclass_and_equivalent_dtype_accepted(self):
        class Sub(np.ndarray):
            pass

        sub = X.view(Sub)
        # A distinct descriptor object that NumPy reports as equivalent to float64.
        tagged = X.astype(np.dtype(np.float64, metadata={"unit": "USD"}))
        assert tagged.dtype is not np.dtype(np.float64)
        assert q.price_from_samples(sub) == q.price_from_samples(X)
        assert q.price_from_samples(tagged) == q.price_from_samples(X)

    def test_byte_swapped_float64_is_not_equivalent(self):
        # Reading it in place would give garbage; it must be refused, not cast.
        with pytest.raises(TypeError, match="^argument 'samples': 'ndarray' object"):
            q.price_from_samples(X.astype(">f8"))

    def test_same_array_for_several_parameters(self):
        a = np.full((2, 2), 0.5)
        assert np.array_equal(q.bel_weights_tangent_flow(S, a, a, a, a, 1.0),
                              q.bel_weights_tangent_flow(S, a.copy(), a.copy(), a.copy(),
                                                         a.copy(), 1.0))


class Resizes:
    """A number whose __float__ first grows `arrays` in place (refcheck=False), so that
    their old memory is freed, and fills what they gained with `fill`."""

    def __init__(self, value, arrays, rows=5000, fill=0.5, ndim=None):
        self.value, self.arrays, self.rows, self.fill, self.ndim = value, arrays, rows, fill, ndim

    def __float__(self):
        for a in self.arrays:
            old = a.size
            shape = (self.rows, *a.shape[1:]) if self.ndim is None else (self.rows,) * self.ndim
            a.resize(shape, refcheck=False)
            a.flat[old:] = self.fill
        return self.value


def owned(*arrays):
    return [np.array(a, copy=True) for a in arrays]


class TestConversionOrder:
    # A later argument's conversion may resize an earlier array: the call reads every
    # array only after converting them all, so it sees the arrays as they are then.
    @pytest.mark.parametrize("call", [
        lambda x, w, n: q.price_and_delta_constant_flow(x, w, n(2.0, [x, w]), 0.5, "call", 1.0),
        lambda x, w, n: _greeks.price_and_greeks_constant_flow(
            x, w, 2.0, 1.0, 0.5, "call", n(1.0, [x, w])),
        lambda x, w, n: _greeks.greek_weights_constant_flow(w, 2.0, 1.0, n(0.5, [x, w])),
    ])
    def test_one_dimensional_arrays_resized_by_a_later_argument(self, call):
        x, w = owned(X, W)
        got = call(x, w, Resizes)
        assert x.size == w.size == 5000
        assert_same_floats(np.asarray(got), np.asarray(call(x.copy(), w.copy(), lambda v, _: v)))

    @pytest.mark.parametrize("function", [q.bel_weights_tangent_flow,
                                          q.bel_weights_tangent_flow_parallel,
                                          _greeks.greek_weights_tangent_flow])
    def test_two_dimensional_arrays_resized_by_the_horizon(self, function):
        batch = owned(*[VALID[p] for p in ("states", "dws", "sigma", "d_mu_dx", "d_sigma_dx")])
        if function is _greeks.greek_weights_tangent_flow:
            batch += owned(SLOPES, SLOPES)
        got = function(*batch, Resizes(2.0, batch))
        assert batch[0].shape == (5000, 3)
        assert_same_floats(got, function(*[a.copy() for a in batch], 2.0))

    def test_an_array_resized_to_other_dimensions_is_refused(self):
        x, w = owned(X, W)
        with pytest.raises(TypeError, match="^argument 'terminal_states': 'ndarray' object"):
            q.price_and_delta_constant_flow(x, w, Resizes(2.0, [x], rows=70, ndim=2), 0.5,
                                            "call", 1.0)


class TestScalarConversion:
    @pytest.mark.parametrize(
        "horizon", [1, True, np.float64(1.0), np.int32(1), Float(1.0), Index(3)])
    def test_accepted_numbers(self, horizon):
        expected = q.bel_weights_constant_flow(X, float(horizon), 20.0)
        assert np.array_equal(q.bel_weights_constant_flow(X, horizon, 20), expected)

    def test_minus_one_is_a_value_not_an_error(self):
        with pytest.raises(ValueError, match="^horizon must be positive$"):
            q.bel_weights_constant_flow(X, Float(-1.0), 1.0)

    @pytest.mark.parametrize("bad", ["1.0", None, object(), Float("x")])
    def test_type_errors_get_the_argument_prefix(self, bad):
        with pytest.raises(TypeError) as info:
            q.bel_weights_constant_flow(X, bad, 1.0)
        assert type(info.value) is TypeError
        assert str(info.value).startswith("argument 'horizon': ")

    def test_cause_is_carried_over(self):
        class Chained:
            def __float__(self):
                try:
                    raise KeyError("root")
                except KeyError as e:
                    raise TypeError("chained") from e

        with pytest.raises(TypeError) as info:
            q.bel_weights_constant_flow(X, 1.0, Chained())
        assert str(info.value) == "argument 'sigma_at_x0': chained"
        assert isinstance(info.value.__cause__, KeyError)

    @pytest.mark.parametrize("bad, cls", [
        (10 ** 400, OverflowError),
        (RaisesTypeErrorSubclass(), TypeError),
    ])
    def test_other_classes_pass_unchanged(self, bad, cls):
        with pytest.raises(cls) as info:
            q.bel_weights_constant_flow(X, bad, 1.0)
        assert not str(info.value).startswith("argument")

    def test_payoff_must_be_a_str(self):
        with pytest.raises(TypeError, match="^argument 'payoff': 'int' object cannot be "):
            q.price_and_delta_constant_flow(X, W, 1.0, 2.0, 3)

    def test_str_subclass_accepted(self):
        class Name(str):
            pass

        assert (q.price_and_delta_constant_flow(X, W, 1.0, 2.0, Name("call"), 2.0)
                == q.price_and_delta_constant_flow(X, W, 1.0, 2.0, "call", 2.0))

    def test_lone_surrogate_payoff_raises_unicode_error_unprefixed(self):
        with pytest.raises(UnicodeEncodeError):
            q.price_and_delta_constant_flow(X, W, 1.0, 2.0, "\udcff")


class TestResultArrays:
    @pytest.mark.parametrize("call", [
        lambda: q.bel_weights_constant_flow(X, 1.0, 2.0),
        lambda: q.bel_weights_tangent_flow(S, M, M, M, M, 1.0),
        lambda: q.bel_weights_tangent_flow_parallel(S, M, M, M, M, 1.0),
    ])
    def test_flags(self, call):
        r = call()
        assert type(r) is np.ndarray and r.dtype == np.float64 and r.ndim == 1
        assert r.strides == (8,)
        assert r.flags.writeable and r.flags.c_contiguous and r.flags.aligned
        assert not r.flags.owndata
        assert r.base is not None

    def test_result_is_fresh_and_outlives_everything(self):
        w = X.copy()
        r = q.bel_weights_constant_flow(w, 1.0, 1.0)
        assert not np.shares_memory(r, w)
        r[:] = 99.0
        assert np.array_equal(w, X)
        view = r[1:]
        del r
        assert np.array_equal(view, [99.0] * 3)

    @pytest.mark.parametrize("call", [
        lambda: q.bel_weights_constant_flow(np.empty(0), 1.0, 2.0),
        lambda: q.bel_weights_tangent_flow(np.empty((0, 3)), *[np.empty((0, 2))] * 4, 1.0),
    ])
    def test_empty_results(self, call):
        r = call()
        assert r.shape == (0,) and r.dtype == np.float64 and not r.flags.owndata
