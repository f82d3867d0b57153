"""Single-key resolution: values, call order, caching, error precedence, depth."""

import pytest

from support import Made
import _tarnik_core

MISSING = "No provider registered for key: "
CYCLE = "Dependency cycle detected at key: "
RESOLVERS = ["resolve", "resolve_many", "resolve_many_plan"]


def async_message(key):
    return "Provider for key '%s' is async and requires async resolution" % key


def check_error(excinfo, cls, message):
    assert type(excinfo.value) is cls
    assert excinfo.value.args == (message,)


def resolve_via(c, method, key):
    if method == "resolve":
        return c.resolve(key)
    values = getattr(c, method)([key])
    assert type(values) is list and len(values) == 1
    return values[0]


class Abort(BaseException):
    pass


# --- values, identity and caching -------------------------------------------


def test_returns_the_object_the_callable_built(c):
    obj = object()
    c.register_provider("k", lambda: obj, False, False, [])
    assert c.resolve("k") is obj


def test_transient_is_built_at_every_resolution(c, reg, log):
    reg("t")
    first = c.resolve("t")
    second = c.resolve("t")
    assert first is not second
    assert log == ["t", "t"]


def test_singleton_is_built_once(c, reg, log):
    reg("s", singleton=True)
    first = c.resolve("s")
    assert c.resolve("s") is first
    assert c.get_cached("s") is first
    assert log == ["s"]


def test_singleton_none_is_a_held_value(c, log):
    def build():
        log.append("n")

    c.register_provider("n", build, True, False, [])
    assert c.resolve("n") is None
    assert c.resolve("n") is None
    assert log == ["n"]


def test_failed_singleton_is_not_stored_and_is_retried(c):
    attempts = []
    built = object()

    def flaky():
        attempts.append(None)
        if len(attempts) == 1:
            raise ValueError("first attempt")
        return built

    c.register_provider("s", flaky, True, False, [])
    with pytest.raises(ValueError):
        c.resolve("s")
    assert c.get_cached("s") is None
    assert c.resolve("s") is built
    assert c.resolve("s") is built
    assert len(attempts) == 2


# --- dependencies ------------------------------------------------------------


def test_dependencies_depth_first_and_positional(c, reg, log):
    reg("a", ["b", "c"])
    reg("b", ["d"])
    reg("c")
    reg("d")
    a = c.resolve("a")
    assert log == ["d", "b", "c", "a"]
    assert [v.key for v in a.args] == ["b", "c"]
    assert [v.key for v in a.args[0].args] == ["d"]
    assert a.args[1].args == ()


def test_dependency_value_is_passed_as_is(c, reg):
    held = object()
    c.register_provider("dep", lambda: held, False, False, [])
    reg("a", ["dep"])
    assert c.resolve("a").args == (held,)


@pytest.mark.parametrize("singleton", [False, True])
def test_duplicate_dep_keys(c, reg, log, singleton):
    reg("x", singleton=singleton)
    reg("a", ["x", "x"])
    first, second = c.resolve("a").args
    if singleton:
        assert log == ["x", "a"]
        assert first is second
    else:
        assert log == ["x", "x", "a"]
        assert first is not second


@pytest.mark.parametrize("singleton", [False, True])
def test_diamond(c, reg, log, singleton):
    reg("a", ["b", "c"])
    reg("b", ["d"])
    reg("c", ["d"])
    reg("d", singleton=singleton)
    b, cc = c.resolve("a").args
    if singleton:
        assert log == ["d", "b", "c", "a"]
        assert b.args[0] is cc.args[0]
    else:
        # reaching d again after it finished is no cycle; a transient is built again
        assert log == ["d", "b", "d", "c", "a"]
        assert b.args[0] is not cc.args[0]


# --- cycles ------------------------------------------------------------------


@pytest.mark.parametrize("key", ["a", "b"])
def test_two_key_cycle_is_reported_at_the_requested_key(c, reg, log, key):
    reg("a", ["b"])
    reg("b", ["a"])
    with pytest.raises(RuntimeError) as e:
        c.resolve(key)
    check_error(e, RuntimeError, CYCLE + key)
    assert log == []


def test_self_dependency(c, reg, log):
    reg("me", ["me"])
    with pytest.raises(RuntimeError) as e:
        c.resolve("me")
    check_error(e, RuntimeError, CYCLE + "me")


def test_cycle_reported_at_first_key_reached_twice(c, reg, log):
    reg("top", ["ok", "a"])
    reg("ok")
    reg("a", ["b"])
    reg("b", ["c"])
    reg("c", ["a"])
    with pytest.raises(RuntimeError) as e:
        c.resolve("top")
    check_error(e, RuntimeError, CYCLE + "a")
    assert log == ["ok"]


def test_cycle_through_held_singleton_is_not_seen(c, reg, log):
    reg("a", ["b"])
    reg("b", ["a"], singleton=True)
    held = object()
    c.set_cached("b", held)
    assert c.resolve("a").args == (held,)
    assert log == ["a"]


# --- which check wins --------------------------------------------------------


@pytest.mark.parametrize(
    "is_async, deps",
    [(True, []), (False, ["missing"]), (False, ["s"]), (True, ["missing", "s"])],
)
@pytest.mark.parametrize("held", [object(), None])
def test_held_singleton_is_served_before_any_other_check(c, reg, log, is_async, deps, held):
    reg("s", deps, singleton=True, is_async=is_async)
    reg("user", ["s"])
    c.set_cached("s", held)
    assert c.resolve("s") is held
    assert log == []
    assert c.resolve("user").args == (held,)
    assert log == ["user"]


@pytest.mark.parametrize("singleton", [False, True])
@pytest.mark.parametrize("deps", [[], ["ok"], ["missing"], ["a"], ["ok", "missing"]])
def test_async_is_refused_before_dependencies(c, reg, log, singleton, deps):
    reg("ok")
    reg("a", deps, singleton=singleton, is_async=True)
    with pytest.raises(RuntimeError) as e:
        c.resolve("a")
    check_error(e, RuntimeError, async_message("a"))
    assert log == []
    assert c.get_cached("a") is None


@pytest.mark.parametrize(
    "setup, cls, message",
    [
        (lambda reg: None, KeyError, MISSING + "b"),
        (lambda reg: reg("b", is_async=True), RuntimeError, async_message("b")),
        (lambda reg: reg("b", ["deeper"]), KeyError, MISSING + "deeper"),
        (lambda reg: reg("b", ["a"]), RuntimeError, CYCLE + "a"),
    ],
    ids=["missing", "async", "missing-below", "cycle"],
)
def test_dependency_error_names_the_dependency(c, reg, log, setup, cls, message):
    reg("a", ["ok", "b", "never"])
    reg("ok")
    reg("never")
    setup(reg)
    with pytest.raises(cls) as e:
        c.resolve("a")
    check_error(e, cls, message)
    # the first dependency was built, the rest and a itself were not
    assert log == ["ok"]


# --- failures and what survives them -----------------------------------------


def _fail_by_raising(c, reg):
    def bad(*args):
        raise ValueError("bad")

    c.register_provider("bad", bad, False, False, [])


@pytest.mark.parametrize(
    "make_bad, cls",
    [
        (_fail_by_raising, ValueError),
        (lambda c, reg: None, KeyError),
        (lambda c, reg: reg("bad", is_async=True), RuntimeError),
        (lambda c, reg: reg("bad", ["a"]), RuntimeError),
    ],
    ids=["raises", "missing", "async", "cycle"],
)
def test_singletons_stored_before_a_failure_stay(c, reg, log, make_bad, cls):
    reg("s", singleton=True)
    reg("inner", ["s2"])
    reg("s2", singleton=True)
    reg("a", ["s", "inner", "bad", "after"])
    reg("after")
    make_bad(c, reg)
    with pytest.raises(cls):
        c.resolve("a")
    assert log == ["s", "s2", "inner"]
    s = c.get_cached("s")
    s2 = c.get_cached("s2")
    assert isinstance(s, Made) and isinstance(s2, Made)
    assert c.resolve("s") is s
    assert c.resolve("s2") is s2
    assert log == ["s", "s2", "inner"]
    # the registrations themselves are unchanged by the failure
    assert c.get_provider_info("a")[3] == ["s", "inner", "bad", "after"]


def _with_cause():
    exc = LookupError("with cause")
    exc.__cause__ = OSError("root")
    return exc


@pytest.mark.parametrize(
    "make_exc",
    [
        lambda: ValueError("boom"),
        lambda: KeyError(MISSING + "x"),
        lambda: RuntimeError(CYCLE + "x"),
        lambda: Abort("base exception"),
        lambda: StopIteration(7),
        _with_cause,
    ],
    ids=["ValueError", "KeyError", "RuntimeError", "BaseException", "StopIteration", "cause"],
)
@pytest.mark.parametrize("method", RESOLVERS)
@pytest.mark.parametrize("depth", [0, 2])
def test_callable_exception_passes_through_unchanged(c, make_exc, method, depth):
    exc = make_exc()
    cause = exc.__cause__

    def boom(*args):
        raise exc

    c.register_provider("k0", boom, True, False, [])
    for i in range(1, depth + 1):
        c.register_provider("k%d" % i, lambda *a: a, False, False, ["k%d" % (i - 1)])
    with pytest.raises(type(exc)) as e:
        resolve_via(c, method, "k%d" % depth)
    assert e.value is exc
    assert e.value.__cause__ is cause
    names = []
    tb = e.value.__traceback__
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    assert "boom" in names
    assert c.get_cached("k0") is None


def _python_call_error(obj):
    try:
        obj()
    except TypeError as e:
        return e.args
    raise AssertionError("%r is callable" % (obj,))


@pytest.mark.parametrize("obj", [42, None, "text", [1], object()], ids=lambda o: type(o).__name__)
@pytest.mark.parametrize("method", RESOLVERS)
def test_non_callable_callable_fails_like_a_call(c, obj, method):
    c.register_provider("k", obj, True, False, [])
    c.register_provider("top", lambda v: v, False, False, ["k"])
    with pytest.raises(TypeError) as e:
        resolve_via(c, method, "top")
    assert type(e.value) is TypeError
    assert e.value.args == _python_call_error(obj)
    assert c.get_cached("k") is None


# --- very deep graphs --------------------------------------------------------

DEPTH = 1_000_000


@pytest.fixture(scope="module")
def chain():
    """k0 -> k1 -> ... -> k999999; every level passes its dependency's value up."""
    c = _tarnik_core.Container()
    calls = [0]

    def step(value):
        calls[0] += 1
        return value

    leaf = object()
    for i in range(DEPTH - 1):
        c.register_provider("k%d" % i, step, False, False, ["k%d" % (i + 1)])
    c.register_provider("k%d" % (DEPTH - 1), lambda: leaf, False, False, [])
    return c, calls, leaf


@pytest.mark.slow
@pytest.mark.timeout(900)
@pytest.mark.parametrize("method", RESOLVERS)
def test_million_deep_chain(chain, method):
    c, calls, leaf = chain
    calls[0] = 0
    assert resolve_via(c, method, "k0") is leaf
    assert calls[0] == DEPTH - 1


@pytest.mark.slow
@pytest.mark.timeout(900)
@pytest.mark.parametrize("method", RESOLVERS)
@pytest.mark.parametrize(
    "dep, cls, message",
    [("nowhere", KeyError, MISSING + "nowhere"), ("k0", RuntimeError, CYCLE + "k0")],
    ids=["missing", "cycle"],
)
def test_million_deep_failure(chain, method, dep, cls, message):
    c, calls, leaf = chain
    c.begin_override_layer()
    try:
        c.set_override("k%d" % (DEPTH - 1), lambda v: v, False, False, [dep])
        calls[0] = 0
        with pytest.raises(cls) as e:
            resolve_via(c, method, "k0")
        check_error(e, cls, message)
        assert calls[0] == 0
    finally:
        c.end_override_layer()
    assert resolve_via(c, "resolve", "k%d" % (DEPTH - 1)) is leaf


@pytest.mark.timeout(300)
@pytest.mark.parametrize("method", RESOLVERS)
def test_deep_chain_reaching_a_finished_key_again(c, method):
    # every level also needs "leaf": reaching it again after it finished is no cycle
    n = 100_000
    leaves = []
    c.register_provider("leaf", lambda: leaves.append(None) or len(leaves), False, False, [])
    for i in range(n):
        c.register_provider("k%d" % i, lambda below, leaf: below + leaf, False, False, ["k%d" % (i + 1), "leaf"])
    c.register_provider("k%d" % n, lambda: 0, False, False, [])
    total = resolve_via(c, method, "k0")
    if method == "resolve_many_plan":
        assert leaves == [None] and total == n
    else:
        assert len(leaves) == n and total == n * (n + 1) // 2


@pytest.mark.timeout(300)
@pytest.mark.parametrize("method", RESOLVERS)
@pytest.mark.parametrize("start", [0, 54321])
def test_hundred_thousand_deep_cycle(c, method, start):
    n = 100_000
    calls = []
    for i in range(n):
        c.register_provider("k%d" % i, calls.append, False, False, ["k%d" % ((i + 1) % n)])
    with pytest.raises(RuntimeError) as e:
        resolve_via(c, method, "k%d" % start)
    check_error(e, RuntimeError, CYCLE + "k%d" % start)
    assert calls == []


@pytest.mark.parametrize("method", ["resolve", "resolve_many", "resolve_many_plan"])
def test_dependency_lookups_follow_every_change(c, method):
    # Each step changes which entry is in force for the dependency "d" after
    # "top" was resolved through it; every resolution must see the change.
    def run():
        resolve = getattr(c, method)
        return resolve("top") if method == "resolve" else resolve(["top"])[0]

    c.register_provider("top", lambda d: d, False, False, ["d"])
    with pytest.raises(KeyError):
        run()
    c.register_provider("d", lambda: "registered", False, False, [])
    assert run() == "registered"
    c.register_provider("d", lambda: "replaced", False, False, [])
    assert run() == "replaced"
    c.begin_override_layer()
    assert run() == "replaced"
    c.set_override("d", lambda: "override", False, False, [])
    assert run() == "override"
    c.begin_override_layer()
    c.set_override("d", lambda: "upper", False, False, [])
    assert run() == "upper"
    c.end_override_layer()
    assert run() == "override"
    c.end_override_layer()
    assert run() == "replaced"
    for i in range(50):  # the registry grows and its entries move
        c.register_provider("filler%d" % i, object, False, False, [])
    assert run() == "replaced"
