"""Random sequences of container operations checked against the Python model.

Every step runs the same call on a real container and on the model, each in
its own "world" with its own provider objects, and compares results, object
identities, exception classes and messages, and the order in which provider
callables ran with which arguments.

Set TARNIK_HYPOTHESIS_PROFILE=thorough to run many more and longer sequences.
"""

import os

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, settings, strategies as st  # noqa: E402
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule  # noqa: E402

import _tarnik_core  # noqa: E402
from model import METHODS, NOARGS_METHODS, SIGNATURES, ModelContainer, find_panic_type  # noqa: E402

KEYS = ["a", "b", "c", "", "\u00e9", "e\u0301"]  # the last two differ only in normalisation
# Most steps use a couple of keys, so that steps meet on the same entries.
key_st = st.sampled_from(["a", "a", "a", "b", "b"] + KEYS[2:])


class StrKey(str):
    """A str subclass: its underlying text is the key."""

    def __str__(self):
        return "not the key"


class Value(object):
    __slots__ = ("serial", "__weakref__")

    def __init__(self, serial):
        self.serial = serial


class Token(object):
    """An object given to both worlds alike (set_cached values)."""

    def __init__(self, n):
        self.n = n


class ProviderError(Exception):
    pass


class NotCallable(object):
    pass


class World(object):
    def __init__(self, container, panic_type):
        self.c = container
        self.panic_type = panic_type
        self.log = []
        self.serial = 0
        self.raised = []

    def new_value(self):
        self.serial += 1
        return Value(self.serial)


def describe(obj):
    """World-independent identity of an object."""
    if isinstance(obj, Value):
        return ("value", obj.serial)
    if isinstance(obj, ProviderFn):
        return ("provider", obj.pid)
    return ("object", id(obj))


class ProviderFn(object):
    def __init__(self, world, pid, kind, target):
        self.world = world
        self.pid = pid
        self.kind = kind
        self.target = target

    def __call__(self, *args):
        w = self.world
        w.log.append(("call", self.pid, tuple(describe(a) for a in args)))
        kind = self.kind
        if kind == "new":
            return w.new_value()
        if kind == "none":
            return None
        if kind == "arg0":
            return args[0]  # IndexError without arguments
        if kind == "raise":
            exc = ProviderError("provider %d failed" % self.pid)
        elif kind == "keyerror":
            exc = KeyError("No provider registered for key: " + self.target)
        elif kind == "panic":
            exc = w.panic_type("provider %d panicked" % self.pid)
        elif kind in ("reenter", "reenter_bad", "nested"):
            try:
                if kind == "reenter":
                    w.c.set_cached(self.target, None)
                elif kind == "nested":
                    w.log.append(("nested", describe(w.c.resolve(self.target))))
                else:
                    w.c.resolve_many(self.target)  # a str: an argument error first
            except Exception as inner:
                w.log.append(("inner", type(inner), inner.args))
            else:
                w.log.append(("inner", None, ()))
            return w.new_value()
        else:
            raise AssertionError(kind)
        w.raised.append(exc)
        raise exc


PROVIDER_KINDS = ["new", "new", "new", "new", "none", "arg0", "raise", "keyerror", "reenter", "reenter_bad", "nested"]
BAD_POOL = [
    "a",
    "",
    StrKey("b"),
    "\ud800",
    1,
    None,
    True,
    False,
    [],
    ["a", "b"],
    ("c",),
    ["a", 2],
    {"a"},
    {"a": 1},
    b"x",
    b"",
    "ab",
    ["\ud800"],
]
PARAM_NAMES = ["key", "keys", "callable", "singleton", "is_async", "dep_keys", "value", "name"]

_panic_type = []


def panic_type():
    if not _panic_type:
        _panic_type.append(find_panic_type(_tarnik_core.Container))
    return _panic_type[0]


class ContainerMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        pt = panic_type()
        self.kinds = PROVIDER_KINDS + (["panic"] if pt is not None else [])
        self.real = World(_tarnik_core.Container(), pt)
        self.model = World(ModelContainer(pt), pt)
        self.next_pid = 0

    # -- running one call in both worlds ------------------------------------

    @staticmethod
    def _outcome(world, method, args, kwargs):
        world.log.clear()
        before = len(world.raised)
        try:
            result = getattr(world.c, method)(*args, **kwargs)
        except BaseException as exc:
            if isinstance(exc, (KeyboardInterrupt, SystemExit)):
                raise
            from_provider = len(world.raised) > before and exc is world.raised[-1]
            args_repr = exc.args
            if isinstance(exc, UnicodeEncodeError):
                args_repr = (str(exc),)
            return ("raised", type(exc), args_repr, from_provider), list(world.log)
        if method in ("resolve_many", "resolve_many_plan"):
            assert type(result) is list
            shown = [describe(v) for v in result]
        elif method == "get_provider_info":
            assert type(result) is tuple and len(result) == 4
            fn, singleton, is_async, deps = result
            assert type(deps) is list and all(type(k) is str for k in deps)
            shown = (describe(fn), singleton, is_async, deps)
        else:
            shown = describe(result)
        return ("returned", shown), list(world.log)

    def both(self, method, make_args):
        r_args, r_kwargs = make_args(self.real)
        m_args, m_kwargs = make_args(self.model)
        real = self._outcome(self.real, method, r_args, r_kwargs)
        model = self._outcome(self.model, method, m_args, m_kwargs)
        if method in NOARGS_METHODS and (r_args or r_kwargs):
            # The interpreter words these argument errors itself.
            assert real[0][0] == "raised" and real[0][1] is TypeError, (method, real)
            return real
        assert real == model, "%s%r\nreal:  %r\nmodel: %r" % (method, (r_args, r_kwargs), real, model)
        return real

    def provider(self, kind, target):
        self.next_pid += 1
        pid = self.next_pid
        if kind == "noncallable":
            shared = NotCallable()  # calling it fails in both worlds alike
            return lambda world: shared
        target = target if kind != "reenter_bad" else "ab"
        return lambda world: ProviderFn(world, pid, kind, target)

    # -- rules --------------------------------------------------------------

    @initialize(data=st.data())
    def register_every_key(self, data):
        """Start from a graph without cycles in which every key resolves."""
        for i, key in enumerate(KEYS):
            later = KEYS[i + 1 :]
            deps = data.draw(st.lists(st.sampled_from(later), max_size=2)) if later else []
            self._add_provider(
                "register_provider",
                key=key,
                kind=data.draw(st.sampled_from(["new", "new", "none", "arg0"])),
                inner_key="a",
                singleton=data.draw(st.booleans()),
                is_async=False,
                deps=deps,
                deps_as_tuple=False,
                by_keyword=False,
            )

    def _add_provider(self, method, key, kind, inner_key, singleton, is_async, deps, deps_as_tuple, by_keyword):
        make_fn = self.provider(kind, inner_key)
        dep_keys = tuple(deps) if deps_as_tuple else list(deps)

        def make_args(world):
            values = (key, make_fn(world), singleton, is_async, dep_keys)
            if by_keyword:
                return (), dict(zip(SIGNATURES[method], values))
            return values, {}

        self.both(method, make_args)

    provider_args = dict(
        key=key_st,
        kind=st.data(),
        inner_key=key_st,
        singleton=st.booleans(),
        is_async=st.sampled_from([False, False, False, True]),
        deps=st.one_of(st.just([]), st.lists(key_st, max_size=3)),
        deps_as_tuple=st.booleans(),
        by_keyword=st.booleans(),
    )

    @rule(**provider_args)
    def register(self, kind, **kwargs):
        kind = kind.draw(st.sampled_from(self.kinds + ["noncallable"]))
        self._add_provider("register_provider", kind=kind, **kwargs)

    @rule(**provider_args)
    def override(self, kind, **kwargs):
        kind = kind.draw(st.sampled_from(self.kinds + ["noncallable"]))
        self._add_provider("set_override", kind=kind, **kwargs)

    @rule()
    def begin(self):
        self.both("begin_override_layer", lambda w: ((), {}))

    @rule(times=st.integers(1, 2))
    def end(self, times):
        for _ in range(times):
            self.both("end_override_layer", lambda w: ((), {}))

    @rule(key=key_st)
    def resolve(self, key):
        self.both("resolve", lambda w: ((key,), {}))

    @rule(
        method=st.sampled_from(["resolve_many", "resolve_many_plan"]),
        keys=st.lists(key_st, max_size=4),
        as_tuple=st.booleans(),
    )
    def batch(self, method, keys, as_tuple):
        seq = tuple(keys) if as_tuple else list(keys)
        self.both(method, lambda w: ((seq,), {}))

    @rule(key=key_st, token=st.integers(0, 3))
    def set_cached(self, key, token):
        value = None if token == 0 else Token(token)
        self.both("set_cached", lambda w: ((key, value), {}))

    @rule(
        method=st.sampled_from(METHODS),
        args=st.lists(st.sampled_from(BAD_POOL), max_size=6),
        kwargs=st.dictionaries(st.sampled_from(PARAM_NAMES), st.sampled_from(BAD_POOL), max_size=3),
    )
    def odd_arguments(self, method, args, kwargs):
        self.both(method, lambda w: (tuple(args), dict(kwargs)))

    # -- the whole observable state, after every step ------------------------

    @invariant()
    def same_state(self):
        for key in KEYS:
            self.both("get_provider_info", lambda w: ((key,), {}))
            self.both("get_cached", lambda w: ((), {"key": key}))


_PROFILES = {
    "default": dict(max_examples=200, stateful_step_count=40),
    "thorough": dict(max_examples=3000, stateful_step_count=80),
}
ContainerMachine.TestCase.settings = settings(
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
    **_PROFILES[os.environ.get("TARNIK_HYPOTHESIS_PROFILE", "default")]
)
TestContainerModel = ContainerMachine.TestCase
TestContainerModel = pytest.mark.timeout(900)(TestContainerModel)


# Provider ids in sorted key order: a=0, b=1, c=2, d=3, e=4.
@pytest.mark.parametrize(
    "method, keys, expected_calls",
    [
        ("resolve_many_plan", ["a", "b"], [2, 3, 0, 4, 1]),
        ("resolve_many", ["a", "b"], [2, 3, 0, 3, 4, 1]),
        ("resolve_many_plan", ["b", "a", "b"], [3, 4, 1, 2, 0]),
        ("resolve_many", ["b", "a", "b"], [3, 4, 1, 2, 3, 0, 3, 4, 1]),
        ("resolve_many_plan", ["a", "x"], []),
        ("resolve_many", ["a", "x"], [2, 3, 0]),
    ],
)
def test_model_agrees_on_a_fixed_graph(method, keys, expected_calls):
    """A known graph through both batch forms: the harness itself is sound."""
    worlds = [World(_tarnik_core.Container(), None), World(ModelContainer(), None)]
    graph = {"a": ["c", "d"], "b": ["d", "e"], "c": [], "d": [], "e": []}
    for w in worlds:
        for pid, (key, deps) in enumerate(sorted(graph.items())):
            w.c.register_provider(key, ProviderFn(w, pid, "new", ""), False, False, deps)
    outcomes = [ContainerMachine._outcome(w, method, (keys,), {}) for w in worlds]
    assert outcomes[0] == outcomes[1]
    assert [entry[1] for entry in outcomes[0][1]] == expected_calls
