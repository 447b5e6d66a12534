#include "app/PCAPWriter.h"

#include <cerrno>
#include <cstring>

#include "ZrUtilsLib/Logger.h"

using KvTransportLayerLib::Network::PCAP::Buffer;
using ZrUtilsLib::Logger;
using ZrUtilsLib::Result;

namespace {

const char* SystemErrorText(int error, char* text, size_t size) {
    if (error == 0) {
        return "the data was not completely written";
    }
    // The GNU strerror_r may return a static text instead of filling `text`.
    return strerror_r(error, text, size);
}

void PutUint16(unsigned char* at, uint16_t value) {
    std::memcpy(at, &value, sizeof(value));
}

void PutUint32(unsigned char* at, uint32_t value) {
    std::memcpy(at, &value, sizeof(value));
}

}  // namespace

PCAPWriter::PCAPWriter()
    : Thread("KOVA PCAP Writer", Thread::InternalPriorityTimeSharing, true),
      mStoreResult(ZrUtilsLib::OK),
      mLogger(Logger::Create("KvTransportLayerLib", nullptr, 0)) {}

PCAPWriter::~PCAPWriter() {
    WaitForStoreCompletion();
    CloseFile();
    Logger::Free(mLogger);
}

void PCAPWriter::MakeGlobalHeader(unsigned char (&header)[kGlobalHeaderSize], uint32_t snapLength) {
    PutUint32(header + 0, kMagic);
    PutUint16(header + 4, kVersionMajor);
    PutUint16(header + 6, kVersionMinor);
    PutUint32(header + 8, 0);   // time zone offset
    PutUint32(header + 12, 0);  // timestamp accuracy
    PutUint32(header + 16, snapLength);
    PutUint32(header + 20, kLinkTypeEthernet);
}

Result PCAPWriter::StartStore(const char* fileName, int snapLength, BufferQueue* recorded,
                              BufferQueue* free) {
    if (IsStoring()) {
        return Result(ZrUtilsLib::STATE_ERROR, "A store is already running");
    }
    WaitUntilSignaled();  // joins the thread of a previous store, if any
    mStoreResult = Result(ZrUtilsLib::OK);
    if (recorded == nullptr || free == nullptr || fileName == nullptr || recorded->IsEmpty()) {
        return Result(ZrUtilsLib::OK);
    }
    mSource = recorded;
    mRecycle = free;
    mFileName = fileName;

    mFile = std::fopen(fileName, "w+b");
    if (mFile == nullptr) {
        NoteFailure(ZrUtilsLib::CANNOT_OPEN_FILE, "create", errno, "StartStore");
        mSource = nullptr;
        mRecycle = nullptr;
        return mStoreResult;
    }

    // Unbuffered: each Buffer goes to the file in a single write straight from capture memory,
    // and a failure is seen by the fwrite that caused it.
    std::setvbuf(mFile, nullptr, _IONBF, 0);

    unsigned char header[kGlobalHeaderSize];
    MakeGlobalHeader(header, static_cast<uint32_t>(snapLength));
    errno = 0;
    if (std::fwrite(header, 1, sizeof(header), mFile) != sizeof(header)) {
        NoteFailure(ZrUtilsLib::FILE_ERROR, "write", errno, "StartStore");
    }

    mStoring.store(true, std::memory_order_release);
    Result started = StartThread();
    if (started.GetCode() != ZrUtilsLib::OK) {
        mStoring.store(false, std::memory_order_release);
        CloseFile();
        mSource = nullptr;
        mRecycle = nullptr;
        mStoreResult = started;
    }
    return started;
}

Result PCAPWriter::Run() {
    for (Buffer* buffer = mSource->Pop(); buffer != nullptr; buffer = mSource->Pop()) {
        errno = 0;
        if (buffer->FWrite(mFile).GetCode() != ZrUtilsLib::OK) {
            NoteFailure(ZrUtilsLib::FILE_ERROR, "write", errno, "Run");
        }
        mRecycle->Push(buffer);
    }
    CloseFile();
    mSource = nullptr;
    mRecycle = nullptr;
    mStoring.store(false, std::memory_order_release);
    return Result(ZrUtilsLib::OK);
}

bool PCAPWriter::IsStoring() const {
    return mStoring.load(std::memory_order_acquire);
}

Result PCAPWriter::WaitForStoreCompletion() {
    if (IsRunning()) {
        StopThread();
    }
    return WaitUntilSignaled();
}

Result PCAPWriter::GetStoreResult() const {
    if (IsStoring()) {
        return Result(ZrUtilsLib::PENDING);
    }
    return mStoreResult;
}

// A close failure is a write failure too: buffered bytes are flushed here.
void PCAPWriter::CloseFile() {
    if (mFile == nullptr) {
        return;
    }
    errno = 0;
    if (std::fclose(mFile) != 0) {
        NoteFailure(ZrUtilsLib::FILE_ERROR, "write", errno, "CloseFile");
    }
    mFile = nullptr;
}

// Only the first failure is kept and logged: once a device is full, every later write fails
// for the same reason.
void PCAPWriter::NoteFailure(unsigned int code, const char* action, int error,
                             const char* function) {
    if (mStoreResult.GetCode() != ZrUtilsLib::OK) {
        return;
    }
    char text[256];
    const char* reason = SystemErrorText(error, text, sizeof(text));
    const char* format = "Cannot %s the file %s. Error = %s";
    if (mLogger != nullptr) {
        mLogger->LogResult(code, __FILE__, __LINE__, function, format, action, mFileName.c_str(),
                           reason);
    }
    // A log line is shorter than a Result description; the stored one keeps the whole text.
    mStoreResult = Result(code, format, action, mFileName.c_str(), reason);
}
