#!/usr/bin/env python3
"""Developer entry point; needs nothing but python3 (3.10+) and the package index.

    python3 dev.py demo    # build, install into .venv and run the Black-Scholes demo
    python3 dev.py test    # build, install and run the whole test suite (what CI runs)
    python3 dev.py check   # only the main stage of `test`: quicker while developing
    python3 dev.py bench   # run the benchmark suite against NumPy and Numba
    python3 dev.py fuzz    # fuzz the argument boundary with Atheris (default 600 s)
    python3 dev.py lint    # ruff, clang-tidy and clang-format (`lint ruff` for one)
    python3 dev.py typecheck    # mypy, stubtest and pyright on the installed package
    python3 dev.py cpp-package  # install quarnel-rt, build and run its example against it
    python3 dev.py wheel   # the audited manylinux abi3 wheel, written to dist/
    python3 dev.py pythons # that wheel's test suite on every CPython from 3.10 to the newest
    python3 dev.py aarch64 # build and test on aarch64 under emulation, bits against x86-64

`test` builds one abi3 wheel and runs, in order: the C++ unit tests; the pytest suite
with NumPy 2.x; the lint, typecheck and cpp-package stages; the suite with NumPy 1.26;
the suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer; an
audit of the wheel against the 3.10 stable ABI. Every other CPython, 3.10 to the newest,
is `pythons`' job (CI runs it, `wheel` and `aarch64` after `test`). Everything is
installed into ./.venv* through the project's own extras. C++ warnings are errors in every build.
Extra arguments after the task go to pytest.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import venv
from pathlib import Path

ROOT = Path(__file__).resolve().parent
BUILD = ROOT / "build"
MAIN = ROOT / ".venv"


def stage(title: str) -> None:
    print(f"\n=== {title} ===", flush=True)


def run(*cmd: str | os.PathLike, env: dict | None = None, cwd: Path = ROOT) -> None:
    print("+", " ".join(str(c) for c in cmd), flush=True)
    full_env = None if env is None else {**os.environ, **env}
    subprocess.run([str(c) for c in cmd], check=True, cwd=cwd, env=full_env)


def python_of(env_dir: Path) -> Path:
    return env_dir / "bin" / "python"


def interpreter_version(exe: str | os.PathLike) -> str | None:
    """Implementation and full version of a Python, or None if it does not run."""
    try:
        probe = subprocess.run(
            [str(exe), "-c", "import platform as p; print(p.python_implementation(), "
                             "p.python_version())"],
            capture_output=True, text=True)
    except OSError:
        return None
    return probe.stdout.strip() if probe.returncode == 0 else None


def ensure_venv(env_dir: Path, interpreter: str | None = None) -> Path:
    py = python_of(env_dir)
    # A venv made by another Python (an upgrade, another pyenv version, a venv copied
    # from elsewhere) would build and test against the wrong interpreter: start over.
    if py.exists() or env_dir.exists():
        wanted = interpreter_version(interpreter or sys.executable)
        if wanted is not None and interpreter_version(py) != wanted:
            print(f"note: {env_dir.name} is not a venv of {wanted}: recreating it", flush=True)
            shutil.rmtree(env_dir)
    if not py.exists():
        if interpreter is None:
            venv.EnvBuilder(with_pip=True).create(env_dir)
        else:
            run(interpreter, "-m", "venv", env_dir)
        run(py, "-m", "pip", "install", "-q", "--upgrade", "pip")
    return py


def build_wheel() -> Path:
    py = ensure_venv(MAIN)
    dist = BUILD / "dist"
    for old in dist.glob("quarnel-*.whl"):
        old.unlink()
    # pip -q is silent while CMake compiles the extensions: say what the wait is.
    print("building the quarnel wheel: compiling the C++ extensions (about 40 s on two "
          "cores; no output until it is done)", flush=True)
    run(py, "-m", "pip", "wheel", "-q", "--no-deps", "-w", dist, ROOT)
    (wheel,) = dist.glob("quarnel-*-cp310-abi3-*.whl")
    return wheel


def install(py: Path, wheel: Path, extras: str, *constraints: str) -> None:
    run(py, "-m", "pip", "install", "-q", f"{wheel}[{extras}]" if extras else wheel, *constraints)
    # Same version number as any earlier build: make sure this build is the one used.
    run(py, "-m", "pip", "install", "-q", "--force-reinstall", "--no-deps", wheel)


def cpp_tests(py: Path) -> None:
    bindir = py.parent
    build = BUILD / "cpp-tests"
    run(bindir / "cmake", "-S", ROOT, "-B", build, "-G", "Ninja",
        f"-DCMAKE_MAKE_PROGRAM={bindir / 'ninja'}", "-DCMAKE_BUILD_TYPE=Release",
        "-DQUARNEL_BUILD_TESTS=ON", "-DQUARNEL_WERROR=ON")
    run(bindir / "cmake", "--build", build)
    run(bindir / "ctest", "--test-dir", build, "--output-on-failure")


def sanitizer_suite(py: Path, pytest_args: list[str]) -> None:
    bindir = py.parent
    build = BUILD / "sanitize"
    run(bindir / "cmake", "-S", ROOT, "-B", build, "-G", "Ninja",
        f"-DCMAKE_MAKE_PROGRAM={bindir / 'ninja'}", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
        "-DQUARNEL_BUILD_MODULE=ON", "-DQUARNEL_SANITIZE=ON", "-DQUARNEL_WERROR=ON",
        f"-DPython_EXECUTABLE={py}")
    run(bindir / "cmake", "--build", build)
    runtimes = []
    for lib in ("libasan.so", "libubsan.so"):
        path = subprocess.run(["g++", f"-print-file-name={lib}"], capture_output=True,
                              text=True, check=True).stdout.strip()
        runtimes.append(os.path.realpath(path))
    env = {
        # The interpreter is not instrumented: the runtimes must be loaded first.
        "LD_PRELOAD": " ".join(runtimes),
        "PYTHONPATH": str(build),
        # CPython and NumPy keep memory until exit by design; leaks are checked by the
        # reference-count and RSS tests instead.
        "ASAN_OPTIONS": "detect_leaks=0:abort_on_error=1:strict_string_checks=1",
        "UBSAN_OPTIONS": "halt_on_error=1:abort_on_error=1:print_stacktrace=1",
        "PYTHONMALLOC": "malloc",
        "QUARNEL_SANITIZED": "1",
    }
    run(py, "-c", "import _quarnel, sys; assert 'sanitize' in _quarnel.__file__, _quarnel.__file__",
        env=env)
    run(py, "-m", "pytest", "-q", "-p", "no:cacheprovider", *pytest_args, env=env)


def test(pytest_args: list[str], everything: bool) -> None:
    stage("build the abi3 wheel")
    wheel = build_wheel()
    py = python_of(MAIN)
    install(py, wheel, "test")

    stage("C++ unit tests")
    cpp_tests(py)

    stage("pytest, NumPy 2")
    run(py, "-m", "pytest", "-q", *pytest_args)
    if not everything:
        return

    # The checks of the tooling, which depend on neither NumPy nor the sanitizers.
    for title, module in [("lint", "lint"), ("type checks of the installed package", "typecheck"),
                          ("quarnel-rt as an installed C++ package", "cpp_package")]:
        stage(title)
        tool_stage(module)([])

    stage("pytest, NumPy 1.26")
    np1 = ensure_venv(ROOT / ".venv-numpy1")
    install(np1, wheel, "test", "numpy>=1.26,<2")
    run(np1, "-m", "pytest", "-q", *pytest_args, env={"QUARNEL_TOOLING_CHECKED": "1"})

    stage("pytest under AddressSanitizer and UndefinedBehaviorSanitizer")
    sanitizer_suite(py, pytest_args)

    stage("stable ABI audit of the wheel")
    run(py.parent / "abi3audit", "--strict", "--assume-minimum-abi3", "3.10", "--verbose", wheel)



def demo(rest: list[str]) -> None:
    stage("build and install")
    py = ensure_venv(MAIN)
    install(py, build_wheel(), "")
    print("installed into .venv; running the Black-Scholes demo", flush=True)
    run(py, ROOT / "examples" / "black_scholes.py")


def bench(rest: list[str]) -> None:
    py = ensure_venv(MAIN)
    install(py, build_wheel(), "bench")
    run(py, ROOT / "bench" / "run.py", *rest)


def fuzz(rest: list[str]) -> None:
    seconds = rest[0] if rest else "600"
    py = ensure_venv(ROOT / ".venv-fuzz")
    install(py, build_wheel(), "fuzz")
    corpus = BUILD / "fuzz-corpus"
    corpus.mkdir(parents=True, exist_ok=True)
    run(py, ROOT / "tests" / "fuzz_arguments.py", f"-max_total_time={seconds}",
        "-print_final_stats=1", corpus)


def tool_stage(module: str):
    """A stage kept in tools/<module>.py, whose main(argv) returns an exit status."""

    def stage_main(rest: list[str]) -> None:
        import importlib

        sys.path.insert(0, str(ROOT))
        status = importlib.import_module(f"tools.{module}").main(rest)
        if status:
            raise SystemExit(status)

    return stage_main


# Every stage, by its subcommand. Extra arguments go to the stage.
COMMANDS = {
    "demo": demo,
    "test": lambda rest: test(rest, everything=True),
    "check": lambda rest: test(rest, everything=False),
    "bench": bench,
    "fuzz": fuzz,
    "lint": tool_stage("lint"),
    "typecheck": tool_stage("typecheck"),
    "cpp-package": tool_stage("cpp_package"),
    "wheel": tool_stage("wheel"),
    "pythons": tool_stage("pythons"),
    "aarch64": tool_stage("aarch64"),
}


def main(argv: list[str]) -> int:
    task = argv[1] if len(argv) > 1 else "test"
    command = COMMANDS.get(task)
    if command is None:
        print(__doc__)
        return 2
    command(argv[2:])
    return 0


def exit_with(stage_main, argv: list[str]) -> None:
    """Runs a stage's main and exits with its status; a command that failed inside it
    ends the stage with that command's status, named."""
    try:
        sys.exit(stage_main(argv))
    except subprocess.CalledProcessError as e:
        print(f"\nFAILED: {' '.join(map(str, e.cmd))} (exit {e.returncode})", flush=True)
        sys.exit(e.returncode or 1)


if __name__ == "__main__":
    exit_with(main, sys.argv)
