"""`python3 dev.py typecheck`: the installed package's type information, as users see it.

`_quarnel` is a top-level extension module, which PEP 561 cannot mark as typed, so the
wheel ships the stub-only package `_quarnel-stubs`; the package `quarnel` carries
py.typed. From a directory outside the source tree, against the installed package:

- mypy --strict accepts a typical user script, which then also runs (the stubs accept
  nothing the module rejects), and reports each misuse of a second script where it is,
  with the expected error code and nothing else;
- mypy's stubtest finds no difference between the stubs and the runtime modules (no
  allowlist: names, parameter names and kinds, defaults);
- pyright (basedpyright, whose wheel brings its own node) accepts the user script.
"""

from __future__ import annotations

import os
import re
import sys
import tempfile
import textwrap
from pathlib import Path

from tools.common import echo, program, run, venv_python

GOOD = '''
from typing import Literal

import numpy as np
from numpy.typing import NDArray
from typing_extensions import assert_type

import _quarnel as q

rng = np.random.default_rng(1)
w_t: NDArray[np.float64] = rng.standard_normal(64)
x_t = np.exp(0.2 * w_t - 0.02)
states = np.asfortranarray(1.0 + 0.01 * rng.standard_normal((64, 5)))
dws = 0.5 * rng.standard_normal((64, 4))
sigma = 0.2 * states[:, :-1]
zeros = np.zeros_like(dws)
slopes = np.full_like(dws, 0.2)
name: Literal["call", "put"] = "put"

assert_type(q.__version__, str)
assert_type(q.price_from_samples(x_t), tuple[float, float])
assert_type(q.price_from_samples(samples=x_t[::-1]), tuple[float, float])
assert_type(q.bel_weights_constant_flow(w_t, 1, np.float32(0.2)), NDArray[np.float64])
assert_type(q.bel_weights_tangent_flow(states, dws, sigma, zeros, slopes, 1.0),
            NDArray[np.float64])
assert_type(q.bel_weights_tangent_flow_parallel(states, dws, sigma, zeros, slopes,
                                                horizon=np.float64(1.0)),
            NDArray[np.float64])
price, delta, price_se, delta_se = q.price_and_delta_constant_flow(
    x_t, w_t, 1.0, 0.2, "call", strike=1.0)
assert_type(delta_se, float)
assert_type(q.price_and_delta_constant_flow(x_t, w_t, 1.0, 0.2, name),
            tuple[float, float, float, float])
assert_type(q.price_and_delta_tangent_flow(states, dws, sigma, zeros, slopes, 1.0,
                                           payoff="digital_call", strike=1.0),
            tuple[float, float, float, float])
assert all(hasattr(q, n) for n in q.__all__)
'''

# The same through the package, when the installed build has it.
GOOD_PACKAGE = '''
import numpy as np
from typing_extensions import assert_type

import quarnel

x = np.linspace(0.5, 1.5, 16)
assert_type(quarnel.price_from_samples(x), tuple[float, float])
assert_type(quarnel.price_and_delta_constant_flow(x, x, 1.0, 0.2, "call"),
            tuple[float, float, float, float])
try:
    quarnel.bel_weights_constant_flow(x, 1.0, 0.2)
except quarnel.PanicException as fault:
    assert_type(fault, BaseException)
'''

# Each marked line must be reported with exactly that error code, and nothing else.
BAD = '''
import numpy as np

import _quarnel as q

x = np.ones(8)
m = np.ones((8, 3))
single = np.ones(8, dtype=np.float32)
q.price_from_samples([1.0, 2.0])  # E: arg-type
q.price_from_samples(single)  # E: arg-type
q.price_from_samples(np.arange(8))  # E: arg-type
q.bel_weights_constant_flow(x, "1.0", 0.2)  # E: arg-type
q.bel_weights_tangent_flow(m, m, m, m, m)  # E: call-arg
q.price_from_samples(samples=x, n=8)  # E: call-arg
price, delta = q.price_and_delta_constant_flow(x, x, 1.0, 0.2, "call")  # E: misc
q.price_and_delta_tangent_flow(m, m, m, m, m, 1.0, "call", strike=None)  # E: arg-type
q.price_and_delta_constant_flow(x, x, 1.0, 0.2, payoff=1)  # E: arg-type
weights: float = q.bel_weights_constant_flow(x, 1.0, 0.2)  # E: assignment
version: int = q.__version__  # E: assignment
q.price_and_delta_constant_flow(x, x, 1.0, 0.2, "cal")  # E: arg-type
'''


def has_package() -> bool:
    return run(venv_python(), "-c", "import quarnel").returncode == 0


def mypy(directory: Path, source: str, name: str):
    script = directory / name
    script.write_text(textwrap.dedent(source))
    return run(venv_python(), "-m", "mypy", "--strict", "--show-error-codes",
               "--no-color-output", "--cache-dir", directory / ".mypy_cache", name,
               cwd=directory, env=clean_env(), timeout=600)


def clean_env() -> dict[str, str]:
    return {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}


def report(ok: bool, what: str, detail: str = "") -> bool:
    print(f"{'ok  ' if ok else 'FAIL'} {what}")
    if not ok and detail:
        print(textwrap.indent(detail.strip(), "     "))
    return ok


def check_wheel_contents() -> bool:
    code = ("import importlib.metadata as m; "
            "print('_quarnel-stubs/__init__.pyi' in {f.as_posix() for f in m.files('quarnel')})")
    result = run(venv_python(), "-c", code)
    return report(result.stdout.strip() == "True", "the wheel ships _quarnel-stubs",
                  result.stdout + result.stderr)


def check_good(directory: Path, source: str, name: str) -> bool:
    result = mypy(directory, source, name)
    ok = report(result.returncode == 0 and "Success: no issues found" in result.stdout,
                f"mypy --strict accepts {name}", result.stdout + result.stderr)
    ran = run(venv_python(), directory / name, cwd=directory, env=clean_env(), timeout=300)
    return report(ran.returncode == 0, f"{name} runs", ran.stderr) and ok


def check_bad(directory: Path) -> bool:
    result = mypy(directory, BAD, "misuse.py")
    lines = textwrap.dedent(BAD).splitlines()
    expected = {(n, m.group(1)) for n, text in enumerate(lines, 1)
                if (m := re.search(r"# E: ([\w-]+)$", text))}
    reported = {(int(m.group(1)), m.group(2))
                for m in re.finditer(r"^misuse\.py:(\d+): error: .*\[([\w-]+)\]$",
                                     result.stdout, re.MULTILINE)}
    return report(result.returncode == 1 and reported == expected,
                  f"mypy reports the {len(expected)} misuses where they are",
                  f"missing {sorted(expected - reported)}, unexpected "
                  f"{sorted(reported - expected)}\n{result.stdout}{result.stderr}")


def check_stubtest(directory: Path, module: str) -> bool:
    # The allow list names the package's aliases: `_quarnel` alone would call it unused.
    allowlist = ["--allowlist", str(Path(__file__).with_name("stubtest_allowlist.txt"))]
    result = run(venv_python(), "-m", "mypy.stubtest", module,
                 *(allowlist if module == "quarnel" else []), cwd=directory, env=clean_env(),
                 timeout=600)
    return report(result.returncode == 0, f"stubtest {module}", result.stdout + result.stderr)


def check_pyright(directory: Path, names: list[str]) -> bool:
    try:
        pyright = program("basedpyright")
    except SystemExit as missing:
        print(f"skip pyright: {missing}")
        return True
    # Pyright's own strict mode (basedpyright's default adds style rules of its own),
    # against the environment's interpreter, so that it sees the installed package.
    (directory / "pyrightconfig.json").write_text('{"typeCheckingMode": "strict"}')
    result = run(pyright, "--pythonpath", venv_python(), *names, cwd=directory,
                 env=clean_env(), timeout=600)
    return report(result.returncode == 0, f"pyright accepts {', '.join(names)}",
                  result.stdout + result.stderr)


def main(argv: list[str]) -> int:
    echo("type checking against the installed package")
    if run(venv_python(), "-c", "import _quarnel").returncode != 0:
        print("the package is not installed in .venv: run `python3 dev.py check` first")
        return 2
    package = has_package()
    with tempfile.TemporaryDirectory(prefix="quarnel-typecheck-") as tmp:
        directory = Path(tmp)
        results = [check_wheel_contents(), check_good(directory, GOOD, "user_script.py"),
                   check_bad(directory), check_stubtest(directory, "_quarnel")]
        scripts = ["user_script.py"]
        if package:
            results += [check_good(directory, GOOD_PACKAGE, "package_script.py"),
                        check_stubtest(directory, "quarnel")]
            scripts.append("package_script.py")
        else:
            print("note: no package `quarnel` in this build; its checks are skipped")
        results.append(check_pyright(directory, scripts))
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
