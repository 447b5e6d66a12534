"""Shared helpers of the recorder's end-to-end tests: a throw-away veth pair with a sender in a
network namespace, the driver's stand-in node in a private mount namespace, and a pcap reader."""

import os
import signal
import struct
import subprocess
import time
from dataclasses import dataclass

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
RECORDER = os.environ.get("KV_RECORDER", os.path.join(ROOT, "build", "bin", "kvpcaprecorder"))
WITH_DRIVER = os.path.join(ROOT, "tests", "tools", "with-driver-node.sh")
SENDER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "udp_sender.py")
PYTHON = "/usr/bin/python3"
PAYLOAD_MAGIC = b"KVSEQ"


def is_root():
    return os.geteuid() == 0


def run(cmd, **kwargs):
    return subprocess.run(cmd, check=True, capture_output=True, text=True, **kwargs)


class VethLink:
    """A veth pair: `host` stays in this namespace (the recorder records it), `peer` lives in a
    namespace of its own from which numbered UDP datagrams are sent to the host end."""

    counter = 0

    def __init__(self):
        VethLink.counter += 1
        tag = f"{os.getpid() % 100000}{VethLink.counter}"
        self.namespace = f"kvns{tag}"
        self.host = f"kvh{tag}"
        self.peer = f"kvp{tag}"
        octet = (os.getpid() + VethLink.counter) % 250 + 1
        self.host_ip = f"10.{octet}.{VethLink.counter % 250}.1"
        self.peer_ip = f"10.{octet}.{VethLink.counter % 250}.2"

    def __enter__(self):
        run(["ip", "netns", "add", self.namespace])
        try:
            run(["ip", "link", "add", self.host, "type", "veth", "peer", "name", self.peer])
            run(["ip", "link", "set", self.peer, "netns", self.namespace])
            # No IPv6 neighbour discovery or MLD chatter: the link carries only the test's
            # own datagrams (a silent link stays silent).
            run(["sysctl", "-qw", f"net.ipv6.conf.{self.host}.disable_ipv6=1"])
            self.in_ns(["sysctl", "-qw", f"net.ipv6.conf.{self.peer}.disable_ipv6=1"])
            run(["ip", "addr", "add", f"{self.host_ip}/24", "dev", self.host])
            run(["ip", "link", "set", self.host, "up"])
            self.in_ns(["ip", "addr", "add", f"{self.peer_ip}/24", "dev", self.peer])
            self.in_ns(["ip", "link", "set", self.peer, "up"])
            self.in_ns(["ip", "link", "set", "lo", "up"])
            # A static neighbour entry: no ARP exchange interleaves with the numbered packets.
            mac = open(f"/sys/class/net/{self.host}/address").read().strip()
            self.in_ns(["ip", "neigh", "replace", self.host_ip, "lladdr", mac, "dev", self.peer])
        except Exception:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        subprocess.run(["ip", "link", "del", self.host], capture_output=True)
        subprocess.run(["ip", "netns", "del", self.namespace], capture_output=True)

    def in_ns(self, cmd):
        return run(["ip", "netns", "exec", self.namespace] + cmd)

    def send(self, count, first=0, interval_ms=0.0, size=64, port=9999):
        """Sends datagrams numbered first..first+count-1 from the peer to the host end."""
        self.in_ns([PYTHON, SENDER, self.host_ip, str(port), str(first), str(count),
                    str(interval_ms), str(size)])

    def send_async(self, count, first=0, interval_ms=0.0, size=64, port=9999):
        return subprocess.Popen(["ip", "netns", "exec", self.namespace, PYTHON, SENDER,
                                 self.host_ip, str(port), str(first), str(count),
                                 str(interval_ms), str(size)])


class Recorder:
    """The recorder run with the driver's stand-in node, its console captured."""

    def __init__(self, args, stdin_text=None, with_driver=True, env=None, cwd=None,
                 private_shm=False):
        cmd = ([WITH_DRIVER] if with_driver else []) + [RECORDER] + list(args)
        if private_shm:
            # The file log output's machine-wide lock is a named semaphore in /dev/shm: give
            # the program a /dev/shm of its own so the host's stays untouched. Every step
            # exec's, so the process id stays the program's.
            cmd = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                   'mount -t tmpfs kv-shm /dev/shm && exec "$@"', "sh"] + cmd
        self.process = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, env=env, cwd=cwd)
        if stdin_text is not None:
            self.process.stdin.write(stdin_text.encode())
        self.process.stdin.close()
        self.process.stdin = None  # closed: communicate() must not flush it
        self.stdout = b""
        self.stderr = b""

    def wait_for_output(self, text, timeout=15.0):
        """Reads the console until `text` shows (the process keeps running)."""
        deadline = time.monotonic() + timeout
        os.set_blocking(self.process.stdout.fileno(), False)
        while time.monotonic() < deadline:
            chunk = self.process.stdout.read()
            if chunk:
                self.stdout += chunk
                if text.encode() in self.stdout:
                    return True
            elif self.process.poll() is not None:
                break
            time.sleep(0.02)
        return text.encode() in self.stdout

    def interrupt(self):
        self.process.send_signal(signal.SIGINT)

    def finish(self, timeout=60.0):
        os.set_blocking(self.process.stdout.fileno(), True)
        out, err = self.process.communicate(timeout=timeout)
        self.stdout += out or b""
        self.stderr += err or b""
        return self.process.returncode

    @property
    def text(self):
        return self.stdout.decode(errors="replace")


def record(args, stdin_text=None, with_driver=True, env=None, timeout=60.0, cwd=None):
    """Runs the recorder to its end; returns (exit code, console text)."""
    recorder = Recorder(args, stdin_text, with_driver, env, cwd)
    code = recorder.finish(timeout)
    return code, recorder.text


@dataclass
class PcapFile:
    magic: int
    version: tuple
    snaplen: int
    linktype: int
    records: list  # (seconds, microseconds, stored length, wire length, bytes)

    def sequence_numbers(self):
        numbers = []
        for record in self.records:
            data = record[4]
            if data[12:14] != b"\x08\x00" or len(data) < 24 or data[23] != 17:
                continue  # UDP over IPv4 only: ICMP errors quote the datagrams too
            at = data.find(PAYLOAD_MAGIC)
            if at >= 0 and len(data) >= at + 13:
                numbers.append(int(data[at + 5:at + 13]))
        return numbers


def read_pcap(path):
    with open(path, "rb") as f:
        data = f.read()
    magic, major, minor, _zone, _sigfigs, snaplen, linktype = struct.unpack_from("=IHHiIII", data)
    records = []
    offset = 24
    while offset < len(data):
        if offset + 16 > len(data):
            raise ValueError(f"truncated record header at {offset}")
        sec, usec, incl, orig = struct.unpack_from("=IIII", data, offset)
        offset += 16
        if offset + incl > len(data):
            raise ValueError(f"truncated record at {offset}")
        records.append((sec, usec, incl, orig, data[offset:offset + incl]))
        offset += incl
    return PcapFile(magic, (major, minor), snaplen, linktype, records)


def capinfos(path):
    result = subprocess.run(["capinfos", "-c", "-M", path], capture_output=True, text=True)
    return result.returncode, result.stdout + result.stderr


def tshark_count(path, display_filter="udp"):
    result = run(["tshark", "-r", path, "-Y", display_filter, "-T", "fields", "-e", "frame.number"])
    return len([line for line in result.stdout.splitlines() if line.strip()])
