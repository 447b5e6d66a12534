#include <gtest/gtest.h>

#include <stdio.h>

#include <cstring>
#include <vector>

#include "KvTransportLayerLib/Network/PCAP/Buffer.h"
#include "KvTransportLayerLib/Network/PCAP/Queue.h"

using KvTransportLayerLib::Network::Queue;
using KvTransportLayerLib::Network::PCAP::Buffer;
namespace Z = ZrUtilsLib;

namespace {

TEST(CaptureBuffer, OwnedAndAttachedAreasKeepTheirOwners) {
    Buffer buffer;
    unsigned char area[64];
    EXPECT_EQ(buffer.Allocate(0).GetCode(), Z::INVALID_ARGUMENT);
    EXPECT_EQ(buffer.Attach(nullptr, 64).GetCode(), Z::INVALID_ARGUMENT);
    EXPECT_EQ(buffer.Attach(area, 0).GetCode(), Z::INVALID_ARGUMENT);
    EXPECT_EQ(buffer.GetData(), nullptr);

    ASSERT_EQ(buffer.Allocate(1000).GetCode(), Z::OK);
    EXPECT_TRUE(buffer.IsOwned());
    unsigned char* owned = buffer.GetData();
    ASSERT_NE(owned, nullptr);
    EXPECT_EQ(buffer.Detach().GetCode(), Z::OK);  // an owned area stays
    EXPECT_EQ(buffer.GetData(), owned);
    EXPECT_EQ(buffer.GetSize(), 1000u);
    ASSERT_EQ(buffer.Allocate(2000).GetCode(), Z::OK);  // releases the old area first
    EXPECT_EQ(buffer.GetSize(), 2000u);

    std::vector<unsigned char> outside(300);
    ASSERT_EQ(buffer.Attach(outside.data(), 300).GetCode(), Z::OK);
    EXPECT_FALSE(buffer.IsOwned());
    buffer.SetDataLength(10);
    buffer.SetPacketCount(1);
    EXPECT_EQ(buffer.Free().GetCode(), Z::OK);  // an attached area stays
    EXPECT_EQ(buffer.GetData(), outside.data());
    EXPECT_EQ(buffer.GetSize(), 300u);
    EXPECT_EQ(buffer.Detach().GetCode(), Z::OK);
    EXPECT_EQ(buffer.GetData(), nullptr);
    EXPECT_EQ(buffer.GetSize(), 0u);
    EXPECT_EQ(buffer.GetDataLength(), 0u);
    EXPECT_EQ(buffer.GetPacketCount(), 0u);
}

TEST(CaptureBuffer, FWriteWritesTheValidBytesOrReportsAShortWrite) {
    Buffer buffer;
    ASSERT_EQ(buffer.Allocate(256).GetCode(), Z::OK);
    for (unsigned int i = 0; i < 256; ++i) {
        buffer.GetData()[i] = static_cast<unsigned char>(i);
    }
    char* text = nullptr;
    size_t textSize = 0;
    FILE* memory = open_memstream(&text, &textSize);
    ASSERT_NE(memory, nullptr);
    EXPECT_EQ(buffer.FWrite(memory).GetCode(), Z::OK);  // data length 0: nothing written
    buffer.SetDataLength(100);
    EXPECT_EQ(buffer.FWrite(memory).GetCode(), Z::OK);
    fclose(memory);
    ASSERT_EQ(textSize, 100u);
    EXPECT_EQ(std::memcmp(text, buffer.GetData(), 100), 0);
    free(text);

    FILE* full = fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    setvbuf(full, nullptr, _IONBF, 0);
    EXPECT_EQ(buffer.FWrite(full).GetCode(), Z::FILE_ERROR);
    fclose(full);

    buffer.SetDataLength(257);  // never past the area
    EXPECT_NE(buffer.FWrite(stdout).GetCode(), Z::OK);
}

TEST(BufferQueue, HoldsOneLessThanItsCapacityFirstInFirstOutAcrossTheWrap) {
    Queue<Buffer> queue;
    Buffer buffers[7];
    EXPECT_EQ(queue.Pop(), nullptr);  // no storage
    EXPECT_FALSE(queue.Push(&buffers[0]));
    EXPECT_FALSE(queue.SetCapacity(0));
    ASSERT_TRUE(queue.SetCapacity(5));
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(queue.Push(&buffers[i]));
    }
    EXPECT_FALSE(queue.Push(&buffers[4]));
    EXPECT_EQ(queue.GetCount(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(queue.Pop(), &buffers[i]);
    }
    EXPECT_EQ(queue.Pop(), nullptr);

    ASSERT_TRUE(queue.SetCapacity(3));
    int pushed = 0;
    int popped = 0;
    for (int round = 0; round < 5; ++round) {
        EXPECT_TRUE(queue.Push(&buffers[pushed++ % 7]));
        EXPECT_TRUE(queue.Push(&buffers[pushed++ % 7]));
        EXPECT_EQ(queue.Pop(), &buffers[popped++ % 7]);
        EXPECT_EQ(queue.Pop(), &buffers[popped++ % 7]);
    }
    EXPECT_TRUE(queue.IsEmpty());
    EXPECT_TRUE(queue.Push(&buffers[0]));
    queue.FreeStorage();
    EXPECT_EQ(queue.Pop(), nullptr);
    EXPECT_FALSE(queue.Push(&buffers[0]));
}

}  // namespace
