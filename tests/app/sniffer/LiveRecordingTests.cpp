// A live recording through the real capture Filter (libpcap) on the loopback adapter of a network
// namespace of the test's own, where only the test's frames pass. Needs root.

#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <net/if.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "ZrUtilsLib/Thread.h"
#include "app/PCAPSniffer.h"
#include "tests/app/sniffer/HeldSniffer.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}
using KvTransportLayerLib::Network::PCAP::Buffer;

constexpr size_t kSequenceOffset = 18;

// A broadcast frame of `length` bytes (8500 unless said): a marker, the number, bytes derived
// from it.
std::string MakeNumberedFrame(uint32_t sequence, uint32_t length = 8500) {
    std::string frame("\xFF\xFF\xFF\xFF\xFF\xFF\x02KVSN\x01\x88\xB5KVSN", kSequenceOffset);
    frame.append(reinterpret_cast<const char*>(&sequence), 4);
    for (uint32_t i = 22; i < length; ++i) {
        frame.push_back(static_cast<char>(sequence * 7 + i));
    }
    return frame;
}

// The numbers of the frames recorded in a Buffer, in record order; a record that is not one of
// the test's frames gives UINT32_MAX.
std::vector<uint32_t> RecordedSequences(const Buffer& buffer) {
    std::vector<uint32_t> sequences;
    const unsigned char* data = buffer.GetData();
    for (uint32_t at = 0; at + 16 <= buffer.GetDataLength();) {
        uint32_t stored = 0;
        std::memcpy(&stored, data + at + 8, 4);
        uint32_t sequence = UINT32_MAX;
        if (stored >= kSequenceOffset + 4 &&
            std::memcmp(data + at + 16 + 12, "\x88\xB5KVSN", 6) == 0) {
            std::memcpy(&sequence, data + at + 16 + kSequenceOffset, 4);
        }
        sequences.push_back(sequence);
        at += 16 + stored;
    }
    return sequences;
}

// Moves the test's thread, and so the sniffer's threads started after it, into a network
// namespace of its own whose loopback adapter is up; sends numbered frames on an adapter there.
class LiveRecordingTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root: creates a network namespace and captures with libpcap";
        }
        ASSERT_EQ(unshare(CLONE_NEWNET), 0) << std::strerror(errno);
        ASSERT_EQ(std::system("ip link set lo up"), 0);
        mSender = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
        ASSERT_GE(mSender, 0) << std::strerror(errno);
        ASSERT_NE(mkdtemp(mDirectory.data()), nullptr);
    }
    void TearDown() override {
        if (mSender >= 0) {
            close(mSender);
        }
        std::filesystem::remove_all(mDirectory);
    }

    PCAPSnifferConfiguration MakeConfiguration(uint32_t mode, const char* adapter = "lo") const {
        PCAPSnifferConfiguration config;
        config.AdapterName = adapter;
        std::snprintf(config.Filename, sizeof(config.Filename), "%s/recording", mDirectory.c_str());
        config.Mode = mode;
        return config;
    }

    // Paced, so that a sanitized capture thread keeps up.
    void Send(uint32_t sequence, uint32_t length = 8500, const char* adapter = "lo") {
        const std::string frame = MakeNumberedFrame(sequence, length);
        sockaddr_ll address{AF_PACKET, 0, static_cast<int>(if_nametoindex(adapter)), 0,
                            0,         6, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};
        for (unsigned int attempts = 0;
             sendto(mSender, frame.data(), frame.size(), 0,
                    reinterpret_cast<const sockaddr*>(&address), sizeof(address)) < 0;) {
            ASSERT_TRUE(errno == ENOBUFS && ++attempts < 100000) << std::strerror(errno);
            sched_yield();
        }
        if (sequence % 8 == 7) {
            ZrUtilsLib::Thread::Sleep(1);
        }
    }

    int mSender = -1;
    std::string mDirectory = "/tmp/kvsniffer-XXXXXX";
};

// Pops the recorded queue, oldest first.
std::vector<Buffer*> TakeRecorded(PCAPSniffer& sniffer) {
    std::vector<Buffer*> buffers;
    for (Buffer* buffer = sniffer.GetRecordedQueue()->Pop(); buffer != nullptr;
         buffer = sniffer.GetRecordedQueue()->Pop()) {
        buffers.push_back(buffer);
    }
    return buffers;
}

// 512 packets cut to 8000 bytes fill the plan's one Buffer exactly, so the count never exceeds
// the request: the recording ends because nothing more can be recorded. The file then holds the
// numbered frames from 0 on, in order, each cut to the maximum packet size and intact.
TEST_F(LiveRecordingTest, FixedNumberOfPacketsEndsWhenEveryBufferIsFull) {
    PCAPSnifferConfiguration config = MakeConfiguration(FixedNumberOfPackets);
    config.NumberOfPackets = 512;
    config.MaximumPacketSize = 8000;
    PCAPSniffer sniffer;
    ASSERT_EQ(sniffer.Open(&config).GetCode(), ZrUtilsLib::OK);
    ASSERT_EQ(sniffer.Start().GetCode(), ZrUtilsLib::OK);
    EXPECT_EQ(sniffer.GetLinkType(), 1);  // Ethernet
    for (uint32_t sent = 0; sniffer.IsRunning() && sent < 5000; ++sent) {
        ASSERT_NO_FATAL_FAILURE(Send(sent));
    }
    for (int wait = 0; sniffer.IsRunning() && wait < 500; ++wait) {
        ZrUtilsLib::Thread::Sleep(10);
    }
    ASSERT_FALSE(sniffer.IsRunning()) << "still recording";
    EXPECT_EQ(sniffer.GetEndReason(), PCAPSniffer::EndReason::BuffersFull);
    sniffer.Stop();
    EXPECT_EQ(sniffer.GetEndReason(), PCAPSniffer::EndReason::BuffersFull);
    ASSERT_EQ(sniffer.StartStore().GetCode(), ZrUtilsLib::OK);
    sniffer.GetWriter().WaitForStoreCompletion();
    ASSERT_EQ(sniffer.GetWriter().GetStoreResult().GetCode(), ZrUtilsLib::OK);
    std::ifstream file(sniffer.GetFilename(), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(file), {}};
    // Magic, version 2.4, zone and accuracy 0, the snapshot length, link type Ethernet.
    uint32_t fields[6] = {0xA1B2C3D4, 0x40002, 0, 0, 8000, 1};
    EXPECT_EQ(bytes.substr(0, 24), std::string(reinterpret_cast<const char*>(fields), 24));
    uint32_t count = 0;
    size_t at = 24;
    for (; at + 16 <= bytes.size(); at += 16 + 8000, ++count) {
        std::memcpy(fields, &bytes[at], 16);  // seconds, microseconds, stored and wire length
        if (fields[2] != 8000 || fields[3] != 8500 ||
            bytes.compare(at + 16, 8000, MakeNumberedFrame(count), 0, 8000) != 0) {
            ADD_FAILURE() << "record " << count << " is not frame " << count;
            break;
        }
    }
    EXPECT_EQ(at, bytes.size());
    EXPECT_EQ(count, 512u);
}

// 1500 small frames for a request of 1000 all fit the plan's one Buffer, which never completes:
// the recording still ends by itself soon after the link falls silent, and keeps them all.
TEST_F(LiveRecordingTest, FixedNumberOfPacketsEndsOnAQuietLink) {
    PCAPSnifferConfiguration config = MakeConfiguration(FixedNumberOfPackets);
    config.NumberOfPackets = 1000;
    PCAPSniffer sniffer;
    ASSERT_EQ(sniffer.Open(&config).GetCode(), ZrUtilsLib::OK);
    ASSERT_EQ(sniffer.GetAllocatedBufferCount(), 1u);
    ASSERT_EQ(sniffer.Start().GetCode(), ZrUtilsLib::OK);
    for (uint32_t sent = 0; sent < 1500; ++sent) {
        ASSERT_NO_FATAL_FAILURE(Send(sent, 64));
    }
    const Clock::time_point lastSent = Clock::now();
    while (sniffer.IsRunning() && Clock::now() - lastSent < std::chrono::seconds(5)) {
        ZrUtilsLib::Thread::Sleep(10);
    }
    EXPECT_LT(MillisecondsSince(lastSent), 1500);
    ASSERT_FALSE(sniffer.IsRunning()) << "still recording";
    EXPECT_EQ(sniffer.GetEndReason(), PCAPSniffer::EndReason::PacketCountReached);
    sniffer.Stop();
    EXPECT_EQ(sniffer.GetEndReason(), PCAPSniffer::EndReason::PacketCountReached);
    std::vector<uint32_t> sequences;
    for (const Buffer* buffer : TakeRecorded(sniffer)) {
        const std::vector<uint32_t> recorded = RecordedSequences(*buffer);
        sequences.insert(sequences.end(), recorded.begin(), recorded.end());
    }
    ASSERT_EQ(sequences.size(), 1500u);
    for (uint32_t index = 0; index < sequences.size(); ++index) {
        ASSERT_EQ(sequences[index], index);
    }
}

// The sniffer thread is held after it found the recording going and before it lends the oldest
// recorded Buffer for the first time; Stop then refuses that Buffer. It stays at the head of the
// recorded queue: after Stop the queue holds every frame sent, in order, from the first on, and
// Stop does not wait for a Buffer that can never complete.
TEST_F(LiveRecordingTest, CircularStopKeepsTheOldestBufferThatWasAboutToBeReused) {
    PCAPSnifferConfiguration config = MakeConfiguration(Circular);
    config.BufferSize = 1024000;  // 8 Buffers of 256000 bytes: 251 records of 1000 bytes each
    config.MaximumPacketSize = 1514;
    HeldSniffer sniffer(HeldSniffer::HoldAt::FirstCircularReplacement);
    ASSERT_EQ(sniffer.Open(&config).GetCode(), ZrUtilsLib::OK);
    ASSERT_EQ(sniffer.Start().GetCode(), ZrUtilsLib::OK);
    uint32_t sent = 0;
    while (!sniffer.WaitUntilHeld(0) && sent < 4000) {
        ASSERT_NO_FATAL_FAILURE(Send(sent++, 1000));
    }
    ASSERT_TRUE(sniffer.WaitUntilHeld(0)) << "the oldest Buffer was never about to be reused";
    const Clock::time_point stopping = Clock::now();
    sniffer.Stop();
    EXPECT_LT(MillisecondsSince(stopping), 2000);
    EXPECT_EQ(sniffer.GetEndReason(), PCAPSniffer::EndReason::Stopped);

    const std::vector<Buffer*> recorded = TakeRecorded(sniffer);
    ASSERT_FALSE(recorded.empty());
    EXPECT_EQ(recorded.front(), sniffer.GetOldestRecordedWhenHeld());
    std::vector<uint32_t> sequences;
    for (const Buffer* buffer : recorded) {
        const std::vector<uint32_t> inBuffer = RecordedSequences(*buffer);
        sequences.insert(sequences.end(), inBuffer.begin(), inBuffer.end());
    }
    ASSERT_EQ(sequences.size(), sent);
    for (uint32_t index = 0; index < sequences.size(); ++index) {
        ASSERT_EQ(sequences[index], index);
    }
}

// The recorded adapter disappears: the recording ends by itself and says why.
TEST_F(LiveRecordingTest, LostAdapterEndsTheRecording) {
    ASSERT_EQ(std::system("ip link add kvsniff0 type veth peer name kvsniff1 && "
                          "ip link set kvsniff0 up && ip link set kvsniff1 up"),
              0);
    PCAPSnifferConfiguration config = MakeConfiguration(Circular, "kvsniff0");
    PCAPSniffer sniffer;
    ASSERT_EQ(sniffer.Open(&config).GetCode(), ZrUtilsLib::OK);
    ASSERT_EQ(sniffer.Start().GetCode(), ZrUtilsLib::OK);
    for (uint32_t sent = 0; sent < 100; ++sent) {
        ASSERT_NO_FATAL_FAILURE(Send(sent, 200, "kvsniff1"));
    }
    ASSERT_EQ(std::system("ip link del kvsniff0"), 0);
    const Clock::time_point removed = Clock::now();
    while (sniffer.IsRunning() && Clock::now() - removed < std::chrono::seconds(5)) {
        ZrUtilsLib::Thread::Sleep(10);
    }
    EXPECT_LT(MillisecondsSince(removed), 2500);
    ASSERT_FALSE(sniffer.IsRunning());
    EXPECT_EQ(sniffer.GetEndReason(), PCAPSniffer::EndReason::AdapterLost);
    sniffer.Stop();
    EXPECT_EQ(sniffer.GetEndReason(), PCAPSniffer::EndReason::AdapterLost);
}

}  // namespace

namespace {

// The numbers of the test's frames in a capture file, in file order.
std::vector<uint32_t> FileSequences(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Buffer records;
    if (data.size() <= 24) {
        return {};
    }
    const unsigned int length = static_cast<unsigned int>(data.size() - 24);
    EXPECT_EQ(records.Allocate(length).GetCode(), ZrUtilsLib::OK);
    std::memcpy(records.GetData(), data.data() + 24, length);
    records.SetDataLength(length);
    return RecordedSequences(records);
}

bool IsRunFrom(const std::vector<uint32_t>& sequences, uint32_t first) {
    for (uint32_t index = 0; index < sequences.size(); ++index) {
        if (sequences[index] != first + index) {
            return false;
        }
    }
    return true;
}

}  // namespace

// Snapshots asked for from the test's thread while frames flow, as the recording run does:
// each file is a run without a gap that holds the last frame sent before its request, frames
// sent while it is stored are kept, and the recording ends with every frame since its window.
TEST_F(LiveRecordingTest, CircularSnapshotsWhileRecording) {
    PCAPSnifferConfiguration config = MakeConfiguration(Circular);
    config.BufferSize = 1024000;
    config.MaximumPacketSize = 1514;
    PCAPSniffer sniffer;
    ASSERT_EQ(sniffer.Open(&config).GetCode(), ZrUtilsLib::OK);
    ASSERT_EQ(sniffer.Start().GetCode(), ZrUtilsLib::OK);
    uint32_t sent = 0;
    std::vector<uint32_t> lastBeforeRequest;
    std::vector<SnapshotTaker::Report> reports;
    for (int snapshot = 0; snapshot < 3; ++snapshot) {
        for (int frame = 0; frame < 600; ++frame) {
            ASSERT_NO_FATAL_FAILURE(Send(sent++, 1000));
        }
        lastBeforeRequest.push_back(sent - 1);
        sniffer.RequestSnapshot();
        const Clock::time_point asked = Clock::now();
        while (reports.size() <= static_cast<size_t>(snapshot) && MillisecondsSince(asked) < 5000) {
            ASSERT_NO_FATAL_FAILURE(Send(sent++, 1000));
            for (const SnapshotTaker::Report& report : sniffer.TakeSnapshotReports()) {
                reports.push_back(report);
            }
            (void)sniffer.GetCounters();  // as the progress line reads them meanwhile
        }
    }
    sniffer.Stop();
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(sniffer.GetCounters().recorderDropped, 0u);

    for (size_t index = 0; index < reports.size(); ++index) {
        SCOPED_TRACE(reports[index].fileName);
        ASSERT_TRUE(reports[index].stored) << reports[index].reason;
        EXPECT_EQ(reports[index].fileName,
                  mDirectory + "/recording-" + std::to_string(index + 1) + ".pcap");
        const std::vector<uint32_t> sequences = FileSequences(reports[index].fileName);
        ASSERT_FALSE(sequences.empty());
        EXPECT_EQ(sequences.size(), reports[index].packets);
        EXPECT_TRUE(IsRunFrom(sequences, sequences.front()));
        EXPECT_LE(sequences.front(), lastBeforeRequest[index]);
        EXPECT_GE(sequences.back(), lastBeforeRequest[index]);
    }
    std::vector<uint32_t> kept;
    for (const Buffer* buffer : TakeRecorded(sniffer)) {
        const std::vector<uint32_t> inBuffer = RecordedSequences(*buffer);
        kept.insert(kept.end(), inBuffer.begin(), inBuffer.end());
    }
    ASSERT_FALSE(kept.empty());
    EXPECT_TRUE(IsRunFrom(kept, kept.front()));
    EXPECT_EQ(kept.back(), sent - 1);
}
