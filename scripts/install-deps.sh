#!/bin/sh
# Installs every Debian package the build, the tests and the demo need.
set -eu
export DEBIAN_FRONTEND=noninteractive
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
$SUDO apt-get update
$SUDO -E apt-get install -y --no-install-recommends \
    build-essential cmake pkg-config clang clang-format libclang-rt-14-dev \
    libgtest-dev libgmock-dev libbenchmark-dev libpcap-dev \
    tshark tcpdump iproute2 util-linux procps time bc \
    python3 python3-pytest python3-scapy
