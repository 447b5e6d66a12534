#include "KvTransportLayerLib/Network/PCAP/LinuxFilter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

using KvTransportLayerLib::Network::PCAP::Buffer;
using KvTransportLayerLib::Network::PCAP::Filter;
namespace Z = ZrUtilsLib;

namespace {

constexpr unsigned int kMax = 200;

class CaptureFilter : public ::testing::Test {
protected:
    void SetUp() override {
        for (Buffer& buffer : buffers) {
            ASSERT_EQ(buffer.Allocate(4096).GetCode(), Z::OK);
        }
    }
    void OpenAndLend(int count) {
        ASSERT_EQ(filter.Open("Nothing", "kvnone", kMax).GetCode(), Z::OK);
        EXPECT_TRUE(filter.IsAcceptingBuffers()) << "Open lends Buffers before Start";
        for (int i = 0; i < count; ++i) {
            ASSERT_EQ(filter.QueueBuffer(&buffers[i]).GetCode(), Z::PENDING);
        }
    }
    // A Stop without capture completes every lent Buffer: each comes back empty and in order.
    void Drain(int count) {
        Buffer* buffer = nullptr;
        for (int i = 0; i < count; ++i) {
            ASSERT_EQ(filter.RetrieveBuffer(buffer, 0).GetCode(), Z::OK);
            EXPECT_EQ(buffer, &buffers[i]);
            EXPECT_EQ(buffer->GetPacketCount() + buffer->GetDataLength(), 0u);
        }
        EXPECT_EQ(filter.RetrieveBuffer(buffer, 0).GetCode(), Z::NO_MORE_ENTRY);
        EXPECT_EQ(filter.GetQueuedBufferCount(), 0u);
    }

    Filter filter;
    Buffer buffers[5];
};

// Refusals; the Buffers come back when the filter never started or libpcap could not open the
// adapter; from the start of Stop until the next Open every Buffer is refused and stays the
// caller's. A filter that never ran recorded nothing.
TEST_F(CaptureFilter, RefusesBadInputAndBuffersFromStopUntilTheNextOpen) {
    EXPECT_FALSE(filter.IsAcceptingBuffers()) << "not open";
    EXPECT_EQ(filter.QueueBuffer(&buffers[0]).GetCode(), Z::STATE_ERROR);
    EXPECT_EQ(filter.Open("Nothing", "lo", 65536).GetCode(), Z::GENERIC_ERROR);
    EXPECT_EQ(filter.Open("Nothing", std::string(512, 'e').c_str(), kMax).GetCode(),
              Z::INVALID_ARGUMENT);
    EXPECT_EQ(filter.Open("Nothing", nullptr, kMax).GetCode(), Z::INVALID_ARGUMENT);
    EXPECT_EQ(filter.Open("Nothing", std::string(511, 'e').c_str(), 65535).GetCode(), Z::OK);
    ASSERT_NO_FATAL_FAILURE(OpenAndLend(0));
    Buffer* buffer = &buffers[0];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(filter.RetrieveBuffer(buffer, 30000).GetCode(), Z::NO_MORE_ENTRY);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
    EXPECT_EQ(buffer, nullptr);
    Buffer empty, small;
    ASSERT_EQ(small.Allocate(kMax + 15).GetCode(), Z::OK);
    EXPECT_EQ(filter.QueueBuffer(nullptr).GetCode(), Z::INVALID_ARGUMENT);
    EXPECT_EQ(filter.QueueBuffer(&empty).GetCode(), Z::INVALID_ARGUMENT);
    EXPECT_EQ(filter.QueueBuffer(&small).GetCode(), Z::DRIVER_ERROR);
    ASSERT_NO_FATAL_FAILURE(OpenAndLend(4));
    EXPECT_EQ(filter.QueueBuffer(&buffers[4]).GetCode(), Z::NO_MORE_ENTRY);
    EXPECT_EQ(filter.RetrieveBuffer(buffer, 10).GetCode(), Z::TIMEOUT);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(filter.Stop().GetCode(), Z::OK);
    EXPECT_FALSE(filter.IsAcceptingBuffers());
    EXPECT_EQ(filter.QueueBuffer(&buffers[4]).GetCode(), Z::STATE_ERROR);
    EXPECT_EQ(filter.GetQueuedBufferCount(), 4u);
    Drain(4);
    EXPECT_EQ(filter.QueueBuffer(&buffers[0]).GetCode(), Z::STATE_ERROR) << "still, after a drain";
    EXPECT_EQ(filter.GetRecordedPacketCount(), 0u);
    KvTransportLayerLib::Network::PCAP::Statistic statistic;
    filter.GetStatistic(&statistic);
    EXPECT_EQ(
        statistic.GetPacketCount() + statistic.GetDropCount() + statistic.GetRecorderDropCount(),
        0u);

    ASSERT_NO_FATAL_FAILURE(OpenAndLend(2));
    const Z::Result result = filter.Start();
    EXPECT_EQ(result.GetCode(), Z::GENERIC_ERROR);
    const std::string text = result.GetDescription(), prefix = "Cannot open libpcap. Error = ";
    EXPECT_TRUE(text.rfind(prefix, 0) == 0 && text.size() > prefix.size() + 5) << text;
    EXPECT_EQ(filter.Stop().GetCode(), Z::OK);
    Drain(2);
    EXPECT_EQ(filter.Start().GetCode(), Z::GENERIC_ERROR) << "the filter can be started again";

    ASSERT_NO_FATAL_FAILURE(OpenAndLend(4));
    EXPECT_EQ(filter.Close().GetCode(), Z::OK);
    EXPECT_FALSE(filter.IsAcceptingBuffers()) << "Close stops";
    EXPECT_EQ(filter.QueueBuffer(&buffers[4]).GetCode(), Z::STATE_ERROR);
    EXPECT_EQ(filter.GetQueuedBufferCount(), 0u) << "closing forgets the lent Buffers";
    EXPECT_EQ(filter.RetrieveBuffer(buffer, 10).GetCode(), Z::NO_MORE_ENTRY);
}

// A Buffer lent while Stop runs is either taken before it (and handed back by the drain) or
// refused: none is lost in the filter, and none is accepted after a refusal.
TEST_F(CaptureFilter, LendingRacingStopIsHandedBackOrRefused) {
    for (int round = 0; round < 300; ++round) {
        ASSERT_NO_FATAL_FAILURE(OpenAndLend(0));
        std::atomic<bool> go{false};
        std::vector<Z::Result> results(4, Z::Result(Z::OK));
        std::thread lender([&] {
            while (!go) {
                std::this_thread::yield();
            }
            for (int i = 0; i < 4; ++i) {
                results[i] = filter.QueueBuffer(&buffers[i]);
                for (int spin = 0; spin < round % 7 * 50; ++spin) {
                    std::this_thread::yield();
                }
            }
        });
        go = true;
        for (int spin = 0; spin < round % 11 * 30; ++spin) {
            std::this_thread::yield();
        }
        EXPECT_EQ(filter.Stop().GetCode(), Z::OK);
        lender.join();
        int accepted = 0;
        for (int i = 0; i < 4; ++i) {
            if (results[i].IsPending()) {
                ASSERT_EQ(accepted++, i) << "accepted after a refusal, round " << round;
            } else {
                ASSERT_EQ(results[i].GetCode(), Z::STATE_ERROR) << "round " << round;
            }
        }
        ASSERT_NO_FATAL_FAILURE(Drain(accepted)) << "round " << round;
    }
}

// libpcap's default for the usual sizes; room for many of the largest packets, within what the
// recorder's memory check counts.
TEST(KernelBuffer, TwoMebibytesAtTheLeastAndRoomForTheLargestPackets) {
    for (unsigned int size : {32u, 200u, 1514u}) {
        EXPECT_EQ(Filter::GetKernelBufferBytes(size), uint64_t{2} << 20) << size;
    }
    const uint64_t largest = Filter::GetKernelBufferBytes(65535);
    EXPECT_GE(largest, uint64_t{Filter::kKernelBufferPackets} * (65535 + 64));
    EXPECT_LE(largest, uint64_t{64} << 20);
}

// What libpcap compiles for Ethernet passes, whatever the size; what it refuses comes back as
// INVALID_ARGUMENT with libpcap's own reason.
TEST(CaptureFilterExpression, PassesWhatLibpcapCompilesForEthernetAndTellsWhyOtherwise) {
    for (const char* valid :
         {"", "udp dst port 9999", "ether host 02:00:00:00:00:01",
          "tcp[tcpflags] & tcp-syn != 0 and not host 10.0.0.1", "vlan and ip6 and icmp6"}) {
        for (unsigned int size : {32u, 200u, 65535u, 70000u}) {
            EXPECT_EQ(Filter::CheckExpression(valid, size).GetCode(), Z::OK) << valid << size;
        }
    }
    const char* const invalid[][2] = {
        {"udp port", "syntax error"},
        {"udp dst port 99999", "illegal port number 99999 > 65535"},
        {"ip broadcast", "netmask not known"},                         // no netmask is assumed
        {"wlan addr1 02:00:00:00:00:01", "only supported on 802.11"},  // an Ethernet capture
    };
    for (const auto& tested : invalid) {
        const Z::Result checked = Filter::CheckExpression(tested[0], kMax);
        EXPECT_EQ(checked.GetCode(), Z::INVALID_ARGUMENT) << tested[0];
        const std::string reason = checked.HasDescription() ? checked.GetDescription() : "";
        EXPECT_NE(reason.find(tested[1]), std::string::npos) << tested[0] << ": " << reason;
    }
}

}  // namespace
