"""Several threads on shared containers, with providers that let the
interpreter lock go and providers that wait for other threads calling into
the same container: nothing hangs, nothing crashes, the state stays
consistent, every thread gets its turn and no two provider calls of one
container ever run at once. Without the interpreter lock too (a
free-threaded build run with PYTHON_GIL=0)."""

import functools
import os
import random
import signal
import threading
import time

import pytest

import _tarnik_core
from model import DEADLOCK_MSG, REENTRANT_MSG

THREADS = 8
RUN_SECONDS = 2.0
JOIN_TIMEOUT = 60.0
KEYS = ["a", "b", "c", "d", "e", "f"]

EXPECTED_PREFIXES = (
    "No provider registered for key: ",
    "Dependency cycle detected at key: ",
    "Provider for key '",
    "Cannot set cache for non-singleton or unknown key: ",
)


class Value(object):
    __slots__ = ("builder",)

    def __init__(self, builder):
        self.builder = builder


class Shared(object):
    """What every thread can see."""

    def __init__(self, tmpdir):
        self.tmpdir = tmpdir
        self.errors = []  # unexpected outcomes, as text
        self.helpers = []  # threads started by providers
        self.lock = threading.Lock()
        self.counter = 0

    def problem(self, text):
        with self.lock:
            self.errors.append(text)

    def next_id(self):
        with self.lock:
            self.counter += 1
            return self.counter


class Builder(object):
    """One registration's callable; counts how often it builds."""

    def __init__(self, shared, container, mode, singleton):
        self.shared = shared
        self.container = container
        self.mode = mode
        self.singleton = singleton
        self.builds = 0
        self.id = shared.next_id()

    def __call__(self, *args):
        mode = self.mode
        if mode == "sleep":
            time.sleep(0)
        elif mode == "io":
            path = os.path.join(self.shared.tmpdir, "p%d-%d" % (self.id, threading.get_ident()))
            with open(path, "w") as f:
                f.write("x" * 64)
            with open(path) as f:
                assert f.read() == "x" * 64
            os.unlink(path)
        elif mode == "reenter":
            # A read runs nested; a change is refused.
            self.container.get_cached("a")
            try:
                self.container.set_cached("a", None)
            except RuntimeError as exc:
                if str(exc) != REENTRANT_MSG:
                    self.shared.problem("re-entrant call: %r" % exc)
            else:
                self.shared.problem("a re-entrant change went through")
        elif mode == "handshake":
            self.handshake()
        self.builds += 1
        if self.singleton and self.builds > 1:
            self.shared.problem("singleton %d built %d times" % (self.id, self.builds))
        return Value(self)

    def handshake(self):
        """Start a thread that calls into this container and wait for it a
        little: it cannot get in before this resolution ends, and must not
        be refused as re-entrant (it is another thread)."""
        done = threading.Event()
        shared, c = self.shared, self.container

        def other():
            try:
                c.get_cached("b")
                c.resolve_many([])
            except BaseException as exc:
                shared.problem("helper thread: %r" % exc)
            finally:
                done.set()

        t = threading.Thread(target=other, daemon=True)
        with shared.lock:
            shared.helpers.append(t)
        t.start()
        done.wait(0.002)


def worker(shared, containers, seed, deadline):
    rng = random.Random(seed)
    modes = ["plain", "plain", "sleep", "io", "reenter", "handshake"]
    while time.monotonic() < deadline:
        c = rng.choice(containers)
        key = rng.choice(KEYS)
        op = rng.randrange(10)
        try:
            if op <= 1:
                singleton = rng.random() < 0.6
                fn = Builder(shared, c, rng.choice(modes), singleton)
                deps = [k for k in rng.sample(KEYS, rng.randint(0, 2)) if k > key]  # no cycles
                if op == 0:
                    c.register_provider(key, fn, singleton, False, deps)
                else:
                    c.set_override(key, fn, singleton, False, deps)
            elif op == 2:
                c.begin_override_layer() if rng.random() < 0.5 else c.end_override_layer()
            elif op == 3:
                check_value(shared, c.resolve(key))
            elif op == 4:
                for v in c.resolve_many(rng.sample(KEYS, 3)):
                    check_value(shared, v)
            elif op == 5:
                keys = rng.sample(KEYS, 3)
                values = c.resolve_many_plan(keys + keys[:1])
                if values[0] is not values[-1]:
                    shared.problem("a plan returned two objects for one key")
            elif op == 6:
                c.set_cached(key, Value(None))
            elif op == 7:
                check_value(shared, c.get_cached(key))
            elif op == 8:
                fn, singleton, is_async, deps = c.get_provider_info(key)
                if not (isinstance(fn, Builder) and fn.singleton is singleton and is_async is False):
                    shared.problem("provider info %r" % ((fn, singleton, is_async, deps),))
            else:
                c.resolve(key)
        except (KeyError, RuntimeError) as exc:
            if not str(exc.args[0]).startswith(EXPECTED_PREFIXES):
                shared.problem("unexpected %r" % exc)
        except BaseException as exc:
            shared.problem("unexpected %r" % exc)


def check_value(shared, v):
    if v is not None and not isinstance(v, Value):
        shared.problem("resolved to %r" % (v,))


def run_threads(targets, seconds):
    """Runs each target(deadline) in its own thread until the deadline; every
    thread must end (no hang)."""
    deadline = time.monotonic() + seconds
    threads = [threading.Thread(target=t, args=(deadline,), daemon=True) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(JOIN_TIMEOUT)
    assert not [t for t in threads if t.is_alive()], "a thread hangs"


@pytest.mark.timeout(300)
def test_threads_share_containers_without_hanging(tmp_path):
    shared = Shared(str(tmp_path))
    containers = [_tarnik_core.Container() for _ in range(2)]
    for c in containers:
        for key in KEYS:
            c.register_provider(key, Builder(shared, c, "plain", True), True, False, [])
    run_threads([functools.partial(worker, shared, containers, seed) for seed in range(THREADS)], RUN_SECONDS)
    with shared.lock:
        helpers = list(shared.helpers)
    for t in helpers:
        t.join(JOIN_TIMEOUT)
    assert not [t for t in helpers if t.is_alive()], "a thread started by a provider hangs"
    assert shared.errors == []
    assert helpers, "no provider waited for another thread"
    # The containers are still whole: every key is known and resolves the
    # same way through every entry point.
    for c in containers:
        for _ in range(5):
            c.end_override_layer()
        for key in KEYS:
            fn, singleton, _, _ = c.get_provider_info(key)
            first = c.resolve(key)
            again = c.resolve_many_plan([key])[0]
            if singleton:
                assert first is again is c.get_cached(key)


class Held(object):
    __slots__ = ("key",)

    def __init__(self, key):
        self.key = key


@pytest.mark.timeout(120)
def test_held_values_read_while_another_thread_frees_what_readers_follow():
    """Threads resolving their own held singletons (without the lock, on a
    free-threaded build) while another thread grows the key table, which
    moves its index, and replaces their values, which frees the old ones:
    every read gives a live value of its own key."""
    c = _tarnik_core.Container()
    keys = ["held-%d" % i for i in range(4)]
    for key in keys:
        c.register_provider(key, functools.partial(Held, key), True, False, [])
    wrong = []

    def reader(key, deadline):
        resolve = c.resolve
        while time.monotonic() < deadline:
            for _ in range(1000):
                v = resolve(key)
                if type(v) is not Held or v.key != key:
                    wrong.append(repr(v))
                    return

    def writer(deadline):
        n = 0
        while time.monotonic() < deadline:
            n += 1
            if n < 20000:
                c.register_provider("fresh-%d" % n, object, False, False, ["dep-%d" % n])
            key = keys[n % len(keys)]
            c.set_cached(key, Held(key))

    run_threads([functools.partial(reader, key) for key in keys] + [writer], 1.0)
    assert wrong == []


@pytest.mark.timeout(120)
@pytest.mark.parametrize("method", ["resolve", "resolve_many", "resolve_many_plan"])
def test_other_thread_waits_for_a_running_resolution(method):
    """While a provider runs (and lets the interpreter lock go), another
    thread's call on the same container waits and then succeeds; it sees the
    state as it is after the resolution, never half-way through it."""
    c = _tarnik_core.Container()
    inside = threading.Event()
    release = threading.Event()
    seen = []

    def slow():
        inside.set()
        release.wait(JOIN_TIMEOUT)
        return "slow-value"

    def other():
        inside.wait(JOIN_TIMEOUT)
        seen.append(c.get_cached("slow"))

    c.register_provider("slow", slow, True, False, [])
    t = threading.Thread(target=other, daemon=True)
    t.start()
    releaser = threading.Timer(0.05, release.set)
    releaser.start()
    arg = "slow" if method == "resolve" else ["slow"]
    result = getattr(c, method)(arg)
    t.join(JOIN_TIMEOUT)
    releaser.join(JOIN_TIMEOUT)
    assert not t.is_alive()
    assert result in ("slow-value", ["slow-value"])
    assert seen == ["slow-value"]


@pytest.mark.timeout(120)
def test_lock_is_fair():
    """Threads that ask again at once after each call, with a provider that
    lets the interpreter lock go, all get their turns; and a single call from
    another thread gets in within a second."""
    c = _tarnik_core.Container()
    c.register_provider("nap", lambda: time.sleep(0.001), False, False, [])
    c.register_provider("quick", object, False, False, [])
    counts, waits = [0] * 4, []

    def loop(i, deadline):
        while time.monotonic() < deadline:
            c.resolve("nap")
            counts[i] += 1

    def once(deadline):
        time.sleep(0.5)
        start = time.monotonic()
        c.resolve("quick")
        waits.append(time.monotonic() - start)

    run_threads([functools.partial(loop, i) for i in range(4)] + [once], 2.5)
    mean = sum(counts) / 4.0
    assert all(mean / 3 <= n <= mean * 3 for n in counts), counts
    assert len(waits) == 1 and waits[0] < 1.0, waits


@pytest.mark.timeout(120)
def test_provider_calls_never_overlap():
    """Only reading calls, from many threads: no two provider calls of one
    container run at the same time."""
    c = _tarnik_core.Container()
    inside, overlaps = [], []

    def provider(key):
        def build(*args):
            inside.append(key)
            if len(inside) > 1:
                overlaps.append(list(inside))
            time.sleep(0)
            inside.remove(key)
            return key

        return build

    for i, key in enumerate(KEYS):
        c.register_provider(key, provider(key), i % 2 == 0, False, KEYS[i + 1 : i + 3])
    calls = [c.resolve, c.get_cached, c.get_provider_info, c.resolve_many, c.resolve_many_plan]

    def loop(seed, deadline):
        rng = random.Random(seed)
        while time.monotonic() < deadline:
            i = rng.randrange(len(calls))
            calls[i](rng.choice(KEYS) if i < 3 else rng.sample(KEYS, 3))

    run_threads([functools.partial(loop, seed) for seed in range(THREADS)], RUN_SECONDS)
    assert overlaps == []


@pytest.mark.timeout(120)
def test_key_lists_changed_by_other_threads_while_read():
    """A list of keys that other threads change while calls read it: no
    crash, and every key taken was in the list at some time."""
    pool = ["k%d" % i for i in range(8)]
    c = _tarnik_core.Container()
    for key in pool:
        c.register_provider(key, functools.partial(str, key), False, False, [])
    c.begin_override_layer()
    shared, problems = list(pool), []

    def change(seed, deadline):
        rng = random.Random(seed)
        while time.monotonic() < deadline:
            op = rng.randrange(4)
            try:
                if op == 0:
                    shared.extend(rng.choices(pool, k=rng.randrange(64)))
                elif op == 1:
                    del shared[rng.randrange(len(shared) + 1) :]
                elif op == 2:
                    shared[:] = rng.sample(pool, rng.randrange(len(pool)))
                else:
                    shared[rng.randrange(len(shared))] = rng.choice(pool)
            except (IndexError, ValueError):  # the other thread changed it first
                pass

    def use(i, deadline):
        while time.monotonic() < deadline:
            try:
                if i < 2:
                    (c.register_provider, c.set_override)[i]("xy"[i], tuple, False, False, shared)
                    seen = c.get_provider_info("xy"[i])[3]
                else:
                    seen = (c.resolve_many, c.resolve_many_plan)[i - 2](shared)
                if not set(seen) <= set(pool):
                    problems.append(seen)
            except BaseException as exc:
                problems.append(exc)

    run_threads([functools.partial(change, 0), functools.partial(change, 1)]
                + [functools.partial(use, i) for i in range(4)], RUN_SECONDS)
    assert problems == []


class Interrupted(Exception):
    pass


@pytest.mark.skipif(not hasattr(signal, "pthread_kill"), reason="no pthread_kill() here")
@pytest.mark.timeout(60)
@pytest.mark.parametrize("handler_does", ["raise", "return", "resolve", "let go"])
def test_main_thread_waiting_for_the_container_runs_signal_handlers(handler_does):
    """The main thread waits for a container that another thread holds in a
    slow provider, and a signal arrives: its handler runs within a moment,
    not when the provider returns. An exception from the handler ends the
    waiting call; a handler that returns, or that itself calls the
    container, lets the call go on waiting for its turn, which it keeps: a
    thread that asks while the handler runs comes after it."""
    c = _tarnik_core.Container()
    inside, release = threading.Event(), threading.Event()

    def slow():
        inside.set()
        release.wait(20)
        return "slow"

    c.register_provider("slow", slow, False, False, [])
    c.register_provider("quick", lambda: "quick", False, False, [])
    handled, order = [], []
    holder = threading.Thread(target=c.resolve, args=("slow",), daemon=True)
    # What the two calls build, in the order they hold the container.
    c.register_provider("main", lambda: order.append("main") or "quick", False, False, [])
    c.register_provider("newcomer", lambda: order.append("newcomer"), False, False, [])
    newcomer = threading.Thread(target=c.resolve, args=("newcomer",), daemon=True)

    def handler(signum, frame):
        handled.append(time.monotonic())
        if handler_does == "raise":
            raise Interrupted()
        if handler_does == "resolve":
            handled.append(c.resolve("quick"))
        if handler_does == "let go":
            release.set()
            holder.join(JOIN_TIMEOUT)
            newcomer.start()
            newcomer.join(0.3)

    previous = signal.signal(signal.SIGUSR1, handler)
    try:
        holder.start()
        assert inside.wait(10)
        sent = time.monotonic() + 0.2
        threading.Timer(0.2, signal.pthread_kill, (threading.main_thread().ident, signal.SIGUSR1)).start()
        if handler_does != "raise":
            if handler_does != "let go":
                threading.Timer(1.5, release.set).start()
            assert c.resolve("main") == "quick"
            assert handled[1:] == (["quick"] if handler_does == "resolve" else [])
            if handler_does == "let go":
                newcomer.join(JOIN_TIMEOUT)
                assert order == ["main", "newcomer"]
        else:
            with pytest.raises(Interrupted):
                c.resolve("quick")
            assert not release.is_set()
        assert handled and handled[0] - sent < 1.0, "the handler waited for the provider"
    finally:
        release.set()
        signal.signal(signal.SIGUSR1, previous)
        holder.join(JOIN_TIMEOUT)
    assert c.resolve("quick") == "quick"


@pytest.mark.timeout(60)
@pytest.mark.parametrize("n", [2, 3])
def test_a_wait_that_would_close_a_deadlock_fails_and_the_others_go_on(n):
    """n threads each hold a container in a provider that resolves from the
    next container: the last wait would close a cycle. That call fails with
    RuntimeError naming a deadlock, and the other threads then go on."""
    containers = [_tarnik_core.Container() for _ in range(n)]
    all_in = threading.Barrier(n)

    def provider(i):
        def hold_then_reach():
            all_in.wait(10)
            try:
                return containers[(i + 1) % n].resolve("leaf")
            except RuntimeError as exc:
                return str(exc)
        return hold_then_reach

    for i, c in enumerate(containers):
        c.register_provider("held", provider(i), False, False, [])
        c.register_provider("leaf", lambda i=i: "leaf %d" % i, False, False, [])
    results = [None] * n
    threads = [threading.Thread(target=lambda i=i: results.__setitem__(i, containers[i].resolve("held")))
               for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(JOIN_TIMEOUT)
    failed = [i for i in range(n) if results[i] != "leaf %d" % ((i + 1) % n)]
    assert len(failed) == 1 and results[failed[0]] == DEADLOCK_MSG, results
