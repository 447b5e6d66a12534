#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// A broken property is a finding: report it and abort, which libFuzzer records as a crash.
#define FUZZ_CHECK(condition)                                                                    \
    ((condition) ? (void)0                                                                       \
                 : (std::fprintf(stderr, "fuzz check failed at %s:%d: %s\n", __FILE__, __LINE__, \
                                 #condition),                                                    \
                    std::abort()))

namespace KvFuzz {

// The input cut at every NUL byte: n NUL bytes give n + 1 pieces.
std::vector<std::string> SplitAtNul(const uint8_t* data, size_t size);

// New mount and network namespaces (before any thread exists) with only loopback up and a private
// tmpfs on /dev/shm; fails without root rather than reach this machine's network and files.
void EnterSandbox();

// Mounts an empty tmpfs on `path`; only inside the sandbox.
void MountScratch(const char* path);

}  // namespace KvFuzz
