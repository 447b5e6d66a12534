"""Snapshots of a circular recording on SIGUSR1: stored beside the capture file while the
recording goes on, each a contiguous run of the window up to the request."""

import re
import signal
import time

import pytest

from test_endings import SlowReader
from kvharness import (IS_ROOT, VethLink, assert_completed, listening, numbered_only, read_pcap,
                       start, summary)

pytestmark = pytest.mark.skipif(not IS_ROOT, reason="needs root for namespaces and capture")

RING = ["--mode=circular", "--buffersize=2048000", "--maximumpacketsize=1000"]


def assert_contiguous_up_to(numbers, last):
    assert numbers, "an empty snapshot"
    assert numbers == list(range(numbers[0], last + 1)), (numbers[:3], numbers[-3:], last)


def test_three_snapshots_then_the_final_file(tmp_path):
    """Each snapshot ends with the last packet sent before its request and runs back without a
    gap; the recording goes on meanwhile and the final file is whole."""
    path = tmp_path / "ring.pcap"
    sent = 0
    with VethLink() as link, listening(link):
        recorder = start(link, path, *RING)
        for number in (1, 2, 3):
            link.send(3000, first=sent, size=1000)
            sent += 3000
            recorder.process.send_signal(signal.SIGUSR1)
            recorder.read_until(f"Snapshot stored in {tmp_path}/ring-{number}.pcap (")
            # Traffic during the store of the snapshot is recorded, not lost.
            link.send(500, first=sent, size=1000)
            sent += 500
        code = recorder.stop()
    assert_completed(recorder, code, path)
    last_before = [2999, 6499, 9999]
    for number, last in zip((1, 2, 3), last_before):
        snapshot = tmp_path / f"ring-{number}.pcap"
        assert_contiguous_up_to(numbered_only(snapshot), last)
        stored = re.search(rf"Snapshot stored in {snapshot} \((\d+) packets\)", recorder.text)
        assert int(stored[1]) == len(read_pcap(snapshot).records)
    assert_contiguous_up_to(numbered_only(path), sent - 1)
    said = summary(recorder.text)
    assert said.kernel == said.recorder == 0, recorder.text
    assert said.discarded == numbered_only(path)[0]
    assert recorder.text.rstrip().endswith(
        "; snapshots: " + ", ".join(str(tmp_path / f"ring-{n}.pcap") for n in (1, 2, 3)) +
        "\nDone!")


def test_requests_during_a_snapshot_are_queued(tmp_path):
    """The first snapshot goes into a FIFO that is read only later, so it stays in progress
    while two more are asked for (a signal each, delivered one by one)."""
    path = tmp_path / "ring.pcap"
    reader = SlowReader(tmp_path / "ring-1.pcap")
    try:
        with VethLink() as link, listening(link):
            recorder = start(link, path, *RING)
            link.send(2000, size=1000)
            for _ in range(3):
                recorder.process.send_signal(signal.SIGUSR1)
                time.sleep(0.3)
            assert "Snapshot stored" not in recorder.text
            reader.drain()
            recorder.read_until(f"Snapshot stored in {tmp_path}/ring-3.pcap (")
            code = recorder.stop()
    finally:
        reader.close()
    assert_completed(recorder, code, path, list(range(2000)))
    (tmp_path / "first.pcap").write_bytes(reader.data)
    assert numbered_only(tmp_path / "first.pcap") == list(range(2000))
    for number in (2, 3):
        assert numbered_only(tmp_path / f"ring-{number}.pcap") == list(range(2000))


def test_snapshot_request_outside_circular_mode_does_not_end_the_recording(tmp_path):
    path = tmp_path / "cont.pcap"
    with VethLink() as link, listening(link):
        recorder = start(link, path, "--mode=continuous")
        link.send(100)
        recorder.process.send_signal(signal.SIGUSR1)
        recorder.read_until("Snapshots are taken in circular mode only\n")
        link.send(100, first=100)
        code = recorder.stop()
    assert_completed(recorder, code, path, list(range(200)))
    assert list(tmp_path.iterdir()) == [path]
