"""Swapping a real service for a fake while tests run.

The application registers a real payment gateway as a singleton.  A test
suite must not charge real cards, so each test opens an override layer,
puts a fake gateway into it, and closes the layer when it is done.  While
the layer is open, every resolution that reaches ``payment_gateway`` gets
the fake; afterwards the registration is in force again, and the singleton
it held before the tests is the very object the application gets back.

Two rules make this work:

* ``set_override`` writes into the topmost open layer, so open the layer
  first (with no layer open the override is silently dropped).
* A singleton override keeps its value in the layer, and the value goes
  away with the layer.  A *registered* singleton that depends on the
  overridden key and is first built inside the layer keeps the fake
  forever, so override such dependents in the same layer as well (see
  ``receipts`` below).

Run it with ``python examples/testing_with_overrides.py``.
"""

import contextlib
import sys
import traceback

from _tarnik_core import Container


class RealGateway:
    def __init__(self, settings):
        self.endpoint = settings["gateway_url"]
        self.charges = []

    def charge(self, customer, cents):
        # A real implementation would talk to the network here.
        self.charges.append((customer, cents))
        return "real-%d" % len(self.charges)


class FakeGateway:
    def __init__(self):
        self.charges = []

    def charge(self, customer, cents):
        self.charges.append((customer, cents))
        return "fake-%d" % len(self.charges)


class Checkout:
    def __init__(self, gateway):
        self.gateway = gateway

    def buy(self, customer, cents):
        if cents <= 0:
            raise ValueError("nothing to pay")
        return self.gateway.charge(customer, cents)


class Receipts:
    """A singleton that depends on the gateway."""

    def __init__(self, gateway):
        self.gateway = gateway

    def count(self):
        return len(self.gateway.charges)


def build_container():
    c = Container()
    c.register_provider("settings", lambda: {"gateway_url": "https://pay.invalid"}, True, False, [])
    c.register_provider("payment_gateway", RealGateway, True, False, ["settings"])
    c.register_provider("checkout", Checkout, False, False, ["payment_gateway"])
    c.register_provider("receipts", Receipts, True, False, ["payment_gateway"])
    return c


@contextlib.contextmanager
def overridden(container, providers):
    """Open a layer holding ``providers`` ({key: (factory, singleton, dep_keys)}).

    The layer is closed however the block ends, which drops every provider
    and every singleton value that was built in it.
    """
    container.begin_override_layer()
    try:
        for key, (factory, singleton, dep_keys) in providers.items():
            container.set_override(key, factory, singleton, False, dep_keys)
        yield container
    finally:
        container.end_override_layer()


FAKES = {
    "payment_gateway": (FakeGateway, True, []),
    # Rebuild receipts inside the layer too, so its value (which holds the
    # fake gateway) is discarded with the layer.
    "receipts": (Receipts, True, ["payment_gateway"]),
}


# ---- the test suite -------------------------------------------------------

def test_checkout_charges_the_fake(c):
    with overridden(c, FAKES):
        checkout = c.resolve("checkout")
        assert isinstance(checkout.gateway, FakeGateway), type(checkout.gateway)
        assert checkout.buy("ann", 1250) == "fake-1"
        assert c.resolve("payment_gateway").charges == [("ann", 1250)]


def test_fake_is_a_singleton_inside_the_layer(c):
    with overridden(c, FAKES):
        fake = c.resolve("payment_gateway")
        assert c.resolve("payment_gateway") is fake
        assert c.resolve("checkout").gateway is fake
        assert c.get_cached("payment_gateway") is fake
        # The provider in force is the override.
        factory, singleton, is_async, deps = c.get_provider_info("payment_gateway")
        assert (factory, singleton, is_async, deps) == (FakeGateway, True, False, [])


def test_each_test_gets_a_fresh_fake(c):
    seen = []
    for _ in range(2):
        with overridden(c, FAKES):
            seen.append(c.resolve("payment_gateway"))
            assert seen[-1].charges == []
            c.resolve("checkout").buy("bob", 99)
    assert seen[0] is not seen[1]


def test_dependent_singleton_sees_the_fake(c):
    with overridden(c, FAKES):
        fake = c.resolve("payment_gateway")
        c.resolve("checkout").buy("cy", 5)
        receipts = c.resolve("receipts")
        assert receipts.gateway is fake
        assert receipts.count() == 1


def test_failing_code_still_closes_the_layer(c):
    try:
        with overridden(c, FAKES):
            c.resolve("checkout").buy("dee", 0)
    except ValueError:
        pass
    else:
        raise AssertionError("expected ValueError")
    assert isinstance(c.resolve("payment_gateway"), RealGateway)


TESTS = [
    test_checkout_charges_the_fake,
    test_fake_is_a_singleton_inside_the_layer,
    test_each_test_gets_a_fresh_fake,
    test_dependent_singleton_sees_the_fake,
    test_failing_code_still_closes_the_layer,
]


def run_suite(c):
    failures = 0
    for test in TESTS:
        try:
            test(c)
        except Exception:
            failures += 1
            print("FAIL", test.__name__)
            traceback.print_exc()
        else:
            print("ok  ", test.__name__)
    return failures


def main():
    c = build_container()

    # The application has been running: the real gateway is built and held.
    real = c.resolve("payment_gateway")
    real.charge("warm-up", 1)
    receipts = c.resolve("receipts")
    print("before the tests: payment_gateway is", type(real).__name__)

    failures = run_suite(c)

    # Afterwards the registration is in force again with the value it held.
    after = c.resolve("payment_gateway")
    print("after the tests: payment_gateway is", type(after).__name__)
    print("same real gateway object as before:", after is real)
    print("held value is the real gateway:", c.get_cached("payment_gateway") is real)
    print("real gateway charges:", real.charges)
    print("checkout uses the real gateway:", c.resolve("checkout").gateway is real)
    print("receipts unchanged:", c.resolve("receipts") is receipts and receipts.gateway is real)

    # What happens to a registered singleton that is first built inside a
    # layer when only the gateway is overridden.
    c2 = build_container()
    with overridden(c2, {"payment_gateway": FAKES["payment_gateway"]}):
        c2.resolve("receipts")
    stuck = type(c2.resolve("receipts").gateway).__name__
    print("pitfall: receipts built inside a gateway-only layer keeps a", stuck)

    if failures:
        print("%d of %d checks FAILED" % (failures, len(TESTS)))
        return 1
    print("all %d checks passed" % len(TESTS))
    return 0


if __name__ == "__main__":
    sys.exit(main())
