"""Check that the test requirements install from wheels on every interpreter
and system whose wheels the release workflow tests.

    python tools/check_test_wheels.py [-j JOBS] [IDENTIFIER-GLOB...]

The wheel workflow (.github/workflows/wheels.yml, [tool.cibuildwheel] in
pyproject.toml) installs the module's test extras next to every wheel it
builds (`test-extras`, and its overrides for some builds) and runs the
suite.  A requirement that has no wheel there is built
from its sdist on the runner, which takes minutes, a compiler or a Rust
toolchain, and fails the release when it does not build.  For each build
identifier (cp38-manylinux_x86_64, cp314t-win_amd64, ...) this takes the
extras that the configuration names for it, evaluates their markers as that
interpreter would and asks pip to resolve what they
select with binary packages only, for that interpreter, ABI and platform
(`pip install --dry-run --only-binary=:all: --platform ... --abi ...`),
dependencies included.  It downloads metadata, not wheels.

Exits 1 naming every identifier where that fails, with pip's reason.
Markers of the dependencies' own dependencies are evaluated by pip for the
interpreter running this script, as pip always does.
"""

import argparse
import fnmatch
import json
import os
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from packaging.requirements import Requirement

ROOT = Path(__file__).resolve().parent.parent

# What .github/workflows/wheels.yml builds and tests: the current
# cibuildwheel takes CPython 3.9 to 3.15 and 3.14t, 3.15t; the job with the
# 3.x series takes 3.8 and 3.13t.
PYTHONS = ["cp38", "cp39", "cp310", "cp311", "cp312", "cp313", "cp314", "cp315", "cp313t", "cp314t", "cp315t"]


def _manylinux(arch):
    return ["manylinux_2_%d_%s" % (minor, arch) for minor in range(28, 4, -1)] + \
        ["manylinux2014_%s" % arch, "manylinux2010_%s" % arch, "manylinux1_%s" % arch]


def _macos(arch):
    versions = ["%d_0" % major for major in range(15, 10, -1)] + ["10_%d" % minor for minor in range(16, 8, -1)]
    arches = [arch, "universal2"] + (["intel", "universal"] if arch == "x86_64" else [])
    return ["macosx_%s_%s" % (v, a) for v in versions for a in arches if not (a == "arm64" and v.startswith("10_"))]


# Each runner's platform tags that pip accepts where the wheels are tested:
# the manylinux_2_28 and musllinux_1_2 images, macOS 15 runners, Windows.
PLATFORMS = {
    "manylinux_x86_64": ("linux", "x86_64", _manylinux("x86_64")),
    "manylinux_aarch64": ("linux", "aarch64", _manylinux("aarch64")),
    "musllinux_x86_64": ("linux", "x86_64", ["musllinux_1_%d_x86_64" % m for m in (2, 1, 0)]),
    "musllinux_aarch64": ("linux", "aarch64", ["musllinux_1_%d_aarch64" % m for m in (2, 1, 0)]),
    "macosx_arm64": ("darwin", "arm64", _macos("arm64")),
    "macosx_x86_64": ("darwin", "x86_64", _macos("x86_64")),
    "win_amd64": ("win32", "AMD64", ["win_amd64"]),
}
SYSTEMS = {"linux": ("Linux", "posix"), "darwin": ("Darwin", "posix"), "win32": ("Windows", "nt")}


def requirements_for(identifier, pyproject):
    """The requirements of the extras that the cibuildwheel configuration
    installs for `identifier` (the last override that selects it wins)."""
    config = pyproject["tool"]["cibuildwheel"]
    extras = config.get("test-extras", [])
    for override in config.get("overrides", []):
        if "test-extras" in override and any(fnmatch.fnmatch(identifier, pattern)
                                             for pattern in override["select"].split()):
            extras = override["test-extras"]
    table = pyproject["project"]["optional-dependencies"]
    return extras, [req for extra in extras for req in table[extra]]


def environment(python, platform):
    """The marker environment of `python` (cp314t) on `platform` (a key of PLATFORMS)."""
    sys_platform, machine, _ = PLATFORMS[platform]
    version = "3.%s" % python[3:].rstrip("t")
    system, os_name = SYSTEMS[sys_platform]
    return {"python_version": version, "python_full_version": version + ".0", "sys_platform": sys_platform,
            "platform_system": system, "os_name": os_name, "platform_machine": machine,
            "platform_python_implementation": "CPython", "implementation_name": "cpython",
            "implementation_version": version + ".0", "platform_release": "", "platform_version": "",
            "extra": ""}


def selected(requirements, env):
    """The requirements whose markers hold in `env`, without their markers."""
    out = []
    for text in requirements:
        req = Requirement(text)
        if req.marker is None or req.marker.evaluate(env):
            req.marker = None
            out.append(str(req))
    return out


def check(identifier, pyproject, pip):
    """(identifier, what was resolved or None, pip's complaint)."""
    python, platform = identifier.split("-", 1)
    extras, requirements = requirements_for(identifier, pyproject)
    # The free-threaded build cannot load the stable ABI's wheels.
    abis = [python, "none"] + ([] if python.endswith("t") else ["abi3"])
    reqs = selected(requirements, environment(python, platform))
    cmd = pip + ["install", "--dry-run", "--ignore-installed", "--quiet", "--only-binary=:all:",
                 "--implementation", "cp", "--python-version", "3." + python[3:].rstrip("t")]
    for abi in abis:
        cmd += ["--abi", abi]
    for tag in PLATFORMS[platform][2]:
        cmd += ["--platform", tag]
    with tempfile.TemporaryDirectory() as tmp:
        report = os.path.join(tmp, "report.json")
        cmd += ["--target", os.path.join(tmp, "target"), "--report", report] + reqs
        proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
        if proc.returncode != 0:
            why = [line for line in proc.stdout.splitlines() if line.startswith("ERROR")]
            return identifier, None, ["extras %s" % extras] + why[-2:]
        with open(report) as f:
            got = json.load(f)["install"]
    return identifier, ["[%s]" % ",".join(extras)] + sorted(
        "%s %s" % (i["metadata"]["name"], i["metadata"]["version"]) for i in got), None


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-j", "--jobs", type=int, default=8, help="pip runs at once (default 8)")
    parser.add_argument("patterns", nargs="*", default=["*"], metavar="IDENTIFIER-GLOB")
    args = parser.parse_args(argv)
    identifiers = [p + "-" + plat for p in PYTHONS for plat in PLATFORMS
                   if any(fnmatch.fnmatch(p + "-" + plat, pat) for pat in args.patterns)]
    try:
        import tomllib
    except ImportError:  # Python < 3.11
        import tomli as tomllib
    with open(ROOT / "pyproject.toml", "rb") as f:
        pyproject = tomllib.load(f)
    # PyPI alone, as the workflow's runners see it: no configuration of this
    # machine (local indexes, wheel directories, constraints) takes part.
    pip = [sys.executable, "-m", "pip", "--isolated", "--disable-pip-version-check", "--no-input", "--timeout", "60"]
    if os.environ.get("PIP_CERT"):
        pip += ["--cert", os.environ["PIP_CERT"]]
    with ThreadPoolExecutor(args.jobs) as pool:
        results = list(pool.map(lambda i: check(i, pyproject, pip), identifiers))
    failed = []
    for identifier, got, why in results:
        if got is None:
            failed.append(identifier)
            print("FAILED %s:\n    %s" % (identifier, "\n    ".join(why)))
        else:
            print("ok %-26s %s" % (identifier, ", ".join(got)))
    print("%d of %d identifiers install their test requirements from wheels" % (len(results) - len(failed), len(results)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
