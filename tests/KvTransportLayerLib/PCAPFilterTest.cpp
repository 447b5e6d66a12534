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

    int Process(const std::vector<uint8_t>& packet, uint32_t captured, uint32_t wire) {
        OS_Lock(&core.lock);
        const int code = PCAP_FilterProcessPacket(&core, packet.data(), captured, wire);
        OS_Unlock(&core.lock);
        return code;
    }
    int ProcessAt(const std::vector<uint8_t>& packet, uint32_t captured, uint32_t wire,
                  uint32_t seconds, uint32_t microseconds) {
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
    std::vector<uint8_t> areas[5] = {std::vector<uint8_t>(4096), std::vector<uint8_t>(4096),
                                     std::vector<uint8_t>(4096), std::vector<uint8_t>(4096),
                                     std::vector<uint8_t>(4096)};
};

TEST(FilterCoreInit, CodesForContextAndPacketSize) {
    EXPECT_EQ(PCAP_FilterInit(nullptr, 200), PCAP_FILTER_NO_CONTEXT);
    EXPECT_EQ(PCAP_FilterClose(nullptr), PCAP_FILTER_SUCCESS);
    PCAP_FilterContext core;
    EXPECT_EQ(PCAP_FilterInit(&core, 65536), PCAP_FILTER_PACKET_SIZE_TOO_LARGE);
    ASSERT_EQ(PCAP_FilterInit(&core, 65535), PCAP_FILTER_SUCCESS);
    EXPECT_EQ(core.maximumPacketSize, 65535u);
    EXPECT_EQ(core.queued, 0u);
    EXPECT_EQ(core.fillable, 0u);
    EXPECT_EQ(PCAP_FilterStart(&core), PCAP_FILTER_SUCCESS);
    EXPECT_EQ(core.running, 1u);
    EXPECT_EQ(PCAP_FilterStop(&core), PCAP_FILTER_SUCCESS);
    EXPECT_EQ(core.running, 0u);
    EXPECT_EQ(PCAP_FilterClose(&core), PCAP_FILTER_SUCCESS);
    EXPECT_EQ(PCAP_Cancel(), PCAP_FILTER_CANCELLED);
}

TEST_F(FilterCore, LendsAtMostFourAreasOfSufficientSize) {
    EXPECT_EQ(PCAP_FilterQueueBuffer(&core, areas[0].data(), kSmallest - 1),
              PCAP_FILTER_AREA_TOO_SMALL);
    EXPECT_EQ(core.queued, 0u);
    EXPECT_EQ(PCAP_FilterQueueBuffer(&core, nullptr, 4096), PCAP_FILTER_AREA_TOO_SMALL);
    EXPECT_EQ(PCAP_FilterQueueBuffer(&core, areas[0].data(), kSmallest), PCAP_FILTER_SUCCESS);
    for (int i = 1; i < 4; ++i) {
        EXPECT_EQ(PCAP_FilterQueueBuffer(&core, areas[i].data(), 4096), PCAP_FILTER_SUCCESS);
    }
    EXPECT_EQ(PCAP_FilterQueueBuffer(&core, areas[4].data(), 4096), PCAP_FILTER_NO_ROOM);
    EXPECT_EQ(core.queued, 4u);
    EXPECT_EQ(core.fillable, 4u);
    EXPECT_EQ(PCAP_FilterQueueBuffer(nullptr, areas[4].data(), 4096), PCAP_FILTER_NO_CONTEXT);
}

TEST_F(FilterCore, WritesTheExactRecordBytes) {
    ASSERT_EQ(PCAP_FilterQueueBuffer(&core, areas[0].data(), 4096), PCAP_FILTER_SUCCESS);
    std::vector<uint8_t> first = Packet(60, 1);
    std::vector<uint8_t> second = Packet(1514, 9);
    ASSERT_EQ(ProcessAt(first, 60, 60, 0x01020304u, 999999u), PCAP_FILTER_SUCCESS);
    ASSERT_EQ(ProcessAt(second, kMax, 1514, 0xA0B0C0D0u, 0u), PCAP_FILTER_SUCCESS);
    PCAP_FilterStop(&core);
    const Retrieved r = Retrieve();
    ASSERT_EQ(r.code, PCAP_FILTER_SUCCESS);
    EXPECT_EQ(r.packetCount, 2u);
    EXPECT_EQ(r.dataLength, 16u + 60u + 16u + kMax);

    const uint8_t* area = areas[0].data();
    // Host byte order (little-endian on the target), no padding between records.
    const uint8_t header[16] = {0x04, 0x03, 0x02, 0x01, 0x3F, 0x42, 0x0F, 0x00,
                                60,   0,    0,    0,    60,   0,    0,    0};
    EXPECT_EQ(std::memcmp(area, header, 16), 0);
    EXPECT_EQ(std::memcmp(area + 16, first.data(), 60), 0);
    const uint8_t* next = area + 16 + 60;
    EXPECT_EQ(ReadU32(next), 0xA0B0C0D0u);
    EXPECT_EQ(ReadU32(next + 4), 0u);
    EXPECT_EQ(ReadU32(next + 8), kMax);
    EXPECT_EQ(ReadU32(next + 12), 1514u);
    EXPECT_EQ(std::memcmp(next + 16, second.data(), kMax), 0);
}

TEST_F(FilterCore, StampsWithTheClockAndCutsToTheMaximumSize) {
    ASSERT_EQ(PCAP_FilterQueueBuffer(&core, areas[0].data(), 4096), PCAP_FILTER_SUCCESS);
    std::vector<uint8_t> packet = Packet(1514, 3);
    uint32_t beforeSeconds, beforeMicros, afterSeconds, afterMicros;
    OS_TimeSinceEpoch(&beforeSeconds, &beforeMicros);
    ASSERT_EQ(Process(packet, 0, 100), PCAP_FILTER_SUCCESS);      // 0: min(wire, maximum)
    ASSERT_EQ(Process(packet, 0, 1514), PCAP_FILTER_SUCCESS);     // 0: cut to the maximum
    ASSERT_EQ(Process(packet, 1514, 1514), PCAP_FILTER_SUCCESS);  // never beyond the maximum
    OS_TimeSinceEpoch(&afterSeconds, &afterMicros);
    PCAP_FilterStop(&core);
    const Retrieved r = Retrieve();
    ASSERT_EQ(r.packetCount, 3u);
    EXPECT_EQ(r.dataLength, 3u * 16u + 100u + 2u * kMax);

    const uint64_t before = uint64_t{beforeSeconds} * 1000000u + beforeMicros;
    const uint64_t after = uint64_t{afterSeconds} * 1000000u + afterMicros;
    const uint8_t* record = areas[0].data();
    const uint32_t expectedStored[3] = {100, kMax, kMax};
    const uint32_t expectedWire[3] = {100, 1514, 1514};
    for (int i = 0; i < 3; ++i) {
        const uint64_t stamp = uint64_t{ReadU32(record)} * 1000000u + ReadU32(record + 4);
        EXPECT_GE(stamp, before);
        EXPECT_LE(stamp, after);
        EXPECT_LT(ReadU32(record + 4), 1000000u);
        EXPECT_EQ(ReadU32(record + 8), expectedStored[i]);
        EXPECT_EQ(ReadU32(record + 12), expectedWire[i]);
        EXPECT_EQ(std::memcmp(record + 16, packet.data(), expectedStored[i]), 0);
        record += 16 + expectedStored[i];
    }
}

TEST_F(FilterCore, DropsWithoutRoomAndReportsOnTheNextRetrieval) {
    std::vector<uint8_t> packet = Packet(64, 0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Process(packet, 64, 64), PCAP_FILTER_NO_ROOM);
    }
    EXPECT_EQ(ProcessAt(packet, 64, 0, 1, 1), PCAP_FILTER_NO_ROOM);  // counted before length
    ASSERT_EQ(PCAP_FilterQueueBuffer(&core, areas[0].data(), 4096), PCAP_FILTER_SUCCESS);
    EXPECT_EQ(ProcessAt(packet, 64, 0, 1, 1), PCAP_FILTER_SUCCESS);  // wire length 0: ignored
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
    ASSERT_EQ(PCAP_FilterQueueBuffer(&core, areas[0].data(), firstSize), PCAP_FILTER_SUCCESS);
    ASSERT_EQ(PCAP_FilterQueueBuffer(&core, areas[1].data(), kSmallest), PCAP_FILTER_SUCCESS);
    std::vector<uint8_t> packet = Packet(100, 5);
    std::vector<uint8_t> large = Packet(kMax, 6);
    ASSERT_EQ(ProcessAt(packet, 100, 100, 10, 1), PCAP_FILTER_SUCCESS);
    ASSERT_EQ(ProcessAt(packet, 100, 100, 10, 2), PCAP_FILTER_SUCCESS);
    EXPECT_EQ(Retrieve().code, PCAP_FILTER_WAIT_FAILED);  // still filling
    ASSERT_EQ(ProcessAt(large, kMax, 300, 10, 3), PCAP_FILTER_SUCCESS);

    Retrieved r = Retrieve();
    ASSERT_EQ(r.code, PCAP_FILTER_SUCCESS);
    EXPECT_EQ(r.packetCount, 2u);
    EXPECT_EQ(r.dataLength, 2u * (16u + 100u));
    // The second area is filled to the byte; the next record completes it and finds no area.
    EXPECT_EQ(core.slots[1].used, kSmallest);
    EXPECT_EQ(ReadU32(areas[1].data() + 4), 3u);
    EXPECT_EQ(ProcessAt(packet, 1, 1, 10, 4), PCAP_FILTER_NO_ROOM);
    r = Retrieve();
    ASSERT_EQ(r.code, PCAP_FILTER_SUCCESS);
    EXPECT_EQ(r.packetCount, 1u);
    EXPECT_EQ(r.dataLength, kSmallest);
    EXPECT_EQ(r.dropped, 1u);
    EXPECT_EQ(Retrieve().code, PCAP_FILTER_NOTHING_QUEUED);
}

TEST_F(FilterCore, StopHandsBackEveryAreaThenNothing) {
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(PCAP_FilterQueueBuffer(&core, areas[i].data(), 4096), PCAP_FILTER_SUCCESS);
    }
    std::vector<uint8_t> packet = Packet(150, 2);
    uint32_t expected = 0;
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(ProcessAt(packet, 50 + i, 150, 1, i), PCAP_FILTER_SUCCESS);
        expected += 16 + 50 + i;
    }
    PCAP_FilterStop(&core);
    Retrieved r = Retrieve(10000);
    ASSERT_EQ(r.code, PCAP_FILTER_SUCCESS);
    EXPECT_EQ(r.packetCount, 5u);
    EXPECT_EQ(r.dataLength, expected);
    for (int i = 1; i < 4; ++i) {
        r = Retrieve(10000);
        ASSERT_EQ(r.code, PCAP_FILTER_SUCCESS);
        EXPECT_EQ(r.packetCount, 0u);
        EXPECT_EQ(r.dataLength, 0u);
    }
    EXPECT_EQ(Retrieve(10000).code, PCAP_FILTER_NOTHING_QUEUED);
    // The ring goes on after a full turn: lending again reuses the slots in order.
    ASSERT_EQ(PCAP_FilterQueueBuffer(&core, areas[4].data(), 4096), PCAP_FILTER_SUCCESS);
    ASSERT_EQ(ProcessAt(packet, 150, 150, 2, 0), PCAP_FILTER_SUCCESS);
    PCAP_FilterStop(&core);
    r = Retrieve();
    EXPECT_EQ(r.packetCount, 1u);
    EXPECT_EQ(ReadU32(areas[4].data()), 2u);
}

TEST_F(FilterCore, TimedOutRetrievalLeavesTheAreaLent) {
    ASSERT_EQ(PCAP_FilterQueueBuffer(&core, areas[0].data(), 4096), PCAP_FILTER_SUCCESS);
    std::vector<uint8_t> packet = Packet(80, 4);
    ASSERT_EQ(ProcessAt(packet, 80, 80, 5, 5), PCAP_FILTER_SUCCESS);
    EXPECT_EQ(Retrieve(20).code, PCAP_FILTER_WAIT_FAILED);
    EXPECT_EQ(core.queued, 1u);
    EXPECT_EQ(core.waiters, 0u);
    ASSERT_EQ(ProcessAt(packet, 80, 80, 5, 6), PCAP_FILTER_SUCCESS);
    PCAP_FilterStop(&core);
    const Retrieved r = Retrieve(20);
    ASSERT_EQ(r.code, PCAP_FILTER_SUCCESS);
    EXPECT_EQ(r.packetCount, 2u);
}

TEST_F(FilterCore, NothingLentAnswersAtOnce) {
    const uint64_t start = OS_TimeGetUS();
    EXPECT_EQ(Retrieve(60000).code, PCAP_FILTER_NOTHING_QUEUED);
    EXPECT_LT(OS_TimeGetUS() - start, 30000000u);  // far below the 60 s it would wait
}

TEST_F(FilterCore, OnlyOneRetrievalWaitsAtATime) {
    ASSERT_EQ(PCAP_FilterQueueBuffer(&core, areas[0].data(), 4096), PCAP_FILTER_SUCCESS);
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

TEST(FilterCoreEvents, ManualResetEventAndTimeouts) {
    OS_Event event;
    ASSERT_EQ(OS_EventInit(&event), OS_SUCCESS);
    EXPECT_EQ(OS_EventWaitWithTimeout(&event, 1000), OS_TIMEOUT);
    OS_EventSet(&event);
    EXPECT_EQ(OS_EventWaitWithTimeout(&event, 0), OS_SUCCESS);
    EXPECT_EQ(OS_EventWaitWithTimeout(&event, 0), OS_SUCCESS);  // a wait does not clear it
    OS_EventReset(&event);
    EXPECT_EQ(OS_EventWaitWithTimeout(&event, 0), OS_TIMEOUT);
    EXPECT_EQ(OS_EventFree(&event), OS_SUCCESS);
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
    const uint64_t first = OS_TimeGetUS();
    EXPECT_GE(OS_TimeGetPreciseUS(), first);
}

}  // namespace
