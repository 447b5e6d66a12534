"""How the root check and the adapter refusal end the program, and a refused duration or capture
filter ends it before any question; the exact texts are the front end's unit tests'."""

import os

import pytest

from kvharness import AS_NOBODY, IS_ROOT, PARSE_LINE, record

SUMMARY = "\nConfiguration is...\n"


@pytest.mark.skipif(not IS_ROOT, reason="the driver's stand-in node needs root to set up")
def test_root_check_as_an_ordinary_user_after_the_summary():
    code, out = record(["--adaptername=eth0", "--filename=/tmp/kv.pcap", "--mode=circular"],
                       inner=AS_NOBODY, timeout=30)
    assert code == 1
    assert out.startswith(PARSE_LINE + SUMMARY)
    assert out.endswith("\nRoot priviledges are required to run this application\n ")


def test_adapter_refused_without_the_driver_node():
    if os.path.exists("/dev/kvVeloxForEthernet"):
        pytest.skip("this machine has the driver node")
    code, out = record(["--adaptername=eth0", "--filename=/tmp/kv", "--mode=continuous"],
                       with_driver=False, timeout=30)
    assert code == 1
    assert out.startswith(PARSE_LINE) and "eth0" in out
    assert SUMMARY not in out


@pytest.mark.parametrize("argument, message", [
    ("--duration=0", "The duration 0 is not a positive whole number of seconds\n"),
    ("--duration=10s", "The duration 10s is not a positive whole number of seconds\n"),
    ("--filter=", "The capture filter is empty\n"),
    # A filter holding another option's name is still a filter, refused by libpcap.
    ("--filter=--mode=circular", "The capture filter --mode=circular is not valid: "),
    ("--filter=udp port", "The capture filter udp port is not valid: "),
])
def test_duration_and_filter_refused_before_any_question(argument, message):
    code, out = record([argument, "--maximumpacketsize=1514"], "0\n", with_driver=False,
                       timeout=30)
    assert code == 2, out
    assert out.startswith(PARSE_LINE + message)
    assert out.count("\n") == PARSE_LINE.count("\n") + 1, out  # libpcap's reason, nothing more
    assert "? > " not in out and SUMMARY not in out
