"""Process-level soundness: interpreter exit, fork, and the fault class, each in a fresh
interpreter because each depends on what the process has done before."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import pytest

from markers import SANITIZED

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="POSIX process model")


def run_python(code: str, *, env: dict[str, str] | None = None, timeout: float = 60.0,
               path: str | None = None) -> subprocess.CompletedProcess[str]:
    full_env = {**os.environ, **(env or {})}
    if path is not None:
        full_env["PYTHONPATH"] = os.pathsep.join(
            p for p in (path, full_env.get("PYTHONPATH")) if p)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, env=full_env)


def test_daemon_thread_in_a_parallel_call_at_exit_ends_the_process_normally():
    # The finalizing interpreter ends the daemon thread when it retakes the lock after
    # a parallel call; that must not abort the process.
    code = """
        import threading, numpy as np, _quarnel
        b = [np.zeros((64, 9))] + [np.full((64, 8), v) for v in (0.1, 0.2, 0.01, 0.02)]
        def loop():
            while True:
                _quarnel.bel_weights_tangent_flow_parallel(*b, 1.0)
        threading.Thread(target=loop, daemon=True).start()
        _quarnel.bel_weights_tangent_flow_parallel(*b, 1.0)
    """
    statuses = [run_python(code, env={"RAYON_NUM_THREADS": "2"}).returncode for _ in range(20)]
    assert statuses == [0] * 20


def test_fork_while_another_thread_builds_the_pool_leaves_a_working_child():
    code = """
        import os, threading, time, numpy as np, _quarnel
        b = [np.zeros((5, 4))] + [np.full((5, 3), v) for v in (0.1, 0.2, 0.01, 0.02)]
        expected = _quarnel.bel_weights_tangent_flow(*b, 1.0)
        threading.Thread(target=_quarnel.bel_weights_tangent_flow_parallel, args=(*b, 1.0)).start()
        time.sleep(0.002)  # the first parallel call is now starting its many workers
        pid = os.fork()
        if pid == 0:
            ok = (_quarnel.bel_weights_tangent_flow_parallel(*b, 1.0) == expected).all()
            os._exit(0 if ok else 3)
        _, status = os.waitpid(pid, 0)
        raise SystemExit(os.waitstatus_to_exitcode(status))
    """
    result = run_python(code, env={"RAYON_NUM_THREADS": "1500"}, timeout=120)
    assert result.returncode == 0, result.stderr


FAKE_NUMPY = textwrap.dedent("""
    import ctypes, sys, types
    # A stand-in for NumPy that reports C ABI version 7 and nothing else.
    version = ctypes.CFUNCTYPE(ctypes.c_uint)(lambda: 7)
    table = (ctypes.c_void_p * 300)()
    table[0] = ctypes.cast(version, ctypes.c_void_p)
    new_capsule = ctypes.pythonapi.PyCapsule_New
    new_capsule.restype = ctypes.py_object
    new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    np = types.ModuleType("numpy")
    np.__version__ = "2.0.0"
    np.lib = types.SimpleNamespace(NumpyVersion=lambda v: types.SimpleNamespace(major=2))
    multiarray = types.ModuleType("numpy._core.multiarray")
    multiarray._ARRAY_API = new_capsule(ctypes.addressof(table), None, None)
    np._core = types.SimpleNamespace(multiarray=multiarray)
    sys.modules.update({"numpy": np, "numpy._core": np._core,
                        "numpy._core.multiarray": multiarray})
""")


def test_unknown_numpy_abi_is_refused_as_a_fault():
    result = run_python(FAKE_NUMPY + textwrap.dedent("""
        import _quarnel
        try:
            _quarnel.price_from_samples(object())
        except BaseException as e:
            print(type(e).__module__, type(e).__name__, str(e))
    """))
    assert result.stdout.strip() == (
        "quarnel PanicException Failed to access NumPy array API capsule: "
        "unsupported NumPy C ABI version 0x00000007"), result.stderr


def test_threads_faulting_first_at_once_share_one_exception_class():
    # Collections during class creation let the other threads in.
    result = run_python(FAKE_NUMPY + textwrap.dedent("""
        import gc, sys, threading, _quarnel
        gc.set_threshold(1)
        sys.setswitchinterval(1e-6)
        barrier, classes = threading.Barrier(8), []
        def fault():
            barrier.wait()
            try:
                _quarnel.price_from_samples(object())
            except BaseException as e:
                classes.append(type(e))
        threads = [threading.Thread(target=fault) for _ in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        print(len(classes), len(set(classes)), classes[0] is sys._quarnel_PanicException)
    """))
    assert result.stdout.split() == ["8", "1", "True"], result.stderr


# Zero strides describe any number of paths at no cost: just over 2^64 bytes of result
# (40 bytes a path) used to wrap the allocator's byte count into a tiny block.
HUGE_PATHS = 2**64 // 40 + 1


def _broadcast(value: float, *shape: int):
    import numpy as np
    from numpy.lib.stride_tricks import as_strided
    return as_strided(np.full(1, value), shape=shape, strides=(0,) * len(shape))


def _huge_chunk_calls():
    from quarnel import _greeks
    x, s, f = (_broadcast(1.0, HUGE_PATHS), _broadcast(1.0, HUGE_PATHS, 2),
               _broadcast(0.1, HUGE_PATHS, 1))
    yield "_greeks_constant_flow_samples", lambda: _greeks._greeks_constant_flow_samples(
        x, x, 1.0, 1.0, 0.2, "call", 1.0, "gbm", "weights", 0.0, 0.0, 0.0)
    yield "_vanna_volga_constant_flow_samples", lambda: (
        _greeks._vanna_volga_constant_flow_samples(x, x, 1.0, 1.0, 0.2, "digital", 1.0, "gbm",
                                                   "lowest_variance", 0.5, 0.0))
    yield "_ladder_constant_flow_samples", lambda: _greeks._ladder_constant_flow_samples(
        x, x, 1.0, 1.0, 0.2, "call", _broadcast(1.0, 1), "gbm", "weights", 0.0, 0.0)
    yield "_greek_rows_tangent_flow", lambda: _greeks._greek_rows_tangent_flow(
        s, f, f, f, f, f, f, 1.0, 0.0, 1.0)


@pytest.mark.parametrize("name", [name for name, _ in _huge_chunk_calls()])
def test_results_past_the_address_space_are_refused(name):
    call = dict(_huge_chunk_calls())[name]
    with pytest.raises(ValueError, match="would not fit in memory"):
        call()


@pytest.mark.skipif(SANITIZED, reason="the address checker ends the process on a refused "
                                      "allocation")
@pytest.mark.parametrize("function, args", [
    ("_constant_flow_samples", (1.0, 0.2, "call", 1.0)),
    ("greek_weights_constant_flow", (1.0, 1.0, 0.2)),
])
def test_a_result_the_system_refuses_is_a_memory_error(function, args):
    # 7e18 to 1.5e19 bytes: no overflow, but no system has them either.
    from quarnel import _greeks
    x = _broadcast(1.0, HUGE_PATHS)
    arrays = (x, x) if function == "_constant_flow_samples" else (x,)
    with pytest.raises(MemoryError, match="float64 values could not be allocated"):
        getattr(_greeks, function)(*arrays, *args)


@pytest.mark.parametrize("flow", ["constant", "tangent"])
def test_dask_over_broadcast_arrays_past_the_address_space_is_refused(flow):
    da = pytest.importorskip("dask.array", reason="dask comes with the dask extra")
    import quarnel.dask as qd
    if flow == "constant":
        x = da.broadcast_to(da.ones(1, chunks=1), (HUGE_PATHS,), chunks=(HUGE_PATHS,))
        call = lambda: qd.price_and_greeks_constant_flow(  # noqa: E731
            x, x, 1.0, 1.0, 0.2, "call", 1.0, timeout=60)
    else:
        s = da.broadcast_to(da.ones((1, 2), chunks=(1, 2)), (HUGE_PATHS, 2),
                            chunks=(HUGE_PATHS, 2))
        f = da.broadcast_to(da.full((1, 1), 0.1, chunks=1), (HUGE_PATHS, 1),
                            chunks=(HUGE_PATHS, 1))
        call = lambda: qd.price_and_greeks_tangent_flow(  # noqa: E731
            s, f, f, f, f, f, f, 1.0, "call", 1.0, timeout=60)
    with pytest.raises(ValueError, match="would not fit in memory"):
        call()


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="threads listed in /proc")
@pytest.mark.parametrize("order", ["_quarnel first", "_greeks first"])
def test_both_modules_share_one_pool_of_the_configured_size(order):
    # Each module links its own copy of the pool; the process must still have one.
    code = f"""
        import os, numpy as np
        def workers():
            names = []
            for tid in os.listdir("/proc/self/task"):
                with open(f"/proc/self/task/{{tid}}/comm") as f:
                    names.append(f.read().strip())
            return names.count("quarnel-worker")
        def use_quarnel():
            import _quarnel
            b = [np.zeros((300, 401))] + [np.full((300, 400), v) for v in (0.1, 0.2, 0.01, 0.02)]
            assert (_quarnel.bel_weights_tangent_flow_parallel(*b, 1.0)
                    == _quarnel.bel_weights_tangent_flow(*b, 1.0)).all()
        def use_greeks():
            from quarnel import _greeks
            b = [np.zeros((300, 401))] + [np.full((300, 400), v)
                                          for v in (0.1, 0.2, 0.01, 0.02, 0.003, 0.004)]
            assert (_greeks.greek_weights_tangent_flow_parallel(*b, 1.0)
                    == _greeks.greek_weights_tangent_flow(*b, 1.0)).all()
        calls = [use_quarnel, use_greeks]
        for call in (calls if {order!r} == "_quarnel first" else calls[::-1]):
            call()
        print(workers())
        # A forked child has no workers: both modules run on its calling thread.
        pid = os.fork()
        if pid == 0:
            use_quarnel()
            use_greeks()
            os._exit(0)
        assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
    """
    result = run_python(code, env={"RAYON_NUM_THREADS": "3"})
    assert result.stdout.strip() == "3", result.stderr
