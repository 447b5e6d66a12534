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
constexpr uint32_t kAreas = 5;

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

struct Tally {
    uint32_t stored = 0;
    uint32_t dropped = 0;
    int64_t lastSequence = -1;
    bool intact = true;
    std::string fault;
};

// Checks every record of a handed-back area: consistent lengths, the packet's own bytes, and
// sequence numbers strictly increasing across areas.
void CheckArea(const uint8_t* area, uint32_t dataLength, uint32_t packetCount, Tally* tally) {
    uint32_t offset = 0;
    uint32_t records = 0;
    while (offset < dataLength && tally->intact) {
        const uint32_t sequence = ReadU32(area + offset);
        const uint32_t stored = ReadU32(area + offset + 8);
        const uint32_t wire = ReadU32(area + offset + 12);
        const uint32_t expectedWire = LengthOf(sequence);
        const uint32_t expectedStored = expectedWire < kMax ? expectedWire : kMax;
        if (static_cast<int64_t>(sequence) <= tally->lastSequence || wire != expectedWire ||
            stored != expectedStored || ReadU32(area + offset + 4) != sequence % 1000000u ||
            ReadU32(area + offset + 16) != sequence || offset + 16 + stored > dataLength) {
            tally->intact = false;
            tally->fault = "bad record header for sequence " + std::to_string(sequence);
            return;
        }
        for (uint32_t i = 4; i < stored; ++i) {
            if (area[offset + 16 + i] != PayloadByte(sequence, i)) {
                tally->intact = false;
                tally->fault = "bad payload byte in sequence " + std::to_string(sequence);
                return;
            }
        }
        tally->lastSequence = sequence;
        offset += 16 + stored;
        ++records;
    }
    if (offset != dataLength || records != packetCount) {
        tally->intact = false;
        tally->fault = "data length or packet count disagree with the records";
    }
    tally->stored += records;
}

// A producer stores numbered packets under the core's lock while a consumer retrieves areas,
// checks them and lends them again: every packet is stored intact and in order, or counted
// as dropped.
TEST(FilterCoreConcurrency, EveryPacketStoredInOrderOrCountedAsDropped) {
    PCAP_FilterContext core;
    ASSERT_EQ(PCAP_FilterInit(&core, kMax), PCAP_FILTER_SUCCESS);
    PCAP_FilterStart(&core);
    std::vector<std::vector<uint8_t>> areas(kAreas, std::vector<uint8_t>(kAreaSize));
    uint32_t nextArea = 0;
    std::vector<uint8_t*> lent;  // lending order, oldest first
    for (; nextArea < 4; ++nextArea) {
        ASSERT_EQ(PCAP_FilterQueueBuffer(&core, areas[nextArea].data(), kAreaSize),
                  PCAP_FILTER_SUCCESS);
        lent.push_back(areas[nextArea].data());
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

    Tally tally;
    uint8_t* spare = areas[4].data();
    bool stopped = false;
    for (int round = 0; round < 1000000 && tally.intact; ++round) {
        uint32_t dataLength, packetCount, dropped;
        const int code =
            PCAP_FilterRetrieveBuffer(&core, 1000, &dataLength, &packetCount, &dropped);
        if (code == PCAP_FILTER_NOTHING_QUEUED) {
            break;
        }
        if (code == PCAP_FILTER_WAIT_FAILED) {
            if (produced && !stopped) {
                PCAP_FilterStop(&core);
                stopped = true;
            }
            continue;
        }
        ASSERT_EQ(code, PCAP_FILTER_SUCCESS);
        uint8_t* area = lent.front();
        lent.erase(lent.begin());
        CheckArea(area, dataLength, packetCount, &tally);
        tally.dropped += dropped;
        if (!stopped) {
            ASSERT_EQ(PCAP_FilterQueueBuffer(&core, spare, kAreaSize), PCAP_FILTER_SUCCESS);
            lent.push_back(spare);
            spare = area;
        }
        if (produced && !stopped) {
            PCAP_FilterStop(&core);
            stopped = true;
        }
    }
    producer.join();
    ASSERT_TRUE(stopped);
    // Packets that arrived after the last lending are counted too.
    uint32_t dataLength, packetCount, dropped;
    EXPECT_EQ(PCAP_FilterRetrieveBuffer(&core, 0, &dataLength, &packetCount, &dropped),
              PCAP_FILTER_NOTHING_QUEUED);
    OS_Lock(&core.lock);
    tally.dropped += core.dropped;
    OS_Unlock(&core.lock);
    PCAP_FilterClose(&core);

    ASSERT_TRUE(tally.intact) << tally.fault;
    EXPECT_EQ(tally.stored + tally.dropped, kPackets);
    EXPECT_GT(tally.stored, 0u);
    EXPECT_TRUE(lent.empty());
}

}  // namespace
