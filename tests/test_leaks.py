"""Nothing leaks: not a reference to an input, not a Python object, not native memory.

Every way a call can end is exercised for every function: success, TypeError from
binding or conversion, the other conversion failures that pass unprefixed,
ValueError from a domain check, and PanicException from an internal fault (one that
comes back through a __float__). The reference counts of all the objects a
call was given must be the same afterwards. Then a child process makes 100 000 calls
of each kind and reports how much its resident memory and its count of allocated
Python blocks grew after a warm-up; any per-call leak of a Python object shows up in
the block count, and one of a result buffer in the resident memory.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import _quarnel as q
from markers import not_sanitized
from oddities import CustomTypeError, Float, FloatRaises, PanicException

CALLS = 100_000
WARM_UP = 10_000
RSS_LIMIT = 8 * 2**20  # bytes of growth over CALLS calls after the warm-up
BLOCKS_LIMIT = 2_000  # allocated Python blocks, likewise: a per-call leak gives CALLS


def expect(cls, fn, *args, **kwargs):
    """A call of fn that must raise exactly cls (or return, for cls None)."""

    def call():
        try:
            fn(*args, **kwargs)
        except BaseException as exc:  # noqa: BLE001 - PanicException included
            if type(exc) is not cls:
                raise
        else:
            if cls is not None:
                raise AssertionError(f"{fn.__name__} did not raise {cls.__name__}")

    return call


def scenarios():
    """{kind: [(label, call, objects whose reference counts must not change)]}."""
    rng = np.random.default_rng(7)
    n, m = 64, 2
    x = rng.uniform(0.5, 1.5, n)
    w = rng.standard_normal(n)
    states = rng.uniform(0.5, 1.5, (n, m + 1))
    dws = rng.standard_normal((n, m))[:, ::-1]  # strided, so views are exercised too
    sigma = np.asfortranarray(rng.uniform(0.1, 0.3, (n, m)))
    slopes = rng.standard_normal((n, m))
    zero_sigma = sigma.copy()
    zero_sigma[n - 1, 1] = 0.0
    short = slopes[:-1]
    f32 = x.astype(np.float32)
    payoff = "".join(["ca", "ll"])  # a str object of our own, not an interned constant
    odd = "".join(["bog", "us"])
    horizon = Float(1.5)
    batch = (states, dws, sigma, slopes, slopes)
    zero_batch = (states, dws, zero_sigma, slopes, slopes)
    inputs = [x, w, states, dws, sigma, slopes, zero_sigma, short, f32, payoff, odd, horizon]
    type_error = FloatRaises(TypeError)
    custom = FloatRaises(CustomTypeError)
    value_error = FloatRaises(ValueError)
    panic = FloatRaises(PanicException)
    huge = 10**400
    inputs += [type_error, custom, value_error, panic, huge]
    weights = (q.bel_weights_tangent_flow, q.bel_weights_tangent_flow_parallel)

    kinds = {
        "success": [
            ("samples", expect(None, q.price_from_samples, x)),
            ("samples kw", expect(None, q.price_from_samples, samples=x[::-2])),
            ("constant weights", expect(None, q.bel_weights_constant_flow, w, horizon, 0.3)),
            ("constant price", expect(None, q.price_and_delta_constant_flow, x, w, horizon,
                                      0.3, payoff, strike=1.0)),
            ("tangent price", expect(None, q.price_and_delta_tangent_flow, *batch, 1.0,
                                     payoff)),
        ] + [(f"{fn.__name__}", expect(None, fn, *batch, horizon=horizon)) for fn in weights],
        "TypeError": [
            ("samples dtype", expect(TypeError, q.price_from_samples, f32)),
            ("samples missing", expect(TypeError, q.price_from_samples, sample=x)),
            ("samples twice", expect(TypeError, q.price_from_samples, x, samples=x)),
            ("constant weights None", expect(TypeError, q.bel_weights_constant_flow, w, 1.0,
                                             None)),
            ("constant weights chained", expect(TypeError, q.bel_weights_constant_flow, w,
                                                type_error, 1.0)),
            ("constant price payoff", expect(TypeError, q.price_and_delta_constant_flow, x, w,
                                             1.0, 1.0, 3)),
            ("constant price extra", expect(TypeError, q.price_and_delta_constant_flow, x, w,
                                            1.0, 1.0, payoff, 0.0, x)),
            ("tangent price strike", expect(TypeError, q.price_and_delta_tangent_flow, *batch,
                                            1.0, payoff, strike=None)),
            ("tangent price last array", expect(TypeError, q.price_and_delta_tangent_flow,
                                                *batch[:4], f32, 1.0, payoff)),
        ] + [(f"{fn.__name__} horizon", expect(TypeError, fn, *batch, "1.0")) for fn in weights]
          + [(f"{fn.__name__} keyword", expect(TypeError, fn, *batch, horizon=1.0, **{odd: 1}))
             for fn in weights],
        "other conversion errors": [
            ("overflow", expect(OverflowError, q.bel_weights_constant_flow, w, huge, 1.0)),
            ("TypeError subclass", expect(CustomTypeError, q.price_and_delta_constant_flow, x,
                                          w, 1.0, custom, payoff)),
            ("ValueError from __float__", expect(ValueError, q.price_and_delta_tangent_flow,
                                                 *batch, 1.0, payoff, value_error)),
            ("lone surrogate", expect(UnicodeEncodeError, q.price_and_delta_constant_flow, x,
                                      w, 1.0, 1.0, "\udcff")),
        ] + [(f"{fn.__name__} overflow", expect(OverflowError, fn, *batch, -huge))
             for fn in weights],
        "ValueError": [
            ("constant weights horizon", expect(ValueError, q.bel_weights_constant_flow, w,
                                                0.0, 1.0)),
            ("constant weights sigma", expect(ValueError, q.bel_weights_constant_flow, w, 1.0,
                                              -1.0)),
            ("constant price length", expect(ValueError, q.price_and_delta_constant_flow, x,
                                             w[1:], 1.0, 1.0, payoff)),
            ("constant price payoff", expect(ValueError, q.price_and_delta_constant_flow, x, w,
                                             1.0, 1.0, odd)),
            ("tangent price payoff", expect(ValueError, q.price_and_delta_tangent_flow, *batch,
                                            1.0, odd)),
            ("tangent price zero", expect(ValueError, q.price_and_delta_tangent_flow,
                                          *zero_batch, 1.0, payoff)),
            ("constant price horizon", expect(ValueError, q.price_and_delta_constant_flow,
                                              x, w, 0.0, 1.0, payoff)),
            ("constant price sigma", expect(ValueError, q.price_and_delta_constant_flow,
                                            x, w, 1.0, float("nan"), payoff)),
            ("tangent price undersized", expect(ValueError, q.price_and_delta_tangent_flow,
                                                states, dws, sigma, short, slopes, 1.0,
                                                payoff)),
        ] + [(f"{fn.__name__} {what}", expect(ValueError, fn, *b, h)) for fn in weights
             for what, b, h in (("horizon", batch, 0.0), ("zero", zero_batch, 1.0),
                                ("shape", (states, dws, sigma, short, slopes), 1.0))],
        "PanicException": [
            ("constant weights via __float__", expect(PanicException,
                                                      q.bel_weights_constant_flow, w, panic,
                                                      1.0)),
            ("constant price via __float__", expect(PanicException,
                                                    q.price_and_delta_constant_flow, x, w, 1.0,
                                                    1.0, payoff, panic)),
            ("tangent price via __float__", expect(PanicException,
                                                   q.price_and_delta_tangent_flow, *batch,
                                                   panic, payoff)),
        ] + [(f"{fn.__name__} via __float__", expect(PanicException, fn, *batch, panic))
             for fn in weights],
    }
    return kinds, inputs


KINDS, _ = scenarios()
CASES = [(kind, label) for kind, calls in KINDS.items() for label, _ in calls]


@pytest.mark.parametrize("kind, label", CASES, ids=[f"{k}: {lbl}" for k, lbl in CASES])
def test_reference_counts_unchanged(kind, label, capfd):
    kinds, inputs = scenarios()  # fresh objects: nothing else refers to them
    call = dict(kinds[kind])[label]
    call()  # first-use caches (NumPy binding, exception classes) are not leaks
    before = [sys.getrefcount(o) for o in inputs]
    for _ in range(50):
        call()
    after = [sys.getrefcount(o) for o in inputs]
    capfd.readouterr()  # the fault diagnostics
    changed = [(i, b, a) for i, (b, a) in enumerate(zip(before, after)) if a != b]
    assert not changed, f"(input index, before, after): {changed}"


def test_result_array_holds_the_only_reference_to_its_buffer_owner():
    r = q.bel_weights_tangent_flow_parallel(np.ones((3, 2)), *[np.ones((3, 1))] * 4, 1.0)
    owner = r.base
    fresh = object()
    # r's base pointer beyond what any object in a local has: one more would keep the
    # buffer alive after the array is gone. Relative, as CPython 3.14 stopped counting
    # some borrowed references that older versions count.
    assert sys.getrefcount(owner) == sys.getrefcount(fresh) + 1


CHILD = """
import gc, json, os, sys
sys.path.insert(0, {tests!r})
import test_leaks

def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

kinds, _ = test_leaks.scenarios()
devnull = os.open(os.devnull, os.O_WRONLY)
saved = os.dup(2)
out = {{}}
for kind, calls in kinds.items():
    calls = [c for _, c in calls]
    os.dup2(devnull, 2)  # fault diagnostics, 100 000 of them
    try:
        for i in range({warm_up}):
            calls[i % len(calls)]()
        gc.collect()
        rss, blocks = resident(), sys.getallocatedblocks()
        for i in range({calls}):
            calls[i % len(calls)]()
        gc.collect()
        out[kind] = [resident() - rss, sys.getallocatedblocks() - blocks]
    finally:
        os.dup2(saved, 2)
print(json.dumps(out))
"""


@not_sanitized
def test_memory_flat_over_many_calls():
    code = CHILD.format(tests=str(Path(__file__).parent), warm_up=WARM_UP, calls=CALLS)
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=600, env={**os.environ, "PYTHONMALLOC": "pymalloc"})
    assert proc.returncode == 0, proc.stderr[-4000:]
    growth = json.loads(proc.stdout.splitlines()[-1])
    report = "; ".join(f"{kind}: RSS {rss / 2**20:+.2f} MiB, {blocks:+d} blocks"
                       for kind, (rss, blocks) in growth.items())
    print(f"\nmemory growth over {CALLS} calls of each kind after {WARM_UP}: {report}")
    for rss, blocks in growth.values():
        assert rss < RSS_LIMIT and blocks < BLOCKS_LIMIT, report
