"""The closing summary and the live progress, each counter checked against a real recording on a
veth pair."""

import fcntl
import os
import pty
import re
import select
import signal
import struct
import subprocess
import termios
import time
import tty

import pytest

from kvharness import (IS_ROOT, RECORDER, WITH_DRIVER, VethLink, assert_completed, listening,
                       numbered_only, start, summary)

pytestmark = pytest.mark.skipif(not IS_ROOT, reason="needs root for namespaces and capture")

PROMPT = "<Press Ctrl+c to stop acquiring>\n\n"
STORE = "Store the pcap trace into a file...\n"
SPIN = "|/-\\"


def recorded(link, path, *args, send=None):
    """Records with `args` while `send` runs, then stops; the recorder and its exit code."""
    with listening(link):
        recorder = start(link, path, *args)
        send()
        time.sleep(0.3)
        return recorder, recorder.stop()


def acquisition_of(text):
    """What the console shows between the Ctrl+C prompt and the store."""
    assert PROMPT in text and STORE in text, text
    return text.split(PROMPT, 1)[1].split(STORE, 1)[0]


def increasing(numbers):
    return all(a < b for a, b in zip(numbers, numbers[1:]))


def test_kernel_drops_and_the_file_account_for_every_packet_sent(tmp_path):
    """A stopped recorder lets the kernel's ring overflow: the kernel's drops and the file add up
    to what was sent."""
    path = tmp_path / "stalled.pcap"
    with VethLink() as link, listening(link):
        recorder = start(link, path, "--mode=continuous", "--maximumpacketsize=1500")
        link.send(1000, size=1400)
        time.sleep(0.3)
        recorder.process.send_signal(signal.SIGSTOP)
        try:
            link.send(19000, first=1000, size=1400)  # about 27 MB against a ring of a few MB
        finally:
            recorder.process.send_signal(signal.SIGCONT)
        time.sleep(1.0)
        code = recorder.stop()
    assert_completed(recorder, code, path)
    numbers, said = numbered_only(path), summary(recorder.text)
    assert said.stored[0] + said.kernel == 20000, recorder.text
    assert said.kernel > 0 and said.recorder == 0 and said.discarded is None, recorder.text
    assert numbers[:1000] == list(range(1000)) and increasing(numbers) and numbers[-1] < 20000


def test_recorder_drops_when_its_only_buffer_is_full(tmp_path):
    """The smallest fixed plan lends one Buffer: a flat-out burst finds no room once it is full."""
    path, sent = tmp_path / "small.pcap", 6000
    with VethLink() as link, listening(link):
        recorder = start(link, path, "--mode=fixednumberofpackets", "--numberofpackets=512")
        sender = link.send(sent, wait=False)
        code = recorder.finish(timeout=30)  # the plan ends the recording by itself
        assert sender.wait(timeout=60) == 0
    assert_completed(recorder, code, path)
    numbers, said = numbered_only(path), summary(recorder.text)
    assert said.recorder > 0 and 512 < said.stored[0] < sent, recorder.text
    assert said.stored[0] + said.kernel + said.recorder <= sent, recorder.text
    assert numbers == list(range(len(numbers)))


def test_circular_discards_exactly_the_oldest_packets(tmp_path):
    """About four times the ring, paced: the file starts where the discarded packets end and
    holds about a ring's worth, not the whole traffic."""
    path, sent = tmp_path / "ring.pcap", 8000
    with VethLink() as link:
        recorder, code = recorded(link, path, "--mode=circular", "--buffersize=1024000",
                                  "--maximumpacketsize=1500",
                                  send=lambda: link.send(sent, size=1000, interval_ms=0.1))
    assert_completed(recorder, code, path)
    numbers, said = numbered_only(path), summary(recorder.text)
    dropped = said.kernel + said.recorder
    assert 0 < said.discarded < sent and numbers[-1] == sent - 1, recorder.text
    assert said.stored[0] + said.discarded + dropped == sent, recorder.text
    assert said.stored[2] <= 24 + 2 * 1024000, said.stored
    if dropped == 0:
        assert numbers == list(range(said.discarded, sent)), recorder.text
    else:  # a machine too busy to keep up: the drops are all that is missing
        assert said.discarded <= numbers[0] <= said.discarded + dropped, recorder.text
        assert increasing(numbers)


@pytest.mark.parametrize("existing", [False, True])
def test_nothing_recorded_writes_no_file_and_leaves_an_existing_one(tmp_path, existing):
    path = tmp_path / "silent.pcap"
    if existing:
        path.write_bytes(b"an older capture")
        os.utime(path, (1_000_000_000, 1_000_000_000))
    with VethLink() as link:
        recorder, code = recorded(link, path, "--mode=continuous", send=lambda: time.sleep(0.2))
    assert_completed(recorder, code)
    left = f" and the existing file {path} was left as it was" if existing else ""
    assert recorder.text.endswith(
        f"\nSummary: no packet was recorded, no file was written{left}; "
        "dropped: 0 by the kernel, 0 by the recorder\nDone!\n"), recorder.text
    if existing:
        assert path.read_bytes() == b"an older capture"
        assert path.stat().st_mtime == 1_000_000_000
    assert os.listdir(tmp_path) == (["silent.pcap"] if existing else [])


RECORD = 16 + 1400  # a record's header and a whole frame of the live progress test
PROGRESS = re.compile(r"([|/\-\\]) (\d\d):(\d\d):(\d\d)  (\d+) packets  (\d+\.\d) of (\d+\.\d) MB"
                      r"  (\d+) dropped\033\[K\r")


class TerminalRecorder:
    """The recorder writing to a raw pseudo-terminal (the bytes as written), read from here."""

    def __init__(self, args, columns=0):
        self.master, slave = pty.openpty()
        tty.setraw(slave)
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
        try:
            self.process = subprocess.Popen([WITH_DRIVER, RECORDER] + list(args),
                                            stdin=subprocess.DEVNULL, stdout=slave,
                                            stderr=subprocess.PIPE)
        finally:
            os.close(slave)
        self.output = self.stderr = b""

    @property
    def text(self):
        return self.output.decode(errors="replace")

    def read_until(self, done, timeout=20.0):
        """Until done(text); with None, until every writer has closed the terminal."""
        deadline = time.monotonic() + timeout
        while done is None or not done(self.text):
            assert time.monotonic() < deadline, self.text
            if select.select([self.master], [], [], 0.1)[0]:
                try:
                    chunk = os.read(self.master, 65536)
                except OSError:  # EIO: the slave side is closed
                    chunk = b""
                assert chunk or done is None, self.text
                if not chunk:
                    return
                self.output += chunk

    def finish(self):
        self.read_until(None, timeout=30.0)
        _, self.stderr = self.process.communicate(timeout=10)
        return self.process.returncode

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        os.close(self.master)


def counting(total):
    """A progress line counts `total` packets, recorded or dropped."""
    return lambda text: any(int(line[4]) + int(line[7]) == total for line in PROGRESS.findall(text))


def test_terminal_shows_live_progress_and_erases_it_before_the_store(tmp_path):
    """About 11 MB of records: the memory in use grows with the count, up to what was sent."""
    path = tmp_path / "live.pcap"
    with VethLink() as link, listening(link):
        recorder = TerminalRecorder([f"--adaptername={link.host}", f"--filename={path}",
                                     "--mode=continuous", "--maximumpacketsize=1500"])
        try:
            recorder.read_until(lambda text: PROMPT in text)
            for first in (0, 4000):
                link.send(4000, first=first, size=1400)
                recorder.read_until(counting(first + 4000))
            recorder.process.send_signal(signal.SIGINT)
            code = recorder.finish()
        finally:
            recorder.close()
    assert_completed(recorder, code, path)
    said = summary(recorder.text)
    if said.kernel + said.recorder == 0:
        assert numbered_only(path) == list(range(8000))

    acquisition = acquisition_of(recorder.text)
    assert acquisition.endswith("\r\033[K\r \n"), repr(acquisition)
    lines = acquisition[:-len("\r\033[K\r \n")]
    assert PROGRESS.sub("", lines) == "", repr(lines)  # nothing but progress lines
    shown = PROGRESS.findall(lines)
    assert "".join(line[0] for line in shown) == (SPIN * len(shown))[:len(shown)]
    seconds = [int(h) * 3600 + int(m) * 60 + int(s) for _, h, m, s, *_ in shown]
    counts, held, dropped = ([conv(line[i]) for line in shown]
                             for i, conv in ((4, int), (5, float), (7, int)))
    accounted = [count + drops for count, drops in zip(counts, dropped)]
    assert seconds == sorted(seconds) and seconds[0] == 0 and seconds[-1] < 60
    assert counts == sorted(counts) and dropped == sorted(dropped) and held == sorted(held)
    assert accounted[0] < 4000 and 4000 in accounted and accounted[-1] == 8000, accounted
    assert (counts[-1], dropped[-1]) == (said.stored[0], said.kernel + said.recorder)
    # Every record held counts, those in Buffers still being filled too.
    assert shown[-1][5] == f"{counts[-1] * RECORD / 1e6:.1f}", shown[-1]
    assert {line[6] for line in shown} == {"20480.0"}  # 2048 Buffers of 10,000,000 bytes


def test_progress_on_a_narrow_terminal_is_cut_to_its_width(tmp_path):
    """A line that wrapped would leave a copy behind at every turn."""
    path = tmp_path / "narrow.pcap"
    with VethLink() as link, listening(link):
        recorder = TerminalRecorder([f"--adaptername={link.host}", f"--filename={path}",
                                     "--mode=continuous"], columns=24)
        try:
            recorder.read_until(lambda text: PROMPT in text)
            link.send(100)
            recorder.read_until(lambda text: text.count("\033[K\r") >= 3)
            recorder.process.send_signal(signal.SIGINT)
            code = recorder.finish()
        finally:
            recorder.close()
    assert_completed(recorder, code, path, list(range(100)))
    acquisition = acquisition_of(recorder.text)
    assert acquisition.endswith("\r\033[K\r \n"), repr(acquisition)
    drawn = acquisition[:-len("\r\033[K\r \n")].split("\033[K\r")[:-1]
    assert len(drawn) >= 3
    assert all(len(line) == 23 and line[0] in SPIN and line[1:5] == " 00:" for line in drawn), \
        drawn


def test_without_a_terminal_only_the_spinner_turns(tmp_path):
    path = tmp_path / "piped.pcap"
    with VethLink() as link:
        recorder, code = recorded(link, path, "--mode=continuous",
                                  send=lambda: (link.send(100), time.sleep(0.5)))
        assert_completed(recorder, code, path, list(range(100)))
    acquisition = acquisition_of(recorder.text)
    assert re.fullmatch(r"(?:[|/\-\\]\r)+\r \n", acquisition), repr(acquisition)
    turns = acquisition[:-len("\r \n")].split("\r")[:-1]
    assert len(turns) >= 3 and "".join(turns) == (SPIN * len(turns))[:len(turns)]
