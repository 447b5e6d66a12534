#pragma once

#include <cstdio>

#include "ZrUtilsLib/Result.h"

namespace ZrUtilsLib {
class Logger;
}

namespace KvTransportLayerLib {
namespace Network {
namespace PCAP {

// One capture memory block: an area (owned or attached), the number of valid bytes of packet
// records at its start and the number of those records.
class Buffer {
public:
    Buffer();
    virtual ~Buffer();
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    ZrUtilsLib::Result Allocate(unsigned int size);
    ZrUtilsLib::Result Attach(unsigned char* area, unsigned int size);
    ZrUtilsLib::Result Detach();
    ZrUtilsLib::Result Free();
    // Writes the valid bytes in one fwrite; FILE_ERROR (not logged) on a short write.
    ZrUtilsLib::Result FWrite(FILE* file);

    unsigned char* GetData() const { return mData; }
    unsigned int GetSize() const { return mSize; }
    unsigned int GetDataLength() const { return mDataLength; }
    unsigned int GetPacketCount() const { return mPacketCount; }
    bool IsOwned() const { return mOwned != 0; }
    // Set when the capture filter hands the Buffer back.
    void SetDataLength(unsigned int dataLength) { mDataLength = dataLength; }
    void SetPacketCount(unsigned int packetCount) { mPacketCount = packetCount; }

private:
    unsigned char* mData;
    unsigned int mSize;
    unsigned int mDataLength;
    unsigned int mPacketCount;
    unsigned int mOwned;
    ZrUtilsLib::Logger* mLogger;
};

}  // namespace PCAP
}  // namespace Network
}  // namespace KvTransportLayerLib
