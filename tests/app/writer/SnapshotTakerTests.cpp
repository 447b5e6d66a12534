#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "KvTransportLayerLib/Network/PCAP/LinuxFilter.h"
#include "ZrUtilsLib/Thread.h"
#include "app/SnapshotTaker.h"
#include "tests/support/ScratchDirectory.h"

using KvTransportLayerLib::Network::PCAP::Buffer;
using KvTransportLayerLib::Network::PCAP::Filter;
namespace fs = std::filesystem;

namespace {

constexpr uint32_t kRecordSize = 16 + 100;

TEST(SnapshotFileNameTest, NumbersTheCaptureFileName) {
    EXPECT_EQ(SnapshotTaker::SnapshotFileName("/var/tmp/run 1/ring.pcap", 1),
              "/var/tmp/run 1/ring-1.pcap");
    EXPECT_EQ(SnapshotTaker::SnapshotFileName("trace", 12), "trace-12.pcap");
    EXPECT_EQ(SnapshotTaker::SnapshotFileName("a.pcap.pcap", 3), "a.pcap-3.pcap");
}

// A filter that is open but not capturing has nothing on its way: a snapshot goes straight to
// writing what is recorded.
class SnapshotTakerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(mFilter.Open("snapshot", "lo", 100).GetCode(), ZrUtilsLib::OK);
        ASSERT_TRUE(mRecorded.SetCapacity(16));
        mTaker = std::make_unique<SnapshotTaker>();
    }
    void TearDown() override {
        mTaker.reset();  // before the Buffers its writer may still use
    }

    Buffer* Record(uint32_t first, uint32_t count) {
        mBuffers.push_back(std::make_unique<Buffer>());
        Buffer& buffer = *mBuffers.back();
        EXPECT_EQ(buffer.Allocate(count * kRecordSize).GetCode(), ZrUtilsLib::OK);
        for (uint32_t index = 0; index < count; ++index) {
            unsigned char* record = buffer.GetData() + index * kRecordSize;
            const uint32_t header[4] = {first + index, 0, 100, 100};
            std::memcpy(record, header, sizeof(header));
            std::memset(record + sizeof(header), 0, 100);
        }
        buffer.SetDataLength(count * kRecordSize);
        buffer.SetPacketCount(count);
        mRecorded.Push(&buffer);
        return &buffer;
    }

    // Advances until the Buffers come back. `afterStart` runs once the window was taken (the
    // store may already be over), changing the recorded queue as the sniffer thread would.
    void RunSnapshot(const std::function<void()>& afterStart = [] {}) {
        ASSERT_EQ(mTaker->Advance(mFilter, mRecorded, 1), SnapshotTaker::Step::Started);
        EXPECT_TRUE(mTaker->HasWork());
        SnapshotTaker::Step step = mTaker->Advance(mFilter, mRecorded, 1);
        afterStart();
        for (int round = 0; step != SnapshotTaker::Step::GaveBack && round < 10000; ++round) {
            ZrUtilsLib::Thread::Sleep(1);
            step = mTaker->Advance(mFilter, mRecorded, 1);
        }
        EXPECT_EQ(step, SnapshotTaker::Step::GaveBack);
        EXPECT_FALSE(mTaker->IsHoldingWindow());
    }

    std::vector<Buffer*> Recorded() {
        std::vector<Buffer*> items;
        for (Buffer* buffer = mRecorded.Pop(); buffer != nullptr; buffer = mRecorded.Pop()) {
            items.push_back(buffer);
        }
        return items;
    }

    KvTests::ScratchDirectory mDirectory{"kvsnapshot"};
    Filter mFilter;
    std::vector<std::unique_ptr<Buffer>> mBuffers;
    SnapshotTaker::BufferQueue mRecorded;
    std::unique_ptr<SnapshotTaker> mTaker;
};

// The window is written in order and comes back in front of what was recorded meanwhile;
// requests queue up and each gets its own numbered file.
TEST_F(SnapshotTakerTest, StoresTheWindowAndGivesItBackInOrder) {
    mTaker->Configure(mDirectory.Path() + "/ring.pcap", 100, 16);
    Buffer* first = Record(0, 10);
    Buffer* second = Record(10, 5);
    mTaker->Request();
    mTaker->Request();
    EXPECT_TRUE(mTaker->HasWork());
    Buffer* meanwhile = nullptr;
    RunSnapshot([&] { meanwhile = Record(15, 3); });
    ASSERT_NE(meanwhile, nullptr);
    RunSnapshot();
    EXPECT_FALSE(mTaker->HasWork());

    EXPECT_EQ(fs::file_size(mDirectory.Path() + "/ring-1.pcap"), 24 + 15 * kRecordSize);
    EXPECT_EQ(fs::file_size(mDirectory.Path() + "/ring-2.pcap"), 24 + 18 * kRecordSize);
    const std::vector<SnapshotTaker::Report> reports = mTaker->TakeReports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_TRUE(reports[0].stored && reports[1].stored);
    EXPECT_EQ(reports[0].packets, 15u);
    EXPECT_EQ(reports[1].packets, 18u);
    EXPECT_TRUE(mTaker->TakeReports().empty());
    EXPECT_EQ(mTaker->GetStoredFiles(),
              (std::vector<std::string>{mDirectory.Path() + "/ring-1.pcap",
                                        mDirectory.Path() + "/ring-2.pcap"}));
    EXPECT_EQ(Recorded(), (std::vector<Buffer*>{first, second, meanwhile}));
}

// Snapshots the recording's end overtakes, one waiting for its packets and one only asked for,
// are reported as not stored; the recording keeps its Buffers.
TEST_F(SnapshotTakerTest, SnapshotsNotWrittenWhenTheRecordingEndsAreReported) {
    mTaker->Configure(mDirectory.Path() + "/ring.pcap", 100, 16);
    Buffer* only = Record(0, 4);
    mTaker->Request();
    mTaker->Request();
    ASSERT_EQ(mTaker->Advance(mFilter, mRecorded, 1), SnapshotTaker::Step::Started);
    mTaker->Finish(mRecorded);
    EXPECT_FALSE(mTaker->HasWork());
    const std::vector<SnapshotTaker::Report> reports = mTaker->TakeReports();
    ASSERT_EQ(reports.size(), 2u);
    for (size_t index = 0; index < reports.size(); ++index) {
        EXPECT_FALSE(reports[index].stored);
        EXPECT_EQ(reports[index].fileName,
                  mDirectory.PathOf("ring-") + std::to_string(index + 1) + ".pcap");
        EXPECT_EQ(reports[index].reason, "the recording ended first");
    }
    EXPECT_TRUE(mTaker->GetStoredFiles().empty());
    EXPECT_EQ(Recorded(), std::vector<Buffer*>{only});
}

// A file that cannot be made is reported with its reason; the recording keeps its Buffers.
TEST_F(SnapshotTakerTest, FailureIsReportedAndTheWindowKept) {
    mTaker->Configure(mDirectory.Path() + "/missing/ring.pcap", 100, 16);
    Buffer* only = Record(0, 4);
    mTaker->Request();
    RunSnapshot();
    const std::vector<SnapshotTaker::Report> reports = mTaker->TakeReports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_FALSE(reports[0].stored);
    EXPECT_EQ(reports[0].fileName, mDirectory.Path() + "/missing/ring-1.pcap");
    EXPECT_NE(reports[0].reason.find("No such file or directory"), std::string::npos);
    EXPECT_TRUE(mTaker->GetStoredFiles().empty());
    EXPECT_EQ(Recorded(), std::vector<Buffer*>{only});
}

}  // namespace
