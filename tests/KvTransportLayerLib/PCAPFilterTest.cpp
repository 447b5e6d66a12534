// The packet filter core, alone and with a producer storing while a consumer retrieves.
#include "KvTransportLayerLib/Network/PCAP/PCAPFilter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <numeric>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kMax = 200;
constexpr uint32_t kSmallest = kMax + PCAP_FILTER_RECORD_HEADER_SIZE;

class FilterCore : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(PCAP_FilterInit(&core, kMax), PCAP_FILTER_SUCCESS);
        std::iota(packet.begin(), packet.end(), uint8_t{1});
    }
    void TearDown() override { PCAP_FilterClose(&core); }

    int Lend(int area, uint32_t size = 4096) {
        return PCAP_FilterQueueBuffer(&core, areas[area].data(), size);
    }
    // Under the core's lock and with libpcap's timestamp, as the capture thread stores packets.
    int Process(uint32_t captured, uint32_t wire, uint32_t seconds = 1, uint32_t micros = 0) {
        OS_Lock(&core.lock);
        const int code =
            PCAP_FilterProcessPacketAt(&core, packet.data(), captured, wire, seconds, micros);
        OS_Unlock(&core.lock);
        return code;
    }
    // Host byte order, no padding, libpcap's time, the stored length, the wire length, the data.
    std::vector<uint8_t> Record(uint32_t seconds, uint32_t micros, uint32_t stored, uint32_t wire) {
        const uint32_t header[4] = {seconds, micros, stored, wire};
        std::vector<uint8_t> record(sizeof(header) + stored);
        std::memcpy(record.data(), header, sizeof(header));
        std::copy(packet.begin(), packet.begin() + stored, record.begin() + sizeof(header));
        return record;
    }
    std::vector<uint8_t> Stored(int area) {
        return std::vector<uint8_t>(areas[area].begin(), areas[area].begin() + dataLength);
    }
    int Retrieve(uint32_t timeoutMs = 0) {
        return PCAP_FilterRetrieveBuffer(&core, timeoutMs, &dataLength, &packetCount, &dropped);
    }

    PCAP_FilterContext core;
    std::vector<uint8_t> packet = std::vector<uint8_t>(1514);
    std::vector<std::vector<uint8_t>> areas =
        std::vector<std::vector<uint8_t>>(5, std::vector<uint8_t>(4096));
    uint32_t dataLength = 0, packetCount = 0, dropped = 0;
};

// Records are cut to the maximum (captured 0 means the wire length) and never span two areas; what
// finds no room is dropped and reported once, by a retrieval or taken out of the core. The count of
// stored records covers the areas still lent and restarts with PCAP_FilterStart. The one retrieval
// that may wait (a minute: whole seconds carried) wakes when its area completes.
TEST_F(FilterCore, FillsAreasToTheByteCountsRecordsAndHandsDropsOverOnce) {
    EXPECT_EQ(Process(64, 64), PCAP_FILTER_NO_ROOM);
    EXPECT_EQ(Process(64, 0), PCAP_FILTER_NO_ROOM);  // counted before the length is looked at
    ASSERT_EQ(Lend(0, 2 * (16 + 100)), PCAP_FILTER_SUCCESS);  // two 100-byte records exactly
    ASSERT_EQ(Lend(1, kSmallest), PCAP_FILTER_SUCCESS);
    EXPECT_EQ(Process(64, 0), PCAP_FILTER_SUCCESS);  // wire length 0: ignored
    ASSERT_EQ(Process(0, 100, 10, 1), PCAP_FILTER_SUCCESS);
    PCAP_FilterStart(&core);
    EXPECT_EQ(PCAP_FilterRecordedCount(&core), 0u);
    ASSERT_EQ(Process(100, 100, 10, 2), PCAP_FILTER_SUCCESS);
    EXPECT_EQ(PCAP_FilterRecordedCount(&core), 1u) << "the area is still lent";
    EXPECT_EQ(Retrieve(), PCAP_FILTER_WAIT_FAILED) << "a timeout leaves the area filling";
    int waited = -1;
    std::thread waiter([&] { waited = Retrieve(60000); });
    bool waiting = false;
    for (const uint64_t end = OS_TimeGetUS() + 10000000u; !waiting && OS_TimeGetUS() < end;) {
        std::this_thread::yield();
        OS_Lock(&core.lock);
        waiting = core.waiters == 1;
        OS_Unlock(&core.lock);
    }
    EXPECT_TRUE(waiting);
    uint32_t length, count, drops;
    EXPECT_EQ(PCAP_FilterRetrieveBuffer(&core, 0, &length, &count, &drops),
              PCAP_FILTER_ALREADY_WAITING);
    const uint64_t completed = OS_TimeGetUS();
    EXPECT_EQ(Process(300, 300, 10, 3), PCAP_FILTER_SUCCESS);  // fills the second to the byte
    waiter.join();
    EXPECT_LT(OS_TimeGetUS() - completed, 10000000u) << "the waiting retrieval slept on";
    ASSERT_EQ(waited, PCAP_FILTER_SUCCESS);
    EXPECT_EQ(packetCount, 2u);
    std::vector<uint8_t> expected = Record(10, 1, 100, 100), second = Record(10, 2, 100, 100);
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(Stored(0), expected);
    EXPECT_EQ(dropped, 2u);
    EXPECT_EQ(Process(1, 1, 10, 4), PCAP_FILTER_NO_ROOM);  // completes it, finds no area
    EXPECT_EQ(Process(1, 1, 10, 5), PCAP_FILTER_NO_ROOM);
    EXPECT_EQ(PCAP_FilterPendingDropped(&core), 2u);
    EXPECT_EQ(PCAP_FilterPendingDropped(&core), 2u) << "looking does not take them";
    EXPECT_EQ(PCAP_FilterTakeDropped(&core), 2u);
    EXPECT_EQ(PCAP_FilterPendingDropped(&core), 0u);
    ASSERT_EQ(Retrieve(), PCAP_FILTER_SUCCESS);
    EXPECT_EQ(packetCount, 1u);
    EXPECT_EQ(Stored(1), Record(10, 3, kMax, 300));
    EXPECT_EQ(dropped, 0u) << "already taken";
    EXPECT_EQ(PCAP_FilterRecordedCount(&core), 2u) << "handing back does not change it";
    EXPECT_EQ(Retrieve(), PCAP_FILTER_NOTHING_QUEUED);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(Lend(i), i < 4 ? PCAP_FILTER_SUCCESS : PCAP_FILTER_NO_ROOM) << "one slot free";
    }
}

// A producer stores while the consumer retrieves and lends areas again (round the five, in
// order): every packet is stored intact and in order, or counted as dropped.
TEST_F(FilterCore, ConcurrentlyEveryPacketStoredInOrderOrCountedAsDropped) {
    constexpr uint32_t kPackets = 200000;
    const auto wireLength = [](uint32_t sequence) { return 4 + (sequence * 37u) % (kMax + 100); };
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(Lend(i), PCAP_FILTER_SUCCESS);
    }
    PCAP_FilterStart(&core);
    std::atomic<bool> produced{false};
    std::thread producer([&] {
        for (uint32_t sequence = 0; sequence < kPackets; ++sequence) {
            const uint32_t wire = wireLength(sequence);
            for (uint32_t i = 4; i < std::min(wire, kMax); ++i) {
                packet[i] = static_cast<uint8_t>(sequence * 31u + i);
            }
            std::memcpy(packet.data(), &sequence, 4);
            Process(std::min(wire, kMax), wire, sequence, sequence % 1000000u);
            if (sequence % 4096 == 0) {
                std::this_thread::yield();  // lets the consumer fall behind now and then
            }
        }
        produced = true;
    });
    int64_t last = -1;
    uint32_t lent = 4, retrieved = 0, stored = 0, drops = 0;
    bool stopped = false, damaged = false;
    for (int round = 0; round < 1000000 && !damaged; ++round) {
        const int code = Retrieve(1000);
        if (code == PCAP_FILTER_NOTHING_QUEUED) {
            break;
        }
        damaged = code != PCAP_FILTER_SUCCESS && code != PCAP_FILTER_WAIT_FAILED;
        EXPECT_FALSE(damaged) << "retrieval failed with " << code;
        if (code == PCAP_FILTER_SUCCESS) {
            const uint8_t* area = areas[retrieved++ % 5].data();
            uint32_t offset = 0, records = 0;
            for (uint32_t header[5]; offset < dataLength && !damaged; ++records) {
                std::memcpy(header, area + offset, sizeof(header));  // and the sequence number
                const uint32_t wire = wireLength(header[4]);
                damaged = int64_t{header[4]} <= last || header[0] != header[4] ||
                          header[1] != header[4] % 1000000u || header[3] != wire ||
                          header[2] != std::min(wire, kMax) || offset + 16 + header[2] > dataLength;
                for (uint32_t i = 4; i < header[2] && !damaged; ++i) {
                    damaged = area[offset + 16 + i] != static_cast<uint8_t>(header[4] * 31u + i);
                }
                EXPECT_FALSE(damaged) << "record of sequence " << header[4] << " is damaged";
                last = header[4];
                offset += 16 + header[2];
            }
            EXPECT_EQ(offset, dataLength);
            EXPECT_EQ(records, packetCount);
            stored += records;
            drops += dropped;
            if (!stopped) {  // the area retrieved before this one
                EXPECT_EQ(Lend((retrieved + 3) % 5), PCAP_FILTER_SUCCESS);
                ++lent;
            }
        }
        if (produced && !stopped) {
            PCAP_FilterStop(&core);
            stopped = true;
        }
    }
    producer.join();
    EXPECT_TRUE(stopped);
    EXPECT_EQ(retrieved, lent);
    drops += PCAP_FilterPendingDropped(&core);  // packets that arrived after the last lending
    EXPECT_EQ(stored + drops, kPackets);
    EXPECT_GT(stored, 0u);
}

}  // namespace
