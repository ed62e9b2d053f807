"""Lint: ruff on the Python, clang-tidy on the C++ (checks in .clang-tidy), zero findings."""

from __future__ import annotations

import json
import shutil
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

from markers import tooling

ROOT = Path(__file__).resolve().parents[1]
PYTHON_TARGETS = ["tests", "examples", "bench", "dev.py"]

pytestmark = [
    tooling,
    pytest.mark.skipif(not (ROOT / "quarnel-py").is_dir(), reason="needs the source tree"),
]


def tool(name: str) -> str:
    """The linters come with the test extra, next to this interpreter."""
    beside = Path(sys.executable).parent / name
    found = str(beside) if beside.exists() else shutil.which(name)
    if found is None:
        pytest.skip(f"{name} not installed")
    return found


def test_ruff():
    targets = [t for t in PYTHON_TARGETS if (ROOT / t).exists()]
    result = subprocess.run([tool("ruff"), "check", "--no-cache", "--output-format=concise",
                             *targets], cwd=ROOT, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.fixture(scope="module")
def compile_commands(tmp_path_factory) -> Path:
    """Configure (not build) the whole tree, module and C++ tests, for the compile flags."""
    build = tmp_path_factory.mktemp("tidy")
    result = subprocess.run(
        [tool("cmake"), "-S", ROOT, "-B", build, "-G", "Ninja",
         f"-DCMAKE_MAKE_PROGRAM={tool('ninja')}", "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON",
         "-DQUARNEL_BUILD_MODULE=ON", "-DQUARNEL_BUILD_TESTS=ON",
         f"-DPython_EXECUTABLE={sys.executable}"],
        capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    return build


def test_clang_tidy(compile_commands):
    clang_tidy = tool("clang-tidy")
    entries = json.loads((compile_commands / "compile_commands.json").read_text())
    sources = sorted({e["file"] for e in entries})
    # Every translation unit of the module, the kernels and both sets of C++ tests.
    assert any(s.endswith("module.cpp") for s in sources)
    assert any("quarnel-rt/tests/" in s for s in sources)

    def tidy(source: str) -> subprocess.CompletedProcess[str]:
        return subprocess.run([clang_tidy, "--quiet", "-p", str(compile_commands), source],
                              cwd=ROOT, capture_output=True, text=True, timeout=600)

    with ThreadPoolExecutor(max_workers=2) as pool:
        results = list(pool.map(tidy, sources))
    findings = [r.stdout.strip() for r in results if r.returncode != 0 or "warning:" in r.stdout]
    assert not findings, "\n\n".join(findings)
