#include "KvTransportLayerLib/Network/PCAP/PCAPFilter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kMax = 200;
constexpr uint32_t kSmallest = kMax + PCAP_FILTER_RECORD_HEADER_SIZE;

uint32_t ReadU32(const uint8_t* at) {
    uint32_t value;
    std::memcpy(&value, at, sizeof(value));
    return value;
}

std::vector<uint8_t> Packet(uint32_t length, uint8_t seed) {
    std::vector<uint8_t> packet(length);
    for (uint32_t i = 0; i < length; ++i) {
        packet[i] = static_cast<uint8_t>(seed + i * 7);
    }
    return packet;
}

struct Retrieved {
    int code;
    uint32_t dataLength;
    uint32_t packetCount;
    uint32_t dropped;
};

class FilterCore : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(PCAP_FilterInit(&core, kMax), PCAP_FILTER_SUCCESS); }
    void TearDown() override { PCAP_FilterClose(&core); }

    int Lend(int area, uint32_t size = 4096) {
        return PCAP_FilterQueueBuffer(&core, areas[area].data(), size);
    }
    // Under the core's lock and with libpcap's timestamp, as the capture thread stores packets.
    int Process(const std::vector<uint8_t>& packet, uint32_t captured, uint32_t wire,
                uint32_t seconds = 1, uint32_t microseconds = 0) {
        OS_Lock(&core.lock);
        const int code =
            PCAP_FilterProcessPacketAt(&core, packet.data(), captured, wire, seconds, microseconds);
        OS_Unlock(&core.lock);
        return code;
    }
    Retrieved Retrieve(uint32_t timeoutMs = 0) {
        Retrieved r{};
        r.code =
            PCAP_FilterRetrieveBuffer(&core, timeoutMs, &r.dataLength, &r.packetCount, &r.dropped);
        return r;
    }

    PCAP_FilterContext core;
    std::vector<std::vector<uint8_t>> areas =
        std::vector<std::vector<uint8_t>>(5, std::vector<uint8_t>(4096));
};

// Host byte order, no padding, libpcap's time, cut to the maximum; captured 0 means the wire.
TEST_F(FilterCore, WritesTheExactRecordBytes) {
    ASSERT_EQ(Lend(0), PCAP_FILTER_SUCCESS);
    const std::vector<uint8_t> first = Packet(60, 1);
    const std::vector<uint8_t> large = Packet(1514, 9);
    ASSERT_EQ(Process(first, 60, 60, 0x01020304u, 999999u), PCAP_FILTER_SUCCESS);
    const uint32_t captured[] = {kMax, 0, 0, 1514};
    const uint32_t wire[] = {1514, 100, 1514, 1514};
    const uint32_t stored[] = {kMax, 100, kMax, kMax};
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(Process(large, captured[i], wire[i], 0xA0B0C0D0u + i, i), PCAP_FILTER_SUCCESS);
    }
    PCAP_FilterStop(&core);
    const Retrieved r = Retrieve();
    ASSERT_EQ(r.code, PCAP_FILTER_SUCCESS);
    EXPECT_EQ(r.packetCount, 5u);
    EXPECT_EQ(r.dataLength, 5u * 16u + 60u + 100u + 3u * kMax);

    const uint8_t* record = areas[0].data();
    const uint8_t header[16] = {0x04, 0x03, 0x02, 0x01, 0x3F, 0x42, 0x0F, 0x00,
                                60,   0,    0,    0,    60,   0,    0,    0};
    EXPECT_EQ(std::memcmp(record, header, 16), 0);  // little-endian on the target
    EXPECT_EQ(std::memcmp(record + 16, first.data(), 60), 0);
    record += 16 + 60;
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(ReadU32(record), 0xA0B0C0D0u + i);
        EXPECT_EQ(ReadU32(record + 4), i);
        EXPECT_EQ(ReadU32(record + 8), stored[i]);
        EXPECT_EQ(ReadU32(record + 12), wire[i]);
        EXPECT_EQ(std::memcmp(record + 16, large.data(), stored[i]), 0);
        record += 16 + stored[i];
    }
}

TEST_F(FilterCore, DropsWithoutRoomAndReportsOnTheNextRetrieval) {
    const std::vector<uint8_t> packet = Packet(64, 0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Process(packet, 64, 64), PCAP_FILTER_NO_ROOM);
    }
    EXPECT_EQ(Process(packet, 64, 0), PCAP_FILTER_NO_ROOM);  // counted before the length
    ASSERT_EQ(Lend(0), PCAP_FILTER_SUCCESS);
    EXPECT_EQ(Process(packet, 64, 0), PCAP_FILTER_SUCCESS);  // wire length 0: ignored
    EXPECT_EQ(core.slots[0].used, 0u);
    EXPECT_EQ(core.slots[0].count, 0u);
    PCAP_FilterStop(&core);
    const Retrieved r = Retrieve();
    ASSERT_EQ(r.code, PCAP_FILTER_SUCCESS);
    EXPECT_EQ(r.dropped, 4u);
    EXPECT_EQ(r.packetCount, 0u);
    EXPECT_EQ(r.dataLength, 0u);
    EXPECT_EQ(core.dropped, 0u);
}

TEST_F(FilterCore, RecordThatDoesNotFitMovesToTheNextArea) {
    // Room for exactly two 100-byte records in the first area, plus 10 spare bytes.
    const uint32_t firstSize = 2 * (16 + 100) + 10;
    ASSERT_GE(firstSize, kSmallest);
    ASSERT_EQ(Lend(0, firstSize), PCAP_FILTER_SUCCESS);
    ASSERT_EQ(Lend(1, kSmallest), PCAP_FILTER_SUCCESS);
    const std::vector<uint8_t> packet = Packet(100, 5);
    const std::vector<uint8_t> large = Packet(kMax, 6);
    ASSERT_EQ(Process(packet, 100, 100, 10, 1), PCAP_FILTER_SUCCESS);
    ASSERT_EQ(Process(packet, 100, 100, 10, 2), PCAP_FILTER_SUCCESS);
    // A retrieval that times out leaves the area lent and filling.
    EXPECT_EQ(Retrieve().code, PCAP_FILTER_WAIT_FAILED);
    EXPECT_EQ(core.waiters, 0u);
    ASSERT_EQ(Process(large, kMax, 300, 10, 3), PCAP_FILTER_SUCCESS);

    Retrieved r = Retrieve();
    ASSERT_EQ(r.code, PCAP_FILTER_SUCCESS);
    EXPECT_EQ(r.packetCount, 2u);
    EXPECT_EQ(r.dataLength, 2u * (16u + 100u));
    // The second area is filled to the byte; the next record completes it and finds no area.
    EXPECT_EQ(core.slots[1].used, kSmallest);
    EXPECT_EQ(ReadU32(areas[1].data() + 4), 3u);
    EXPECT_EQ(Process(packet, 1, 1, 10, 4), PCAP_FILTER_NO_ROOM);
    r = Retrieve();
    ASSERT_EQ(r.code, PCAP_FILTER_SUCCESS);
    EXPECT_EQ(r.packetCount, 1u);
    EXPECT_EQ(r.dataLength, kSmallest);
    EXPECT_EQ(r.dropped, 1u);
    EXPECT_EQ(Retrieve().code, PCAP_FILTER_NOTHING_QUEUED);
}

TEST_F(FilterCore, StopHandsBackEveryAreaThenNothingAndTheRingGoesOn) {
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(Lend(i), PCAP_FILTER_SUCCESS);
    }
    EXPECT_EQ(Lend(4), PCAP_FILTER_NO_ROOM);  // four at most, one slot stays free
    const std::vector<uint8_t> packet = Packet(150, 2);
    for (uint32_t i = 0; i < 5; ++i) {
        ASSERT_EQ(Process(packet, 50 + i, 150, 1, i), PCAP_FILTER_SUCCESS);
    }
    PCAP_FilterStop(&core);
    Retrieved r = Retrieve(10000);
    ASSERT_EQ(r.code, PCAP_FILTER_SUCCESS);
    EXPECT_EQ(r.packetCount, 5u);
    EXPECT_EQ(r.dataLength, 5u * 16u + 50u + 51u + 52u + 53u + 54u);
    for (int i = 1; i < 4; ++i) {
        r = Retrieve(10000);
        ASSERT_EQ(r.code, PCAP_FILTER_SUCCESS);
        EXPECT_EQ(r.packetCount, 0u);
        EXPECT_EQ(r.dataLength, 0u);
    }
    EXPECT_EQ(Retrieve(10000).code, PCAP_FILTER_NOTHING_QUEUED);
    ASSERT_EQ(Lend(4), PCAP_FILTER_SUCCESS);
    ASSERT_EQ(Process(packet, 150, 150, 2, 0), PCAP_FILTER_SUCCESS);
    PCAP_FilterStop(&core);
    EXPECT_EQ(Retrieve().packetCount, 1u);
    EXPECT_EQ(ReadU32(areas[4].data()), 2u);
}

TEST_F(FilterCore, OnlyOneRetrievalWaitsAtATime) {
    ASSERT_EQ(Lend(0), PCAP_FILTER_SUCCESS);
    Retrieved first{};
    std::thread waiter([&] { first = Retrieve(60000); });
    bool waiting = false;
    const uint64_t deadline = OS_TimeGetUS() + 30000000u;
    while (!waiting && OS_TimeGetUS() < deadline) {
        OS_Lock(&core.lock);
        waiting = core.waiters == 1;
        OS_Unlock(&core.lock);
        std::this_thread::yield();
    }
    ASSERT_TRUE(waiting);
    EXPECT_EQ(Retrieve(0).code, PCAP_FILTER_ALREADY_WAITING);
    PCAP_FilterStop(&core);  // completes the area and wakes the waiter
    waiter.join();
    EXPECT_EQ(first.code, PCAP_FILTER_SUCCESS);
    EXPECT_EQ(core.waiters, 0u);
}

TEST(FilterCoreEvents, DeadlinesCarryWholeSeconds) {
    for (uint64_t timeoutUs : {0ull, 999999ull, 1999999ull, 123456789ull}) {
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        timespec deadline;
        TimespecForTimeoutConv(&deadline, timeoutUs);
        EXPECT_GE(deadline.tv_nsec, 0);
        EXPECT_LT(deadline.tv_nsec, 1000000000);
        const int64_t nowNs = int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
        const int64_t deadlineNs = int64_t{deadline.tv_sec} * 1000000000 + deadline.tv_nsec;
        EXPECT_GE(deadlineNs - nowNs, static_cast<int64_t>(timeoutUs) * 1000);
        EXPECT_LT(deadlineNs - nowNs, static_cast<int64_t>(timeoutUs) * 1000 + 5000000000);
    }
}

}  // namespace
