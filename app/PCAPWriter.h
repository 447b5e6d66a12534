#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "KvTransportLayerLib/Network/PCAP/Buffer.h"
#include "KvTransportLayerLib/Network/PCAP/Queue.h"
#include "ZrUtilsLib/ReplacingFile.h"
#include "ZrUtilsLib/Result.h"
#include "ZrUtilsLib/Thread.h"

namespace ZrUtilsLib {
class Logger;
}

// Writes a finished recording to a classic pcap file (magic 0xA1B2C3D4, version 2.4, the
// capture's link type, host byte order) on the thread "KOVA PCAP Writer": the 24-byte global
// header, then every recorded Buffer's valid bytes in one fwrite each, oldest first.
//
// The file is written beside its target and takes the target's place only once every byte is
// written, so an existing file is replaced by a complete capture or not at all. After a
// complete store the Buffers are in the free queue; after a failed one they are still in the
// recorded queue, in order, so that the same recording can be stored under another name.
//
// Use from the recording run (main thread):
//   PrepareFile(name)         before recording: proves the file can be created, and creates
//                             the file the store will write into;
//   StartStore(...)           starts the store (no file when nothing was recorded);
//   while (IsStoring()) ...   polls until the store is over;
//   WaitForStoreCompletion()  joins the writer thread;
//   GetStoreResult()          OK, or why the file is missing.
class PCAPWriter : private ZrUtilsLib::Thread {
public:
    using BufferQueue =
        KvTransportLayerLib::Network::Queue<KvTransportLayerLib::Network::PCAP::Buffer>;

    static constexpr uint32_t kMagic = 0xA1B2C3D4u;
    static constexpr uint16_t kVersionMajor = 2;
    static constexpr uint16_t kVersionMinor = 4;
    static constexpr uint32_t kLinkTypeEthernet = 1;
    static constexpr size_t kGlobalHeaderSize = 24;

    PCAPWriter();
    // Waits for a running store to finish, so that the thread never outlives the writer; a
    // prepared file that was never stored is removed.
    ~PCAPWriter() override;

    // Creates, in the directory of `fileName`, the file a later store of that name writes
    // into. CANNOT_OPEN_FILE, described with the file name and the system's reason, when it
    // cannot be created. Not allowed while a store runs (STATE_ERROR).
    ZrUtilsLib::Result PrepareFile(const char* fileName);

    // Starts storing `recorded` into `fileName` with the given snapshot length and link type,
    // into the prepared file (prepared now when it was not). An empty recorded queue gives OK at
    // once, creates no file and leaves an existing one as it was. CANNOT_OPEN_FILE when the file
    // cannot be created; a thread that cannot start gives its failure. Not allowed while a
    // store runs (STATE_ERROR).
    ZrUtilsLib::Result StartStore(const char* fileName, int snapLength, BufferQueue* recorded,
                                  BufferQueue* free, uint32_t linkType = kLinkTypeEthernet);

    // Stores a copy of `borrowed` into `fileName` while the recording goes on: the Buffers are
    // written in order and stay in `borrowed`, in order, whatever the outcome; nobody else may
    // touch them or the queue until IsStoring() is false. An empty queue gives OK and no file.
    ZrUtilsLib::Result StartSnapshot(const char* fileName, int snapLength, BufferQueue* borrowed,
                                     uint32_t linkType);

    // True from a successful StartStore until the file has been completed. Safe from any thread.
    bool IsStoring() const;
    // Waits at most `milliseconds` for the store to end; true once it has.
    bool WaitForStoreEnd(unsigned int milliseconds);

    // Returns once the writer thread has ended.
    ZrUtilsLib::Result WaitForStoreCompletion();

    // The outcome of the last StartStore and its store: OK, CANNOT_OPEN_FILE, or the first
    // failure to write or complete the file (FILE_ERROR, described with the file name and the
    // system's reason). PENDING while the store runs.
    ZrUtilsLib::Result GetStoreResult() const;

    // Packets and bytes in the file of the last complete store; 0 otherwise.
    uint64_t GetStoredPacketCount() const { return mStoredPackets; }
    uint64_t GetStoredByteCount() const { return mStoredBytes; }

    // The 24-byte pcap global header, in host byte order.
    static void MakeGlobalHeader(unsigned char (&header)[kGlobalHeaderSize], uint32_t snapLength,
                                 uint32_t linkType = kLinkTypeEthernet);

private:
    ZrUtilsLib::Result Start(const char* fileName, int snapLength, BufferQueue* recorded,
                             BufferQueue* free, uint32_t linkType);
    ZrUtilsLib::Result Run() override;
    void WriteRecordedBuffers();
    void EndStore();
    void NoteFailure(unsigned int code, const char* action, int error, const char* function);

    std::atomic<bool> mStoring{false};
    ZrUtilsLib::ReplacingFile mFile;
    BufferQueue* mSource = nullptr;
    BufferQueue* mRecycle = nullptr;
    std::string mFileName;
    // Written by the writer thread before it clears mStoring, read by others after.
    ZrUtilsLib::Result mStoreResult;
    uint64_t mStoredPackets = 0;
    uint64_t mStoredBytes = 0;
    ZrUtilsLib::Logger* mLogger;
};
