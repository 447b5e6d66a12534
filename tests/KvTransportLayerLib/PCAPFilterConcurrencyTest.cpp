#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "KvTransportLayerLib/Network/PCAP/PCAPFilter.h"

namespace {

constexpr uint32_t kMax = 300;
constexpr uint32_t kPackets = 200000;
constexpr uint32_t kAreaSize = 8192;

uint8_t PayloadByte(uint32_t sequence, uint32_t offset) {
    return static_cast<uint8_t>(sequence * 31u + offset);
}

uint32_t LengthOf(uint32_t sequence) {
    return 4 + (sequence * 37u) % (kMax + 100);
}

uint32_t ReadU32(const uint8_t* at) {
    uint32_t value;
    std::memcpy(&value, at, sizeof(value));
    return value;
}

// Lengths, bytes and ever increasing sequence numbers of an area's records; false on a fault.
bool CheckArea(const uint8_t* area, uint32_t dataLength, uint32_t packetCount,
               int64_t* lastSequence, uint32_t* storedTotal) {
    uint32_t offset = 0;
    uint32_t records = 0;
    while (offset < dataLength) {
        const uint32_t sequence = ReadU32(area + offset);
        const uint32_t stored = ReadU32(area + offset + 8);
        const uint32_t wire = LengthOf(sequence);
        if (static_cast<int64_t>(sequence) <= *lastSequence ||
            ReadU32(area + offset + 12) != wire || stored != (wire < kMax ? wire : kMax) ||
            ReadU32(area + offset + 4) != sequence % 1000000u ||
            ReadU32(area + offset + 16) != sequence || offset + 16 + stored > dataLength) {
            ADD_FAILURE() << "bad record header for sequence " << sequence;
            return false;
        }
        for (uint32_t i = 4; i < stored; ++i) {
            if (area[offset + 16 + i] != PayloadByte(sequence, i)) {
                ADD_FAILURE() << "bad payload byte in sequence " << sequence;
                return false;
            }
        }
        *lastSequence = sequence;
        offset += 16 + stored;
        ++records;
    }
    EXPECT_EQ(offset, dataLength);
    EXPECT_EQ(records, packetCount);
    *storedTotal += records;
    return offset == dataLength && records == packetCount;
}

// A producer stores while a consumer retrieves and lends areas again: nothing is lost unseen.
TEST(FilterCoreConcurrency, EveryPacketStoredInOrderOrCountedAsDropped) {
    PCAP_FilterContext core;
    ASSERT_EQ(PCAP_FilterInit(&core, kMax), PCAP_FILTER_SUCCESS);
    PCAP_FilterStart(&core);
    std::vector<std::vector<uint8_t>> areas(5, std::vector<uint8_t>(kAreaSize));
    std::vector<uint8_t*> lent;  // lending order, oldest first
    for (uint32_t i = 0; i < 4; ++i) {
        ASSERT_EQ(PCAP_FilterQueueBuffer(&core, areas[i].data(), kAreaSize), PCAP_FILTER_SUCCESS);
        lent.push_back(areas[i].data());
    }

    std::atomic<bool> produced{false};
    std::thread producer([&] {
        std::vector<uint8_t> packet(kMax + 100);
        for (uint32_t sequence = 0; sequence < kPackets; ++sequence) {
            const uint32_t wire = LengthOf(sequence);
            for (uint32_t i = 4; i < wire && i < kMax; ++i) {
                packet[i] = PayloadByte(sequence, i);
            }
            std::memcpy(packet.data(), &sequence, 4);
            OS_Lock(&core.lock);
            PCAP_FilterProcessPacketAt(&core, packet.data(), wire < kMax ? wire : kMax, wire,
                                       sequence, sequence % 1000000u);
            OS_Unlock(&core.lock);
            if (sequence % 4096 == 0) {
                std::this_thread::yield();  // lets the consumer fall behind now and then
            }
        }
        produced = true;
    });

    int64_t lastSequence = -1;
    uint32_t stored = 0;
    uint32_t dropped = 0;
    uint8_t* spare = areas[4].data();
    bool stopped = false;
    for (int round = 0; round < 1000000; ++round) {
        uint32_t dataLength, packetCount, areaDropped;
        const int code =
            PCAP_FilterRetrieveBuffer(&core, 1000, &dataLength, &packetCount, &areaDropped);
        if (code == PCAP_FILTER_NOTHING_QUEUED) {
            break;
        }
        if (code == PCAP_FILTER_SUCCESS) {
            uint8_t* area = lent.front();
            lent.erase(lent.begin());
            if (!CheckArea(area, dataLength, packetCount, &lastSequence, &stored)) {
                break;
            }
            dropped += areaDropped;
            if (!stopped) {
                EXPECT_EQ(PCAP_FilterQueueBuffer(&core, spare, kAreaSize), PCAP_FILTER_SUCCESS);
                lent.push_back(spare);
                spare = area;
            }
        } else if (code != PCAP_FILTER_WAIT_FAILED) {
            ADD_FAILURE() << "retrieval failed with " << code;
            break;
        }
        if (produced && !stopped) {
            PCAP_FilterStop(&core);
            stopped = true;
        }
    }
    producer.join();
    ASSERT_TRUE(stopped);
    // Packets that arrived after the last lending are counted too.
    uint32_t dataLength, packetCount, areaDropped;
    EXPECT_EQ(PCAP_FilterRetrieveBuffer(&core, 0, &dataLength, &packetCount, &areaDropped),
              PCAP_FILTER_NOTHING_QUEUED);
    OS_Lock(&core.lock);
    dropped += core.dropped;
    OS_Unlock(&core.lock);
    PCAP_FilterClose(&core);

    EXPECT_EQ(stored + dropped, kPackets);
    EXPECT_GT(stored, 0u);
    EXPECT_TRUE(lent.empty());
}

}  // namespace
