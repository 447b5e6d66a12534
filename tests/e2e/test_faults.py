"""Faults during real recordings: Ctrl+C at random moments, a full file system, a memory limit,
an adapter that goes down or disappears, and a logging service that cannot write, cannot reach
its receiver or runs out of records. Each test checks what the operator sees and that no
recorded packet is lost where the design keeps them. With a recorder built with a sanitizer,
the memory-limit case is skipped: it needs an address-space limit, under which AddressSanitizer
and ThreadSanitizer cannot run."""

import os
import random
import re
import socket
import threading
import time

import pytest

from faultkit import (TimedSender, WrappedRecorder, cpu_share, drain, fill_fifo,
                      is_sanitized, private_mounts, virtual_peak, wait_operstate)
from kvharness import RECORDER, Recorder, VethLink, capinfos, is_root, read_pcap, run

pytestmark = pytest.mark.skipif(not is_root(), reason="needs root for namespaces and capture")

STARTED = "<Press Ctrl+c to stop acquiring>"
FRAME = 1400
SNAP = 1500
# A loop spinning while the adapter is away would take a whole core; the console's spinner and
# the capture's bounded waits take a few per cent.
SPINNING_SHARE = 0.25


def recorder_args(link, path, *extra):
    return [f"--adaptername={link.host}", f"--filename={path}", "--mode=continuous",
            f"--maximumpacketsize={SNAP}"] + list(extra)


def start(link, path, env=None, **wrappers):
    if wrappers:
        recorder = WrappedRecorder(recorder_args(link, path), env=env, **wrappers)
    else:
        recorder = Recorder(recorder_args(link, path), env=env)
    assert recorder.wait_for_output(STARTED), recorder.text + recorder.stderr.decode()
    return recorder


def stop(recorder, timeout=60):
    recorder.interrupt()
    return recorder.finish(timeout=timeout)


def assert_completed(recorder, code):
    assert code == 0, (code, recorder.text, recorder.stderr.decode())
    assert recorder.text.endswith("Done!\n"), recorder.text


def assert_readable(path):
    code, info = capinfos(str(path))
    assert code == 0, info


def logging_env(configuration):
    return dict(os.environ, ZR_TINY_LOGGER=configuration)


def test_ctrl_c_at_random_moments_keeps_every_packet_sent_before_it(tmp_path):
    seed = int(os.environ.get("KV_FAULT_SEED", time.time_ns() % 1000000))
    moments = random.Random(seed)
    with VethLink() as link:
        for round_number in range(20):
            path = tmp_path / f"ctrl-c-{round_number}.pcap"
            recorder = start(link, path)
            # About 5000 frames a second: a 10,000,000-byte block fills in 1.4 s, so the
            # moments fall before, at and after block changes.
            sender = TimedSender(link, tmp_path / f"sent-{round_number}", count=40000,
                                 first=round_number * 100000, interval_ms=0.2, size=FRAME)
            delay = moments.uniform(0.0, 3.0)
            time.sleep(delay)
            signalled = time.monotonic()
            code = stop(recorder)
            sender.stop()
            context = f"seed {seed}, round {round_number}, Ctrl+C after {delay:.3f} s"
            assert_completed(recorder, code)
            expected = sender.sent_before(signalled)
            if not path.exists():
                assert not expected, f"{context}: no file, {len(expected)} packets were sent"
                continue
            assert_readable(path)
            numbers = read_pcap(path).sequence_numbers()
            assert numbers == sorted(set(numbers)), f"{context}: order or duplicates"
            missing = sorted(set(expected) - set(numbers))
            assert not missing, f"{context}: {len(missing)} of {len(expected)} lost, {missing[:5]}"


def test_full_file_system_gives_a_clear_message(tmp_path):
    small = tmp_path / "small"
    small.mkdir()
    path = small / "full.pcap"
    with VethLink() as link:
        recorder = start(link, path,
                         outer=private_mounts(f"mount -t tmpfs -o size=1m kvfull '{small}'"))
        link.send(3000, size=FRAME)  # about 4 MB of records for 1 MB of room
        code = stop(recorder)
    assert_completed(recorder, code)
    after = recorder.text.split("Store Start\n", 1)[1]
    assert "No space left on device" in after, recorder.text
    assert str(path) in after, recorder.text
    assert not path.exists()  # the small file system was the recorder's own


@pytest.mark.skipif(is_sanitized(RECORDER),
                    reason="a sanitizer's shadow memory cannot run under an address-space limit")
def test_memory_limit_ends_a_continuous_recording_that_stores_what_it_has(tmp_path):
    with VethLink() as link:
        # The recorder's own address space while it records, with its first four blocks.
        probe = start(link, tmp_path / "probe.pcap")
        peak = virtual_peak(probe.process.pid)
        stop(probe)
        # Room for a few more 10,000,000-byte blocks, far less than the traffic needs.
        limit = peak + 64 * 1024 * 1024
        path = tmp_path / "limited.pcap"
        recorder = start(link, path, inner=["prlimit", f"--as={limit}", "--"],
                         env=logging_env("stdout,4"))
        sent = 200000  # about 280 MB of records
        sender = link.send_async(sent, size=FRAME)
        try:
            code = recorder.finish(timeout=120)  # no Ctrl+C: the recording must end by itself
        finally:
            sender.kill()
            sender.wait()
    assert_completed(recorder, code)
    assert_readable(path)
    numbers = read_pcap(path).sequence_numbers()
    assert numbers, recorder.text
    assert len(numbers) < sent
    assert numbers == list(range(len(numbers))), "a packet went missing while recording"


def test_adapter_down_and_up_resumes_without_spinning(tmp_path):
    path = tmp_path / "down.pcap"
    with VethLink() as link:
        recorder = start(link, path)
        link.send(100, size=FRAME)
        run(["ip", "link", "set", link.host, "down"])
        share = cpu_share(recorder.process.pid, 3.0)
        run(["ip", "link", "set", link.host, "up"])
        assert wait_operstate(link.host), "the adapter did not come back"
        time.sleep(0.5)
        link.send(100, first=100, size=FRAME)
        code = stop(recorder)
    assert share < SPINNING_SHARE, f"{share:.2f} of a core while the adapter was down"
    assert_completed(recorder, code)
    assert_readable(path)
    assert read_pcap(path).sequence_numbers() == list(range(200))


def test_adapter_that_disappears_still_stops_and_stores(tmp_path):
    path = tmp_path / "gone.pcap"
    with VethLink() as link:
        recorder = start(link, path)
        link.send(100, size=FRAME)
        time.sleep(0.3)
        run(["ip", "link", "del", link.host])
        share = cpu_share(recorder.process.pid, 3.0)
        code = stop(recorder)
    assert share < SPINNING_SHARE, f"{share:.2f} of a core after the adapter disappeared"
    assert_completed(recorder, code)
    assert_readable(path)
    assert read_pcap(path).sequence_numbers() == list(range(100))


@pytest.mark.parametrize("where", ["read-only", "missing"])
def test_log_file_that_cannot_be_written_leaves_the_recording_intact(tmp_path, where):
    directory = tmp_path / "logs"
    directory.mkdir()
    # A private /dev/shm: the file output's lock is a named semaphore the host must not get.
    mounts = ["mount -t tmpfs -o size=1m kvshm /dev/shm"]
    if where == "read-only":
        mounts.append(f"mount -t tmpfs -o ro,size=1m kvro '{directory}'")
        log = directory / "recorder.log"
    else:
        log = directory / "no" / "such" / "recorder.log"
    wrappers = {"outer": private_mounts(*mounts)}
    path = tmp_path / "logged.pcap"
    with VethLink() as link:
        recorder = start(link, path, env=logging_env(f"file,7,{log}"), **wrappers)
        link.send(500, size=FRAME)
        code = stop(recorder)
    assert_completed(recorder, code)
    assert_readable(path)
    assert read_pcap(path).sequence_numbers() == list(range(500))
    assert not log.exists()


def test_absent_syslog_receiver_leaves_the_recording_intact(tmp_path):
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        probe.bind(("127.0.0.1", 514))
    except OSError:
        pytest.skip("a syslog receiver listens on 127.0.0.1:514 on this machine")
    finally:
        probe.close()
    path = tmp_path / "syslog.pcap"
    with VethLink() as link:
        recorder = start(link, path, env=logging_env("syslog,7,127.0.0.1"))
        link.send(500, size=FRAME)
        code = stop(recorder)
    assert_completed(recorder, code)
    assert_readable(path)
    assert read_pcap(path).sequence_numbers() == list(range(500))


class FifoReader(threading.Thread):
    """Reads a FIFO until told to stop; what it read is in `data`."""

    def __init__(self, descriptor):
        super().__init__(daemon=True)
        self.descriptor = descriptor
        self.data = b""
        self.finished = threading.Event()

    def run(self):
        while not self.finished.is_set():
            self.data += drain(self.descriptor)
            time.sleep(0.01)
        self.data += drain(self.descriptor)


def log_lines(data):
    return [line for line in data.split(b"\r\n") if re.match(rb"^\.*-?\d+\t", line)]


def test_log_pool_of_two_drops_messages_and_blocks_nothing(tmp_path):
    """The log output is stuck (a FIFO whose buffer is full) while the recording starts, so
    the log thread holds its records: with a pool of two, the burst of start-up messages is
    dropped instead of waiting. Then the output flows again and Ctrl+C still ends the recording
    normally. The run's /dev/shm is private, so the stuck write holds no lock of other
    processes."""
    shm = "mount -t tmpfs -o size=1m kvshm /dev/shm"
    with VethLink() as link:
        # How many lines the same recording logs when nothing is dropped.
        reference_log = tmp_path / "reference.log"
        reference = start(link, tmp_path / "reference.pcap", outer=private_mounts(shm),
                          env=logging_env(f"file,7,{reference_log},0,1000"))
        link.send(100, size=FRAME)
        assert_completed(reference, stop(reference))
        reference_count = len(log_lines(reference_log.read_bytes()))

        fifo = tmp_path / "log.fifo"
        descriptor, filled = fill_fifo(fifo)
        reader = FifoReader(descriptor)
        try:
            path = tmp_path / "pool.pcap"
            recorder = start(link, path, outer=private_mounts(shm),
                             env=logging_env(f"file,7,{fifo},0,2"))
            link.send(100, size=FRAME)
            reader.start()  # the output flows again
            time.sleep(0.5)
            code = stop(recorder)
        finally:
            reader.finished.set()
            reader.join(timeout=10)
            os.close(descriptor)
    assert_completed(recorder, code)
    assert read_pcap(path).sequence_numbers() == list(range(100))
    assert len(reader.data) > filled
    written = len(log_lines(reader.data))
    assert reference_count >= 10, reference_count
    assert 0 < written < reference_count - 3, (written, reference_count)
