"""Peer dependency-injection libraries, each set up in its own idiomatic form
and resolved its fastest documented way, for four shared scenarios:

- ``singleton``: a held singleton (``Settings``);
- ``transient``: a transient with dependencies (``ServiceA`` -> ``RepoA`` ->
  ``Session``, all built anew on each resolution);
- ``chain10``: a 10-deep chain of transients (``Chain0`` -> ... -> ``Chain9``);
- ``graph``: the 6-object request graph, with one ``Session`` shared by both
  branches of a request and a new one for the next request.

All sides use the same Python classes (the type-driven peers read their
hints). Each adapter returns ``{scenario: (statement, names)}``; the statement
is an expression timed in an unrolled loop with ``names`` as locals. Every
statement is checked for the right semantics before it is timed, so no peer is
timed doing less work than asked.
"""

from importlib import metadata

from scenarios import (CHAIN, KINDS, RepoA, RepoB, ServiceA, ServiceB, Session, Settings, UseCase,
                       check_built, container_of, request_graph)

SHARED = ("singleton", "transient", "chain10", "graph")
TITLES = {
    "singleton": "held singleton",
    "transient": "transient with dependencies",
    "chain10": "10-deep chain of transients",
    "graph": "6-object graph, shared session",
}
# ours / peer at most this, against every peer (graph: against the fastest)
GOALS = {"singleton": 0.5, "transient": 0.5, "chain10": 0.5, "graph": 1 / 1.5}
COMPONENTS = (Session, RepoA, RepoB, ServiceA, ServiceB, UseCase)
PY = next(kind for kind in KINDS if kind.name == "py")
GRAPH = request_graph(PY)
CHAIN_GRAPH = {f"chain.{i}": (cls, (f"chain.{i + 1}",) if i < 9 else ()) for i, cls in enumerate(CHAIN)}


def ours():
    c = container_of(dict(GRAPH, **CHAIN_GRAPH))
    c.register_provider("settings", Settings, True, False, [])
    return {
        "singleton": ("resolve(k)", dict(resolve=c.resolve, k="settings")),
        "transient": ("resolve(k)", dict(resolve=c.resolve, k="service_a")),
        "chain10": ("resolve(k)", dict(resolve=c.resolve, k="chain.0")),
        "graph": ("plan(req)[0]", dict(plan=c.resolve_many_plan, req=["use_case"])),
    }


def dependency_injector():
    from dependency_injector import containers, providers

    class Services(containers.DeclarativeContainer):
        settings = providers.Singleton(Settings)
        session = providers.Factory(Session)
        repo_a = providers.Factory(RepoA, session=session)
        service_a = providers.Factory(ServiceA, repo=repo_a)

    class Request(containers.DeclarativeContainer):
        # One session per request: a singleton that the request resets.
        session = providers.Singleton(Session)
        use_case = providers.Factory(
            UseCase,
            a=providers.Factory(ServiceA, repo=providers.Factory(RepoA, session=session)),
            b=providers.Factory(ServiceB, repo=providers.Factory(RepoB, session=session)),
        )

    chain = providers.Factory(CHAIN[-1])
    for cls in reversed(CHAIN[:-1]):
        chain = providers.Factory(cls, chain)
    services, request = Services(), Request()

    def handle_request(reset=request.session.reset, use_case=request.use_case):
        reset()
        return use_case()

    return {
        "singleton": ("get()", dict(get=services.settings)),
        "transient": ("get()", dict(get=services.service_a)),
        "chain10": ("get()", dict(get=chain)),
        "graph": ("handle()", dict(handle=handle_request)),
    }


def rodi():
    from rodi import Container

    services = Container()
    services.add_singleton(Settings)
    for cls in COMPONENTS + CHAIN:
        services.add_transient(cls)
    request = Container()
    request.add_scoped(Session)  # one per get(): each get() opens its own scope
    for cls in COMPONENTS[1:]:
        request.add_transient(cls)
    get, get_request = services.build_provider().get, request.build_provider().get
    return {
        "singleton": ("get(T)", dict(get=get, T=Settings)),
        "transient": ("get(T)", dict(get=get, T=ServiceA)),
        "chain10": ("get(T)", dict(get=get, T=CHAIN[0])),
        "graph": ("get(T)", dict(get=get_request, T=UseCase)),
    }


def dishka():
    from dishka import Provider, Scope, make_container

    app = Provider(scope=Scope.APP)
    app.provide(Settings)
    for cls in COMPONENTS + CHAIN:
        app.provide(cls, cache=False)
    per_request = Provider(scope=Scope.REQUEST)
    per_request.provide_all(*COMPONENTS)
    app_container, request_container_ = make_container(app), make_container(per_request)

    def handle_request(enter=request_container_):
        with enter() as scope:
            return scope.get(UseCase)

    return {
        "singleton": ("get(T)", dict(get=app_container.get, T=Settings)),
        "transient": ("get(T)", dict(get=app_container.get, T=ServiceA)),
        "chain10": ("get(T)", dict(get=app_container.get, T=CHAIN[0])),
        "graph": ("handle()", dict(handle=handle_request)),
    }


def lagom():
    from lagom import Container, Singleton

    container = Container()
    container[Settings] = Singleton(Settings)

    def handle_request(scoped=container.temporary_singletons, shared=[Session]):
        with scoped(shared) as scope:
            return scope[UseCase]

    return {
        "singleton": ("get(T)", dict(get=container.resolve, T=Settings)),
        "transient": ("get(T)", dict(get=container.resolve, T=ServiceA)),
        "chain10": ("get(T)", dict(get=container.resolve, T=CHAIN[0])),
        "graph": ("handle()", dict(handle=handle_request)),
    }


def punq():
    import punq

    container = punq.Container()
    container.register(Settings, scope=punq.Scope.singleton)
    for cls in COMPONENTS + CHAIN:
        container.register(cls)  # transient; one instance per type within a resolve()
    return {
        "singleton": ("get(T)", dict(get=container.resolve, T=Settings)),
        "transient": ("get(T)", dict(get=container.resolve, T=ServiceA)),
        "chain10": ("get(T)", dict(get=container.resolve, T=CHAIN[0])),
        "graph": ("get(T)", dict(get=container.resolve, T=UseCase)),
    }


def injector():
    from injector import Injector, inject, singleton

    for cls in COMPONENTS[1:] + CHAIN[:-1]:
        inject(cls)  # marks __init__ for injection; the class is unchanged otherwise
    root = Injector([lambda binder: binder.bind(Settings, scope=singleton)])

    def bind_session(binder):
        binder.bind(Session, scope=singleton)

    def handle_request(child=root.create_child_injector, modules=[bind_session]):
        return child(modules).get(UseCase)

    return {
        "singleton": ("get(T)", dict(get=root.get, T=Settings)),
        "transient": ("get(T)", dict(get=root.get, T=ServiceA)),
        "chain10": ("get(T)", dict(get=root.get, T=CHAIN[0])),
        "graph": ("handle()", dict(handle=handle_request)),
    }


def wireup():
    from wireup import create_sync_container, injectable

    def container(lifetimes):
        """A container of the given classes; the registration marks that
        ``injectable`` leaves on a class are removed once it is built."""
        for cls, lifetime in lifetimes.items():
            injectable(cls, lifetime=lifetime)
        try:
            return create_sync_container(injectables=list(lifetimes))
        finally:
            for cls in lifetimes:
                del cls.__wireup_registration__

    services = container({Settings: "singleton", **{cls: "transient" for cls in COMPONENTS + CHAIN}})
    # Transients are served by a scope (the root serves singletons only); one
    # scope held open serves any number of them.
    held_scope = services.enter_scope()
    request = container({Session: "scoped", **{cls: "transient" for cls in COMPONENTS[1:]}})

    def handle_request(enter=request.enter_scope):
        with enter() as scope:
            return scope.get(UseCase)

    return {
        "singleton": ("get(T)", dict(get=services.get, T=Settings)),
        "transient": ("get(T)", dict(get=held_scope.get, T=ServiceA)),
        "chain10": ("get(T)", dict(get=held_scope.get, T=CHAIN[0])),
        "graph": ("handle()", dict(handle=handle_request)),
    }


def that_depends():
    from that_depends import BaseContainer, providers

    class Services(BaseContainer):
        settings = providers.Singleton(Settings)
        session = providers.Factory(Session)
        repo_a = providers.Factory(RepoA, session.cast)
        service_a = providers.Factory(ServiceA, repo_a.cast)

    class Request(BaseContainer):
        # One session per request: a singleton that the request tears down.
        session = providers.Singleton(Session)
        use_case = providers.Factory(
            UseCase,
            providers.Factory(ServiceA, providers.Factory(RepoA, session.cast).cast).cast,
            providers.Factory(ServiceB, providers.Factory(RepoB, session.cast).cast).cast,
        )

    chain = providers.Factory(CHAIN[-1])
    for cls in reversed(CHAIN[:-1]):
        chain = providers.Factory(cls, chain.cast)

    def handle_request(reset=Request.session.tear_down_sync, use_case=Request.use_case.resolve_sync):
        reset(propagate=False)
        return use_case()

    return {
        "singleton": ("get()", dict(get=Services.settings.resolve_sync)),
        "transient": ("get()", dict(get=Services.service_a.resolve_sync)),
        "chain10": ("get()", dict(get=chain.resolve_sync)),
        "graph": ("handle()", dict(handle=handle_request)),
    }


PEERS = {
    "dependency-injector": dependency_injector,
    "rodi": rodi,
    "dishka": dishka,
    "lagom": lagom,
    "punq": punq,
    "injector": injector,
    "wireup": wireup,
    "that-depends": that_depends,
}


def check(scenario, statement, names):
    """Evaluate a statement twice and verify it does what the scenario asks."""
    first, second = eval(statement, dict(names)), eval(statement, dict(names))
    if scenario == "singleton":
        assert type(first) is Settings and first is second, "singleton not held"
        return
    graph, root = {"transient": (GRAPH, "service_a"), "chain10": (CHAIN_GRAPH, "chain.0"),
                   "graph": (GRAPH, "use_case")}[scenario]
    one, other = check_built(graph, [root], [first]), check_built(graph, [root], [second])
    assert not any(a is b for a, b in zip(one.values(), other.values())), \
        "an object outlives its resolution or request"


def load(name):
    """Set up one peer: ``(version, {scenario: (statement, names) | note})``.

    A peer that cannot be imported or set up is returned with a note instead
    of cases; a scenario whose check fails carries its note in place of a case.
    """
    try:
        version = metadata.version(name)
    except metadata.PackageNotFoundError:
        return None, "not installed"
    try:
        cases = PEERS[name]()
    except Exception as exc:  # an import or set-up failure on this CPython
        return version, f"set-up failed: {type(exc).__name__}: {exc}"
    checked = {}
    for scenario in SHARED:
        if scenario not in cases:
            checked[scenario] = "not expressible"
            continue
        statement, names = cases[scenario]
        try:
            check(scenario, statement, names)
            checked[scenario] = (statement, names)
        except Exception as exc:
            checked[scenario] = f"check failed: {type(exc).__name__}: {exc}"
    return version, checked
