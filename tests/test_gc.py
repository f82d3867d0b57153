"""Containers take part in cyclic garbage collection."""

import gc
import subprocess
import sys

import pytest

import _tarnik_core
from test_examples import module_env


def run_child(code, *args):
    """Run `code` in a fresh interpreter; it must exit with status 0.  Returns its output's words."""
    proc = subprocess.run([sys.executable, "-c", code] + list(args), env=module_env(), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=240)
    assert proc.returncode == 0, "exit status %d\n%s" % (proc.returncode, proc.stderr[-3000:])
    return proc.stdout.split()


def test_container_is_tracked_and_lists_what_it_holds():
    c = _tarnik_core.Container()
    fns = [lambda: object() for _ in range(6)]
    for key, fn, singleton in [("gone", fns[5], False), ("gone", fns[0], False), ("held", fns[1], True),
                               ("set", fns[2], True)]:
        c.register_provider(key, fn, singleton, False, [])
    c.set_cached("set", fns)
    c.begin_override_layer()
    c.set_override("layer", fns[3], True, False, [])
    c.begin_override_layer()
    c.set_override("top", fns[4], False, False, [])
    held = fns[:5] + [c.resolve("held"), fns, c.resolve("layer")]
    referents = gc.get_referents(c)
    assert gc.is_tracked(c)
    assert [any(r is o for r in referents) for o in held + [fns[5]]] == [True] * 8 + [False]


CYCLE_CHILD = r"""
import gc, sys, weakref
from _tarnik_core import Container

class Owner(object):
    def __init__(self):
        self.c = Container()
    def make(self):
        return Holder()

class Holder(object):
    def __init__(self, ref=None):
        self.ref = ref

freed = []
gc.disable()
for _ in range(50):
    o = Owner()
    c = o.c
    exec(sys.argv[1])
    weakref.finalize(o, freed.append, 1)
del o, c
gc.collect()
print(len(freed), sum(type(x) is Container for x in gc.get_objects()))
"""

# each closes a cycle through the container that owner `o` holds as `c`
SHAPES = {
    "bound method": 'c.register_provider("svc", o.make, False, False, [])',
    "closure": 'c.register_provider("svc", lambda: (o, c), False, False, [])',
    "resolved singleton": 'c.register_provider("svc", Holder, True, False, []); c.resolve("svc").ref = o',
    "set_cached": 'c.register_provider("svc", Holder, True, False, []); c.set_cached("svc", Holder(o))',
    "override layer": 'c.begin_override_layer(); c.set_override("svc", o.make, False, False, []); '
                      'c.set_override("v", Holder, True, False, []); c.resolve("v").ref = c',
}


@pytest.mark.parametrize("shape", sorted(SHAPES))
def test_cycle_through_a_container_is_collected(shape):
    assert run_child(CYCLE_CHILD, SHAPES[shape]) == ["50", "0"]


COLLECT_CHILD = r"""
import gc, sys
from _tarnik_core import Container

seen, made = [], []

class Value(object):
    def __init__(self, key, *deps):
        self.me, self.key, self.deps = self, key, deps  # a premature collection would clear it

def intact(v):
    if isinstance(v, list):
        return all(map(intact, v))
    return not isinstance(v, Value) or (getattr(v, "me", None) is v and all(map(intact, v.deps)))

def collect(*value):
    g = Container()  # garbage for the collector: a cycle through another container
    g.register_provider("g", lambda: g, True, False, [])
    g.resolve("g")
    gc.collect()
    return Value(*value) if value else None

class Temporary(object):  # dropped by the container once "mid" is built
    def __init__(self):
        made.append(1)
    def __del__(self):
        seen.append(collect("seen", c.get_cached("s")))

c = Container()
c.register_provider("s", lambda: collect("s"), True, False, [])
c.register_provider("tmp", Temporary, False, False, [])
c.register_provider("mid", lambda tmp, s: collect("mid", s), False, False, ["tmp", "s"])
c.register_provider("top", lambda mid: collect("top", mid, c.resolve_many_plan(["mid", "s"])), False, False, ["mid"])
for _ in range(5):
    values = [c.resolve("top")] if sys.argv[1] == "resolve" else getattr(c, sys.argv[1])(["top", "mid"])
    collect()
    assert intact(values) and intact(seen) and len(seen) == len(made), (values, seen, made)
    assert [v.key for v in values[0].deps[0].deps + tuple(values[0].deps[1])] == ["s", "mid", "s"]
assert intact(c.get_cached("s"))
print("ok")
"""


@pytest.mark.parametrize("method", ["resolve", "resolve_many", "resolve_many_plan"])
def test_collecting_from_providers_and_finalizers_is_harmless(method):
    assert run_child(COLLECT_CHILD, method) == ["ok"]
