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


def help_page(name):
    lines = [
        "", "", "NAME", f"\t{name} - Kova Velox packets recorder", "",
        "SYNOPSIS", f"\t{name} [OPTION]", "",
        "DESCRIPTION", "\tRecords packets that are sent from a network interface and ",
        "\treceived by a PCAP file", "",
        "\t--filename=ABSOLUTE PATH AND FILENAME",
        "\t\tPCAP path/file name to store the recorded packets.",
        "\t\tIf the file name is not provided, you are prompted to provide",
        "\t\tone. If the file already exists, it is automatically replaced.", "",
        '\t--adaptername="AdapterName"',
        "\t\tName of the network adapter that records the packets.",
        "\t\tThe network adapter must have the Kova Velox driver",
        "\t\tinstalled. If you do not enter a name:",
        "\t\t -If there is only one adapter with the Kova Velox",
        "\t\t  driver installed, the program automatically selects a network",
        "\t\t  adapter.",
        "\t\t -If there is more than one adapter with the driver installed,",
        "\t\t  provides an interactive list from which you can select a name", "",
        "\t--mode=MODE",
        "\t\tThe current acquisition mode used by the system.",
        "\t\tThe following modes are supported:",
        "\t\t  fixednumberofpackets - Records a finite number of packets and",
        "\t\t       stops the acquisition automatically. With this mode, the",
        "\t\t       system pre-allocates memory to reduce the impact on the",
        "\t\t       packet stream.",
        "\t\t  continuous - Records continuously.",
        "\t\t       The system fills the available memory with packets until",
        "\t\t       you send a command to stop recording packets.",
        "\t\t       This mode allocates memory at run time.",
        "\t\t  circular - Performs circular buffering in memory.",
        "\t\t       Continuously records to a circular buffer of data",
        "\t\t       in memory to keep only the most recent packets.", "",
        "\t--maximumpacketsize=MAXIMUMPACKETSIZE",
        "\t\tTruncates each packet to a maximum number of bytes to",
        "\t\tlimit resource usage. In most cases, the beginning of each",
        "\t\tpacket includes enough information to analyze any issues.",
        "\t\tThe value must be between 32 and 65535. Default = 200.", "",
        "\t--numberofpackets=NUMBEROFPACKETS",
        "\t\tWhen using fixednumberofpackets mode, the numberofpackets",
        "\t\trepresents the number of packets that are recorded before",
        "\t\tthe system automatically stops recording/streaming. The system",
        "\t\tmay exceed this number, but will ensure this number of packets",
        "\t\tis recorded (at a minimum).",
        " \t\tWhen using continuous or circular mode, the numberofpackets",
        "\t\tparameter is ignored.",
        "\t\tThe value must be between 512 and 1024000. Default = 1024.", "",
        "\t--buffersize=BUFFERSIZE",
        "\t\tWhen using circular mode, the buffersize represents the",
        "\t\tnumber of bytes used in the circular buffer.",
        " \t\tWhen using fixednumberofpackets mode, this parameter is ignored.",
        "\t\tWhen using continuous mode, this parameter is ignored.",
        "\t\tThe value must be greater than or equal to 1024000.",
        "\t\tDefault = 1024000.", "",
        "\t--license", "\t\tDisplay the 3rd party license", "",
        "AUTHOR", "\tKova", "",
    ]
    return "\n".join(lines) + "\n"


CLOSING = re.compile(r"COPYRIGHT\n\t[^\n]*\d{4}[^\n]* Kova\n\nVERSION\n\t"
                     r"Kova Velox packets recorder \d+\.\d+\.\d+\n\n$")


def run_plain(*args):
    return record(list(args), with_driver=False, timeout=30)


def test_help_page_is_exact_and_names_the_program():
    code, out = run_plain("--help")
    assert code == 0
    assert out.startswith(PARSE_LINE)
    body = out[len(PARSE_LINE):]
    expected = help_page("kvpcaprecorder")
    assert body.startswith(expected), body
    assert CLOSING.search(body[len(expected):]), body[len(expected):]


def test_help_page_names_a_program_without_exe_and_path(tmp_path):
    renamed = tmp_path / "recorder.exe"
    shutil.copy(RECORDER, renamed)
    result = subprocess.run([str(renamed), "--help"], capture_output=True, text=True, timeout=30)
    assert help_page("recorder") in result.stdout


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
