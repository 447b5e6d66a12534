// A live recording through libpcap on the loopback adapter of the test's own network namespace,
// where only the test's frames pass. Needs root.

#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <string>
#include <vector>

#include "ZrUtilsLib/Thread.h"
#include "app/PCAPSniffer.h"
#include "tests/app/sniffer/HeldSniffer.h"
#include "tests/support/ScratchDirectory.h"

namespace {

using Clock = std::chrono::steady_clock;
using KvTransportLayerLib::Network::PCAP::Buffer;
using EndReason = PCAPSniffer::EndReason;

constexpr size_t kSequenceOffset = 18;

int64_t MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A broadcast frame of `length` bytes: a marker, the number, bytes derived from it.
std::string MakeNumberedFrame(uint32_t sequence, uint32_t length = 8500) {
    std::string frame("\xFF\xFF\xFF\xFF\xFF\xFF\x02KVSN\x01\x88\xB5KVSN", kSequenceOffset);
    frame.append(reinterpret_cast<const char*>(&sequence), 4);
    for (uint32_t i = 22; i < length; ++i) {
        frame.push_back(static_cast<char>(sequence * 7 + i));
    }
    return frame;
}

// The frame numbers of pcap records, in order; UINT32_MAX for a record not the test's.
void AppendSequences(const unsigned char* data, size_t length, std::vector<uint32_t>& sequences) {
    for (size_t at = 0; at + 16 <= length;) {
        uint32_t stored = 0, sequence = UINT32_MAX;
        std::memcpy(&stored, data + at + 8, 4);
        if (stored >= kSequenceOffset + 4 &&
            std::memcmp(data + at + 16 + 12, "\x88\xB5KVSN", 6) == 0) {
            std::memcpy(&sequence, data + at + 16 + kSequenceOffset, 4);
        }
        sequences.push_back(sequence);
        at += 16 + stored;
    }
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<uint32_t> FileSequences(const std::string& path) {
    const std::string data = ReadFile(path);
    std::vector<uint32_t> sequences;
    if (data.size() > 24) {
        AppendSequences(reinterpret_cast<const unsigned char*>(data.data()) + 24, data.size() - 24,
                        sequences);
    }
    return sequences;
}

// Pops the recorded queue, oldest first.
std::vector<Buffer*> TakeRecorded(PCAPSniffer& sniffer) {
    std::vector<Buffer*> buffers;
    while (Buffer* buffer = sniffer.GetRecordedQueue()->Pop()) {
        buffers.push_back(buffer);
    }
    return buffers;
}

std::vector<uint32_t> BufferSequences(const std::vector<Buffer*>& buffers) {
    std::vector<uint32_t> sequences;
    for (const Buffer* buffer : buffers) {
        AppendSequences(buffer->GetData(), buffer->GetDataLength(), sequences);
    }
    return sequences;
}

std::vector<uint32_t> RunFrom(uint32_t first, size_t count) {
    std::vector<uint32_t> run(count);
    std::iota(run.begin(), run.end(), first);
    return run;
}

// The test's thread, and so the sniffer's threads, in a network namespace of its own.
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
    }
    void TearDown() override {
        if (mSender >= 0) {
            close(mSender);
        }
    }

    // Opens and starts a sniffer on the loopback adapter.
    void Start(PCAPSniffer& sniffer, uint32_t mode, int32_t numberOfPackets,
               int32_t maximumPacketSize) {
        PCAPSnifferConfiguration config;
        config.AdapterName = "lo";
        std::snprintf(config.Filename, sizeof(config.Filename), "%s/recording",
                      mDirectory.Path().c_str());
        config.Mode = mode;
        config.BufferSize = 1024000;
        config.NumberOfPackets = numberOfPackets;
        config.MaximumPacketSize = maximumPacketSize;
        ASSERT_EQ(sniffer.Open(&config).GetCode(), ZrUtilsLib::OK);
        ASSERT_EQ(sniffer.Start().GetCode(), ZrUtilsLib::OK);
    }

    // Paced, so that a sanitized capture thread keeps up.
    void Send(uint32_t sequence, uint32_t length = 8500) {
        const std::string frame = MakeNumberedFrame(sequence, length);
        sockaddr_ll address{AF_PACKET, 0, static_cast<int>(if_nametoindex("lo")), 0,
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
    KvTests::ScratchDirectory mDirectory{"kvsniffer"};
};

// 512 packets cut to 8000 bytes fill the plan's one Buffer exactly: the recording ends because
// nothing more fits, and the file holds frames 0 to 511 in order, each cut and intact.
TEST_F(LiveRecordingTest, FixedNumberOfPacketsEndsWhenEveryBufferIsFull) {
    PCAPSniffer sniffer;
    ASSERT_NO_FATAL_FAILURE(Start(sniffer, FixedNumberOfPackets, 512, 8000));
    for (uint32_t sent = 0; sniffer.IsRunning() && sent < 5000; ++sent) {
        ASSERT_NO_FATAL_FAILURE(Send(sent));
    }
    // It ends by itself, and Stop keeps the reason.
    for (const Clock::time_point from = Clock::now();
         sniffer.IsRunning() && MillisecondsSince(from) < 5000;) {
        ZrUtilsLib::Thread::Sleep(10);
    }
    ASSERT_FALSE(sniffer.IsRunning()) << "still recording";
    sniffer.Stop();
    EXPECT_EQ(sniffer.GetEndReason(), EndReason::BuffersFull);
    ASSERT_EQ(sniffer.StartStore().GetCode(), ZrUtilsLib::OK);
    sniffer.GetWriter().WaitForStoreCompletion();
    ASSERT_EQ(sniffer.GetWriter().GetStoreResult().GetCode(), ZrUtilsLib::OK);
    const std::string bytes = ReadFile(sniffer.GetFilename());
    // Magic, version 2.4, zone and accuracy 0, the snapshot length, link type Ethernet.
    const uint32_t header[6] = {0xA1B2C3D4, 0x40002, 0, 0, 8000, 1}, lengths[2] = {8000, 8500};
    EXPECT_EQ(bytes.substr(0, 24), std::string(reinterpret_cast<const char*>(header), 24));
    ASSERT_EQ(bytes.size(), 24u + 512 * (16 + 8000));
    for (uint32_t frame = 0; frame < 512; ++frame) {
        // After the time: the stored and wire lengths, then the frame cut.
        const std::string record = std::string(reinterpret_cast<const char*>(lengths), 8) +
                                   MakeNumberedFrame(frame).substr(0, 8000);
        ASSERT_EQ(bytes.compare(24 + frame * (16 + 8000) + 8, record.size(), record), 0)
            << "record " << frame << " is not frame " << frame;
    }
}

// The sniffer thread is held just before it lends the oldest recorded Buffer for the first time;
// Stop refuses that Buffer, which stays at the head of the recorded queue: every frame sent is
// kept in order, and Stop does not wait for a Buffer that can never complete.
TEST_F(LiveRecordingTest, CircularStopKeepsTheOldestBufferThatWasAboutToBeReused) {
    HeldSniffer sniffer(HeldSniffer::HoldAt::FirstCircularReplacement);
    // 8 Buffers of 256000 bytes: 251 records of 1000 bytes each.
    ASSERT_NO_FATAL_FAILURE(Start(sniffer, Circular, 1024, 1514));
    uint32_t sent = 0;
    while (!sniffer.WaitUntilHeld(0) && sent < 4000) {
        ASSERT_NO_FATAL_FAILURE(Send(sent++, 1000));
    }
    ASSERT_TRUE(sniffer.WaitUntilHeld(0)) << "the oldest Buffer was never about to be reused";
    const Clock::time_point stopping = Clock::now();
    sniffer.Stop();
    EXPECT_LT(MillisecondsSince(stopping), 2000);
    EXPECT_EQ(sniffer.GetEndReason(), EndReason::Stopped);
    const std::vector<Buffer*> recorded = TakeRecorded(sniffer);
    ASSERT_FALSE(recorded.empty());
    EXPECT_EQ(recorded.front(), sniffer.GetOldestRecordedWhenHeld());
    EXPECT_EQ(BufferSequences(recorded), RunFrom(0, sent));
}

// Snapshots asked for while frames flow, as the recording run does: each file is a run without a
// gap holding the last frame sent before its request. The recording goes on, and keeps the
// newest frames in a window no larger than the ring: the snapshots' spares do not join it.
TEST_F(LiveRecordingTest, CircularSnapshotsWhileRecording) {
    PCAPSniffer sniffer;
    ASSERT_NO_FATAL_FAILURE(Start(sniffer, Circular, 1024, 1514));
    uint32_t sent = 0;
    std::vector<uint32_t> lastBeforeRequest;
    std::vector<SnapshotTaker::Report> reports;
    for (size_t snapshot = 0; snapshot < 3; ++snapshot) {
        for (int frame = 0; frame < 600; ++frame) {
            ASSERT_NO_FATAL_FAILURE(Send(sent++, 1000));
        }
        lastBeforeRequest.push_back(sent - 1);
        sniffer.RequestSnapshot();
        const Clock::time_point asked = Clock::now();
        while (reports.size() <= snapshot && MillisecondsSince(asked) < 5000) {
            ASSERT_NO_FATAL_FAILURE(Send(sent++, 1000));
            for (const SnapshotTaker::Report& report : sniffer.TakeSnapshotReports()) {
                reports.push_back(report);
            }
            (void)sniffer.GetCounters();  // as the progress line reads them meanwhile
        }
    }
    for (int frame = 0; frame < 3000; ++frame) {  // about one and a half rings
        ASSERT_NO_FATAL_FAILURE(Send(sent++, 1000));
    }
    sniffer.Stop();
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(sniffer.GetCounters().recorderDropped, 0u);
    for (size_t index = 0; index < reports.size(); ++index) {
        SCOPED_TRACE(reports[index].fileName);
        ASSERT_TRUE(reports[index].stored) << reports[index].reason;
        EXPECT_EQ(reports[index].fileName,
                  mDirectory.PathOf("recording-") + std::to_string(index + 1) + ".pcap");
        const std::vector<uint32_t> sequences = FileSequences(reports[index].fileName);
        ASSERT_FALSE(sequences.empty());
        EXPECT_EQ(sequences.size(), reports[index].packets);
        EXPECT_EQ(sequences, RunFrom(sequences.front(), sequences.size()));
        EXPECT_LE(sequences.front(), lastBeforeRequest[index]);
        EXPECT_GE(sequences.back(), lastBeforeRequest[index]);
    }
    const std::vector<uint32_t> kept = BufferSequences(TakeRecorded(sniffer));
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(kept, RunFrom(kept.front(), kept.size()));
    EXPECT_EQ(kept.back(), sent - 1);
    EXPECT_LE(kept.size(), 8u * 251u);  // 8 Buffers of 256000 bytes, 251 records each
}

}  // namespace
