"""The program's console outside a recording: help, licence, parse messages, the summary, the
root check and the adapter refusal without the driver node."""

import os
import re
import shutil
import subprocess
import tempfile

import pytest

from kvharness import RECORDER, WITH_DRIVER, is_root, record

PARSE_LINE = "\nParse information from the command line...\n"


def help_head(name):
    """The help page's first sections; its whole text is compared in the front-end unit tests,
    so here the program's own output is checked for its shape and the program name."""
    return (f"\n\nNAME\n\t{name} - Kova Velox packets recorder\n\n"
            f"SYNOPSIS\n\t{name} [OPTION]\n\nDESCRIPTION\n")


OPTION_HEADINGS = ["\t--filename=ABSOLUTE PATH AND FILENAME\n", '\t--adaptername="AdapterName"\n',
                   "\t--mode=MODE\n", "\t--maximumpacketsize=MAXIMUMPACKETSIZE\n",
                   "\t--numberofpackets=NUMBEROFPACKETS\n", "\t--buffersize=BUFFERSIZE\n",
                   "\t--license\n", "\nAUTHOR\n\tKova\n\n"]


CLOSING = re.compile(r"COPYRIGHT\n\t[^\n]*\d{4}[^\n]* Kova\n\nVERSION\n\t"
                     r"Kova Velox packets recorder \d+\.\d+\.\d+\n\n$")


def run_plain(*args):
    return record(list(args), with_driver=False, timeout=30)


def test_help_page_names_the_program_and_lists_every_option():
    code, out = run_plain("--help")
    assert code == 0
    assert out.startswith(PARSE_LINE)
    body = out[len(PARSE_LINE):]
    assert body.startswith(help_head("kvpcaprecorder")), body
    positions = [body.index(heading) for heading in OPTION_HEADINGS]
    assert positions == sorted(positions)
    assert " \t\tWhen using continuous or circular mode, the numberofpackets\n" in body
    assert CLOSING.search(body), body[-200:]


def test_help_page_names_a_program_without_exe_and_path(tmp_path):
    renamed = tmp_path / "recorder.exe"
    shutil.copy(RECORDER, renamed)
    result = subprocess.run([str(renamed), "--help"], capture_output=True, text=True, timeout=30)
    assert help_head("recorder") in result.stdout


def test_license_notice():
    code, out = run_plain("x--licensey")
    assert code == 0
    notice = out[len(PARSE_LINE):].split("\n")
    assert notice[:5] == ["", "libpcap license file", "", "License: BSD", ""]
    assert notice[5] == "Redistribution and use in source and binary forms, with or without"
    assert "are met:" in notice[7]
    assert notice[8] == ""
    assert notice[9].startswith(" 1. Redistributions of source code")
    assert notice[10].startswith("    ")
    assert notice[11].startswith(" 2. ")
    assert notice[12].startswith("     ")
    assert notice[15].startswith(" 3. ")
    assert notice[19] == "THIS SOFTWARE IS PROVIDED ``AS IS'' AND WITHOUT ANY EXPRESS OR"
    assert notice[21] == "WARRANTIES OF MERCHANTABILITY AND FITNESS FOR A PARTICULAR PURPOSE."
    assert notice[22:] == ["", ""]
    assert "NAME" not in out


@pytest.mark.parametrize("args, message, with_help", [
    (["--mode=Continuous"], "The mode Continuous is not valid\n", True),
    (["--mode=" + "x" * 94], "Unsupported mode\n", True),
    (["--filename=" + "f" * 1013], "Filename is too long\n", False),
    (["--licence"], "Did not recognize argument --licence\n", True),
    (["--help=1"], "Did not recognize argument --help=1\n", True),
    (["--bogus", "--help"], "Did not recognize argument --bogus\n", True),
])
def test_parse_failures(args, message, with_help):
    code, out = run_plain(*args)
    assert code == 0
    body = out[len(PARSE_LINE):]
    assert body.startswith(message), body[:200]
    assert ("\nNAME\n" in body) == with_help
    assert body.count("\nNAME\n") <= 1
    assert "Configuration is..." not in out


def test_long_but_allowed_arguments_are_not_refused():
    # 100 characters of --mode= and 1023 of --filename= are within the limits.
    code, out = run_plain("--mode=" + "y" * 93, "--help")
    assert "Unsupported mode" not in out
    assert "The mode " + "y" * 93 + " is not valid" in out


def test_resets_and_summary_then_root_check():
    args = ["--adaptername=eth0", "--filename=/tmp/kv.pcap", "--mode=fixednumberofpackets",
            "--numberofpackets=100", "--buffersize=-5", "--maximumpacketsize=0",
            "--maximumpacketsize=70000"]
    cmd = [WITH_DRIVER, RECORDER] + args
    if is_root():
        # The root check, as an ordinary user inside the same namespace set-up.
        cmd = [WITH_DRIVER, "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
               RECORDER] + args
    else:
        pytest.skip("the driver's stand-in node needs root to set up")
    result = subprocess.run(cmd, capture_output=True, text=True, timeout=30)
    assert result.returncode == 0
    expected = (PARSE_LINE +
                "Reset the numberofpackets to the minimum value of 512\n"
                "Reset the buffersize to the minimum value of 1024000\n"
                "Reset the maximumpacketsize to the minimum value of 32\n"
                "Reset the maximumpacketsize to the maximum value of 65535\n"
                "\nConfiguration is...\n"
                "  Data stored in file = /tmp/kv.pcap\n"
                "  Network Adapter = eth0\n"
                "  Mode = fixednumberofpackets\n"
                "    Number of packets to record = 512\n"
                "  Maximum packet size = 65535\n"
                "Root priviledges are required to run this application\n ")
    assert result.stdout == expected


def test_adapter_refused_without_the_driver_node():
    if os.path.exists("/dev/kvVeloxForEthernet"):
        pytest.skip("this machine has the driver node")
    code, out = run_plain("--adaptername=eth0", "--filename=/tmp/x", "--mode=continuous")
    assert code == 0
    assert out == PARSE_LINE + "The network adapter eth0 didn't have Kova Velox Installed"


def test_overlong_adapter_name_is_refused_clearly():
    code, out = run_plain("--adaptername=" + "a" * 600, "--filename=/tmp/x", "--mode=continuous")
    assert code == 0
    assert "Configuration is..." not in out
    assert "too long" in out.lower()
