"""Peer dependency-injection libraries, each set up in its own idiomatic form,
for three shared scenarios:

- ``singleton``: a cached singleton (``Settings``);
- ``transient``: a transient with dependencies (``ServiceA`` -> ``RepoA`` ->
  ``Session``, all built anew on each resolution);
- ``graph``: the 6-node request graph, with one ``Session`` shared by both
  branches of a request and a new one for the next request.

Each adapter returns ``{scenario: (statement, names)}``; the statement is an
expression timed in an unrolled loop with ``names`` as locals. Every statement
is checked for the right semantics before it is timed, so no peer is timed
doing less work than asked.
"""

from importlib import metadata

from scenarios import (RepoA, RepoB, ServiceA, ServiceB, Session, Settings, UseCase,
                       check_request, request_container)

SHARED = ("singleton", "transient", "graph")
TITLES = {
    "singleton": "cached singleton",
    "transient": "transient with dependencies",
    "graph": "6-node graph, shared session",
}
COMPONENTS = (Session, RepoA, RepoB, ServiceA, ServiceB, UseCase)


def ours():
    c = request_container()
    return {
        "singleton": ("resolve(k)", dict(resolve=c.resolve, k="settings")),
        "transient": ("resolve(k)", dict(resolve=c.resolve, k="service_a")),
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

    services, request = Services(), Request()

    def handle_request(reset=request.session.reset, use_case=request.use_case):
        reset()
        return use_case()

    return {
        "singleton": ("get()", dict(get=services.settings)),
        "transient": ("get()", dict(get=services.service_a)),
        "graph": ("handle()", dict(handle=handle_request)),
    }


def rodi():
    from rodi import Container

    services = Container()
    services.add_singleton(Settings)
    for cls in COMPONENTS:
        services.add_transient(cls)
    request = Container()
    request.add_scoped(Session)  # one per get(): each get() opens its own scope
    for cls in COMPONENTS[1:]:
        request.add_transient(cls)
    get, get_request = services.build_provider().get, request.build_provider().get
    return {
        "singleton": ("get(T)", dict(get=get, T=Settings)),
        "transient": ("get(T)", dict(get=get, T=ServiceA)),
        "graph": ("get(T)", dict(get=get_request, T=UseCase)),
    }


def dishka():
    from dishka import Provider, Scope, make_container

    app = Provider(scope=Scope.APP)
    app.provide(Settings)
    for cls in COMPONENTS:
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
        "graph": ("handle()", dict(handle=handle_request)),
    }


def punq():
    import punq

    container = punq.Container()
    container.register(Settings, scope=punq.Scope.singleton)
    for cls in COMPONENTS:
        container.register(cls)  # transient; one instance per type within a resolve()
    return {
        "singleton": ("get(T)", dict(get=container.resolve, T=Settings)),
        "transient": ("get(T)", dict(get=container.resolve, T=ServiceA)),
        "graph": ("get(T)", dict(get=container.resolve, T=UseCase)),
    }


def injector():
    from injector import Injector, inject, singleton

    for cls in COMPONENTS[1:]:
        inject(cls)  # marks __init__ for injection; the class is unchanged otherwise
    root = Injector([lambda binder: binder.bind(Settings, scope=singleton)])

    def bind_session(binder):
        binder.bind(Session, scope=singleton)

    def handle_request(child=root.create_child_injector, modules=[bind_session]):
        return child(modules).get(UseCase)

    return {
        "singleton": ("get(T)", dict(get=root.get, T=Settings)),
        "transient": ("get(T)", dict(get=root.get, T=ServiceA)),
        "graph": ("handle()", dict(handle=handle_request)),
    }


PEERS = {
    "dependency-injector": dependency_injector,
    "rodi": rodi,
    "dishka": dishka,
    "lagom": lagom,
    "punq": punq,
    "injector": injector,
}


def check(scenario, statement, names):
    """Evaluate a statement twice and verify it does what the scenario asks."""
    first, second = eval(statement, dict(names)), eval(statement, dict(names))
    if scenario == "singleton":
        assert type(first) is Settings and first is second, "singleton not cached"
    elif scenario == "transient":
        assert type(first) is ServiceA and type(first.repo.session) is Session
        assert first is not second and first.repo is not second.repo, "not transient"
        assert first.repo.session is not second.repo.session, "dependency not transient"
    else:
        check_request(first)
        check_request(second)
        assert first.a.repo.session is not second.a.repo.session, "session outlives request"


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
    for scenario, (statement, names) in cases.items():
        try:
            check(scenario, statement, names)
            checked[scenario] = (statement, names)
        except Exception as exc:
            checked[scenario] = f"check failed: {type(exc).__name__}: {exc}"
    return version, checked
