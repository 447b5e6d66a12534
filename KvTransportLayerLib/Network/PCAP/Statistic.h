#pragma once

namespace KvTransportLayerLib {
namespace Network {
namespace PCAP {

// Capture counters reported by the Filter.
class Statistic {
public:
    Statistic() = default;
    Statistic(const Statistic&) = default;
    Statistic& operator=(const Statistic&) = default;
    virtual ~Statistic() = default;

    // Packets in the Buffers handed back since the Filter was last started.
    unsigned int GetPacketCount() const { return mPacketCount; }
    // Packets libpcap reports as dropped.
    unsigned int GetDropCount() const { return mDropCount; }
    // Packets the recorder itself dropped because no lent Buffer had room for them.
    unsigned int GetRecorderDropCount() const { return mRecorderDropCount; }
    void SetPacketCount(unsigned int count) { mPacketCount = count; }
    void SetDropCount(unsigned int count) { mDropCount = count; }
    void AddPacketCount(unsigned int count) { mPacketCount += count; }
    void AddDropCount(unsigned int count) { mDropCount += count; }
    void AddRecorderDropCount(unsigned int count) { mRecorderDropCount += count; }
    void Reset() {
        mPacketCount = 0;
        mDropCount = 0;
        mRecorderDropCount = 0;
    }

private:
    unsigned int mPacketCount = 0;
    unsigned int mDropCount = 0;
    unsigned int mRecorderDropCount = 0;
};

}  // namespace PCAP
}  // namespace Network
}  // namespace KvTransportLayerLib
