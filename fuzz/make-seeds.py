#!/usr/bin/python3
"""Writes the fuzz targets' seed corpora (fuzz/corpus/<target>/) from the cases the unit and
end-to-end tests use. Run it again after changing a case; the files are committed."""

import os
import shutil
import struct

CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def route(name, destination, gateway):  # a line as the kernel writes it, blanks up to 127
    return f"{name}\t{destination}\t{gateway}\t0003\t0\t0\t0\t00000000\t0\t0\t0".ljust(127) + "\n"


HEADER = ("Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT"
          .ljust(127) + "\n")
TEXT = [  # IPv4, Ethernet, then environment texts with the values of KV_FUZZ_A and KV_FUZZ_B
    "255.255.255.255", "[10.0.0.1]", "10.0.0.1]", "[10.0.0.1", "1..2.3", "010.1.1.1", "...",
    "0250.0.0.0", "256.0.0.1", "1.2.3.260", "1.2.3", "1.2.3.4.5", "1[.2.3.4", "[1.2.3]",
    "1.2.3.4 ", "99999999999999999999.0.0.0", "00:1A:2b:3C:4d:5E", "00-1A-2B-3C-4D-5E",
    "001a2b3c4d5e", "[00:1a:2b:3c:4d:5e]", "::00:1a::2b:3c:4d:5e--", "00:1a:2b:3c:4d:5e:6",
    "00.1a.2b.3c.4d.5e", "00:1a:2b:3c:4d:5g", "0x1a2b3c4d5e", "$(KV_FUZZ_A)/log\0/home/op",
    "${KV_FUZZ_A}/x\0/home/op", "$(KV_FUZZ_A}\0/home/op", "a$(KV_NOPE)b",
    "$(KV_FUZZ_A)$(KV_FUZZ_B)\0bee\0C:\\dir\\file", "cost $5", "end$", "pre$(HOME", "pre$(",
    "%KV_FUZZ_A%/x\0/root", "a%NOPE%b", "%KV_FUZZ_A%%KV_FUZZ_B%\0one\0two", "\u00e9t\u00e9 \xff",
    struct.pack("=5I", *map(ord, "1.2."), 0),
    struct.pack("=8I", 0x31, 0x10031, 0x2E, 0x32, 0x2E, 0x33, 0x2E, 0x34),  # wide units
]
CONFIG = [  # the first character chooses: 0 routing table, 1 address file, 2 rule file, 3 string
    "0" + HEADER + route("eth0", "00000000", "0102A8C0") + route("eth0", "0002A8C0", "00000000")
    + route("eth1", "00000000", "0100010A") + route("eth1", "00000000", "0200010A")
    + route("tun0", "00000000", "00000000"),
    "0" + HEADER + "\n" + "n" * 40 + "\t00000000\t0100000A\n" + "eth1\t00000000\n"
    + "eth2\tzz000000\t0102000A\neth3\t00000000\t0100030A0\neth4 0 0100040A\n"
    + "eth6\t0006000A\t0100060A\neth5\t00000000\t0100050A",
    "0eth7\t00000000\t0100070A\t" + "x" * 200 + "\n" + "eth8 00000000 0100080A\n",
    "1eth0/00:1a:2b:3c:4d:5e\n", "1kvfuzz0", "1lo/00:00:00:00:00:00\n", "1wlan0/" + "x" * 129,
    "1ib0/80:00:00:48:fe:80:00:00:00:00:00:00:00:11:22:33:44:55:66\n",
    "2=7:KvTransportLayerLib\n<6:ZrUtilsLib # thread messages\n>2:ZrUtilsLib\n<7!ZrUtilsLib\n",
    "2=9:Kv\n=7Kv\n =7:Kv\n# comment\n\n=7:Kv(\n=3:Zr\n=7:KvUtilsLib\r\n<3!Log\r\n=3:   \n",
    "2>8:^Kv(Utils|Transport)Lib$\n=5:[[:alpha:]]+Lib\n",
    # Patterns the C library would copy exponentially: refused, not compiled.
    "2=3:a" + "+" * 40 + "\n", "2=3:" + "(" * 12 + "a" + ")+" * 12 + "\n",
    "2=3:a{1000}{1000}\n=7:Kv\n", "2=3:g*" + "+" * 13 + "@:g\n",
    "3stdout,7", "3stdout,,5", "3stdout,12", "3stdout,-1", "3stdout", "3console,3", "3syslog,3",
    "3syslog,3,127.0.0.1,17", "3syslog,3,localhost", "3file,6,/tmp/x.log,2000", "3stdout,6,64,50",
    "3syslog,3,127.0.0.1,17,2,50", "3syslog,3,127.000.000.001.000.000.000.000.0000001",
    "3file,7,$(HOME)/kv.log,0,2,0",
]
COMMAND_LINES = [  # arguments, then what is typed at the console
    ("--adaptername=kvfuzz0 --filename=/nonexistent/t --mode=continuous", ""),
    ("--adaptername=kvfuzz1 --filename=/nonexistent/ab --mode=circular --buffersize=100000000", ""),
    ("--mode=fixednumberofpackets --numberofpackets=100 --maximumpacketsize=70000",
     "1\n/nonexistent/trace\n"),
    ("--mode=Continuous", ""), ("--mode=" + "x" * 94, ""), ("--adaptername=eth0", ""),
    ("--numberofpackets=abc --buffersize=-5 --maximumpacketsize=0", "0\nx\n2\n"),
    ("--numberofpackets=4294967808 --maximumpacketsize=4294967496", ""),
    ("--filename=", "7\n1\n/nonexistent/t\n0\n4\n-1\n2\n"),
    ("--filename=/tmp", "2\nN\n/nonexistent/u\n3\n"),
    ("--adaptername=", ""), ("--help=1", ""), ("licence", ""), ("x--licensey", ""), ("--help", ""),
    ("--numberofpackets=1 bogus --help", ""), ("", "abc\n"), ("", "0\n/nonexistent/t\n3\n"),
    ("", "\n\n1\n/nonexistent/t\nmaybe\n2\n"),
]
SEEDS = {
    "fuzz_text": TEXT,
    "fuzz_config": CONFIG,
    "fuzz_command_line": ["\0".join(["kvpcaprecorder"] + arguments.split() + [typed])
                          for arguments, typed in COMMAND_LINES],
}

for target, seeds in SEEDS.items():
    directory = os.path.join(CORPUS, target)
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    for index, seed in enumerate(seeds):
        with open(os.path.join(directory, f"seed-{index:02d}"), "wb") as f:
            f.write(seed if isinstance(seed, bytes) else seed.encode())
