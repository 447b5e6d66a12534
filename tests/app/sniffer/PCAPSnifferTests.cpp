#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <string>

#include "SnifferTestSupport.h"
#include "app/PCAPSniffer.h"

using namespace SnifferTest;

namespace {

PCAPSnifferConfiguration MakeConfiguration(uint32_t mode, int32_t bufferSize = 1024000,
                                           int32_t numberOfPackets = 1024,
                                           int32_t maximumPacketSize = 200) {
    PCAPSnifferConfiguration config;
    config.AdapterName = "kvnosuch0";
    std::strcpy(config.Filename, "/tmp/kvsniffer-unused");
    config.Mode = mode;
    config.BufferSize = bufferSize;
    config.NumberOfPackets = numberOfPackets;
    config.MaximumPacketSize = maximumPacketSize;
    return config;
}

// A plan of at most 40 MB is also opened: the sniffer writes the plan back, creates its Buffers
// and lends at most four to the filter, keeping the rest in the free queue.
TEST(MemoryPlanTest, GivesTheBuffersOfTheMode) {
    struct Case {
        PCAPSnifferConfiguration config;
        uint32_t count;
        int32_t size;
        uint32_t capacity;
        int32_t packets;
    };
    // (65535 + 24) x 2147483647 bytes: far beyond 32 bits, yet every field of the plan fits.
    const Case cases[] = {
        {MakeConfiguration(Circular), 8, 256000, 9, -1},
        {MakeConfiguration(Circular, 100000000), 15, 9090909, 16, -1},
        {MakeConfiguration(Circular, 29999999), 8, 7499999, 9, -1},
        {MakeConfiguration(Circular, 30000000), 8, 7500000, 9, -1},
        {MakeConfiguration(Circular, 40000000), 9, 8000000, 10, -1},
        {MakeConfiguration(FixedNumberOfPackets), 1, 229376, 2, 1024},
        {MakeConfiguration(FixedNumberOfPackets, 1024000, 100000, 1514), 16, 9612500, 17, 100000},
        {MakeConfiguration(FixedNumberOfPackets, 1024000, INT32_MAX, 65535), 14078689, 9999999,
         14078690, INT32_MAX},
        {MakeConfiguration(Continuous), 4, 10000000, 2049, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.config.Mode) + " " + std::to_string(c.config.BufferSize));
        PCAPSniffer::MemoryPlan plan;
        ASSERT_EQ(PCAPSniffer::ComputePlan(c.config, plan).GetCode(), ZrUtilsLib::OK);
        EXPECT_EQ(plan.bufferCount, c.count);
        EXPECT_EQ(plan.bufferSize, c.size);
        EXPECT_EQ(plan.queueCapacity, c.capacity);
        EXPECT_EQ(plan.numberOfPackets, c.packets);
        if (plan.GetInitialBytes() <= 40000000) {
            PCAPSniffer sniffer;
            PCAPSnifferConfiguration config = c.config;
            ASSERT_EQ(sniffer.Open(&config).GetCode(), ZrUtilsLib::OK);
            EXPECT_EQ(config.BufferSize, c.size);
            EXPECT_EQ(config.NumberOfPackets, c.packets);
            EXPECT_EQ(sniffer.GetAllocatedBufferCount(), c.count);
            EXPECT_EQ(sniffer.GetFreeQueue()->GetCount(), c.count - std::min(c.count, 4u));
            EXPECT_TRUE(sniffer.GetRecordedQueue()->IsEmpty());
            EXPECT_EQ(sniffer.GetMaximumPacketSize(), c.config.MaximumPacketSize);
        }
    }
}

// And Open refuses an adapter name that no adapter can have.
TEST(MemoryPlanTest, RefusesWhatTheModesDoNotAllow) {
    const PCAPSnifferConfiguration cases[] = {
        MakeConfiguration(None),
        MakeConfiguration(4),
        MakeConfiguration(Circular, 1024000, 1024, 31),
        MakeConfiguration(FixedNumberOfPackets, 1024000, 511),
        MakeConfiguration(FixedNumberOfPackets, 1024000, -5),
        MakeConfiguration(Continuous, 511),
        MakeConfiguration(Circular, 511),
        // Buffers of 800 / 4 = 200 bytes cannot take one record of 16 + 200 bytes.
        MakeConfiguration(Circular, 800),
    };
    for (const PCAPSnifferConfiguration& config : cases) {
        PCAPSniffer::MemoryPlan plan;
        EXPECT_EQ(PCAPSniffer::ComputePlan(config, plan).GetCode(), ZrUtilsLib::INVALID_ARGUMENT)
            << "mode " << config.Mode << " size " << config.BufferSize << " packets "
            << config.NumberOfPackets << " packet size " << config.MaximumPacketSize;
        EXPECT_EQ(plan.bufferCount, 0u);
    }
    PCAPSniffer sniffer;
    PCAPSnifferConfiguration config = MakeConfiguration(Circular);
    config.AdapterName = std::string(512, 'a');
    EXPECT_EQ(sniffer.Open(&config).GetCode(), ZrUtilsLib::INVALID_ARGUMENT);
    EXPECT_EQ(sniffer.GetAllocatedBufferCount(), 0u);
}

// Circular, 1024000 bytes: 8 Buffers of 256000 bytes, which must leave the reserve available.
TEST(PCAPSnifferOpenTest, AvailableMemoryDecidesWhetherThePlanIsAccepted) {
    FakeSystem system;
    for (const bool fits : {false, true}) {
        system.SetMemAvailable(PCAPSniffer::kMemoryReserve + 8 * 256000 + (fits ? 4096 : -4096));
        PCAPSniffer sniffer(system.MakeGauge());
        PCAPSnifferConfiguration config = MakeConfiguration(Circular);
        EXPECT_EQ(sniffer.Open(&config).GetCode(),
                  fits ? ZrUtilsLib::OK : ZrUtilsLib::NOT_ENOUGH_MEMORY);
        EXPECT_EQ(sniffer.GetAllocatedBufferCount(), fits ? 8u : 0u);
    }
}

// The capture file always ends in ".pcap", and only a name that can take it within 1023
// characters is accepted; the configuration keeps its own name.
TEST(PCAPSnifferOpenTest, FileNameEndsInPcap) {
    const std::string longest(1018, 'n');
    const std::string complete = std::string(1018, 'c') + ".pcap";
    const std::pair<std::string, std::string> cases[] = {
        {"trace", "trace.pcap"},
        {"trace.pcap", "trace.pcap"},
        {"trace.PCAP", "trace.PCAP.pcap"},
        {"pcap", "pcap.pcap"},
        {".pcap", ".pcap"},
        {"dir/x.pcapng", "dir/x.pcapng.pcap"},
        {longest, longest + ".pcap"},
        {complete, complete},
        {longest + "n", ""},
        {"", ""},
    };
    PCAPSniffer sniffer;
    PCAPSnifferConfiguration config = MakeConfiguration(FixedNumberOfPackets);
    for (const auto& c : cases) {
        std::strcpy(config.Filename, c.first.c_str());
        EXPECT_EQ(sniffer.Open(&config).GetCode(),
                  c.second.empty() ? ZrUtilsLib::INVALID_ARGUMENT : ZrUtilsLib::OK)
            << c.first;
        EXPECT_EQ(std::string(sniffer.GetFilename()), c.second);
        EXPECT_EQ(sniffer.GetAllocatedBufferCount(), c.second.empty() ? 0u : 1u);
        EXPECT_STREQ(config.Filename, c.first.c_str());
    }
    std::memset(config.Filename, 'u', sizeof(config.Filename));  // not terminated
    EXPECT_EQ(sniffer.Open(&config).GetCode(), ZrUtilsLib::INVALID_ARGUMENT);
}

// Stop gets every lent Buffer back at once, and Close and the destructor end promptly too.
TEST(PCAPSnifferLifecycleTest, OpenedButNeverStartedEndsPromptly) {
    const auto start = std::chrono::steady_clock::now();
    {
        PCAPSniffer sniffer;
        EXPECT_EQ(sniffer.Start().GetCode(), ZrUtilsLib::STATE_ERROR);  // not opened
        PCAPSnifferConfiguration config = MakeConfiguration(Circular);
        ASSERT_EQ(sniffer.Open(&config).GetCode(), ZrUtilsLib::OK);
        EXPECT_EQ(sniffer.Stop().GetCode(), ZrUtilsLib::OK);
        EXPECT_TRUE(sniffer.GetRecordedQueue()->IsEmpty());
        EXPECT_EQ(sniffer.GetFreeQueue()->GetCount(), 8u);
        EXPECT_EQ(sniffer.Close().GetCode(), ZrUtilsLib::OK);
        EXPECT_EQ(sniffer.GetAllocatedBufferCount(), 0u);
        EXPECT_STREQ(sniffer.GetFilename(), "");
        ASSERT_EQ(sniffer.Open(&config).GetCode(), ZrUtilsLib::OK);  // left to the destructor
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

// ---- MemoryAvailability over a /proc and cgroup file system of the test's own --------------

TEST(MemoryAvailabilityTest, CgroupV1LimitsOfEveryLevelCountAndInactiveCacheIsNotUsed) {
    FakeSystem system;
    system.SetMemAvailable(20000 * MiB);
    system.Write("/proc/self/cgroup", "5:cpu:/\n4:memory:/outer/inner\n0::/\n");
    system.Write(
        "/proc/self/mountinfo",
        "25 30 0:22 / /sys rw,nosuid shared:7 - sysfs sysfs rw\n"
        "33 25 0:28 / /sys/fs/cgroup/memory rw,nosuid,nodev,noexec shared:15 - cgroup cgroup "
        "rw,memory\n"
        "34 25 0:29 / /sys/fs/cgroup/cpu rw,nosuid shared:16 - cgroup cgroup rw,cpu\n");
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
    EXPECT_EQ(system.MakeGauge()->GetAvailableBytes(), 300 * MiB);
    system.Write(base + "/outer/memory.usage_in_bytes", std::to_string(950 * MiB));
    EXPECT_EQ(system.MakeGauge()->GetAvailableBytes(), 150 * MiB);
    system.Write(base + "/outer/inner/memory.usage_in_bytes", std::to_string(600 * MiB));
    EXPECT_EQ(system.MakeGauge()->GetAvailableBytes(), 0u);
}

// An ancestor's memory.max counts; MemAvailable wins where it is smaller than the cgroup room.
TEST(MemoryAvailabilityTest, CgroupV2MaxOfAnAncestorCounts) {
    FakeSystem system;
    system.SetMemAvailable(20000 * MiB);
    system.Write("/proc/self/cgroup", "0::/user.slice/session-1.scope\n");
    system.Write(
        "/proc/self/mountinfo",
        "25 30 0:22 / /sys rw,nosuid shared:7 - sysfs sysfs rw\n"
        "35 25 0:30 / /sys/fs/cgroup rw,nosuid,nodev,noexec,relatime shared:9 - cgroup2 cgroup2 "
        "rw,nsdelegate,memory_recursiveprot\n");
    const std::string base = "/sys/fs/cgroup/user.slice";
    system.Write(base + "/session-1.scope/memory.max", "max\n");
    system.Write(base + "/session-1.scope/memory.current", "1000\n");
    system.Write(base + "/memory.max", std::to_string(1024 * MiB));
    system.Write(base + "/memory.current", std::to_string(900 * MiB));
    system.Write(base + "/memory.stat",
                 "anon 1\nfile 2\ninactive_file " + std::to_string(76 * MiB) + "\n");
    EXPECT_EQ(system.MakeGauge()->GetAvailableBytes(), 200 * MiB);
    system.SetMemAvailable(120 * MiB);
    EXPECT_EQ(system.MakeGauge()->GetAvailableBytes(), 120 * MiB);
}

// Nothing readable is unknown and blocks nothing; a known amount keeps the reserve.
TEST(MemoryAvailabilityTest, HasRoomForKeepsTheReserve) {
    FakeSystem system;
    EXPECT_EQ(system.MakeGauge()->GetAvailableBytes(), MemoryAvailability::UNKNOWN);
    EXPECT_TRUE(system.MakeGauge()->HasRoomFor(uint64_t{1} << 50, 64 * MiB));
    system.SetMemAvailable(100 * MiB);
    EXPECT_TRUE(system.MakeGauge()->HasRoomFor(36 * MiB, 64 * MiB));
    EXPECT_FALSE(system.MakeGauge()->HasRoomFor(36 * MiB + 1, 64 * MiB));
    EXPECT_FALSE(system.MakeGauge()->HasRoomFor(0, 101 * MiB));
}

}  // namespace
