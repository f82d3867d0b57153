"""Failures of the module's own native allocations (operator new, vector
growth, std::string, malloc), injected one at a time into every method.

The interpreter-allocator sweep in test_failures.py never reaches these. Here
a shim (native/failalloc.c), preloaded into a child interpreter, fails the
N-th allocation the module makes itself, for N = 1, 2, ... until a call runs
with nothing left to fail. Every outcome must be the call's normal result, or
MemoryError with the container usable and unchanged (but for singleton values
a resolution stored before it failed); never a crash or a poisoned container. Nothing may leak: not
the Python objects handed to the container, not the module's native blocks.

This file is also the child: `python test_native_alloc.py CASE FIRST MODE`
with the shim preloaded prints one JSON line per N.
"""

import ctypes
import gc
import json
import os
import re
import shutil
import subprocess
import sys
import weakref

import _tarnik_core

HERE = os.path.dirname(os.path.abspath(__file__))

# -- the child: containers, cases and one sweep ------------------------------

LIVE = weakref.WeakSet()  # every callable and value handed to a container
CURRENT = []  # the container under test, for finalizers
REENTERED = []  # values whose finalizer found the container still locked


class Tracked(object):
    """A callable or a value handed to a container. A held one (a callable,
    a singleton's value) checks on release that a finalizer could use the
    container: what the container drops is released after its lock."""

    __slots__ = ("name", "held", "singleton", "__weakref__")

    def __init__(self, name, held=True, singleton=False):
        self.name, self.held, self.singleton = name, held, singleton
        LIVE.add(self)

    def __call__(self, *args):
        return Tracked(self.name + "()", held=self.singleton)

    def __del__(self):
        if self.held and CURRENT:
            try:
                CURRENT[0].get_cached("wide")
            except RuntimeError:
                REENTERED.append(self.name)
            except BaseException:
                pass  # a poisoned container


def key(i):
    """Dependency keys too long to be stored inline, every other one not ASCII."""
    if i % 2:
        return "\u043a\u043b\u044e\u0447-\u0437\u0430\u0432\u0438\u0441\u0438\u043c\u043e\u0441\u0442\u0438-%d" % i
    return "a-dependency-key-longer-than-inline-%d" % i


LEAVES = [key(i) for i in range(20)]  # more than a key list holds inline
CHAIN = ["chain-%d-%s" % (i, "x" * 24) for i in range(40)]  # deeper than the frames scanned
REGISTERED = 128  # a full registry: one more entry grows it
NEW_KEY = key(1001)


def reg(store, k, deps=(), singleton=False):
    store(k, Tracked(k, singleton=singleton), singleton, False, list(deps))


def build():
    """A registry of 128 entries and four override layers (a fifth grows the
    stack), with held singleton values in the registry and in the layers."""
    c = _tarnik_core.Container()
    for k in LEAVES:
        reg(c.register_provider, k, singleton=True)
    reg(c.register_provider, "wide", LEAVES)
    for i, k in enumerate(CHAIN):
        reg(c.register_provider, k, CHAIN[i + 1 : i + 2] or ["wide", "held"])
    reg(c.register_provider, "held", singleton=True)
    reg(c.register_provider, "broken", [CHAIN[0], key(999)])
    for i in range(REGISTERED - len(LEAVES) - len(CHAIN) - 3):
        reg(c.register_provider, "pad-%d" % i)
    c.begin_override_layer()
    reg(c.set_override, CHAIN[10], CHAIN[11:12])
    c.begin_override_layer()
    reg(c.set_override, key(3), singleton=True)
    c.begin_override_layer()
    reg(c.set_override, "wide", LEAVES)
    c.begin_override_layer()
    top = [key(5)] + ["top-%d" % i for i in range(4)]  # a sixth entry grows the layer
    for k in top:
        reg(c.set_override, k, singleton=k == key(5))
    c.resolve(CHAIN[0])
    return c


SNAPSHOT_KEYS = LEAVES + CHAIN + ["wide", "held", "broken", "top-0", NEW_KEY]
PLAN_KEYS = CHAIN[::2] + ["wide", "held"] + LEAVES[::-1]
BATCH_KEYS = [CHAIN[30], "wide", "held"] + LEAVES + [CHAIN[35]]


def provider_call(method, k, name, singleton):
    def prepare(c):
        fn, deps = Tracked(name, singleton=singleton), list(LEAVES)
        return lambda: getattr(c, method)(k, fn, singleton, False, deps)

    return prepare


def set_cached_call(c):
    value = Tracked("set")
    return lambda: c.set_cached(key(5), value)


# Each case prepares its arguments, then returns the call to make.
CASES = {
    "register_provider": provider_call("register_provider", NEW_KEY, "new", True),
    "register_provider-replace": provider_call("register_provider", "held", "held-again", True),
    "resolve": lambda c: lambda: c.resolve(CHAIN[0]),
    "resolve-error": lambda c: lambda: c.resolve("broken"),
    "resolve_many": lambda c: lambda: c.resolve_many(BATCH_KEYS),
    "resolve_many_plan": lambda c: lambda: c.resolve_many_plan(PLAN_KEYS),
    "begin_override_layer": lambda c: c.begin_override_layer,
    "set_override": provider_call("set_override", NEW_KEY, "new", False),
    "set_override-replace": provider_call("set_override", key(5), "top-again", True),
    "get_provider_info": lambda c: lambda: c.get_provider_info("wide"),
    "get_cached": lambda c: lambda: c.get_cached(key(3)),
    "set_cached": set_cached_call,
    "end_override_layer": lambda c: c.end_override_layer,
}


def show(obj):
    if isinstance(obj, Tracked):
        return obj.name
    if isinstance(obj, (list, tuple)):
        return [show(x) for x in obj]
    return repr(obj)


def outcome_of(call):
    try:
        return ["ok", show(call())]
    except BaseException as exc:
        return [type(exc).__name__, str(exc)]


def snapshot(c):
    return [[outcome_of(lambda: c.get_provider_info(k)), show(c.get_cached(k))] for k in SNAPSHOT_KEYS]


def state(c):
    """The snapshot and the number of open layers (counting closes them all)."""
    depth = 0
    while depth < 20:
        c.set_override("probe", Tracked("probe"), False, False, [])
        if outcome_of(lambda: c.get_provider_info("probe"))[0] != "ok":
            break
        c.end_override_layer()
        depth += 1
    return [snapshot(c), depth]


def kept(now, before, after, case):
    """A failed call left the state as it was, but for singleton values that a
    resolution stored before it failed."""
    if not case.startswith("resolve"):
        return now == before
    return all(n[0] == b[0] and n[1] in (b[1], a[1]) for n, b, a in zip(now, before, after))


def child(case, first, mode):
    shim = ctypes.CDLL(None)
    for name in ("failalloc_counted", "failalloc_failed", "failalloc_live"):
        getattr(shim, name).restype = ctypes.c_longlong
    shim.failalloc_arm.argtypes = [ctypes.c_longlong, ctypes.c_int]
    if shim.failalloc_enable(_tarnik_core.__file__.encode()) <= 0:
        raise SystemExit("the shim did not find the module")

    def run(n):
        c = build()
        call = CASES[case](c)
        gc.collect()
        CURRENT[:] = [c]
        shim.failalloc_arm(n, mode == "all")
        try:
            got = outcome_of(call)
        finally:
            shim.failalloc_disarm()
        return c, call, got

    c, call, expected = run(0)
    after = state(c)
    c = build()
    before = snapshot(c)
    CURRENT[:] = []
    del c, call
    gc.collect()
    native_base = shim.failalloc_live()  # what the module keeps for the process: none so far
    print(json.dumps({"ready": expected, "native_live": native_base}), flush=True)

    n = first
    while n < 5000:
        del REENTERED[:]
        c, call, got = run(n)
        counted, failed = shim.failalloc_counted(), shim.failalloc_failed()
        problems = []
        if got == expected:
            if state(c) != after:
                problems.append("the state after the call is not as expected")
        elif got[0] == "MemoryError":
            if not kept(snapshot(c), before, after[0], case):
                problems.append("MemoryError, but the container changed")
            again = outcome_of(call)
            if again != expected:
                problems.append("MemoryError, then the same call gave %r" % (again,))
            elif state(c) != after:
                problems.append("MemoryError, then the same call left an unexpected state")
        else:
            problems.append("unexpected outcome %r" % (got,))
        if REENTERED:
            problems.append("released under the lock: %r" % REENTERED[:3])
        CURRENT[:] = []
        del c, call
        gc.collect()
        if LIVE:
            problems.append("%d Python objects leaked: %r" % (len(LIVE), sorted(t.name for t in LIVE)[:5]))
            LIVE.clear()
        live = shim.failalloc_live()
        if live != native_base:
            problems.append("%d native blocks leaked" % (live - native_base))
            native_base = live
        record = {"n": n, "counted": counted, "failed": failed, "outcome": got, "problems": problems}
        print(json.dumps(record), flush=True)
        if not failed:
            break
        n += 1


if __name__ == "__main__":
    sys.exit(child(sys.argv[1], int(sys.argv[2]), sys.argv[3]))


# -- the parent --------------------------------------------------------------

import pytest  # noqa: E402  (not needed by the child)


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    cc = shutil.which("gcc") or shutil.which("cc")
    if not sys.platform.startswith("linux") or cc is None:
        pytest.skip("the allocation shim needs Linux and a C compiler")
    if re.search(r"lib[a-z]*san\b", os.environ.get("LD_PRELOAD", "")):
        pytest.skip("a preloaded sanitizer runtime already replaces the allocator")
    out = str(tmp_path_factory.mktemp("failalloc") / "failalloc.so")
    src = os.path.join(HERE, "native", "failalloc.c")
    subprocess.run([cc, "-shared", "-fPIC", "-O2", "-fexceptions", "-o", out, src, "-ldl"], check=True)
    return out


def sweep(shim, case, mode):
    """All records of a sweep, and the crashes: after a crash at N the sweep
    goes on from N + 1."""
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(_tarnik_core.__file__))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    env["LD_PRELOAD"] = shim
    records, crashes, first = [], [], 1
    while len(crashes) < 10:
        proc = subprocess.run(
            [sys.executable, os.path.abspath(__file__), case, str(first), mode],
            env=env,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            timeout=600,
        )
        lines = [json.loads(line) for line in proc.stdout.decode().splitlines() if line.startswith("{")]
        stderr = proc.stderr.decode("utf-8", "replace")
        assert lines and "ready" in lines[0], "the child failed before its sweep (%d):\n%s" % (
            proc.returncode,
            stderr[-3000:],
        )
        records += lines[1:]
        if proc.returncode == 0:
            return records, crashes
        at = records[-1]["n"] + 1 if len(lines) > 1 else first
        crashes.append({"n": at, "status": proc.returncode, "stderr": stderr[-300:]})
        first = at + 1
    return records, crashes


@pytest.mark.parametrize("mode", ["one", "all"])
@pytest.mark.parametrize("case", sorted(CASES))
def test_native_allocation_failure(shim, case, mode):
    """Fail the N-th native allocation of the module (only that one, or that
    one and all later ones), for every N the call reaches."""
    records, crashes = sweep(shim, case, mode)
    report = [json.dumps(r, ensure_ascii=False) for r in records if r["problems"]][:8]
    if crashes:
        first = crashes[0]
        report.insert(0, "crashed at N = %s (status %d): %s"
                      % ([c["n"] for c in crashes], first["status"], first["stderr"].strip()))
    assert not report, "%s, %s:\n%s" % (case, mode, "\n".join(report))
    assert records and records[-1]["failed"] == 0, "the sweep did not reach a call with nothing to fail"
    if case not in ("get_cached", "set_cached"):  # these two allocate nothing natively
        assert records[-1]["counted"] > 0, "the shim saw no allocation of the module"
