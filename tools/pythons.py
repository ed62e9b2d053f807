"""`python3 dev.py pythons`: the one abi3 wheel under every CPython minor from 3.10 on.

The release wheel (`dev.py wheel`, or `--wheel PATH`) is installed unchanged into each
interpreter and the test suite runs against it. Tests that need the tools of the `test`
extra (Numba, Dask, ...) skip there; everything that exercises the modules runs.

- CPython versions on the PATH or under pyenv (3.10 to 3.13 here) each get a venv,
  ./.venv-py3.X, with NumPy, pytest and Hypothesis from the index.
- Newer versions than the machine has come from Debian unstable, which carries the
  newest CPython releases (3.14 and 3.15 today) with a NumPy built for each: a minimal
  root made with debootstrap and cached in build/pythons/sid-root (made afresh when
  absent: it takes about a minute). The suite runs there under chroot, with the wheel
  unpacked onto PYTHONPATH (an abi3 wheel holds nothing pip would place elsewhere) and
  Debian's pytest and Hypothesis. This needs root.

Exits non-zero if any interpreter fails, or if no 3.10, or none newer than the local
ones, could be tested. Extra arguments after `--` go to pytest; `--only 3.14,3.15`
limits the run to some versions.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import time
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))

import dev  # noqa: E402

WORK = dev.BUILD / "pythons"
SID = WORK / "sid-root"
SID_MIRROR = "http://deb.debian.org/debian"
SID_PACKAGES = ["python3.14", "python3.15", "python3-numpy", "python3-pytest",
                "python3-hypothesis"]
# What the tests read besides the installed modules: the docs and examples they run.
PAYLOAD = ["tests", "examples", "docs", "bench", "README.md", "pyproject.toml"]
# Inside the root: the source files above, and the unpacked wheel.
SRC_IN_ROOT = Path("opt/quarnel/src")
SITE_IN_ROOT = Path("opt/quarnel/site")
# Passed into the chroot, whose environment otherwise starts empty.
PASS_ENV = re.compile(r"(CI|RAYON_.*|QUARNEL_.*|HYPOTHESIS_.*|TERM|COLUMNS)")


def log(msg: str) -> None:
    print(msg, flush=True)


def version_of(exe: str) -> tuple[int, int] | None:
    try:
        out = subprocess.run(
            [exe, "-c", "import sys; print(sys.implementation.name, *sys.version_info[:2])"],
            capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired):
        return None
    if out.returncode or not out.stdout.startswith("cpython "):
        return None
    _, major, minor = out.stdout.split()
    return int(major), int(minor)


def local_pythons() -> dict[tuple[int, int], str]:
    """One interpreter per CPython 3.10+ minor: from the PATH, or installed under pyenv
    (whose shims on the PATH fail for every version but the selected one)."""
    candidates = [exe for minor in range(10, 30) if (exe := shutil.which(f"python3.{minor}"))]
    pyenv_root = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv"))
    candidates += sorted(str(p) for p in pyenv_root.glob("versions/3.*/bin/python3"))
    found: dict[tuple[int, int], str] = {}
    for exe in candidates:
        v = version_of(exe)
        if v and v >= (3, 10) and v not in found:
            found[v] = exe
    return found


def make_sid_root() -> None:
    """Debian unstable, minimal, with the newest CPythons and their NumPy."""
    if shutil.which("debootstrap") is None:
        dev.run("apt-get", "update", "-q")
        dev.run("apt-get", "install", "-y", "-q", "debootstrap")
    partial = SID.with_name(SID.name + ".partial")
    shutil.rmtree(partial, ignore_errors=True)
    WORK.mkdir(parents=True, exist_ok=True)
    dev.run("debootstrap", "--variant=minbase", f"--include={','.join(SID_PACKAGES)}",
            "sid", partial, SID_MIRROR)
    partial.rename(SID)


def sid_pythons() -> dict[tuple[int, int], str]:
    found = {}
    for exe in (SID / "usr" / "bin").glob("python3.*"):
        if m := re.fullmatch(r"python3\.(\d+)", exe.name):
            found[(3, int(m.group(1)))] = f"/usr/bin/{exe.name}"
    return found


def stage_payload(wheel: Path) -> None:
    """The sources the tests read, and the wheel unpacked, inside the root."""
    for rel in (SRC_IN_ROOT, SITE_IN_ROOT):
        shutil.rmtree(SID / rel, ignore_errors=True)
        (SID / rel).mkdir(parents=True)
    ignore = shutil.ignore_patterns("__pycache__", "*.pyc", ".hypothesis", "results*.json")
    for name in PAYLOAD:
        src = ROOT / name
        if src.is_dir():
            shutil.copytree(src, SID / SRC_IN_ROOT / name, ignore=ignore)
        elif src.exists():
            shutil.copy2(src, SID / SRC_IN_ROOT / name)
    with zipfile.ZipFile(wheel) as z:
        z.extractall(SID / SITE_IN_ROOT)


def run_in_sid(exe: str, pytest_args: list[str]) -> subprocess.CompletedProcess:
    env = [f"{k}={v}" for k, v in os.environ.items() if PASS_ENV.fullmatch(k)]
    cmd = ["chroot", str(SID), "/usr/bin/env", "-i", "-C", f"/{SRC_IN_ROOT}",
           "PATH=/usr/bin:/bin", "HOME=/tmp", "LANG=C.UTF-8",
           f"PYTHONPATH=/{SITE_IN_ROOT}", "PYTHONDONTWRITEBYTECODE=1", *env,
           exe, "-m", "pytest", "-q", "-p", "no:cacheprovider", *pytest_args]
    proc_dir = SID / "proc"
    mounted = False
    if not os.path.ismount(proc_dir):
        dev.run("mount", "-t", "proc", "proc", proc_dir)
        mounted = True
    try:
        return run_tests(cmd)
    finally:
        if mounted:
            subprocess.run(["umount", str(proc_dir)], check=False)


def run_tests(cmd: list[str], cwd: Path = ROOT) -> subprocess.CompletedProcess:
    """Run pytest, stream its output, and keep the output for the summary line."""
    print("+", " ".join(cmd), flush=True)
    proc = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True)
    lines = []
    assert proc.stdout is not None
    for line in proc.stdout:
        print(line, end="", flush=True)
        lines.append(line)
    return subprocess.CompletedProcess(cmd, proc.wait(), "".join(lines))


def summary(out: str) -> str:
    """pytest's closing line: '123 passed, 4 skipped in 5.6s'."""
    for line in reversed(out.splitlines()):
        if re.search(r"\d+ (passed|failed|error)", line):
            return line.strip("= ").strip()
    return "no pytest summary"


def find_wheel(argv: list[str]) -> Path | None:
    if "--wheel" in argv:
        return Path(argv[argv.index("--wheel") + 1]).resolve()
    from tools import wheel as wheel_stage

    if wheel_stage.main([]):
        return None
    (found,) = wheel_stage.DIST.glob("quarnel-*-cp310-abi3-*.whl")
    return found


def main(argv: list[str]) -> int:
    pytest_args = argv[argv.index("--") + 1:] if "--" in argv else []
    options = argv[: argv.index("--")] if "--" in argv else argv
    only = None
    if "--only" in options:
        only = {tuple(map(int, v.split("."))) for v in
                options[options.index("--only") + 1].split(",")}
    started = time.monotonic()

    wheel = find_wheel(options)
    if wheel is None:
        log("pythons: the wheel stage failed")
        return 1
    log(f"wheel under test: {wheel}")

    local = local_pythons()
    results: list[tuple[str, int, str, float]] = []
    for v, exe in sorted(local.items()):
        if only and v not in only:
            continue
        name = f"{v[0]}.{v[1]}"
        dev.stage(f"pythons: CPython {name} ({exe})")
        t = time.monotonic()
        py = dev.ensure_venv(ROOT / f".venv-py{name}", exe)
        dev.run(py, "-m", "pip", "install", "-q", "numpy", "pytest", "hypothesis")
        dev.run(py, "-m", "pip", "install", "-q", "--force-reinstall", "--no-deps", wheel)
        # The modules must come from the wheel, not from anything in the source tree.
        dev.run(py, "-c", "import _quarnel, quarnel, sys; "
                "assert all('site-packages' in m.__file__ for m in (_quarnel, quarnel)), "
                "(_quarnel.__file__, quarnel.__file__)", cwd=ROOT)
        proc = run_tests([str(py), "-m", "pytest", "-q", "-p", "no:cacheprovider",
                          *pytest_args])
        results.append((name, proc.returncode, summary(proc.stdout), time.monotonic() - t))

    newer_wanted = only is None or any(v > max(local, default=(3, 9)) for v in only)
    if newer_wanted:
        t = time.monotonic()
        if not (SID / "usr" / "bin").is_dir():
            dev.stage("pythons: make the Debian unstable root (debootstrap)")
            make_sid_root()
        newer = {v: exe for v, exe in sid_pythons().items()
                 if v not in local and (not only or v in only)}
        stage_payload(wheel)
        log(f"Debian unstable root ready in {time.monotonic() - t:.0f} s")
        for v, exe in sorted(newer.items()):
            name = f"{v[0]}.{v[1]}"
            dev.stage(f"pythons: CPython {name} (Debian unstable, {exe} in {SID.name})")
            t = time.monotonic()
            proc = run_in_sid(exe, pytest_args)
            results.append((name, proc.returncode, summary(proc.stdout), time.monotonic() - t))

    dev.stage("pythons: summary")
    tested = {tuple(map(int, name.split("."))) for name, *_ in results}
    failed = [name for name, rc, *_ in results if rc]
    for name, rc, line, seconds in results:
        log(f"  CPython {name:<5} {'ok    ' if rc == 0 else 'FAILED'} {seconds:6.0f} s  {line}")
    log(f"  total {time.monotonic() - started:.0f} s")
    if only is None:
        if (3, 10) not in tested:
            failed.append("3.10 (no interpreter found)")
        if not tested or max(tested) <= max(local, default=(3, 9)):
            failed.append("no CPython newer than the local ones was tested")
    if failed:
        log(f"pythons: FAILED: {', '.join(failed)}")
        return 1
    return 0


if __name__ == "__main__":
    dev.exit_with(main, sys.argv[1:])
