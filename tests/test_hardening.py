"""Hostile callers: Python code that goes looking for the objects a call is
still building, daemon threads left inside the container when the interpreter
exits, and key sequences that lie about their length. The cases that could
take the process down run in a child interpreter."""

import os
import subprocess
import sys

import pytest

import _tarnik_core
from support import run_child


MEDDLER = """
import gc, sys, _tarnik_core

class V(object):
    pass

A, B = V(), V()

def meddle(*wanted):
    # Every list or tuple the collector knows of that holds one of `wanted`:
    # read it whole, and turn a list upside down, empty it and refill it.
    pool = gc.get_objects()
    for t in wanted:
        pool.extend(gc.get_referrers(t))
    for o in pool:
        if o is not pool and o is not wanted and type(o) in (list, tuple):
            if any(x is t or (type(x) is str and x == t) for x in o for t in wanted):
                repr(o)
                if type(o) is list:
                    o.reverse()
                    o.clear()
                    o.append(V())

method = sys.argv[1]
c = _tarnik_core.Container()
c.register_provider("a", lambda: A, True, False, [])
c.register_provider("b", lambda: B, False, False, [])
c.register_provider("late", lambda a, b: (meddle(A, B), V())[1], False, False, ["a", "b"])
c.register_provider("later", lambda late: (meddle(A, B, late), V())[1], True, False, ["late"])
if method == "get_provider_info":
    # The collector comes at an allocation inside the call; which one
    # depends on the threshold.
    def late(): pass
    deps = ("dep-one", "dep-two")
    c.register_provider("x", late, True, False, deps)
    inside, seen = [], []
    def during_call(phase, info):
        if phase == "start" and inside:
            seen.append(meddle(late, *deps))
    gc.callbacks.append(during_call)
    for i in range(40):
        gc.set_threshold(1 + i % 4)
        gc.collect()
        inside.append(True)
        info = c.get_provider_info("x")
        inside.pop()
        assert info[:3] == (late, True, False) and info[3] == list(deps), info
        del info
    gc.callbacks.remove(during_call)
    assert seen
else:
    for _ in range(5):
        r = getattr(c, method)(["a", "b", "late", "a", "later", "late"])
        assert len(r) == 6 and r[0] is A and r[1] is B and r[3] is A, r
        assert all(type(v) is V and v not in (A, B) for v in (r[2], r[4], r[5])), r
        assert (r[2] is r[5]) == (method == "resolve_many_plan"), r
        del r
print("ok")
"""


@pytest.mark.timeout(120)
@pytest.mark.parametrize("method", ["resolve_many", "resolve_many_plan", "get_provider_info"])
def test_objects_being_built_are_out_of_reach(method):
    """A provider (or a collector callback) that finds every list and tuple
    holding the values of the call, and mangles the lists, neither crashes
    the process nor changes what the call returns."""
    if method == "get_provider_info" and sys.version_info >= (3, 12):
        pytest.skip("the collector no longer runs inside a call that runs no Python code")
    assert run_child(MEDDLER, method).split() == ["ok"]


LEFT_BEHIND = """
import os, sys, tempfile, threading, time, _tarnik_core

c = _tarnik_core.Container()
running = threading.Event()

def napping():
    running.set()
    time.sleep(0.001)

def writing():
    running.set()
    with tempfile.TemporaryFile() as f:
        f.write(b"x" * 4096)
        os.fsync(f.fileno())

def endless():
    running.set()
    while True:
        time.sleep(0.005)

class SlowToGo(object):
    def __del__(self):
        running.set()
        time.sleep(0.02)

def keep_resolving(key):
    while True:
        c.resolve(key)

def keep_dropping():
    while True:
        c.resolve("slow-to-go")
        c.set_cached("slow-to-go", SlowToGo())
        c.register_provider("slow-to-go", SlowToGo, True, False, [])

c.register_provider("napping", napping, False, False, [])
c.register_provider("writing", writing, False, False, [])
c.register_provider("endless", endless, True, False, [])
c.register_provider("slow-to-go", SlowToGo, True, False, [])
targets = {
    "sleeping": [(keep_resolving, "napping")] * 3,
    "writing": [(keep_resolving, "writing")] * 2,
    "waiting": [(c.resolve, "endless"), (keep_resolving, "napping"), (c.get_cached, "napping")],
    "finalizing": [(keep_dropping,)] * 2 + [(keep_resolving, "napping")],
}[sys.argv[1]]
for target in targets:
    threading.Thread(target=target[0], args=target[1:], daemon=True).start()
    running.wait(10)
time.sleep(0.05)
print("ok")
"""


@pytest.mark.timeout(600)
@pytest.mark.parametrize("case", ["sleeping", "writing", "waiting", "finalizing"])
def test_exit_with_daemon_threads_inside_the_container(case):
    """The main thread returns while daemon threads run providers that sleep
    or write files, wait for a container another daemon thread holds, or sit
    in the finalizer of a value the container dropped: the process exits
    normally (it is timing dependent, hence the repeats)."""
    for _ in range(5):
        assert run_child(LEFT_BEHIND, case, timeout=60).split() == ["ok"]


class LyingList(list):
    def __init__(self, items, length):
        list.__init__(self, items)
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length


class LyingSequence(object):
    """Not a list: gives its items through __getitem__ until IndexError."""

    def __init__(self, items, length):
        self.items = items
        self.length = length

    __len__ = LyingList.__len__

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize("kind", [LyingList, LyingSequence])
@pytest.mark.parametrize("length", [sys.maxsize, 10**12, 0, 1, ValueError("no length"), OverflowError()])
def test_key_lists_are_taken_from_iteration_not_length(kind, length):
    c = _tarnik_core.Container()
    c.register_provider("a", lambda: "A", True, False, [])
    c.register_provider("b", lambda: "B", False, False, [])
    keys = kind(["a", "b", "a"], length)
    c.register_provider("x", len, False, False, keys)
    assert c.get_provider_info("x")[3] == ["a", "b", "a"]
    c.begin_override_layer()
    c.set_override("x", len, False, False, keys)
    assert c.get_provider_info("x")[3] == ["a", "b", "a"]
    assert c.resolve_many(keys) == ["A", "B", "A"]
    assert c.resolve_many_plan(keys) == ["A", "B", "A"]


@pytest.mark.parametrize("kind", [LyingList, LyingSequence])
@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, MemoryError])
def test_a_length_that_fails_beyond_an_ordinary_failure_ends_the_call(kind, exc):
    c = _tarnik_core.Container()
    c.register_provider("a", lambda: "A", False, False, [])
    c.begin_override_layer()
    keys = kind(["a"], exc())
    for call in (lambda: c.register_provider("x", len, False, False, keys),
                 lambda: c.set_override("x", len, False, False, keys),
                 lambda: c.resolve_many(keys), lambda: c.resolve_many_plan(keys)):
        with pytest.raises(exc):
            call()
    with pytest.raises(KeyError):
        c.get_provider_info("x")


CHAINED = """
import functools, sys, threading, _tarnik_core

through, kind, size = sys.argv[1], sys.argv[2], int(sys.argv[3]) * 1024
# Far above any depth reached here: only the native stack bounds the chains.
sys.setrecursionlimit(10 ** 6)

def chain(n):
    # Each provider resolves the next key: from the next container, or from
    # the same one (nested calls).
    if through == "containers":
        cs = [_tarnik_core.Container() for _ in range(n)]
        keys = ["k"] * n
    else:
        cs = [_tarnik_core.Container()] * n
        keys = ["k%d" % i for i in range(n)]
    for i in range(n):
        last = i + 1 == n
        cs[i].register_provider(keys[i], (lambda: "end") if last else functools.partial(cs[i + 1].resolve, keys[i + 1]),
                                False, False, [])
    try:
        return cs[0].resolve(keys[0])
    except RecursionError:
        return "RecursionError"

def stack_left():
    # How far the calling thread's native stack reaches below where it
    # stands: its pointer, as Linux reports it for the system call that
    # reads it, above the start of its mapping.
    with open("/proc/thread-self/syscall") as f:
        sp = int(f.read().split()[-2], 16)
    with open("/proc/self/maps") as f:
        for line in f:
            low, high = (int(x, 16) for x in line.split()[0].split("-"))
            if low <= sp < high:
                return sp - low
    return None  # an emulator's own stack pointer, say

def first_call_deep():
    # Goes down through native frames (map calls back into Python code)
    # until less than 200 KiB of the stack is left, and makes the thread's
    # first container call there, which may find no room.
    def down(_):
        left = stack_left()
        if left is None:
            return None
        if left > 200 * 1024:
            return next(map(down, [0]))
        return chain(2)
    return down(0)

def run():
    if kind == "deep" and first_call_deep() not in ("end", "RecursionError"):
        print("unknown: the stack pointer")
        return
    print(chain(5), chain(50000), chain(5))

if kind == "main":
    run()
else:
    try:
        threading.stack_size(size)
    except ValueError:  # smaller than the system's least (128 KiB on aarch64)
        print("unknown: a thread of this size")
        sys.exit()
    t = threading.Thread(target=run)
    t.start()
    t.join()
"""


# Threads of these sizes; a thread whose first container call stands deep in
# its stack; the main thread under this stack limit.
STACKS = [("thread", 64), ("thread", 128), ("thread", 192), ("thread", 256), ("thread", 264), ("thread", 512),
          ("thread", 8192), ("deep", 512), ("main", 264), ("main", 1024)]


@pytest.mark.timeout(300)
@pytest.mark.parametrize("kind, kib", STACKS, ids=["%s-%dK" % s for s in STACKS])
@pytest.mark.parametrize("through", ["containers", "one container"])
def test_a_chain_of_calls_too_deep_for_the_stack_raises_recursion_error(through, kind, kib):
    """Providers that resolve the next key, through many containers or
    nested in one, with the recursion limit out of the way: a chain deeper
    than the native stack allows raises RecursionError instead of crashing,
    and short chains work before and after, on threads of every stack size
    (also one whose first container call stood deep in its stack) and on the
    main thread under a small stack limit."""
    if kind != "thread" and not sys.platform.startswith("linux"):
        pytest.skip("stack limits and stack pointers are read as Linux gives them")
    # The main thread's case runs in an interpreter started under that limit.
    limit = kib * 1024 if kind == "main" else None
    out = run_child(CHAINED, through, kind, str(kib), timeout=240, stack_limit=limit)
    if out.startswith("unknown: "):
        pytest.skip("no way to know %s here" % out.strip()[len("unknown: "):])
    assert out.split() == ["end", "RecursionError", "end"]


DROPPED = """
import functools, sys, threading, weakref, _tarnik_core

class End(object):
    def __call__(self):
        return "end"

def drop(gone):
    # Container i's provider holds container i + 1 through a bound method.
    cs = [_tarnik_core.Container() for _ in range(20000)]
    for a, b in zip(cs, cs[1:]):
        a.register_provider("k", functools.partial(b.resolve, "k"), False, False, [])
    end = End()
    cs[-1].register_provider("k", end, False, False, [])
    gone.append(weakref.ref(end))
    del a, b, end
    del cs[1:]
    del cs[0]

gone = []
threading.stack_size(int(sys.argv[1]) * 1024)
t = threading.Thread(target=drop, args=(gone,))
t.start()
t.join()
print(gone[0]() is None)
"""


@pytest.mark.timeout(300)
# Not 64 KiB: there 3.14 defers every deallocation, of any object, for lack of room.
@pytest.mark.parametrize("stack_kib", [128, 512, 8192])
def test_dropping_a_long_chain_of_containers_frees_it_without_recursion(stack_kib):
    """20,000 containers, each holding the next through its provider,
    dropped at once in a thread: all of them are freed, whatever the
    thread's stack size."""
    assert run_child(DROPPED, str(stack_kib), timeout=240).split() == ["True"]


FORKED = """
import os, sys, threading, time, warnings
hook_first = sys.argv[1] == "hook-first"
if hook_first:
    # Registered before the module is imported, so it runs first in the child.
    os.register_at_fork(after_in_child=lambda: in_child())
import _tarnik_core

warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads
parent = os.getpid()
holder_forks = sys.argv[1] == "holder-forks"
c = _tarnik_core.Container()
inside, done = threading.Event(), threading.Event()
child = []

def held():
    if os.getpid() != parent:
        return "built in the child"
    inside.set()
    if holder_forks:
        threading.Thread(target=c.resolve, args=("quick",), daemon=True).start()
        time.sleep(0.2)  # for that thread to queue for the container
        pid = os.fork()
        if pid == 0:
            child.append(True)
            return "built in the child"
        child.append(pid)
    else:
        done.wait(30)
    return "built in the parent"

c.register_provider("held", held, True, False, [])
c.register_provider("quick", lambda: "quick", False, False, [])
c.register_provider("top", lambda held, quick: (held, quick), False, False, ["held", "quick"])

def in_child():
    c.register_provider("new", lambda: "new", False, False, [])
    c.begin_override_layer()
    c.set_override("quick", lambda: "overridden", False, False, [])
    got = [c.resolve("top"), c.resolve_many(["new", "quick"]), c.resolve_many_plan(["top", "held"])]
    c.end_override_layer()
    got.append(c.get_cached("held"))
    print(repr(got))

if holder_forks:
    c.resolve("held")
    if child == [True]:
        in_child()
        sys.stdout.flush()
        os._exit(0)
    pid = child[0]
else:
    threading.Thread(target=c.resolve, args=("held",), daemon=True).start()
    inside.wait(10)
    threading.Thread(target=c.resolve, args=("quick",), daemon=True).start()
    time.sleep(0.2)  # for that thread to queue for the container
    pid = os.fork()
    if pid == 0:
        if not hook_first:
            in_child()
        sys.stdout.flush()
        os._exit(0)
deadline = time.monotonic() + 20
while time.monotonic() < deadline:
    if os.waitpid(pid, os.WNOHANG)[0]:
        break
    time.sleep(0.01)
else:
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    sys.exit("the child hung")
done.set()
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork() here")
@pytest.mark.timeout(120)
@pytest.mark.parametrize("case", ["other-holds", "holder-forks", "hook-first"])
def test_fork_while_the_container_is_held(case):
    """A child forked while one thread runs a provider and another waits for
    the container: in the child those threads are gone, and the container
    works without them (their keys are not in progress there), also for an
    at-fork hook that runs before the module's own."""
    out = run_child(FORKED, case, timeout=60)
    assert out.splitlines() == [repr([("built in the child", "overridden"), ["new", "overridden"],
                                      [("built in the child", "overridden"), "built in the child"],
                                      "built in the child"])]


FORKS_FROM_C = r"""
import os, subprocess, sys, threading
import _tarnik_core
stop = []
containers = [_tarnik_core.Container() for _ in range(3)]

def churn(i):
    n = 0
    while not stop:
        c = containers[i]
        for k in range(32):
            c.register_provider("k%d" % k, lambda *a: a, True, False, ["k%d" % (k - 1)] if k else [])
        c.resolve("k31")
        c.begin_override_layer()
        c.set_override("k0", object, False, False, [])
        c.end_override_layer()
        containers[i] = _tarnik_core.Container()  # the old one is freed
        n += 1

threads = [threading.Thread(target=churn, args=(i,)) for i in range(3)]
for t in threads:
    t.start()
failed = 0
# The child is forked by C code (no os.fork(); with user=, no vfork either,
# which 3.8 never uses), and runs nothing but C code before exec, while the
# other threads run on.
forked = {"user": os.getuid()} if sys.version_info >= (3, 9) else {}
try:
    for _ in range(100):
        failed += subprocess.run(["/bin/true"], **forked).returncode != 0
finally:
    stop.append(True)
for t in threads:
    t.join()
print(failed)
"""


@pytest.mark.skipif(sys.platform != "linux", reason="subprocess forks (not vfork) with user= on Linux")
@pytest.mark.timeout(300)
def test_forks_from_c_while_other_threads_change_containers():
    """The child of a fork that C code makes while other threads change
    containers (on the free-threaded build, really at the same time) starts
    cleanly: what runs inside fork() touches no container."""
    assert run_child(FORKS_FROM_C, timeout=240).split() == ["0"]
