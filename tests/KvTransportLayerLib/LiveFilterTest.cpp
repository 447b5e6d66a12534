// Live capture through libpcap on a veth pair in a network namespace of the test thread's own.
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "KvTransportLayerLib/Network/PCAP/LinuxFilter.h"

using KvTransportLayerLib::Network::PCAP::Buffer;
using KvTransportLayerLib::Network::PCAP::Filter;
using KvTransportLayerLib::Network::PCAP::Statistic;
namespace Z = ZrUtilsLib;
using Clock = std::chrono::steady_clock;

namespace {

constexpr unsigned int kMax = 200;
const uint8_t kEtherType[2] = {0x88, 0xB5};  // local experimental: nothing else sends it

uint32_t ReadU32(const uint8_t* at) {
    uint32_t value;
    std::memcpy(&value, at, sizeof(value));
    return value;
}

uint64_t WallClockUs() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return uint64_t(now.tv_sec) * 1000000u + uint64_t(now.tv_nsec) / 1000u;
}

class LiveCapture : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "live capture needs root (network namespaces, raw sockets)";
        }
        // The namespace is this thread's own; it goes away with the last socket in it.
        if (unshare(CLONE_NEWNET) != 0) {
            GTEST_SKIP() << "cannot make a network namespace: " << std::strerror(errno);
        }
        // IPv6 off keeps the link silent.
        ASSERT_EQ(std::system("sysctl -qw net.ipv6.conf.all.disable_ipv6=1 "
                              "net.ipv6.conf.default.disable_ipv6=1 && "
                              "ip link add kvsend type veth peer name kvcap && "
                              "ip link set kvsend up && ip link set kvcap up"),
                  0);
        mSendSocket = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
        sockaddr_ll address{};
        address.sll_family = AF_PACKET;
        address.sll_ifindex = static_cast<int>(if_nametoindex("kvsend"));
        ASSERT_EQ(bind(mSendSocket, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0)
            << std::strerror(errno);
    }
    void TearDown() override {
        filter.reset();
        if (mSendSocket >= 0) {
            close(mSendSocket);
        }
    }

    // A broadcast frame of `length` bytes (60 or more) carrying its sequence number.
    void Send(uint32_t sequence, uint32_t length) {
        std::vector<uint8_t> frame(length, static_cast<uint8_t>(sequence));
        std::memset(frame.data(), 0xFF, 6);
        frame[6] = 0x02;  // a locally administered source
        std::memcpy(&frame[12], kEtherType, 2);
        std::memcpy(&frame[14], &sequence, 4);
        ASSERT_EQ(send(mSendSocket, frame.data(), length, 0), static_cast<ssize_t>(length));
    }

    void OpenAndStart(unsigned int bufferSize) {
        for (Buffer& buffer : buffers) {
            ASSERT_EQ(buffer.Allocate(bufferSize).GetCode(), Z::OK);
        }
        ASSERT_EQ(filter->Open("Nothing", "kvcap", kMax).GetCode(), Z::OK);
        LendAndStart();
    }
    void LendAndStart() {
        for (Buffer& buffer : buffers) {
            ASSERT_EQ(filter->QueueBuffer(&buffer).GetCode(), Z::PENDING);
        }
        const Z::Result started = filter->Start();
        ASSERT_EQ(started.GetCode(), Z::OK) << started.GetDescription();
    }

    // Stops, takes every Buffer back and reads the numbered frames; returns how long that took.
    Clock::duration StopAndCollect() {
        const auto start = Clock::now();
        EXPECT_EQ(filter->Stop().GetCode(), Z::OK);
        for (int attempt = 0; attempt < 100; ++attempt) {
            Buffer* buffer = nullptr;
            const Z::Result result = filter->RetrieveBuffer(buffer, 100);
            if (result.GetCode() == Z::NO_MORE_ENTRY) {
                break;
            }
            if (result.GetCode() == Z::OK) {
                EXPECT_EQ(buffer, &buffers[returned++ % 4]) << "out of lending order";
                Parse(buffer);
            }
        }
        return Clock::now() - start;
    }

    void Parse(const Buffer* buffer) {
        uint32_t offset = 0;
        uint32_t count = 0;
        while (offset + 16 <= buffer->GetDataLength()) {
            const uint8_t* record = buffer->GetData() + offset;
            const uint32_t stored = ReadU32(record + 8);
            ASSERT_LT(ReadU32(record + 4), 1000000u);
            ASSERT_LE(stored, kMax);
            ASSERT_LE(offset + 16 + stored, buffer->GetDataLength());
            if (stored >= 18 && std::memcmp(record + 16 + 12, kEtherType, 2) == 0) {
                times.push_back(uint64_t(ReadU32(record)) * 1000000u + ReadU32(record + 4));
                sequences.push_back(ReadU32(record + 16 + 14));
            }
            offset += 16 + stored;
            ++count;
        }
        EXPECT_EQ(offset, buffer->GetDataLength());
        EXPECT_EQ(count, buffer->GetPacketCount());
        totalPackets += count;
    }

    int mSendSocket = -1;
    std::unique_ptr<Filter> filter = std::make_unique<Filter>();
    Buffer buffers[4];
    unsigned int returned = 0;
    std::vector<uint64_t> times;
    std::vector<uint32_t> sequences;
    unsigned int totalPackets = 0;
};

// Stop neither waits on a silent link nor loses what came just before it; a Filter restarts.
TEST_F(LiveCapture, SilentLinkStopsPromptlyAndPacketsSentJustBeforeStopAreKept) {
    ASSERT_NO_FATAL_FAILURE(OpenAndStart(64 * 1024));
    EXPECT_LT(StopAndCollect(), std::chrono::milliseconds(2000));
    EXPECT_TRUE(sequences.empty());
    EXPECT_EQ(returned, 4u);

    ASSERT_NO_FATAL_FAILURE(LendAndStart());
    std::vector<uint32_t> sent;
    for (uint32_t sequence = 0; sequence < 50; ++sequence) {
        ASSERT_NO_FATAL_FAILURE(Send(sequence, 60 + sequence * 20));
        sent.push_back(sequence);
    }
    totalPackets = 0;
    EXPECT_LT(StopAndCollect(), std::chrono::milliseconds(2000));
    EXPECT_EQ(sequences, sent);
    EXPECT_EQ(returned, 8u);
    Statistic statistic;
    filter->GetStatistic(&statistic);
    EXPECT_EQ(statistic.GetPacketCount(), totalPackets) << "the statistic counts the last run";
    EXPECT_EQ(statistic.GetDropCount(), 0u);
}

// Records carry the packets' arrival times, not the time the kernel handed a block over.
TEST_F(LiveCapture, PacketsFiftyMillisecondsApartAreStampedFiftyMillisecondsApart) {
    ASSERT_NO_FATAL_FAILURE(OpenAndStart(256 * 1024));
    constexpr uint32_t kCount = 10;
    std::vector<uint64_t> sentBefore(kCount);
    std::vector<uint64_t> sentAfter(kCount);
    for (uint32_t sequence = 0; sequence < kCount; ++sequence) {
        if (sequence > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));  // pacing, not a wait
        }
        sentBefore[sequence] = WallClockUs();
        ASSERT_NO_FATAL_FAILURE(Send(sequence, 100));
        sentAfter[sequence] = WallClockUs();
    }
    StopAndCollect();
    ASSERT_EQ(times.size(), kCount);
    for (uint32_t i = 0; i < kCount; ++i) {
        EXPECT_GE(times[i] + 1000, sentBefore[i]) << "packet " << i;
        EXPECT_LE(times[i], sentAfter[i] + 20000) << "packet " << i;
        if (i > 0) {
            EXPECT_GE(times[i] - times[i - 1], 45000u) << "packet " << i;
            EXPECT_LE(times[i] - times[i - 1], sentAfter[i] - sentBefore[i - 1] + 20000) << i;
        }
    }
}

// The kernel cuts packets to the snapshot length before they fill libpcap's ring.
TEST_F(LiveCapture, AcceptAllProgramCutsToTheSnapshotLength) {
    ASSERT_NO_FATAL_FAILURE(OpenAndStart(64 * 1024));
    unsigned int programs = 0;
    for (int fd = 0; fd < 1024; ++fd) {
        int domain = 0;
        socklen_t length = sizeof(domain);
        if (fd == mSendSocket || getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0 ||
            domain != AF_PACKET) {
            continue;
        }
        sock_filter program[8];
        socklen_t instructions = 8;
        ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_GET_FILTER, program, &instructions), 0);
        ASSERT_EQ(instructions, 1u) << "an accept-all program has one instruction";
        EXPECT_EQ(program[0].code, BPF_RET | BPF_K);
        EXPECT_EQ(program[0].k, kMax + 64);
        ++programs;
    }
    EXPECT_EQ(programs, 1u);
}

}  // namespace
