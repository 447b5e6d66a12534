#!/bin/sh
# Usage: run-suite.sh <python> <suite.py>: one end-to-end suite, skipped without root.
if [ "$(id -u)" -ne 0 ]; then
    echo "KV-E2E-SKIPPED: $(basename "$2") needs root for namespaces and live capture"
    exit 0
fi
cd "$(dirname "$2")" && COLUMNS=240 exec "$1" -B -m pytest -q -p no:cacheprovider -rfEs "$2"
