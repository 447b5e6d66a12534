#!/bin/bash
# The CI smoke run: every fuzz target for a short, fixed time (KV_FUZZ_SECONDS, default 80 s).
exec "$(dirname "$0")/run-fuzzers.sh" "${KV_FUZZ_SECONDS:-80}" "$@"
