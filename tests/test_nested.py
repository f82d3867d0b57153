"""Reads made by a provider on its own container run nested inside the
resolution that called it.  Where the model knows the rule, the same test
runs on the module and on the model."""

import threading

import pytest

import _tarnik_core
from model import ModelContainer
from test_gc import run_child
from test_reentrancy import CHANGES, REENTRANT, resolve_via as via, state  # noqa: F401 (state is a fixture)

RESOLVERS = ["resolve", "resolve_many", "resolve_many_plan"]
both = pytest.mark.parametrize("make", [_tarnik_core.Container, ModelContainer], ids=["module", "model"])
outers = pytest.mark.parametrize("outer", RESOLVERS)


class Boom(Exception):
    pass


def register_graph(c, graph, calls):
    """graph: key -> (dep_keys, singleton, action); a provider logs its key,
    runs action(c) if any and returns (key, args, what the action gave)."""
    for key, (deps, singleton, action) in graph.items():
        def provider(*args, key=key, action=action):
            calls.append(key)
            return (key, args, action and action(c))

        c.register_provider(key, provider, singleton, False, deps)


# the graph ("a" is resolved) and the key reported by a walk (resolve,
# resolve_many) and by a plan
CYCLES = {
    "own key": ({"a": ([], False, lambda c: c.resolve("a"))}, "a", "a"),
    "own key, singleton": ({"a": ([], True, lambda c: c.resolve_many(["a"]))}, "a", "a"),
    # a plan has only "b" in progress when b's provider asks for "a"
    "dependent": ({"a": (["b"], False, None), "b": ([], False, lambda c: c.resolve("a"))}, "a", "b"),
    "via nested": (
        {"a": ([], False, lambda c: c.resolve("b")), "b": ([], True, lambda c: c.resolve_many_plan(["x", "a"])),
         "x": ([], False, None)},
        "a", "a",
    ),
    "nested walk": (
        {"a": (["b"], False, None), "b": ([], False, lambda c: c.resolve("c")), "c": (["a"], False, None)},
        "a", "b",
    ),
}


@both
@outers
@pytest.mark.parametrize("case", sorted(CYCLES))
def test_key_in_progress_on_the_thread_is_a_cycle(make, outer, case):
    graph, walk_key, plan_key = CYCLES[case]
    c, calls = make(), []
    register_graph(c, graph, calls)
    with pytest.raises(RuntimeError) as e:
        via(c, outer, "a")
    expected = plan_key if outer == "resolve_many_plan" else walk_key
    assert e.value.args == ("Dependency cycle detected at key: " + expected,)
    assert [c.get_cached(k) for k in graph] == [None] * len(graph)
    c.register_provider("after", lambda: "after", False, False, [])
    assert c.resolve("after") == "after"


@both
@outers
@pytest.mark.parametrize("inner", RESOLVERS)
def test_singleton_built_by_a_nested_call_is_the_one_the_outer_call_gets(make, outer, inner):
    c, calls = make(), []
    graph = {
        "top": (["x", "s"], False, None),
        # "top" is in progress here, but reading it is no resolution
        "x": ([], False, lambda c: (via(c, inner, "s"), c.get_cached("top"), c.get_provider_info("top")[3])),
        "s": ([], True, None),
    }
    register_graph(c, graph, calls)
    top = via(c, outer, "top")
    x, s = top[1]
    assert calls == ["x", "s", "top"]
    assert x[2][0] is s is c.get_cached("s")
    assert x[2][1:] == (None, ["x", "s"])


# a nested call that fails, what it raises, and whether "s1" holds a value
# afterwards (a batch keeps what it built, a plan fails before building)
FAILURES = {
    "provider": (lambda c: c.resolve_many(["s1", "p"]), Boom, "flaky", True),
    "missing": (lambda c: c.resolve_many_plan(["s1", "m"]), KeyError, "No provider registered for key: nowhere", False),
    "async": (lambda c: c.resolve_many(["s1", "async"]),
              RuntimeError, "Provider for key 'async' is async and requires async resolution", True),
    "cycle": (lambda c: c.resolve_many_plan(["s1", "loop"]),
              RuntimeError, "Dependency cycle detected at key: loop", False),
    "keys argument": (lambda c: c.resolve_many("s1"),
                      TypeError, "argument 'keys': Can't extract `str` to `Vec`", False),
    "change argument": (lambda c: c.set_cached(1, None),
                        TypeError, "argument 'key': 'int' object cannot be converted to 'PyString'", False),
}


@both
@outers
@pytest.mark.parametrize("case", sorted(FAILURES))
def test_failed_nested_call_reaches_the_provider_and_the_outer_call_goes_on(make, outer, case):
    action, kind, message, stored = FAILURES[case]
    c, raised, seen = make(), [], []

    def flaky():
        if not raised:
            raised.append(Boom("flaky"))
            raise raised[0]
        return "flaky"

    def provider():
        for call in (action, lambda c: c.resolve("p"), lambda c: c.resolve("outer")):
            try:
                seen.append(("ok", call(c)))
            except Exception as e:
                seen.append((type(e), e.args, e in raised))
        return "outer"

    c.register_provider("s1", object, True, False, [])
    c.register_provider("p", lambda f: ("p", f), False, False, ["flaky"])
    c.register_provider("flaky", flaky, False, False, [])
    c.register_provider("m", lambda *a: a, False, False, ["s1", "nowhere"])
    c.register_provider("async", lambda: None, False, True, [])
    c.register_provider("loop", lambda *a: a, False, False, ["loop"])
    c.register_provider("outer", provider, True, False, [])
    assert via(c, outer, "outer") == "outer"
    first = seen.pop(0)
    assert first == (kind, (message,), kind is Boom)
    # the failed call left nothing in progress; the outer key still is
    assert seen[0] == (("ok", ("p", "flaky")) if kind is Boom else (Boom, ("flaky",), True))
    assert seen[1] == (RuntimeError, ("Dependency cycle detected at key: outer",), False)
    assert (c.get_cached("s1") is not None) == stored
    assert c.get_cached("outer") == "outer"


@pytest.mark.parametrize("name", sorted(CHANGES))
def test_change_from_a_nested_provider_is_refused(state, name):  # noqa: F811
    c, log = state
    change, check = CHANGES[name]
    seen = []

    def inner():
        try:
            change(c)
        except RuntimeError as e:
            seen.append(e.args)
        return "inner"

    c.register_provider("inner", inner, False, False, [])
    c.register_provider("outer", lambda: c.resolve_many_plan(["inner"]), False, False, [])
    assert c.resolve("outer") == ["inner"]
    assert seen == [(REENTRANT,)] and log == []
    check(c)


@pytest.mark.timeout(120, method="thread")
@outers
def test_other_threads_wait_for_the_whole_outer_call(c, outer):
    results, alive = [], []
    c.register_provider("x", lambda: "x", False, False, [])

    def provider():
        t = threading.Thread(target=lambda: results.append(c.resolve("x")))
        t.start()
        t.join(0.3)  # the thread is now waiting for the container
        nested = [c.resolve("x"), c.resolve_many(["x"]), c.resolve_many_plan(["x"]), c.get_cached("x")]
        t.join(0.3)
        alive.append(t.is_alive())
        return t, nested

    c.register_provider("outer", provider, False, False, [])
    t, nested = via(c, outer, "outer")
    t.join(60)
    assert nested == ["x", ["x"], ["x"], None]
    assert alive == [True] and results == ["x"]


DEEP_CHILD = r"""
import functools, sys
from _tarnik_core import Container

inner, depth = sys.argv[1], int(sys.argv[2])
c = Container()
for i in range(depth):
    nxt = "k%d" % (i + 1)
    if inner == "lambda":
        fn = (lambda nxt: lambda: c.resolve(nxt))(nxt)
    else:  # no Python frame between two levels
        fn = functools.partial(getattr(c, inner), nxt if inner == "resolve" else [nxt])
    c.register_provider("k%d" % i, fn, False, False, [])
c.register_provider("k%d" % depth, lambda: "end", False, False, [])
for _ in range(2):
    try:
        print("ok" if "end" in repr(c.resolve("k0")) else "wrong")
    except RecursionError:
        print("RecursionError")
print(c.resolve("k%d" % depth))
"""


@pytest.mark.parametrize("inner", ["lambda", "resolve", "resolve_many", "resolve_many_plan"])
@pytest.mark.parametrize("depth", [200, 100000])
def test_nesting_depth_is_bounded_by_the_recursion_limit(inner, depth):
    first, second, after = run_child(DEEP_CHILD, inner, str(depth))
    assert first == second and after == "end"
    assert first in (("ok",) if depth == 200 else ("ok", "RecursionError"))
