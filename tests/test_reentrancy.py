"""Calls back into a container from its own providers, from finalizers and from other threads."""

import threading
import time

import pytest

REENTRANT = "Container is already in use by this thread (re-entrant call from a provider or finalizer)"
MISSING = "No provider registered for key: "
RESOLVERS = ["resolve", "resolve_many", "resolve_many_plan"]

# Every join below has a timeout; the thread method also stops a run that deadlocks with the GIL held.
pytestmark = pytest.mark.timeout(120, method="thread")


def resolve_via(c, method, key):
    if method == "resolve":
        return c.resolve(key)
    [value] = getattr(c, method)([key])
    return value


@pytest.fixture
def state(c):
    """A container with a transient, an unresolved singleton and one open layer."""
    log = []
    c.register_provider("other", lambda: log.append("other") or "base-other", False, False, [])
    c.register_provider("s", lambda: "s-built", True, False, [])
    c.begin_override_layer()
    c.set_override("ov", lambda: "ov-value", False, False, [])
    return c, log


def _still_one_layer(c):
    c.end_override_layer()
    with pytest.raises(KeyError):
        c.resolve("ov")


def _registration_unchanged(c):
    assert c.resolve("other") == "base-other"


def _override_not_stored(c):
    assert c.resolve("other") == "base-other"


def _value_not_stored(c):
    assert c.get_cached("s") is None


def _layer_still_open(c):
    assert c.resolve("ov") == "ov-value"


# a change from inside, and a check afterwards that it changed nothing
CHANGES = {
    "register_provider": (
        lambda c: c.register_provider("other", lambda: "replaced", False, False, []),
        _registration_unchanged,
    ),
    "begin_override_layer": (lambda c: c.begin_override_layer(), _still_one_layer),
    "set_override": (
        lambda c: c.set_override("other", lambda: "replaced", False, False, []),
        _override_not_stored,
    ),
    "set_cached": (lambda c: c.set_cached("s", "stored"), _value_not_stored),
    "end_override_layer": (lambda c: c.end_override_layer(), _layer_still_open),
}

# a read from inside, what it gives, and the providers it ran
READS = {
    "resolve": (lambda c: c.resolve("other"), "base-other", ["other"]),
    "resolve_many": (lambda c: c.resolve_many(["other", "ov"]), ["base-other", "ov-value"], ["other"]),
    "resolve_many_plan": (lambda c: c.resolve_many_plan(["ov", "other"]), ["ov-value", "base-other"], ["other"]),
    "get_provider_info": (lambda c: c.get_provider_info("s")[1:], (True, False, []), []),
    "get_cached": (lambda c: c.get_cached("s"), None, []),
}


def outer_calling(c, call, seen):
    def provider(dep):
        try:
            seen.append(("ok", call(c)))
        except BaseException as e:
            seen.append(("error", e))
        return ("outer", dep)

    c.register_provider("dep", lambda: "dep", False, False, [])
    c.register_provider("outer", provider, True, False, ["dep"])


@pytest.mark.parametrize("name", sorted(CHANGES))
@pytest.mark.parametrize("outer", RESOLVERS)
def test_change_from_a_provider_is_refused(state, name, outer):
    c, log = state
    call, check = CHANGES[name]
    seen = []
    outer_calling(c, call, seen)
    assert resolve_via(c, outer, "outer") == ("outer", "dep")
    [(kind, err)] = seen
    assert kind == "error" and type(err) is RuntimeError and err.args == (REENTRANT,)
    # the outer resolution went on and stored its singleton
    assert c.get_cached("outer") == ("outer", "dep")
    assert log == []
    check(c)


@pytest.mark.parametrize("name", sorted(READS))
@pytest.mark.parametrize("outer", RESOLVERS)
def test_read_from_a_provider_runs_nested(state, name, outer):
    c, log = state
    call, expected, ran = READS[name]
    seen = []
    outer_calling(c, call, seen)
    assert resolve_via(c, outer, "outer") == ("outer", "dep")
    assert seen == [("ok", expected)]
    assert c.get_cached("outer") == ("outer", "dep")
    assert log == ran


@pytest.mark.parametrize("outer", RESOLVERS)
def test_uncaught_refusal_ends_the_resolution(c, outer):
    c.register_provider("inner", lambda: "inner", True, False, [])
    c.register_provider("bad", lambda: c.set_cached("inner", 1), True, False, [])
    c.register_provider("top", lambda v: v, False, False, ["bad"])
    with pytest.raises(RuntimeError) as e:
        resolve_via(c, outer, "top")
    assert type(e.value) is RuntimeError and e.value.args == (REENTRANT,)
    assert c.get_cached("bad") is None
    # the lock was released: the container is usable afterwards
    assert c.resolve("inner") == "inner"


def test_argument_errors_come_before_the_lock(c):
    seen = []

    def provider():
        try:
            c.resolve(1)
        except TypeError as e:
            seen.append(e.args)
        return "done"

    c.register_provider("k", provider, False, False, [])
    assert c.resolve("k") == "done"
    assert seen == [("argument 'key': 'int' object cannot be converted to 'PyString'",)]


def test_other_container_is_usable_from_a_provider(c):
    import _tarnik_core

    other = _tarnik_core.Container()
    other.register_provider("x", lambda: "from other", False, False, [])
    c.register_provider("k", lambda: other.resolve("x"), False, False, [])
    assert c.resolve("k") == "from other"


# --- finalizers of values the container lets go ------------------------------


def finalizing(c, seen):
    """A class whose instances call back into `c` when they are finalized."""

    class Dropped:
        def __call__(self):
            return "called"

        def __del__(self):
            try:
                seen.append(c.resolve("probe"))
                c.register_provider("from-finalizer", lambda: "ff", False, False, [])
                seen.append(c.resolve("from-finalizer"))
            except BaseException as e:
                seen.append(e)

    return Dropped


def _drop_by_reregistering_value(c, Dropped):
    c.register_provider("k", Dropped, True, False, [])
    c.resolve("k")
    return lambda: c.register_provider("k", lambda: None, True, False, [])


def _drop_by_reregistering_callable(c, Dropped):
    c.register_provider("k", Dropped(), False, False, [])
    return lambda: c.register_provider("k", lambda: None, False, False, [])


def _drop_by_set_cached(c, Dropped):
    c.register_provider("k", lambda: None, True, False, [])
    c.set_cached("k", Dropped())
    return lambda: c.set_cached("k", "replacement")


def _drop_by_set_override(c, Dropped):
    c.begin_override_layer()
    c.set_override("k", Dropped, True, False, [])
    c.resolve("k")
    return lambda: c.set_override("k", lambda: None, False, False, [])


def _drop_by_set_override_callable(c, Dropped):
    c.begin_override_layer()
    c.set_override("k", Dropped(), False, False, [])
    return lambda: c.set_override("k", lambda: None, False, False, [])


def _drop_by_ending_layer(c, Dropped):
    c.begin_override_layer()
    c.set_override("k", Dropped, True, False, [])
    c.set_override("j", Dropped(), False, False, [])
    c.resolve("k")
    return c.end_override_layer


def _drop_transient_dependency(method):
    def prepare(c, Dropped):
        # Its dependent does not keep it: the value goes as soon as it is used.
        c.register_provider("dep", Dropped, False, False, [])
        c.register_provider("top", lambda dep: "top", False, False, ["dep"])
        return lambda: None if method == "resolve" and c.resolve("top") else getattr(c, method)(["top"]) and None
    return prepare


@pytest.mark.parametrize(
    "prepare, finalized",
    [
        (_drop_by_reregistering_value, 1),
        (_drop_by_reregistering_callable, 1),
        (_drop_by_set_cached, 1),
        (_drop_by_set_override, 1),
        (_drop_by_set_override_callable, 1),
        (_drop_by_ending_layer, 2),
    ] + [(_drop_transient_dependency(m), 1) for m in ("resolve", "resolve_many", "resolve_many_plan")],
    ids=["register-value", "register-callable", "set_cached", "set_override-value",
         "set_override-callable", "end_override_layer", "resolve-dependency", "resolve_many-dependency",
         "resolve_many_plan-dependency"],
)
def test_finalizer_of_dropped_object_can_call_back(c, prepare, finalized):
    seen = []
    c.register_provider("probe", lambda: "probe-value", False, False, [])
    drop = prepare(c, finalizing(c, seen))
    assert seen == []
    assert drop() is None
    assert seen == ["probe-value", "ff"] * finalized
    assert c.get_provider_info("from-finalizer")[1:] == (False, False, [])


# --- other threads -----------------------------------------------------------


def start_caller(target, results):
    def run():
        try:
            results.append(("ok", target()))
        except BaseException as e:
            results.append(("error", e))

    t = threading.Thread(target=run)
    t.start()
    return t


@pytest.mark.parametrize("outer", RESOLVERS)
@pytest.mark.parametrize("what", ["resolve", "register_provider"])
def test_other_thread_waits_for_the_resolution(c, outer, what):
    events = []
    results = []
    threads = []
    c.register_provider("other", lambda: events.append("other built") or "other-value", False, False, [])

    def other_call():
        if what == "resolve":
            value = c.resolve("other")
        else:
            value = c.register_provider("late", lambda: "late-value", False, False, [])
        events.append("other call done")
        return value

    def provider():
        t = start_caller(other_call, results)
        threads.append(t)
        # the join lets the GIL go; the other thread cannot get the container meanwhile
        t.join(0.3)
        events.append(("after join, other alive", t.is_alive()))
        return "outer-value"

    c.register_provider("outer", provider, False, False, [])
    assert resolve_via(c, outer, "outer") == "outer-value"
    [t] = threads
    t.join(60)
    assert not t.is_alive()
    expected_value = "other-value" if what == "resolve" else None
    assert results == [("ok", expected_value)]
    built = ["other built"] if what == "resolve" else []
    assert events == [("after join, other alive", True)] + built + ["other call done"]
    if what == "register_provider":
        assert c.resolve("late") == "late-value"


def test_singleton_waited_for_by_another_thread_is_built_once(c):
    calls = []
    results = []
    threads = []

    def build():
        calls.append(None)
        if len(calls) == 1:
            t = start_caller(lambda: c.resolve("s"), results)
            threads.append(t)
            t.join(0.3)
        return object()

    c.register_provider("s", build, True, False, [])
    value = c.resolve("s")
    [t] = threads
    t.join(60)
    assert not t.is_alive()
    assert results == [("ok", value)]
    assert len(calls) == 1


def test_concurrent_resolutions_of_a_singleton_build_it_once(c):
    calls = []

    def build():
        calls.append(None)
        time.sleep(0.05)  # lets the GIL go while the container is held
        return object()

    c.register_provider("s", build, True, False, [])
    results = []
    threads = [start_caller(lambda: c.resolve("s"), results) for _ in range(4)]
    for t in threads:
        t.join(60)
    assert not any(t.is_alive() for t in threads)
    assert len(calls) == 1
    assert len(results) == 4
    assert all(kind == "ok" and value is results[0][1] for kind, value in results)
