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
#include "app/PCAPWriter.h"

using KvTransportLayerLib::Network::PCAP::Buffer;
using ZrUtilsLib::Result;

namespace {

constexpr uint64_t MiB = 1024 * 1024;

// A temporary directory, removed with everything in it however the test ends.
class TempDirectory {
public:
    TempDirectory() { EXPECT_NE(mkdtemp(mPath.data()), nullptr); }
    ~TempDirectory() { std::filesystem::remove_all(mPath); }
    const std::string& Path() const { return mPath; }

private:
    std::string mPath = "/tmp/kvsniffer-XXXXXX";
};

// A /proc and cgroup file system for MemoryAvailability to read.
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
        return std::make_unique<MemoryAvailability>(mRoot.Path() + "/proc", mRoot.Path());
    }

private:
    TempDirectory mRoot;
};

// Nothing recorded: no file, and an existing one is left as it was. A file that cannot be created
// leaves the recording queued; one that cannot be written (/dev/full refuses every write with
// ENOSPC) still moves every Buffer on, oldest first. The bytes written are the live test's.
TEST(PCAPWriterTest, FailuresNameTheFileAndTheReason) {
    TempDirectory directory;
    std::vector<std::unique_ptr<Buffer>> buffers;
    PCAPWriter::BufferQueue recorded, freeQueue;
    ASSERT_TRUE(recorded.SetCapacity(16) && freeQueue.SetCapacity(16));
    PCAPWriter writer;  // last: destroyed before the queues it may still be using
    // Polls the flag as the recording run does: its clearing must publish the outcome.
    const auto storeAndWait = [&](const std::string& path) {
        const Result started = writer.StartStore(path.c_str(), 200, &recorded, &freeQueue);
        for (int wait = 0; writer.IsStoring() && wait < 30000; ++wait) {
            ZrUtilsLib::Thread::Sleep(1);
        }
        EXPECT_FALSE(writer.IsStoring());
        const Result outcome = writer.GetStoreResult();
        writer.WaitForStoreCompletion();
        EXPECT_EQ(outcome.GetCode(), writer.GetStoreResult().GetCode());
        EXPECT_TRUE(started.GetCode() == ZrUtilsLib::OK || started.GetCode() == outcome.GetCode());
        return outcome;
    };
    const std::string absent = directory.Path() + "/absent.pcap";
    const std::string existing = directory.Path() + "/existing.pcap";
    std::ofstream(existing) << "previous recording";
    for (const std::string& path : {absent, existing}) {
        EXPECT_EQ(storeAndWait(path).GetCode(), ZrUtilsLib::OK);
    }
    EXPECT_FALSE(std::filesystem::exists(absent));
    EXPECT_EQ(std::filesystem::file_size(existing), 18u);

    for (const uint32_t records : {100, 0, 150}) {  // of 216 bytes each
        buffers.push_back(std::make_unique<Buffer>());
        ASSERT_EQ(buffers.back()->Allocate(records * 216 + 1).GetCode(), ZrUtilsLib::OK);
        std::memset(buffers.back()->GetData(), 'r', records * 216);
        buffers.back()->SetDataLength(records * 216);
        buffers.back()->SetPacketCount(records);
        recorded.Push(buffers.back().get());
    }
    const std::string missing = directory.Path() + "/no/such/directory/trace.pcap";
    const std::tuple<std::string, unsigned int, const char*, std::vector<Buffer*>> cases[] = {
        {missing, ZrUtilsLib::CANNOT_OPEN_FILE, "No such file or directory", {}},
        {"/dev/full",
         ZrUtilsLib::FILE_ERROR,
         "No space left on device",
         {buffers[0].get(), buffers[1].get(), buffers[2].get()}}};
    for (const auto& [path, code, reason, freed] : cases) {
        const Result result = storeAndWait(path);
        EXPECT_EQ(result.GetCode(), code);
        const std::string description = result.GetDescription();
        EXPECT_NE(description.find(path), std::string::npos) << description;
        EXPECT_NE(description.find(reason), std::string::npos) << description;
        std::vector<Buffer*> popped;
        for (Buffer* buffer = freeQueue.Pop(); buffer != nullptr; buffer = freeQueue.Pop()) {
            popped.push_back(buffer);
        }
        EXPECT_EQ(popped, freed);
    }
    EXPECT_FALSE(std::filesystem::exists(missing));
    EXPECT_TRUE(recorded.IsEmpty());
}

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

// Refused plans are empty.
TEST(MemoryPlanTest, GivesTheBuffersOfTheModeOrRefuses) {
    constexpr unsigned int OK = ZrUtilsLib::OK, REFUSED = ZrUtilsLib::INVALID_ARGUMENT;
    // The configuration, then the outcome, Buffers, their size, queue slots and packet limit.
    const std::tuple<PCAPSnifferConfiguration, unsigned int, uint32_t, int32_t, uint32_t, int32_t>
        cases[] = {
            {MakeConfiguration(Circular), OK, 8, 256000, 9, -1},
            {MakeConfiguration(Circular, 100000000), OK, 15, 9090909, 16, -1},
            {MakeConfiguration(FixedNumberOfPackets), OK, 1, 229376, 2, 1024},
            {MakeConfiguration(FixedNumberOfPackets, 0, 100000, 1514), OK, 16, 9612500, 17, 100000},
            // (65535 + 24) x 2147483647 bytes: beyond 32 bits, yet every field of the plan fits.
            {MakeConfiguration(FixedNumberOfPackets, 0, INT32_MAX, 65535), OK, 14078689, 9999999,
             14078690, INT32_MAX},
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
        EXPECT_EQ(plan.bufferCount, count);
        EXPECT_EQ(plan.bufferSize, size);
        EXPECT_EQ(plan.queueCapacity, capacity);
        EXPECT_EQ(plan.numberOfPackets, packets);
    }
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
        ASSERT_EQ(sniffer.Open(&config).GetCode(), ZrUtilsLib::OK);  // left to the destructor
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

// Every level's limit counts, less its inactive file cache; MemAvailable where it is smaller.
TEST(MemoryAvailabilityTest, CgroupLimitOfAnAncestorCounts) {
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
