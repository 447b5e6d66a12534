#include <gtest/gtest.h>

#include <string>

#include "SnifferTestSupport.h"
#include "app/MemoryAvailability.h"

using namespace SnifferTest;

namespace {

const char* kV1Mountinfo =
    "25 30 0:22 / /sys rw,nosuid shared:7 - sysfs sysfs rw\n"
    "33 25 0:28 / /sys/fs/cgroup/memory rw,nosuid,nodev,noexec shared:15 - cgroup cgroup "
    "rw,memory\n"
    "34 25 0:29 / /sys/fs/cgroup/cpu rw,nosuid shared:16 - cgroup cgroup rw,cpu\n";

const char* kV2Mountinfo =
    "25 30 0:22 / /sys rw,nosuid shared:7 - sysfs sysfs rw\n"
    "35 25 0:30 / /sys/fs/cgroup rw,nosuid,nodev,noexec,relatime shared:9 - cgroup2 cgroup2 "
    "rw,nsdelegate,memory_recursiveprot\n";

TEST(MemoryAvailabilityTest, NothingReadableIsUnknownAndBlocksNothing) {
    FakeSystem system;
    const MemoryAvailability gauge = system.Gauge();
    EXPECT_EQ(gauge.GetAvailableBytes(), MemoryAvailability::UNKNOWN);
    EXPECT_TRUE(gauge.HasRoomFor(uint64_t{1} << 50, 64 * MiB));
}

TEST(MemoryAvailabilityTest, CgroupV1LimitsOfEveryLevelCountAndInactiveCacheIsNotUsed) {
    FakeSystem system;
    system.SetMemAvailable(20000 * MiB);
    system.Write("/proc/self/cgroup", "5:cpu:/\n4:memory:/outer/inner\n0::/\n");
    system.Write("/proc/self/mountinfo", kV1Mountinfo);
    const std::string base = "/sys/fs/cgroup/memory";
    system.Write(base + "/memory.limit_in_bytes", "9223372036854771712\n");
    system.Write(base + "/memory.usage_in_bytes", "9000000000\n");
    system.Write(base + "/outer/memory.limit_in_bytes", std::to_string(1000 * MiB));
    system.Write(base + "/outer/memory.usage_in_bytes", std::to_string(700 * MiB));
    system.Write(base + "/outer/memory.stat",
                 "cache 1\ninactive_file 1\ntotal_inactive_file " + std::to_string(100 * MiB));
    system.Write(base + "/outer/inner/memory.limit_in_bytes", std::to_string(500 * MiB));
    system.Write(base + "/outer/inner/memory.usage_in_bytes", std::to_string(200 * MiB));

    // inner: 500 - 200 = 300; outer: 1000 - (700 - 100) = 400; the root has no limit.
    EXPECT_EQ(system.Gauge().GetAvailableBytes(), 300 * MiB);

    system.Write(base + "/outer/memory.usage_in_bytes", std::to_string(950 * MiB));
    EXPECT_EQ(system.Gauge().GetAvailableBytes(), 150 * MiB);

    system.Write(base + "/outer/inner/memory.usage_in_bytes", std::to_string(600 * MiB));
    EXPECT_EQ(system.Gauge().GetAvailableBytes(), 0u);
}

TEST(MemoryAvailabilityTest, CgroupV2MaxOfAnAncestorCounts) {
    FakeSystem system;
    system.SetMemAvailable(20000 * MiB);
    system.Write("/proc/self/cgroup", "0::/user.slice/session-1.scope\n");
    system.Write("/proc/self/mountinfo", kV2Mountinfo);
    const std::string base = "/sys/fs/cgroup";
    system.Write(base + "/user.slice/session-1.scope/memory.max", "max\n");
    system.Write(base + "/user.slice/session-1.scope/memory.current", "1000\n");
    system.Write(base + "/user.slice/memory.max", std::to_string(1024 * MiB));
    system.Write(base + "/user.slice/memory.current", std::to_string(900 * MiB));
    system.Write(base + "/user.slice/memory.stat",
                 "anon 1\nfile 2\ninactive_file " + std::to_string(76 * MiB) + "\n");

    EXPECT_EQ(system.Gauge().GetAvailableBytes(), 200 * MiB);
}

TEST(MemoryAvailabilityTest, MemAvailableWinsWhenSmallerThanTheCgroupRoom) {
    FakeSystem system;
    system.SetMemAvailable(120 * MiB);
    system.Write("/proc/self/cgroup", "0::/box\n");
    system.Write("/proc/self/mountinfo", kV2Mountinfo);
    system.Write("/sys/fs/cgroup/box/memory.max", std::to_string(4096 * MiB));
    system.Write("/sys/fs/cgroup/box/memory.current", std::to_string(96 * MiB));
    EXPECT_EQ(system.Gauge().GetAvailableBytes(), 120 * MiB);
}

TEST(MemoryAvailabilityTest, HasRoomForKeepsTheReserve) {
    FakeSystem system;
    system.SetMemAvailable(100 * MiB);
    const MemoryAvailability gauge = system.Gauge();
    EXPECT_TRUE(gauge.HasRoomFor(36 * MiB, 64 * MiB));
    EXPECT_FALSE(gauge.HasRoomFor(36 * MiB + 1, 64 * MiB));
    EXPECT_FALSE(gauge.HasRoomFor(0, 101 * MiB));
}

}  // namespace
