"""End-to-end helpers: a veth pair with a sender in a namespace, the recorder, a pcap reader."""

import contextlib
import os
import pathlib
import re
import signal
import socket
import struct
import subprocess
import time
from types import SimpleNamespace

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
RECORDER = os.environ.get("KV_RECORDER", os.path.join(ROOT, "build", "bin", "kvpcaprecorder"))
WITH_DRIVER = os.path.join(ROOT, "tests", "tools", "with-driver-node.sh")
IS_ROOT = os.geteuid() == 0
PARSE_LINE = "\nParse information from the command line...\n"
AS_NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
# The file log output locks a named semaphore in /dev/shm: such runs get a /dev/shm of their own.
PRIVATE_SHM = "mount -t tmpfs -o size=1m kv-shm /dev/shm"


def run(cmd, **kwargs):
    return subprocess.run(cmd, check=True, capture_output=True, text=True, **kwargs)


def private_mounts(*setup):
    """A wrapper that runs the rest of the command in a private mount namespace after `setup`."""
    script = "set -e; " + "; ".join(setup) + '; exec "$@"'
    return ["unshare", "--mount", "--propagation", "private", "sh", "-c", script, "kvmounts"]


class VethLink:
    """`host` stays here and is recorded; `peer`, in a namespace of its own, sends to it."""

    counter = 0

    def __init__(self, mtu=1500):
        self.mtu = mtu
        VethLink.counter += 1
        tag = f"{os.getpid() % 100000}{VethLink.counter}"
        self.namespace, self.host, self.peer = f"kvns{tag}", f"kvh{tag}", f"kvp{tag}"
        net = f"10.{(os.getpid() + VethLink.counter) % 250 + 1}.{VethLink.counter % 250}"
        self.host_ip, self.peer_ip = f"{net}.1", f"{net}.2"

    def __enter__(self):
        # No IPv6 and a static neighbour entry: nothing but the numbered packets on the link.
        ns = f"ip netns exec {self.namespace}"
        script = f"""set -e
            ip netns add {self.namespace}
            ip link add {self.host} type veth peer name {self.peer}
            ip link set {self.host} mtu {self.mtu}
            ip link set {self.peer} mtu {self.mtu}
            ip link set {self.peer} netns {self.namespace}
            sysctl -qw net.ipv6.conf.{self.host}.disable_ipv6=1
            {ns} sysctl -qw net.ipv6.conf.{self.peer}.disable_ipv6=1
            ip addr add {self.host_ip}/24 dev {self.host}
            ip link set {self.host} up
            {ns} ip addr add {self.peer_ip}/24 dev {self.peer}
            {ns} ip link set {self.peer} up
            {ns} ip neigh replace {self.host_ip} lladdr $(cat /sys/class/net/{self.host}/address) \
                dev {self.peer}"""
        try:
            run(["sh", "-c", script])
        except Exception:
            self.__exit__()
            raise
        return self

    def __exit__(self, *exc):
        subprocess.run(["ip", "link", "del", self.host], capture_output=True)
        subprocess.run(["ip", "netns", "del", self.namespace], capture_output=True)

    def send(self, count, first=0, interval_ms=0.0, size=64, wait=True, port=9999):
        """Numbered datagrams from the peer to `port` of the host end (see udp_sender.py)."""
        sender = subprocess.Popen(
            ["ip", "netns", "exec", self.namespace, "/usr/bin/python3",
             os.path.join(HERE, "udp_sender.py"), self.host_ip, str(port), str(first),
             str(count), str(interval_ms), str(size)])
        if wait:
            assert sender.wait(timeout=120) == 0
        return sender


class Recorder:
    """The recorder inside the `outer` and `inner` wrappers around the driver node's; each
    wrapper execs, so the process id is the recorder's."""

    def __init__(self, args, stdin_text="", with_driver=True, env=None, outer=(), inner=(),
                 stdin=None):
        """`stdin`: a file descriptor to read instead of `stdin_text` (a terminal, say)."""
        cmd = list(outer) + ([WITH_DRIVER] if with_driver else []) + list(inner) + [RECORDER]
        self.process = subprocess.Popen(cmd + list(args),
                                        stdin=subprocess.PIPE if stdin is None else stdin,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        if stdin is None:
            self.process.stdin.write(stdin_text.encode())
            self.process.stdin.close()
            self.process.stdin = None  # closed: communicate() must not flush it
        self.stdout = self.stderr = b""

    def finish(self, timeout=60.0):
        os.set_blocking(self.process.stdout.fileno(), True)
        out, err = self.process.communicate(timeout=timeout)
        self.stdout += out or b""
        self.stderr += err or b""
        return self.process.returncode

    def stop(self, timeout=60.0):
        self.process.send_signal(signal.SIGINT)  # Ctrl+C
        return self.finish(timeout)

    @property
    def text(self):
        return self.stdout.decode(errors="replace")


    def read_until(self, text, timeout=30.0):
        """Reads the console until `text` appears; the process must not end first."""
        deadline = time.monotonic() + timeout
        os.set_blocking(self.process.stdout.fileno(), False)
        while text.encode() not in self.stdout:
            chunk = self.process.stdout.read()
            assert chunk or (time.monotonic() < deadline and self.process.poll() is None), \
                self.text + self.stderr.decode()
            self.stdout += chunk or b""
            time.sleep(0.02)


def record(args, stdin_text="", with_driver=True, timeout=60.0, **kwargs):
    """Runs the recorder to its end; returns (exit code, console text)."""
    recorder = Recorder(args, stdin_text, with_driver, **kwargs)
    return recorder.finish(timeout), recorder.text


def start(link, path, *args, **kwargs):
    """The recorder recording the link's host end into `path`, once capture runs."""
    recorder = Recorder([f"--adaptername={link.host}", f"--filename={path}"] + list(args),
                        **kwargs)
    recorder.read_until("<Press Ctrl+c to stop acquiring>", timeout=15)
    return recorder


def assert_completed(recorder, code, path=None, numbers=None, status=0):
    """Ended normally with `status`; the capture file, when given, is readable, holds exactly
    `numbers`, and is what the summary says was stored."""
    assert code == status, (code, recorder.text, recorder.stderr.decode())
    assert recorder.text.endswith("Done!\n"), recorder.text
    if path is not None:
        result = subprocess.run(["capinfos", "-c", "-M", str(path)], capture_output=True, text=True)
        assert result.returncode == 0, result.stdout + result.stderr
        capture = read_pcap(path)
        assert numbers is None or capture.numbers == numbers
        assert summary(recorder.text).stored == (len(capture.records), str(path),
                                                 os.path.getsize(path)), recorder.text


SUMMARY = re.compile(r"\nSummary: (?:(\d+) packets stored in (.*) \((\d+) bytes\)|(.*?)); "
                     r"dropped: (\d+) by the kernel, (\d+) by the recorder"
                     r"(?:; discarded as the oldest: (\d+))?(?:; snapshots: (.*))?\nDone!\n$")


def summary(text):
    """The summary line: stored (packets, file, bytes) or None, what was said instead, and the
    kernel's, the recorder's drops, the discarded packets (None outside circular mode) and the
    snapshot files."""
    match = SUMMARY.search(text)
    assert match, text
    stored = (int(match[1]), match[2], int(match[3])) if match[1] else None
    return SimpleNamespace(stored=stored, instead=match[4], kernel=int(match[5]),
                           recorder=int(match[6]),
                           discarded=int(match[7]) if match[7] else None,
                           snapshots=match[8].split(", ") if match[8] else [])


def read_pcap(path):
    """Snapshot length, records (seconds, microseconds, stored, wire length, bytes) and the
    numbers of the numbered datagrams in file order."""
    data = pathlib.Path(path).read_bytes()
    capture = SimpleNamespace(snaplen=struct.unpack_from("=I", data, 16)[0], records=[],
                              numbers=[])
    offset = 24
    while offset < len(data):
        sec, usec, incl, orig = struct.unpack_from("=IIII", data, offset)
        assert offset + 16 + incl <= len(data), f"truncated record at {offset}"
        record = data[offset + 16:offset + 16 + incl]
        capture.records.append((sec, usec, incl, orig, record))
        offset += 16 + incl
        # UDP over IPv4 only: ICMP errors quote the datagrams too.
        at = record.find(b"KVSEQ")
        if record[12:14] == b"\x08\x00" and len(record) >= 24 and record[23] == 17 and \
                0 <= at <= len(record) - 13:
            capture.numbers.append(int(record[at + 5:at + 13]))
    return capture


@contextlib.contextmanager
def listening(link):
    """The host takes the datagrams without answering, so only numbered packets are recorded."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.bind((link.host_ip, 9999))
        yield


def numbered_only(path):
    """The numbers of a capture that must hold numbered datagrams and nothing else."""
    capture = read_pcap(path)
    assert len(capture.numbers) == len(capture.records), f"unexpected packets in {path}"
    return capture.numbers
