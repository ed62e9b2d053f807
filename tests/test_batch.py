"""quarnel.PathBatch and the batch form of the functions; arrays read through DLPack."""

from __future__ import annotations

import pickle

import numpy as np
import pytest

import quarnel as q

N_PATHS, N_STEPS, S, T = 300, 6, 0.25, 1.0


def gbm(time_major=False):
    """CEV-free GBM Euler paths; time-major: the arrays are .T views of (time, path) blocks."""
    rng = np.random.default_rng(4)
    dws = np.sqrt(T / N_STEPS) * rng.standard_normal((N_STEPS, N_PATHS))
    states = np.ones((N_STEPS + 1, N_PATHS))
    for j in range(N_STEPS):
        states[j + 1] = states[j] * (1.0 + S * dws[j])
    return (states.T, dws.T) if time_major else (np.ascontiguousarray(states.T),
                                                  np.ascontiguousarray(dws.T))


def make(time_major=False, arrays=None):
    states, dws = arrays or gbm(time_major)
    batch = q.PathBatch.from_model(states, dws, T, sigma=lambda x: S * x, d_mu_dx=0.0,
                                   d_sigma_dx=S, d2_mu_dx2=0.0, d2_sigma_dx2=0.0)
    return batch.with_parameters(vol=q.ParameterFields.parallel_volatility_bump(
        batch.sigma, batch.d_sigma_dx))


def first(b):
    return (b.states, b.dws, b.sigma, b.d_mu_dx, b.d_sigma_dx)


def second(b):
    return (*first(b), b.d2_mu_dx2, b.d2_sigma_dx2)


# (function, extra arguments of the batch form, the positional arguments from a batch)
FORMS = [
    ("bel_weights_tangent_flow", (), lambda b: (*first(b), T)),
    ("bel_weights_tangent_flow_parallel", (), lambda b: (*first(b), T)),
    ("price_and_delta_tangent_flow", ("call", 1.0), lambda b: (*first(b), T, "call", 1.0)),
    ("greek_weights_tangent_flow", (), lambda b: (*second(b), T)),
    ("greek_weights_tangent_flow_parallel", (), lambda b: (*second(b), T)),
    ("parameter_weights_tangent_flow", ("vol",),
     lambda b: (*second(b), *q.parallel_volatility_bump(b.sigma, b.d_sigma_dx), T)),
    ("price_and_greeks_tangent_flow", ("digital_call", 1.0),
     lambda b: (*second(b), T, "digital_call", 1.0)),
]


@pytest.mark.parametrize("time_major", [False, True])
@pytest.mark.parametrize(("name", "extra", "positional"), FORMS)
def test_batch_form_equals_positional_form(name, extra, positional, time_major):
    b = make(time_major)
    fn = getattr(q, name)
    np.testing.assert_array_equal(fn(b, *extra), fn(*positional(b)))


def test_from_model_keeps_the_layout_and_borrows():
    states, dws = gbm(time_major=True)
    b = make(arrays=(states, dws))
    assert b.sigma.flags.f_contiguous and b.d_mu_dx.strides == (0, 0)
    assert np.shares_memory(b.states, states) and np.shares_memory(b.dws, dws)
    assert not b.states.flags.writeable and states.base.flags.writeable
    assert repr(b) == (f"PathBatch({N_PATHS} paths x {N_STEPS} steps, horizon=1.0, "
                       "states=F, dws=F, sigma=F, d_mu_dx=broadcast, d_sigma_dx=broadcast, "
                       "d2_mu_dx2=broadcast, d2_sigma_dx2=broadcast, parameters=['vol'])")
    sliced = q.PathBatch(states=states[:-1], dws=dws[:-1], horizon=T, sigma=dws[:-1],
                         d_mu_dx=dws[:-1], d_sigma_dx=np.ones((N_PATHS - 1, N_STEPS)))
    assert "dws=time-major" in repr(sliced) and "d2_mu_dx2=absent" in repr(sliced)


M, ST = np.ones((3, 4)), np.ones((3, 5))
GOOD = dict(states=ST, dws=M, horizon=1.0, sigma=M, d_mu_dx=M, d_sigma_dx=M)


@pytest.mark.parametrize(("change", "error", "message"), [
    (dict(sgima=M), TypeError, "got an unexpected keyword argument 'sgima'"),
    (dict(dws=M[:, 1:]), ValueError, "dws shape [3, 3] != expected (3, 4)"),
    (dict(d2_sigma_dx2=M[1:]), ValueError, "d2_sigma_dx2 shape [2, 4] != expected (3, 4)"),
    (dict(states=ST[:, :1]), ValueError, "states must have at least 2 columns (n_steps + 1)"),
    (dict(sigma=M.astype(np.float32)), TypeError,
     "argument 'sigma': expected a 2-D float64 array (numpy.ndarray, a CPU array exporting "
     "DLPack, or dask.array.Array), got numpy.ndarray of float32, shape (3, 4)"),
    (dict(d_mu_dx=[[1.0] * 4] * 3), TypeError, "argument 'd_mu_dx': expected a 2-D float64"),
    (dict(horizon=float("inf")), ValueError, "horizon must be finite and positive, got inf"),
    (dict(horizon=float("nan")), ValueError, "horizon must be finite and positive, got nan"),
    (dict(horizon="1"), TypeError, "argument 'horizon': "),
    (dict(parameters={"vol": (M, M, M, M)}), TypeError, "argument 'parameters': expected"),
    (dict(parameters={"vol": q.ParameterFields(d_mu_dp=M, d_sigma_dp=M, d2_mu_dx_dp=M[:2],
                                               d2_sigma_dx_dp=M)}),
     ValueError, "parameters['vol'].d2_mu_dx_dp shape [2, 4] != expected (3, 4)"),
])
def test_checked_once_when_made(change, error, message):
    with pytest.raises(error) as info:
        q.PathBatch(**{**GOOD, **change})
    assert type(info.value) is error and message in str(info.value)


def test_keywords_only_immutable_and_picklable():
    with pytest.raises(TypeError, match="takes 1 positional argument"):
        q.PathBatch(ST, M, 1.0, M, M, M)  # type: ignore[misc]
    b = q.PathBatch(**GOOD)
    with pytest.raises(AttributeError):
        b.sigma = M  # type: ignore[misc]
    with pytest.raises(TypeError):
        b.parameters["vol"] = None  # type: ignore[index]
    again = pickle.loads(pickle.dumps(b))
    assert repr(again) == repr(b) and np.array_equal(again.dws, b.dws)


@pytest.mark.parametrize(("call", "error", "message"), [
    (lambda b: q.greek_weights_tangent_flow(b), TypeError,
     "greek_weights_tangent_flow() needs the batch field 'd2_mu_dx2', which this batch "
     "does not hold"),
    (lambda b: q.parameter_weights_tangent_flow(b, parameter="kappa"), ValueError,
     "parameter 'kappa' is not one of the batch's parameters []"),
    (lambda b: q.price_and_delta_tangent_flow(b, "call", horizon=2.0), TypeError,
     "price_and_delta_tangent_flow() got multiple values for argument 'horizon'"),
])
def test_batch_form_errors(call, error, message):
    with pytest.raises(error) as info:
        call(q.PathBatch(**GOOD))
    assert str(info.value) == message


def test_from_model_coefficients_must_fit():
    with pytest.raises(ValueError, match=r"^sigma\(x\) returned shape \(4,\); expected"):
        q.PathBatch.from_model(ST, M, 1.0, sigma=lambda x: x[0], d_mu_dx=0.0, d_sigma_dx=0.0)
    with pytest.raises(TypeError, match=r"^d_mu_dx\(x\) returned numpy.ndarray of int64"):
        q.PathBatch.from_model(ST, M, 1.0, sigma=1.0, d_mu_dx=lambda x: np.zeros(x.shape, int),
                               d_sigma_dx=0.0)
    with pytest.raises(TypeError, match="missing 1 required keyword-only argument: 'd_sigma"):
        q.PathBatch.from_model(ST, M, 1.0, sigma=1.0, d_mu_dx=0.0)  # type: ignore[call-arg]


def test_wrapped_functions_say_what_they_are():
    fn = q.price_and_delta_tangent_flow
    assert (fn.__name__, fn.__module__) == ("price_and_delta_tangent_flow", "quarnel")
    assert fn.__doc__.startswith(
        "price_and_delta_tangent_flow(states, dws, sigma_field, d_mu_dx_field, "
        "d_sigma_dx_field, horizon, payoff, strike=0.0)\n"
        "price_and_delta_tangent_flow(batch, /, payoff, strike=0.0)\n")
    assert str(__import__("inspect").signature(q.price_from_samples)) == "(samples)"


class Exporter:
    """Any array library's CPU array, seen only through its DLPack protocol."""

    def __init__(self, a, device=(1, 0)):
        self.a, self.device = a, device

    def __dlpack__(self, **kwargs):
        return self.a.__dlpack__(**kwargs)

    def __dlpack_device__(self):
        return self.device


def read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


@pytest.mark.parametrize("view", [lambda a: a, lambda a: a[::-1, ::2], lambda a: a.T.T,
                                  read_only, lambda a: np.broadcast_to(a[:1], a.shape)])
def test_dlpack_arrays_give_the_same_bits(view):
    if np.lib.NumpyVersion(np.__version__) < "2.0.0":
        # The exporter here is NumPy's own, and NumPy 1.x refuses to export the batch's
        # read-only views through DLPack at all.
        pytest.skip("NumPy 1.x cannot export a read-only array through DLPack")
    b = make()
    sigma = view(np.asarray(b.sigma))[:, :N_STEPS]
    if sigma.shape[1] < N_STEPS:  # the strided view: pad back with a wider base
        sigma = view(np.repeat(np.asarray(b.sigma), 2, axis=1))
    args = [b.states, b.dws, sigma, b.d_mu_dx, b.d_sigma_dx, T]
    expected = q.bel_weights_tangent_flow(*args)
    got = q.bel_weights_tangent_flow(*(Exporter(a) if isinstance(a, np.ndarray) else a
                                       for a in args))
    np.testing.assert_array_equal(got, expected)
    x = np.asarray(b.states)[:, -1]
    assert q.price_from_samples(Exporter(x[::-3])) == q.price_from_samples(x[::-3])
    batch = q.PathBatch(states=Exporter(b.states), dws=b.dws, horizon=T, sigma=Exporter(sigma),
                        d_mu_dx=b.d_mu_dx, d_sigma_dx=b.d_sigma_dx)
    assert np.shares_memory(batch.sigma, sigma)
    np.testing.assert_array_equal(q.bel_weights_tangent_flow(batch), expected)


@pytest.mark.parametrize(("arguments", "message"), [
    (lambda: (ST, Exporter(M, (2, 0)), M, M, M, 1.0),
     "argument 'dws': a cuda array (device 0) cannot be read; move it to the CPU first"),
    (lambda: (ST, Exporter(M, (99, 3)), M, M, M, 1.0),
     "argument 'dws': a DLPack device type 99 array (device 3) cannot be read;"),
    # The first bad argument in parameter order, as for NumPy arrays.
    (lambda: ([[1.0]], Exporter(M, (2, 0)), M, M, M, 1.0), "argument 'states': 'list'"),
    (lambda: (ST, M, Exporter(M.astype(np.float32)), M, M, 1.0),
     "argument 'sigma': 'ndarray' object cannot be converted to 'numpy.ndarray[float64, "
     "ndim=2]'"),
])
def test_dlpack_refusals_name_the_argument(arguments, message):
    with pytest.raises(TypeError) as info:
        q.bel_weights_tangent_flow(*arguments())
    assert str(info.value).startswith(message)
    if "cuda" in message:
        with pytest.raises(TypeError, match="^argument 'dws': a cuda array"):
            q.PathBatch(**{**GOOD, "dws": Exporter(M, (2, 0))})


def test_torch_tensors_when_torch_is_there():
    torch = pytest.importorskip("torch")
    b = make()
    tensors = [torch.from_numpy(np.array(a)) for a in first(b)]
    np.testing.assert_array_equal(q.bel_weights_tangent_flow(*tensors, T),
                                  q.bel_weights_tangent_flow(b))
    with pytest.raises(TypeError, match="^argument 'dws': 'ndarray' object cannot be"):
        q.bel_weights_tangent_flow(tensors[0], tensors[1].float(), *tensors[2:], T)


@pytest.mark.parametrize(("arguments", "error", "message"), [
    ((M, [1.0]), TypeError, "argument 'd_sigma_dx': expected a float64 numpy.ndarray, got list"),
    ((M.astype(np.float32), M), TypeError, "argument 'sigma': expected a float64 numpy.ndarray, "
                                           "got numpy.ndarray of float32, shape (3, 4)"),
    ((M, ST), ValueError, "sigma and d_sigma_dx must have the same shape, got (3, 4) and (3, 5)"),
])
def test_volatility_bump_checks_its_arrays(arguments, error, message):
    with pytest.raises(error) as info:
        q.parallel_volatility_bump(*arguments)
    assert str(info.value) == message
