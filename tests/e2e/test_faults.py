"""Faults during real recordings, a memory limit and an adapter that goes
down or disappears: what the operator sees, and that no kept packet is lost."""

import os
import pathlib
import time

import pytest

from kvharness import (IS_ROOT, RECORDER, VethLink, assert_completed, read_pcap, run, start,
                       summary)

pytestmark = pytest.mark.skipif(not IS_ROOT, reason="needs root for namespaces and capture")

FRAME = 1400


def start_continuous(link, path, log=None, **kwargs):
    env = dict(os.environ, ZR_TINY_LOGGER=log) if log else None
    return start(link, path, "--mode=continuous", "--maximumpacketsize=1500", env=env, **kwargs)


def cpu_share(pid, seconds):
    """The share of one core a process (all its threads) used over the next `seconds`."""
    def used():
        fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    before, started = used(), time.monotonic()
    time.sleep(seconds)
    return (used() - before) / (time.monotonic() - started)


SANITIZED = os.path.exists(RECORDER) and b"san_init" in pathlib.Path(RECORDER).read_bytes()


@pytest.mark.skipif(SANITIZED,
                    reason="a sanitizer's shadow memory cannot run under an address-space limit")
def test_memory_limit_ends_a_continuous_recording_that_stores_what_it_has(tmp_path):
    with VethLink() as link:
        # The recorder's own address space while it records, with its first blocks.
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
            # No Ctrl+C: the recording must end by itself.
            recorder.read_until("Store the pcap trace into a file...", timeout=120)
        finally:
            sender.kill()
            sender.wait()
        code = recorder.finish()
    assert_completed(recorder, code, path)
    numbers = read_pcap(path).numbers
    assert 0 < len(numbers) < sent, recorder.text
    # A flat-out sender may outrun a recorder that shares the cores: what the kernel dropped is
    # counted, and while memory lasted no other packet may be missing.
    assert numbers == sorted(set(numbers)), "packets out of order or twice"
    missing = numbers[-1] + 1 - len(numbers)
    assert missing <= summary(recorder.text).kernel, recorder.text


def test_adapter_down_and_up_again_resumes_without_spinning(tmp_path):
    path = tmp_path / "adapter.pcap"
    with VethLink() as link:
        recorder = start_continuous(link, path)
        link.send(100, size=FRAME)
        run(["ip", "link", "set", link.host, "down"])
        share = cpu_share(recorder.process.pid, 3.0)
        run(["ip", "link", "set", link.host, "up"])
        deadline = time.monotonic() + 10
        while open(f"/sys/class/net/{link.host}/operstate").read().strip() != "up":
            assert time.monotonic() < deadline, "the adapter did not come back"
            time.sleep(0.05)
        time.sleep(0.5)
        link.send(100, first=100, size=FRAME)
        code = recorder.stop()
    # A loop spinning while the adapter is away would take a whole core.
    assert share < 0.25, f"{share:.2f} of a core while the adapter was away"
    assert_completed(recorder, code, path, list(range(200)))


def test_adapter_that_disappears_ends_the_recording_which_is_stored(tmp_path):
    path = tmp_path / "adapter.pcap"
    with VethLink() as link:
        recorder = start_continuous(link, path)
        link.send(100, size=FRAME)
        time.sleep(0.3)
        run(["ip", "link", "del", link.host])
        deleted = time.monotonic()
        code = recorder.finish(timeout=10)  # no Ctrl+C: it ends by itself
        elapsed = time.monotonic() - deleted
    assert_completed(recorder, code, path, list(range(100)))
    assert f"The network adapter {link.host} has disappeared: the recording ends\n" \
        in recorder.text, recorder.text
    assert elapsed < 3.0, f"ended {elapsed:.1f} s after the adapter disappeared"
