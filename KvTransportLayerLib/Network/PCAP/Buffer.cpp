#include "KvTransportLayerLib/Network/PCAP/Buffer.h"

#include <cstdlib>

#include "ZrUtilsLib/Logger.h"

using ZrUtilsLib::Result;

namespace KvTransportLayerLib {
namespace Network {
namespace PCAP {

namespace {

Result Failure(ZrUtilsLib::Logger* logger, unsigned int code, unsigned int line,
               const char* function, const char* message) {
    if (logger == nullptr) {
        return Result(code);
    }
    return logger->LogResult(code, __FILE__, line, function, "%s", message);
}

}  // namespace

Buffer::Buffer()
    : mData(nullptr),
      mSize(0),
      mDataLength(0),
      mPacketCount(0),
      mOwned(0),
      mLogger(ZrUtilsLib::Logger::Create("KvTransportLayerLib", nullptr, 0)) {}

Buffer::~Buffer() {
    Free();
    ZrUtilsLib::Logger::Free(mLogger);
}

Result Buffer::Allocate(unsigned int size) {
    Free();
    if (size == 0) {
        return Failure(mLogger, ZrUtilsLib::INVALID_ARGUMENT, __LINE__, "Allocate",
                       "The size of the buffer must be greater than 0");
    }
    unsigned char* area = static_cast<unsigned char*>(std::malloc(size));
    if (area == nullptr) {
        return Failure(mLogger, ZrUtilsLib::NOT_ENOUGH_MEMORY, __LINE__, "Allocate",
                       "Out of resource when allocation the memory");
    }
    mData = area;
    mSize = size;
    mOwned = 1;
    return ZrUtilsLib::OK;
}

Result Buffer::Attach(unsigned char* area, unsigned int size) {
    Free();
    if (area == nullptr || size == 0) {
        return Failure(mLogger, ZrUtilsLib::INVALID_ARGUMENT, __LINE__, "Attach",
                       "Cannot attach a NULL pointer or a memory area of size 0");
    }
    mData = area;
    mSize = size;
    mOwned = 0;
    return ZrUtilsLib::OK;
}

Result Buffer::Detach() {
    if (mOwned == 0 && mData != nullptr) {
        mData = nullptr;
        mSize = 0;
        mDataLength = 0;
        mPacketCount = 0;
    }
    return ZrUtilsLib::OK;
}

Result Buffer::Free() {
    if (mOwned != 0 && mData != nullptr) {
        std::free(mData);
        mData = nullptr;
        mSize = 0;
        mDataLength = 0;
        mPacketCount = 0;
        mOwned = 0;
    }
    return ZrUtilsLib::OK;
}

Result Buffer::FWrite(FILE* file) {
    if (mDataLength == 0) {
        return ZrUtilsLib::OK;
    }
    // Never read past the area, whatever length was set.
    if (file == nullptr || mData == nullptr || mDataLength > mSize) {
        return Result(ZrUtilsLib::INVALID_ARGUMENT);
    }
    if (std::fwrite(mData, 1, mDataLength, file) < mDataLength) {
        return Result(ZrUtilsLib::FILE_ERROR);
    }
    return ZrUtilsLib::OK;
}

}  // namespace PCAP
}  // namespace Network
}  // namespace KvTransportLayerLib
