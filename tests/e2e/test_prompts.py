"""The questions answered on standard input, in a namespace holding only the test's two adapters
and as an ordinary user, so the run ends at the root check; their texts are the unit tests'."""

import os
import re
import subprocess

import pytest

from kvharness import AS_NOBODY, IS_ROOT, PARSE_LINE, RECORDER, WITH_DRIVER, run


@pytest.mark.skipif(not IS_ROOT, reason="needs root for namespaces")
def test_adapter_file_and_mode_are_asked_in_turn():
    namespace = f"kvprompt{os.getpid()}"
    inside = ["ip", "netns", "exec", namespace]
    run(["ip", "netns", "add", namespace])
    try:
        run(inside + ["ip", "link", "add", "kvq0", "type", "veth", "peer", "name", "kvq1"])
        # Adapters with an IPv4 address are the ones the inventory checks for the driver.
        for index, name in enumerate(["kvq0", "kvq1"]):
            run(inside + ["ip", "addr", "add", f"10.77.{index}.1/24", "dev", name])
            run(inside + ["ip", "link", "set", name, "up"])
        # An adapter number out of range is asked again.
        result = subprocess.run(inside + [WITH_DRIVER] + AS_NOBODY + [RECORDER],
                                input="7\n1\n/tmp/kvprompt-none/trace\n3\n", capture_output=True,
                                text=True, timeout=30)
    finally:
        subprocess.run(["ip", "netns", "del", namespace], capture_output=True)
    out = result.stdout
    assert result.returncode == 1  # not root
    assert out.startswith(PARSE_LINE)
    listed = re.findall(r"\( (\d) \) (kvq\d) ", out)
    assert sorted(name for _, name in listed) == ["kvq0", "kvq1"], out
    chosen = dict(listed)["1"]
    marks = [m.start() for m in re.finditer(re.escape("? > "), out)]
    assert len(marks) == 4, out  # the adapter twice, the file name, the mode
    assert marks[1] < out.index("pcap file") < marks[2] < out.index("Recording mode") < marks[3]
    assert ("\nConfiguration is...\n  Data stored in file = /tmp/kvprompt-none/trace\n"
            f"  Network Adapter = {chosen}\n  Mode = circular\n    BufferSize = 1024000\n"
            "  Maximum packet size = 200\n") in out
    assert out.endswith("\nRoot priviledges are required to run this application\n ")
