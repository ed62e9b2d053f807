"""`python3 dev.py lint [ruff] [tidy] [format]`: zero findings from each, or a failure.

- ruff on the Python: tests, examples, bench, tools, dev.py and the package sources;
- clang-tidy on every translation unit of the module, the kernels and the C++ tests,
  with the checks of .clang-tidy and the flags of a configured build;
- clang-format --dry-run -Werror on all the C++ (.clang-format): the layout is enforced,
  so run `clang-format -i` on what it lists;
- layers: the include rules of ARCHITECTURE.md, so that the Python-free core, the
  binding machinery and the modules' records stay apart and no include runs back up.

The three run in the environment's versions (the lint extra), so every machine agrees.
"""

from __future__ import annotations

import json
import re
import sys
from concurrent.futures import ThreadPoolExecutor

from tools.common import BUILD, ROOT, configure, cpp_sources, echo, program, run, venv_python

PYTHON_TARGETS = ["tests", "examples", "bench", "tools", "dev.py", "quarnel-py"]


def ruff() -> bool:
    echo("ruff")
    targets = [t for t in PYTHON_TARGETS if (ROOT / t).exists()]
    result = run(program("ruff"), "check", "--no-cache", "--output-format=concise", *targets)
    print(result.stdout + result.stderr, end="", flush=True)
    return result.returncode == 0


def tidy() -> bool:
    echo("clang-tidy")
    build = BUILD / "lint"
    configured = configure(ROOT, build, "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON",
                           "-DQUARNEL_BUILD_MODULE=ON", "-DQUARNEL_BUILD_TESTS=ON",
                           f"-DPython_EXECUTABLE={venv_python()}")
    if configured.returncode != 0:
        print(configured.stdout + configured.stderr)
        return False
    entries = json.loads((build / "compile_commands.json").read_text())
    sources = sorted({e["file"] for e in entries})
    clang_tidy = program("clang-tidy")

    def check(source: str):
        return source, run(clang_tidy, "--quiet", "-p", build, source, timeout=900)

    with ThreadPoolExecutor(max_workers=2) as pool:
        results = list(pool.map(check, sources))
    flagged = [(s, r) for s, r in results if r.returncode != 0 or "warning:" in r.stdout]
    for source, r in flagged:
        print(f"{source}:\n{(r.stdout + r.stderr).strip()}\n", flush=True)
    print(f"clang-tidy: {len(sources)} translation units, {len(flagged)} with findings")
    return not flagged


def format_check() -> bool:
    echo("clang-format")
    clang_format = program("clang-format")
    flagged = []
    for path in cpp_sources():
        result = run(clang_format, "--dry-run", "-Werror", path)
        if result.returncode != 0:
            flagged.append(path.relative_to(ROOT).as_posix())
    for name in flagged:
        print(f"needs clang-format: {name}")
    print(f"clang-format: {len(cpp_sources())} files, {len(flagged)} not formatted")
    return not flagged


# What each layer of quarnel-py/src may include from the tree, by folder: a layer sees
# itself and the layers below it. quarnel-rt ("quarnel/...") and the standard library
# are below everything; Python.h is for the binding machinery and the records only.
LAYERS = {
    "core": {"core"},
    "bind": {"core", "bind"},
    "modules": {"core", "bind", "modules"},
}
PYTHON_LAYERS = {"bind", "modules"}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.MULTILINE)


def layer_findings() -> list[str]:
    src = ROOT / "quarnel-py" / "src"
    findings = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".cpp", ".hpp", ".h"):
            continue
        rel = path.relative_to(src)
        layer = rel.parts[0] if len(rel.parts) > 1 else None
        if layer not in LAYERS:
            findings.append(f"{rel.as_posix()}: outside the layers {sorted(LAYERS)}")
            continue
        for bracket, name in INCLUDE.findall(path.read_text()):
            if name == "Python.h" and layer not in PYTHON_LAYERS:
                findings.append(f"{rel.as_posix()}: includes Python.h in the Python-free {layer}")
            elif bracket == '"':
                target = name.split("/")[0] if "/" in name else None
                if target != "quarnel" and target not in LAYERS[layer]:
                    findings.append(f"{rel.as_posix()}: includes \"{name}\", which {layer} "
                                    f"may not (it sees {sorted(LAYERS[layer])})")
    for path in sorted((ROOT / "quarnel-rt").rglob("*.[ch]pp")):
        for bracket, name in INCLUDE.findall(path.read_text()):
            if name == "Python.h" or (bracket == '"' and not name.startswith("quarnel/")
                                      and "tests" not in path.parts):
                findings.append(f"{path.relative_to(ROOT).as_posix()}: includes {name}")
    return findings


def layers() -> bool:
    echo("layers")
    findings = layer_findings()
    for line in findings:
        print(line)
    print(f"layers: {len(findings)} includes across the layers")
    return not findings


CHECKS = {"ruff": ruff, "tidy": tidy, "format": format_check, "layers": layers}


def main(argv: list[str]) -> int:
    unknown = [a for a in argv if a not in CHECKS]
    if unknown:
        print(f"unknown check(s) {unknown}; choose from {list(CHECKS)}")
        return 2
    failed = [name for name in argv or list(CHECKS) if not CHECKS[name]()]
    if failed:
        print(f"lint failed: {', '.join(failed)}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
