#!/bin/sh
# Builds the project and runs every test (unit and end-to-end). Run as root: the end-to-end
# tests make network namespaces and private mount namespaces.
# Usage: scripts/test.sh [build-dir] [extra cmake arguments...]
set -eu
cd "$(dirname "$0")/.."
if [ "${KV_SKIP_INSTALL:-0}" != 1 ]; then
    scripts/install-deps.sh
fi
BUILD_DIR="${1:-build}"
[ $# -gt 0 ] && shift
cmake -S . -B "$BUILD_DIR" "$@"
cmake --build "$BUILD_DIR" -j"$(nproc)"
cd "$BUILD_DIR"
if ! ctest --output-on-failure -j"$(nproc)" ${KV_CTEST_ARGS:-}; then
    # Only the end of a long log may be read: the failed checks' own lines once more, the
    # names of the failed cases last.
    echo "Failed checks:"
    grep -hE -A4 '^E   |: Failure$' Testing/Temporary/LastTest*.log | cut -c1-240 | tail -n 60
    grep -hE '^(FAILED|ERROR) |^\[  FAILED  \] ' Testing/Temporary/LastTest*.log | cut -c1-240
    exit 1
fi
