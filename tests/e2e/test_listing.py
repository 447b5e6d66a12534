"""--listadapters in a network namespace of the test's own, as an ordinary user, with and without
the driver's stand-in node: the listing names exactly the namespace's adapters, sorted, with
their addresses and gateway, and marks served the adapter that the adapter prompt offers."""

import os
import subprocess

import pytest

from kvharness import AS_NOBODY, IS_ROOT, PARSE_LINE, record, run

pytestmark = pytest.mark.skipif(not IS_ROOT, reason="network namespaces need root")

NAMESPACE = f"kvls{os.getpid() % 100000}"
IN_NAMESPACE = ["ip", "netns", "exec", NAMESPACE]

# A veth pair inside the namespace: kvb0 carries two IPv4 addresses and the default route,
# kva0 has none. Created in the reverse of the listing's order.
SETUP = f"""set -e
    ip netns add {NAMESPACE}
    ip -n {NAMESPACE} link add kvb0 address 02:00:00:00:00:0b type veth \
        peer name kva0 address 02:00:00:00:00:0a
    ip -n {NAMESPACE} link set kvb0 up
    ip -n {NAMESPACE} link set kva0 up
    ip -n {NAMESPACE} addr add 10.200.1.1/24 dev kvb0
    ip -n {NAMESPACE} addr add 10.201.0.1/16 dev kvb0
    ip -n {NAMESPACE} route add default via 10.200.1.254 dev kvb0"""


def listing(driver):
    return ("name: kva0\n"
            "  hardware address: 02:00:00:00:00:0a\n"
            "  gateway: none\n"
            "  driver: no\n"
            "\n"
            "name: kvb0\n"
            "  hardware address: 02:00:00:00:00:0b\n"
            "  ipv4: 10.200.1.1/255.255.255.0\n"
            "  ipv4: 10.201.0.1/255.255.0.0\n"
            "  gateway: 10.200.1.254\n"
            f"  driver: {'yes' if driver else 'no'}\n"
            "\n")


@pytest.fixture(scope="module", autouse=True)
def namespace():
    try:
        run(["sh", "-c", SETUP])
        yield
    finally:
        subprocess.run(["ip", "netns", "del", NAMESPACE], capture_output=True)


# Without the driver, the listing also ends the command line where it stands.
@pytest.mark.parametrize("driver, arguments", [
    (True, ["--listadapters"]),
    (False, ["--mode=circular", "--listadapters", "--mode=bogus"])], ids=["driver", "no-driver"])
def test_listing_as_an_ordinary_user(driver, arguments):
    code, out = record(arguments, with_driver=driver, outer=IN_NAMESPACE, inner=AS_NOBODY,
                       timeout=30)
    assert (code, out) == (0, PARSE_LINE + listing(driver))


def test_the_served_adapter_is_the_one_the_prompt_offers():
    # The prompt takes the only served adapter by itself; the file question then finds no input.
    code, out = record([], with_driver=True, outer=IN_NAMESPACE, inner=AS_NOBODY, timeout=30)
    assert code == 1, out
    assert ("\nThe following list of network adapter can be used.\n( 0 ) kvb0 - kvb0\n\n"
            "? > <Automatically select the only network adapter available>\n") in out
    assert "kva0" not in out
