"""Real recordings: the driver's stand-in node in a private mount namespace, numbered traffic on
a veth pair, and the capture files checked with capinfos, tshark and the tests' own reader."""

import os
import time

import pytest

from kvharness import (IS_ROOT, PRIVATE_SHM, VethLink, assert_completed, private_mounts,
                       read_pcap, record, run, start)

pytestmark = pytest.mark.skipif(not IS_ROOT, reason="needs root for namespaces and capture")


def test_continuous_keeps_every_packet_sent_before_the_signal(tmp_path):
    """About 43 MB of records: more than the four Buffers lent at the start. The file replaces a
    longer one, of which nothing may remain."""
    path = tmp_path / "cont.pcap"
    path.write_bytes(b"x" * 50_000_000)
    with VethLink() as link:
        recorder = start(link, tmp_path / "cont", "--mode=continuous", "--maximumpacketsize=1000")
        link.send(42000, size=1400)
        link.send(20, first=42000, interval_ms=5, size=1400)  # the last 100 ms before the signal
        assert_completed(recorder, recorder.stop(), path, list(range(42020)))
    assert "Store Start\n" in recorder.text and not (tmp_path / "cont").exists()
    capture = read_pcap(path)
    assert capture.snaplen == 1000
    stamps = [(sec, usec) for sec, usec, *_ in capture.records]
    assert stamps == sorted(stamps) and all(usec < 1000000 for _, usec in stamps)
    assert all(stored == min(wire, 1000) == len(data) for *_, stored, wire, data in capture.records)
    frames = run(["tshark", "-r", path, "-Y", "udp.dstport == 9999 && !icmp", "-T", "fields",
                  "-e", "frame.len", "-e", "frame.cap_len"]).stdout.split()
    assert frames == ["1400", "1000"] * 42020


@pytest.mark.parametrize("where", ["file", "missing directory"])
def test_ctrl_c_with_file_logging_stores(tmp_path, where):
    """A log file that cannot be opened must leave the recording intact as well."""
    log = tmp_path / ("recorder.log" if where == "file" else "no/such/recorder.log")
    env = dict(os.environ, ZR_TINY_LOGGER=f"file,7,{log}")
    path = tmp_path / "filelog.pcap"
    with VethLink() as link:
        recorder = start(link, path, "--mode=continuous", env=env,
                         outer=private_mounts(PRIVATE_SHM))
        link.send(100)
        time.sleep(0.3)  # lets the log thread write lines while the recording runs
        assert_completed(recorder, recorder.stop(), path, list(range(100)))
    assert log.stat().st_size > 0 if where == "file" else not log.parent.exists()


def test_adapter_libpcap_cannot_open_ends_with_the_reason(tmp_path):
    started = time.monotonic()
    code, out = record(["--adaptername=kvnosuch0", f"--filename={tmp_path}/none",
                        "--mode=continuous"], timeout=30)
    assert code == 1 and time.monotonic() - started < 10
    tail = out.split("Start packet acquisition...\n", 1)[1]
    # The reason is libpcap's own text, which names the adapter.
    assert tail.startswith("Cannot start the system\n Cannot open libpcap. Error = kvnosuch0: ")
    assert tail.endswith("\n") and tail.count("\n") == 2
    assert not list(tmp_path.iterdir())


def test_plan_larger_than_memory_is_refused(tmp_path):
    # 1,000,000,000 packets of 65535 bytes: far beyond any machine's memory.
    code, out = record(["--adaptername=lo", f"--filename={tmp_path}/big",
                        "--mode=fixednumberofpackets", "--numberofpackets=1000000000",
                        "--maximumpacketsize=65535"], timeout=30)
    assert code == 1
    assert "Open the driver...\nCannot configure the system\n " in out
    assert "Start packet acquisition" not in out
