// Live recordings through the real capture Filter (libpcap) on a veth pair inside a network
// namespace made by the test. Needs root; skipped with the reason otherwise.

#include <gtest/gtest.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "SnifferTestSupport.h"
#include "ZrUtilsLib/Thread.h"
#include "app/PCAPSniffer.h"

using ZrUtilsLib::Result;
using ZrUtilsLib::Thread;
using namespace SnifferTest;

namespace {

uint64_t NowSeconds() {
    timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<uint64_t>(now.tv_sec);
}

class LiveRecordingTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root: creates a network namespace and captures with libpcap";
        }
        mDirectory = MakeTempDirectory();
        ASSERT_FALSE(mDirectory.empty());
        mStartSeconds = NowSeconds();
    }
    void TearDown() override {
        mSniffer.reset();
        mNetwork.reset();
        RemoveTree(mDirectory);
    }

    void MakeNetwork(unsigned int mtu = 1500) {
        mNetwork = std::make_unique<TestNetwork>(mtu);
        ASSERT_TRUE(mNetwork->IsReady()) << mNetwork->GetError();
    }

    PCAPSnifferConfiguration Configuration(uint32_t mode, int32_t maximumPacketSize) {
        PCAPSnifferConfiguration config;
        config.AdapterName = mNetwork->GetCaptureAdapter();
        std::snprintf(config.Filename, sizeof(config.Filename), "%s/recording", mDirectory.c_str());
        config.Mode = mode;
        config.MaximumPacketSize = maximumPacketSize;
        return config;
    }

    void OpenAndStart(PCAPSnifferConfiguration& config,
                      std::unique_ptr<MemoryAvailability> memory = nullptr) {
        mSniffer = memory ? std::make_unique<PCAPSniffer>(std::move(memory))
                          : std::make_unique<PCAPSniffer>();
        ASSERT_EQ(mSniffer->Open(&config).GetCode(), ZrUtilsLib::OK);
        const Result started = mSniffer->Start();
        ASSERT_EQ(started.GetCode(), ZrUtilsLib::OK) << started.GetDescription();
        ASSERT_TRUE(mSniffer->IsRunning());
    }

    // Sends bursts of numbered frames until the recording ends by itself; returns how many.
    uint32_t SendUntilTheRecordingEnds(uint32_t frameLength, uint32_t maximumFrames) {
        uint32_t sent = 0;
        while (mSniffer->IsRunning() && sent < maximumFrames) {
            EXPECT_TRUE(mNetwork->SendFrames(sent, 50, frameLength)) << mNetwork->GetError();
            sent += 50;
        }
        const uint64_t deadline = Thread::GetTickCount() + 5000;
        while (mSniffer->IsRunning() && Thread::GetTickCount() < deadline) {
            Thread::Sleep(10);
        }
        return sent;
    }

    PcapFile StopStoreAndRead() {
        mSniffer->Stop();
        EXPECT_EQ(mSniffer->StartStore().GetCode(), ZrUtilsLib::OK);
        const uint64_t deadline = Thread::GetTickCount() + 60000;
        while (mSniffer->GetWriter().IsStoring() && Thread::GetTickCount() < deadline) {
            Thread::Sleep(10);
        }
        mSniffer->GetWriter().WaitForStoreCompletion();
        EXPECT_EQ(mSniffer->GetWriter().GetStoreResult().GetCode(), ZrUtilsLib::OK);
        return ReadPcapFile(mSniffer->GetFilename());
    }

    // Every record is a numbered frame cut to the maximum packet size, with its wire length,
    // stamped within the test's run, in time order.
    void ExpectIntactRecords(const PcapFile& file, uint32_t frameLength,
                             uint32_t maximumPacketSize) {
        ASSERT_TRUE(file.readable);
        EXPECT_FALSE(file.truncated);
        EXPECT_EQ(file.snapLength, maximumPacketSize);
        EXPECT_EQ(SequencesOf(file).size(), file.records.size()) << "foreign or damaged records";
        uint64_t previous = 0;
        for (const PcapRecord& record : file.records) {
            EXPECT_EQ(record.storedLength, std::min(frameLength, maximumPacketSize));
            EXPECT_EQ(record.wireLength, frameLength);
            const uint64_t stamp = uint64_t{record.seconds} * 1000000 + record.microseconds;
            EXPECT_GE(stamp, previous);
            EXPECT_LT(record.microseconds, 1000000u);
            EXPECT_GE(record.seconds, mStartSeconds);
            EXPECT_LE(record.seconds, NowSeconds());
            previous = stamp;
        }
    }

    static void ExpectConsecutive(const std::vector<uint32_t>& sequences, uint32_t first) {
        for (size_t i = 0; i < sequences.size(); ++i) {
            ASSERT_EQ(sequences[i], first + i) << "at record " << i;
        }
    }

    std::string mDirectory;
    uint64_t mStartSeconds = 0;
    std::unique_ptr<TestNetwork> mNetwork;
    std::unique_ptr<PCAPSniffer> mSniffer;
};

TEST_F(LiveRecordingTest, ContinuousAddsBuffersWhileTrafficGrows) {
    MakeNetwork();
    PCAPSnifferConfiguration config = Configuration(Continuous, 1514);
    OpenAndStart(config);
    // About 60 MB: more than the four Buffers of 10,000,000 bytes lent at the start.
    const uint32_t frames = 42000;
    for (uint32_t sent = 0; sent < frames; sent += 1000) {
        ASSERT_TRUE(mNetwork->SendFrames(sent, 1000, 1400)) << mNetwork->GetError();
    }
    EXPECT_TRUE(mSniffer->IsRunning());

    const PcapFile file = StopStoreAndRead();

    EXPECT_GT(mSniffer->GetAllocatedBufferCount(), 6u);
    ExpectIntactRecords(file, 1400, 1514);
    const std::vector<uint32_t> sequences = SequencesOf(file);
    EXPECT_EQ(sequences.size(), frames);
    ExpectConsecutive(sequences, 0);
}

TEST_F(LiveRecordingTest, FixedNumberOfPacketsEndsByItselfOnceMoreThanRequestedWereRecorded) {
    MakeNetwork();
    PCAPSnifferConfiguration config = Configuration(FixedNumberOfPackets, 200);
    config.NumberOfPackets = 512;
    OpenAndStart(config);

    const uint32_t sent = SendUntilTheRecordingEnds(300, 20000);
    ASSERT_FALSE(mSniffer->IsRunning()) << "still recording after " << sent << " packets";
    const PcapFile file = StopStoreAndRead();

    ExpectIntactRecords(file, 300, 200);
    const std::vector<uint32_t> sequences = SequencesOf(file);
    EXPECT_GT(sequences.size(), 512u);
    ExpectConsecutive(sequences, 0);
}

// 512 packets of 8000 bytes fill the plan's one Buffer exactly, so the count never exceeds the
// request: the recording ends because nothing more can be recorded.
TEST_F(LiveRecordingTest, FixedNumberOfPacketsEndsWhenEveryBufferIsFull) {
    MakeNetwork(9000);
    PCAPSnifferConfiguration config = Configuration(FixedNumberOfPackets, 8000);
    config.NumberOfPackets = 512;
    OpenAndStart(config);

    const uint32_t sent = SendUntilTheRecordingEnds(8500, 5000);
    ASSERT_FALSE(mSniffer->IsRunning()) << "still recording after " << sent << " packets";
    const PcapFile file = StopStoreAndRead();

    ExpectIntactRecords(file, 8500, 8000);
    const std::vector<uint32_t> sequences = SequencesOf(file);
    EXPECT_EQ(sequences.size(), 512u);
    ExpectConsecutive(sequences, 0);
}

TEST_F(LiveRecordingTest, CircularKeepsTheMostRecentTraffic) {
    MakeNetwork();
    PCAPSnifferConfiguration config = Configuration(Circular, 200);
    config.BufferSize = 1024000;  // 8 Buffers of 256000 bytes: 1185 records of 216 bytes each
    OpenAndStart(config);
    const uint32_t frames = 30000;
    for (uint32_t sent = 0; sent < frames; sent += 1000) {
        ASSERT_TRUE(mNetwork->SendFrames(sent, 1000, 300)) << mNetwork->GetError();
    }

    const PcapFile file = StopStoreAndRead();

    ExpectIntactRecords(file, 300, 200);
    const std::vector<uint32_t> sequences = SequencesOf(file);
    ASSERT_FALSE(sequences.empty());
    EXPECT_EQ(sequences.back(), frames - 1);
    EXPECT_GE(sequences.front(), frames - 8 * 1185);
    EXPECT_LE(sequences.size(), 8u * 1185);
    ExpectConsecutive(sequences, sequences.front());
}

TEST_F(LiveRecordingTest, SilentLinkStopsPromptlyAndStoresNoFile) {
    MakeNetwork();
    PCAPSnifferConfiguration config = Configuration(Continuous, 200);
    OpenAndStart(config);

    const uint64_t start = Thread::GetTickCount();
    mSniffer->Stop();
    // The sniffer thread's retrieval wait (1000 ms) plus the capture stop (about 1.2 s at most).
    EXPECT_LT(Thread::GetTickCount() - start, 3000u);
    EXPECT_TRUE(mSniffer->GetRecordedQueue()->IsEmpty());
    EXPECT_EQ(mSniffer->GetFreeQueue()->GetCount(), 4u);
    EXPECT_EQ(mSniffer->StartStore().GetCode(), ZrUtilsLib::OK);
    EXPECT_FALSE(mSniffer->GetWriter().IsStoring());
    EXPECT_FALSE(FileExists(mSniffer->GetFilename()));
}

// The memory check before each new Buffer: with the system's memory (as the sniffer sees it)
// down to less than one Buffer above the reserve, the recording ends by itself instead of
// growing, and what was recorded is kept.
TEST_F(LiveRecordingTest, ContinuousEndsByItselfWhenMemoryRunsOut) {
    MakeNetwork();
    FakeSystem system;
    system.SetMemAvailable(PCAPSniffer::kMemoryReserve + 45 * MiB);
    PCAPSnifferConfiguration config = Configuration(Continuous, 1514);
    OpenAndStart(config, system.MakeGauge());
    system.SetMemAvailable(PCAPSniffer::kMemoryReserve + 9 * MiB);

    const uint32_t sent = SendUntilTheRecordingEnds(1000, 60000);
    ASSERT_FALSE(mSniffer->IsRunning()) << "still recording after " << sent << " packets";
    EXPECT_EQ(mSniffer->GetAllocatedBufferCount(), 4u);
    const PcapFile file = StopStoreAndRead();

    ExpectIntactRecords(file, 1000, 1514);
    const std::vector<uint32_t> sequences = SequencesOf(file);
    EXPECT_EQ(sequences.size(), sent);
    ExpectConsecutive(sequences, 0);
}

}  // namespace
