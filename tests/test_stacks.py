"""Other stacks on the thread that holds a container: greenlets, and gevent's
cooperative threads."""

import json
import os

import pytest

import _tarnik_core
from model import DEADLOCK_MSG, OTHER_STACK_MSG
from support import run_child

if "asan" in os.environ.get("LD_PRELOAD", ""):
    # greenlet copies stacks in and out, redzones included, which
    # AddressSanitizer reports as overflows of the frames it copies.
    pytest.skip("greenlet cannot run under AddressSanitizer", allow_module_level=True)
greenlet = pytest.importorskip("greenlet")


@pytest.mark.parametrize("started", ["inside the provider", "before the call"])
def test_a_call_from_another_greenlet_of_the_holders_thread_fails_at_once(started):
    """The holder's provider switches to another greenlet of its thread, whose
    stack lies deeper or shallower: every call it makes fails at once and
    changes nothing (no false cycle, no nested read of a suspended
    operation); the holder then finishes as usual."""
    c = _tarnik_core.Container()
    c.register_provider("b", lambda: "B", True, False, [])
    got = []

    def other():
        for call in (lambda: c.resolve("a"), lambda: c.resolve_many(["b"]), lambda: c.get_cached("b"),
                     lambda: c.register_provider("b", len, False, False, []), c.end_override_layer):
            try:
                got.append(call())
            except RuntimeError as exc:
                got.append(str(exc))

    early = greenlet.greenlet(lambda: (greenlet.getcurrent().parent.switch(), other()))
    early.switch()
    switch_to = early if started == "before the call" else greenlet.greenlet(other)
    c.register_provider("a", lambda b: (switch_to.switch(), b)[1], False, False, ["b"])
    assert c.resolve("a") == "B"
    assert got == [OTHER_STACK_MSG] * 5
    assert c.resolve("a") == "B" and c.get_provider_info("b")[0]() == "B"


GEVENT = """
from gevent import monkey
monkey.patch_all()
import gevent, _tarnik_core

c = _tarnik_core.Container()
c.register_provider("t", lambda: gevent.sleep(0.02) or "t", False, False, [])
c.register_provider("s", lambda: gevent.sleep(0.02) or "s", True, False, [])
jobs = [gevent.spawn(c.resolve, k) for k in ("t", "s", "t")]
# One that gives up while it waits: the others are woken all the same.
jobs.insert(1, gevent.spawn(gevent.with_timeout, 0.01, c.resolve, "t", timeout_value="gave up"))
gevent.joinall(jobs, raise_error=True)
print(" ".join(j.value for j in jobs))
"""


def test_greenlets_of_a_cooperative_program_wait_for_each_other():
    """With thread primitives made cooperative (gevent's monkey-patching),
    greenlets that find the container held by another greenlet of their
    thread wait for it, as they would on a threading.Lock."""
    pytest.importorskip("gevent")
    assert run_child(GEVENT).split() == ["t", "gave", "up", "s", "t"]


# Cases for a program whose thread primitives a library made cooperative.
COOPERATIVE = """
import json, sys, time
lib, case = sys.argv[1:3]
if lib == "gevent":
    from gevent import monkey
    monkey.patch_all()
    import gevent
    spawn, sleep = gevent.spawn, gevent.sleep
    def join(jobs):
        gevent.joinall(jobs, raise_error=True)
        return [j.value for j in jobs]
else:
    import eventlet
    eventlet.monkey_patch()
    spawn, sleep = eventlet.spawn, eventlet.sleep
    def join(jobs):
        return [j.wait() for j in jobs]
import _thread, _tarnik_core
c, c2 = _tarnik_core.Container(), _tarnik_core.Container()
c.register_provider("slow", lambda: sleep(0.02) or "slow", False, False, [])
c.register_provider("x", lambda: "x", False, False, [])

if case == "stale lookup":
    # The holder changes the keys right after its call, before the waiter runs.
    def holder(n):
        c.resolve("slow")
        c.end_override_layer()
        c.register_provider("k%d" % n, lambda: "other", False, False, [])
    got = set()
    for n in range(10):
        c.begin_override_layer()
        c.set_override("tmp", lambda: "tmp", False, False, [])
        a = spawn(holder, n)
        sleep(0.005)
        got.update(join([a, spawn(c.resolve, "tmp")])[1:])
    result = sorted(got)
elif case == "deadlock":
    def through(other, key):
        def provider():
            sleep(0.02)
            try:
                return other.resolve(key)
            except RuntimeError as exc:
                return str(exc)
        return provider
    c.register_provider("a", through(c2, "x"), False, False, [])
    c2.register_provider("b", through(c, "x"), False, False, [])
    c2.register_provider("x", lambda: "x", False, False, [])
    result = sorted(join([spawn(c.resolve, "a"), spawn(c2.resolve, "b")]))
elif case == "hand-off":
    c.register_provider("s", lambda: sleep(0) or "s", False, False, [])
    loops = [0]
    def looper():
        end = time.monotonic() + 0.5
        while time.monotonic() < end:
            c.resolve("s")
            loops[0] += 1
    def waiter():
        sleep(0.05)
        before = loops[0]
        c.resolve("x")
        return loops[0] - before
    result = join([spawn(looper), spawn(waiter)])[1] <= 2
elif case == "interrupted wake":
    real = _thread.allocate_lock
    class Tripping(object):
        armed = [True]
        def __init__(self):
            self.lock = real()
        def acquire(self, *args):
            return self.lock.acquire(*args)
        def release(self):
            if self.armed.pop() if self.armed else False:
                raise KeyboardInterrupt
            return self.lock.release()
        def __enter__(self):
            return self.acquire()
        def __exit__(self, *exc):
            self.release()
    if lib == "gevent":
        gevent.get_hub()  # made before the wrapper, as it imports with locks
    _thread.allocate_lock = Tripping
    def call():
        try:
            return c.resolve("slow")
        except KeyboardInterrupt:
            return "KeyboardInterrupt"
    result = join([spawn(call), spawn(call)]) + [c.resolve("x")]
elif case == "service":
    # A small service under load: a greenlet per connection, providers that
    # do I/O (a sleep) while they hold the container; every request answered.
    import socket
    c.register_provider("db", lambda: sleep(0.001) or "db", False, False, [])
    c.register_provider("repo", lambda db: db + "/repo", False, False, ["db"])
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(512)
    def handle(conn):
        conn.recv(64)
        conn.sendall((c.resolve("repo") if len(c.resolve_many_plan(["db"])) else "").encode())
        conn.close()
    def serve():
        while True:
            spawn(handle, server.accept()[0])
    def client():
        conn = socket.create_connection(server.getsockname())
        conn.sendall(b"get")
        answer = conn.recv(64)
        conn.close()
        return answer == b"db/repo"
    spawn(serve)
    result = sum(join([spawn(client) for _ in range(500)]))
print(json.dumps(result))
"""


@pytest.mark.timeout(120)
@pytest.mark.parametrize("case, expected", [
    # Nothing found before a wait is trusted after it: never another key's value.
    ("stale lookup", ["tmp"]),
    # Greenlets that wait are in the waits-for graph: one of two that would
    # wait for each other is refused, and the other goes on.
    ("deadlock", sorted([DEADLOCK_MSG, "x"])),
    # A release hands the container to the oldest waiter: a greenlet that
    # calls in a loop queues behind it.
    ("hand-off", True),
    # KeyboardInterrupt raised by waking the next greenlet ends the releasing
    # call; the greenlet given the container still gets it.
    ("interrupted wake", ["KeyboardInterrupt", "slow", "x"]),
    ("service", 500),
])
@pytest.mark.parametrize("lib", ["gevent", "eventlet"])
def test_greenlets_of_a_cooperative_program_share_one_queue(lib, case, expected):
    pytest.importorskip(lib)
    assert json.loads(run_child(COOPERATIVE, lib, case).splitlines()[-1]) == expected


PLAIN = """
import functools, json, operator, sys, threading, time, _thread
import _tarnik_core
case = sys.argv[1]
c = _tarnik_core.Container()
c.register_provider("b", lambda: "B", False, False, [])
got = []

def other():
    try:
        got.append(c.resolve("b"))
    except RuntimeError as exc:
        got.append(str(exc))

if case == "no frame":
    # An operation begun with no Python frame under it, whose provider makes
    # the first greenlet of the process and switches to it.
    def db():
        import greenlet
        greenlet.greenlet(other).switch()
        return "db"
    c.register_provider("db", db, False, False, [])
    done = []
    calls = [functools.partial(c.resolve, "db"), functools.partial(done.append, 1)]
    _thread.start_new_thread(list, (map(operator.methodcaller("__call__"), calls),))
    while not done:
        time.sleep(0.01)
elif case == "wrapped lock":
    # A tracing tool's wrapper around the interpreter's own lock is not a
    # cooperative program.
    import greenlet
    real = _thread.allocate_lock
    _thread.allocate_lock = lambda: real()
    g = greenlet.greenlet(other)
    c.register_provider("a", lambda: g.switch(), False, False, [])
    c.resolve("a")
elif case == "thread ended":
    # The holder is a greenlet left suspended on a thread that ended: later
    # threads (which may get its system thread id) take the container over.
    import greenlet
    c.register_provider("a", lambda: greenlet.getcurrent().parent.switch(), False, False, [])
    kept = []
    def first():
        g = greenlet.greenlet(lambda: c.resolve("a"))
        g.switch()
        kept.append(g)
    def later():
        got.append(c.resolve_many(["b", "b"]))
        c.register_provider("a", lambda: "A", False, False, [])
        got.append(c.resolve("a"))
    for target in (first, later, later):
        t = threading.Thread(target=target)
        t.start()
        t.join(30)
        assert not t.is_alive(), "hangs"
print(json.dumps(got))
"""


@pytest.mark.timeout(120)
@pytest.mark.parametrize("case, expected", [
    ("no frame", [OTHER_STACK_MSG]),
    ("wrapped lock", [OTHER_STACK_MSG]),
    ("thread ended", [["B", "B"], "A", ["B", "B"], "A"]),
])
def test_a_holder_is_its_thread_and_its_stack(case, expected):
    """A call is nested in the holder's operation only on the holder's own
    stack, and a holder is known by a thread identity nobody else gets."""
    assert json.loads(run_child(PLAIN, case).splitlines()[-1]) == expected
