"""Resolving async providers in Python, on top of the native container.

The container never calls a provider registered with ``is_async=True``:
``resolve``, ``resolve_many`` and ``resolve_many_plan`` refuse with
``RuntimeError("Provider for key 'pool' is async and requires async
resolution")``.  It gives Python code what it needs to do that part itself:

* ``get_provider_info(key)`` -> ``(callable, singleton, is_async, dep_keys)``
  of the provider in force (override layers included);
* ``get_cached(key)`` -> the singleton value held for the key, or None;
* ``set_cached(key, value)`` -> stores a singleton value where the
  synchronous paths find it, so ``resolve`` returns it from then on (a held
  value is returned before the async check).

``resolve_async`` below walks the graph under a key first, without running
anything, and reports a cycle or a missing provider before any factory
runs.  Sub-graphs that contain no async provider are handed to the native
``resolve`` as a whole; for the rest it resolves the dependencies first,
calls the factory, awaits its result if the provider is async, and stores
singleton values with ``set_cached``.  Concurrent resolutions of the same
singleton wait for the one build in progress instead of building twice.

Two limits of this approach, both because ``get_cached`` answers None for
"nothing held": a singleton whose value is None is rebuilt by every
``resolve_async``, and while an override layer holds a singleton override
that has not been built yet, ``get_cached`` reports the value held below it.

Run it with ``python examples/async_resolution.py``.
"""

import asyncio
import collections

from _tarnik_core import Container

# (id(container), key) -> future that completes when the build of that
# singleton ends (successfully or not).  Entries exist only while a build
# runs, and the caller holds the container meanwhile.
_building = {}


def _cycle(key):
    return RuntimeError("Dependency cycle detected at key: " + key)


def _keys_needing_python(container, key):
    """Check the graph under ``key`` and return the keys that need Python.

    A key needs Python when its provider is async or one of its
    dependencies needs Python.  Singletons that already hold a value are
    leaves, as they are for ``resolve``.  Raises the container's own
    KeyError for a missing provider and RuntimeError for a cycle.
    """
    needs, done, path = set(), set(), set()

    def visit(k):
        if k in path:
            raise _cycle(k)
        if k in done:
            return k in needs
        _, singleton, is_async, dep_keys = container.get_provider_info(k)
        if not (singleton and container.get_cached(k) is not None):
            path.add(k)
            flags = [visit(d) for d in dep_keys]  # visit every dependency
            path.discard(k)
            if is_async or any(flags):
                needs.add(k)
        done.add(k)
        return k in needs

    visit(key)
    return needs


async def resolve_async(container, key):
    """Resolve ``key``, awaiting every async provider on the way."""
    needs = _keys_needing_python(container, key)
    return await _resolve(container, key, needs, ())


async def _resolve(container, key, needs, path):
    if key in path:  # the graph may change while we await; check again
        raise _cycle(key)
    if key not in needs:
        return container.resolve(key)  # nothing async below: the core does it
    factory, singleton, is_async, dep_keys = container.get_provider_info(key)
    if not singleton:
        return await _build(container, key, factory, is_async, dep_keys, needs, path)

    slot = (id(container), key)
    while True:
        held = container.get_cached(key)
        if held is not None:
            return held
        pending = _building.get(slot)
        if pending is None:
            break
        await pending  # someone else is building it; look again when done
    done = _building[slot] = asyncio.get_running_loop().create_future()
    try:
        value = await _build(container, key, factory, is_async, dep_keys, needs, path)
        container.set_cached(key, value)
        return value
    finally:
        del _building[slot]
        done.set_result(None)


async def _build(container, key, factory, is_async, dep_keys, needs, path):
    path = path + (key,)
    args = [await _resolve(container, dep, needs, path) for dep in dep_keys]
    value = factory(*args)
    if is_async:
        value = await value
    return value


# ---- a small application ----------------------------------------------------

calls = collections.Counter()


async def open_pool(settings):
    calls["pool"] += 1
    await asyncio.sleep(0.01)  # pretend to connect
    return {"dsn": settings["dsn"], "connections": 2}


async def fetch_user(pool, user_id):
    calls["user"] += 1
    await asyncio.sleep(0)
    return {"id": user_id, "via": pool["dsn"]}


async def echo(value):
    return value


class UserRepository:
    def __init__(self, pool):
        calls["repository"] += 1
        self.pool = pool


def build_container():
    c = Container()
    c.register_provider("settings", lambda: {"dsn": "postgres://db/app"}, True, False, [])
    c.register_provider("user_id", lambda: 42, False, False, [])
    c.register_provider("pool", open_pool, True, True, ["settings"])
    c.register_provider("current_user", fetch_user, False, True, ["pool", "user_id"])
    c.register_provider("repository", UserRepository, True, False, ["pool"])
    c.register_provider("loop_a", lambda b: b, False, False, ["loop_b"])
    c.register_provider("loop_b", echo, False, True, ["loop_a"])
    return c


async def main():
    c = build_container()

    try:
        c.resolve("pool")
    except RuntimeError as exc:
        print("sync resolve before:", exc)

    # Two concurrent requests share one pool build.
    user1, user2 = await asyncio.gather(
        resolve_async(c, "current_user"), resolve_async(c, "current_user")
    )
    print("users:", user1, user2)
    print("pool built %d time(s), users fetched %d time(s)" % (calls["pool"], calls["user"]))

    pool = await resolve_async(c, "pool")
    print("pool held by the container:", c.get_cached("pool") is pool)

    # The synchronous paths now find the stored value.
    print("sync resolve after returns the same pool:", c.resolve("pool") is pool)
    repo = c.resolve("repository")
    print("sync repository got the async pool:", repo.pool is pool)
    both = c.resolve_many(["pool", "repository"])
    print("resolve_many works too:", both[0] is pool and both[1] is repo)
    try:
        c.resolve_many_plan(["repository"])
    except RuntimeError as exc:
        print("resolve_many_plan checks flags, not values:", exc)

    try:
        await resolve_async(c, "loop_a")
    except RuntimeError as exc:
        print("cycle:", exc)
    try:
        await resolve_async(c, "missing")
    except KeyError as exc:
        print("missing:", exc.args[0])
    print("pool built %d time(s) in all" % calls["pool"])


if __name__ == "__main__":
    asyncio.run(main())
