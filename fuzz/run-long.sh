#!/bin/bash
# The long run: every fuzz target, one after the other, for KV_FUZZ_SECONDS each (default
# 600 s); the corpus grown by each run is kept in the build directory for the next one.
exec "$(dirname "$0")/run-fuzzers.sh" "${KV_FUZZ_SECONDS:-600}" "$@"
