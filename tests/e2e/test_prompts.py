"""The console questions, answered through standard input. The recorder runs in a network
namespace of the test's own, so that the adapter list holds only the test's adapters, and as
an ordinary user, so that a complete configuration ends at the root check."""

import os
import pathlib
import re
import shutil
import subprocess
import tempfile

import pytest

from kvharness import RECORDER, WITH_DRIVER, is_root, run

pytestmark = pytest.mark.skipif(not is_root(), reason="needs root for namespaces")

MODE_MENU = ("\nRecording mode\n\n1) fixednumberofpackets\n2) continuous\n3) circular\n\n")
MODE_QUESTION = "Select the mode by entering the associated number\n? > "
FILE_QUESTION = "\nEnter the filename to record the pcap file\n? > "
ADAPTER_QUESTION = "Select the network adapter using the associated number. [ Default = 0 ]\n? > "
ROOT_MESSAGE = "Root priviledges are required to run this application\n "


class Namespace:
    """A network namespace holding the named veth ends, each with an IPv4 address."""

    def __init__(self, names):
        self.name = f"kvprompt{os.getpid()}"
        self.names = names

    def __enter__(self):
        run(["ip", "netns", "add", self.name])
        for first, second in zip(self.names[::2], self.names[1::2] + [None]):
            if second is None:
                run(["ip", "netns", "exec", self.name, "ip", "link", "add", first, "type",
                     "veth", "peer", "name", first + "x"])
                run(["ip", "netns", "exec", self.name, "ip", "link", "set", first + "x",
                     "netns", "1"])
            else:
                run(["ip", "netns", "exec", self.name, "ip", "link", "add", first, "type",
                     "veth", "peer", "name", second])
        # Adapters with an IPv4 address are the ones the inventory checks for the driver.
        for index, name in enumerate(self.names):
            run(["ip", "netns", "exec", self.name, "ip", "addr", "add", f"10.77.{index}.1/24",
                 "dev", name])
            run(["ip", "netns", "exec", self.name, "ip", "link", "set", name, "up"])
        return self

    def __exit__(self, *exc):
        for name in self.names:
            subprocess.run(["ip", "link", "del", name + "x"], capture_output=True)
        subprocess.run(["ip", "netns", "del", self.name], capture_output=True)

    def ask(self, args, answers, as_user=True, driver=True):
        cmd = ["ip", "netns", "exec", self.name]
        cmd += [WITH_DRIVER] if driver else []
        cmd += ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] if as_user else []
        cmd += [RECORDER] + args
        result = subprocess.run(cmd, input=answers, capture_output=True, text=True, timeout=30)
        assert result.returncode == 0
        return result.stdout


def adapter_list(names):
    listed = "".join(rf"\( {i} \) {re.escape(name)} - [^\n]*\n" for i, name in enumerate(names))
    return ("\nThe network adapter was not selected...\n\n"
            "The following list of network adapter can be used.\n" + listed + "\n")


def test_single_adapter_is_chosen_then_file_and_mode_are_asked(tmp_path):
    target = tmp_path / "one"
    with Namespace(["kvqa0"]) as ns:
        out = ns.ask([], f"\n\n{target}\n0\n4\n-1\n2\n")
    head = adapter_list(["kvqa0"]) + re.escape(
        "? > <Automatically select the only network adapter available>\n\n")
    match = re.match(r"\nParse information from the command line\.\.\.\n" + head, out)
    assert match, out
    rest = out[match.end():]
    assert rest.startswith(FILE_QUESTION + MODE_MENU + MODE_QUESTION * 4)
    assert "  Data stored in file = %s\n" % target in rest
    assert "  Network Adapter = kvqa0\n" in rest
    assert "  Mode = continuous\n    BufferSize = 1024000\n" in rest
    assert rest.endswith(ROOT_MESSAGE)


def test_adapter_question_over_three_adapters():
    names = ["kvqb0", "kvqb1", "kvqb2"]
    with Namespace(names) as ns:
        out = ns.ask(["--filename=/tmp/kvq", "--mode=circular"], "3\n-1\n2\n")
    assert re.search(adapter_list(sorted(names)) + re.escape(ADAPTER_QUESTION * 3), out), out
    assert "  Network Adapter = %s\n" % sorted(names)[2] in out
    assert out.endswith(ROOT_MESSAGE)


def test_without_the_driver_no_adapter_is_offered():
    with Namespace(["kvqc0"]) as ns:
        out = ns.ask(["--filename=/tmp/kvq", "--mode=circular"], "0\n", driver=False)
    assert out.endswith("No Kova Velox driver installed\n\n")
    assert "( 0 )" not in out


def test_unreadable_answers_end_the_program():
    with Namespace(["kvqd0", "kvqd1"]) as ns:
        adapter = ns.ask(["--filename=/tmp/kvq", "--mode=circular"], "abc\n")
        assert adapter.endswith(ADAPTER_QUESTION)
        mode = ns.ask(["--adaptername=kvqd0", "--filename=/tmp/kvq"], "abc\n")
        assert mode.endswith(MODE_QUESTION)
        silent = ns.ask(["--adaptername=kvqd0", "--mode=circular"], "")
        assert silent.endswith(FILE_QUESTION)
    for out in (adapter, mode, silent):
        assert "Configuration is..." not in out


@pytest.fixture
def shared_dir():
    """A directory the unprivileged recorder can read (pytest's own tmp_path is root's only)."""
    path = tempfile.mkdtemp(prefix="kvprompt")
    os.chmod(path, 0o755)
    yield pathlib.Path(path)
    shutil.rmtree(path)


def test_overwrite_question(shared_dir):
    # The question is about the file the recording would replace: typing trace while
    # trace.pcap exists asks it too, since the capture goes to trace.pcap.
    typed = shared_dir / "trace"
    existing = shared_dir / "trace.pcap"
    existing.write_bytes(b"old")
    overwrite = ("The file %s already exists. Do you want to overwrite it? "
                 "[ Yes / No ( Default ) ]\n" % existing)
    base = ["--adaptername=kvqe0", "--mode=continuous"]
    with Namespace(["kvqe0"]) as ns:
        kept = ns.ask(base, f"{typed}\nmaybe\n{'y' * 100}\nYes\n")
        assert kept.count(overwrite) == 3
        assert "Data stored in file = %s\n" % typed in kept
        renamed = ns.ask(base, f"{existing}\nN\n{shared_dir}/other\n")
        assert renamed.count(overwrite) == 1
        assert renamed.count(FILE_QUESTION.lstrip()) == 2
        assert "Data stored in file = %s/other\n" % shared_dir in renamed
        ended = ns.ask(base, f"{typed}\n")
        assert ended.endswith(overwrite + "? > ")
        assert "Configuration is..." not in ended
        fresh = ns.ask(base, f"{shared_dir}/new\n")
        assert "already exists" not in fresh


def test_file_name_answers_are_bounded(tmp_path):
    base = ["--adaptername=kvqf0", "--mode=continuous"]
    with Namespace(["kvqf0"]) as ns:
        too_long = "/tmp/" + "n" * 1100
        out = ns.ask(base, f"{too_long}\n{tmp_path}/short name\n")
    assert out.count(FILE_QUESTION.lstrip()) == 2
    between = out.split(FILE_QUESTION.lstrip())[1]
    assert "1023" in between or "too long" in between.lower()
    assert "Data stored in file = %s/short\n" % tmp_path in out
    assert "nnnnnnnn\n" not in out.split("Configuration is...")[1]
