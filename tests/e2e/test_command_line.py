"""How a parse error, the root check and the adapter refusal end the program, and a file name
with blanks reaching the summary whole; the exact texts are the front end's unit tests'."""

import os

import pytest

from kvharness import AS_NOBODY, IS_ROOT, PARSE_LINE, record

SUMMARY = "\nConfiguration is...\n"


def test_parse_error_ends_the_program_before_the_summary():
    code, out = record(["--mode=Continuous"], with_driver=False, timeout=30)
    assert code == 2  # refused
    assert out.startswith(PARSE_LINE) and len(out) > len(PARSE_LINE)
    assert SUMMARY not in out


@pytest.mark.skipif(not IS_ROOT, reason="the driver's stand-in node needs root to set up")
def test_root_check_as_an_ordinary_user_after_the_summary():
    code, out = record(["--adaptername=eth0", "--filename=/tmp/kv.pcap", "--mode=circular"],
                       inner=AS_NOBODY, timeout=30)
    assert code == 1
    assert out.startswith(PARSE_LINE + SUMMARY)
    assert out.endswith("\nRoot priviledges are required to run this application\n ")


@pytest.mark.skipif(not IS_ROOT, reason="the driver's stand-in node needs root to set up")
def test_file_name_with_blanks_is_taken_whole():
    code, out = record(["--adaptername=eth0", "--filename=/tmp/kv run/my capture",
                        "--mode=circular"], inner=AS_NOBODY, timeout=30)
    assert code == 1
    assert out.startswith(PARSE_LINE + SUMMARY + "  Data stored in file = /tmp/kv run/my capture\n")


def test_adapter_refused_without_the_driver_node():
    if os.path.exists("/dev/kvVeloxForEthernet"):
        pytest.skip("this machine has the driver node")
    code, out = record(["--adaptername=eth0", "--filename=/tmp/kv", "--mode=continuous"],
                       with_driver=False, timeout=30)
    assert code == 1
    assert out.startswith(PARSE_LINE) and "eth0" in out
    assert SUMMARY not in out
