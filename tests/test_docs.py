"""The documentation's Python blocks run and their asserts hold, so the docs cannot rot."""

from __future__ import annotations

import importlib.util
import re
from pathlib import Path

import pytest

from markers import not_sanitized

ROOT = Path(__file__).resolve().parents[1]
# Every page of docs/ but the Dask one, which needs its extra and starts a cluster.
DOCS = [ROOT / "README.md",
        *sorted(p for p in (ROOT / "docs").glob("*.md") if p.name != "dask.md")]
# Tools that some documented blocks use but that not every test environment has.
OPTIONAL = {"numba"}
FENCE = re.compile(r"^```python\n(.*?)^```$", re.MULTILINE | re.DOTALL)


def python_blocks(path: Path) -> list[tuple[int, str]]:
    """(first line number, source) of each ```python block, in document order."""
    text = path.read_text()
    return [(text.count("\n", 0, m.start(1)) + 1, m.group(1)) for m in FENCE.finditer(text)]


@pytest.mark.parametrize("doc", [
    *DOCS,
    # Its blocks start a local cluster of worker processes.
    pytest.param(ROOT / "docs" / "dask.md", marks=[not_sanitized, pytest.mark.skipif(
        importlib.util.find_spec("distributed") is None, reason="needs the dask extra")]),
], ids=lambda p: p.relative_to(ROOT).as_posix())
def test_python_blocks_run(doc):
    if not doc.exists():
        pytest.skip("needs the source tree")
    blocks = python_blocks(doc)
    assert blocks, f"no python blocks in {doc}"
    # One namespace per document: a block may use what an earlier one defined, as a
    # reader going down the page would.
    # Run as a script runs: blocks that start a cluster guard it with __name__ == "__main__".
    namespace: dict[str, object] = {"__name__": "__main__"}
    missing = []
    for line, source in blocks:
        # Pad so that tracebacks give the line numbers of the document.
        code = compile("\n" * (line - 1) + source, str(doc), "exec")
        try:
            exec(code, namespace)
        except ModuleNotFoundError as e:
            # A block that shows an optional tool (Numba) runs where it is installed; the
            # document's other blocks still run.
            if e.name not in OPTIONAL:
                raise
            missing.append(f"line {line} needs {e.name}")
    if missing:
        pytest.skip("; ".join(missing))


def test_every_function_has_a_worked_example():
    import _quarnel

    readme = ROOT / "README.md"
    if not readme.exists():
        pytest.skip("needs the source tree")
    code = "\n".join(source for _, source in python_blocks(readme))
    missing = [name for name in _quarnel.__all__
               if not name.startswith("_") and f"q.{name}(" not in code]
    assert not missing
