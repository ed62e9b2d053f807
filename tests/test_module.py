"""The module object: attributes, function table, signatures, import rules, faults."""

import ast
import importlib.metadata
import inspect
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import _quarnel
from oddities import PanicException


def shipped_stubs() -> dict[str, str]:
    """The signature of each function in the stubs that the wheel ships (or, for a build
    tree on PYTHONPATH, in the source tree's), and __all__."""
    stub = Path(__file__).resolve().parents[1] / "quarnel-py/stubs/_quarnel-stubs/__init__.pyi"
    try:
        files = importlib.metadata.files("quarnel") or []
        stub = next(Path(f.locate()) for f in files
                    if f.as_posix() == "_quarnel-stubs/__init__.pyi")
    except (importlib.metadata.PackageNotFoundError, StopIteration):
        if not stub.exists():
            pytest.skip("neither an installed wheel nor the source tree")
    tree = ast.parse(stub.read_text())
    out = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            a = node.args.args
            defaults = [None] * (len(a) - len(node.args.defaults)) + node.args.defaults
            out[node.name] = "(" + ", ".join(
                p.arg + ("" if d is None else f"={ast.unparse(d)}") for p, d in zip(a, defaults)
            ) + ")"
        elif isinstance(node, ast.Assign) and node.targets[0].id == "__all__":
            out["__all__"] = ast.literal_eval(node.value)
    return out


FUNCTIONS = [name for name in _quarnel.__all__ if callable(getattr(_quarnel, name))]

DOC_STARTS = {
    "bel_weights_constant_flow": "Low-level: compute per-path BEL **constant-flow** weights",
    "bel_weights_tangent_flow": "Low-level: compute per-path BEL **tangent-flow** weights",
    "bel_weights_tangent_flow_parallel": "Parallel low-level variant",
    "price_from_samples": "Low-level: plain Monte Carlo mean and stderr",
    "price_and_delta_constant_flow": "High-level: GBM constant-flow BEL delta.",
    "price_and_delta_tangent_flow": "High-level: GBM tangent-flow BEL delta over full path",
}


def run_python(code, **kw):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120, **kw)


class TestAttributes:
    def test_version_doc_all(self):
        assert _quarnel.__version__ == "0.1.3"
        assert _quarnel.__doc__ == ""
        assert _quarnel.__name__ == "_quarnel"
        assert _quarnel.__all__ == shipped_stubs()["__all__"]
        assert _quarnel.__all__[-1] == "__version__" and set(FUNCTIONS) == set(DOC_STARTS)

    def test_panic_exception_is_not_exported(self):
        assert not hasattr(_quarnel, "PanicException")

    @pytest.mark.parametrize("name", FUNCTIONS)
    def test_function_objects(self, name):
        f = getattr(_quarnel, name)
        assert f.__name__ == name
        assert f.__module__ == "_quarnel"
        assert f.__self__ is _quarnel
        assert f.__text_signature__ == shipped_stubs()[name]
        assert str(inspect.signature(f)) == f.__text_signature__
        assert f.__doc__.startswith(DOC_STARTS[name])
        assert "--" not in f.__doc__.splitlines()[0]

    @pytest.mark.parametrize("name", FUNCTIONS)
    def test_docstring_prose_within_70_columns(self, name):
        doc = getattr(_quarnel, name).__doc__
        in_code = False
        for line in doc.splitlines():
            if line.startswith("```"):
                in_code = not in_code
            elif not in_code:
                assert len(line) <= 70, line

    def test_strike_default_in_signature(self):
        p = inspect.signature(_quarnel.price_and_delta_tangent_flow).parameters["strike"]
        assert p.default == 0.0


class TestImport:
    def test_reimport_returns_the_same_module(self):
        out = run_python("""
            import sys, _quarnel
            first = _quarnel
            del sys.modules["_quarnel"]
            import _quarnel
            assert _quarnel is first
            print("ok")
        """)
        assert out.stdout.strip() == "ok", out.stderr

    def test_import_without_numpy_then_array_call_panics(self):
        # A meta-path finder that refuses numpy: the module must still import.
        out = run_python("""
            import sys
            class NoNumpy:
                def find_spec(self, name, path=None, target=None):
                    if name == "numpy" or name.startswith("numpy."):
                        raise ModuleNotFoundError("No module named 'numpy'")
            sys.meta_path.insert(0, NoNumpy())
            import _quarnel
            assert _quarnel.__version__ == "0.1.3"
            try:
                _quarnel.price_from_samples(object())
            except BaseException as e:
                print(type(e).__name__, isinstance(e, Exception), e)
            # Binding failures are reported before NumPy is needed.
            try:
                _quarnel.price_from_samples()
            except TypeError as e:
                print("TypeError")
        """)
        lines = out.stdout.splitlines()
        assert lines[0].startswith("PanicException False Failed to access NumPy array API capsule")
        assert lines[1] == "TypeError"

    def test_sub_interpreter_is_rejected(self):
        # A legacy (shared-GIL) sub-interpreter runs the entry point again; it must
        # refuse, and the main interpreter's module must keep working.
        inner = (
            "try:\n"
            "    import _quarnel\n"
            "except ImportError as e:\n"
            "    assert 'sub-interpreters' in str(e), str(e)\n"
            "else:\n"
            "    raise AssertionError('imported in a sub-interpreter')\n"
        )
        out = run_python(f"""
            import _quarnel, numpy as np
            try:
                import _testcapi
            except ImportError:
                print("skip")
                raise SystemExit
            print("subinterp", _testcapi.run_in_subinterp({inner!r}))
            print(_quarnel.price_from_samples(np.array([1.0, 2.0, 3.0, 4.0])))
        """)
        if out.stdout.strip() == "skip":
            pytest.skip("no _testcapi on this Python")
        assert out.returncode == 0, out.stderr
        assert out.stdout.splitlines() == ["subinterp 0", "(2.5, 0.5590169943749475)"], (
            out.stdout + out.stderr)


class TestFaults:
    def test_panic_is_base_exception_only(self):
        assert PanicException.__name__ == "PanicException"
        assert PanicException.__bases__ == (BaseException,)
        assert PanicException.__module__ != "_quarnel"
        assert "BaseException" in PanicException.__doc__

    def test_fault_is_not_an_exception_and_module_stays_usable(self, capfd):
        # A fault raised inside a callback (here __float__) resumes as the module's own.
        class Reraise:
            def __float__(self):
                raise PanicException("horizon must be positive")

        caught = None
        try:
            try:
                _quarnel.bel_weights_constant_flow(np.ones(1), Reraise(), 1.0)
            except Exception:  # noqa: BLE001
                pytest.fail("an internal fault must not be an Exception")
        except BaseException as exc:  # noqa: BLE001
            caught = exc
        assert type(caught) is PanicException
        assert caught.args == ("horizon must be positive",)
        assert "Python stack trace below:" in capfd.readouterr().err
        assert _quarnel.price_from_samples(np.array([5.0])) == (5.0, 0.0)


def test_package_version_is_the_changelogs():
    # The distribution, the package and the CHANGELOG's newest entry agree; _quarnel's
    # own version is its contract's (TestAttributes).
    import re
    from pathlib import Path

    import quarnel

    root = Path(__file__).resolve().parents[1]
    if not (root / "CHANGELOG.md").exists() or not (root / "pyproject.toml").exists():
        pytest.skip("needs the source tree")  # the tests alone, against an installed wheel
    project = re.search(r'^version = "([^"]+)"', (root / "pyproject.toml").read_text(), re.M)
    newest = re.search(r"^## .*?(\d+\.\d+\.\d+)", (root / "CHANGELOG.md").read_text(), re.M)
    assert quarnel.__version__ == project.group(1) == newest.group(1) != _quarnel.__version__
