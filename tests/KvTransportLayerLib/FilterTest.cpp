#include "KvTransportLayerLib/Network/PCAP/LinuxFilter.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

using KvTransportLayerLib::Network::PCAP::Buffer;
using KvTransportLayerLib::Network::PCAP::Filter;
using KvTransportLayerLib::Network::PCAP::Statistic;
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
    void Lend(int count) {
        for (int i = 0; i < count; ++i) {
            ASSERT_EQ(filter.QueueBuffer(&buffers[i]).GetCode(), Z::PENDING);
        }
    }
    // Takes every Buffer back, in the order they came.
    std::vector<Buffer*> Drain() {
        std::vector<Buffer*> drained;
        Buffer* buffer = nullptr;
        for (int attempt = 0; attempt < 50; ++attempt) {
            const unsigned int code = filter.RetrieveBuffer(buffer, 100).GetCode();
            if (code == Z::NO_MORE_ENTRY) {
                EXPECT_EQ(buffer, nullptr);
                return drained;
            }
            if (code == Z::OK) {
                drained.push_back(buffer);
            }
        }
        ADD_FAILURE() << "the drain did not end";
        return drained;
    }

    Filter filter;
    Buffer buffers[5];
};

TEST_F(CaptureFilter, OpenRefusesOversizedPacketsAndAdapterNames) {
    EXPECT_EQ(filter.Open("Nothing", "lo", 65536).GetCode(), Z::GENERIC_ERROR);
    const std::string tooLong(512, 'e');
    EXPECT_EQ(filter.Open("Nothing", tooLong.c_str(), kMax).GetCode(), Z::INVALID_ARGUMENT);
    EXPECT_EQ(filter.Open("Nothing", nullptr, kMax).GetCode(), Z::INVALID_ARGUMENT);
    EXPECT_EQ(filter.QueueBuffer(&buffers[0]).GetCode(), Z::STATE_ERROR);  // not open
    EXPECT_EQ(filter.Start().GetCode(), Z::STATE_ERROR);
    EXPECT_EQ(filter.Stop().GetCode(), Z::OK);

    const std::string longest(511, 'e');
    EXPECT_EQ(filter.Open("Nothing", longest.c_str(), 65535).GetCode(), Z::OK);
    EXPECT_EQ(filter.Close().GetCode(), Z::OK);
}

TEST_F(CaptureFilter, LendsAtMostFourBuffersOfSufficientSizeUntilClosed) {
    ASSERT_EQ(filter.Open("Nothing", "lo", kMax).GetCode(), Z::OK);
    Buffer* buffer = &buffers[0];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(filter.RetrieveBuffer(buffer, 30000).GetCode(), Z::NO_MORE_ENTRY);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
    EXPECT_EQ(buffer, nullptr);

    EXPECT_EQ(filter.QueueBuffer(nullptr).GetCode(), Z::INVALID_ARGUMENT);
    Buffer empty;
    EXPECT_EQ(filter.QueueBuffer(&empty).GetCode(), Z::INVALID_ARGUMENT);
    ASSERT_EQ(buffers[0].Allocate(kMax + 15).GetCode(), Z::OK);
    EXPECT_EQ(filter.QueueBuffer(&buffers[0]).GetCode(), Z::DRIVER_ERROR);
    EXPECT_EQ(filter.GetQueuedBufferCount(), 0u);
    ASSERT_EQ(buffers[0].Allocate(kMax + 16).GetCode(), Z::OK);
    Lend(4);
    EXPECT_EQ(filter.QueueBuffer(&buffers[4]).GetCode(), Z::NO_MORE_ENTRY);
    EXPECT_EQ(filter.GetQueuedBufferCount(), 4u);
    EXPECT_EQ(filter.RetrieveBuffer(buffer, 10).GetCode(), Z::TIMEOUT);
    EXPECT_EQ(buffer, nullptr);

    EXPECT_EQ(filter.Close().GetCode(), Z::OK);
    EXPECT_EQ(filter.GetQueuedBufferCount(), 0u);
    EXPECT_EQ(filter.RetrieveBuffer(buffer, 10).GetCode(), Z::NO_MORE_ENTRY);
    ASSERT_EQ(filter.Open("Nothing", "lo", kMax).GetCode(), Z::OK);
    Lend(4);
    ASSERT_EQ(filter.Open("Nothing", "lo", kMax).GetCode(), Z::OK);  // reopening forgets too
    EXPECT_EQ(filter.GetQueuedBufferCount(), 0u);
}

// An owner draining a filter that was opened but never started must still come to an end.
TEST_F(CaptureFilter, StopOfAFilterNeverStartedHandsBackTheBuffersInOrder) {
    ASSERT_EQ(filter.Open("Nothing", "lo", kMax).GetCode(), Z::OK);
    Lend(4);
    Statistic statistic;
    statistic.SetPacketCount(9);
    filter.GetStatistic(&statistic);
    EXPECT_EQ(statistic.GetPacketCount(), 0u);
    EXPECT_EQ(statistic.GetDropCount(), 0u);
    EXPECT_EQ(filter.Stop().GetCode(), Z::OK);
    const std::vector<Buffer*> drained = Drain();
    ASSERT_EQ(drained.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(drained[i], &buffers[i]);
        EXPECT_EQ(drained[i]->GetPacketCount(), 0u);
        EXPECT_EQ(drained[i]->GetDataLength(), 0u);
    }
    EXPECT_EQ(filter.GetQueuedBufferCount(), 0u);
}

// libpcap opens the adapter on the capture thread: Start must report its outcome.
TEST_F(CaptureFilter, StartReportsThatLibpcapCannotOpenTheAdapter) {
    const std::string adapter = "kvnone" + std::to_string(getpid() % 100000);
    ASSERT_EQ(filter.Open("Nothing", adapter.c_str(), kMax).GetCode(), Z::OK);
    Lend(2);
    const Z::Result result = filter.Start();
    EXPECT_EQ(result.GetCode(), Z::GENERIC_ERROR);
    const std::string prefix = "Cannot open libpcap. Error = ";
    const std::string description = result.GetDescription();
    ASSERT_EQ(description.compare(0, prefix.size(), prefix), 0) << description;
    EXPECT_GT(description.size(), prefix.size() + 5) << "libpcap's reason is missing";
    if (geteuid() == 0) {
        EXPECT_NE(description.find(adapter), std::string::npos) << description;
    }

    // Nothing was captured; the lent Buffers come back at once, and the filter can be reused.
    EXPECT_EQ(filter.Stop().GetCode(), Z::OK);
    const std::vector<Buffer*> drained = Drain();
    ASSERT_EQ(drained.size(), 2u);
    EXPECT_EQ(drained[0], &buffers[0]);
    EXPECT_EQ(drained[1], &buffers[1]);
    EXPECT_EQ(filter.Start().GetCode(), Z::GENERIC_ERROR);
    EXPECT_EQ(filter.Close().GetCode(), Z::OK);
}

}  // namespace
