"""resolve_many: key after key under one lock, as a sequence of resolve calls would."""

import pytest

from support import Made, registrar
import _tarnik_core

MISSING = "No provider registered for key: "
CYCLE = "Dependency cycle detected at key: "


def async_message(key):
    return "Provider for key '%s' is async and requires async resolution" % key


@pytest.mark.parametrize("keys", [[], ()])
def test_empty_request(c, reg, log, keys):
    reg("a")
    result = c.resolve_many(keys)
    assert type(result) is list and result == []
    assert log == []


def test_result_follows_request_order(c, reg, log):
    reg("a")
    reg("b", ["a"])
    b, a = c.resolve_many(("b", "a"))
    assert (b.key, a.key) == ("b", "a")
    assert log == ["a", "b", "a"]
    # a transient is rebuilt for each key: b's a is not the listed a
    assert b.args[0] is not a


@pytest.mark.parametrize("singleton", [False, True])
def test_repeated_key(c, reg, log, singleton):
    reg("k", singleton=singleton)
    first, second = c.resolve_many(["k", "k"])
    if singleton:
        assert first is second
        assert log == ["k"]
    else:
        assert first is not second
        assert log == ["k", "k"]


def test_shared_transient_is_built_at_every_occurrence(c, reg, log):
    reg("a", ["c", "d"])
    reg("b", ["d", "e"])
    for key in "cde":
        reg(key)
    a, b = c.resolve_many(["a", "b"])
    assert log == ["c", "d", "a", "d", "e", "b"]
    assert a.args[1] is not b.args[0]


def test_held_singleton_served_even_if_async_or_broken(c, reg, log):
    reg("s", ["missing", "s"], singleton=True, is_async=True)
    held = object()
    c.set_cached("s", held)
    result = c.resolve_many(["s", "s"])
    assert result[0] is held and result[1] is held
    assert log == []


def _raising(c, reg):
    def bad():
        raise ValueError("bad")

    c.register_provider("bad", bad, False, False, [])


@pytest.mark.parametrize(
    "make_bad, cls, message",
    [
        (lambda c, reg: None, KeyError, MISSING + "bad"),
        (lambda c, reg: reg("bad", ["gone"]), KeyError, MISSING + "gone"),
        (lambda c, reg: reg("bad", ["loop"]) or reg("loop", ["bad"]), RuntimeError, CYCLE + "bad"),
        (lambda c, reg: reg("bad", ["ok"], is_async=True), RuntimeError, async_message("bad")),
        (_raising, ValueError, "bad"),
    ],
    ids=["missing", "missing-dep", "cycle", "async", "raises"],
)
def test_first_failing_key_ends_the_batch(c, reg, log, make_bad, cls, message):
    reg("s", ["ok"], singleton=True)
    reg("t")
    reg("ok")
    reg("after")
    make_bad(c, reg)
    with pytest.raises(cls) as e:
        c.resolve_many(["s", "t", "bad", "after"])
    assert type(e.value) is cls and e.value.args == (message,)
    # the keys before the failing one were built; none after it
    assert log == ["ok", "s", "t"]
    held = c.get_cached("s")
    assert isinstance(held, Made)
    assert c.resolve("s") is held
    assert log == ["ok", "s", "t"]


GRAPH = {
    "a": (["b", "c"], False),
    "b": (["d"], True),
    "c": (["d", "d", "e"], False),
    "d": ([], False),
    "e": (["b"], True),
    "f": (["e", "c"], False),
}


@pytest.mark.parametrize(
    "keys",
    [["a"], ["f", "a", "f"], ["d", "b", "e", "c"], ["c", "e", "a", "b", "f", "d"]],
)
def test_same_as_resolving_each_key_in_turn(keys):
    containers, logs = [], []
    for _ in range(2):
        c = _tarnik_core.Container()
        log = []
        register = registrar(c, log)
        for key, (deps, singleton) in GRAPH.items():
            register(key, deps, singleton)
        containers.append(c)
        logs.append(log)
    batch = containers[0].resolve_many(keys)
    one_by_one = [containers[1].resolve(k) for k in keys]
    assert logs[0] == logs[1]
    assert [v.key for v in batch] == keys

    def shape(values):
        # which positions hold the same object
        return [[i for i, w in enumerate(values) if w is v] for v in values]

    assert shape(batch) == shape(one_by_one)
    for key, (deps, singleton) in GRAPH.items():
        assert (containers[0].get_cached(key) is None) == (containers[1].get_cached(key) is None)
