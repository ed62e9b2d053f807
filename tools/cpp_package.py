"""`python3 dev.py cpp-package`: quarnel-rt as a C++ package, the way a consumer uses it.

Installs quarnel-rt into a fresh prefix, checks what was installed (every header of the
library, the CMake package files, the project's version), builds the example against
the installed package with -march=native -O3 (so the headers compile cleanly with the
widest instruction set of this machine), runs it, and checks the example with the
library's clang-tidy checks. The wheel, for its part, must carry no C++ files.
"""

from __future__ import annotations

import re
import shutil
import sys
from pathlib import Path

from tools.common import BUILD, ROOT, configure, echo, program, run, venv_python

RT = ROOT / "quarnel-rt"


def project_version() -> str:
    text = (ROOT / "pyproject.toml").read_text()
    return re.search(r'^version = "([^"]+)"', text, re.MULTILINE).group(1)


def step(ok: bool, what: str, detail: str = "") -> bool:
    print(f"{'ok  ' if ok else 'FAIL'} {what}", flush=True)
    if not ok and detail:
        print(detail.strip()[-6000:])
    return ok


def cmake_ok(*args) -> tuple[bool, str]:
    result = run(program("cmake"), *args, timeout=900)
    return result.returncode == 0, result.stdout + result.stderr


def install(work: Path) -> Path | None:
    prefix = work / "prefix"
    configured = configure(RT, work / "build", "-DCMAKE_BUILD_TYPE=Release",
                           f"-DCMAKE_INSTALL_PREFIX={prefix}")
    if not step(configured.returncode == 0, "configure quarnel-rt",
                configured.stdout + configured.stderr):
        return None
    for what, args in (("build", ("--build", work / "build")),
                       ("install", ("--install", work / "build"))):
        ok, out = cmake_ok(*args)
        if not step(ok, f"{what} quarnel-rt", out):
            return None
    return prefix


def check_installed(prefix: Path) -> bool:
    installed = sorted(p.relative_to(prefix).as_posix() for p in prefix.rglob("*") if p.is_file())
    headers = sorted(f"include/{p.relative_to(RT / 'src').as_posix()}"
                     for p in (RT / "src").rglob("*.hpp"))
    package = [f"share/cmake/quarnel-rt/quarnel-rt{n}.cmake"
               for n in ("Config", "ConfigVersion", "Targets")]
    ok = step(installed == sorted(headers + package), "installed files",
              f"installed {installed}\nexpected {sorted(headers + package)}")
    version_file = prefix / "share/cmake/quarnel-rt/quarnel-rtConfigVersion.cmake"
    found = re.search(r'set\(PACKAGE_VERSION "([^"]+)"\)', version_file.read_text())
    version = found.group(1) if found else None
    return step(version == project_version(), f"package version {version}") and ok


def build_example(prefix: Path, work: Path) -> Path | None:
    build = work / "example"
    configured = configure(RT / "examples", build, "-DCMAKE_BUILD_TYPE=Release",
                           f"-DCMAKE_PREFIX_PATH={prefix}", "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON",
                           "-DCMAKE_CXX_FLAGS=-march=native -O3")
    if not step(configured.returncode == 0, "configure the example against the prefix",
                configured.stdout + configured.stderr):
        return None
    ok, out = cmake_ok("--build", build)
    return build if step(ok, "build the example with -march=native -O3", out) else None


def run_example(build: Path) -> bool:
    result = run(build / "call_spread", "50000", timeout=120)
    ok = result.returncode == 0 and re.search(r"^delta\s+0\.3\d+ \+- ", result.stdout,
                                              re.MULTILINE)
    return step(bool(ok), "the example runs and prints its delta", result.stdout + result.stderr)


def tidy_example(build: Path) -> bool:
    result = run(program("clang-tidy"), "--quiet", "-p", build,
                 RT / "examples" / "call_spread.cpp", timeout=600)
    return step(result.returncode == 0 and "warning:" not in result.stdout,
                "the example is clang-tidy clean", result.stdout + result.stderr)


def wheel_has_no_cpp() -> bool:
    code = ("import importlib.metadata as m; files = m.files('quarnel') or []; "
            "print(len(files), [f.as_posix() for f in files "
            "if f.suffix in ('.hpp', '.h', '.cmake')])")
    result = run(venv_python(), "-c", code)
    if result.returncode != 0:
        print("note: the package is not installed in .venv; its contents are not checked")
        return True
    count, _, cpp = result.stdout.strip().partition(" ")
    return step(int(count) > 0 and cpp == "[]", "the installed wheel has no C++ files",
                result.stdout)


def main(argv: list[str]) -> int:
    echo("quarnel-rt as an installed C++ package")
    work = BUILD / "cpp-package"
    shutil.rmtree(work, ignore_errors=True)  # a fresh prefix every time
    results = [wheel_has_no_cpp()]
    prefix = install(work)
    if prefix is not None:
        results.append(check_installed(prefix))
        example = build_example(prefix, work)
        results += [run_example(example), tidy_example(example)] if example else [False]
    else:
        results.append(False)
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
