"""Threads: concurrent calls from many Python threads, the interpreter lock released by
the parallel kernel, and keyboard interrupts that arrive while it runs.

(Pool sizing and forked children are covered in test_parallel.py.)
"""

from __future__ import annotations

import _thread
import collections
import itertools
import math
import os
import signal
import threading
import time

import numpy as np
import pytest

import _quarnel as q

SOAK_SECONDS = 2.0
LONG_CALL_SECONDS = 0.5


def bits(value):
    """Exact identity of a result: array bytes, or the hex form of each float."""
    if isinstance(value, np.ndarray):
        return value.dtype.str, value.shape, value.tobytes()
    return tuple(v.hex() for v in value)


def workload():
    """[(label, function, args, expected bits or expected ValueError text)]."""
    rng = np.random.default_rng(11)
    n = 300
    x = rng.lognormal(0.0, 0.2, n)
    w = rng.standard_normal(n)

    def batch(n_paths, n_steps):
        states = rng.lognormal(0.0, 0.2, (n_paths, n_steps + 1))
        dws = rng.standard_normal((n_paths, n_steps)) * math.sqrt(1.0 / n_steps)
        sigma = np.asfortranarray(0.2 * states[:, :-1])
        return states, dws, sigma, np.full_like(dws, 0.05), np.full_like(dws, 0.2)

    small = batch(40, 8)
    big = batch(2_000, 60)  # 1.2e5 path-steps: several work items on the pool
    zero = [a.copy() for a in big]
    zero[2][1_500, 7] = 0.0
    calls = [
        ("samples", q.price_from_samples, (x,)),
        ("constant weights", q.bel_weights_constant_flow, (w, 1.5, 0.3)),
        ("constant price", q.price_and_delta_constant_flow, (x, w, 1.5, 0.3, "call", 1.0)),
        ("tangent weights", q.bel_weights_tangent_flow, (*small, 1.0)),
        ("tangent price", q.price_and_delta_tangent_flow, (*small, 1.0, "put", 1.1)),
        ("parallel weights", q.bel_weights_tangent_flow_parallel, (*big, 1.0)),
        ("parallel zero", q.bel_weights_tangent_flow_parallel, (*zero, 1.0)),
        ("parallel small", q.bel_weights_tangent_flow_parallel, (*small, 1.0)),
    ]
    out = []
    for label, fn, args in calls:
        try:
            expected = bits(fn(*args))
        except ValueError as exc:
            expected = str(exc)
        out.append((label, fn, args, expected))
    # The parallel kernel must agree with the serial one in every thread, too.
    assert out[5][3] == bits(q.bel_weights_tangent_flow(*big, 1.0))
    assert out[6][3] == "sigma[1500, 7] = 0 produces division by zero in BEL weight"
    return out


def test_eight_threads_calling_every_function():
    calls = workload()
    n_threads = 8
    start = threading.Barrier(n_threads)
    counts = collections.Counter()
    failures = []
    lock = threading.Lock()

    def worker(offset):
        start.wait()
        deadline = time.monotonic() + SOAK_SECONDS
        done = collections.Counter()
        i = offset
        try:
            while time.monotonic() < deadline:
                label, fn, args, expected = calls[i % len(calls)]
                i += 1
                try:
                    got = bits(fn(*args))
                except ValueError as exc:
                    got = str(exc)
                if got != expected:
                    failures.append(f"{label}: {got!r:.200} != {expected!r:.200}")
                    return
                done[label] += 1
        except BaseException as exc:  # noqa: BLE001 - report, never hang the barrier
            failures.append(f"thread {offset}: {type(exc).__name__}: {exc}")
        with lock:
            counts.update(done)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(n_threads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60 + 4 * SOAK_SECONDS)
    assert not any(t.is_alive() for t in threads), "a thread hangs"
    assert not failures, failures[:5]
    assert set(counts) == {label for label, *_ in calls}, counts


class LongCall:
    """A parallel call that takes about `seconds` and needs next to no memory: every
    matrix is one row broadcast over all paths (stride 0), so every weight is that of
    the one-path batch."""

    N_STEPS = 2_000

    def __init__(self, seconds):
        rng = np.random.default_rng(5)
        dw = rng.standard_normal(self.N_STEPS) * math.sqrt(1.0 / self.N_STEPS)
        self.rows = [np.ones(self.N_STEPS + 1), dw, np.full(self.N_STEPS, 0.2),
                     np.full(self.N_STEPS, 0.05), np.full(self.N_STEPS, 0.2)]
        one = q.bel_weights_tangent_flow(*[r[None, :] for r in self.rows], 1.0)
        self.weight = one[0]
        self.n_paths = 4_000
        elapsed = self.time_one()
        self.n_paths = int(min(max(self.n_paths * seconds / elapsed, 4_000), 2_000_000))
        self.seconds = self.time_one()

    def args(self):
        return [np.broadcast_to(r, (self.n_paths, r.shape[0])) for r in self.rows] + [1.0]

    def time_one(self):
        t0 = time.perf_counter()
        self.check(q.bel_weights_tangent_flow_parallel(*self.args()))
        return time.perf_counter() - t0

    def check(self, result):
        assert result.shape == (self.n_paths,)
        assert (result.view(np.uint64) == np.float64(self.weight).view(np.uint64)).all()


@pytest.fixture(scope="module")
def long_call():
    return LongCall(LONG_CALL_SECONDS)


def test_python_threads_run_while_a_parallel_call_holds_the_pool(long_call):
    stop = threading.Event()
    running = threading.Event()
    ticks = []  # when the counting thread got to run

    def count():
        n = 0
        running.set()
        while not stop.is_set():
            n += 1
            if n % 1000 == 0:
                ticks.append(time.perf_counter())

    counter = threading.Thread(target=count)
    counter.start()
    running.wait()
    t0 = time.perf_counter()
    result = q.bel_weights_tangent_flow_parallel(*long_call.args())
    t1 = time.perf_counter()
    stop.set()
    counter.join()
    long_call.check(result)
    # Had the call kept the interpreter lock, the counter could only have run before it
    # started or after it ended, never in the middle.
    margin = 0.1 * (t1 - t0)
    inside = [t for t in ticks if t0 + margin < t < t1 - margin]
    assert len(inside) >= 3, (len(ticks), len(inside), t1 - t0)


def _interrupt(how):
    if how == "interrupt_main":
        _thread.interrupt_main()
    else:
        os.kill(os.getpid(), signal.SIGINT)


@pytest.mark.skipif(threading.current_thread() is not threading.main_thread(),
                    reason="signal handlers run in the main thread only")
@pytest.mark.parametrize("how", ["interrupt_main", "SIGINT"])
def test_keyboard_interrupt_takes_effect_after_the_call(long_call, how):
    handled = []

    def on_sigint(signum, frame):
        handled.append(time.perf_counter())
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGINT, on_sigint)
    try:
        for _ in range(3):  # a loaded machine may delay the sender past the call's end
            handled.clear()
            sent = []
            go = threading.Event()

            def sender(go, sent):
                go.wait()
                time.sleep(0.25 * long_call.seconds)
                sent.append(time.perf_counter())
                _interrupt(how)

            thread = threading.Thread(target=sender, args=(go, sent))
            thread.start()
            # The result and the time the call returned are stored from C (map and
            # starmap), so nothing checks for signals between the call's return and
            # the stores; the interrupt can only be raised once the whole chain returns.
            sink = []
            go.set()
            try:
                collections.deque(map(sink.append, itertools.chain(
                    itertools.starmap(q.bel_weights_tangent_flow_parallel, [long_call.args()]),
                    itertools.starmap(time.perf_counter, [()]))), maxlen=0)
                deadline = time.monotonic() + 10
                while time.monotonic() < deadline:  # the interrupt came late: wait for it
                    time.sleep(0.001)
                pytest.fail("no KeyboardInterrupt")
            except KeyboardInterrupt:
                pass
            thread.join()
            assert len(sink) == 2, "the call did not return its result"
            result, returned = sink
            long_call.check(result)
            assert len(handled) == 1 and handled[0] >= returned
            if sent[0] < returned:
                break
        else:
            pytest.skip("the interrupt never arrived while the call was running")
    finally:
        signal.signal(signal.SIGINT, previous)
    assert handled[0] - returned < 1.0, "the interrupt took effect late"
    long_call.check(q.bel_weights_tangent_flow_parallel(*long_call.args()))
