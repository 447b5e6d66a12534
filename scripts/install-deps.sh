#!/bin/sh
# Installs every Debian package the build, the tests, the package check and the demo need.
set -eu
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
# tshark asks a question on install unless the front end is non-interactive.
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get update
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
    build-essential cmake pkg-config dpkg-dev clang clang-format libclang-rt-14-dev \
    libgtest-dev libgmock-dev libbenchmark-dev libpcap-dev \
    tshark tcpdump iproute2 util-linux procps time bc \
    python3 python3-pytest python3-scapy
