"""How recordings end: stop signals, a capture file that cannot be created or filled, a fixed
number of packets on a link that goes quiet, and the file's link type."""

import os
import pty
import signal
import subprocess
import threading
import time

import pytest

from kvharness import (IS_ROOT, VethLink, assert_completed, listening, private_mounts, read_pcap,
                       record, start, summary)

pytestmark = pytest.mark.skipif(not IS_ROOT, reason="needs root for namespaces and capture")


@pytest.mark.parametrize("stop", [signal.SIGTERM, signal.SIGHUP])
def test_term_and_hangup_store_the_recording_like_ctrl_c(tmp_path, stop):
    """A service stop or a closed terminal keeps the recording. The name has blanks in it."""
    directory = tmp_path / "run 1"
    directory.mkdir()
    with VethLink() as link:
        recorder = start(link, directory / "my capture", "--mode=continuous")
        link.send(100)
        recorder.process.send_signal(stop)
        assert_completed(recorder, recorder.finish(), directory / "my capture.pcap",
                         list(range(100)))
    assert sorted(os.listdir(directory)) == ["my capture.pcap"]


def test_console_reader_that_goes_away_does_not_cost_the_recording(tmp_path):
    """As with `kvpcaprecorder ... | tee run.log` and Ctrl+C: tee ends first."""
    path = tmp_path / "piped.pcap"
    with VethLink() as link:
        recorder = start(link, path, "--mode=continuous")
        recorder.process.stdout.close()
        link.send(100)
        time.sleep(0.6)  # a few turns of the spinner into the closed pipe
        recorder.process.send_signal(signal.SIGINT)
        code = recorder.process.wait(timeout=30)
    assert code == 0, recorder.process.stderr.read().decode()
    assert read_pcap(path).numbers == list(range(100))


class SlowReader:
    """The read end of a FIFO that takes nothing until `drain`: a store into it blocks."""

    def __init__(self, path):
        os.mkfifo(path)
        self.descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
        self.data = bytearray()
        self.thread = None

    def drain(self):
        def read_all():
            os.set_blocking(self.descriptor, True)
            deadline = time.monotonic() + 30
            while True:
                chunk = os.read(self.descriptor, 1 << 16)
                if chunk:
                    self.data += chunk
                elif self.data or time.monotonic() > deadline:
                    return  # the writer closed it
                else:
                    time.sleep(0.05)  # no writer has opened it yet
        self.thread = threading.Thread(target=read_all)
        self.thread.start()

    def close(self):
        if self.thread is None:
            self.drain()
        self.thread.join(timeout=30)
        os.close(self.descriptor)


@pytest.mark.parametrize("second", [None, signal.SIGTERM, signal.SIGINT])
def test_during_the_store_hangup_is_ignored_and_term_or_ctrl_c_end_at_once(tmp_path, second):
    fifo = tmp_path / "slow.pcap"
    reader = SlowReader(fifo)
    try:
        with VethLink() as link:
            recorder = start(link, fifo, "--mode=continuous", "--maximumpacketsize=1000")
            link.send(2000, size=1000)  # about 2 MB: far more than the pipe holds
            recorder.process.send_signal(signal.SIGINT)
            recorder.read_until("Store Start\n")
            recorder.process.send_signal(signal.SIGHUP)
            time.sleep(0.5)
            assert recorder.process.poll() is None, recorder.text
            if second is not None:
                recorder.process.send_signal(second)
                assert recorder.finish(timeout=10) == -second
                return
            reader.drain()
            assert_completed(recorder, recorder.finish())
    finally:
        reader.close()
    (tmp_path / "copy.pcap").write_bytes(reader.data)
    assert read_pcap(tmp_path / "copy.pcap").numbers == list(range(2000))


@pytest.mark.parametrize("where", ["missing directory", "read-only file system"])
def test_unwritable_target_is_refused_before_recording(tmp_path, where):
    outer = ()
    if where == "missing directory":
        path, reason = tmp_path / "no" / "such" / "trace.pcap", "No such file or directory"
    else:
        readonly = tmp_path / "ro"
        readonly.mkdir()
        path, reason = readonly / "trace.pcap", "Read-only file system"
        outer = private_mounts(f"mount -t tmpfs -o ro kvro '{readonly}'")
    with VethLink() as link:
        code, text = record([f"--adaptername={link.host}", f"--filename={path}",
                             "--mode=continuous"], outer=outer, timeout=30)
    assert code == 1
    assert f"Cannot create the file {path}. Error = {reason}\n" in text, text
    assert "Open the driver..." not in text and "<Press Ctrl+c" not in text, text


class SmallFileSystem:
    """A 1 MB tmpfs on `directory`, holding an older capture `name` with `old` in it."""

    def __init__(self, directory, name, old):
        directory.mkdir()
        self.directory, self.file = directory, directory / name
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "kvfull", str(directory)],
                       check=True)
        self.file.write_bytes(old)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        subprocess.run(["umount", "--lazy", str(self.directory)], check=True)


@pytest.mark.parametrize("terminal", [False, True])
def test_full_file_system_keeps_the_old_file_and_asks_for_another_on_a_terminal(tmp_path,
                                                                                terminal):
    other = tmp_path / "other dir"
    other.mkdir()
    master = slave = None
    if terminal:
        master, slave = pty.openpty()
    try:
        with SmallFileSystem(tmp_path / "small", "full.pcap", b"previous") as small, \
                VethLink() as link, listening(link):
            recorder = start(link, small.file, "--mode=continuous",
                             "--maximumpacketsize=1500", stdin=slave)
            link.send(3000, size=1400)  # about 4 MB of records for 1 MB of room
            recorder.process.send_signal(signal.SIGINT)
            if terminal:
                recorder.read_until("(nothing to give up)\n? > ")
                os.write(master, f"{other / 'second try'}\n".encode())
            code = recorder.finish()
            assert small.file.read_bytes() == b"previous"
            assert os.listdir(small.directory) == ["full.pcap"]
    finally:
        for descriptor in (master, slave):
            if descriptor is not None:
                os.close(descriptor)
    text = recorder.text
    assert f"The capture file was not stored: Cannot write the file {small.file}. " \
           "Error = No space left on device\n" in text, text
    if terminal:
        assert_completed(recorder, code, other / "second try.pcap", list(range(3000)))
        assert text.count("Store Done\n") == 2
    else:
        assert_completed(recorder, code, status=1)
        assert "still in memory" not in text and os.listdir(other) == []
        said = summary(text)
        assert said.instead == (f"{3000 - said.kernel - said.recorder} packets recorded were not "
                                "stored, no file was written and the existing file "
                                f"{small.file} was left as it was"), text


def test_fixed_number_ends_on_a_quiet_link_and_keeps_every_packet(tmp_path):
    """The single Buffer holds far more than 1000 records of 64 bytes: the end cannot wait for
    it to fill."""
    path = tmp_path / "quiet.pcap"
    with VethLink() as link:
        recorder = start(link, path, "--mode=fixednumberofpackets", "--numberofpackets=1000")
        link.send(1500)
        sent = time.monotonic()
        code = recorder.finish(timeout=20)
        elapsed = time.monotonic() - sent
    assert_completed(recorder, code, path, list(range(1500)))
    assert elapsed < 3.0, f"ended {elapsed:.1f} s after the last packet"


def test_fixed_number_holds_the_requested_count_of_the_largest_packets(tmp_path):
    path = tmp_path / "large.pcap"
    with VethLink(mtu=65535) as link:
        recorder = start(link, path, "--mode=fixednumberofpackets", "--numberofpackets=1000",
                         "--maximumpacketsize=65535")
        sender = link.send(1001, size=65535, interval_ms=1, wait=False)
        code = recorder.finish(timeout=60)
        sender.wait(timeout=60)
    assert_completed(recorder, code, path)
    capture = read_pcap(path)  # the count includes the host's ICMP answers
    assert len(capture.records) > 1000, len(capture.records)
    assert capture.numbers == list(range(len(capture.numbers)))


def test_duration_ends_the_recording_by_itself_and_stores_it(tmp_path):
    path = tmp_path / "timed.pcap"
    with VethLink() as link:
        recorder = start(link, path, "--mode=continuous", "--duration=2")
        started = time.monotonic()
        link.send(300, interval_ms=1)
        code = recorder.finish(timeout=20)  # no Ctrl+C
        elapsed = time.monotonic() - started
    assert_completed(recorder, code, path, list(range(300)))
    assert "The duration of 2 seconds has elapsed: the recording ends\n" in recorder.text
    assert 1.5 < elapsed < 5.0, f"ended {elapsed:.1f} s after the start"
