#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "SnifferTestSupport.h"
#include "ZrUtilsLib/LogSink.h"
#include "ZrUtilsLib/Logger.h"
#include "ZrUtilsLib/Thread.h"
#include "app/PCAPWriter.h"

using KvTransportLayerLib::Network::PCAP::Buffer;
using ZrUtilsLib::Result;
using namespace SnifferTest;

namespace {

class RecordingSink : public ZrUtilsLib::LogSink {
public:
    void OnLog(int level, const char*, unsigned int, const char*, const char*,
               const char* message) override {
        std::lock_guard<std::mutex> lock(mMutex);
        if (level == ZrUtilsLib::PRIORITY_ERROR) {
            mErrors.push_back(message);
        }
    }
    std::vector<std::string> Errors() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mErrors;
    }

private:
    std::mutex mMutex;
    std::vector<std::string> mErrors;
};

class PCAPWriterTest : public ::testing::Test {
protected:
    static constexpr uint32_t kMaximumPacketSize = 200;
    static constexpr uint32_t kFrameLength = 300;

    void SetUp() override {
        mDirectory = MakeTempDirectory();
        ASSERT_FALSE(mDirectory.empty());
        ASSERT_TRUE(mRecorded.SetCapacity(16));
        ASSERT_TRUE(mFree.SetCapacity(16));
    }
    void TearDown() override {
        mWriter.WaitForStoreCompletion();
        RemoveTree(mDirectory);
    }

    // Queues a recorded Buffer holding `packets` numbered records from `first` on.
    Buffer* AddRecorded(uint32_t first, uint32_t packets, unsigned int size = 100000) {
        mBuffers.push_back(std::make_unique<Buffer>());
        Buffer* buffer = mBuffers.back().get();
        EXPECT_EQ(buffer->Allocate(size).GetCode(), ZrUtilsLib::OK);
        EXPECT_EQ(FillBuffer(*buffer, first, kFrameLength, kMaximumPacketSize, packets),
                  first + packets);
        mRecorded.Push(buffer);
        return buffer;
    }

    Result StoreAndWait(const std::string& path) {
        Result started = mWriter.StartStore(path.c_str(), kMaximumPacketSize, &mRecorded, &mFree);
        // Bounded poll of the flag, as the recording run does it.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (mWriter.IsStoring() && std::chrono::steady_clock::now() < deadline) {
            ZrUtilsLib::Thread::Sleep(1);
        }
        EXPECT_FALSE(mWriter.IsStoring());
        // Read before the join: the flag's clearing must publish the outcome.
        Result outcome = mWriter.GetStoreResult();
        mWriter.WaitForStoreCompletion();
        EXPECT_EQ(outcome.GetCode(), mWriter.GetStoreResult().GetCode());
        return started.GetCode() != ZrUtilsLib::OK ? started : outcome;
    }

    std::vector<Buffer*> PopAll(PCAPWriter::BufferQueue& queue) {
        std::vector<Buffer*> items;
        for (Buffer* buffer = queue.Pop(); buffer != nullptr; buffer = queue.Pop()) {
            items.push_back(buffer);
        }
        return items;
    }

    std::string mDirectory;
    std::vector<std::unique_ptr<Buffer>> mBuffers;
    PCAPWriter::BufferQueue mRecorded;
    PCAPWriter::BufferQueue mFree;
    PCAPWriter mWriter;  // last: destroyed before the queues it may still be using
};

TEST_F(PCAPWriterTest, WritesTheGlobalHeaderThenEveryRecordOldestFirst) {
    Buffer* first = AddRecorded(0, 100);
    Buffer* empty = AddRecorded(100, 0);
    Buffer* second = AddRecorded(100, 150);
    const std::string path = mDirectory + "/trace.pcap";

    ASSERT_EQ(StoreAndWait(path).GetCode(), ZrUtilsLib::OK);

    const PcapFile file = ReadPcapFile(path);
    ASSERT_TRUE(file.readable);
    const std::vector<uint8_t> expectedHeader = {0xD4, 0xC3, 0xB2, 0xA1, 0x02, 0x00, 0x04, 0x00,
                                                 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                 0xC8, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00};
    EXPECT_EQ(file.header, expectedHeader);
    EXPECT_FALSE(file.truncated);
    EXPECT_EQ(FileSize(path),
              static_cast<long>(24 + first->GetDataLength() + second->GetDataLength()));
    ASSERT_EQ(file.records.size(), 250u);
    const std::vector<uint32_t> sequences = SequencesOf(file);
    ASSERT_EQ(sequences.size(), 250u);
    for (uint32_t i = 0; i < sequences.size(); ++i) {
        EXPECT_EQ(sequences[i], i);
        EXPECT_EQ(file.records[i].storedLength, kMaximumPacketSize);
        EXPECT_EQ(file.records[i].wireLength, kFrameLength);
    }
    // Every written Buffer moved to the free queue, in the order it was written.
    EXPECT_TRUE(mRecorded.IsEmpty());
    EXPECT_EQ(PopAll(mFree), (std::vector<Buffer*>{first, empty, second}));
}

TEST_F(PCAPWriterTest, FileIsReadByTsharkAndCapinfos) {
    if (!HaveCommand("tshark") || !HaveCommand("capinfos")) {
        GTEST_SKIP() << "tshark and capinfos are needed (Debian packages tshark)";
    }
    AddRecorded(0, 40);
    AddRecorded(40, 60);
    const std::string path = mDirectory + "/read-back.pcap";
    ASSERT_EQ(StoreAndWait(path).GetCode(), ZrUtilsLib::OK);

    const CommandOutput info = RunCommand("capinfos -c -T -r '" + path + "'");
    ASSERT_EQ(info.status, 0) << info.output;
    EXPECT_NE(info.output.find("\t100"), std::string::npos) << info.output;

    const CommandOutput fields = RunCommand(
        "tshark -n -r '" + path + "' -T fields -e frame.cap_len -e frame.len -e udp.dstport");
    ASSERT_EQ(fields.status, 0) << fields.output;
    std::istringstream lines(fields.output);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        if (line.empty() || line.find("Running as user") != std::string::npos) {
            continue;
        }
        EXPECT_EQ(line, "200\t300\t40001");
        ++count;
    }
    EXPECT_EQ(count, 100);
}

TEST_F(PCAPWriterTest, TruncatesAnExistingLongerFile) {
    const std::string path = mDirectory + "/existing.pcap";
    {
        std::ofstream old(path, std::ios::binary);
        old << std::string(2 * 1024 * 1024, 'x');
    }
    Buffer* buffer = AddRecorded(0, 10);
    ASSERT_EQ(StoreAndWait(path).GetCode(), ZrUtilsLib::OK);
    EXPECT_EQ(FileSize(path), static_cast<long>(24 + buffer->GetDataLength()));
    const PcapFile file = ReadPcapFile(path);
    EXPECT_FALSE(file.truncated);
    EXPECT_EQ(SequencesOf(file).size(), 10u);
}

TEST_F(PCAPWriterTest, NothingRecordedCreatesNoFileAndLeavesAnExistingOne) {
    const std::string absent = mDirectory + "/absent.pcap";
    const std::string existing = mDirectory + "/existing.pcap";
    {
        std::ofstream old(existing);
        old << "previous recording";
    }
    EXPECT_EQ(mWriter.StartStore(absent.c_str(), 200, &mRecorded, &mFree).GetCode(),
              ZrUtilsLib::OK);
    EXPECT_FALSE(mWriter.IsStoring());
    EXPECT_EQ(mWriter.StartStore(existing.c_str(), 200, &mRecorded, &mFree).GetCode(),
              ZrUtilsLib::OK);
    EXPECT_FALSE(mWriter.IsStoring());
    EXPECT_EQ(mWriter.GetStoreResult().GetCode(), ZrUtilsLib::OK);
    EXPECT_FALSE(FileExists(absent));
    EXPECT_EQ(FileSize(existing), 18);
}

TEST_F(PCAPWriterTest, MissingDirectoryIsCannotOpenFileNamingTheFileAndTheReason) {
    RecordingSink sink;
    Buffer* buffer = AddRecorded(0, 5);
    const std::string path = mDirectory + "/no/such/directory/trace.pcap";

    const Result result = mWriter.StartStore(path.c_str(), 200, &mRecorded, &mFree);

    EXPECT_EQ(result.GetCode(), ZrUtilsLib::CANNOT_OPEN_FILE);
    EXPECT_NE(std::string(result.GetDescription()).find(path), std::string::npos);
    EXPECT_NE(std::string(result.GetDescription()).find("No such file or directory"),
              std::string::npos)
        << result.GetDescription();
    EXPECT_FALSE(mWriter.IsStoring());
    EXPECT_EQ(mWriter.GetStoreResult().GetCode(), ZrUtilsLib::CANNOT_OPEN_FILE);
    EXPECT_FALSE(FileExists(path));
    EXPECT_EQ(PopAll(mRecorded), std::vector<Buffer*>{buffer});  // untouched
    const std::vector<std::string> errors = sink.Errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("No such file or directory"), std::string::npos) << errors[0];
}

// /dev/full accepts the open and refuses every write with ENOSPC.
TEST_F(PCAPWriterTest, WriteFailureIsReportedOnceAndEveryBufferStillMovesToTheFreeQueue) {
    RecordingSink sink;
    Buffer* first = AddRecorded(0, 100);
    Buffer* second = AddRecorded(100, 100);
    Buffer* third = AddRecorded(200, 100);

    const Result result = StoreAndWait("/dev/full");

    EXPECT_EQ(result.GetCode(), ZrUtilsLib::FILE_ERROR);
    const std::string description = result.GetDescription();
    EXPECT_NE(description.find("/dev/full"), std::string::npos) << description;
    EXPECT_NE(description.find("No space left on device"), std::string::npos) << description;
    EXPECT_TRUE(mRecorded.IsEmpty());
    EXPECT_EQ(PopAll(mFree), (std::vector<Buffer*>{first, second, third}));
    const std::vector<std::string> errors = sink.Errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("/dev/full"), std::string::npos) << errors[0];
}

TEST_F(PCAPWriterTest, StoresAgainAfterAFailedStore) {
    AddRecorded(0, 10);
    ASSERT_EQ(StoreAndWait("/dev/full").GetCode(), ZrUtilsLib::FILE_ERROR);

    AddRecorded(10, 20);
    const std::string path = mDirectory + "/second.pcap";
    ASSERT_EQ(StoreAndWait(path).GetCode(), ZrUtilsLib::OK);
    const std::vector<uint32_t> sequences = SequencesOf(ReadPcapFile(path));
    ASSERT_EQ(sequences.size(), 20u);
    EXPECT_EQ(sequences.front(), 10u);
}

}  // namespace
