#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "SnifferTestSupport.h"
#include "ZrUtilsLib/Thread.h"
#include "app/PCAPWriter.h"

using KvTransportLayerLib::Network::PCAP::Buffer;
using ZrUtilsLib::Result;
using namespace SnifferTest;

namespace {

class PCAPWriterTest : public ::testing::Test {
protected:
    static constexpr uint32_t kMaximumPacketSize = 200;
    static constexpr uint32_t kFrameLength = 300;
    static constexpr uint32_t kRecord = 16 + kMaximumPacketSize;

    void SetUp() override {
        ASSERT_FALSE(mDirectory.Path().empty());
        ASSERT_TRUE(mRecorded.SetCapacity(16));
        ASSERT_TRUE(mFree.SetCapacity(16));
    }

    // Queues a recorded Buffer holding numbered records from `first` on, as the filter writes.
    Buffer* AddRecorded(uint32_t first, uint32_t packets) {
        mBuffers.push_back(std::make_unique<Buffer>());
        Buffer* buffer = mBuffers.back().get();
        EXPECT_EQ(buffer->Allocate(packets * kRecord + 1).GetCode(), ZrUtilsLib::OK);
        for (uint32_t i = 0; i < packets; ++i) {
            const uint32_t header[4] = {1700000000u + i, first + i, kMaximumPacketSize,
                                        kFrameLength};
            std::memcpy(buffer->GetData() + i * kRecord, header, 16);
            std::memcpy(buffer->GetData() + i * kRecord + 16,
                        MakeNumberedFrame(first + i, kFrameLength).data(), kMaximumPacketSize);
        }
        buffer->SetDataLength(packets * kRecord);
        buffer->SetPacketCount(packets);
        mRecorded.Push(buffer);
        return buffer;
    }

    Result StoreAndWait(const std::string& path) {
        Result started = mWriter.StartStore(path.c_str(), kMaximumPacketSize, &mRecorded, &mFree);
        // Bounded poll of the flag, as the recording run does it.
        for (int wait = 0; mWriter.IsStoring() && wait < 30000; ++wait) {
            ZrUtilsLib::Thread::Sleep(1);
        }
        EXPECT_FALSE(mWriter.IsStoring());
        // Read before the join: the flag's clearing must publish the outcome.
        Result outcome = mWriter.GetStoreResult();
        mWriter.WaitForStoreCompletion();
        EXPECT_EQ(outcome.GetCode(), mWriter.GetStoreResult().GetCode());
        if (started.GetCode() != ZrUtilsLib::OK) {
            EXPECT_EQ(outcome.GetCode(), started.GetCode());
            return started;
        }
        return outcome;
    }

    std::vector<Buffer*> PopAll(PCAPWriter::BufferQueue& queue) {
        std::vector<Buffer*> items;
        for (Buffer* buffer = queue.Pop(); buffer != nullptr; buffer = queue.Pop()) {
            items.push_back(buffer);
        }
        return items;
    }

    TempDirectory mDirectory;
    std::vector<std::unique_ptr<Buffer>> mBuffers;
    PCAPWriter::BufferQueue mRecorded;
    PCAPWriter::BufferQueue mFree;
    PCAPWriter mWriter;  // last: destroyed before the queues it may still be using
};

TEST_F(PCAPWriterTest, NothingRecordedCreatesNoFileAndLeavesAnExistingOne) {
    const std::string absent = mDirectory.Path() + "/absent.pcap";
    const std::string existing = mDirectory.Path() + "/existing.pcap";
    std::ofstream(existing) << "previous recording";
    for (const std::string& path : {absent, existing}) {
        EXPECT_EQ(mWriter.StartStore(path.c_str(), 200, &mRecorded, &mFree).GetCode(),
                  ZrUtilsLib::OK);
        EXPECT_FALSE(mWriter.IsStoring());
        EXPECT_EQ(mWriter.GetStoreResult().GetCode(), ZrUtilsLib::OK);
    }
    EXPECT_FALSE(std::filesystem::exists(absent));
    EXPECT_EQ(std::filesystem::file_size(existing), 18u);
}

// A file that cannot be created leaves the recording queued; one that cannot be written (/dev/full
// refuses every write with ENOSPC) still moves every Buffer on. Then the writer stores again, into
// an existing longer file that must not keep its old tail.
TEST_F(PCAPWriterTest, FailuresNameTheFileAndTheReasonThenEveryRecordIsWrittenOldestFirst) {
    const std::vector<Buffer*> buffers{AddRecorded(0, 100), AddRecorded(100, 100)};
    const std::string missing = mDirectory.Path() + "/no/such/directory/trace.pcap";
    struct Case {
        std::string path;
        unsigned int code;
        const char* reason;
        std::vector<Buffer*> freed;
    };
    for (const Case& c :
         {Case{missing, ZrUtilsLib::CANNOT_OPEN_FILE, "No such file or directory", {}},
          Case{"/dev/full", ZrUtilsLib::FILE_ERROR, "No space left on device", buffers}}) {
        const Result result = StoreAndWait(c.path);
        EXPECT_EQ(result.GetCode(), c.code);
        const std::string description = result.GetDescription();
        EXPECT_NE(description.find(c.path), std::string::npos) << description;
        EXPECT_NE(description.find(c.reason), std::string::npos) << description;
        EXPECT_EQ(PopAll(mFree), c.freed);
    }
    EXPECT_FALSE(std::filesystem::exists(missing));
    EXPECT_TRUE(mRecorded.IsEmpty());

    const std::string path = mDirectory.Path() + "/trace.pcap";
    std::ofstream(path) << std::string(2 * MiB, 'x');
    const std::vector<Buffer*> written{AddRecorded(0, 100), AddRecorded(100, 0),
                                       AddRecorded(100, 150)};
    ASSERT_EQ(StoreAndWait(path).GetCode(), ZrUtilsLib::OK);
    const PcapFile file = ReadPcapFile(path);
    const std::vector<uint8_t> expectedHeader = {0xD4, 0xC3, 0xB2, 0xA1, 0x02, 0x00, 0x04, 0x00,
                                                 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                 0xC8, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00};
    EXPECT_EQ(file.header, expectedHeader);
    EXPECT_EQ(std::filesystem::file_size(path), 24 + 250 * kRecord);
    ASSERT_EQ(file.records.size(), 250u);
    const std::vector<uint32_t> sequences = file.Sequences();
    ASSERT_EQ(sequences.size(), 250u);
    for (uint32_t i = 0; i < sequences.size(); ++i) {
        EXPECT_EQ(sequences[i], i);
        EXPECT_EQ(file.records[i].storedLength, kMaximumPacketSize);
        EXPECT_EQ(file.records[i].wireLength, kFrameLength);
    }
    EXPECT_TRUE(mRecorded.IsEmpty());
    EXPECT_EQ(PopAll(mFree), written);  // in the order they were written
}

}  // namespace
