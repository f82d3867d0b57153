"""The provider registry: registration, replacement, keys and reference ownership."""

import gc
import sys
import weakref

import pytest

from _tarnik_core import Container
from model import missing_msg


class Thing:
    """A weakly referenceable value."""

    def __init__(self, tag=None):
        self.tag = tag


class Factory:
    """A weakly referenceable callable that counts its calls."""

    def __init__(self, make=Thing):
        self.calls = 0
        self.make = make

    def __call__(self, *args):
        self.calls += 1
        return self.make(*args)


class Finalized:
    """Counts finalizers of tracked objects."""

    def __init__(self):
        self.dead = []

    def track(self, obj, label):
        weakref.finalize(obj, self.dead.append, label)
        return obj


def test_register_returns_none_and_stores_as_given(c):
    f = Factory()
    assert c.register_provider("k", f, True, True, ["a", "k", "a", "missing"]) is None
    info = c.get_provider_info("k")
    assert info == (f, True, True, ["a", "k", "a", "missing"])
    assert info[0] is f


def test_registration_checks_nothing(c):
    c.register_provider("k", 42, False, False, [])
    assert c.get_provider_info("k")[0] == 42
    with pytest.raises(TypeError, match="'int' object is not callable"):
        c.resolve("k")
    c.register_provider("a", lambda b: b, False, False, ["b"])
    with pytest.raises(KeyError) as info:
        c.resolve("a")
    assert info.value.args == ("No provider registered for key: b",)


def test_second_registration_replaces_the_first(c, collect):
    fin = Finalized()
    first = fin.track(Factory(), "first callable")
    c.register_provider("k", first, True, False, [])
    value = fin.track(c.resolve("k"), "first value")
    assert c.resolve("k") is value and first.calls == 1
    del value
    second = Factory()
    c.register_provider("k", second, True, False, ["x"])
    # The held value goes with the old entry; the callable lives on in `first`.
    assert fin.dead == ["first value"]
    del first
    collect()
    assert sorted(fin.dead) == ["first callable", "first value"]
    assert c.get_provider_info("k") == (second, True, False, ["x"])
    c.register_provider("x", lambda: None, False, False, [])
    v = c.resolve("k")
    assert second.calls == 1 and c.resolve("k") is v


def test_replacement_keeps_dependent_singletons(c):
    c.register_provider("dep", lambda: "old", False, False, [])
    c.register_provider("top", lambda d: [d], True, False, ["dep"])
    top = c.resolve("top")
    c.register_provider("dep", lambda: "new", False, False, [])
    assert c.resolve("top") is top and top == ["old"]
    assert c.resolve("dep") == "new"


def test_refcount_of_the_callable(c):
    f = Factory()
    refused = [
        ("k", f, 1, False, []),
        ("k", f, True, None, []),
        ("k", f, True, False, "ab"),
        ("k", f, True, False, ["a", 1]),
        (1, f, True, False, []),
    ]
    base = sys.getrefcount(f)
    for args in refused:
        with pytest.raises(TypeError):
            c.register_provider(*args)
        with pytest.raises(TypeError):
            c.register_provider(*args[:4], args[4], extra=1)
        assert sys.getrefcount(f) == base
    c.register_provider("k", f, True, False, [])
    assert sys.getrefcount(f) == base + 1
    c.register_provider("k", f, True, False, [])
    assert sys.getrefcount(f) == base + 1
    c.register_provider("k", print, True, False, [])
    assert sys.getrefcount(f) == base


def test_refused_registration_changes_nothing(c):
    f = Factory()
    c.register_provider("k", f, True, False, [])
    v = c.resolve("k")
    with pytest.raises(TypeError):
        c.register_provider("k", Factory(), True, False, {"x"})
    assert c.resolve("k") is v and c.get_provider_info("k")[0] is f


@pytest.mark.parametrize(
    "first, second",
    [
        ("key", "Key"),
        ("\u00c5str\u00f6m", "A\u030astro\u0308m"),  # NFC vs NFD
        ("", " "),
        ("a", "a\0"),
        ("a\0b", "a\0c"),
        ("\U0001d4b3", "\U0001d4b4"),
    ],
)
def test_keys_compare_byte_for_byte(c, first, second):
    assert first != second
    c.register_provider(first, lambda: 1, False, False, [])
    with pytest.raises(KeyError) as info:
        c.resolve(second)
    assert info.value.args == ("No provider registered for key: " + second,)
    c.register_provider(second, lambda *deps: 2, False, False, [first])
    assert c.resolve(first) == 1 and c.resolve(second) == 2
    assert c.get_provider_info(second)[3] == [first]


def test_empty_key(c):
    c.register_provider("", lambda: "empty", True, False, [])
    c.register_provider("user", lambda e: e + "!", False, False, [""])
    assert c.resolve("") == "empty"
    assert c.resolve("user") == "empty!"
    assert c.get_provider_info("user")[3] == [""]


def test_str_subclass_key_is_its_text(c):
    class Key(str):
        def __hash__(self):
            return 0

        def __eq__(self, other):
            return True

    c.register_provider(Key("k"), lambda: 1, False, False, [])
    assert c.resolve("k") == 1
    with pytest.raises(KeyError):
        c.resolve(Key("other"))


def test_override_keeps_precedence_over_later_registration(c, collect):
    fin = Finalized()
    c.register_provider("k", lambda: "base1", False, False, [])
    c.begin_override_layer()
    c.set_override("k", lambda: fin.track(Thing("o"), "override value"), True, False, [])
    held = c.resolve("k")
    c.register_provider("k", lambda: "base2", False, False, [])
    assert c.resolve("k") is held
    assert c.get_provider_info("k")[1] is True
    del held
    collect()
    assert fin.dead == []
    c.end_override_layer()
    collect()
    assert fin.dead == ["override value"]
    assert c.resolve("k") == "base2"


def test_registration_inside_a_layer_goes_to_the_base(c):
    c.begin_override_layer()
    c.register_provider("k", lambda: "base", False, False, [])
    assert c.resolve("k") == "base"
    c.end_override_layer()
    assert c.resolve("k") == "base"


def test_dropping_a_container_releases_everything(collect):
    fin = Finalized()
    c = Container()
    for i, singleton in enumerate([True, False]):
        f = fin.track(Factory(), "callable %d" % i)
        c.register_provider("k%d" % i, f, singleton, False, [])
    fin.track(c.resolve("k0"), "value 0")
    fin.track(c.resolve("k1"), "value 1")  # not held by the container
    c.begin_override_layer()
    c.set_override("k0", fin.track(Factory(), "override callable"), True, False, [])
    fin.track(c.resolve("k0"), "override value")
    c.begin_override_layer()
    c.register_provider("k2", fin.track(Factory(), "replaced callable"), True, False, [])
    c.register_provider("k2", 0, True, False, [])
    c.set_cached("k2", fin.track(Thing(), "set value"))
    del f
    collect()
    assert sorted(fin.dead) == ["replaced callable", "value 1"]
    # Containers are not tracked by the collector: the last reference alone releases them.
    gc.disable()
    try:
        del c
    finally:
        gc.enable()
    assert sorted(fin.dead) == sorted([
        "callable 0", "callable 1", "override callable", "override value",
        "replaced callable", "set value", "value 0", "value 1",
    ])



@pytest.mark.parametrize("size", [1, 3, 4, 5, 9, 40, 700])
def test_dependency_keys_leave_and_new_keys_take_their_room(c, size):
    # Each round replaces the registration of "root" with one that names
    # `size` new dependency keys, the last of them registered: the others of
    # the round before leave the container and new keys take their room, at
    # every size the key storage passes through on its way up.
    leaves = []
    for round_ in range(4):
        deps = ["r%d-%d" % (round_, i) for i in range(size)]
        c.register_provider("root", lambda *got: got, False, False, deps)
        leaves.append(deps[-1])
        c.register_provider(deps[-1], lambda *older: "leaf", False, False, leaves[:-1])
        assert c.get_provider_info("root")[3] == deps
        for resolve, arg in ((c.resolve, "root"), (c.resolve_many_plan, ["root"])):
            if size == 1:
                assert resolve(arg) in (("leaf",), [("leaf",)])
                continue
            with pytest.raises(KeyError) as e:
                resolve(arg)
            assert e.value.args[0] == missing_msg(deps[0])
        assert [c.get_provider_info(leaf)[3] for leaf in leaves] == [leaves[:i] for i in range(len(leaves))]
