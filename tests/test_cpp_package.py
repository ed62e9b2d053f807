"""quarnel-rt as a C++ package: install it, build the example against it, run it."""

from __future__ import annotations

import importlib.metadata
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from markers import tooling

ROOT = Path(__file__).resolve().parents[1]
RT = ROOT / "quarnel-rt"

pytestmark = [
    tooling,
    pytest.mark.skipif(not RT.is_dir(), reason="needs the source tree"),
    pytest.mark.skipif(shutil.which("c++") is None and shutil.which("g++") is None,
                       reason="needs a C++20 compiler"),
]


def tool(name: str) -> str:
    """cmake and ninja come with the test extra, next to this interpreter."""
    beside = Path(sys.executable).parent / name
    found = str(beside) if beside.exists() else shutil.which(name)
    if found is None:
        pytest.skip(f"{name} not installed")
    return found


def cmake(*args: str | Path) -> str:
    result = subprocess.run([tool("cmake"), *map(str, args)], capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


def configure(source: Path, build: Path, *defs: str) -> None:
    cmake("-S", source, "-B", build, "-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={tool('ninja')}",
          "-DCMAKE_BUILD_TYPE=Release", *defs)


@pytest.fixture(scope="module")
def prefix(tmp_path_factory) -> Path:
    tmp = tmp_path_factory.mktemp("quarnel-rt")
    configure(RT, tmp / "build", f"-DCMAKE_INSTALL_PREFIX={tmp / 'prefix'}")
    cmake("--build", tmp / "build")
    cmake("--install", tmp / "build")
    return tmp / "prefix"


def test_installs_headers_and_package_files(prefix):
    installed = sorted(p.relative_to(prefix).as_posix() for p in prefix.rglob("*") if p.is_file())
    assert installed == [
        "include/quarnel/fault.hpp",
        "include/quarnel/from_paths.hpp",
        "share/cmake/quarnel-rt/quarnel-rtConfig.cmake",
        "share/cmake/quarnel-rt/quarnel-rtConfigVersion.cmake",
        "share/cmake/quarnel-rt/quarnel-rtTargets.cmake",
    ]
    version = (prefix / "share/cmake/quarnel-rt/quarnel-rtConfigVersion.cmake").read_text()
    assert re.search(r'set\(PACKAGE_VERSION "([^"]+)"\)', version).group(1) == \
        importlib.metadata.version("quarnel")


@pytest.fixture(scope="module")
def example(prefix, tmp_path_factory) -> Path:
    build = tmp_path_factory.mktemp("example")
    configure(RT / "examples", build, f"-DCMAKE_PREFIX_PATH={prefix}",
              "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON")
    cmake("--build", build)
    return build


def test_example_builds_against_the_installed_package_and_runs(example):
    run = subprocess.run([example / "call_spread", "50000"], capture_output=True, text=True,
                         timeout=60)
    assert run.returncode == 0, run.stdout + run.stderr
    assert re.search(r"^delta\s+0\.3\d+ \+- ", run.stdout, re.MULTILINE), run.stdout


def test_example_is_clang_tidy_clean(example):
    # The same checks as the library's (.clang-tidy), on a consumer's build.
    result = subprocess.run([tool("clang-tidy"), "--quiet", "-p", str(example),
                             str(RT / "examples" / "call_spread.cpp")],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0 and "warning:" not in result.stdout, result.stdout


def test_the_wheel_installs_no_cpp_files():
    files = [f.as_posix() for f in importlib.metadata.files("quarnel") or []]
    assert files and not [f for f in files if f.endswith((".hpp", ".h", ".cmake"))]
