"""Argument objects that probe the conversion rules, shared by the tests and the fuzzer,
and the class of the module's internal faults.
"""

from __future__ import annotations

import importlib
import importlib.machinery
import inspect
import re
from pathlib import Path

import numpy as np

import _quarnel
import quarnel
from quarnel import PanicException  # noqa: F401 - the one class, for the tests


class Float:
    """A number only through __float__."""

    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v

    def __repr__(self):
        return f"Float({self.v!r})"


class Index:
    """A number only through __index__."""

    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v

    def __repr__(self):
        return f"Index({self.v!r})"


class Name(str):
    pass


class CustomTypeError(TypeError):
    pass


class FloatRaises:
    """__float__ raises a fresh exception of the given class each time, with a fixed
    cause, so that a test can check that the cause is carried over."""

    def __init__(self, cls, text="no float here"):
        self.cls = cls
        self.text = text
        self.cause = KeyError("root cause")

    def __float__(self):
        raise self.cls(self.text) from self.cause

    def __repr__(self):
        return f"FloatRaises({self.cls.__name__})"


class FloatReturnsText:
    def __float__(self):
        return "1.0"


class IndexRaises:
    def __index__(self):
        raise ZeroDivisionError("no index either")


# --- the functions, their parameters and valid arguments ----------------------------------
#
# Parameter lists come from the functions' own signatures; what is restated here is one
# valid value per parameter name, mutually consistent: 1-D inputs of four samples and a
# batch of two paths of two steps.

X = np.array([1.0, 2.0, 3.0, 4.0])
W = np.array([0.5, -0.5, 1.0, 2.0])
STATES = np.array([[1.0, 1.1, 1.3], [1.0, 0.9, 0.8]])
DWS = np.array([[0.1, 0.2], [0.3, -0.1]])
SIGMA = np.array([[0.2, 0.22], [0.2, 0.25]])
SLOPES = np.full((2, 2), 0.05)

VALID = {
    "samples": X, "terminal_states": X, "w_terminals": W, "states": STATES, "dws": DWS,
    "sigma": SIGMA, "sigma_field": SIGMA, "d_mu_dx": SLOPES, "d_mu_dx_field": SLOPES,
    "d_sigma_dx": SLOPES, "d_sigma_dx_field": SLOPES, "horizon": 2.0, "sigma_at_x0": 0.5,
    "payoff": "call", "strike": 1.0,
    # quarnel._greeks
    "x0": 1.0, "vol": 0.2, "model": "gbm", "estimator": "lowest_variance", "half_width": 0.5,
    "vega": "parallel_bump", "d2_mu_dx2": SLOPES, "d2_mu_dx2_field": SLOPES,
    "d2_sigma_dx2": SLOPES, "d2_sigma_dx2_field": SLOPES, "d_mu_dp": SLOPES, "d_sigma_dp": SLOPES,
    "d2_mu_dx_dp": SLOPES, "d2_sigma_dx_dp": SLOPES, "first_path": 0.0, "with_vega": 1.0,
    "start": np.zeros(4), "sums": X, "n_paths": 2.0, "rows": np.ones((2, 5)), "width": 0.5,
    "rate": 0.05,
    # quarnel._basket: two assets
    "vols": np.array([0.2, 0.3]), "correlation": np.array([[1.0, 0.5], [0.5, 1.0]]),
    "weights": np.array([0.5, 0.5]),
    # quarnel._heston
    "dw_v": DWS, "dw_perp": DWS, "s0": 1.0, "v0": 0.04, "kappa": 1.5, "theta": 0.04, "xi": 0.5,
    "rho": -0.7, "mu": 0.0,
    # the newer keywords of quarnel._greeks
    "strike2": 1.5, "pairs": "halves", "rate_rho": 0.0, "estimates": X, "strikes": X,
    # quarnel._fused: the model's coefficients and the seed's halves
    "a": 0.5, "b": 0.5, "c": 0.5, "seed_lo": 1.0, "seed_hi": 0.0, "kind": 0.0,
    # quarnel._path_native
    "barrier": 1.5, "dates": np.array([1.0, 2.0]), "direction": "up", "knock": "out",
    "product": "barrier", "threads": "serial", "first_date": 0.0, "rebate": 0.0,
    "vega_weights": 0.0, "centred": 0.0, "column": 0.0,
    # quarnel._fused's local volatility surfaces (a handle below 1 is never live)
    "times": np.array([0.0, 1.0]), "handle": 0.0,
}

# Where one name means another kind of value in one function.
VALID_IN = {"quarnel._greeks:_continue_sums": {"samples": np.ones((2, 2))}}
for _name in ["_basket_block_sums", "_basket_levels", "_basket_samples", "greek_weights_basket",
              "price_and_greeks_basket"]:
    VALID_IN[f"quarnel._basket:{_name}"] = {
        "terminal_states": np.ones((2, 2)), "w_terminals": DWS, "x0": np.ones(2)}

# quarnel._fused's local volatility surface (a (times, states) grid); quarnel._greeks'
# layout of an estimate's chunk samples.
VALID.update({"estimate": "constant_flow"})
VALID_IN["quarnel._fused:_local_vol_surface"] = {"states": np.array([0.5, 1.5]),
                                                  "vols": np.full((2, 2), 0.2)}

# quarnel._stream: the accumulator is a capsule, never drawn; one step's 1-D arrays.
VALID.update({"accumulator": 1.0, "n_steps": 2.0, "order": "second_order", "dw": W})
for _name in ["_step", "_step_first_order"]:
    VALID_IN[f"quarnel._stream:{_name}"] = {
        "sigma": X, "d_mu_dx": W, "d_sigma_dx": W, "d2_mu_dx2": W, "d2_sigma_dx2": W}

# The names a text parameter knows.
TEXTS = {"payoff": ["identity", "call", "put", "digital_call"], "model": ["gbm", "abm"],
         "estimator": ["lowest_variance", "weights"], "vega": ["parallel_bump"],
         "order": ["first_order", "second_order", "second_order_vega"]}


def valid(function: str, name: str):
    return VALID_IN.get(function, {}).get(name, VALID[name])

FUNCTIONS = [name for name in _quarnel.__all__ if callable(getattr(_quarnel, name))]


def _native_modules() -> list:
    """_quarnel and every extension module inside the package, found on disk, so that a
    module added later is covered without being named here."""
    found = [_quarnel]
    for path in sorted(Path(quarnel.__file__).parent.iterdir()):
        for suffix in importlib.machinery.EXTENSION_SUFFIXES:
            if path.name.endswith(suffix):
                found.append(importlib.import_module(f"quarnel.{path.name[:-len(suffix)]}"))
                break
    return found


NATIVE_MODULES = _native_modules()

# Every function of every native module, private ones included (they share the binder),
# as "module:function" ids.
NATIVE_FUNCTIONS = [
    f"{module.__name__}:{name}" for module in NATIVE_MODULES for name in sorted(dir(module))
    if type(getattr(module, name)) is type(_quarnel.price_from_samples)
]


def native(function: str):
    """The function object for a "module:function" id, or a name in _quarnel."""
    module, _, name = function.rpartition(":")
    return getattr(importlib.import_module(module or "_quarnel"), name)


def parameters(function: str) -> list[inspect.Parameter]:
    return list(inspect.signature(native(function)).parameters.values())


def required(function: str) -> int:
    return sum(p.default is inspect.Parameter.empty for p in parameters(function))


def kind(value) -> str:
    """"array1", "array2", "float" or "str": what a parameter with this valid value takes."""
    if isinstance(value, np.ndarray):
        return f"array{value.ndim}"
    return "str" if isinstance(value, str) else "float"


def binding_error(function: str, positional, keywords) -> str | None:
    """The TypeError text CPython gives for this call of a plain def with the function's
    signature, or None if it binds: what the module must say too."""
    twin_namespace: dict = {}
    name = function.rpartition(":")[2]
    exec(f"def {name}{inspect.signature(native(function))}: pass", twin_namespace)
    twin = twin_namespace[name]
    # The module reports surplus positional arguments before it looks at the keywords;
    # CPython looks at the keywords first.
    if len(positional) > len(parameters(function)):
        keywords = {}
    try:
        twin(*positional, **keywords)
    except TypeError as exc:
        text = re.sub(r"\. Did you mean '[^']*'\?$", "", str(exc))  # a 3.13+ suggestion
        # The module keeps the plural for a single parameter.
        return text.replace(" takes 1 positional argument ", " takes 1 positional arguments ")
    return None
