#!/bin/sh
# Runs one end-to-end suite with pytest; without root (namespaces, capture) it is skipped.
# Usage: run-suite.sh <python> <suite.py>
python="$1"
suite="$2"
if [ "$(id -u)" -ne 0 ]; then
    echo "KV-E2E-SKIPPED: $(basename "$suite") needs root for namespaces and live capture"
    exit 0
fi
cd "$(dirname "$suite")" || exit 1
exec "$python" -m pytest -q -p no:cacheprovider -rs "$suite"
