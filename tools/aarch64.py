"""aarch64 Linux stage: the same sources built and tested on arm64, results compared
bit for bit with this machine's.

    python3 dev.py aarch64            # reuse the arm64 root under build/ when present
    python3 dev.py aarch64 --fresh    # rebuild the root from nothing first

On an x86-64 Debian or Ubuntu host, as root (debootstrap, chroot and mount need it):
1. installs debootstrap, qemu-user-static and binfmt-support when missing, and has the
   kernel run arm64 programs through qemu (binfmt_misc);
2. creates a Debian bookworm arm64 root in build/aarch64-root, once;
3. copies the working tree into it, installs the package with pip (`pip install .`, as
   a user would) with the C++ unit tests built alongside, runs those, checks that the
   extensions contain no fused multiply-add, and runs a fast part of the pytest suite;
4. runs a fixed batch through every function of _quarnel there and on this machine
   (tools/aarch64_batch.py) and compares the two sets of results bit for bit.

The only tolerated difference is the sign or payload of a NaN that an operation
creates (inf - inf, 0 * inf): IEEE 754 leaves it open, x86 makes it negative and Arm
positive. Such results are reported, not failed. QUARNEL_AARCH64_JOBS sets the build
parallelism (default: the processor count).
"""

from __future__ import annotations

import contextlib
import os
import platform
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build"
CHROOT = BUILD / "aarch64-root"
READY = CHROOT / ".quarnel-root-ready"
HOST_BUILD = BUILD / "aarch64-host"
BATCH = ROOT / "tools" / "aarch64_batch.py"
SUITE = "bookworm"
MIRROR = "http://deb.debian.org/debian"
PACKAGES = [
    "python3", "python3-dev", "python3-venv", "python3-pip", "python3-numpy",
    "python3-pytest", "g++", "cmake", "ninja-build", "ca-certificates",
]
# Debian bookworm's CMake (3.25) predates FindPython's stable-ABI component (3.26).
BUILD_TOOLS = ["cmake>=3.26", "ninja"]
HOST_PACKAGES = {"debootstrap": "debootstrap", "qemu-aarch64-static": "qemu-user-static",
                 "update-binfmts": "binfmt-support"}
# The value, argument, layout and threading tests; not the tool checks (lint, typing,
# C++ package), the examples and benchmarks, the property tests (Hypothesis) or the
# leak checks, whose figures say nothing about the architecture and run slowly here.
PYTEST_FILES = [
    "tests/test_module.py",
    "tests/test_arguments.py",
    "tests/test_price_from_samples.py",
    "tests/test_statistics.py",
    "tests/test_weights.py",
    "tests/test_price_delta.py",
    "tests/test_parallel.py",
    "tests/test_docs.py",
]
# qemu's user mode does not apply RLIMIT_AS to the emulated process (it would starve the
# emulator itself), so the test that caps the address space to stop the pool's threads
# from starting cannot work under emulation; on arm64 hardware it runs.
EMULATION_DESELECT = [
    "tests/test_parallel.py::TestProcessLife::test_pool_that_cannot_start_fails_every_call",
]
# Left out of the copy: caches, virtual environments, build trees (this root included).
SKIP_TOP = {"build", ".git", "dist"}
SKIP_ANY = {"__pycache__", ".pytest_cache", ".hypothesis", ".mypy_cache", ".ruff_cache"}


def log(text: str) -> None:
    print(text, flush=True)


def run(*cmd: str | os.PathLike, env: dict | None = None, cwd: Path | None = None) -> None:
    log("+ " + " ".join(str(c) for c in cmd))
    full_env = None if env is None else {**os.environ, **env}
    subprocess.run([str(c) for c in cmd], check=True, env=full_env, cwd=cwd)


def jobs() -> str:
    return os.environ.get("QUARNEL_AARCH64_JOBS", str(os.cpu_count() or 1))


def root_command(cmd: tuple[str, ...], cwd: str) -> list[str]:
    """cmd inside the arm64 root, with a clean environment."""
    env = ["PATH=/venv/bin:/usr/local/bin:/usr/bin:/bin", "HOME=/root", "LANG=C.UTF-8",
           f"CMAKE_BUILD_PARALLEL_LEVEL={jobs()}", "PIP_DISABLE_PIP_VERSION_CHECK=1"]
    script = f"cd {cwd} && exec \"$@\""
    return ["chroot", str(CHROOT), "/usr/bin/env", "-i", *env, "/bin/sh", "-c", script, "sh",
            *cmd]


def in_root(*cmd: str, cwd: str = "/") -> None:
    run(*root_command(cmd, cwd))


def no_fused_multiply_add() -> bool:
    """The contract forbids contraction into FMA, which GCC does by default on arm64:
    the built extensions must contain no fused multiply-add instruction at all."""
    site = subprocess.run(
        root_command(("/venv/bin/python", "-c",
                      "import _quarnel, os; print(os.path.dirname(_quarnel.__file__))"), "/"),
        check=True, capture_output=True, text=True).stdout.strip()
    found = sorted(str(p.relative_to(CHROOT)) for p in (CHROOT / site.lstrip("/")).rglob("*.so")
                   if "quarnel" in str(p.relative_to(CHROOT / site.lstrip("/"))))
    ok = bool(found)
    for so in found:
        listing = subprocess.run(root_command(("objdump", "-d", "/" + so), "/"), check=True,
                                 capture_output=True, text=True).stdout
        fused = re.findall(r"\t(f(?:n?madd|n?msub|mla|mls)\S*)\s", listing)
        log(f"{so}: {len(fused)} fused multiply-add instructions"
            + (f" ({', '.join(sorted(set(fused)))})" if fused else ""))
        ok = ok and not fused
    if not found:
        log("FAILED: no installed quarnel extension found")
    return ok


def emulated() -> bool:
    return platform.machine() not in ("aarch64", "arm64")


def host_prerequisites() -> None:
    if os.geteuid() != 0:
        raise SystemExit("the aarch64 stage needs root: debootstrap, chroot and mount")
    missing = sorted({pkg for tool, pkg in HOST_PACKAGES.items() if shutil.which(tool) is None})
    if not emulated():
        missing = [p for p in missing if p == "debootstrap"]
    if missing:
        run("apt-get", "update", "-q")
        run("apt-get", "install", "-y", "-q", "--no-install-recommends", *missing,
            env={"DEBIAN_FRONTEND": "noninteractive"})
    if not emulated():
        return
    binfmt = Path("/proc/sys/fs/binfmt_misc")
    if not (binfmt / "status").exists():
        run("mount", "-t", "binfmt_misc", "binfmt_misc", binfmt)
    entry = binfmt / "qemu-aarch64"
    if not entry.exists() or "enabled" not in entry.read_text():
        run("update-binfmts", "--enable", "qemu-aarch64")
    if "enabled" not in entry.read_text():
        raise SystemExit("binfmt_misc does not run arm64 programs through qemu")


def mounted_below(path: Path) -> list[str]:
    prefix = str(path.resolve())
    points = [line.split()[1] for line in Path("/proc/mounts").read_text().splitlines()]
    return [p for p in points if p == prefix or p.startswith(prefix + "/")]


def make_root(fresh: bool) -> None:
    wanted = " ".join(PACKAGES)
    if not fresh and READY.exists() and READY.read_text().strip() == wanted:
        log(f"reusing the arm64 root {CHROOT}")
        return
    if CHROOT.exists():
        if mounted_below(CHROOT):
            raise SystemExit(f"something is still mounted under {CHROOT}: {mounted_below(CHROOT)}")
        shutil.rmtree(CHROOT)
    CHROOT.parent.mkdir(parents=True, exist_ok=True)
    run("debootstrap", "--arch=arm64", "--variant=minbase", "--include=" + ",".join(PACKAGES),
        SUITE, CHROOT, MIRROR)
    READY.write_text(wanted + "\n")


@contextlib.contextmanager
def proc_mounted():
    """/proc inside the root, for the processor count and Python's own use."""
    proc = CHROOT / "proc"
    already = str(proc.resolve()) in mounted_below(proc)
    if not already:
        run("mount", "-t", "proc", "proc", proc)
    try:
        yield
    finally:
        if not already:
            if subprocess.run(["umount", str(proc)]).returncode != 0:
                subprocess.run(["umount", "-l", str(proc)])


def copy_sources() -> None:
    dest = CHROOT / "src"
    if dest.exists():
        shutil.rmtree(dest)

    def ignore(directory: str, names: list[str]) -> set[str]:
        skip = {n for n in names if n in SKIP_ANY or n.endswith((".so", ".egg-info"))}
        if Path(directory) == ROOT:
            skip |= {n for n in names if n in SKIP_TOP or n.startswith(".venv")}
        return skip

    shutil.copytree(ROOT, dest, ignore=ignore, symlinks=True)


def host_python() -> Path:
    """The project's virtual environment, with what the host side of the stage needs."""
    sys.path.insert(0, str(ROOT))
    import dev

    py = dev.ensure_venv(dev.MAIN)
    run(py, "-m", "pip", "install", "-q", "numpy", "cmake>=3.26", "ninja")
    return py


def build_requirements(py: Path) -> None:
    """The package's build requirements as wheels for the root's Python, downloaded by
    this side's pip with its own index settings: pip in the root needs no network."""
    version = subprocess.run(
        ["chroot", str(CHROOT), "/usr/bin/python3", "-c",
         "import sys; print('%d%d' % sys.version_info[:2])"],
        check=True, capture_output=True, text=True).stdout.strip()
    run(py, "-m", "pip", "download", "-q", "--dest", CHROOT / "wheels", "--only-binary=:all:",
        "--platform", "manylinux2014_aarch64", "--python-version", version,
        *build_requirement_names(), *BUILD_TOOLS)


def build_requirement_names() -> list[str]:
    text = (ROOT / "pyproject.toml").read_text()
    return re.findall(r'"([^"]+)"', re.search(r"^requires = \[(.*)\]$", text, re.M)[1])


def host_results(py: Path, io: Path) -> Path:
    """The batch on this machine, from the same snapshot of the sources."""
    bindir = py.parent
    run(bindir / "cmake", "-S", CHROOT / "src", "-B", HOST_BUILD, "-G", "Ninja",
        f"-DCMAKE_MAKE_PROGRAM={bindir / 'ninja'}", "-DCMAKE_BUILD_TYPE=Release",
        "-DQUARNEL_BUILD_MODULE=ON", f"-DPython_EXECUTABLE={py}")
    run(bindir / "cmake", "--build", HOST_BUILD, "-j", jobs())
    out = io / "out-host"
    run(py, BATCH, "outputs", io / "in", out, env={"PYTHONPATH": str(HOST_BUILD)})
    return out


def main(argv: list[str]) -> int:
    fresh = "--fresh" in argv
    started = time.monotonic()
    marks: list[tuple[str, float]] = []

    def mark(step: str) -> None:
        marks.append((step, time.monotonic()))
        log(f"\n--- {step} ({marks[-1][1] - started:.0f} s) ---")

    mark("host tools and binfmt_misc")
    host_prerequisites()
    mark("arm64 root")
    make_root(fresh)
    mark("sources and inputs")
    py = host_python()
    copy_sources()
    io = CHROOT / "io"
    if io.exists():
        shutil.rmtree(io)
    # The inputs come from this side's NumPy, in a file; the other side only reads them.
    run(py, BATCH, "inputs", io / "in")
    build_requirements(py)
    with proc_mounted():
        in_root("uname", "-m")
        mark("pip install . and the C++ unit tests on aarch64")
        if not (CHROOT / "venv" / "bin" / "python").exists():
            in_root("python3", "-m", "venv", "--system-site-packages", "/venv")
        # The distribution's NumPy and pytest serve; the build requirements are the
        # arm64 wheels fetched on this side, installed into the venv so that its newer
        # CMake comes first on the PATH.
        in_root("/venv/bin/pip", "install", "-q", "--no-index", "--find-links=/wheels",
                *build_requirement_names(), *BUILD_TOOLS)
        # The unit tests are built in the wheel's build tree, from the same objects:
        # under emulation every compilation counts.
        in_root("/venv/bin/pip", "install", "-q", "--force-reinstall", "--no-deps",
                "--no-build-isolation", "--config-settings=build-dir=/build/wheel",
                "--config-settings=cmake.define.QUARNEL_BUILD_TESTS=ON", "/src")
        in_root("ctest", "--test-dir", "/build/wheel", "--output-on-failure")
        in_root("/venv/bin/python", "-c",
                "import _quarnel, numpy, platform; print(platform.machine(), "
                "numpy.__version__, _quarnel.__file__)")
        if not no_fused_multiply_add():
            return 1
        mark("pytest on aarch64")
        deselect = [f"--deselect={t}" for t in EMULATION_DESELECT] if emulated() else []
        in_root("/venv/bin/python", "-m", "pytest", "-q", "-p", "no:cacheprovider",
                *deselect, *PYTEST_FILES, cwd="/src")
        mark("fixed batch on aarch64")
        in_root("/venv/bin/python", "/src/tools/aarch64_batch.py", "outputs", "/io/in",
                "/io/out-aarch64")
    mark("fixed batch on this machine")
    host_out = host_results(py, io)
    mark("comparison")
    ok = subprocess.run([str(py), str(BATCH), "compare", str(host_out),
                         str(io / "out-aarch64")]).returncode == 0
    total = time.monotonic() - started
    log("\nstep times: " + ", ".join(
        f"{step} {end - start:.0f} s"
        for (step, start), (_, end) in zip(marks, marks[1:] + [("end", time.monotonic())])))
    log(f"aarch64 stage {'passed' if ok else 'FAILED'} in {total:.0f} s")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
