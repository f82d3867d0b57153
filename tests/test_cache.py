"""Direct access to held singleton values, and the description of the provider in force."""

import weakref

import pytest

MISSING = "No provider registered for key: "
NOT_SINGLETON = "Cannot set cache for non-singleton or unknown key: "


class Value:
    pass


def check_error(excinfo, cls, message):
    assert type(excinfo.value) is cls
    assert excinfo.value.args == (message,)


@pytest.fixture
def log():
    return []


@pytest.fixture
def provider(log):
    """A callable that logs `name` and returns a fresh Value each call."""

    def make(name):
        def build(*args):
            log.append(name)
            return Value()

        return build

    return make


def check_set_cached_refused(c, key):
    with pytest.raises(RuntimeError) as e:
        c.set_cached(key, Value())
    check_error(e, RuntimeError, NOT_SINGLETON + key)


# --- get_cached / set_cached on the registry ---------------------------------


def test_get_cached_follows_resolution(c, provider):
    assert c.get_cached("unknown") is None
    c.register_provider("s", provider("s"), True, False, [])
    assert c.get_cached("s") is None
    value = c.resolve("s")
    assert c.get_cached("s") is value


def test_transient_never_holds_a_value(c, provider, log):
    c.register_provider("t", provider("t"), False, False, [])
    c.resolve("t")
    assert c.get_cached("t") is None
    check_set_cached_refused(c, "t")
    c.resolve("t")
    assert log == ["t", "t"]


def test_set_cached_on_unknown_key(c):
    check_set_cached_refused(c, "nobody")
    assert c.get_cached("nobody") is None


def test_set_cached_is_served_by_resolution(c, provider, log):
    c.register_provider("s", provider("s"), True, False, [])
    first, second = Value(), Value()
    assert c.set_cached("s", first) is None
    assert c.resolve("s") is first
    ref = weakref.ref(first)
    del first
    c.set_cached("s", second)
    assert ref() is None
    assert c.resolve("s") is second
    assert c.resolve_many(["s"])[0] is second
    assert c.resolve_many_plan(["s"])[0] is second
    assert log == []


def test_set_cached_replaces_a_resolved_value(c, provider):
    c.register_provider("s", provider("s"), True, False, [])
    ref = weakref.ref(c.resolve("s"))
    replacement = Value()
    c.set_cached("s", replacement)
    assert ref() is None
    assert c.get_cached("s") is replacement


def test_set_cached_on_async_singleton(c, provider, log):
    c.register_provider("s", provider("s"), True, True, ["missing"])
    held = Value()
    c.set_cached("s", held)
    assert c.resolve("s") is held
    assert c.resolve_many(["s", "s"]) == [held, held]
    assert log == []


def test_none_is_a_value_not_an_empty_slot(c, provider, log):
    c.register_provider("s", provider("s"), True, False, [])
    c.set_cached("s", None)
    assert c.resolve("s") is None
    assert c.get_cached("s") is None
    assert log == []


def test_replacing_registration_drops_held_value(c, provider, log):
    c.register_provider("s", provider("old"), True, False, [])
    held = Value()
    ref = weakref.ref(held)
    c.set_cached("s", held)
    del held
    c.register_provider("s", provider("new"), True, False, [])
    assert ref() is None
    assert c.get_cached("s") is None
    c.resolve("s")
    assert log == ["new"]


# --- the walks over layers ---------------------------------------------------


def test_empty_singleton_override_does_not_hide_lower_value(c, provider, log):
    c.register_provider("k", provider("base"), True, False, [])
    v = c.resolve("k")
    c.begin_override_layer()
    c.set_override("k", provider("layer"), True, False, [])
    assert c.get_cached("k") is v
    w = c.resolve("k")
    assert w is not v
    assert c.get_cached("k") is w
    c.end_override_layer()
    assert c.get_cached("k") is v
    assert log == ["base", "layer"]


def test_set_cached_goes_to_singleton_override(c, provider, log):
    c.register_provider("k", provider("base"), True, False, [])
    v = c.resolve("k")
    c.begin_override_layer()
    c.set_override("k", provider("layer"), True, False, [])
    x = Value()
    c.set_cached("k", x)
    assert c.resolve("k") is x
    c.end_override_layer()
    assert c.resolve("k") is v
    assert c.get_cached("k") is v
    assert log == ["base"]


def test_set_cached_passes_over_transient_override(c, provider, log):
    c.register_provider("k", provider("base"), True, False, [])
    c.begin_override_layer()
    c.set_override("k", provider("layer"), False, False, [])
    x = Value()
    c.set_cached("k", x)
    assert c.get_cached("k") is x
    assert c.resolve("k") is not x
    assert c.resolve("k") is not x
    assert log == ["layer", "layer"]
    c.end_override_layer()
    assert c.resolve("k") is x
    assert log == ["layer", "layer"]


def test_set_cached_refused_for_transient_override_of_unknown_key(c, provider):
    c.begin_override_layer()
    c.set_override("k", provider("layer"), False, False, [])
    check_set_cached_refused(c, "k")
    assert c.get_cached("k") is None


def test_none_held_by_an_upper_entry_stops_the_walk(c, provider, log):
    c.register_provider("k", provider("base"), True, False, [])
    v = c.resolve("k")
    c.begin_override_layer()
    c.set_override("k", provider("layer"), True, False, [])
    c.set_cached("k", None)
    # the override now holds None, which shadows the registration's value
    assert c.get_cached("k") is None
    assert c.resolve("k") is None
    c.end_override_layer()
    assert c.get_cached("k") is v
    assert log == ["base"]


def test_walks_pass_over_layers_that_do_not_qualify(c, provider, log):
    c.register_provider("k", provider("base"), True, False, [])
    v = c.resolve("k")
    c.begin_override_layer()  # 1: singleton override, empty slot
    c.set_override("k", provider("one"), True, False, [])
    c.begin_override_layer()  # 2: does not hold k
    c.set_override("other", provider("other"), True, False, [])
    c.begin_override_layer()  # 3: transient override
    c.set_override("k", provider("three"), False, False, [])
    c.begin_override_layer()  # 4: empty
    assert c.get_cached("k") is v
    x = Value()
    c.set_cached("k", x)  # lands in layer 1
    assert c.get_cached("k") is x
    c.resolve("k")
    assert log == ["base", "three"]
    c.end_override_layer()
    c.end_override_layer()
    assert c.resolve("k") is x
    c.end_override_layer()
    c.end_override_layer()
    assert c.resolve("k") is v
    assert c.get_cached("k") is v
    assert log == ["base", "three"]


# --- get_provider_info -------------------------------------------------------


@pytest.mark.parametrize("singleton", [False, True])
@pytest.mark.parametrize("is_async", [False, True])
def test_provider_info_describes_the_registration(c, singleton, is_async):
    fn = object()  # never called, so need not be callable
    c.register_provider("k", fn, singleton, is_async, ("a", "b", "a"))
    info = c.get_provider_info("k")
    assert type(info) is tuple and len(info) == 4
    assert info[0] is fn
    assert info[1] is singleton
    assert info[2] is is_async
    assert type(info[3]) is list and info[3] == ["a", "b", "a"]
    assert all(type(k) is str for k in info[3])


def test_provider_info_list_is_new_each_call(c):
    c.register_provider("d", lambda: "d", False, False, [])
    c.register_provider("k", lambda *a: a, False, False, ["d"])
    c.register_provider("none", lambda: None, False, False, [])
    first = c.get_provider_info("k")[3]
    second = c.get_provider_info("k")[3]
    assert first is not second
    first.append("x")
    second.clear()
    assert c.get_provider_info("k")[3] == ["d"]
    assert c.resolve("k") == ("d",)
    empty = c.get_provider_info("none")[3]
    assert empty == [] and c.get_provider_info("none")[3] is not empty


def test_provider_info_leaves_out_the_held_value(c, provider):
    fn = provider("s")
    c.register_provider("s", fn, True, False, [])
    c.resolve("s")
    assert c.get_provider_info("s") == (fn, True, False, [])


def test_provider_info_follows_the_provider_in_force(c):
    base, over = object(), object()
    c.register_provider("k", base, True, False, ["x"])
    c.begin_override_layer()
    c.set_override("k", over, False, True, [])
    c.set_override("only", over, False, False, [])
    assert c.get_provider_info("k") == (over, False, True, [])
    assert c.get_provider_info("only")[0] is over
    c.end_override_layer()
    assert c.get_provider_info("k") == (base, True, False, ["x"])
    with pytest.raises(KeyError) as e:
        c.get_provider_info("only")
    check_error(e, KeyError, MISSING + "only")


