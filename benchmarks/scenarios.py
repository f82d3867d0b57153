"""The measured scenarios: each pairs a container operation with a plain-Python
floor that does the same work with the same keys and the same callables.

Every scenario runs once per callable kind (``KINDS``): cheap callables
implemented in C (``object``, ``slice``, ``BaseException``), where the
container's own cost shows most, and small Python classes.
"""

import random
from dataclasses import dataclass

from _tarnik_core import Container

from harness import Body, rss_bytes, time_once_ns, unrolled


# Python components shared by the scenarios and the peer libraries. They are
# cheap on purpose: the cheaper the callable, the more the container's own
# cost shows. Type hints let the type-driven peers wire them.

class Settings:
    __slots__ = ()


class Session:
    __slots__ = ()


class RepoA:
    __slots__ = ("session",)

    def __init__(self, session: Session):
        self.session = session


class RepoB:
    __slots__ = ("session",)

    def __init__(self, session: Session):
        self.session = session


class ServiceA:
    __slots__ = ("repo",)

    def __init__(self, repo: RepoA):
        self.repo = repo


class ServiceB:
    __slots__ = ("repo",)

    def __init__(self, repo: RepoB):
        self.repo = repo


class UseCase:
    __slots__ = ("a", "b")

    def __init__(self, a: ServiceA, b: ServiceB):
        self.a = a
        self.b = b


class Pair:
    __slots__ = ("a", "b")

    def __init__(self, a, b):
        self.a = a
        self.b = b


class Node:
    __slots__ = ("args",)

    def __init__(self, *args):
        self.args = args


def _chain_classes(depth=10):
    """``Chain0`` .. ``Chain{depth-1}``: each takes the next one (type-hinted)."""
    classes = [type(f"Chain{depth - 1}", (), {"__slots__": (), "__module__": __name__})]
    for i in range(depth - 2, -1, -1):
        def __init__(self, dep):
            self.dep = dep
        __init__.__annotations__ = {"dep": classes[0], "return": None}
        __init__.__qualname__ = f"Chain{i}.__init__"
        classes.insert(0, type(f"Chain{i}", (), {"__slots__": ("dep",), "__init__": __init__,
                                                  "__module__": __name__}))
    return tuple(classes)


CHAIN = _chain_classes()


@dataclass(frozen=True)
class Kind:
    """The callables a scenario is built from, by role."""

    name: str
    title: str
    leaf: object   # no arguments
    two: object    # two arguments
    many: object   # any number of arguments
    chain: tuple   # 10 callables: chain[i] takes the value of chain[i + 1]
    graph: tuple   # callables for the keys of REQUEST_GRAPH, in order


KINDS = (
    Kind("c", "C callables", object, slice, BaseException,
         (slice,) * 9 + (object,), (object, slice, slice, slice, slice, slice)),
    Kind("py", "Python classes", Session, Pair, Node,
         CHAIN, (Session, RepoA, RepoB, ServiceA, ServiceB, UseCase)),
)


def parts(value):
    """What a built value was given, in argument order (for the checks)."""
    if isinstance(value, slice):
        return [v for v in (value.start, value.stop, value.step) if v is not None]
    if hasattr(value, "args"):
        return list(value.args)
    return [getattr(value, name) for name in getattr(type(value), "__slots__", ())]


def check_built(graph, keys, values):
    """Values built from ``graph`` ({key: (callable, dep keys)}) are right:
    the right callable at every node, and one object per key (no key built
    twice within one tree; callers check across trees)."""
    seen = {}
    stack = list(zip(keys, values))
    while stack:
        key, value = stack.pop()
        if key in seen:
            assert seen[key] is value, f"{key} built twice"
            continue
        seen[key] = value
        factory, deps = graph[key]
        assert type(value) is factory, (key, value)
        got = parts(value)
        assert len(got) == len(deps), (key, got)
        stack.extend(zip(deps, got))
    return seen


def container_of(graph, singleton=False):
    c = Container()
    for key, (factory, deps) in graph.items():
        c.register_provider(key, factory, singleton, False, list(deps))
    return c


def by_hand(graph, root):
    """The nested direct calls that build ``root``: ``(statement, names)``."""
    names = {}

    def expr(key):
        factory, deps = graph[key]
        name = names.setdefault(factory, f"f{len(names)}")
        return f"{name}({', '.join(map(expr, deps))})"

    statement = expr(root)
    return statement, {name: factory for factory, name in names.items()}


# key, dependency keys: the request graph (use case -> two services -> two
# repositories -> one shared session).
REQUEST_GRAPH = [
    ("session", ()),
    ("repo_a", ("session",)),
    ("repo_b", ("session",)),
    ("service_a", ("repo_a",)),
    ("service_b", ("repo_b",)),
    ("use_case", ("service_a", "service_b")),
]


def request_graph(kind):
    return {key: (factory, deps) for (key, deps), factory in zip(REQUEST_GRAPH, kind.graph)}


@dataclass
class Scenario:
    name: str
    title: str
    floor: str
    goal: float
    build: object  # build(kind, quick) -> (floor Body, subject Body)
    quick_title: str = ""  # the title when --quick shrinks the scenario


def _thousand(kind):
    """1,000 held singletons, as our container and as a plain dict."""
    keys = [f"app.component_{i:04d}" for i in range(1000)]
    c = container_of({key: (kind.leaf, ()) for key in keys}, singleton=True)
    table = {key: c.resolve(key) for key in keys}
    assert all(c.resolve(key) is value for key, value in table.items())
    return keys, table, c


def build_singleton(kind, quick):
    keys, table, c = _thousand(kind)
    key = keys[len(keys) // 2]
    return (unrolled("get(k)", get=table.get, k=key),
            unrolled("resolve(k)", resolve=c.resolve, k=key))


def build_transient(kind, quick):
    keys, table, c = _thousand(kind)
    key = "request.session"
    table[key] = kind.leaf
    c.register_provider(key, kind.leaf, False, False, [])
    assert type(c.resolve(key)) is kind.leaf and c.resolve(key) is not c.resolve(key)
    return (unrolled("get(k)()", get=table.get, k=key),
            unrolled("resolve(k)", resolve=c.resolve, k=key))


def _tree(graph, root):
    """Floor and subject for resolving a tree of transients by ``resolve``."""
    c = container_of(graph)
    first, second = c.resolve(root), c.resolve(root)
    seen = check_built(graph, [root], [first])
    assert not any(v is w for v, w in zip(seen.values(), check_built(graph, [root], [second]).values()))
    statement, names = by_hand(graph, root)
    check_built(graph, [root], [eval(statement, names)])
    return unrolled(statement, **names), unrolled("resolve(k)", resolve=c.resolve, k=root)


def build_chain10(kind, quick):
    keys = [f"chain.{i}" for i in range(10)]
    graph = {key: (kind.chain[i], tuple(keys[i + 1:i + 2])) for i, key in enumerate(keys)}
    return _tree(graph, keys[0])


def build_fanout(kind, quick):
    mids = [f"fan.mid_{i:02d}" for i in range(20)]
    graph = {"fan.root": (kind.many, tuple(mids))}
    for mid in mids:
        leaves = (mid + ".leaf_0", mid + ".leaf_1")
        graph[mid] = (kind.two, leaves)
        graph.update((leaf, (kind.leaf, ())) for leaf in leaves)
    assert len(graph) == 61
    return _tree(graph, "fan.root")


def build_graph6(kind, quick):
    """A plan builds every key once: both branches share the request's session."""
    graph = request_graph(kind)
    c = container_of(graph)
    request = ["use_case"]
    first, second = (check_built(graph, request, c.resolve_many_plan(request)) for _ in range(2))
    assert first["session"] is not second["session"]
    names = dict(zip(("S", "RA", "RB", "SA", "SB", "U"), kind.graph))
    statement = "s = S(); U(SA(RA(s)), SB(RB(s)))"
    built = dict(names)
    exec(statement.replace("U(", "use_case = U("), built)
    check_built(graph, request, [built["use_case"]])
    return (unrolled(statement, **names),
            unrolled("plan(req)", plan=c.resolve_many_plan, req=request))


def _random_dag(nodes=1000, requested=100, seed=20240611):
    """A seeded random DAG: each node depends on up to three earlier nodes."""
    rng = random.Random(seed)
    keys = [f"dag.node_{i:04d}" for i in range(nodes)]
    deps = [tuple(keys[j] for j in rng.sample(range(i), min(i, rng.randint(0, 3))))
            for i in range(nodes)]
    return keys, dict(zip(keys, deps)), rng.sample(keys, requested)


def _dependency_order(graph, requested):
    """Dependencies first, each key once: the order a plan executes."""
    order, done = [], set()
    for root in requested:
        stack = [(root, iter(graph[root][1]))]
        while stack:
            key, pending = stack[-1]
            dep = next(pending, None)
            if dep is None:
                stack.pop()
                if key not in done:
                    done.add(key)
                    order.append(key)
            elif dep not in done:
                stack.append((dep, iter(graph[dep][1])))
    return order


def build_by_order(steps, requested):
    """The floor for a plan: a Python loop over a precomputed order."""
    values = {}
    get = values.__getitem__
    for key, factory, deps in steps:
        values[key] = factory(*map(get, deps))
    return [values[key] for key in requested]


def build_dag(kind, quick):
    keys, deps, requested = _random_dag()
    graph = {key: (kind.many, deps[key]) for key in keys}
    c = container_of(graph)
    steps = [(key, kind.many, deps[key]) for key in _dependency_order(graph, requested)]
    check_built(graph, requested, c.resolve_many_plan(requested))
    check_built(graph, requested, build_by_order(steps, requested))
    return (unrolled("build(steps, req)", 1, build=build_by_order, steps=steps, req=requested),
            unrolled("plan(req)", 1, plan=c.resolve_many_plan, req=requested))


def build_many100(kind, quick):
    keys, table, c = _thousand(kind)
    wanted = keys[::10]
    get = table.get
    assert c.resolve_many(wanted) == [get(k) for k in wanted]
    return (unrolled("[get(k) for k in keys]", 1, get=get, keys=wanted),
            unrolled("many(keys)", 1, many=c.resolve_many, keys=wanted))


def build_override(kind, quick):
    keys, table, c = _thousand(kind)
    key, f, d = keys[len(keys) // 2], kind.leaf, []
    floor = "L = {}; L[k] = (f, False, False, d); L[k]; del L[k]"
    subject = "begin(); override(k, f, False, False, d); resolve(k); end()"
    c.begin_override_layer()
    c.set_override(key, f, False, False, d)
    assert type(c.resolve(key)) is f and c.resolve(key) is not table[key]
    c.end_override_layer()
    assert c.resolve(key) is table[key]
    return (unrolled(floor, k=key, f=f, d=d),
            unrolled(subject, begin=c.begin_override_layer, override=c.set_override,
                     resolve=c.resolve, end=c.end_override_layer, k=key, f=f, d=d))


def build_register(kind, quick):
    count = 10_000 if quick else 100_000
    keys = [f"reg.provider_{i:06d}" for i in range(count)]
    items = [(key, [keys[i - 1], keys[i - 2]]) for i, key in enumerate(keys)]
    f = kind.leaf

    def floor(n):
        for _ in range(n):
            table = {}
            for key, deps in items:
                table[key] = (f, True, False, deps)

    def subject(n):
        for _ in range(n):
            register = Container().register_provider
            for key, deps in items:
                register(key, f, True, False, deps)

    return Body(floor, count), Body(subject, count)


# The chain of a small container: each key depends on the one before.
SMALL_KEYS = ("app.config", "app.database", "app.repository")


def build_small(kind, quick):
    """A container's whole life: made, three providers registered (two with
    one dependency), the end of the chain resolved, dropped. The floor keeps
    the same registrations in a dict of tuples and makes the same calls."""
    k0, k1, k2 = SMALL_KEYS
    f2, f1, f0 = kind.chain[-3:]
    names = dict(C=Container, k0=k0, k1=k1, k2=k2, f0=f0, f1=f1, f2=f2)
    floor = ("d = {}; d[k0] = (f0, False, False, []); d[k1] = (f1, False, False, [k0]); "
             "d[k2] = (f2, False, False, [k1]); f2(f1(f0())); del d")
    subject = ("c = C(); c.register_provider(k0, f0, False, False, []); "
               "c.register_provider(k1, f1, False, False, [k0]); "
               "c.register_provider(k2, f2, False, False, [k1]); c.resolve(k2); del c")
    graph = {k0: (f0, ()), k1: (f1, (k0,)), k2: (f2, (k1,))}
    for statement, last in ((floor, "f2(f1(f0()))"), (subject, "c.resolve(k2)")):
        made = dict(names)
        exec(statement.replace(last, "v = " + last), made)
        check_built(graph, [k2], [made["v"]])
    return unrolled(floor, **names), unrolled(subject, **names)


SCENARIOS = [
    Scenario("singleton", "resolve: held singleton among 1,000 keys",
             "bound dict.get(key)", 1.25, build_singleton),
    Scenario("transient", "resolve: transient, no dependencies",
             "d.get(key)()", 1.2, build_transient),
    Scenario("chain10", "resolve: 10-deep chain of transients",
             "nested direct calls, no lookups", 1.5, build_chain10),
    Scenario("fanout61", "resolve: 61-call fan-out (1 + 20 + 40)",
             "nested direct calls, no lookups", 1.25, build_fanout),
    Scenario("graph6", "resolve_many_plan: 6-object request graph, shared session",
             "same objects built by hand", 1.15, build_graph6),
    Scenario("dag1000", "resolve_many_plan: 100 keys, 1,000-node DAG",
             "Python loop over precomputed order", 1.2, build_dag),
    Scenario("many100", "resolve_many: 100 held singletons",
             "list comprehension of dict.get", 1.5, build_many100),
    Scenario("override", "begin layer, set_override, resolve, end layer",
             "L = {}, store, load, delete", 2.5, build_override),
    Scenario("register", "register_provider: 100,000 (2 dep keys) into a fresh container",
             "d[k] = tuple", 1.5, build_register,
             "register_provider: 10,000 (2 dep keys) into a fresh container"),
    Scenario("small", "make a container, register 3 (a chain), resolve its end, drop",
             "dict of tuples, direct calls", 1.5, build_small),
]

MEMORY_GOAL = 1.5
SMALL_MEMORY_GOAL = 2.0  # a container of 3 providers against a dict of tuples
SMALL_MEMORY_GOAL_FREE_THREADED = 3.0


# --- Containers by size: memory per container, registration time per key ---

def size_counts(quick):
    """Keys per container, and how many containers of each size are measured:
    enough for the floor to grow by some 10 MB, far above what the allocator
    keeps in reserve."""
    big = 100_000 if quick else 1_000_000
    counts = {0: 200_000, 1: 50_000, 3: 20_000, 10: 10_000, 1_000: 100, big: 1}
    return {size: max(1, count // 10) if quick and size < big else count for size, count in counts.items()}


def small_memory_child(side, size, count, kind_name):
    """Bytes per container: RSS growth while ``count`` containers holding a
    chain of ``size`` providers (each key depends on the one before) are made
    and kept, against as many dicts of key -> (callable, flag, flag, list).
    The keys are made before and shared; each container or dict gets its own
    dependency lists, as hand-written registrations would."""
    import gc

    f = next(k for k in KINDS if k.name == kind_name).leaf
    keys = [f"small.key_{i:07d}" for i in range(size)]

    def make():
        if side == "ours":
            c = Container()
            register = c.register_provider
            for i, key in enumerate(keys):
                register(key, f, False, False, [keys[i - 1]] if i else [])
        else:
            c = {}
            for i, key in enumerate(keys):
                c[key] = (f, False, False, [keys[i - 1]] if i else [])
        return c

    warm = [make() for _ in range(count // 1000)]  # code paths and allocator pools
    del warm
    held = [None] * count
    gc.collect()
    before = rss_bytes()
    for i in range(count):
        held[i] = make()
    gc.collect()
    after = rss_bytes()
    return {"bytes_per_container": (after - before) / count}


def fill_bodies(size):
    """Registering ``size`` providers (a chain) into a fresh container, against
    storing as many tuples into a fresh dict: the time per key."""
    keys = [f"fill.key_{i:07d}" for i in range(size)]
    items = [(key, [keys[i - 1]] if i else []) for i, key in enumerate(keys)]
    f = KINDS[0].leaf

    def floor(n):
        for _ in range(n):
            table = {}
            for key, deps in items:
                table[key] = (f, False, False, deps)

    def subject(n):
        for _ in range(n):
            register = Container().register_provider
            for key, deps in items:
                register(key, f, False, False, deps)

    c = Container()
    for key, deps in items:
        c.register_provider(key, f, False, False, deps)
    assert all(c.get_provider_info(key)[3] == deps for key, deps in items)
    return Body(floor, size), Body(subject, size)


# --- Memory per provider, measured in a fresh interpreter by the RSS delta ---

def memory_child(side, count, kind_name):
    """Bytes per provider: RSS growth while ``count`` providers (20-character
    key, a list of 2 dependency keys) are stored, keys and lists built before
    and excluded; for ``floor-traced`` the floor's growth by tracemalloc."""
    import gc
    import tracemalloc

    f = next(k for k in KINDS if k.name == kind_name).leaf
    traced = side == "floor-traced"

    def fill(keys, deps):
        if side == "ours":
            held = Container()
            register = held.register_provider
            for key, dep in zip(keys, deps):
                register(key, f, True, False, dep)
        else:
            held = {}
            for key, dep in zip(keys, deps):
                held[key] = (f, True, False, dep)
        return held

    def inputs(n):
        keys = [f"mem.provider_{i:07d}" for i in range(n)]
        assert len(keys[-1]) == 20
        return keys, [[keys[i - 1], keys[i - 2]] for i in range(n)]

    fill(*inputs(1000))  # warm up code paths and allocator pools
    keys, deps = inputs(count)
    gc.collect()
    if traced:
        tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0] if traced else rss_bytes()
    held = fill(keys, deps)
    gc.collect()
    after = tracemalloc.get_traced_memory()[0] if traced else rss_bytes()
    assert held is not None
    return {"bytes_per_provider": (after - before) / count}


# --- Very deep chains: time per level, in a fresh interpreter per run ---

def relay(dep):
    return dep


def _chain_walk(depth):
    """The floor for a deep chain: a Python walk over a dict of the same chain.

    Per level it does what resolution does: one dict lookup, one insert into
    and one removal from an in-progress set, and one call. Its time per level
    grows with depth for the same reason ours does (maps that outgrow the CPU
    caches), so linearity is judged against it.
    """
    table = {f"deep.{i}": (relay, (f"deep.{i + 1}",)) for i in range(depth - 1)}
    table[f"deep.{depth - 1}"] = (Session, ())

    def walk(key="deep.0"):
        in_progress, path = set(), []
        while True:
            in_progress.add(key)
            path.append(key)
            factory, deps = table[key]
            if not deps:
                break
            key = deps[0]
        value = factory()
        in_progress.discard(path.pop())
        while path:
            key = path.pop()
            value = table[key][0](value)
            in_progress.discard(key)
        return value

    return walk


def chain_child(depth, method, rounds):
    """``method`` on a ``depth``-deep chain of transients and the Python walk
    over the same chain, alternated; the fastest run of each, in ns per level."""
    c = Container()
    c.register_provider(f"deep.{depth - 1}", Session, False, False, [])
    for i in range(depth - 1):
        c.register_provider(f"deep.{i}", relay, False, False, [f"deep.{i + 1}"])
    ours = {
        "resolve": lambda: c.resolve("deep.0"),
        "resolve_many": lambda: c.resolve_many(["deep.0"])[0],
        "resolve_many_plan": lambda: c.resolve_many_plan(["deep.0"])[0],
    }[method]
    walk = _chain_walk(depth)
    assert type(ours()) is Session and type(walk()) is Session
    times = {ours: [], walk: []}
    for round_no in range(rounds):
        for fn in ((ours, walk) if round_no % 2 == 0 else (walk, ours)):
            times[fn].append(time_once_ns(fn))
    return {"ns_per_level": min(times[ours]) / depth,
            "floor_ns_per_level": min(times[walk]) / depth}


# --- Contention: threads that queue for one container's lock ---

CONTENDED_KEY = "contended.slow"
CONTENDED_WORK = 300  # loop turns in the provider: a few microseconds, far more than a call costs


def slow_provider(work=CONTENDED_WORK):
    """A transient's callable that keeps the container held for a while."""
    turns = range(work)

    def slow():
        for _ in turns:
            pass
        return turns
    return slow


def _contend(threads, seconds, step, warm_up=0.1):
    """``threads`` threads that start together and call ``step()`` for
    ``warm_up`` + ``seconds``: the calls each thread made in the last
    ``seconds``, once every thread has had time to join the queue (a thread
    released first runs alone until the others get the processor)."""
    import threading
    import time

    start = []
    barrier = threading.Barrier(threads, action=lambda: start.append(time.perf_counter()))
    counts = [0] * threads
    errors = []

    def worker(slot):
        count = before = 0
        try:
            barrier.wait()
            begin, end = start[0] + warm_up, start[0] + warm_up + seconds
            while True:
                now = time.perf_counter()
                if now >= end:
                    break
                if now < begin:
                    before += 1
                step()
                count += 1
        except Exception as exc:  # a wrong answer under threads is a result too
            errors.append(f"{type(exc).__name__}: {exc}")
        counts[slot] = count - before

    workers = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
    for t in workers:
        t.start()
    for t in workers:
        t.join()
    if errors:
        raise RuntimeError(f"{len(errors)} of {threads} thread(s) failed, first: {errors[0]}")
    return counts, seconds


def contention(threads, seconds=0.3, rounds=3, work=CONTENDED_WORK):
    """``threads`` threads resolving one transient whose provider is slow, so
    that they queue for the container's lock, against the same calls made
    under one ``threading.Lock``; the two sides alternate, ``rounds`` times.

    Returns the median over the rounds of: the time per call, ours / the
    floor's (``ratio``), and for each side the spread of the per-thread counts,
    (most - fewest) / mean: 0 when every thread got as many turns as the others."""
    import statistics
    import threading

    slow = slow_provider(work)
    c = Container()
    c.register_provider(CONTENDED_KEY, slow, False, False, [])
    assert c.resolve(CONTENDED_KEY) is slow()
    resolve, lock, table = c.resolve, threading.Lock(), {CONTENDED_KEY: slow}

    def floor():
        with lock:
            table[CONTENDED_KEY]()

    def ours():
        resolve(CONTENDED_KEY)

    def spread(counts):
        return (max(counts) - min(counts)) / statistics.mean(counts) if sum(counts) else float("inf")

    got = {"floor": [], "ours": []}
    for round_no in range(rounds):
        for side in (("floor", "ours") if round_no % 2 == 0 else ("ours", "floor")):
            counts, elapsed = _contend(threads, seconds, floor if side == "floor" else ours)
            got[side].append((elapsed / max(sum(counts), 1), spread(counts), counts))
    floor_per_op = statistics.median(g[0] for g in got["floor"])
    ours_per_op = statistics.median(g[0] for g in got["ours"])
    return {"threads": threads, "floor_per_op": floor_per_op * 1e9, "subject_per_op": ours_per_op * 1e9,
            "ratio_median": statistics.median(o[0] / f[0] for o, f in zip(got["ours"], got["floor"])),
            "spread": statistics.median(g[1] for g in got["ours"]),
            "floor_spread": statistics.median(g[1] for g in got["floor"]),
            "counts": [g[2] for g in got["ours"]], "floor_counts": [g[2] for g in got["floor"]]}
