"""Override layers: a stack shared by every caller, shadowing the registry for a while."""

import threading
import weakref

import pytest

MISSING = "No provider registered for key: "


def async_message(key):
    return "Provider for key '%s' is async and requires async resolution" % key


class Value:
    """A weak-referenceable value."""


def const(value):
    return lambda *args: value


def register(c, key, value, singleton=False, deps=()):
    c.register_provider(key, const(value), singleton, False, list(deps))


def override(c, key, value, singleton=False, deps=()):
    assert c.set_override(key, const(value), singleton, False, list(deps)) is None


def check_missing(c, key):
    with pytest.raises(KeyError) as e:
        c.resolve(key)
    assert type(e.value) is KeyError and e.value.args == (MISSING + key,)


def run_in_thread(target):
    errors = []

    def run():
        try:
            target()
        except BaseException as e:  # reported to the test below
            errors.append(e)

    t = threading.Thread(target=run)
    t.start()
    t.join(30)
    assert not t.is_alive()
    if errors:
        raise errors[0]


def test_methods_return_none(c):
    assert c.begin_override_layer() is None
    assert c.set_override("k", const(1), False, False, []) is None
    assert c.end_override_layer() is None


def test_override_shadows_registration_until_popped(c):
    register(c, "k", "base")
    c.begin_override_layer()
    override(c, "k", "layer")
    assert c.resolve("k") == "layer"
    c.end_override_layer()
    assert c.resolve("k") == "base"


def test_set_override_without_layer_is_dropped(c):
    register(c, "k", "base")
    override(c, "k", "dropped")
    override(c, "only-here", "dropped")
    assert c.resolve("k") == "base"
    check_missing(c, "only-here")
    c.begin_override_layer()
    # the dropped override does not come back in a later layer
    assert c.resolve("k") == "base"
    check_missing(c, "only-here")


def test_set_override_without_layer_releases_the_callable(c):
    fn = const("x")
    ref = weakref.ref(fn)
    c.set_override("k", fn, True, False, [])
    del fn
    assert ref() is None


def test_extra_ends_are_harmless(c):
    register(c, "k", "base")
    c.begin_override_layer()
    c.begin_override_layer()
    for _ in range(3):
        assert c.end_override_layer() is None
    # depth is 0: an override goes nowhere
    override(c, "k", "dropped")
    assert c.resolve("k") == "base"


def test_begin_then_end_changes_nothing(c):
    register(c, "s", Value(), singleton=True)
    held = c.resolve("s")
    c.begin_override_layer()
    c.end_override_layer()
    assert c.resolve("s") is held
    assert c.get_cached("s") is held


def test_key_known_only_in_a_layer(c):
    c.begin_override_layer()
    override(c, "temp", "v")
    assert c.resolve("temp") == "v"
    c.end_override_layer()
    check_missing(c, "temp")
    with pytest.raises(KeyError):
        c.get_provider_info("temp")


def test_second_override_in_same_layer_replaces_first(c):
    calls = []
    c.begin_override_layer()
    c.set_override("k", lambda: calls.append("first") or Value(), True, False, [])
    first = c.resolve("k")
    assert c.resolve("k") is first
    ref = weakref.ref(first)
    del first
    c.set_override("k", lambda: calls.append("second") or "second", True, False, [])
    assert ref() is None
    assert c.resolve("k") == "second"
    assert c.resolve("k") == "second"
    assert calls == ["first", "second"]


def test_upper_layer_wins_and_lower_keeps_its_value(c):
    register(c, "k", "base")
    c.begin_override_layer()
    c.set_override("k", Value, True, False, [])
    lower = c.resolve("k")
    c.begin_override_layer()
    override(c, "k", "upper")
    assert c.resolve("k") == "upper"
    c.end_override_layer()
    assert c.resolve("k") is lower
    c.end_override_layer()
    assert c.resolve("k") == "base"


def test_set_override_touches_only_the_top_layer(c):
    register(c, "a", "base-a")
    register(c, "b", "base-b")
    c.begin_override_layer()
    override(c, "a", "lower-a")
    c.begin_override_layer()
    override(c, "a", "upper-a")
    override(c, "b", "upper-b")
    c.end_override_layer()
    assert c.resolve("a") == "lower-a"
    assert c.resolve("b") == "base-b"


def test_singleton_values_live_and_die_with_their_layer(c):
    base = Value()
    register(c, "k", base, singleton=True)
    assert c.resolve("k") is base
    c.begin_override_layer()
    c.set_override("k", Value, True, False, [])
    inner = c.resolve("k")
    assert inner is not base
    assert c.resolve("k") is inner
    ref = weakref.ref(inner)
    del inner
    assert ref() is not None
    c.end_override_layer()
    assert ref() is None
    assert c.resolve("k") is base
    assert c.get_cached("k") is base


def test_value_built_through_override_never_reaches_the_registration(c):
    calls = []
    c.register_provider("k", lambda: calls.append("base") or "base", True, False, [])
    c.begin_override_layer()
    c.set_override("k", lambda: "layer", True, False, [])
    assert c.resolve("k") == "layer"
    c.end_override_layer()
    assert c.get_cached("k") is None
    assert c.resolve("k") == "base"
    assert calls == ["base"]


def test_transient_override_beats_held_registration(c):
    register(c, "s", Value(), singleton=True)
    held = c.resolve("s")
    c.begin_override_layer()
    c.set_override("s", Value, False, False, [])
    first = c.resolve("s")
    second = c.resolve("s")
    assert first is not second and held not in (first, second)
    c.end_override_layer()
    assert c.resolve("s") is held


def test_async_override_beats_held_registration(c):
    register(c, "s", Value(), singleton=True)
    held = c.resolve("s")
    c.begin_override_layer()
    c.set_override("s", Value, True, True, [])
    for method in (c.resolve, lambda k: c.resolve_many([k])):
        with pytest.raises(RuntimeError) as e:
            method("s")
        assert e.value.args == (async_message("s"),)
    c.end_override_layer()
    assert c.resolve("s") is held


def test_dependent_singleton_built_before_override_keeps_its_value(c):
    register(c, "a", "base-a")
    c.register_provider("b", lambda a: ("b", a), True, False, ["a"])
    b = c.resolve("b")
    c.begin_override_layer()
    override(c, "a", "layer-a")
    assert c.resolve("b") is b
    assert b == ("b", "base-a")


def test_dependent_singleton_first_built_in_layer_outlives_it(c):
    register(c, "a", "base-a")
    c.register_provider("b", lambda a: ("b", a), True, False, ["a"])
    c.begin_override_layer()
    override(c, "a", "layer-a")
    b = c.resolve("b")
    assert b == ("b", "layer-a")
    c.end_override_layer()
    assert c.resolve("b") is b
    assert c.resolve("a") == "base-a"


def test_override_dependencies_are_looked_up_through_all_layers(c):
    register(c, "dep", "base-dep")
    c.begin_override_layer()
    override(c, "dep", "lower-dep")
    c.begin_override_layer()
    c.set_override("top", lambda d: ("top", d), False, False, ["dep"])
    assert c.resolve("top") == ("top", "lower-dep")
    c.end_override_layer()
    c.end_override_layer()
    check_missing(c, "top")


def test_stack_is_shared_between_threads(c):
    register(c, "k", "base")

    def open_layer():
        c.begin_override_layer()
        override(c, "k", "from other thread")

    run_in_thread(open_layer)
    assert c.resolve("k") == "from other thread"
    c.begin_override_layer()
    override(c, "k", "from this thread")
    # another thread's end pops this thread's layer, whoever pushed it
    run_in_thread(c.end_override_layer)
    assert c.resolve("k") == "from other thread"
    c.end_override_layer()
    assert c.resolve("k") == "base"


def test_resolution_follows_every_change_between_resolutions(c):
    """The same graph resolved after each registration, override, push and
    pop: every change shows at once (nothing looked up earlier goes stale),
    as in the model."""
    from model import ModelContainer

    def tag(name):
        return lambda *args: (name,) + args

    steps = [
        lambda w: w.register_provider("a", tag("a"), False, False, ["b", "c"]),
        lambda w: w.register_provider("b", tag("b"), False, False, ["c"]),
        lambda w: w.register_provider("c", tag("c1"), False, False, []),
        lambda w: w.begin_override_layer(),
        lambda w: w.set_override("c", tag("c2"), False, False, []),
        lambda w: w.set_override("b", tag("b2"), True, False, []),
        lambda w: w.begin_override_layer(),
        lambda w: w.set_override("b", tag("b3"), False, False, ["c", "c"]),
        lambda w: w.register_provider("c", tag("c4"), False, False, []),
        lambda w: w.end_override_layer(),
        lambda w: w.register_provider("b", tag("b5"), False, False, ["d"]),
        lambda w: w.register_provider("d", tag("d"), False, False, []),
        lambda w: w.end_override_layer(),
        lambda w: w.end_override_layer(),
        lambda w: w.register_provider("c", tag("c6"), False, False, ["a"]),
    ]
    worlds = [c, ModelContainer()]
    for step in steps:
        seen = []
        for w in worlds:
            step(w)
            row = []
            for call in (lambda: w.resolve("a"), lambda: w.resolve_many(["b", "a"]),
                         lambda: w.resolve_many_plan(["a", "b"])):
                try:
                    row.append(call())
                except Exception as e:
                    row.append((type(e), str(e)))
            seen.append(row)
        assert seen[0] == seen[1]
