#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "ZrUtilsLib/Thread.h"
#include "app/MemoryAvailability.h"
#include "app/PCAPSniffer.h"
#include "tests/app/sniffer/HeldSniffer.h"
#include "tests/support/ScratchDirectory.h"

using KvTransportLayerLib::Network::PCAP::Buffer;
using EndReason = PCAPSniffer::EndReason;

namespace {

constexpr uint64_t MiB = 1024 * 1024;

// A /proc and cgroup file system for MemoryAvailability to read, removed at the end.
class FakeSystem {
public:
    // Replaces the file in one rename: a reader on another thread sees the old or the new one.
    void Write(const std::string& relative, const std::string& text) {
        const std::filesystem::path path = mRoot.Path() + relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path.string() + ".new") << text;
        std::filesystem::rename(path.string() + ".new", path);
    }
    void SetMemAvailable(uint64_t bytes) {
        Write("/proc/meminfo",
              "MemTotal: 24683772 kB\nMemAvailable: " + std::to_string(bytes / 1024) + " kB\n");
    }
    std::unique_ptr<MemoryAvailability> MakeGauge() const {
        return std::make_unique<MemoryAvailability>(mRoot.PathOf("proc"), mRoot.Path());
    }

private:
    KvTests::ScratchDirectory mRoot{"kvsystem"};
};

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

int64_t MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

// Refused plans are empty; the fixed plans that an even share serves are in the next test.
TEST(MemoryPlanTest, GivesTheBuffersOfTheModeOrRefuses) {
    constexpr unsigned int OK = ZrUtilsLib::OK, REFUSED = ZrUtilsLib::INVALID_ARGUMENT;
    // The configuration, then the outcome, Buffers, their size, queue slots and packet limit.
    const std::tuple<PCAPSnifferConfiguration, unsigned int, uint32_t, int32_t, uint32_t, int32_t>
        cases[] = {
            {MakeConfiguration(Circular), OK, 8, 256000, 9, -1},
            {MakeConfiguration(Circular, 100000000), OK, 15, 9090909, 16, -1},
            {MakeConfiguration(Continuous), OK, 4, 10000000, 2049, -1},
            {MakeConfiguration(None), REFUSED, 0, 0, 0, -1},
            {MakeConfiguration(Circular, 1024000, 1024, 31), REFUSED, 0, 0, 0, -1},
            {MakeConfiguration(FixedNumberOfPackets, 0, 511), REFUSED, 0, 0, 0, -1},
            {MakeConfiguration(Continuous, 511), REFUSED, 0, 0, 0, -1},
            {MakeConfiguration(Circular, 511), REFUSED, 0, 0, 0, -1},
            // Buffers of 800 / 4 = 200 bytes cannot take one record of 16 + 200 bytes.
            {MakeConfiguration(Circular, 800), REFUSED, 0, 0, 0, -1},
            // About 4.6e18 bytes: more Buffers than the plan's 32-bit count can hold.
            {MakeConfiguration(FixedNumberOfPackets, 0, INT32_MAX, INT32_MAX), REFUSED, 0, 0, 0,
             -1},
        };
    for (const auto& row : cases) {
        const auto& [config, code, count, size, capacity, packets] = row;
        SCOPED_TRACE(&row - cases);
        PCAPSniffer::MemoryPlan plan;
        EXPECT_EQ(PCAPSniffer::ComputePlan(config, plan).GetCode(), code);
        EXPECT_EQ(std::make_tuple(plan.bufferCount, plan.bufferSize, plan.queueCapacity,
                                  plan.numberOfPackets),
                  std::make_tuple(count, size, capacity, packets));
    }
}

// A fixed plan holds the requested maximum-size records, which never span two Buffers: an even
// share of the plan where that suffices, else never a whole record more. The sizes are those at
// which an even share falls short for many requests.
TEST(MemoryPlanTest, FixedNumberOfPacketsHoldsTheRequestedMaximumSizeRecords) {
    std::vector<int32_t> requests{100000, 1000000, 10000000, 100000000, 1000000000, INT32_MAX};
    for (int32_t packets = 512; packets <= 20000; ++packets) {
        requests.push_back(packets);
    }
    for (const int32_t size : {32, 200, 1514, 9000, 65535}) {
        const int64_t record = size + 16;
        unsigned int enlarged = 0;
        for (const int32_t packets : requests) {
            SCOPED_TRACE(std::to_string(packets) + " packets of " + std::to_string(size));
            PCAPSniffer::MemoryPlan plan;
            ASSERT_EQ(PCAPSniffer::ComputePlan(
                          MakeConfiguration(FixedNumberOfPackets, 1024000, packets, size), plan)
                          .GetCode(),
                      ZrUtilsLib::OK);
            const int64_t total = (size + 24) * int64_t{packets};
            const int64_t evenShare = total / plan.bufferCount;
            ASSERT_EQ(plan.bufferCount, total / 10000000 + 1);
            ASSERT_EQ(plan.queueCapacity, plan.bufferCount + 1);
            ASSERT_EQ(plan.numberOfPackets, packets);
            ASSERT_GE(plan.bufferCount * (plan.bufferSize / record), packets);
            ASSERT_GE(plan.bufferSize, evenShare);
            ASSERT_LT(plan.bufferSize, evenShare + record);
            if (evenShare / record * plan.bufferCount >= packets) {
                ASSERT_EQ(plan.bufferSize, evenShare);
            } else {
                ++enlarged;
            }
        }
        // Requests from 512 to 20000 whose even share falls short, and every large one at 65535.
        EXPECT_EQ(enlarged, size == 65535 ? 18807 + 6u : size == 9000 ? 275u : 0u) << size;
    }
}

// 8 Buffers of 256000 bytes plus libpcap's kernel ring must leave the reserve available.
TEST(PCAPSnifferOpenTest, AvailableMemoryDecidesWhetherThePlanIsAccepted) {
    FakeSystem system;
    const uint64_t needed =
        8 * 256000 + KvTransportLayerLib::Network::PCAP::Filter::GetKernelBufferBytes(200);
    for (const bool fits : {false, true}) {
        system.SetMemAvailable(PCAPSniffer::kMemoryReserve + needed + (fits ? 4096 : -4096));
        PCAPSniffer sniffer(system.MakeGauge());
        PCAPSnifferConfiguration config = MakeConfiguration(Circular);
        EXPECT_EQ(sniffer.Open(&config).GetCode(),
                  fits ? ZrUtilsLib::OK : ZrUtilsLib::NOT_ENOUGH_MEMORY);
        EXPECT_EQ(sniffer.GetAllocatedBufferCount(), fits ? 8u : 0u);
    }
}

// The capture file name ends in ".pcap" (exact case) and holds at most 1023 characters.
TEST(PCAPSnifferOpenTest, CaptureFileNameEndsInPcap) {
    const std::string stem(1018, 'n'), longest = stem + ".pcap", over = stem + "n",
                                       overlong = longest + "n";
    const std::tuple<const char*, bool, std::string> cases[] = {
        {"trace", true, "trace.pcap"},
        {"trace.pcap", true, "trace.pcap"},
        {"trace.PCAP", true, "trace.PCAP.pcap"},
        {"pcap", true, "pcap.pcap"},
        {".pcap", true, ".pcap"},
        {stem.c_str(), true, longest},
        {longest.c_str(), true, longest},
        {over.c_str(), false, "unchanged"},
        {overlong.c_str(), false, "unchanged"},
        {"", false, "unchanged"},
        {nullptr, false, "unchanged"},
    };
    for (const auto& [name, made, expected] : cases) {
        std::string fileName = "unchanged";
        EXPECT_EQ(PCAPSniffer::MakeCaptureFileName(name, fileName), made) << name;
        EXPECT_EQ(fileName, expected);
    }
    // Open names the file by the same rule, and refuses what the rule refuses.
    PCAPSniffer sniffer;
    PCAPSnifferConfiguration config = MakeConfiguration(Circular);
    ASSERT_EQ(sniffer.Open(&config).GetCode(), ZrUtilsLib::OK);
    EXPECT_STREQ(sniffer.GetFilename(), "/tmp/kvsniffer-unused.pcap");
    std::snprintf(config.Filename, sizeof(config.Filename), "%s", over.c_str());
    EXPECT_EQ(sniffer.Open(&config).GetCode(), ZrUtilsLib::INVALID_ARGUMENT);
    EXPECT_STREQ(sniffer.GetFilename(), "");
}

// Pops every item and pushes it back: the queue's content, oldest first, unchanged.
std::vector<Buffer*> ListQueue(PCAPSniffer::BufferQueue& queue) {
    std::vector<Buffer*> items;
    for (unsigned int count = queue.GetCount(); items.size() < count;) {
        items.push_back(queue.Pop());
        queue.Push(items.back());
    }
    return items;
}

// Not opened, opened but never started, or started on an adapter that does not exist, so that
// the sniffer thread waits for a capture that never starts: Stop, Close and the destructor end
// at once and every Buffer comes back.
TEST(PCAPSnifferEndTest, ANeverStartedCaptureEndsPromptly) {
    const auto start = std::chrono::steady_clock::now();
    {
        PCAPSniffer idle;
        EXPECT_EQ(idle.GetEndReason(), EndReason::Stopped);
        EXPECT_EQ(idle.Start().GetCode(), ZrUtilsLib::STATE_ERROR);  // not opened
        PCAPSnifferConfiguration config = MakeConfiguration(Circular);
        ASSERT_EQ(idle.Open(&config).GetCode(), ZrUtilsLib::OK);
        EXPECT_EQ(idle.Stop().GetCode(), ZrUtilsLib::OK);
        EXPECT_TRUE(idle.GetRecordedQueue()->IsEmpty());
        EXPECT_EQ(idle.GetFreeQueue()->GetCount(), 8u);
        EXPECT_EQ(idle.Close().GetCode(), ZrUtilsLib::OK);
        EXPECT_EQ(idle.GetAllocatedBufferCount(), 0u);
        ASSERT_EQ(idle.Open(&config).GetCode(), ZrUtilsLib::OK);  // left to the destructor
    }
    EXPECT_LT(MillisecondsSince(start), 2000);

    PCAPSniffer waiting;
    PCAPSnifferConfiguration config = MakeConfiguration(FixedNumberOfPackets);
    ASSERT_EQ(waiting.Open(&config).GetCode(), ZrUtilsLib::OK);
    EXPECT_NE(waiting.Start().GetCode(), ZrUtilsLib::OK);
    EXPECT_TRUE(waiting.IsRunning());
    EXPECT_EQ(waiting.GetEndReason(), EndReason::Running);
    const auto stopping = std::chrono::steady_clock::now();
    waiting.Stop();
    EXPECT_LT(MillisecondsSince(stopping), 1000);
    EXPECT_FALSE(waiting.IsRunning());
    EXPECT_EQ(waiting.GetEndReason(), EndReason::Stopped);
    EXPECT_EQ(waiting.GetFreeQueue()->GetCount(), 1u);
}

// The filter stops behind the sniffer's back and hands back its four empty Buffers; the held
// thread then meets a filter that refuses the replacement. The refused Buffer keeps its place at
// the head of the free queue, the thread ends with DriverError, and Stop finds every Buffer in
// the free queue in order, at once.
TEST(PCAPSnifferEndTest, RefusedReplacementStaysInTheFreeQueue) {
    HeldSniffer sniffer(HeldSniffer::HoldAt::FirstReplacement);
    PCAPSnifferConfiguration config = MakeConfiguration(Circular);
    ASSERT_EQ(sniffer.Open(&config).GetCode(), ZrUtilsLib::OK);
    const std::vector<Buffer*> waiting = ListQueue(*sniffer.GetFreeQueue());
    ASSERT_EQ(waiting.size(), 4u);
    EXPECT_NE(sniffer.Start().GetCode(), ZrUtilsLib::OK);  // no such adapter
    sniffer.StopFilterOnly();
    ASSERT_TRUE(sniffer.WaitUntilHeld(2000));
    for (int wait = 0; sniffer.IsRunning() && wait < 300; ++wait) {
        ZrUtilsLib::Thread::Sleep(10);
    }
    EXPECT_FALSE(sniffer.IsRunning());
    EXPECT_EQ(sniffer.GetEndReason(), EndReason::DriverError);
    const auto start = std::chrono::steady_clock::now();
    sniffer.Stop();
    EXPECT_LT(MillisecondsSince(start), 500);
    EXPECT_EQ(sniffer.GetEndReason(), EndReason::DriverError);
    EXPECT_TRUE(sniffer.GetRecordedQueue()->IsEmpty());
    const std::vector<Buffer*> freeBuffers = ListQueue(*sniffer.GetFreeQueue());
    ASSERT_EQ(freeBuffers.size(), 8u);
    EXPECT_EQ(std::vector<Buffer*>(freeBuffers.begin(), freeBuffers.begin() + 4), waiting);
}

// Every cgroup level's limit counts, less its inactive file cache, and MemAvailable where it is
// smaller; nothing readable is unknown and blocks nothing; a known amount keeps the reserve.
TEST(MemoryAvailabilityTest, CgroupLimitsMemAvailableAndTheReserve) {
    FakeSystem empty;
    EXPECT_EQ(empty.MakeGauge()->GetAvailableBytes(), MemoryAvailability::UNKNOWN);
    EXPECT_TRUE(empty.MakeGauge()->HasRoomFor(uint64_t{1} << 50, 64 * MiB));

    const std::string v2 = "/sys/fs/cgroup/user.slice";
    FakeSystem system;
    system.SetMemAvailable(20000 * MiB);
    system.Write("/proc/self/cgroup", "0::/user.slice/session-1.scope\n");
    system.Write("/proc/self/mountinfo",
                 "25 30 0:22 / /sys rw shared:7 - sysfs sysfs rw\n"
                 "35 25 0:30 / /sys/fs/cgroup rw shared:9 - cgroup2 cgroup2 rw\n");
    system.Write(v2 + "/session-1.scope/memory.max", std::to_string(500 * MiB));
    system.Write(v2 + "/session-1.scope/memory.current", std::to_string(100 * MiB));
    system.Write(v2 + "/memory.max", std::to_string(1024 * MiB));
    system.Write(v2 + "/memory.current", std::to_string(900 * MiB));
    system.Write(v2 + "/memory.stat", "anon 1\ninactive_file " + std::to_string(76 * MiB) + "\n");
    EXPECT_EQ(system.MakeGauge()->GetAvailableBytes(), 200 * MiB);  // 1024 - (900 - 76)
    system.Write(v2 + "/session-1.scope/memory.current", std::to_string(350 * MiB));
    EXPECT_EQ(system.MakeGauge()->GetAvailableBytes(), 150 * MiB);
    system.Write(v2 + "/session-1.scope/memory.max", "max\n");
    system.SetMemAvailable(100 * MiB);
    EXPECT_EQ(system.MakeGauge()->GetAvailableBytes(), 100 * MiB);
    EXPECT_TRUE(system.MakeGauge()->HasRoomFor(36 * MiB, 64 * MiB));
    EXPECT_FALSE(system.MakeGauge()->HasRoomFor(36 * MiB + 1, 64 * MiB));
    EXPECT_FALSE(system.MakeGauge()->HasRoomFor(0, 101 * MiB));
}

}  // namespace
