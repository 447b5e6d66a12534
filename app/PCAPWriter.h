#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "KvTransportLayerLib/Network/PCAP/Buffer.h"
#include "KvTransportLayerLib/Network/PCAP/Queue.h"
#include "ZrUtilsLib/Result.h"
#include "ZrUtilsLib/Thread.h"

namespace ZrUtilsLib {
class Logger;
}

// Writes a finished recording to a classic pcap file (magic 0xA1B2C3D4, version 2.4, link type
// Ethernet, host byte order) on the thread "KOVA PCAP Writer": the 24-byte global header, then
// every recorded Buffer's valid bytes in one fwrite each, oldest first. Each written Buffer moves
// to the free queue, whatever the outcome of its write.
//
// Use from the recording run (main thread):
//   StartStore(...)           creates the file and starts the store (no file when nothing was
//                             recorded);
//   while (IsStoring()) ...   polls until the store is over;
//   WaitForStoreCompletion()  joins the writer thread;
//   GetStoreResult()          OK, or why the file is missing or incomplete.
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
    // Waits for a running store to finish, so that the thread never outlives the writer.
    ~PCAPWriter() override;

    // Starts storing `recorded` into `fileName` (created, or truncated when it exists) with
    // the given snapshot length; every written Buffer is pushed on `free`. An empty recorded
    // queue gives OK at once and creates no file. A file that cannot be created gives
    // CANNOT_OPEN_FILE, described with the file name and the system's reason; a thread that
    // cannot start gives its failure and the file is closed. Not allowed while a store runs
    // (STATE_ERROR).
    ZrUtilsLib::Result StartStore(const char* fileName, int snapLength, BufferQueue* recorded,
                                  BufferQueue* free);

    // True from a successful StartStore until the file has been closed. Safe from any thread.
    bool IsStoring() const;

    // Returns once the writer thread has ended; the store always writes every Buffer.
    ZrUtilsLib::Result WaitForStoreCompletion();

    // The outcome of the last StartStore and its store: OK, CANNOT_OPEN_FILE, or the first
    // failure to write or close the file (FILE_ERROR, described with the file name and the
    // system's reason). PENDING while the store runs.
    ZrUtilsLib::Result GetStoreResult() const;

    // The 24-byte pcap global header for a snapshot length, in host byte order.
    static void MakeGlobalHeader(unsigned char (&header)[kGlobalHeaderSize], uint32_t snapLength);

private:
    ZrUtilsLib::Result Run() override;
    void CloseFile();
    void NoteFailure(unsigned int code, const char* action, int error, const char* function);

    std::atomic<bool> mStoring{false};
    FILE* mFile = nullptr;
    BufferQueue* mSource = nullptr;
    BufferQueue* mRecycle = nullptr;
    std::string mFileName;
    // Written by the writer thread before it clears mStoring, read by others after.
    ZrUtilsLib::Result mStoreResult;
    ZrUtilsLib::Logger* mLogger;
};
