"""bel_weights_tangent_flow_parallel: equal to the serial kernel, and the worker pool.

The pool is sized once per process, so everything that depends on its thread count
runs in a fresh interpreter with the environment under test.
"""

import json
import os
import resource
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import _quarnel as q
from helpers import assert_same_outcome, random_path_batch, rng_for

HERE = os.path.dirname(os.path.abspath(__file__))
MODULE_DIR = os.path.dirname(os.path.abspath(q.__file__))


def run_child(code, env_vars=None, args=(), timeout=60):
    """Runs `code` in a fresh interpreter that can import _quarnel and the test helpers."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    env["PYTHONPATH"] = os.pathsep.join([MODULE_DIR, HERE, env.get("PYTHONPATH", "")])
    env.update(env_vars or {})
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args],
                          capture_output=True, text=True, env=env, timeout=timeout)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def batch(rng, n_paths, n_steps):
    return random_path_batch(rng, n_paths, n_steps) + [0.75]


# Starts the pool the way a caller would and reports, as JSON, the worker threads seen
# before any call, after calls that fail validation, and after an empty batch. With
# argv[1] = T it then checks the results that depend on the thread count.
POOL_PROBE = r"""
    import json, math, os, sys
    import numpy as np
    import _quarnel as q
    import helpers
    from layouts import LAYOUTS_2D, layout

    def workers():
        names = []
        for tid in os.listdir("/proc/self/task"):
            with open(f"/proc/self/task/{tid}/comm") as f:
                names.append(f.read().strip())
        return names.count("quarnel-worker"), len(names)

    f = q.bel_weights_tangent_flow_parallel
    e2, e3 = np.zeros((0, 2)), np.zeros((0, 3))
    out = {"before": workers()}
    bad_calls = [
        (np.zeros((2, 1)), e2, e2, e2, e2, 0.0),  # horizon
        (np.zeros((2, 1)), e2, e2, e2, e2, 1.0),  # columns
        (np.zeros((2, 3)), np.zeros((2, 3)), e2, e2, e2, 1.0),  # shape
    ]
    for args in bad_calls:
        try:
            f(*args)
        except ValueError:
            pass
        else:
            raise AssertionError("validation passed")
    out["after_invalid"] = workers()
    empty = f(e3, e2, e2, e2, e2, 1.0)
    assert empty.shape == (0,) and empty.dtype == np.float64
    out["after_empty"] = workers()

    if len(sys.argv) > 1:
        T = int(sys.argv[1])
        rng = np.random.default_rng(T)
        for n_paths, n_steps in [(1, 1), (3, 2), (9, 4), (10, 4), (37, 13), (100, 3)]:
            b = helpers.random_path_batch(rng, n_paths, n_steps) + [0.75]
            for name in LAYOUTS_2D:
                args = [layout(a, name) for a in b[:5]] + [b[5]]
                helpers.assert_same_floats(f(*args), q.bel_weights_tangent_flow(*args))

        def message(sigma, n_paths, n_steps):
            ones = np.ones((n_paths, n_steps))
            try:
                f(np.ones((n_paths, n_steps + 1)), ones * 0.1, sigma, ones, ones, 1.0)
            except ValueError as exc:
                return str(exc)
            raise AssertionError("no error")

        for zero in (0.0, -0.0):
            sigma = np.ones((10, 4))
            sigma[7, 2] = zero
            got = message(sigma, 10, 4)
            assert got == "sigma[7, 2] = 0 produces division by zero in BEL weight", got

        chunk = max(1, math.ceil(40 / T))
        sigma = np.ones((40, 3))
        sigma[:, 0] = 0.0
        for _ in range(20):
            path, step = message(sigma, 40, 3).split("[")[1].split("]")[0].split(", ")
            assert step == "0" and int(path) % chunk == 0, (path, step, chunk)

        if T == 1:
            sigma = np.ones((10, 3))
            sigma[5, 1] = sigma[2, 0] = 0.0
            got = message(sigma, 10, 3)
            assert got == "sigma[2, 0] = 0 produces division by zero in BEL weight", got

    print(json.dumps(out))
"""


def probe(env_vars, threads=None):
    args = () if threads is None else (str(threads),)
    return json.loads(run_child(POOL_PROBE, env_vars, args))


class TestThreadCounts:
    @pytest.mark.parametrize("threads", [1, 2, 3, 8])
    def test_equal_to_serial_and_errors_for_each_pool_size(self, threads):
        seen = probe({"RAYON_NUM_THREADS": str(threads)}, threads)
        # A one-thread pool is the calling thread alone.
        expected = threads if threads > 1 else 0
        assert seen["before"][0] == 0
        assert seen["after_invalid"] == seen["before"]  # failed validation: no pool
        assert seen["after_empty"][0] == expected  # an empty batch starts it
        assert seen["after_empty"][1] == seen["before"][1] + expected

    # The parsing rules are covered in C++; this checks the variables reach them.
    @pytest.mark.parametrize("env, threads", [
        ({"RAYON_NUM_THREADS": "+3", "RAYON_RS_NUM_CPUS": "5"}, 3),
        ({"RAYON_RS_NUM_CPUS": "5"}, 5),
        ({"RAYON_NUM_THREADS": " 3", "RAYON_RS_NUM_CPUS": "4"}, 4),
        ({"RAYON_NUM_THREADS": "18446744073709551616", "RAYON_RS_NUM_CPUS": "4"}, 4),
    ])
    def test_pool_size_from_environment(self, env, threads):
        assert probe(env)["after_empty"][0] == threads

    def test_processor_count_when_unset_or_zero(self):
        unset = probe({})["after_empty"][0]
        # 0 selects the processor count without looking at RAYON_RS_NUM_CPUS.
        zero = probe({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "7"})["after_empty"][0]
        junk = probe({"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "0"})["after_empty"][0]
        assert unset == zero == junk
        assert unset <= len(os.sched_getaffinity(0))


class TestInProcess:
    def test_validation_messages_match_serial(self):
        m = np.ones((3, 4))
        for args in [(np.ones((3, 1)), m, m, m, m, 0.0),
                     (np.ones((3, 5)), np.ones((3, 5)), m, m, m, 1.0),
                     (np.ones((3, 5)), m, m, m, np.ones((4, 3)), 1.0)]:
            assert_same_outcome(q.bel_weights_tangent_flow_parallel,
                                q.bel_weights_tangent_flow, *args)

    def test_concurrent_callers(self):
        batches = [batch(rng_for("threads", i), 40 + i, 6) for i in range(6)]
        expected = [q.bel_weights_tangent_flow(*b) for b in batches]
        start = threading.Barrier(6)
        failures = []

        def caller(i):
            start.wait()
            for _ in range(25):
                got = q.bel_weights_tangent_flow_parallel(*batches[i])
                if not np.array_equal(got, expected[i], equal_nan=True):
                    failures.append(i)

        threads = [threading.Thread(target=caller, args=(i,)) for i in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert failures == []


# Long calls on broadcast arrays (so the batch costs no memory) while a Python thread
# records when it gets to run; it can run in the middle of a call only if the call has
# released the interpreter lock. The serial kernel, which keeps the lock, is the control.
PROGRESS = r"""
    import threading, time
    import numpy as np
    import _quarnel as q

    n, s = 20000, 10000
    row = lambda v, c=s: np.broadcast_to(np.full((1, c), v), (n, c))
    args = (row(0.0, s + 1), row(0.01), row(0.2), row(0.05), row(0.2), 1.0)

    def ticks_inside(fn):
        ticks, stop = [], threading.Event()
        def ticker():
            while not stop.is_set():
                ticks.append(time.perf_counter())
                time.sleep(0.0005)
        t = threading.Thread(target=ticker)
        t.start()
        time.sleep(0.01)
        t0 = time.perf_counter()
        fn(*args)
        t1 = time.perf_counter()
        stop.set()
        t.join()
        d = t1 - t0
        return sum(t0 + 0.25 * d < x < t0 + 0.75 * d for x in ticks)

    print(ticks_inside(q.bel_weights_tangent_flow),
          ticks_inside(q.bel_weights_tangent_flow_parallel))
"""


class TestInterpreterLock:
    def test_other_threads_run_during_a_call(self):
        serial, parallel = map(int, run_child(PROGRESS, {"RAYON_NUM_THREADS": "2"}).split())
        assert serial == 0
        assert parallel >= 5


FORK = r"""
    import os, signal, threading, warnings
    import numpy as np
    import _quarnel as q
    import helpers

    warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
    args = helpers.random_path_batch(np.random.default_rng(5), 64, 8) + [1.0]
    expected = q.bel_weights_tangent_flow(*args)
    helpers.assert_same_floats(q.bel_weights_tangent_flow_parallel(*args), expected)

    # Keep the pool busy from another thread so that forks land mid-call.
    stop = threading.Event()
    def busy():
        while not stop.is_set():
            q.bel_weights_tangent_flow_parallel(*args)
    worker = threading.Thread(target=busy)
    worker.start()
    for _ in range(5):
        pid = os.fork()
        if pid == 0:
            signal.alarm(10)
            try:
                helpers.assert_same_floats(q.bel_weights_tangent_flow_parallel(*args), expected)
                os._exit(0)
            except BaseException:
                os._exit(1)
        assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
    stop.set()
    worker.join()
    helpers.assert_same_floats(q.bel_weights_tangent_flow_parallel(*args), expected)
    print("ok")
"""


# Thread stacks cannot be mapped once the address space is capped just above its
# current size, so the pool cannot start.
POOL_FAILURE = r"""
    import resource
    import numpy as np
    import _quarnel as q
    from oddities import PanicException

    e2, e3 = np.zeros((0, 2)), np.zeros((0, 3))
    with open("/proc/self/status") as f:
        vm = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (vm + (4 << 20), resource.RLIM_INFINITY))
    for _ in range(2):
        try:
            q.bel_weights_tangent_flow_parallel(e3, e2, e2, e2, e2, 1.0)
        except PanicException as exc:
            print(str(exc))
    try:
        q.bel_weights_tangent_flow_parallel(e3, e2, e2, e2, e2, 0.0)
    except ValueError as exc:
        print(str(exc))
"""


class TestProcessLife:
    def test_forked_child_computes_without_the_workers(self):
        assert run_child(FORK, {"RAYON_NUM_THREADS": "3"}, timeout=30).strip() == "ok"

    def test_pool_that_cannot_start_fails_every_call(self):
        soft_stack = resource.getrlimit(resource.RLIMIT_STACK)[0]
        if soft_stack != resource.RLIM_INFINITY and soft_stack < (8 << 20):
            pytest.skip("thread stacks too small for the address-space cap to stop them")
        lines = run_child(POOL_FAILURE, {"RAYON_NUM_THREADS": "4"}).splitlines()
        assert len(lines) == 3
        prefix = "The global thread pool has not been initialized.: "
        assert lines[0].startswith(prefix) and len(lines[0]) > len(prefix)
        assert lines[1] == lines[0]
        # Validation still comes first and still reports normally.
        assert lines[2] == "horizon must be positive"
