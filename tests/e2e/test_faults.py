"""Faults during real recordings: Ctrl+C at random moments, a full file system, a memory limit,
an adapter that goes down or disappears, and logging that cannot write, cannot reach its
receiver or runs out of records: what the operator sees, and that no kept packet is lost."""

import contextlib
import os
import pathlib
import random
import re
import socket
import threading
import time

import pytest

from kvharness import (IS_ROOT, PRIVATE_SHM, RECORDER, VethLink, assert_readable,
                       private_mounts, read_pcap, run, start)

pytestmark = pytest.mark.skipif(not IS_ROOT, reason="needs root for namespaces and capture")

FRAME = 1400
SPINNING_SHARE = 0.25  # a loop spinning while the adapter is away takes a whole core


def start_continuous(link, path, log=None, **kwargs):
    env = dict(os.environ, ZR_TINY_LOGGER=log) if log else None
    return start(link, path, "--mode=continuous", "--maximumpacketsize=1500", env=env, **kwargs)


def assert_completed(recorder, code, path=None, numbers=None):
    """Ended normally; the capture file, when given, is readable and holds exactly `numbers`."""
    assert code == 0, (code, recorder.text, recorder.stderr.decode())
    assert recorder.text.endswith("Done!\n"), recorder.text
    if path is not None:
        assert_readable(path)
        if numbers is not None:
            assert read_pcap(path).numbers == numbers


def cpu_share(pid, seconds):
    """The share of one core a process (all its threads) used over the next `seconds`."""
    def used():
        fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    before, started = used(), time.monotonic()
    time.sleep(seconds)
    return (used() - before) / (time.monotonic() - started)


def test_ctrl_c_at_random_moments_keeps_every_packet_sent_before_it(tmp_path):
    seed = int(os.environ.get("KV_FAULT_SEED", time.time_ns() % 1000000))
    moments = random.Random(seed)
    with VethLink() as link:
        for round_number in range(20):
            path = tmp_path / f"ctrl-c-{round_number}.pcap"
            recorder = start_continuous(link, path)
            # About 5000 frames a second: a 10,000,000-byte block fills in 1.4 s, so the
            # moments fall before, at and after block changes.
            log = tmp_path / f"sent-{round_number}"
            sender = link.send(40000, first=round_number * 100000, interval_ms=0.2, size=FRAME,
                               log=log, wait=False)
            delay = moments.uniform(0.0, 3.0)
            time.sleep(delay)
            signalled = time.monotonic()
            code = recorder.stop()
            sender.terminate()
            sender.wait(timeout=30)
            times = dict(map(int, line.split()) for line in log.read_text().splitlines())
            expected = sorted(n for n, sent_ns in times.items() if sent_ns / 1e9 < signalled)
            context = f"seed {seed}, round {round_number}, Ctrl+C after {delay:.3f} s"
            assert_completed(recorder, code)
            if not path.exists():
                assert not expected, f"{context}: no file, {len(expected)} packets were sent"
                continue
            assert_readable(path, context)
            numbers = read_pcap(path).numbers
            assert numbers == sorted(set(numbers)), f"{context}: order or duplicates"
            missing = sorted(set(expected) - set(numbers))
            assert not missing, f"{context}: {len(missing)} of {len(expected)} lost, {missing[:5]}"


def test_full_file_system_gives_a_clear_message(tmp_path):
    small = tmp_path / "small"
    small.mkdir()
    path = small / "full.pcap"
    with VethLink() as link:
        recorder = start_continuous(
            link, path, outer=private_mounts(f"mount -t tmpfs -o size=1m kvfull '{small}'"))
        link.send(3000, size=FRAME)  # about 4 MB of records for 1 MB of room
        assert_completed(recorder, recorder.stop())
    after = recorder.text.split("Store Start\n", 1)[1]
    assert "No space left on device" in after, recorder.text
    assert str(path) in after, recorder.text
    assert not path.exists()  # the small file system was the recorder's own


def is_sanitized(program):
    """AddressSanitizer and ThreadSanitizer reserve terabytes of shadow memory: such a build
    cannot run under an address-space limit."""
    content = pathlib.Path(program).read_bytes() if os.path.exists(program) else b""
    return b"__asan_init" in content or b"__tsan_init" in content


@pytest.mark.skipif(is_sanitized(RECORDER),
                    reason="a sanitizer's shadow memory cannot run under an address-space limit")
def test_memory_limit_ends_a_continuous_recording_that_stores_what_it_has(tmp_path):
    with VethLink() as link:
        # The recorder's own address space while it records, with its first four blocks.
        probe = start_continuous(link, tmp_path / "probe.pcap")
        with open(f"/proc/{probe.process.pid}/status") as f:
            peak = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmPeak:"))
        probe.stop()
        # Room for a few more 10,000,000-byte blocks, far less than the traffic needs.
        path = tmp_path / "limited.pcap"
        recorder = start_continuous(link, path, log="stdout,4",
                                    inner=["prlimit", f"--as={peak + 64 * 1024 * 1024}", "--"])
        sent = 200000  # about 280 MB of records
        sender = link.send(sent, size=FRAME, wait=False)
        try:
            code = recorder.finish(timeout=120)  # no Ctrl+C: the recording must end by itself
        finally:
            sender.kill()
            sender.wait()
    assert_completed(recorder, code, path)
    numbers = read_pcap(path).numbers
    assert 0 < len(numbers) < sent, recorder.text
    assert numbers == list(range(len(numbers))), "a packet went missing while recording"


@pytest.mark.parametrize("disappears", [False, True])
def test_adapter_down_or_gone_without_spinning(tmp_path, disappears):
    """An adapter down and up again: the recording resumes; one that disappears: it stores."""
    path = tmp_path / "adapter.pcap"
    with VethLink() as link:
        recorder = start_continuous(link, path)
        link.send(100, size=FRAME)
        if disappears:
            time.sleep(0.3)
            run(["ip", "link", "del", link.host])
        else:
            run(["ip", "link", "set", link.host, "down"])
        share = cpu_share(recorder.process.pid, 3.0)
        if not disappears:
            run(["ip", "link", "set", link.host, "up"])
            deadline = time.monotonic() + 10
            while open(f"/sys/class/net/{link.host}/operstate").read().strip() != "up":
                assert time.monotonic() < deadline, "the adapter did not come back"
                time.sleep(0.05)
            time.sleep(0.5)
            link.send(100, first=100, size=FRAME)
        code = recorder.stop()
    assert share < SPINNING_SHARE, f"{share:.2f} of a core while the adapter was away"
    assert_completed(recorder, code, path, list(range(100 if disappears else 200)))


@pytest.mark.parametrize("where", ["read-only", "missing", "syslog"])
def test_logging_that_cannot_write_leaves_the_recording_intact(tmp_path, where):
    """A log file on a read-only file system or in a missing directory, or no syslog receiver.
    The /dev/shm is private: the file output's lock is a named semaphore the host must not get."""
    directory = tmp_path / "logs"
    directory.mkdir()
    mounts = [PRIVATE_SHM]
    log = directory / ("recorder.log" if where == "read-only" else "no/such/recorder.log")
    configuration = f"file,7,{log}"
    if where == "read-only":
        mounts.append(f"mount -t tmpfs -o ro,size=1m kvro '{directory}'")
    elif where == "syslog":
        configuration, log = "syslog,7,127.0.0.1", None
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            try:
                probe.bind(("127.0.0.1", 514))
            except OSError:
                pytest.skip("a syslog receiver listens on 127.0.0.1:514 on this machine")
    path = tmp_path / "logged.pcap"
    with VethLink() as link:
        recorder = start_continuous(link, path, log=configuration, outer=private_mounts(*mounts))
        link.send(500, size=FRAME)
        assert_completed(recorder, recorder.stop(), path, list(range(500)))
    assert log is None or not log.exists()


def read_available(descriptor):
    data = b""
    with contextlib.suppress(BlockingIOError):
        while chunk := os.read(descriptor, 65536):
            data += chunk
    return data


def log_lines(data):
    return [line for line in data.split(b"\r\n") if re.match(rb"^\.*-?\d+\t", line)]


def test_log_pool_of_two_drops_messages_and_blocks_nothing(tmp_path):
    """The log output is stuck (a full FIFO) while the recording starts: with a pool of two
    records the start-up burst is dropped instead of waited for. Then the output flows again and
    Ctrl+C ends the recording normally. A private /dev/shm: the stuck write holds no host lock."""
    with VethLink() as link:
        # How many lines the same recording logs when nothing is dropped.
        reference_log = tmp_path / "reference.log"
        reference = start_continuous(link, tmp_path / "reference.pcap",
                                     log=f"file,7,{reference_log},0,1000",
                                     outer=private_mounts(PRIVATE_SHM))
        link.send(100, size=FRAME)
        assert_completed(reference, reference.stop())
        reference_count = len(log_lines(reference_log.read_bytes()))

        # A FIFO whose buffer is full: a writer that opens it blocks until someone reads.
        fifo = tmp_path / "log.fifo"
        os.mkfifo(fifo)
        descriptor = os.open(fifo, os.O_RDWR | os.O_NONBLOCK)
        filled = 0
        with contextlib.suppress(BlockingIOError):
            while True:
                filled += os.write(descriptor, b"." * 4096)
        chunks, finished = [], threading.Event()

        def drain():
            while not finished.wait(0.01):
                chunks.append(read_available(descriptor))
            chunks.append(read_available(descriptor))

        reader = threading.Thread(target=drain, daemon=True)
        try:
            path = tmp_path / "pool.pcap"
            recorder = start_continuous(link, path, log=f"file,7,{fifo},0,2",
                                        outer=private_mounts(PRIVATE_SHM))
            link.send(100, size=FRAME)
            reader.start()  # the output flows again
            time.sleep(0.5)
            code = recorder.stop()
        finally:
            finished.set()
            reader.join(timeout=10)
            os.close(descriptor)
    assert_completed(recorder, code, path, list(range(100)))
    data = b"".join(chunks)
    assert len(data) > filled
    written = len(log_lines(data))
    assert reference_count >= 10, reference_count
    assert 0 < written < reference_count - 3, (written, reference_count)
