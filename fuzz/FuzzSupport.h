#pragma once

// Helpers shared by the fuzz targets: splitting an input into texts, a check that ends the run
// as a finding, and the private namespaces some targets run in, so that nothing they do
// reaches the machine's own network, file system or named semaphores.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

// A broken property is a finding: report it and abort, which libFuzzer records as a crash.
#define FUZZ_CHECK(condition, ...)                                                       \
    do {                                                                                 \
        if (!(condition)) {                                                              \
            std::fprintf(stderr, "fuzz check failed at %s:%d: %s\n", __FILE__, __LINE__, \
                         #condition);                                                    \
            std::fprintf(stderr, "  " __VA_ARGS__);                                      \
            std::fputc('\n', stderr);                                                    \
            std::abort();                                                                \
        }                                                                                \
    } while (0)

namespace KvFuzz {

// The input cut at every NUL byte: n NUL bytes give n + 1 pieces.
std::vector<std::string> SplitAtNul(const uint8_t* data, size_t size);

// The input read as wide characters, four bytes each (a tail of fewer bytes is dropped), up to
// the first zero unit.
std::wstring WideUnits(const uint8_t* data, size_t size);

// Readable form of a text for a finding's report.
std::string Printable(const std::string& text);

// A new, empty network namespace for the process with the loopback adapter up and the given
// veth pairs up, the first adapter of each pair with an IPv4 address. Must run before any
// thread exists. False when it cannot be made, e.g. without root.
using AdapterPairs = std::vector<std::pair<std::string, std::string>>;
bool EnterPrivateNetwork(const AdapterPairs& vethPairs);

// A private mount namespace: later mounts are seen by this process only. Must run before any
// thread exists.
bool EnterPrivateMounts();

// Mounts an empty tmpfs on `path`; only in a private mount namespace.
bool MountScratch(const char* path);

// A fresh private directory under the temporary directory, removed with its content at exit.
// With `inMemory`, a tmpfs is mounted on it in a private mount namespace when that can be done
// (files rewritten at every run are much faster there than on a disk).
std::string MakeScratchDirectory(const char* tag, bool inMemory = false);

// Writes `size` bytes to `path`, replacing the file.
bool WriteFile(const std::string& path, const void* data, size_t size);

}  // namespace KvFuzz
