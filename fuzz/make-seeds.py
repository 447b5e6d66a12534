#!/usr/bin/python3
"""Writes the fuzz targets' seed corpora (fuzz/corpus/<target>/) from the cases the unit and
end-to-end tests already use. Run it again after changing a case; the files are committed."""

import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")


def route_line(name, destination, gateway, mask="00000000"):
    line = f"{name}\t{destination}\t{gateway}\t0003\t0\t0\t0\t{mask}\t0\t0\t0"
    return line.ljust(127) + "\n"


def kernel_hex(a, b, c, d):
    return "%08X" % struct.unpack("=I", bytes([a, b, c, d]))[0]


ROUTE_HEADER = ("Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT"
                + " " * 55 + "\n")


def command_line(args, typed=""):
    return "\0".join(["kvpcaprecorder"] + args + [typed]).encode()


SEEDS = {
    "fuzz_ip_address": [
        "255.255.255.255", "0.0.0.0", "[10.0.0.1]", "10.0.0.1]", "[10.0.0.1", "1..2.3",
        "010.1.1.1", "...", "192.168.2.1", "0250.0.0.0", "256.0.0.1", "1.2.3.260", "1.2.3",
        "1.2.3.4.5", "1[.2.3.4", "[1.2.3]", "1.2.3.4 ", "1.2.3.-4", "99999999999999999999.0.0.0",
        "224.0.0.1", "239.129.2.3", "255.255.255.0",
    ],
    "fuzz_ethernet_address": [
        "00:1A:2b:3C:4d:5E", "00-1A-2B-3C-4D-5E", "001a2b3c4d5e", "[00:1a:2b:3c:4d:5e]",
        "0:0:1a2b-3c4d5e", "::00:1a::2b:3c:4d:5e--", "00:1a:2b:3c:4d:5", "00:1a:2b:3c:4d:5e:6",
        "00.1a.2b.3c.4d.5e", "00:1a:2b:3c:4d:5g", "0x1a2b3c4d5e", "01:00:5e:7f:ff:ff",
        "ff:ff:ff:ff:ff:ff", "33:33:00:00:00:01",
    ],
    "fuzz_gateway_parser": [
        ROUTE_HEADER + route_line("eth0", "00000000", kernel_hex(192, 168, 2, 1))
        + route_line("eth0", kernel_hex(192, 168, 2, 0), "00000000", kernel_hex(255, 255, 255, 0)),
        ROUTE_HEADER + "eth0\t00000000\t0102A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n",
        ROUTE_HEADER + route_line("eth0", "00000000", kernel_hex(10, 0, 0, 1))
        + route_line("eth1", "00000000", kernel_hex(10, 1, 0, 1))
        + route_line("eth0", "00000000", kernel_hex(10, 0, 0, 2)),
        ROUTE_HEADER + route_line("tun0", "00000000", "00000000"),
        ROUTE_HEADER + "\n" + "n" * 40 + "\t00000000\t0100000A\n" + "eth1\t00000000\n"
        + "eth2\tzz000000\t0102000A\neth3\t00000000\t0100030A0\neth4 0 0100040A\n"
        + "eth5\t00000000\t0100050A",
        "eth7\t00000000\t0100070A\t" + "x" * 200 + "\n" + "eth8 00000000 0100080A\n",
    ],
    "fuzz_environment": [
        "$(KV_FUZZ_A)/logs/app.log\0/home/op",
        "${KV_FUZZ_A}/x\0/home/op",
        "$(KV_FUZZ_A}\0/home/op",
        "a$(KV_NOPE)b",
        "$(KV_FUZZ_A)$(KV_FUZZ_B)\0bee\0C:\\dir\\file",
        "cost $5", "end$", "pre$(HOME", "pre$(",
        "%KV_FUZZ_A%/x\0/root",
        "a%NOPE%b",
        "%KV_FUZZ_A%%KV_FUZZ_B%\0one\0two",
        "$(MY_VAR) and %MY_VAR%\0\0\0MY_VAR\0value",
        "file,7,$(HOME)/kv.log",
    ],
    "fuzz_address_file": [
        "eth0/00:1a:2b:3c:4d:5e\n", "veth1/de:ad:be:ef:00:01\n", "kvfuzz0",
        "lo/00:00:00:00:00:00\n", "ib0/80:00:00:48:fe:80:00:00:00:00:00:00:00:11:22:33:44:55:66\n",
        "wlan0/" + "x" * 129, "virbr0/52:54:00:12:34:56\r\n",
    ],
    "fuzz_command_line": [],
    "fuzz_log_rules": [
        "=7:KvTransportLayerLib\n", "<6:ZrUtilsLib # thread messages\n", "=1:Kv\n",
        ">2:ZrUtilsLib\n", "<7!ZrUtilsLib\n", "=7:Kv\n=3:Kv\n", "=7: KvUtilsLib\n",
        "=9:Kv\n=7Kv\n =7:Kv\n", "# comment\n\n=7:Kv(\n=3:Zr\n", "=7:KvUtilsLib\r\n<3!Log\r\n",
        "=3:   \n", ">8:^Kv(Utils|Transport)Lib$\n", "=5:[[:alpha:]]+Lib\n",
        # Patterns the C library would copy exponentially: refused, not compiled.
        "=3:a" + "+" * 40 + "\n", "=3:" + "(" * 12 + "a" + ")+" * 12 + "\n",
        "=3:a{1000}{1000}\n=7:Kv\n", "=3:g*" + "+" * 13 + "@:g\n",
    ],
    "fuzz_log_server_config": [
        "stdout,7", "stdout,,5", "stdout,12", "stdout,-1", "stdout", "console,3", "syslog,3",
        "syslog,3,127.0.0.1,17", "syslog,3,127.0.0.1", "syslog,3,localhost",
        "file,6,/tmp/x.log,2000", "stdout,7,2", "file,7,$(HOME)/kv.log", "stdout,6,64,50",
        "syslog,3,127.0.0.1,17,2,50", "syslog,3,127.000.000.001.000.000.000.000.0000001",
        "file,7,x.log,0,2,0",
    ],
}

COMMAND_LINES = [
    (["--adaptername=kvfuzz0", "--filename=/nonexistent/t", "--mode=continuous"], ""),
    (["--adaptername=kvfuzz1", "--filename=/nonexistent/a b", "--mode=circular",
      "--buffersize=100000000"], ""),
    (["--mode=fixednumberofpackets", "--numberofpackets=100", "--maximumpacketsize=70000"],
     "1\n/nonexistent/trace\n"),
    (["--mode=Continuous"], ""),
    (["--mode=" + "x" * 94], ""),
    (["--numberofpackets=abc", "--buffersize=-5", "--maximumpacketsize=0"], "0\nx\n2\n"),
    (["--numberofpackets=4294967808", "--maximumpacketsize=4294967496"], ""),
    (["--filename="], "7\n1\n/nonexistent/t\n0\n4\n-1\n2\n"),
    (["--filename=/tmp"], "2\nN\n/nonexistent/u\n3\n"),
    (["--adaptername=eth0"], ""),
    (["--adaptername="], ""),
    (["--help=1"], ""),
    (["licence"], ""),
    (["x--licensey"], ""),
    (["--help"], ""),
    (["--numberofpackets=1", "bogus", "--help"], ""),
    ([], "abc\n"),
    ([], "0\n/nonexistent/t\n3\n"),
    ([], "\n\n1\n/nonexistent/t\nmaybe\n2\n"),
]


def write(target, index, content):
    directory = os.path.join(CORPUS, target)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, f"seed-{index:02d}"), "wb") as f:
        f.write(content if isinstance(content, bytes) else content.encode("latin-1"))


def main():
    for target, seeds in SEEDS.items():
        for index, seed in enumerate(seeds):
            write(target, index, seed)
    for index, (args, typed) in enumerate(COMMAND_LINES):
        write("fuzz_command_line", index, command_line(args, typed))
    write("fuzz_ip_address", 90, struct.pack("=5I", *map(ord, "1.2."), 0))
    write("fuzz_ip_address", 91, struct.pack("=8I", 0x31, 0x10031, 0x2E, 0x32, 0x2E, 0x33, 0x2E,
                                             0x34))


if __name__ == "__main__":
    main()
