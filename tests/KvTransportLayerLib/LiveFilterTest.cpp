// Live capture through libpcap on a veth pair in a network namespace of the test thread's own.
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numeric>
#include <vector>

#include "KvTransportLayerLib/Network/PCAP/LinuxFilter.h"

using KvTransportLayerLib::Network::PCAP::Buffer;
namespace Z = ZrUtilsLib;

namespace {

constexpr unsigned int kMax = 200;
const uint8_t kEtherType[2] = {0x88, 0xB5};  // local experimental: nothing else sends it

// The kernel cuts packets to the snapshot length before they fill libpcap's ring; Stop neither
// waits on a silent link nor loses what came just before it; a Filter restarts.
TEST(LiveCapture, SilentLinkStopsPromptlyAndPacketsSentJustBeforeStopAreKept) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "live capture needs root (network namespaces, raw sockets)";
    }
    // The namespace is this thread's own; it goes away with the last socket in it.
    if (unshare(CLONE_NEWNET) != 0) {
        GTEST_SKIP() << "cannot make a network namespace: " << std::strerror(errno);
    }
    ASSERT_EQ(std::system("sysctl -qw net.ipv6.conf.all.disable_ipv6=1 "  // keeps the link silent
                          "net.ipv6.conf.default.disable_ipv6=1 && "
                          "ip link add kvsend type veth peer name kvcap && "
                          "ip link set kvsend up && ip link set kvcap up"),
              0);
    Buffer buffers[4];
    for (Buffer& buffer : buffers) {
        ASSERT_EQ(buffer.Allocate(64 * 1024).GetCode(), Z::OK);
    }
    KvTransportLayerLib::Network::PCAP::Filter filter;  // stops before the Buffers go
    const auto lendAndStart = [&] {
        for (Buffer& buffer : buffers) {
            ASSERT_EQ(filter.QueueBuffer(&buffer).GetCode(), Z::PENDING);
        }
        const Z::Result started = filter.Start();
        ASSERT_EQ(started.GetCode(), Z::OK) << started.GetDescription();
    };
    ASSERT_EQ(filter.Open("Nothing", "kvcap", kMax).GetCode(), Z::OK);
    ASSERT_NO_FATAL_FAILURE(lendAndStart());
    unsigned int programs = 0;
    for (int fd = 0; fd < 1024; ++fd) {
        int domain = 0;
        socklen_t length = sizeof(domain);
        if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0 || domain != AF_PACKET) {
            continue;
        }
        sock_filter program[8];
        socklen_t instructions = 8;
        EXPECT_EQ(getsockopt(fd, SOL_SOCKET, SO_GET_FILTER, program, &instructions), 0);
        EXPECT_EQ(instructions, 1u) << "an accept-all program has one instruction";
        EXPECT_EQ(program[0].code, BPF_RET | BPF_K);
        EXPECT_EQ(program[0].k, kMax + 64);
        ++programs;
    }
    EXPECT_EQ(programs, 1u);
    // Stops, takes every Buffer back in lending order and reads the numbered frames.
    std::vector<uint32_t> sequences;
    unsigned int packets = 0;
    const auto stopAndCollect = [&] {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(filter.Stop().GetCode(), Z::OK);
        unsigned int returned = 0;
        Buffer* buffer = nullptr;
        for (int attempt = 0; attempt < 100 && returned < 4; ++attempt) {
            if (filter.RetrieveBuffer(buffer, 100).GetCode() != Z::OK) {
                continue;
            }
            EXPECT_EQ(buffer, &buffers[returned++]);
            uint32_t offset = 0, count = 0, stored = 0;
            for (; offset + 16 <= buffer->GetDataLength(); offset += 16 + stored, ++count) {
                const uint8_t* record = buffer->GetData() + offset;
                std::memcpy(&stored, record + 8, 4);
                ASSERT_LE(stored, kMax);
                ASSERT_LE(offset + 16 + stored, buffer->GetDataLength());
                if (stored >= 18 && std::memcmp(record + 16 + 12, kEtherType, 2) == 0) {
                    sequences.push_back(0);
                    std::memcpy(&sequences.back(), record + 16 + 14, 4);
                }
            }
            EXPECT_EQ(offset, buffer->GetDataLength());
            EXPECT_EQ(count, buffer->GetPacketCount());
            packets += count;
        }
        EXPECT_EQ(returned, 4u);
        EXPECT_EQ(filter.RetrieveBuffer(buffer, 100).GetCode(), Z::NO_MORE_ENTRY);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    };
    stopAndCollect();
    EXPECT_TRUE(sequences.empty());

    char error[PCAP_ERRBUF_SIZE];
    const std::unique_ptr<pcap_t, void (*)(pcap_t*)> sender(
        pcap_open_live("kvsend", 100, 0, 10, error), pcap_close);
    ASSERT_NE(sender, nullptr) << error;
    ASSERT_NO_FATAL_FAILURE(lendAndStart());
    std::vector<uint32_t> sent(50);
    std::iota(sent.begin(), sent.end(), 0u);
    for (uint32_t sequence : sent) {
        // A broadcast frame from a locally administered source carrying its sequence number.
        std::vector<uint8_t> frame(60 + sequence * 20, static_cast<uint8_t>(sequence));
        std::memset(frame.data(), 0xFF, 6);
        frame[6] = 0x02;
        std::memcpy(&frame[12], kEtherType, 2);
        std::memcpy(&frame[14], &sequence, 4);
        ASSERT_EQ(pcap_inject(sender.get(), frame.data(), frame.size()), int(frame.size()));
    }
    packets = 0;
    stopAndCollect();
    EXPECT_EQ(sequences, sent);
    KvTransportLayerLib::Network::PCAP::Statistic statistic;
    filter.GetStatistic(&statistic);
    EXPECT_EQ(statistic.GetPacketCount(), packets) << "the statistic counts the last run";
    EXPECT_EQ(statistic.GetDropCount(), 0u);
}

}  // namespace
