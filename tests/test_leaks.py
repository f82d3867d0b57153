"""Reference accounting: every callable and value a container holds is
released exactly once, whatever happened to it, and finalizers that run
when the container drops a reference may call back into it."""

import collections
import gc
import random
import sys

import pytest

import _tarnik_core
from model import REENTRANT_MSG, find_panic_type

KEYS = ["a", "b", "c", "d", "", "\u00e9", "e\u0301", "\U0001f600"]


class Ledger(object):
    """Hands out counted objects and counts how often each one is released."""

    def __init__(self):
        self.created = 0
        self.released = collections.Counter()

    def value(self):
        self.created += 1
        return Counted(self, self.created)

    def provider(self, mode, box=()):
        self.created += 1
        return CountedProvider(self, self.created, mode, box)

    def check(self):
        gc.collect()
        twice = {tag: n for tag, n in self.released.items() if n != 1}
        alive = self.created - len(self.released)
        assert not twice, "released more than once: %r" % sorted(twice.items())[:10]
        assert alive == 0, "%d of %d objects were never released" % (alive, self.created)


class Counted(object):
    __slots__ = ("ledger", "tag")

    def __init__(self, ledger, tag):
        self.ledger = ledger
        self.tag = tag

    def __del__(self):
        self.ledger.released[self.tag] += 1


class Boom(Exception):
    pass


class CountedProvider(Counted):
    __slots__ = ("mode", "box")

    def __init__(self, ledger, tag, mode, box):
        Counted.__init__(self, ledger, tag)
        self.mode = mode
        self.box = box  # holds the container; emptied to break the cycle

    def __call__(self, *args):
        mode = self.mode
        if mode == "arg" and args:
            return args[-1]
        if mode == "none":
            return None
        if mode == "raise":
            raise Boom(self.ledger.value(), args)
        if mode == "reenter":
            try:
                self.box[0].set_cached("a", self.ledger.value())
            except RuntimeError as exc:
                assert str(exc) == REENTRANT_MSG
            else:
                raise AssertionError("re-entrant call went through")
        if mode == "panic":
            raise PANIC[0]("provider panicked", self.ledger.value())
        return self.ledger.value()


PANIC = []


def random_keys(rng, n):
    return [rng.choice(KEYS) for _ in range(rng.randint(0, n))]


def test_100k_mixed_operations_release_everything_exactly_once():
    if not PANIC:
        PANIC.append(find_panic_type(_tarnik_core.Container))
    modes = ["new", "new", "new", "arg", "none", "raise", "reenter", "value-as-callable"]
    if PANIC[0] is not None:
        modes.append("panic")
    rng = random.Random(20240607)
    ledger = Ledger()
    shared_fn, shared_value, shared_deps = (lambda *a: a), object(), ["a", "b"]
    baseline = [sys.getrefcount(o) for o in (shared_fn, shared_value, shared_deps)]
    containers = [_tarnik_core.Container() for _ in range(3)]
    boxes = [[c] for c in containers]
    kept = collections.deque(maxlen=50)  # results held by the caller for a while
    counts = collections.Counter()

    def fresh_callable(i):
        mode = rng.choice(modes)
        if mode == "value-as-callable":
            return ledger.value()  # not callable: resolving it fails
        return ledger.provider(mode, boxes[i])

    def replace(i):
        boxes[i].clear()
        containers[i] = _tarnik_core.Container()
        boxes[i] = [containers[i]]

    for _ in range(100000):
        i = rng.randrange(len(containers))
        c = containers[i]
        op = rng.randrange(16)
        key = rng.choice(KEYS)
        try:
            if op <= 2:
                fn = shared_fn if rng.random() < 0.1 else fresh_callable(i)
                deps = shared_deps if rng.random() < 0.1 else tuple(random_keys(rng, 3))
                method = c.register_provider if op < 2 else c.set_override
                method(key, fn, rng.random() < 0.5, rng.random() < 0.1, deps)
            elif op == 3:
                c.begin_override_layer()
            elif op == 4:
                c.end_override_layer()
            elif op <= 6:
                kept.append(c.resolve(key))
            elif op == 7:
                kept.append(c.resolve_many(random_keys(rng, 4)))
            elif op == 8:
                kept.append(c.resolve_many_plan(random_keys(rng, 4)))
            elif op == 9:
                c.set_cached(key, shared_value if rng.random() < 0.2 else ledger.value())
            elif op == 10:
                kept.append(c.get_cached(key))
            elif op == 11:
                kept.append(c.get_provider_info(key))
            elif op == 12:
                # Argument errors after a callable or value was taken.
                bad = rng.choice([["x", 1], "ab", {"x"}, None])
                c.register_provider(key, fresh_callable(i), True, False, bad)
            elif op == 13:
                c.set_override(key, ledger.provider("new"), True, rng.choice([1, None]), [])
            elif op == 14:
                c.set_cached(rng.choice([1, None]), ledger.value())
            else:
                replace(i)  # drop a populated container
            counts["ok"] += 1
        except (KeyError, RuntimeError, TypeError, IndexError, Boom) as exc:
            counts[type(exc).__name__] += 1
        except BaseException as exc:
            if PANIC[0] is None or type(exc) is not PANIC[0]:
                raise
            counts["panic"] += 1
            replace(i)  # a poisoned one is dropped
    for box in boxes:
        box.clear()
    containers.clear()
    kept.clear()
    del c, fn, method
    ledger.check()
    assert [sys.getrefcount(o) for o in (shared_fn, shared_value, shared_deps)] == baseline
    # The run did exercise the failure paths it claims to.
    for kind in ("ok", "KeyError", "RuntimeError", "TypeError", "Boom"):
        assert counts[kind] > 100, counts


@pytest.mark.parametrize("deep", [1, 3])
def test_dropping_a_container_releases_every_layer(deep):
    ledger = Ledger()
    c = _tarnik_core.Container()
    c.register_provider("a", ledger.provider("new"), True, False, [])
    c.resolve("a")
    for _ in range(deep):
        c.begin_override_layer()
        c.set_override("a", ledger.provider("new"), True, False, [])
        c.set_override("b", ledger.provider("new"), True, False, ["a"])
        c.resolve("b")
        c.set_override("c", ledger.provider("new"), False, False, ["b", "a"])
    del c
    ledger.check()
    assert ledger.created == 2 + 5 * deep


# -- finalizers that call back into the container -----------------------------


class CallsBack(object):
    """Calls `action(container)` when released and records the outcome."""

    def __init__(self, container, action, outcomes):
        self.container = container
        self.action = action
        self.outcomes = outcomes

    def __call__(self, *args):
        return "built"

    def __del__(self):
        try:
            self.outcomes.append(("ok", self.action(self.container)))
        except Exception as exc:
            self.outcomes.append((type(exc).__name__, str(exc)))


def replace_registration(c, victim):
    c.register_provider("k", victim, True, False, [])
    c.resolve("k")
    c.register_provider("k", lambda: "new", True, False, [])


def replace_cached(c, victim):
    c.register_provider("k", lambda: None, True, False, [])
    c.set_cached("k", victim)
    c.set_cached("k", "new")


def replace_override(c, victim):
    c.begin_override_layer()
    c.set_override("k", victim, False, False, [])
    c.set_override("k", lambda: "new", False, False, [])


def pop_layer(c, victim):
    c.begin_override_layer()
    c.set_override("k", lambda: None, True, False, [])
    c.set_cached("k", victim)
    c.end_override_layer()


@pytest.mark.parametrize("drop", [replace_registration, replace_cached, replace_override, pop_layer])
def test_finalizer_of_a_dropped_reference_can_call_back(drop):
    c = _tarnik_core.Container()
    c.register_provider("probe", lambda: "probe-value", False, False, [])
    outcomes = []

    def action(container):
        container.register_provider("late", lambda: "late-value", False, False, [])
        return container.resolve("probe")

    drop(c, CallsBack(c, action, outcomes))
    gc.collect()
    assert outcomes == [("ok", "probe-value")]
    assert c.resolve("late") == "late-value"


@pytest.mark.parametrize("method", ["resolve", "resolve_many", "resolve_many_plan"])
def test_finalizer_of_a_temporary_value_during_resolution_does_not_hang(method):
    """A transient dependency value dropped while the resolution still runs:
    its finalizer's call back in either works or is refused as re-entrant."""
    c = _tarnik_core.Container()
    outcomes = []
    c.register_provider("tmp", lambda: CallsBack(c, lambda k: k.get_cached("x"), outcomes), False, False, [])
    c.register_provider("user", lambda tmp: "used", False, False, ["tmp"])
    c.register_provider("after", lambda: "after", False, False, [])
    arg = "user" if method == "resolve" else ["user", "after"]
    result = getattr(c, method)(arg)
    gc.collect()
    assert result == ("used" if method == "resolve" else ["used", "after"])
    assert len(outcomes) == 1
    assert outcomes[0] in (("ok", None), ("RuntimeError", REENTRANT_MSG))
