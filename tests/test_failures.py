"""Internal failures: the internal-failure exception, poisoned containers, and
allocation failures injected into every entry point."""

import json
import os
import subprocess
import sys
import textwrap
import threading
import weakref

import pytest

import _tarnik_core
from model import POISON_MSG, UNWRAPPED_PANIC_MSG, ModelContainer, find_panic_type

try:
    import _testcapi
except ImportError:  # pragma: no cover - depends on the interpreter build
    _testcapi = None

HAVE_NOMEMORY = _testcapi is not None and hasattr(_testcapi, "set_nomemory")
needs_nomemory = pytest.mark.skipif(not HAVE_NOMEMORY, reason="_testcapi.set_nomemory is not available")


@pytest.fixture(scope="module")
def panic_type():
    found = find_panic_type(_tarnik_core.Container)
    assert found is not None, "the module made no internal-failure exception type"
    return found


def dep():
    return "dep-value"


def poisoned_container(panic_type, message="boom"):
    c = _tarnik_core.Container()

    def explode():
        raise panic_type(message)

    c.register_provider("bad", explode, False, False, [])
    with pytest.raises(panic_type):
        c.resolve("bad")
    return c


def test_panic_type_is_private_and_not_an_exception(panic_type):
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__module__ == "_tarnik_core"
    assert issubclass(panic_type, BaseException) and not issubclass(panic_type, Exception)
    assert "PanicException" not in vars(_tarnik_core)
    assert panic_type.__doc__
    # Created once per process: a later failure raises the very same type.
    c = poisoned_container(panic_type)
    with pytest.raises(BaseException) as info:
        c.get_cached("x")
    assert type(info.value) is panic_type


@pytest.mark.parametrize(
    "deps, call",
    [
        ([], lambda c: c.resolve("p")),
        ([], lambda c: c.resolve(key="p")),
        ([], lambda c: c.resolve_many(["ok", "p", "ok"])),
        ([], lambda c: c.resolve_many_plan(["ok", "p"])),
        (["ok", "bad"], lambda c: c.resolve("p")),
        (["ok", "bad"], lambda c: c.resolve_many(["p"])),
        (["ok", "bad"], lambda c: c.resolve_many_plan(("p", "ok"))),
    ],
)
def test_provider_panic_is_reraised_as_new_instance_and_poisons(panic_type, deps, call):
    raised = []

    def explode(*args):
        raised.append(panic_type("it broke: \u00e9"))
        raise raised[-1]

    c = _tarnik_core.Container()
    c.register_provider("ok", dep, True, False, [])
    if deps:
        c.register_provider("p", lambda *a: a, False, False, deps)
        c.register_provider("bad", explode, False, False, [])
    else:
        c.register_provider("p", explode, False, False, [])
    with pytest.raises(BaseException) as info:
        call(c)
    assert type(info.value) is panic_type
    assert info.value is not raised[0]
    assert info.value.args == ("it broke: \u00e9",)
    for method in ALL_CALLS:
        with pytest.raises(BaseException) as again:
            method(c)
        assert type(again.value) is panic_type
        assert again.value.args == (POISON_MSG,)


ALL_CALLS = [
    lambda c: c.register_provider("a", dep, True, False, []),
    lambda c: c.resolve("ok"),
    lambda c: c.resolve_many(["ok"]),
    lambda c: c.resolve_many_plan([]),
    lambda c: c.begin_override_layer(),
    lambda c: c.set_override("a", dep, False, False, ()),
    lambda c: c.get_provider_info("ok"),
    lambda c: c.get_cached("nothing"),
    lambda c: c.set_cached("ok", 1),
    lambda c: c.end_override_layer(),
]


@pytest.mark.parametrize(
    "call, exc_type, message",
    [
        (lambda c: c.resolve(1), TypeError, "argument 'key': 'int' object cannot be converted to 'PyString'"),
        (lambda c: c.resolve(), TypeError, "Container.resolve() missing 1 required positional argument: 'key'"),
        (lambda c: c.resolve_many("ab"), TypeError, "argument 'keys': Can't extract `str` to `Vec`"),
        (
            lambda c: c.resolve_many_plan({"a"}),
            TypeError,
            "argument 'keys': 'set' object cannot be converted to 'Sequence'",
        ),
        (
            lambda c: c.register_provider("a", dep, 1, False, []),
            TypeError,
            "argument 'singleton': 'int' object cannot be converted to 'PyBool'",
        ),
        (
            lambda c: c.set_override("a", dep, True, False, ["x", 2]),
            TypeError,
            "argument 'dep_keys': 'int' object cannot be converted to 'PyString'",
        ),
        (
            lambda c: c.set_cached(key="a"),
            TypeError,
            "Container.set_cached() missing 1 required positional argument: 'value'",
        ),
        (lambda c: c.get_cached("\ud800"), UnicodeEncodeError, None),
        (lambda c: c.begin_override_layer(1), TypeError, None),
        (lambda c: c.end_override_layer(x=1), TypeError, None),
    ],
)
def test_poisoned_container_still_reports_argument_errors_first(panic_type, call, exc_type, message):
    c = poisoned_container(panic_type)
    with pytest.raises(exc_type) as info:
        call(c)
    if message is not None:
        assert str(info.value) == message


def test_unprintable_panic_gets_the_fallback_message(panic_type):
    class Unprintable(object):
        def __str__(self):
            raise ValueError("no text")

    def explode():
        raise panic_type(Unprintable())

    c = _tarnik_core.Container()
    c.register_provider("p", explode, False, False, [])
    with pytest.raises(BaseException) as info:
        c.resolve("p")
    assert type(info.value) is panic_type
    assert info.value.args == (UNWRAPPED_PANIC_MSG,)


def test_subclass_of_panic_is_an_ordinary_exception(panic_type):
    class Sub(panic_type):
        pass

    exc = Sub("mine")

    def explode():
        raise exc

    c = _tarnik_core.Container()
    c.register_provider("p", explode, False, False, [])
    c.register_provider("ok", dep, False, False, [])
    with pytest.raises(Sub) as info:
        c.resolve("p")
    assert info.value is exc
    assert c.resolve("ok") == "dep-value"


def test_panic_during_argument_conversion_does_not_poison(panic_type):
    class Exploding(object):
        def __len__(self):
            return 1

        def __getitem__(self, i):
            raise IndexError(i)

        def __iter__(self):
            raise panic_type("from iteration")

    c = _tarnik_core.Container()
    c.register_provider("ok", dep, False, False, [])
    with pytest.raises(BaseException) as info:
        c.resolve_many(Exploding())
    assert type(info.value) is panic_type
    assert info.value.args == ("from iteration",)
    assert c.resolve_many(["ok"]) == ["dep-value"]


def test_other_containers_are_not_affected(panic_type):
    healthy = _tarnik_core.Container()
    healthy.register_provider("ok", dep, True, False, [])
    before = healthy.resolve("ok")
    sick = poisoned_container(panic_type)
    also_healthy = _tarnik_core.Container()
    also_healthy.register_provider("ok", dep, False, False, [])
    assert healthy.resolve("ok") is before
    assert also_healthy.resolve_many_plan(["ok"]) == ["dep-value"]
    with pytest.raises(BaseException) as info:
        sick.resolve("ok")
    assert info.value.args == (POISON_MSG,)


def test_poisoned_container_releases_everything_on_deallocation(panic_type, collect):
    released = []

    class Tracked(object):
        def __init__(self, name):
            self.name = name

        def __call__(self, *args):
            return Tracked(self.name + "-value")

    def track(obj):
        weakref.finalize(obj, released.append, obj.name)
        return obj

    c = _tarnik_core.Container()
    c.register_provider("a", track(Tracked("a")), True, False, [])
    c.set_cached("a", track(Tracked("a-cached")))
    c.begin_override_layer()
    c.set_override("a", track(Tracked("a-layer")), True, False, [])
    c.set_override("b", track(Tracked("b-layer")), True, False, ["a"])
    c.set_cached("b", track(Tracked("b-cached")))
    c.begin_override_layer()
    c.set_override("c", track(Tracked("c-layer")), True, False, [])
    c.set_cached("c", track(Tracked("c-cached")))

    def explode():
        raise panic_type("boom")

    c.set_override("p", explode, False, False, [])
    with pytest.raises(BaseException):
        c.resolve("p")
    with pytest.raises(BaseException):
        c.end_override_layer()
    assert released == []
    del c, explode
    collect()
    assert sorted(released) == sorted(
        ["a", "a-cached", "a-layer", "b-layer", "b-cached", "c-layer", "c-cached"]
    )


def test_resumed_panic_is_printed_to_stderr(panic_type, capfd):
    capfd.readouterr()

    def a_provider_that_panics():
        raise panic_type("loud failure")

    c = _tarnik_core.Container()
    c.register_provider("p", a_provider_that_panics, False, False, [])
    with pytest.raises(BaseException):
        c.resolve("p")
    err = capfd.readouterr().err
    assert "PanicException: loud failure" in err
    assert "a_provider_that_panics" in err  # the Python traceback follows the notice
    assert err.count("\n") >= 4


@pytest.mark.parametrize("outer", [False, True], ids=["alone", "inside another container"])
@pytest.mark.parametrize("python_code", ["sys.excepthook", "__str__"])
def test_a_resumed_panic_is_announced_once_the_container_is_free(panic_type, monkeypatch, python_code, outer):
    """The announcement runs Python code: sys.excepthook, and str() of the
    exception that came back, which gives the new one its message. By then
    the thread holds no container (also when the failure passes through a
    provider of another one), so another thread gets its answer at once
    (each poisoned container's)."""
    c, a = _tarnik_core.Container(), _tarnik_core.Container()
    answered = []

    def ask():
        for container in [c, a] if outer else [c]:
            try:
                container.get_cached("p")
            except BaseException as exc:
                answered.append((type(exc).__name__, str(exc)))

    def run_another_thread(*args):
        other = threading.Thread(target=ask)
        other.start()
        other.join(2)
        answered.append(other.is_alive())
        return "the text"

    text = type("Text", (), {"__str__": run_another_thread if python_code == "__str__" else lambda self: "the text"})
    if python_code == "sys.excepthook":
        monkeypatch.setattr(sys, "excepthook", run_another_thread)
    c.register_provider("p", lambda: (_ for _ in ()).throw(panic_type(text())), False, False, [])
    a.register_provider("q", lambda: c.resolve("p"), False, False, [])
    with pytest.raises(panic_type) as info:
        a.resolve("q") if outer else c.resolve("p")
    assert info.value.args == ("the text",)
    assert set(answered) == {("PanicException", POISON_MSG), False}


# -- allocation failures, one sweep per entry point, each in a subprocess ------

SWEEP_CHILD = textwrap.dedent(
    r'''
    import gc, json, sys, weakref
    import _testcapi
    import _tarnik_core

    POISON_MSG = %(poison)r
    OP, MODE = sys.argv[1], sys.argv[2]
    LIVE = weakref.WeakSet()

    class Tracked(object):
        __slots__ = ("name", "deps", "__weakref__")
        def __init__(self, name, deps=()):
            self.name = name
            self.deps = deps
            LIVE.add(self)
        def __call__(self, *args):
            assert len(args) == len(self.deps), (self.name, args)
            return Tracked(self.name + "-value")

    def show(obj):
        if isinstance(obj, _tarnik_core.Container):
            return "a Container"
        if isinstance(obj, Tracked):
            return obj.name
        if isinstance(obj, (list, tuple)):
            return [show(x) for x in obj]
        return repr(obj)

    def nonascii():
        # A fresh str every time, made without a list: the free-threaded 3.13
        # interpreter's own PyList_New(n > 0) corrupts its allocator when the
        # item array cannot be allocated (Objects/listobject.c: it releases
        # the list with the item pointer and size of the list it reuses), so
        # nothing but the module makes a list while allocations fail.
        return "".join(("\u043a\u043b\u044e", "\u0447"))

    KEYS = ["cfg", "db", "repo", "svc", "async", "many", "leaf", "only1", "only2", "svc2", "\u043a\u043b\u044e\u0447"]

    def reg(c, key, singleton, deps, is_async=False):
        c.register_provider(key, Tracked(key, deps), singleton, is_async, list(deps))

    def build():
        c = _tarnik_core.Container()
        reg(c, "cfg", True, [])
        reg(c, "db", True, ["cfg"])
        reg(c, "repo", False, ["db", "cfg"])
        reg(c, "svc", False, ["repo", "repo", "db"])
        reg(c, "async", True, ["cfg"], is_async=True)
        reg(c, "leaf", False, [])
        reg(c, "many", False, ["leaf"] * 25)
        reg(c, nonascii(), False, ["db"])
        c.resolve("db")
        c.begin_override_layer()
        c.set_override("cfg", Tracked("cfg@1"), True, False, [])
        c.set_override("only1", Tracked("only1@1", ["leaf"]), False, False, ["leaf"])
        c.begin_override_layer()
        c.set_override("repo", Tracked("repo@2", ["db"]), False, False, ["db"])
        c.set_override("only2", Tracked("only2@2"), True, False, [])
        c.resolve("only2")
        return c

    def make_op():
        """The call under test, with its arguments built before the hooks go in."""
        if OP == "constructor":
            return lambda c: _tarnik_core.Container()
        if OP == "register_provider":
            fn, deps = Tracked("svc2", ["repo", "db", "x"]), ["repo", "db", nonascii()]
            return lambda c: c.register_provider(nonascii(), fn, True, False, deps)
        if OP == "resolve":
            return lambda c: c.resolve("svc")
        if OP == "resolve_many":
            keys = ["svc", nonascii(), "repo", "db", "many", "only1"]
            return lambda c: c.resolve_many(keys)
        if OP == "resolve_many_plan":
            keys = ("svc", "repo", "many", nonascii(), "db", "svc", "only1")
            return lambda c: c.resolve_many_plan(keys)
        if OP == "begin_override_layer":
            return lambda c: c.begin_override_layer()
        if OP == "set_override":
            fn, deps = Tracked("repo@new", ["cfg", "db", "x"]), ["cfg", "db", nonascii()]
            return lambda c: c.set_override("repo", fn, True, False, deps)
        if OP == "get_provider_info":
            key = nonascii()
            return lambda c: c.get_provider_info(key)
        if OP == "get_cached":
            key = nonascii()
            return lambda c: c.get_cached(key)
        if OP == "set_cached":
            value = Tracked("cfg-set")
            return lambda c: c.set_cached("cfg", value)
        if OP == "end_override_layer":
            return lambda c: c.end_override_layer()
        raise SystemExit("unknown op " + OP)

    def snapshot(c):
        info, cached = {}, {}
        for key in KEYS:
            try:
                info[key] = show(c.get_provider_info(key))
            except KeyError as exc:
                info[key] = "KeyError %%s" %% exc
            cached[key] = show(c.get_cached(key))
        return {"info": info, "cached": cached}

    def depth(c):
        """Destructively count the override layers."""
        n = 0
        while n < 50:
            c.set_override("__probe", Tracked("probe"), False, False, [])
            try:
                c.get_provider_info("__probe")
            except KeyError:
                return n
            c.end_override_layer()
            n += 1
        return n

    def is_poisoned(c):
        try:
            c.get_cached("cfg")
        except BaseException as exc:
            if type(exc).__name__ == "PanicException" and exc.args == (POISON_MSG,):
                return True
            raise
        return False

    def reference():
        c = build()
        op = make_op()
        before = snapshot(c)
        result = show(op(c))
        after = snapshot(c)
        after["depth"], before["depth"] = depth(c), depth(build())
        return before, after, result

    def consistent(op_name, now, before, after):
        if op_name in ("resolve", "resolve_many", "resolve_many_plan"):
            if now["info"] != before["info"] or now["depth"] != before["depth"]:
                return False
            return all(now["cached"][k] in (before["cached"][k], after["cached"][k]) for k in KEYS)
        return now in (before, after)

    def run():
        before, after, expected = reference()
        gc.collect()
        baseline = len(LIVE)
        records, successes, k = [], 0, 0
        while successes < 5 and k < 20000:
            c = build()
            op = make_op()
            gc.collect()
            gc.disable()
            outcome, message, result = "ok", None, None
            # A list freed just before the call: the next list made comes
            # from the interpreter's free list, with its old item pointer.
            freed = [None] * 3
            del freed
            try:
                if MODE == "single":
                    _testcapi.set_nomemory(k, k + 1)
                else:
                    _testcapi.set_nomemory(k, 0)
                try:
                    result = op(c)
                finally:
                    _testcapi.remove_mem_hooks()
            except BaseException as exc:
                outcome = type(exc).__name__
                if type(exc).__name__ == "PanicException":
                    outcome = "PanicException" if not isinstance(exc, Exception) else "bad-panic"
                try:
                    message = str(exc)
                except BaseException:
                    message = "<unprintable>"
                del exc
            gc.enable()
            record = {"k": k, "outcome": outcome, "message": message, "problems": []}
            problems = record["problems"]
            if outcome == "ok":
                successes += 1
                if show(result) != expected:
                    problems.append("wrong result %%r, expected %%r" %% (show(result), expected))
            else:
                successes = 0
            result = None
            # CPython 3.9 and 3.10 lose the MemoryError when a code object's
            # opcache cannot be allocated as a provider's frame starts: the
            # frame then ends with this SystemError of the interpreter's own.
            if outcome == "SystemError" and sys.version_info[:2] in ((3, 9), (3, 10)) and \
                    message.startswith("_PyEval_EvalFrameDefault returned NULL without setting an"):
                outcome = "MemoryError"
            if outcome not in ("ok", "MemoryError"):
                problems.append("unexpected exception %%s: %%s" %% (outcome, message))
            record["poisoned"] = poisoned = is_poisoned(c)
            if poisoned:
                problems.append("poisoned by running out of memory")
            if not poisoned:
                now = snapshot(c)
                now["depth"] = depth(c)
                if outcome == "ok" and now != after:
                    problems.append("state after success differs: %%r" %% now)
                elif not consistent(OP, now, before, after):
                    problems.append("state changed by a failed call: %%r" %% now)
                c = build()
                try:
                    if show(make_op()(c)) != expected:
                        problems.append("the repeated call gives a different result")
                except BaseException as exc:
                    problems.append("the repeated call failed: %%r" %% exc)
                    del exc
            del c, op
            for name in ("last_type", "last_value", "last_traceback", "last_exc"):
                if hasattr(sys, name):
                    setattr(sys, name, None)
            gc.collect()
            leaked = sorted(t.name for t in LIVE)
            if len(leaked) > baseline:
                problems.append("objects still alive after the container was dropped: %%r" %% leaked[:10])
            records.append(record)
            k += 1
        print(json.dumps({"records": records, "finished": successes >= 5}))

    run()
    '''
) % {"poison": POISON_MSG}

OPS = [
    "constructor",
    "register_provider",
    "resolve",
    "resolve_many",
    "resolve_many_plan",
    "begin_override_layer",
    "set_override",
    "get_provider_info",
    "get_cached",
    "set_cached",
    "end_override_layer",
]

# With ASCII keys and nothing to build, these need no interpreter memory.
NO_ALLOCATION = {"begin_override_layer", "end_override_layer", "set_cached"}


def run_sweep(op, mode):
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(_tarnik_core.__file__))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    proc = subprocess.run(
        [sys.executable, "-c", SWEEP_CHILD, op, mode],
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        timeout=600,
    )
    stderr = proc.stderr.decode("utf-8", "replace")
    assert proc.returncode == 0, "sweep of %s (%s) exited with %d:\n%s" % (op, mode, proc.returncode, stderr[-3000:])
    return json.loads(proc.stdout.decode().strip().splitlines()[-1]), stderr


@needs_nomemory
@pytest.mark.timeout(900)
@pytest.mark.parametrize("mode", ["single", "persistent"])
@pytest.mark.parametrize("op", OPS)
def test_allocation_failure_sweep(op, mode):
    """Fail the k-th interpreter allocation (only that one, or it and all later
    ones) for k = 0, 1, 2, ... until the call succeeds: every failure must be a
    MemoryError, and the container must be left as it was (or as the call
    would have left it), usable."""
    report, stderr = run_sweep(op, mode)
    records = report["records"]
    assert report["finished"], "the sweep did not reach a successful call"
    bad = [r for r in records if r["problems"]]
    assert not bad, "%d of %d steps misbehaved, first ones:\n%s" % (
        len(bad),
        len(records),
        "\n".join(json.dumps(r) for r in bad[:5]),
    )
    if op not in NO_ALLOCATION:
        failures = [r for r in records if r["outcome"] != "ok"]
        assert failures, "no allocation of the call was ever made to fail"


# -- a failure to allocate while reporting an argument error -------------------

FRESH_KEYWORD = "".join(("\u043a\u043b\u044e", "\u0447"))  # a template: each attempt copies it


@needs_nomemory
@pytest.mark.parametrize(
    "call",
    [
        lambda c, kw: c.resolve(**{kw: 1}),  # the keyword's UTF-8 form is made to compare it
        lambda c, kw: c.resolve(1),  # the message names the argument's type, looked up by name
        lambda c, kw: c.register_provider("k", None, 1, False, []),
    ],
)
def test_running_out_of_memory_while_reporting_an_argument_error(call):
    """Each interpreter allocation of the call made to fail in turn: the call
    raises MemoryError until none of its allocations fails, and then its
    TypeError, which no failed allocation may stand in for."""
    c = _tarnik_core.Container()
    with pytest.raises(TypeError) as info:
        call(ModelContainer(), FRESH_KEYWORD)
    expected, outcomes = str(info.value), []
    while outcomes[-5:] != [expected] * 5 and len(outcomes) < 10000:
        kw = "".join(FRESH_KEYWORD)  # a new str, whose UTF-8 form is not made yet
        _testcapi.set_nomemory(len(outcomes), len(outcomes) + 1)
        try:
            try:
                call(c, kw)
            finally:
                _testcapi.remove_mem_hooks()
        except MemoryError:
            outcomes.append("MemoryError")
        except TypeError as exc:
            outcomes.append(str(exc))
    first = outcomes.index(expected)
    assert first > 0 and outcomes == ["MemoryError"] * first + [expected] * (len(outcomes) - first), outcomes
