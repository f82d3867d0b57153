"""Factories that look services up from the container while they run, and a
front-end that gets the container itself as a service and looks up a handler
per request.  The container, its factories and the front-end refer to each
other; the garbage collector frees them together."""

import gc
import weakref

from _tarnik_core import Container


class Database:
    def __init__(self):
        self.users = {1: "alice", 2: "bob"}


class UserService:
    def __init__(self, db):
        self.db = db

    def name(self, user_id):
        return self.db.users.get(user_id, "nobody")


class Frontend:
    def __init__(self, locator):
        self.locator = locator

    def handle(self, route, arg):
        return self.locator.resolve("route." + route)(arg)


container = Container()
container.register_provider("db", Database, True, False, [])
# a factory may read from the container that is running it
container.register_provider("users", lambda: UserService(container.resolve("db")), True, False, [])
container.register_provider("route.user", lambda: container.resolve("users").name, False, False, [])
container.register_provider("route.loop", lambda: container.resolve("route.loop"), False, False, [])
# the container as a service: whatever looks things up later depends on "locator"
container.register_provider("locator", lambda: container, True, False, [])
container.register_provider("frontend", Frontend, True, False, ["locator"])

frontend = container.resolve("frontend")
print("user 1:", frontend.handle("user", 1))
print("one database:", container.resolve("users").db is container.resolve("db"))
for route in ("admin", "loop"):
    try:
        frontend.handle(route, 1)
    except (KeyError, RuntimeError) as e:
        print("%s: %s" % (type(e).__name__, e.args[0]))

freed = []
weakref.finalize(frontend, freed.append, "frontend")
del container, frontend
gc.collect()
print("freed by the collector:", freed)
