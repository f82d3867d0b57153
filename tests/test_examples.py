"""The examples run as documented and show what they claim to show."""

import asyncio
import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

import _tarnik_core

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"

pytestmark = pytest.mark.timeout(300)


def module_env():
    """The environment of a child that imports the module this process uses."""
    here = os.path.dirname(os.path.abspath(_tarnik_core.__file__))
    path = [here] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(path))


def run_example(name, cwd):
    proc = subprocess.run(
        [sys.executable, "-W", "error", str(EXAMPLES / name)],
        cwd=str(cwd),
        env=module_env(),
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stderr == ""
    return proc.stdout.splitlines()


EXPECTED = {
    "quickstart.py": [
        "two user_service objects: True",
        "same user_repository in both: True",
        "same database everywhere: True",
        "unit_of_work per resolution: 1 2",
        "database built 1 time(s)",
        "signed up alice as user 1; unit of work shared: True",
        "  audit: txn 3: user 1 created",
        "signed up bob as user 2; unit of work shared: True",
        "  audit: txn 4: user 2 created",
        "unit of work shared: False",
        "user_service: factory=UserService singleton=False async=False"
        " deps=['user_repository', 'unit_of_work']",
        "held database is the resolved one: True",
        "users in the database: ['alice', 'bob']",
        "KeyError: No provider registered for key: mailer",
        # two plain resolves, two planned requests, one resolve_many
        "config: 1",
        "database: 1",
        "user_repository: 1",
        "unit_of_work: 6",
        "user_service: 5",
        "audit_log: 3",
    ],
    "testing_with_overrides.py": [
        "ok   test_checkout_charges_the_fake",
        "ok   test_fake_is_a_singleton_inside_the_layer",
        "ok   test_each_test_gets_a_fresh_fake",
        "ok   test_dependent_singleton_sees_the_fake",
        "ok   test_failing_code_still_closes_the_layer",
        "after the tests: payment_gateway is RealGateway",
        "same real gateway object as before: True",
        "held value is the real gateway: True",
        "real gateway charges: [('warm-up', 1)]",
        "checkout uses the real gateway: True",
        "receipts unchanged: True",
        "pitfall: receipts built inside a gateway-only layer keeps a FakeGateway",
        "all 5 checks passed",
    ],
    "async_resolution.py": [
        "sync resolve before: Provider for key 'pool' is async and requires async resolution",
        "pool built 1 time(s), users fetched 2 time(s)",
        "pool held by the container: True",
        "sync resolve after returns the same pool: True",
        "sync repository got the async pool: True",
        "resolve_many works too: True",
        "resolve_many_plan checks flags, not values:"
        " Provider for key 'pool' is async and requires async resolution",
        "cycle: Dependency cycle detected at key: loop_a",
        "missing: No provider registered for key: missing",
        "pool built 1 time(s) in all",
    ],
    "service_locator.py": [
        "user 1: alice",
        "one database: True",
        "KeyError: No provider registered for key: route.admin",
        "RuntimeError: Dependency cycle detected at key: route.loop",
        "freed by the collector: ['frontend']",
    ],
}


@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_example_output(name, tmp_path):
    lines = run_example(name, tmp_path)
    missing = [line for line in EXPECTED[name] if line not in lines]
    assert not missing, "\n".join(lines)
    assert not any(line.startswith("FAIL") for line in lines)


def test_every_example_is_checked():
    assert sorted(p.name for p in EXAMPLES.glob("*.py")) == sorted(EXPECTED)


# ---- resolve_async itself ----------------------------------------------------

@pytest.fixture(scope="module")
def ar():
    spec = importlib.util.spec_from_file_location("async_resolution", str(EXAMPLES / "async_resolution.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def counting(calls, name, value=None, is_async=True, fail=False):
    async def afactory(*args):
        calls.append(name)
        await asyncio.sleep(0)
        if fail:
            raise ValueError(name)
        return value if value is not None else (name, args)

    def factory(*args):
        calls.append(name)
        return value if value is not None else (name, args)

    return afactory if is_async else factory


def test_concurrent_singleton_built_once_and_visible_to_sync_paths(ar, c):
    calls = []
    c.register_provider("pool", counting(calls, "pool"), True, True, [])
    c.register_provider("user", counting(calls, "user"), False, True, ["pool"])

    async def go():
        return await asyncio.gather(*[ar.resolve_async(c, "user") for _ in range(4)])

    users = asyncio.run(go())
    pool = c.get_cached("pool")
    assert calls.count("pool") == 1 and calls.count("user") == 4
    assert all(u == ("user", (pool,)) for u in users)
    assert c.resolve("pool") is pool
    with pytest.raises(RuntimeError, match="^Provider for key 'user' is async"):
        c.resolve("user")


def test_failed_build_stores_nothing_and_is_retried(ar, c):
    calls = []
    c.register_provider("pool", counting(calls, "pool", fail=True), True, True, [])
    for _ in range(2):
        with pytest.raises(ValueError, match="pool"):
            asyncio.run(ar.resolve_async(c, "pool"))
        assert c.get_cached("pool") is None
    assert calls == ["pool", "pool"]
    assert ar._building == {}


@pytest.mark.parametrize(
    "registrations, key, exc, message",
    [
        ({"a": ["b"], "b": ["a"]}, "a", RuntimeError, "Dependency cycle detected at key: a"),
        ({"a": ["b"], "b": ["b"]}, "a", RuntimeError, "Dependency cycle detected at key: b"),
        ({"a": ["ok", "b"], "ok": [], "b": ["nowhere"]}, "a", KeyError, "No provider registered for key: nowhere"),
    ],
)
def test_structural_errors_before_any_factory_runs(ar, c, registrations, key, exc, message):
    calls = []
    for k, deps in registrations.items():
        c.register_provider(k, counting(calls, k), False, True, deps)
    with pytest.raises(exc) as info:
        asyncio.run(ar.resolve_async(c, key))
    assert info.value.args == (message,)
    assert calls == []


def test_sync_subgraph_goes_to_the_core_and_transients_are_rebuilt(ar, c):
    calls = []
    c.register_provider("cfg", counting(calls, "cfg", is_async=False), True, False, [])
    c.register_provider("tmp", counting(calls, "tmp", is_async=False), False, False, ["cfg"])
    c.register_provider("svc", counting(calls, "svc"), False, True, ["tmp", "tmp", "cfg"])
    svc = asyncio.run(ar.resolve_async(c, "svc"))
    cfg = c.get_cached("cfg")
    assert svc == ("svc", (("tmp", (cfg,)), ("tmp", (cfg,)), cfg))
    assert svc[1][0] is not svc[1][1]
    assert calls == ["cfg", "tmp", "tmp", "svc"]


def test_singleton_override_value_lives_in_the_layer(ar, c):
    calls = []
    c.register_provider("pool", counting(calls, "real"), True, True, [])
    real = asyncio.run(ar.resolve_async(c, "pool"))
    c.begin_override_layer()
    c.set_override("pool", counting(calls, "fake"), True, True, [])
    # get_cached sees the value held below the unbuilt override: the
    # documented limit, so the override must be seeded by the caller.
    assert c.get_cached("pool") is real
    c.set_cached("pool", "seeded")
    assert asyncio.run(ar.resolve_async(c, "pool")) == "seeded"
    c.end_override_layer()
    assert c.resolve("pool") is real
    assert calls == ["real"]
