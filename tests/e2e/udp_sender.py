"""Sends numbered UDP datagrams: payload "KVSEQ" + 8 digits, padded to the requested frame size.
Usage: udp_sender.py <address> <port> <first> <count> <interval ms> <frame size> [log path]
With a log path it writes "<number> <CLOCK_MONOTONIC ns after sendto returned>" per datagram
there when it ends (after its count or on SIGTERM)."""

import signal
import socket
import sys
import time

HEADERS = 14 + 20 + 8  # Ethernet, IPv4, UDP


def main():
    address, port, first, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
    interval = float(sys.argv[5]) / 1000.0
    padding = b"." * (max(int(sys.argv[6]), HEADERS + 13) - HEADERS - 13)
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    log = sys.argv[7] if len(sys.argv) > 7 else None
    sent = []

    def write_log(*_):
        if log:
            with open(log, "w") as f:
                f.writelines(f"{number} {at}\n" for number, at in sent)
        sys.exit(0)

    if log:
        signal.signal(signal.SIGTERM, write_log)
    next_time = time.monotonic()
    for number in range(first, first + count):
        try:
            sock.sendto(b"KVSEQ%08d" % number + padding, (address, port))
        except OSError:
            if not log:
                raise
            continue  # e.g. the adapter went down: that datagram never left
        if log:
            sent.append((number, time.clock_gettime_ns(time.CLOCK_MONOTONIC)))
        if interval > 0:
            next_time += interval
            delay = next_time - time.monotonic()
            if delay > 0:
                time.sleep(delay)
    write_log()


if __name__ == "__main__":
    main()
