"""Helpers of the fault tests: a sender that notes when each numbered datagram left, the recorder
run inside extra wrappers (private mounts, resource limits), a process's CPU time, and a FIFO
that a log output cannot write into. Run as a script, it is that sender:

    faultkit.py send <address> <port> <first> <count> <interval ms> <frame size> <log path>

It writes "<number> <CLOCK_MONOTONIC ns after sendto returned>" per datagram to the log path
when it ends (after its count or on SIGTERM)."""

import os
import signal
import socket
import subprocess
import sys
import time

from kvharness import PYTHON, RECORDER, WITH_DRIVER, Recorder

HEADERS = 14 + 20 + 8  # Ethernet, IPv4, UDP


class WrappedRecorder(Recorder):
    """The recorder with the driver's stand-in node, started through `outer` (before the node's
    namespace is made, e.g. a mount namespace of the test's own) and `inner` (between the node's
    wrapper and the program, e.g. prlimit). Every wrapper execs, so the process id stays the
    program's."""

    def __init__(self, args, outer=(), inner=(), env=None):  # pylint: disable=super-init-not-called
        cmd = list(outer) + [WITH_DRIVER] + list(inner) + [RECORDER] + list(args)
        self.process = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, env=env)
        self.stdout = b""
        self.stderr = b""


def is_sanitized(program):
    """True when the program carries AddressSanitizer or ThreadSanitizer, which cannot run under
    an address-space limit (they reserve terabytes of shadow memory)."""
    if not os.path.exists(program):
        return False
    with open(program, "rb") as f:
        content = f.read()
    return b"__asan_init" in content or b"__tsan_init" in content


def private_mounts(*setup):
    """A wrapper that runs the rest of the command in a private mount namespace after the given
    shell commands (mounts seen by nothing outside it)."""
    script = "set -e; " + "; ".join(setup) + '; exec "$@"'
    return ["unshare", "--mount", "--propagation", "private", "sh", "-c", script, "kvfault"]


def cpu_seconds(pid):
    """User and system CPU time of a process, all its threads, in seconds."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def cpu_share(pid, seconds):
    """The share of one core a process used over the next `seconds`."""
    used = cpu_seconds(pid)
    started = time.monotonic()
    time.sleep(seconds)
    return (cpu_seconds(pid) - used) / (time.monotonic() - started)


def virtual_peak(pid):
    """VmPeak of a running process, in bytes."""
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmPeak:"):
                return int(line.split()[1]) * 1024
    raise ValueError(f"no VmPeak for {pid}")


def wait_operstate(adapter, state="up", timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with open(f"/sys/class/net/{adapter}/operstate") as f:
            if f.read().strip() == state:
                return True
        time.sleep(0.05)
    return False


class TimedSender:
    """Numbered datagrams from the link's peer namespace; `sent_before(t)` gives the numbers
    whose sendto had returned before the CLOCK_MONOTONIC time t (seconds)."""

    def __init__(self, link, log_path, count, first=0, interval_ms=0.0, size=64, port=9999):
        self.log_path = str(log_path)
        self.process = subprocess.Popen(
            ["ip", "netns", "exec", link.namespace, PYTHON, os.path.abspath(__file__), "send",
             link.host_ip, str(port), str(first), str(count), str(interval_ms), str(size),
             self.log_path])
        self.times = None

    def stop(self, timeout=30.0):
        if self.process.poll() is None:
            self.process.terminate()
        self.process.wait(timeout=timeout)
        self.times = {}
        with open(self.log_path) as f:
            for line in f:
                number, sent_ns = line.split()
                self.times[int(number)] = int(sent_ns) / 1e9
        return self.times

    def sent_before(self, moment):
        return sorted(number for number, sent in self.times.items() if sent < moment)


def fill_fifo(path):
    """Makes a FIFO at `path` and fills its buffer: a writer that opens it blocks on its first
    write until someone reads. Returns the descriptor (read and write, non-blocking) that keeps
    it open, and the number of filler bytes."""
    os.mkfifo(path)
    descriptor = os.open(path, os.O_RDWR | os.O_NONBLOCK)
    filled = 0
    try:
        while True:
            filled += os.write(descriptor, b"." * 4096)
    except BlockingIOError:
        pass
    return descriptor, filled


def drain(descriptor):
    """Everything readable now from a non-blocking descriptor."""
    data = b""
    while True:
        try:
            chunk = os.read(descriptor, 65536)
        except BlockingIOError:
            return data
        if not chunk:
            return data
        data += chunk


def _send(address, port, first, count, interval_ms, size, log_path):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    padding = b"." * (max(size, HEADERS + 13) - HEADERS - 13)
    interval = interval_ms / 1000.0
    sent = []

    def write_log(*_):
        with open(log_path, "w") as f:
            f.writelines(f"{number} {at}\n" for number, at in sent)
        sys.exit(0)

    signal.signal(signal.SIGTERM, write_log)
    next_time = time.monotonic()
    for number in range(first, first + count):
        try:
            sock.sendto(b"KVSEQ%08d" % number + padding, (address, port))
        except OSError:
            continue  # e.g. the adapter went down: that datagram never left
        sent.append((number, time.clock_gettime_ns(time.CLOCK_MONOTONIC)))
        if interval > 0:
            next_time += interval
            delay = next_time - time.monotonic()
            if delay > 0:
                time.sleep(delay)
    write_log()


if __name__ == "__main__" and len(sys.argv) == 9 and sys.argv[1] == "send":
    _send(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5]), float(sys.argv[6]),
          int(sys.argv[7]), sys.argv[8])
