"""The measured scenarios: each pairs a container operation with a plain-Python
floor that does the same work with the same keys and the same callables."""

import random
from dataclasses import dataclass

from _tarnik_core import Container

from harness import Body, rss_bytes, time_once_ns, unrolled


# Components shared by the scenarios and the peer libraries. They are cheap on
# purpose: the cheaper the callable, the more the container's own cost shows.

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


class Link:
    __slots__ = ("dep",)

    def __init__(self, dep):
        self.dep = dep


def relay(dep):
    return dep


def node(*deps):
    return deps


# key, callable, dependency keys: the request graph (use case -> two services
# -> two repositories -> one shared session).
REQUEST_GRAPH = [
    ("session", Session, ()),
    ("repo_a", RepoA, ("session",)),
    ("repo_b", RepoB, ("session",)),
    ("service_a", ServiceA, ("repo_a",)),
    ("service_b", ServiceB, ("repo_b",)),
    ("use_case", UseCase, ("service_a", "service_b")),
]


def request_container():
    """Our container for the request graph plus one singleton ``settings``."""
    c = Container()
    c.register_provider("settings", Settings, True, False, ())
    for key, factory, deps in REQUEST_GRAPH:
        c.register_provider(key, factory, False, False, deps)
    return c


def check_request(use_case):
    """A request graph is right when both branches share one session."""
    assert type(use_case) is UseCase, use_case
    assert use_case.a.repo.session is use_case.b.repo.session
    assert type(use_case.a.repo.session) is Session


@dataclass
class Scenario:
    name: str
    title: str
    floor: str
    goal: float
    build: object  # build(quick) -> (floor Body, subject Body)
    quick_title: str = ""  # the title when --quick shrinks the scenario


def _thousand():
    """1,000 cached singletons, as our container and as a plain dict."""
    keys = [f"app.component_{i:04d}" for i in range(1000)]
    c = Container()
    for key in keys:
        c.register_provider(key, Settings, True, False, ())
    table = {key: c.resolve(key) for key in keys}
    assert all(c.resolve(key) is value for key, value in table.items())
    return keys, table, c


def build_singleton(quick):
    keys, table, c = _thousand()
    key = keys[len(keys) // 2]
    return (unrolled("get(k)", get=table.get, k=key),
            unrolled("resolve(k)", resolve=c.resolve, k=key))


def build_transient(quick):
    keys, table, c = _thousand()
    key = "request.session"
    table[key] = Session
    c.register_provider(key, Session, False, False, ())
    assert type(c.resolve(key)) is Session and c.resolve(key) is not c.resolve(key)
    return (unrolled("get(k)()", get=table.get, k=key),
            unrolled("resolve(k)", resolve=c.resolve, k=key))


def build_chain10(quick):
    c = Container()
    for i in range(9):
        c.register_provider(f"chain.{i}", Link, False, False, (f"chain.{i + 1}",))
    c.register_provider("chain.9", Session, False, False, ())
    value, depth = c.resolve("chain.0"), 1
    while type(value) is Link:
        value, depth = value.dep, depth + 1
    assert depth == 10 and type(value) is Session
    by_hand = "Link(" * 9 + "Session()" + ")" * 9
    return (unrolled(by_hand, Link=Link, Session=Session),
            unrolled("resolve(k)", resolve=c.resolve, k="chain.0"))


def build_graph6(quick):
    c = request_container()
    request = ["use_case"]
    check_request(c.resolve_many_plan(request)[0])
    by_hand = "s = Session(); UseCase(ServiceA(RepoA(s)), ServiceB(RepoB(s)))"
    names = dict(Session=Session, RepoA=RepoA, RepoB=RepoB,
                 ServiceA=ServiceA, ServiceB=ServiceB, UseCase=UseCase)
    return (unrolled(by_hand, **names),
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
        stack = [(root, iter(graph[root]))]
        while stack:
            key, pending = stack[-1]
            dep = next(pending, None)
            if dep is None:
                stack.pop()
                if key not in done:
                    done.add(key)
                    order.append(key)
            elif dep not in done:
                stack.append((dep, iter(graph[dep])))
    return order


def build_by_order(steps, requested):
    """The floor for a plan: a Python loop over a precomputed order."""
    values = {}
    get = values.__getitem__
    for key, factory, deps in steps:
        values[key] = factory(*map(get, deps))
    return [values[key] for key in requested]


def build_dag(quick):
    keys, graph, requested = _random_dag()
    c = Container()
    for key in keys:
        c.register_provider(key, node, False, False, graph[key])
    steps = [(key, node, graph[key]) for key in _dependency_order(graph, requested)]
    assert c.resolve_many_plan(requested) == build_by_order(steps, requested)
    return (unrolled("build(steps, req)", 1, build=build_by_order, steps=steps, req=requested),
            unrolled("plan(req)", 1, plan=c.resolve_many_plan, req=requested))


def build_many100(quick):
    keys, table, c = _thousand()
    wanted = keys[::10]
    get = table.get
    assert c.resolve_many(wanted) == [get(k) for k in wanted]
    return (unrolled("[get(k) for k in keys]", 1, get=get, keys=wanted),
            unrolled("many(keys)", 1, many=c.resolve_many, keys=wanted))


def build_override(quick):
    keys, table, c = _thousand()
    key = keys[len(keys) // 2]
    layers = []
    floor = ("layers.append({}); layers[-1][k] = (Session, False, False, ()); "
             "layers[-1].get(k)[0](); layers.pop()")
    subject = "begin(); override(k, Session, False, False, ()); resolve(k); end()"
    c.begin_override_layer()
    c.set_override(key, Session, False, False, ())
    assert type(c.resolve(key)) is Session
    c.end_override_layer()
    assert c.resolve(key) is table[key]
    return (unrolled(floor, layers=layers, k=key, Session=Session),
            unrolled(subject, begin=c.begin_override_layer, override=c.set_override,
                     resolve=c.resolve, end=c.end_override_layer, k=key, Session=Session))


def build_register(quick):
    count = 10_000 if quick else 100_000
    keys = [f"reg.provider_{i:06d}" for i in range(count)]
    items = [(key, (keys[i - 1], keys[i - 2])) for i, key in enumerate(keys)]

    def floor(n):
        for _ in range(n):
            table = {}
            for key, deps in items:
                table[key] = (Session, True, False, deps)

    def subject(n):
        for _ in range(n):
            c = Container()
            register = c.register_provider
            for key, deps in items:
                register(key, Session, True, False, deps)

    return Body(floor, count), Body(subject, count)


SCENARIOS = [
    Scenario("singleton", "resolve: cached singleton among 1,000 keys",
             "bound dict.get(key)", 1.5, build_singleton),
    Scenario("transient", "resolve: transient, no dependencies",
             "dict.get(key)() direct call", 1.3, build_transient),
    Scenario("chain10", "resolve: 10-deep chain of transients",
             "the 10 calls made directly", 1.3, build_chain10),
    Scenario("graph6", "resolve_many_plan: 6-node request graph",
             "same objects built by hand", 1.25, build_graph6),
    Scenario("dag1000", "resolve_many_plan: 100 keys, 1,000-node DAG",
             "Python loop over precomputed order", 1.2, build_dag),
    Scenario("many100", "resolve_many: 100 cached singletons",
             "list comprehension of dict.get", 1.5, build_many100),
    Scenario("override", "push, set_override, resolve, pop",
             "four dict operations", 2.0, build_override),
    Scenario("register", "register_provider: 100,000 providers",
             "as many tuples into a dict", 2.0, build_register,
             "register_provider: 10,000 providers"),
]

MEMORY_GOAL = 2.0


# --- Memory per provider, measured in a fresh interpreter by the RSS delta ---

def _fill(side, count):
    """``count`` providers with a 20-character key and two dependency keys."""
    held = Container() if side == "ours" else {}
    register = held.register_provider if side == "ours" else None
    prev1 = prev2 = "mem.provider_seed000"
    for i in range(count):
        key = f"mem.provider_{i:07d}"
        if register is not None:
            register(key, Session, True, False, (prev1, prev2))
        else:
            held[key] = (Session, True, False, (prev1, prev2))
        prev1, prev2 = key, prev1
    return held


def memory_child(side, count):
    """Bytes per provider: RSS delta (and, for the floor, tracemalloc too)."""
    import gc
    import tracemalloc

    _fill(side, 1000)  # warm up code paths and allocator pools
    gc.collect()
    traced = side == "floor-traced"
    if traced:
        tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0] if traced else rss_bytes()
    held = _fill("floor" if traced else side, count)
    gc.collect()
    after = tracemalloc.get_traced_memory()[0] if traced else rss_bytes()
    assert side == "ours" or len(held) == count
    return {"bytes_per_provider": (after - before) / count}


# --- Very deep chains: time per level, in a fresh interpreter per run ---

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
    c.register_provider(f"deep.{depth - 1}", Session, False, False, ())
    for i in range(depth - 1):
        c.register_provider(f"deep.{i}", relay, False, False, (f"deep.{i + 1}",))
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
