"""Other stacks on the thread that holds a container: greenlets, and gevent's
cooperative threads."""

import os

import pytest

import _tarnik_core
from model import OTHER_STACK_MSG
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
