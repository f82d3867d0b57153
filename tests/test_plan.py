"""resolve_many_plan: checked as a whole first, then every needed key built once."""

import pytest

from support import Made

MISSING = "No provider registered for key: "
CYCLE = "Dependency cycle detected at key: "


def async_message(key):
    return "Provider for key '%s' is async and requires async resolution" % key


def check_error(excinfo, cls, message):
    assert type(excinfo.value) is cls
    assert excinfo.value.args == (message,)


@pytest.mark.parametrize("keys", [[], ()])
def test_empty_request(c, reg, log, keys):
    reg("a")
    assert c.resolve_many_plan(keys) == []
    assert log == []


def test_shared_dependency_is_built_once(c, reg, log):
    reg("a", ["c", "d"])
    reg("b", ["d", "e"])
    for key in "cde":
        reg(key)
    a, b = c.resolve_many_plan(["a", "b"])
    assert log == ["c", "d", "a", "e", "b"]
    assert a.args[1] is b.args[0]
    assert [v.key for v in a.args + b.args] == ["c", "d", "d", "e"]
    # the plain batch rebuilds d for b
    del log[:]
    a, b = c.resolve_many(["a", "b"])
    assert log == ["c", "d", "a", "d", "e", "b"]
    assert a.args[1] is not b.args[0]


def test_repeated_key_is_built_once(c, reg, log):
    reg("t")
    first, second, third = c.resolve_many_plan(["t", "t", "t"])
    assert first is second is third
    assert log == ["t"]


def test_each_call_builds_afresh(c, reg, log):
    reg("t")
    [first] = c.resolve_many_plan(["t"])
    [second] = c.resolve_many_plan(["t"])
    assert first is not second
    assert log == ["t", "t"]


def test_requested_key_that_an_earlier_key_depends_on(c, reg, log):
    reg("a", ["d"])
    reg("d")
    a, d = c.resolve_many_plan(["a", "d"])
    assert a.args[0] is d
    assert log == ["d", "a"]
    d, a = c.resolve_many_plan(["d", "a"])
    assert a.args[0] is d


def test_duplicate_dep_keys_share_one_value(c, reg, log):
    reg("x")
    reg("a", ["x", "x"])
    [a] = c.resolve_many_plan(["a"])
    assert a.args[0] is a.args[1]
    assert log == ["x", "a"]


def test_order_is_depth_first_in_dep_keys_order(c, reg, log):
    reg("a", ["b", "c"])
    reg("b", ["d", "e"])
    reg("c", ["e", "f", "b"])
    for key in "def":
        reg(key)
    reg("z", ["f", "a"])
    z, a = c.resolve_many_plan(["z", "a"])
    assert log == ["f", "d", "e", "b", "c", "a", "z"]
    assert z.args[1] is a
    assert a.args[1].args[2] is a.args[0]


# --- the whole request is checked before anything runs -----------------------


@pytest.mark.parametrize(
    "setup, cls, message",
    [
        (lambda reg: None, KeyError, MISSING + "bad"),
        (lambda reg: reg("bad", ["ok", "gone"]), KeyError, MISSING + "gone"),
        (lambda reg: reg("bad", ["ok", "bad"]), RuntimeError, CYCLE + "bad"),
        (lambda reg: reg("bad", ["x"]) or reg("x", ["bad"]), RuntimeError, CYCLE + "bad"),
        (lambda reg: reg("bad", ["ok"], is_async=True), RuntimeError, async_message("bad")),
        (lambda reg: reg("bad", ["gone"], is_async=True), RuntimeError, async_message("bad")),
        (lambda reg: reg("bad", ["s", "as"]) or reg("as", is_async=True), RuntimeError, async_message("as")),
    ],
    ids=["missing", "missing-dep", "self-cycle", "cycle", "async", "async-over-missing", "async-dep"],
)
def test_structural_failure_before_any_callable(c, reg, log, setup, cls, message):
    reg("ok")
    reg("s", singleton=True)
    reg("first", ["s", "ok"])
    setup(reg)
    with pytest.raises(cls) as e:
        c.resolve_many_plan(["first", "ok", "bad"])
    check_error(e, cls, message)
    assert log == []
    assert c.get_cached("s") is None


@pytest.mark.parametrize(
    "deps, cls, message",
    [
        (["m1", "as"], KeyError, MISSING + "m1"),
        (["as", "m1"], RuntimeError, async_message("as")),
        (["loop", "m1"], RuntimeError, CYCLE + "loop"),
        (["m1", "loop"], KeyError, MISSING + "m1"),
    ],
)
def test_first_failure_in_walk_order_wins(c, reg, log, deps, cls, message):
    reg("as", is_async=True)
    reg("loop", ["loop"])
    reg("top", deps)
    with pytest.raises(cls) as e:
        c.resolve_many_plan(["top"])
    check_error(e, cls, message)


def test_earlier_requested_key_fails_first(c, reg, log):
    reg("x", ["m1"])
    reg("y", is_async=True)
    with pytest.raises(KeyError) as e:
        c.resolve_many_plan(["x", "y"])
    check_error(e, KeyError, MISSING + "m1")
    with pytest.raises(RuntimeError) as e:
        c.resolve_many_plan(["y", "x"])
    check_error(e, RuntimeError, async_message("y"))


@pytest.mark.parametrize("key", ["a", "b"])
def test_cycle_reported_at_requested_key(c, reg, log, key):
    reg("a", ["b"])
    reg("b", ["a"])
    with pytest.raises(RuntimeError) as e:
        c.resolve_many_plan([key])
    check_error(e, RuntimeError, CYCLE + key)


# --- held singletons ---------------------------------------------------------


def test_held_singleton_dependencies_still_run(c, reg, log):
    reg("s", ["t"], singleton=True)
    reg("t", ["u"])
    reg("u")
    reg("user", ["s"])
    held = object()
    c.set_cached("s", held)
    s, user = c.resolve_many_plan(["s", "user"])
    assert s is held
    assert user.args == (held,)
    # s's callable did not run, but everything below it did
    assert log == ["u", "t", "user"]
    del log[:]
    assert c.resolve("s") is held
    assert log == []


def test_singleton_built_in_a_plan_is_stored(c, reg, log):
    reg("s", singleton=True)
    reg("a", ["s"])
    reg("b", ["s"])
    a, b, s = c.resolve_many_plan(["a", "b", "s"])
    assert a.args[0] is s and b.args[0] is s
    assert log == ["s", "a", "b"]
    assert c.get_cached("s") is s
    [again] = c.resolve_many_plan(["s"])
    assert again is s
    assert log == ["s", "a", "b"]


@pytest.mark.parametrize(
    "deps, is_async, cls, message",
    [
        ([], True, RuntimeError, async_message("s")),
        (["gone"], False, KeyError, MISSING + "gone"),
        (["s"], False, RuntimeError, CYCLE + "s"),
        (["x"], False, RuntimeError, CYCLE + "s"),
    ],
    ids=["async", "missing-dep", "self-cycle", "cycle"],
)
def test_held_singleton_is_still_checked(c, reg, log, deps, is_async, cls, message):
    reg("s", deps, singleton=True, is_async=is_async)
    reg("x", ["s"])
    held = object()
    c.set_cached("s", held)
    # single-key resolution returns the held value without looking further
    assert c.resolve("s") is held
    assert c.resolve_many(["s"])[0] is held
    with pytest.raises(cls) as e:
        c.resolve_many_plan(["s"])
    check_error(e, cls, message)
    assert log == []


# --- failures during execution -----------------------------------------------


def test_callable_failure_stops_the_plan(c, reg, log):
    exc = ValueError("mid-plan")

    def bad(*args):
        log.append("bad")
        raise exc

    reg("s", singleton=True)
    reg("t")
    c.register_provider("bad", bad, False, False, ["t"])
    reg("after")
    reg("a", ["s", "bad", "after"])
    reg("z")
    with pytest.raises(ValueError) as e:
        c.resolve_many_plan(["a", "z"])
    assert e.value is exc
    assert log == ["s", "t", "bad"]
    held = c.get_cached("s")
    assert isinstance(held, Made)
    assert c.resolve("s") is held


# --- plans see the layers ----------------------------------------------------


def test_plan_uses_the_provider_in_force(c, reg, log):
    reg("a", ["gone"])
    c.begin_override_layer()
    c.set_override("a", lambda: "from layer", False, False, [])
    assert c.resolve_many_plan(["a"]) == ["from layer"]
    c.end_override_layer()
    with pytest.raises(KeyError) as e:
        c.resolve_many_plan(["a"])
    check_error(e, KeyError, MISSING + "gone")


def test_async_override_shadows_held_registration(c, reg, log):
    reg("s", singleton=True)
    held = c.resolve("s")
    c.begin_override_layer()
    c.set_override("s", lambda: None, True, True, [])
    with pytest.raises(RuntimeError) as e:
        c.resolve_many_plan(["s"])
    check_error(e, RuntimeError, async_message("s"))
    c.end_override_layer()
    assert c.resolve_many_plan(["s"])[0] is held


def test_key_slot_reused_after_plan_numbers_wrap(c):
    """A key dropped after a plan placed it, and a new key taking its place
    once 2**16 plans later the plan numbers come round again: the new key is
    built, not mistaken for the old one's place."""
    plan = c.resolve_many_plan
    c.register_provider("u", lambda: "u", False, False, [])
    plan(["u"])
    c.begin_override_layer()
    c.set_override("gone", lambda: "gone", False, False, [])
    assert plan(["gone"]) == ["gone"]  # the second plan
    c.end_override_layer()  # "gone" is known no more
    for _ in range(2 ** 16 - 2):  # round to the first number again
        plan(["u"])
    c.register_provider("new", lambda: "new", False, False, [])
    assert plan(["u", "new"]) == ["u", "new"]
