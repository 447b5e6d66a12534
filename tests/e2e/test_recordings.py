"""Real recordings: the driver's stand-in node in a private mount namespace, numbered traffic on
a veth pair, and the capture files checked with capinfos, tshark and the tests' own reader."""

import os
import time

import pytest

from kvharness import (IS_ROOT, PRIVATE_SHM, VethLink, assert_readable, private_mounts,
                       read_pcap, record, run, start)

pytestmark = pytest.mark.skipif(not IS_ROOT, reason="needs root for namespaces and capture")


def check_records(capture, frame_size, snap):
    """The header bytes are the writer's (unit tests); here what the program gave the file."""
    assert capture.snaplen == snap
    stamps = [(sec, usec) for sec, usec, *_ in capture.records]
    assert stamps == sorted(stamps) and all(usec < 1000000 for _, usec in stamps)
    assert all(stored == min(wire, snap) == len(data) for *_, stored, wire, data in capture.records)
    udp = [r for r in capture.records if r[4][12:14] == b"\x08\x00" and r[4][23] == 17]
    assert all(r[3] == frame_size for r in udp)


def test_continuous_keeps_every_packet_sent_before_the_signal(tmp_path):
    path = tmp_path / "cont.pcap"
    with VethLink() as link:
        recorder = start(link, path, "--mode=continuous")
        link.send(3000, size=300)
        link.send(20, first=3000, interval_ms=5, size=300)  # the last 100 ms before the signal
        assert recorder.stop() == 0
    assert "Store Start\n" in recorder.text and recorder.text.endswith("Done!\n")
    capture = read_pcap(path)
    assert capture.numbers == list(range(3020))
    check_records(capture, 300, 200)
    assert_readable(path)
    frames = run(["tshark", "-r", path, "-Y", "udp.dstport == 9999 && !icmp", "-T", "fields",
                  "-e", "frame.number"]).stdout.split()
    assert len(frames) == 3020


def test_pcap_is_appended_long_frames_are_cut_and_stdout_logging_shows_the_threads(tmp_path):
    env = dict(os.environ, ZR_TINY_LOGGER="stdout,6")
    with VethLink() as link:
        recorder = start(link, tmp_path / "named", "--mode=continuous", "--maximumpacketsize=100",
                         env=env)
        link.send(200, size=1400)
        assert recorder.stop() == 0
    capture = read_pcap(tmp_path / "named.pcap")
    assert not (tmp_path / "named").exists()
    assert capture.numbers == list(range(200))
    check_records(capture, 1400, 100)
    udp = [r for r in capture.records if r[3] == 1400]
    assert udp[5][4][42:55] == b"KVSEQ00000005"
    for line in ("\tINFO\t", "Create thread KOVA PCAP Sniffer", "Kova PCAP Linux Filter Thread",
                 "KOVA PCAP Writer"):
        assert line in recorder.text, line


def test_fixed_number_of_packets_ends_by_itself(tmp_path):
    path = tmp_path / "fixed.pcap"
    with VethLink() as link:
        recorder = start(link, path, "--mode=fixednumberofpackets", "--numberofpackets=600")
        sender = link.send(3000, interval_ms=1, size=200, wait=False)
        code = recorder.finish(timeout=60)
        sender.wait(timeout=60)
    assert code == 0
    assert recorder.text.endswith("Done!\n")
    numbers = read_pcap(path).numbers
    assert 600 < len(numbers) < 3000
    assert numbers == list(range(len(numbers)))


def test_circular_keeps_the_most_recent_traffic(tmp_path):
    path = tmp_path / "ring.pcap"
    with VethLink() as link:
        recorder = start(link, path, "--mode=circular", "--buffersize=1024000",
                         "--maximumpacketsize=1000")
        link.send(6000, size=1000)  # about six times the ring
        assert recorder.stop() == 0
    capture = read_pcap(path)
    numbers = capture.numbers
    assert numbers, recorder.text
    assert numbers[-1] == 5999
    assert 0 not in numbers
    # A flat-out burst may find every lent Buffer full now and then (those packets are counted
    # as dropped); what is kept is the newest traffic, in order, about a ring's worth.
    assert all(a < b for a, b in zip(numbers, numbers[1:]))
    assert len(numbers) >= 500
    assert sum(16 + r[2] for r in capture.records) <= 1024000 * 2
    assert_readable(path)


def test_silent_link_stops_promptly_and_writes_no_file(tmp_path):
    path = tmp_path / "silent.pcap"
    with VethLink() as link:
        recorder = start(link, path, "--mode=continuous")
        interrupted = time.monotonic()
        assert recorder.stop() == 0
        took = time.monotonic() - interrupted
    assert took < 1.5, took
    assert "Store Start\nStore Done\n" in recorder.text
    assert not path.exists()


def test_missing_directory_gives_a_clear_store_message(tmp_path):
    path = tmp_path / "no" / "such" / "dir.pcap"
    with VethLink() as link:
        recorder = start(link, path, "--mode=continuous")
        link.send(50)
        assert recorder.stop() == 0
    text = recorder.text
    assert "Store Start\n" in text and text.endswith("Done!\n")
    after = text.split("Store Start\n", 1)[1]
    assert str(path) in after
    assert "No such file or directory" in after


def test_ctrl_c_with_file_logging_still_stores(tmp_path):
    log = tmp_path / "recorder.log"
    env = dict(os.environ, ZR_TINY_LOGGER=f"file,7,{log}")
    path = tmp_path / "filelog.pcap"
    with VethLink() as link:
        recorder = start(link, path, "--mode=continuous", env=env,
                         outer=private_mounts(PRIVATE_SHM))
        link.send(100)
        time.sleep(0.3)  # lets the log thread write lines while the recording runs
        assert recorder.stop() == 0
    assert recorder.text.endswith("Done!\n"), recorder.text
    assert read_pcap(path).numbers == list(range(100))
    assert log.stat().st_size > 0


def test_adapter_libpcap_cannot_open_ends_with_the_reason(tmp_path):
    started = time.monotonic()
    code, out = record(["--adaptername=kvnosuch0", f"--filename={tmp_path}/none",
                        "--mode=continuous"], timeout=30)
    assert code == 0 and time.monotonic() - started < 10
    tail = out.split("Start packet acquisition...\n", 1)[1]
    # The reason is libpcap's own text, which names the adapter.
    assert tail.startswith("Cannot start the system\n Cannot open libpcap. Error = kvnosuch0: ")
    assert tail.endswith("\n") and tail.count("\n") == 2
    assert not list(tmp_path.iterdir())


def test_plan_larger_than_memory_is_refused(tmp_path):
    # 65535-byte packets, 1,000,000,000 of them: far beyond any machine's memory.
    code, out = record(["--adaptername=lo", f"--filename={tmp_path}/big",
                        "--mode=fixednumberofpackets", "--numberofpackets=1000000000",
                        "--maximumpacketsize=65535"], timeout=30)
    assert code == 0
    assert "Open the driver...\nCannot configure the system\n " in out
    assert "Start packet acquisition" not in out
