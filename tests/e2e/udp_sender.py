"""Sends numbered UDP datagrams: payload "KVSEQ" + 8 digits, padded to the requested frame size.
Usage: udp_sender.py <address> <port> <first> <count> <interval ms> <frame size>"""

import socket
import sys
import time

HEADERS = 14 + 20 + 8  # Ethernet, IPv4, UDP


def main():
    address, port, first, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
    interval = float(sys.argv[5]) / 1000.0
    padding = b"." * (max(int(sys.argv[6]), HEADERS + 13) - HEADERS - 13)
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    next_time = time.monotonic()
    for number in range(first, first + count):
        sock.sendto(b"KVSEQ%08d" % number + padding, (address, port))
        if interval > 0:
            next_time += interval
            time.sleep(max(0.0, next_time - time.monotonic()))


if __name__ == "__main__":
    main()
