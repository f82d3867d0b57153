"""A small application wired through the container.

The object graph is the usual one for a web service:

    config -> database -> user_repository -> user_service
                       -> unit_of_work    -> user_service, audit_log

``config``, ``database`` and ``user_repository`` are singletons: they are
built the first time they are needed and the container holds them from
then on.  ``unit_of_work``, ``user_service`` and ``audit_log`` are
transients: every resolution builds a new one.

A request handler needs a ``user_service`` and an ``audit_log`` that share
one unit of work.  ``resolve_many_plan`` gives exactly that: it checks the
whole request first and then builds every object the request needs at most
once, handing the same unit of work to both.

Run it with ``python examples/quickstart.py``.
"""

import collections
import itertools

from _tarnik_core import Container

# How many times each class was constructed, so the output can show what
# the container built and what it reused.
built = collections.Counter()
_txn_ids = itertools.count(1)


class Config:
    def __init__(self):
        built["config"] += 1
        self.dsn = "sqlite:///:memory:"
        self.pool_size = 4


class Database:
    def __init__(self, config):
        built["database"] += 1
        self.dsn = config.dsn
        self.tables = {"users": {}}


class UserRepository:
    def __init__(self, database):
        built["user_repository"] += 1
        self.database = database

    def add(self, name):
        users = self.database.tables["users"]
        user_id = len(users) + 1
        users[user_id] = name
        return user_id


class UnitOfWork:
    """One transaction; everything done for one request goes through it."""

    def __init__(self, database):
        built["unit_of_work"] += 1
        self.database = database
        self.txn = next(_txn_ids)
        self.events = []


class UserService:
    def __init__(self, repository, unit_of_work):
        built["user_service"] += 1
        self.repository = repository
        self.unit_of_work = unit_of_work

    def sign_up(self, name):
        user_id = self.repository.add(name)
        self.unit_of_work.events.append("user %d created" % user_id)
        return user_id


class AuditLog:
    def __init__(self, unit_of_work):
        built["audit_log"] += 1
        self.unit_of_work = unit_of_work

    def entries(self):
        return ["txn %d: %s" % (self.unit_of_work.txn, e) for e in self.unit_of_work.events]


def build_container():
    c = Container()
    # register_provider(key, callable, singleton, is_async, dep_keys):
    # the values of dep_keys are passed to the callable positionally, in order.
    c.register_provider("config", Config, True, False, [])
    c.register_provider("database", Database, True, False, ["config"])
    c.register_provider("user_repository", UserRepository, True, False, ["database"])
    c.register_provider("unit_of_work", UnitOfWork, False, False, ["database"])
    c.register_provider(
        "user_service", UserService, False, False, ["user_repository", "unit_of_work"]
    )
    c.register_provider("audit_log", AuditLog, False, False, ["unit_of_work"])
    return c


def handle_sign_up(container, name):
    """One request: every object it needs, built once for this request."""
    service, audit = container.resolve_many_plan(["user_service", "audit_log"])
    user_id = service.sign_up(name)
    return user_id, service, audit


def main():
    c = build_container()

    print("== singletons and transients ==")
    s1 = c.resolve("user_service")
    s2 = c.resolve("user_service")
    print("two user_service objects:", s1 is not s2)
    print("same user_repository in both:", s1.repository is s2.repository)
    print("same database everywhere:", s1.repository.database is c.resolve("database"))
    print("unit_of_work per resolution:", s1.unit_of_work.txn, s2.unit_of_work.txn)
    print("database built %d time(s)" % built["database"])

    print("== one request, one plan ==")
    for name in ("alice", "bob"):
        user_id, service, audit = handle_sign_up(c, name)
        shared = service.unit_of_work is audit.unit_of_work
        print("signed up %s as user %d; unit of work shared: %s" % (name, user_id, shared))
        for line in audit.entries():
            print("  audit:", line)

    print("== resolve_many builds per key ==")
    service, audit = c.resolve_many(["user_service", "audit_log"])
    print("unit of work shared:", service.unit_of_work is audit.unit_of_work)

    print("== what the container holds ==")
    factory, singleton, is_async, deps = c.get_provider_info("user_service")
    print("user_service: factory=%s singleton=%s async=%s deps=%s"
          % (factory.__name__, singleton, is_async, deps))
    print("held database is the resolved one:", c.get_cached("database") is c.resolve("database"))
    print("users in the database:", sorted(c.resolve("database").tables["users"].values()))

    print("== errors ==")
    try:
        c.resolve("mailer")
    except KeyError as exc:
        print("KeyError:", exc.args[0])

    print("== objects built ==")
    for key in ("config", "database", "user_repository", "unit_of_work", "user_service", "audit_log"):
        print("%s: %d" % (key, built[key]))


if __name__ == "__main__":
    main()
