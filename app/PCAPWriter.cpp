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
    mFile.Discard();
    Logger::Free(mLogger);
}

void PCAPWriter::MakeGlobalHeader(unsigned char (&header)[kGlobalHeaderSize], uint32_t snapLength,
                                  uint32_t linkType) {
    PutUint32(header + 0, kMagic);
    PutUint16(header + 4, kVersionMajor);
    PutUint16(header + 6, kVersionMinor);
    PutUint32(header + 8, 0);   // time zone offset
    PutUint32(header + 12, 0);  // timestamp accuracy
    PutUint32(header + 16, snapLength);
    PutUint32(header + 20, linkType);
}

Result PCAPWriter::PrepareFile(const char* fileName) {
    if (IsStoring()) {
        return Result(ZrUtilsLib::STATE_ERROR, "A store is already running");
    }
    WaitUntilSignaled();  // joins the thread of a previous store, if any
    mStoreResult = Result(ZrUtilsLib::OK);
    mFileName = fileName != nullptr ? fileName : "";
    const int error = mFile.Create(mFileName);
    if (error != 0) {
        NoteFailure(ZrUtilsLib::CANNOT_OPEN_FILE, "create", error, "PrepareFile");
    }
    return mStoreResult;
}

Result PCAPWriter::StartStore(const char* fileName, int snapLength, BufferQueue* recorded,
                              BufferQueue* free, uint32_t linkType) {
    if (free == nullptr) {
        return Result(ZrUtilsLib::INVALID_ARGUMENT, "No queue for the stored Buffers");
    }
    return Start(fileName, snapLength, recorded, free, linkType);
}

Result PCAPWriter::StartSnapshot(const char* fileName, int snapLength, BufferQueue* borrowed,
                                 uint32_t linkType) {
    return Start(fileName, snapLength, borrowed, nullptr, linkType);
}

// `free` null: the Buffers stay where they are.
Result PCAPWriter::Start(const char* fileName, int snapLength, BufferQueue* recorded,
                         BufferQueue* free, uint32_t linkType) {
    if (IsStoring()) {
        return Result(ZrUtilsLib::STATE_ERROR, "A store is already running");
    }
    WaitUntilSignaled();  // joins the thread of a previous store, if any
    mStoreResult = Result(ZrUtilsLib::OK);
    mStoredPackets = 0;
    mStoredBytes = 0;
    if (recorded == nullptr || fileName == nullptr || recorded->IsEmpty()) {
        mFile.Discard();
        return mStoreResult;
    }
    if (!mFile.IsOpen() || mFileName != fileName) {
        const Result prepared = PrepareFile(fileName);
        if (prepared.IsFailure()) {
            return prepared;
        }
    }
    mSource = recorded;
    mRecycle = free;

    unsigned char header[kGlobalHeaderSize];
    MakeGlobalHeader(header, static_cast<uint32_t>(snapLength), linkType);
    errno = 0;
    if (std::fwrite(header, 1, sizeof(header), mFile.GetStream()) != sizeof(header)) {
        NoteFailure(ZrUtilsLib::FILE_ERROR, "write", errno, "StartStore");
    }

    mStoring.store(true, std::memory_order_release);
    Result started = StartThread();
    if (started.GetCode() != ZrUtilsLib::OK) {
        mStoring.store(false, std::memory_order_release);
        mFile.Discard();
        mSource = nullptr;
        mRecycle = nullptr;
        mStoreResult = started;
    }
    return started;
}

Result PCAPWriter::Run() {
    WriteRecordedBuffers();
    EndStore();
    mStoring.store(false, std::memory_order_release);
    return Result(ZrUtilsLib::OK);
}

// Each Buffer goes back to the end of the recorded queue once written: after one round the
// queue holds the recording as before, whatever the outcome. Once a write failed, the file is
// lost and the rest is not written.
void PCAPWriter::WriteRecordedBuffers() {
    const unsigned int count = mSource->GetCount();
    for (unsigned int index = 0; index < count; ++index) {
        Buffer* buffer = mSource->Pop();
        if (mStoreResult.GetCode() == ZrUtilsLib::OK) {
            errno = 0;
            if (buffer->FWrite(mFile.GetStream()).GetCode() != ZrUtilsLib::OK) {
                NoteFailure(ZrUtilsLib::FILE_ERROR, "write", errno, "Run");
            }
        }
        mSource->Push(buffer);
    }
}

// A complete file takes the target's place and the Buffers are free; otherwise the target is
// untouched and the recording stays queued for another attempt.
void PCAPWriter::EndStore() {
    if (mStoreResult.GetCode() == ZrUtilsLib::OK) {
        const int error = mFile.Commit();
        if (error != 0) {
            NoteFailure(ZrUtilsLib::FILE_ERROR, "complete", error, "Run");
        }
    }
    if (mStoreResult.GetCode() == ZrUtilsLib::OK) {
        const unsigned int count = mSource->GetCount();
        mStoredBytes = kGlobalHeaderSize;
        for (unsigned int index = 0; index < count; ++index) {
            Buffer* buffer = mSource->Pop();
            mStoredPackets += buffer->GetPacketCount();
            mStoredBytes += buffer->GetDataLength();
            (mRecycle != nullptr ? mRecycle : mSource)->Push(buffer);
        }
    } else {
        mFile.Discard();
    }
    mSource = nullptr;
    mRecycle = nullptr;
}

bool PCAPWriter::IsStoring() const {
    return mStoring.load(std::memory_order_acquire);
}

bool PCAPWriter::WaitForStoreEnd(unsigned int milliseconds) {
    if (IsStoring()) {
        WaitUntilSignaled(milliseconds);
    }
    return !IsStoring();
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
