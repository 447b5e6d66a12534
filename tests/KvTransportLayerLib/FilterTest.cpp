#include "KvTransportLayerLib/Network/PCAP/LinuxFilter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

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
    void Lend(int count) {
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

// Refusals, then the Buffers come back (a drain ends) when the filter was never started or
// libpcap could not open the adapter on the capture thread; Start tells libpcap's reason.
TEST_F(CaptureFilter, RefusesBadInputAndHandsTheBuffersBackWhenNotCapturing) {
    EXPECT_EQ(filter.Open("Nothing", "lo", 65536).GetCode(), Z::GENERIC_ERROR);
    EXPECT_EQ(filter.Open("Nothing", std::string(512, 'e').c_str(), kMax).GetCode(),
              Z::INVALID_ARGUMENT);
    EXPECT_EQ(filter.Open("Nothing", nullptr, kMax).GetCode(), Z::INVALID_ARGUMENT);
    EXPECT_EQ(filter.QueueBuffer(&buffers[0]).GetCode(), Z::STATE_ERROR);  // not open
    EXPECT_EQ(filter.Open("Nothing", std::string(511, 'e').c_str(), 65535).GetCode(), Z::OK);
    ASSERT_EQ(filter.Open("Nothing", "kvnone", kMax).GetCode(), Z::OK);
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
    Lend(4);
    EXPECT_EQ(filter.QueueBuffer(&buffers[4]).GetCode(), Z::NO_MORE_ENTRY);
    EXPECT_EQ(filter.RetrieveBuffer(buffer, 10).GetCode(), Z::TIMEOUT);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(filter.Stop().GetCode(), Z::OK);
    Drain(4);
    Lend(2);
    const Z::Result result = filter.Start();
    EXPECT_EQ(result.GetCode(), Z::GENERIC_ERROR);
    const std::string text = result.GetDescription(), prefix = "Cannot open libpcap. Error = ";
    EXPECT_TRUE(text.rfind(prefix, 0) == 0 && text.size() > prefix.size() + 5) << text;
    EXPECT_EQ(filter.Stop().GetCode(), Z::OK);
    Drain(2);
    EXPECT_EQ(filter.Start().GetCode(), Z::GENERIC_ERROR) << "the filter can be started again";
    Lend(4);
    EXPECT_EQ(filter.Close().GetCode(), Z::OK);
    EXPECT_EQ(filter.GetQueuedBufferCount(), 0u) << "closing forgets the lent Buffers";
    EXPECT_EQ(filter.RetrieveBuffer(buffer, 10).GetCode(), Z::NO_MORE_ENTRY);
}

}  // namespace
