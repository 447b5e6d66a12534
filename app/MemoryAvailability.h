#pragma once

#include <cstdint>
#include <string>

// The memory this process can still obtain before the kernel's out-of-memory killer steps in.
// A successful malloc proves nothing on Linux (the kernel overcommits), so the sniffer asks this
// gauge before it plans or adds capture memory.
//
// The answer is the smaller of:
// - the kernel's estimate of memory available without swapping (MemAvailable of /proc/meminfo);
// - the room left under every memory cgroup limit that applies to the process, at its own level
//   and every level above it (cgroup v2 memory.max, cgroup v1 memory.limit_in_bytes); the
//   inactive file cache, which the kernel reclaims before it kills, does not count as used.
// Sources that cannot be read impose no bound; with none readable the answer is UNKNOWN.
class MemoryAvailability {
public:
    static constexpr uint64_t UNKNOWN = UINT64_MAX;

    // Reads the machine's own /proc and cgroup file systems.
    MemoryAvailability();
    // Reads "<procRoot>/meminfo", "<procRoot>/self/cgroup" and "<procRoot>/self/mountinfo",
    // and every cgroup mount point of mountinfo below mountPrefix (tests present their own files).
    MemoryAvailability(std::string procRoot, std::string mountPrefix);
    virtual ~MemoryAvailability() = default;

    uint64_t GetAvailableBytes() const;

    // True when `bytes` more can be taken while `reserve` bytes stay available afterwards.
    bool HasRoomFor(uint64_t bytes, uint64_t reserve) const;

private:
    uint64_t ReadMemAvailable() const;
    uint64_t ReadCgroupRoom() const;

    std::string mProcRoot;
    std::string mMountPrefix;
};
