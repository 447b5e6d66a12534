"""Recording a selection of the traffic: a capture filter expression given with --filter=."""

import subprocess

import pytest

from kvharness import IS_ROOT, Recorder, VethLink, assert_completed, read_pcap, start, summary

pytestmark = pytest.mark.skipif(not IS_ROOT, reason="needs root for namespaces and capture")


def udp_destinations(path):
    """The UDP destination port of every frame in the file, "" for a frame that has none."""
    result = subprocess.run(["tshark", "-r", str(path), "-T", "fields", "-e", "udp.dstport",
                             "-e", "icmp.type"], check=True, capture_output=True, text=True)
    return [line.split("\t")[0] if not line.split("\t")[1] else "icmp"
            for line in result.stdout.splitlines()]


def test_filter_records_only_the_selected_flow(tmp_path):
    """Two flows at once, and the host's port-unreachable replies to both: only the datagrams to
    port 9999 are stored, and the summary counts exactly those."""
    path = tmp_path / "selected.pcap"
    with VethLink() as link:
        recorder = start(link, path, "--mode=continuous", "--filter=udp dst port 9999")
        other = link.send(400, first=100000, interval_ms=1, port=7777, wait=False)
        link.send(400, interval_ms=1)
        assert other.wait(timeout=120) == 0
        assert_completed(recorder, recorder.stop(), path, list(range(400)))
    assert udp_destinations(path) == ["9999"] * 400
    said = summary(recorder.text)
    assert said.stored[0] == len(read_pcap(path).records) == 400
    assert said.kernel == said.recorder == 0


def test_without_filter_both_flows_are_recorded(tmp_path):
    """The same traffic without the option: the selection above is the filter's doing."""
    path = tmp_path / "all.pcap"
    with VethLink() as link:
        recorder = start(link, path, "--mode=continuous")
        link.send(50, first=100000, port=7777)
        link.send(50)
        assert_completed(recorder, recorder.stop(), path)
    destinations = udp_destinations(path)
    assert destinations.count("7777") == destinations.count("9999") == 50, destinations


@pytest.mark.parametrize("expression, reason", [
    ("udp dst port", "syntax error"),
    ("udp dst port 99999", "illegal port number 99999 > 65535"),
])
def test_expression_libpcap_cannot_compile_is_refused_before_the_driver(tmp_path, expression,
                                                                        reason):
    recorder = Recorder(["--adaptername=lo", f"--filename={tmp_path}/never",
                         "--mode=continuous", f"--filter={expression}"])
    code = recorder.finish(timeout=30)
    text = recorder.text + recorder.stderr.decode(errors="replace")
    assert code == 2, text
    assert reason in text and expression in text, text
    assert "Open the driver..." not in text, text
    assert not list(tmp_path.iterdir())
