#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <string>

#include "SnifferTestSupport.h"
#include "app/PCAPSniffer.h"

using ZrUtilsLib::Result;
using namespace SnifferTest;

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

PCAPSnifferConfiguration MakeConfiguration(uint32_t mode, const char* adapter = "kvnosuch0") {
    PCAPSnifferConfiguration config;
    config.AdapterName = adapter;
    std::strcpy(config.Filename, "/tmp/kvsniffer-unused");
    config.Mode = mode;
    return config;
}

struct PlanCase {
    uint32_t mode;
    int32_t bufferSize;
    int32_t numberOfPackets;
    int32_t maximumPacketSize;
    uint32_t expectedCount;
    int32_t expectedSize;
    uint32_t expectedCapacity;
    int32_t expectedPackets;
};

class MemoryPlanTest : public ::testing::TestWithParam<PlanCase> {};

TEST_P(MemoryPlanTest, GivesTheBuffersOfTheMode) {
    const PlanCase& c = GetParam();
    PCAPSnifferConfiguration config = MakeConfiguration(c.mode);
    config.BufferSize = c.bufferSize;
    config.NumberOfPackets = c.numberOfPackets;
    config.MaximumPacketSize = c.maximumPacketSize;
    PCAPSniffer::MemoryPlan plan;
    ASSERT_EQ(PCAPSniffer::ComputePlan(config, plan).GetCode(), ZrUtilsLib::OK);
    EXPECT_EQ(plan.bufferCount, c.expectedCount);
    EXPECT_EQ(plan.bufferSize, c.expectedSize);
    EXPECT_EQ(plan.queueCapacity, c.expectedCapacity);
    EXPECT_EQ(plan.numberOfPackets, c.expectedPackets);
}

INSTANTIATE_TEST_SUITE_P(
    WorkedExamples, MemoryPlanTest,
    ::testing::Values(PlanCase{Circular, 1024000, 1024, 200, 8, 256000, 9, -1},
                      PlanCase{Circular, 100000000, 1024, 200, 15, 9090909, 16, -1},
                      PlanCase{Circular, 29999999, 1024, 200, 8, 7499999, 9, -1},
                      PlanCase{Circular, 30000000, 1024, 200, 8, 7500000, 9, -1},
                      PlanCase{Circular, 40000000, 1024, 200, 9, 8000000, 10, -1},
                      PlanCase{FixedNumberOfPackets, 1024000, 1024, 200, 1, 229376, 2, 1024},
                      PlanCase{FixedNumberOfPackets, 1024000, 100000, 1514, 16, 9612500, 17,
                               100000},
                      PlanCase{Continuous, 1024000, 1024, 200, 4, 10000000, 2049, -1}));

TEST(MemoryPlanLimitsTest, RefusesWhatTheModesDoNotAllow) {
    struct Refused {
        uint32_t mode;
        int32_t bufferSize;
        int32_t numberOfPackets;
        int32_t maximumPacketSize;
    };
    const Refused cases[] = {
        {None, 1024000, 1024, 200},
        {4, 1024000, 1024, 200},
        {Circular, 1024000, 1024, 31},
        {FixedNumberOfPackets, 1024000, 511, 200},
        {FixedNumberOfPackets, 1024000, -5, 200},
        {Continuous, 511, 1024, 200},
        {Circular, 511, 1024, 200},
        // Buffers of 800 / 4 = 200 bytes cannot take one record of 16 + 200 bytes.
        {Circular, 800, 1024, 200},
    };
    for (const Refused& c : cases) {
        PCAPSnifferConfiguration config = MakeConfiguration(c.mode);
        config.BufferSize = c.bufferSize;
        config.NumberOfPackets = c.numberOfPackets;
        config.MaximumPacketSize = c.maximumPacketSize;
        PCAPSniffer::MemoryPlan plan;
        EXPECT_EQ(PCAPSniffer::ComputePlan(config, plan).GetCode(), ZrUtilsLib::INVALID_ARGUMENT)
            << "mode " << c.mode << " size " << c.bufferSize << " packets " << c.numberOfPackets
            << " packet size " << c.maximumPacketSize;
        EXPECT_EQ(plan.bufferCount, 0u);
    }
}

// (65535 + 24) x 2147483647 bytes: far beyond 32 bits, yet every field of the plan fits.
TEST(MemoryPlanLimitsTest, LargestFixedPlanIsComputedWithoutWrapping) {
    PCAPSnifferConfiguration config = MakeConfiguration(FixedNumberOfPackets);
    config.NumberOfPackets = INT32_MAX;
    config.MaximumPacketSize = 65535;
    PCAPSniffer::MemoryPlan plan;
    ASSERT_EQ(PCAPSniffer::ComputePlan(config, plan).GetCode(), ZrUtilsLib::OK);
    const uint64_t total = uint64_t{65535 + 24} * INT32_MAX;
    EXPECT_EQ(plan.bufferCount, total / 10000000 + 1);
    EXPECT_GT(plan.bufferSize, 9999000);
    EXPECT_LE(plan.bufferSize, 10000000);
    EXPECT_EQ(plan.queueCapacity, plan.bufferCount + 1);
    EXPECT_GE(plan.GetInitialBytes() + plan.bufferCount, total);
    EXPECT_LE(plan.GetInitialBytes(), total);
}

TEST(PCAPSnifferOpenTest, PlanLargerThanTheAvailableMemoryIsNotEnoughMemory) {
    PCAPSniffer sniffer;  // the machine's own memory
    PCAPSnifferConfiguration config = MakeConfiguration(FixedNumberOfPackets);
    config.NumberOfPackets = INT32_MAX;
    config.MaximumPacketSize = 65535;
    EXPECT_EQ(sniffer.Open(&config).GetCode(), ZrUtilsLib::NOT_ENOUGH_MEMORY);
    EXPECT_EQ(sniffer.GetAllocatedBufferCount(), 0u);
    EXPECT_STREQ(sniffer.GetFilename(), "");
}

TEST(PCAPSnifferOpenTest, AvailableMemoryDecidesWhetherThePlanIsAccepted) {
    FakeSystem system;
    // Circular, 1024000 bytes: 8 Buffers of 256000 bytes.
    const uint64_t plan = 8 * 256000;
    system.SetMemAvailable(PCAPSniffer::kMemoryReserve + plan - 4096);
    {
        PCAPSniffer sniffer(system.MakeGauge());
        PCAPSnifferConfiguration config = MakeConfiguration(Circular);
        EXPECT_EQ(sniffer.Open(&config).GetCode(), ZrUtilsLib::NOT_ENOUGH_MEMORY);
        EXPECT_EQ(sniffer.GetAllocatedBufferCount(), 0u);
    }
    system.SetMemAvailable(PCAPSniffer::kMemoryReserve + plan + 4096);
    {
        PCAPSniffer sniffer(system.MakeGauge());
        PCAPSnifferConfiguration config = MakeConfiguration(Circular);
        EXPECT_EQ(sniffer.Open(&config).GetCode(), ZrUtilsLib::OK);
        EXPECT_EQ(sniffer.GetAllocatedBufferCount(), 8u);
    }
}

TEST(PCAPSnifferOpenTest, WritesThePlanBackAndLendsAtMostFourBuffers) {
    struct Expected {
        uint32_t mode;
        int32_t bufferSize;
        int32_t numberOfPackets;
        uint32_t allocated;
        unsigned int waitingInFreeQueue;
    };
    const Expected cases[] = {
        {Circular, 256000, -1, 8, 4},
        {FixedNumberOfPackets, 229376, 1024, 1, 0},
        {Continuous, 10000000, -1, 4, 0},
    };
    for (const Expected& c : cases) {
        PCAPSniffer sniffer;
        PCAPSnifferConfiguration config = MakeConfiguration(c.mode);
        ASSERT_EQ(sniffer.Open(&config).GetCode(), ZrUtilsLib::OK) << c.mode;
        EXPECT_EQ(config.BufferSize, c.bufferSize);
        EXPECT_EQ(config.NumberOfPackets, c.numberOfPackets);
        EXPECT_EQ(sniffer.GetAllocatedBufferCount(), c.allocated);
        EXPECT_EQ(sniffer.GetFreeQueue()->GetCount(), c.waitingInFreeQueue);
        EXPECT_TRUE(sniffer.GetRecordedQueue()->IsEmpty());
        EXPECT_EQ(sniffer.GetMaximumPacketSize(), 200);
    }
}

TEST(PCAPSnifferOpenTest, FileNameAlwaysEndsInPcap) {
    const std::pair<std::string, std::string> cases[] = {
        {"trace", "trace.pcap"},
        {"trace.pcap", "trace.pcap"},
        {"trace.PCAP", "trace.PCAP.pcap"},
        {"pcap", "pcap.pcap"},
        {".pcap", ".pcap"},
        {"dir/x.pcapng", "dir/x.pcapng.pcap"},
    };
    for (const auto& c : cases) {
        PCAPSniffer sniffer;
        PCAPSnifferConfiguration config = MakeConfiguration(FixedNumberOfPackets);
        std::strcpy(config.Filename, c.first.c_str());
        ASSERT_EQ(sniffer.Open(&config).GetCode(), ZrUtilsLib::OK) << c.first;
        EXPECT_EQ(std::string(sniffer.GetFilename()), c.second);
        EXPECT_STREQ(config.Filename, c.first.c_str());  // the configuration keeps its name
    }
}

TEST(PCAPSnifferOpenTest, FileNameThatCannotTakeTheExtensionIsRefused) {
    PCAPSniffer sniffer;
    PCAPSnifferConfiguration config = MakeConfiguration(FixedNumberOfPackets);

    config.Filename[0] = '\0';
    EXPECT_EQ(sniffer.Open(&config).GetCode(), ZrUtilsLib::INVALID_ARGUMENT);

    const std::string longest(1018, 'n');  // 1018 + ".pcap" = 1023 characters
    std::strcpy(config.Filename, longest.c_str());
    ASSERT_EQ(sniffer.Open(&config).GetCode(), ZrUtilsLib::OK);
    EXPECT_EQ(std::string(sniffer.GetFilename()), longest + ".pcap");

    std::strcpy(config.Filename, (longest + "n").c_str());
    EXPECT_EQ(sniffer.Open(&config).GetCode(), ZrUtilsLib::INVALID_ARGUMENT);
    EXPECT_EQ(sniffer.GetAllocatedBufferCount(), 0u);

    const std::string complete = std::string(1018, 'c') + ".pcap";  // already 1023, kept
    std::strcpy(config.Filename, complete.c_str());
    ASSERT_EQ(sniffer.Open(&config).GetCode(), ZrUtilsLib::OK);
    EXPECT_EQ(std::string(sniffer.GetFilename()), complete);

    std::memset(config.Filename, 'u', sizeof(config.Filename));  // not terminated
    EXPECT_EQ(sniffer.Open(&config).GetCode(), ZrUtilsLib::INVALID_ARGUMENT);
}

TEST(PCAPSnifferOpenTest, OverlongAdapterNameIsRefusedByTheFilter) {
    PCAPSniffer sniffer;
    PCAPSnifferConfiguration config = MakeConfiguration(Circular, "");
    config.AdapterName = std::string(512, 'a');
    EXPECT_EQ(sniffer.Open(&config).GetCode(), ZrUtilsLib::INVALID_ARGUMENT);
    EXPECT_EQ(sniffer.GetAllocatedBufferCount(), 0u);
}

TEST(PCAPSnifferLifecycleTest, StartWithoutOpenIsAStateError) {
    PCAPSniffer sniffer;
    EXPECT_EQ(sniffer.Start().GetCode(), ZrUtilsLib::STATE_ERROR);
    EXPECT_FALSE(sniffer.IsRunning());
}

// Stop on a sniffer that was opened but never started gets every lent Buffer back at once.
TEST(PCAPSnifferLifecycleTest, OpenedButNeverStartedStopsAndClosesPromptly) {
    PCAPSniffer sniffer;
    PCAPSnifferConfiguration config = MakeConfiguration(Circular);
    ASSERT_EQ(sniffer.Open(&config).GetCode(), ZrUtilsLib::OK);

    const Clock::time_point start = Clock::now();
    EXPECT_EQ(sniffer.Stop().GetCode(), ZrUtilsLib::OK);
    EXPECT_LT(SecondsSince(start), 2.0);
    EXPECT_TRUE(sniffer.GetRecordedQueue()->IsEmpty());
    EXPECT_EQ(sniffer.GetFreeQueue()->GetCount(), 8u);

    EXPECT_EQ(sniffer.Close().GetCode(), ZrUtilsLib::OK);
    EXPECT_EQ(sniffer.GetAllocatedBufferCount(), 0u);
    EXPECT_STREQ(sniffer.GetFilename(), "");
    EXPECT_LT(SecondsSince(start), 2.0);
}

TEST(PCAPSnifferLifecycleTest, DestructorOfAnOpenedSnifferEndsPromptly) {
    const Clock::time_point start = Clock::now();
    {
        PCAPSniffer sniffer;
        PCAPSnifferConfiguration config = MakeConfiguration(Continuous);
        ASSERT_EQ(sniffer.Open(&config).GetCode(), ZrUtilsLib::OK);
    }
    EXPECT_LT(SecondsSince(start), 2.0);
}

// An adapter libpcap cannot open: Start reports why, and the run can end at once.
TEST(PCAPSnifferLifecycleTest, StartFailureIsReportedAndTheSnifferStillEndsPromptly) {
    auto sniffer = std::make_unique<PCAPSniffer>();
    PCAPSnifferConfiguration config = MakeConfiguration(Circular, "kvnosuch0");
    ASSERT_EQ(sniffer->Open(&config).GetCode(), ZrUtilsLib::OK);

    const Result started = sniffer->Start();
    EXPECT_NE(started.GetCode(), ZrUtilsLib::OK);
    EXPECT_NE(std::string(started.GetDescription()).find("Cannot open libpcap"), std::string::npos)
        << started.GetDescription();

    const Clock::time_point start = Clock::now();
    sniffer.reset();  // what the recording run's end does
    // The sniffer thread notices the stop within one 1000 ms retrieval wait.
    EXPECT_LT(SecondsSince(start), 3.0);
}

}  // namespace
