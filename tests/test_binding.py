"""Binding of call arguments to parameters and conversion of each argument kind."""

import pytest

from _tarnik_core import Container
from model import METHODS, ModelContainer

FIVE = ("key", "callable", "singleton", "is_async", "dep_keys")
PARAMS = {
    "register_provider": FIVE,
    "set_override": FIVE,
    "resolve": ("key",),
    "get_provider_info": ("key",),
    "get_cached": ("key",),
    "resolve_many": ("keys",),
    "resolve_many_plan": ("keys",),
    "set_cached": ("key", "value"),
}
# Arguments that convert fine for every parameter name.
GOOD = {
    "key": "k",
    "keys": ["k"],
    "callable": print,
    "value": 1,
    "singleton": True,
    "is_async": False,
    "dep_keys": [],
}


def raises_exactly(exc_type, func, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        func(*args, **kwargs)
    assert type(info.value) is exc_type
    return info.value


def type_error(func, *args, **kwargs):
    return str(raises_exactly(TypeError, func, *args, **kwargs))


def assert_unregistered(c, key="k"):
    with pytest.raises(KeyError):
        c.get_provider_info(key)


class TestBinding:
    @pytest.mark.parametrize("name, params", sorted(PARAMS.items()))
    def test_too_many_positional(self, c, name, params):
        n = len(params)
        args = [GOOD[p] for p in params] + [None]
        expected = "Container.%s() takes %d positional arguments but %d were given" % (name, n, n + 1)
        assert type_error(getattr(c, name), *args) == expected
        # Keywords are not looked at once there are too many positional arguments.
        assert type_error(getattr(c, name), *args, bogus=1, **{params[0]: 2}) == expected

    @pytest.mark.parametrize("name, params", sorted(PARAMS.items()))
    def test_multiple_values(self, c, name, params):
        kwargs = {params[0]: GOOD[params[0]]}
        expected = "Container.%s() got multiple values for argument '%s'" % (name, params[0])
        assert type_error(getattr(c, name), GOOD[params[0]], **kwargs) == expected

    @pytest.mark.parametrize("name, params", sorted(PARAMS.items()))
    def test_unexpected_keyword(self, c, name, params):
        kwargs = {p: GOOD[p] for p in params}
        kwargs["bogus"] = 1
        expected = "Container.%s() got an unexpected keyword argument 'bogus'" % name
        assert type_error(getattr(c, name), **kwargs) == expected
        # Reported before missing arguments.
        assert type_error(getattr(c, name), bogus=1) == expected

    @pytest.mark.parametrize("name", sorted(PARAMS))
    def test_all_missing(self, c, name):
        assert type_error(getattr(c, name)) == type_error(getattr(ModelContainer(), name))

    @pytest.mark.parametrize(
        "name, args, kwargs, expected",
        [
            ("resolve", (), {}, "Container.resolve() missing 1 required positional argument: 'key'"),
            ("set_cached", ("k",), {}, "Container.set_cached() missing 1 required positional argument: 'value'"),
            ("set_cached", (), {"value": 1}, "Container.set_cached() missing 1 required positional argument: 'key'"),
            ("register_provider", ("a", print), {},
             "Container.register_provider() missing 3 required positional arguments: "
             "'singleton', 'is_async', and 'dep_keys'"),
            ("register_provider", ("a", print, True), {},
             "Container.register_provider() missing 2 required positional arguments: 'is_async' and 'dep_keys'"),
            ("set_override", ("a",), {"singleton": True, "dep_keys": []},
             "Container.set_override() missing 2 required positional arguments: 'callable' and 'is_async'"),
            ("register_provider", (), {"is_async": False},
             "Container.register_provider() missing 4 required positional arguments: "
             "'key', 'callable', 'singleton', and 'dep_keys'"),
        ],
    )
    def test_some_missing(self, c, name, args, kwargs, expected):
        assert type_error(getattr(c, name), *args, **kwargs) == expected
        assert_unregistered(c, "a")

    @pytest.mark.parametrize(
        "kwargs, expected",
        [
            # Keywords are taken in the order given; the first bad one is reported.
            ({"bogus": 1, "key": "b"}, "Container.resolve() got an unexpected keyword argument 'bogus'"),
            ({"key": "b", "bogus": 1}, "Container.resolve() got multiple values for argument 'key'"),
            ({"KEY": "b"}, "Container.resolve() got an unexpected keyword argument 'KEY'"),
            ({"ключ": "b"}, "Container.resolve() got an unexpected keyword argument 'ключ'"),
        ],
    )
    def test_keyword_order_and_matching(self, c, kwargs, expected):
        assert type_error(c.resolve, "a", **kwargs) == expected

    def test_unencodable_keyword_is_unexpected(self, c):
        assert type_error(c.resolve, **{"\udcff": 1}) == (
            "Container.resolve() got an unexpected keyword argument '\udcff'")

    def test_binding_comes_before_conversion(self, c):
        assert type_error(c.resolve, 1, 2) == "Container.resolve() takes 1 positional arguments but 2 were given"
        assert type_error(c.resolve, 1, key=2) == "Container.resolve() got multiple values for argument 'key'"
        assert type_error(c.set_cached, 1) == "Container.set_cached() missing 1 required positional argument: 'value'"

    def test_every_parameter_by_keyword(self, c):
        f = object()
        assert c.register_provider(key="a", callable=f, singleton=True, is_async=False, dep_keys=["x"]) is None
        assert c.get_provider_info(key="a") == (f, True, False, ["x"])
        assert c.set_cached(value=5, key="a") is None
        assert c.get_cached(key="a") == 5
        assert c.resolve(key="a") == 5
        c.register_provider("x", lambda: None, False, False, [])
        assert c.resolve_many(keys=["a"]) == [5]
        assert c.resolve_many_plan(keys=["a"]) == [5]
        c.begin_override_layer()
        assert c.set_override(dep_keys=[], is_async=False, singleton=False, callable=lambda: 6, key="a") is None
        assert c.resolve("a") == 6

    def test_keyword_name_may_be_a_str_subclass(self, c):
        class S(str):
            pass

        c.register_provider("a", lambda: 3, False, False, [])
        assert c.resolve(**{S("key"): "a"}) == 3


class Recorder(list):
    """Arguments that note every use the module makes of them."""

    def __iter__(self):
        self.append("iterated")
        return iter(())

    def __len__(self):
        self.append("measured")
        return 0


class TestReceiver:
    @pytest.mark.parametrize("name", sorted(METHODS))
    @pytest.mark.parametrize("receiver", [1, None, "s", ModelContainer()])
    def test_a_foreign_receiver_is_refused_before_any_argument_is_used(self, c, name, receiver):
        used = Recorder()
        args = [used if p in ("keys", "dep_keys") else GOOD[p] for p in PARAMS.get(name, ())]
        raises_exactly(TypeError, getattr(Container, name), receiver, *args)
        assert used == []
        # The same call with a container for a receiver uses them.
        c.register_provider("k", print, True, False, [])
        getattr(Container, name)(c, *args)
        assert ("iterated" in used) == any(a is used for a in args)

class Error(TypeError):
    pass


class Raising:
    """An iterator whose __next__ raises a prepared exception."""

    def __init__(self, exc, items=()):
        self.exc = exc
        self.items = list(items)

    def __iter__(self):
        return self

    def __next__(self):
        if self.items:
            return self.items.pop(0)
        raise self.exc


def list_iterating(iterator):
    class Seq(list):
        def __iter__(self):
            return iterator

    return Seq()


def fake_numpy_bool(**namespace):
    return type("numpy.bool_", (), namespace)


class TestConversion:
    @pytest.mark.parametrize("name", sorted(n for n, p in PARAMS.items() if p[0] == "key"))
    @pytest.mark.parametrize("bad, qualname", [(1, "int"), (None, "NoneType"), (b"k", "bytes"), (1.5, "float")])
    def test_key_not_a_str(self, c, name, bad, qualname):
        args = [GOOD[p] for p in PARAMS[name]]
        args[0] = bad
        exc = raises_exactly(TypeError, getattr(c, name), *args)
        assert str(exc) == "argument 'key': '%s' object cannot be converted to 'PyString'" % qualname
        assert exc.__cause__ is None

    def test_type_name_is_the_qualified_name(self, c):
        class Inner:
            pass

        expected = "argument 'key': '%s' object cannot be converted to 'PyString'" % Inner.__qualname__
        assert "<locals>.Inner" in expected
        assert type_error(c.resolve, Inner()) == expected

    def test_str_subclass_key(self, c):
        class S(str):
            def __eq__(self, other):
                return False

            __hash__ = str.__hash__

            def __str__(self):
                return "other"

        c.register_provider(S("k"), lambda d: d + 1, False, False, [S("d")])
        c.register_provider("d", lambda: 1, False, False, [])
        assert c.resolve("k") == 2
        info = c.get_provider_info(S("k"))
        assert info[3] == ["d"] and type(info[3][0]) is str

    @pytest.mark.parametrize("name", ["resolve", "get_cached", "register_provider"])
    def test_unencodable_key_raises_unchanged(self, c, name):
        try:
            "\ud800".encode("utf-8")
        except UnicodeEncodeError as exc:
            expected = str(exc)
        args = ["\ud800"] + [GOOD[p] for p in PARAMS[name][1:]]
        assert str(raises_exactly(UnicodeEncodeError, getattr(c, name), *args)) == expected

    @pytest.mark.parametrize("param", ["singleton", "is_async"])
    @pytest.mark.parametrize("bad, qualname", [(1, "int"), (0, "int"), (None, "NoneType"), ("", "str"), ([], "list")])
    def test_flag_refused(self, c, param, bad, qualname):
        kwargs = {p: GOOD[p] for p in FIVE}
        kwargs[param] = bad
        assert type_error(c.register_provider, **kwargs) == (
            "argument '%s': '%s' object cannot be converted to 'PyBool'" % (param, qualname))
        assert_unregistered(c)
        c.begin_override_layer()
        assert type_error(c.set_override, **kwargs).startswith("argument '%s': " % param)

    def test_flags_as_given(self, c):
        f = object()
        c.register_provider("k", f, True, True, [])
        assert c.get_provider_info("k") == (f, True, True, [])
        c.register_provider("k", f, False, False, [])
        info = c.get_provider_info("k")
        assert info[1] is False and info[2] is False

    def test_numpy_bool(self, c):
        # numpy's boolean scalar ("numpy.bool_", or "numpy.bool" since numpy 2)
        np = pytest.importorskip("numpy")
        c.register_provider("k", print, np.True_, np.False_, [])
        assert c.get_provider_info("k")[1:3] == (True, False)
        assert type_error(c.register_provider, "k", print, np.int8(1), False, []) == (
            "argument 'singleton': 'int8' object cannot be converted to 'PyBool'")

    @pytest.mark.parametrize("truth", [True, False])
    def test_type_named_numpy_bool_uses_its_truth_slot(self, c, truth):
        fake = fake_numpy_bool(__bool__=lambda self: truth)
        c.register_provider("k", print, fake(), fake(), [])
        assert c.get_provider_info("k")[1:3] == (truth, truth)

    def test_type_named_numpy_bool_failing_truth_slot(self, c):
        boom = ValueError("boom")

        def fail(self):
            raise boom

        assert raises_exactly(ValueError, c.register_provider, "k", print, fake_numpy_bool(__bool__=fail)(), False, []) is boom
        not_a_bool = fake_numpy_bool(__bool__=lambda self: 1)()
        # The interpreter's own wording for this error differs between versions.
        with pytest.raises(TypeError) as interpreter:
            bool(not_a_bool)
        assert type_error(c.register_provider, "k", print, True, not_a_bool, []) == (
            "argument 'is_async': %s" % interpreter.value)
        fake = fake_numpy_bool(__len__=lambda self: 1)
        assert type_error(c.register_provider, "k", print, fake(), False, []) == (
            "argument 'singleton': object of type '%s' does not define a '__bool__' conversion" % fake)
        assert_unregistered(c)

    @pytest.mark.parametrize("name, param", [("register_provider", "dep_keys"), ("resolve_many", "keys"),
                                             ("resolve_many_plan", "keys"), ("set_override", "dep_keys")])
    @pytest.mark.parametrize(
        "bad, detail",
        [
            ("ab", "Can't extract `str` to `Vec`"),
            ("", "Can't extract `str` to `Vec`"),
            (type("S", (str,), {})("x"), "Can't extract `str` to `Vec`"),
            ({"x"}, "'set' object cannot be converted to 'Sequence'"),
            ({"x": 1}, "'dict' object cannot be converted to 'Sequence'"),
            ((k for k in ["x"]), "'generator' object cannot be converted to 'Sequence'"),
            (None, "'NoneType' object cannot be converted to 'Sequence'"),
            (3, "'int' object cannot be converted to 'Sequence'"),
            (["x", 2], "'int' object cannot be converted to 'PyString'"),
            ([None], "'NoneType' object cannot be converted to 'PyString'"),
            (b"x", "'int' object cannot be converted to 'PyString'"),
            (bytearray(b"x"), "'int' object cannot be converted to 'PyString'"),
            (range(1), "'int' object cannot be converted to 'PyString'"),
        ],
    )
    def test_key_list_refused(self, c, name, param, bad, detail):
        c.begin_override_layer()
        kwargs = {p: GOOD[p] for p in PARAMS[name]}
        kwargs[param] = bad
        assert type_error(getattr(c, name), **kwargs) == "argument '%s': %s" % (param, detail)

    @pytest.mark.parametrize("deps, expected", [
        ([], []), ((), []), (b"", []), (bytearray(), []), (range(0), []),
        (("x", "y", "x"), ["x", "y", "x"]),
    ])
    def test_key_list_accepted(self, c, deps, expected):
        c.register_provider("k", print, False, False, deps)
        assert c.get_provider_info("k")[3] == expected

    def test_key_list_uses_the_iterator_protocol(self, c):
        class Seq(list):
            def __iter__(self):
                return iter(["x", "y"])

            def __getitem__(self, i):
                raise AssertionError("indexed")

        c.register_provider("k", print, False, False, Seq(["a"]))
        assert c.get_provider_info("k")[3] == ["x", "y"]
        c.register_provider("x", lambda: 1, False, False, [])
        c.register_provider("y", lambda: 2, False, False, [])
        assert c.resolve_many(Seq()) == [1, 2]
        assert c.resolve_many_plan(Seq()) == [1, 2]

    @pytest.mark.parametrize("length_error", [ValueError, TypeError, OverflowError])
    def test_failing_length_is_ignored(self, c, length_error):
        class Seq:
            def __len__(self):
                raise length_error("no length")

            def __getitem__(self, i):
                if i < 2:
                    return "ab"[i]
                raise IndexError(i)

        c.register_provider("k", print, False, False, Seq())
        assert c.get_provider_info("k")[3] == ["a", "b"]

    @pytest.mark.parametrize("cause", [ValueError("root"), None])
    def test_iteration_type_error_is_rewrapped(self, c, cause):
        inner = TypeError("iteration failed")
        inner.__cause__ = cause
        bad = list_iterating(Raising(inner, ["x"]))
        exc = raises_exactly(TypeError, c.register_provider, "k", print, False, False, bad)
        assert exc is not inner
        assert str(exc) == "argument 'dep_keys': iteration failed"
        assert exc.__cause__ is cause
        assert_unregistered(c)

    def test_getiter_type_error_is_rewrapped(self, c):
        root = KeyError("root")

        class Seq(list):
            def __iter__(self):
                raise TypeError("no iterator") from root

        exc = raises_exactly(TypeError, c.resolve_many, Seq())
        assert str(exc) == "argument 'keys': no iterator"
        assert exc.__cause__ is root

    @pytest.mark.parametrize("inner", [Error("sub"), ValueError("value"), UnicodeEncodeError("utf-8", "x", 0, 1, "r")])
    def test_other_iteration_errors_are_unchanged(self, c, inner):
        bad = list_iterating(Raising(inner))
        assert raises_exactly(type(inner), c.register_provider, "k", print, False, False, bad) is inner
        assert raises_exactly(type(inner), c.resolve_many_plan, list_iterating(Raising(inner))) is inner

    def test_item_failure_ends_the_iteration(self, c):
        seen = []

        class Iter(Raising):
            def __next__(self):
                item = super().__next__()
                seen.append(item)
                return item

        bad = list_iterating(Iter(AssertionError("iterated past the bad item"), ["a", 2, "b"]))
        assert type_error(c.resolve_many, bad) == "argument 'keys': 'int' object cannot be converted to 'PyString'"
        assert seen == ["a", 2]
        unencodable = list_iterating(iter(["a", "\udc80", "b"]))
        raises_exactly(UnicodeEncodeError, c.register_provider, "k", print, True, False, unencodable)

    @pytest.mark.parametrize(
        "args, expected",
        [
            ((1, print, 1, 1, 1), "argument 'key': 'int' object cannot be converted to 'PyString'"),
            (("k", print, 1, 1, 1), "argument 'singleton': 'int' object cannot be converted to 'PyBool'"),
            (("k", print, True, 1, 1), "argument 'is_async': 'int' object cannot be converted to 'PyBool'"),
            (("k", print, True, False, 1), "argument 'dep_keys': 'int' object cannot be converted to 'Sequence'"),
        ],
    )
    def test_conversion_stops_at_first_failure(self, c, args, expected):
        assert type_error(c.register_provider, *args) == expected
        # Parameter order counts, not the order the keywords were written in.
        kwargs = dict(zip(reversed(FIVE), reversed(args)))
        assert type_error(c.register_provider, **kwargs) == expected
        assert_unregistered(c)

    def test_later_arguments_are_not_converted_after_a_failure(self, c):
        touched = []

        class Seq(list):
            def __iter__(self):
                touched.append(1)
                return iter([])

        type_error(c.register_provider, "k", print, None, False, Seq())
        type_error(c.set_cached, 1, None)
        assert touched == []

    def test_conversion_runs_before_the_lock_is_taken(self, c):
        # Code run while converting may use the same container: it is not locked yet.
        class Seq(list):
            def __iter__(self):
                c.register_provider("inner", lambda: "in", False, False, [])
                return iter(["inner"])

        c.register_provider("outer", lambda v: v + "!", False, False, Seq())
        assert c.resolve("outer") == "in!"
        assert c.resolve_many(Seq()) == ["in"]
