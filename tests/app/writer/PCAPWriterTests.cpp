#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ZrUtilsLib/Thread.h"
#include "app/PCAPWriter.h"
#include "tests/support/ScratchDirectory.h"

using KvTransportLayerLib::Network::PCAP::Buffer;
using ZrUtilsLib::Result;
namespace fs = std::filesystem;

namespace {

constexpr uint32_t kPacketSize = 200;
constexpr uint32_t kRecordSize = 16 + kPacketSize;
constexpr uint32_t kLinkTypeLinuxCooked = 113;

class PCAPWriterTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(mRecorded.SetCapacity(16) && mFree.SetCapacity(16)); }
    void TearDown() override {
        mWriter.reset();  // before the queues and Buffers it may still use
    }

    // A Buffer of valid records numbered from `first`, queued as recorded.
    void Record(uint32_t first, uint32_t count) {
        mBuffers.push_back(std::make_unique<Buffer>());
        Buffer& buffer = *mBuffers.back();
        ASSERT_EQ(buffer.Allocate(count * kRecordSize + 1).GetCode(), ZrUtilsLib::OK);
        for (uint32_t index = 0; index < count; ++index) {
            unsigned char* record = buffer.GetData() + index * kRecordSize;
            const uint32_t header[4] = {1700000000 + first + index, 0, kPacketSize, kPacketSize};
            std::memcpy(record, header, sizeof(header));
            std::memset(record + sizeof(header), static_cast<int>(first + index), kPacketSize);
        }
        buffer.SetDataLength(count * kRecordSize);
        buffer.SetPacketCount(count);
        mRecorded.Push(&buffer);
    }

    // Polls the flag as the recording run does: its clearing must publish the outcome.
    Result Store(const std::string& path) {
        const Result started = mWriter->StartStore(path.c_str(), kPacketSize, &mRecorded, &mFree,
                                                   kLinkTypeLinuxCooked);
        for (int wait = 0; mWriter->IsStoring() && wait < 30000; ++wait) {
            ZrUtilsLib::Thread::Sleep(1);
        }
        EXPECT_FALSE(mWriter->IsStoring());
        const Result outcome = mWriter->GetStoreResult();
        mWriter->WaitForStoreCompletion();
        EXPECT_TRUE(started.GetCode() == ZrUtilsLib::OK || started.GetCode() == outcome.GetCode());
        return outcome;
    }

    static std::vector<Buffer*> Drain(PCAPWriter::BufferQueue& queue) {
        std::vector<Buffer*> items;
        for (Buffer* buffer = queue.Pop(); buffer != nullptr; buffer = queue.Pop()) {
            items.push_back(buffer);
        }
        return items;
    }

    // capinfos' view of a file: packet count and encapsulation.
    static std::string Capinfos(const std::string& path) {
        const std::string command = "capinfos -c -E -M '" + path + "' 2>&1";
        FILE* pipe = popen(command.c_str(), "r");
        std::string text;
        char chunk[256];
        while (pipe != nullptr && std::fgets(chunk, sizeof(chunk), pipe) != nullptr) {
            text += chunk;
        }
        EXPECT_TRUE(pipe != nullptr && pclose(pipe) == 0) << text;
        return text;
    }

    KvTests::ScratchDirectory mDirectory{"kvwriter"};
    std::vector<std::unique_ptr<Buffer>> mBuffers;
    PCAPWriter::BufferQueue mRecorded, mFree;
    std::unique_ptr<PCAPWriter> mWriter = std::make_unique<PCAPWriter>();
};

// A file size limit makes the second Buffer's write fail (EFBIG), as a full disk would: the
// old file stays whole, nothing partial is left, and the recording is still queued in order,
// so a second store elsewhere writes all of it.
TEST_F(PCAPWriterTest, FailedStoreKeepsTheOldFileAndTheRecording) {
    const std::string target = mDirectory.PathOf("trace.pcap");
    std::ofstream(target) << "previous recording";
    Record(0, 100);
    Record(100, 50);
    Record(150, 150);

    std::signal(SIGXFSZ, SIG_IGN);
    rlimit previous;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
    rlimit limited = previous;
    limited.rlim_cur = 24 + 120 * kRecordSize;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const Result failed = Store(target);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &previous), 0);

    EXPECT_EQ(failed.GetCode(), ZrUtilsLib::FILE_ERROR);
    const std::string description = failed.GetDescription();
    EXPECT_NE(description.find(target), std::string::npos) << description;
    EXPECT_NE(description.find("File too large"), std::string::npos) << description;
    std::ifstream old(target);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(old), {}), "previous recording");
    EXPECT_EQ(mDirectory.Entries(), std::set<std::string>{"trace.pcap"});
    EXPECT_TRUE(mFree.IsEmpty());
    EXPECT_EQ(mRecorded.GetCount(), 3u);

    const std::string second = mDirectory.PathOf("second chance.pcap");
    ASSERT_EQ(Store(second).GetCode(), ZrUtilsLib::OK);
    EXPECT_EQ(fs::file_size(second), 24 + 300 * kRecordSize);
    const std::string info = Capinfos(second);
    EXPECT_NE(info.find("Number of packets:   300"), std::string::npos) << info;
    EXPECT_NE(info.find("linux-sll"), std::string::npos) << info;
    EXPECT_TRUE(mRecorded.IsEmpty());
    std::vector<Buffer*> recorded;
    for (const auto& buffer : mBuffers) {
        recorded.push_back(buffer.get());
    }
    EXPECT_EQ(Drain(mFree), recorded);  // every Buffer, in the recorded order
}

// The file is made before the recording: a name that cannot be created is refused then, with
// the name and the reason. A recording of nothing writes no file and leaves none behind.
TEST_F(PCAPWriterTest, PreparedFileRefusesEarlyAndVanishesWhenNothingWasRecorded) {
    const std::string missing = mDirectory.PathOf("no/such/directory/trace.pcap");
    const Result refused = mWriter->PrepareFile(missing.c_str());
    EXPECT_EQ(refused.GetCode(), ZrUtilsLib::CANNOT_OPEN_FILE);
    const std::string description = refused.GetDescription();
    EXPECT_NE(description.find(missing), std::string::npos) << description;
    EXPECT_NE(description.find("No such file or directory"), std::string::npos) << description;

    const std::string existing = mDirectory.PathOf("existing.pcap");
    std::ofstream(existing) << "previous recording";
    ASSERT_EQ(mWriter->PrepareFile(existing.c_str()).GetCode(), ZrUtilsLib::OK);
    EXPECT_EQ(Store(existing).GetCode(), ZrUtilsLib::OK);
    EXPECT_EQ(fs::file_size(existing), 18u);
    EXPECT_EQ(mDirectory.Entries(), std::set<std::string>{"existing.pcap"});

    // Prepared under one name, stored under another: the store makes its own file.
    Record(0, 10);
    ASSERT_EQ(mWriter->PrepareFile(mDirectory.PathOf("first.pcap").c_str()).GetCode(),
              ZrUtilsLib::OK);
    ASSERT_EQ(Store(mDirectory.PathOf("other.pcap")).GetCode(), ZrUtilsLib::OK);
    EXPECT_EQ(mDirectory.Entries(), (std::set<std::string>{"existing.pcap", "other.pcap"}));
}

}  // namespace
