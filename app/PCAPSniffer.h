#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "KvTransportLayerLib/Network/PCAP/Buffer.h"
#include "KvTransportLayerLib/Network/PCAP/LinuxFilter.h"
#include "KvTransportLayerLib/Network/PCAP/Queue.h"
#include "ZrUtilsLib/Result.h"
#include "ZrUtilsLib/Thread.h"
#include "app/MemoryAvailability.h"
#include "app/PCAPSnifferConfiguration.h"
#include "app/PCAPWriter.h"
#include "app/RecordingCounters.h"
#include "app/SnapshotTaker.h"

namespace ZrUtilsLib {
class Logger;
}

// The engine of one recording. Open turns a configuration into a memory plan of Buffers, lends
// up to four of them to the capture Filter and keeps the rest in the free queue; the thread
// "KOVA PCAP Sniffer" takes filled Buffers back in the order they were filled, appends them to
// the recorded queue and lends a replacement, which is what distinguishes the modes:
// - FixedNumberOfPackets: from the free queue only; the recording ends by itself once more
//   packets than requested were recorded, or when every Buffer is full;
// - Continuous: a new 10,000,000-byte Buffer when the free queue is empty; the recording ends by
//   itself at 2048 Buffers or when the system could no longer give a Buffer and keep
//   kMemoryReserve available (checked before each Buffer, since malloc itself never fails);
// - Circular: the oldest recorded Buffer, so that only the most recent traffic remains.
// A replacement leaves its queue only once the filter accepted it: a filter that is stopping
// refuses every Buffer, and a refused one stays where it was, so Stop finds it there.
//
// Use from the recording run (main thread):
//   Open(&config)   INVALID_ARGUMENT for a configuration or plan outside the limits,
//                   NOT_ENOUGH_MEMORY for a plan (with libpcap's kernel ring) larger than
//                   the available memory;
//   Start()         fails when capture cannot begin (e.g. libpcap cannot open the adapter);
//   IsRunning()     false once the recording ended by itself; GetEndReason() says why;
//   Stop()          ends capture; every Buffer is then in the recorded or the free queue;
//   StartStore()    hands the recorded queue to the writer (GetWriter() to follow the store);
//   Close()         frees every Buffer. The destructor closes as well, promptly in every state.
class PCAPSniffer : private ZrUtilsLib::Thread {
public:
    using Buffer = KvTransportLayerLib::Network::PCAP::Buffer;
    using BufferQueue = KvTransportLayerLib::Network::Queue<Buffer>;

    static constexpr int32_t kContinuousBufferSize = 10000000;
    static constexpr uint32_t kMaximumBufferCount = 2048;
    static constexpr int32_t kMinimumPackets = 512;
    static constexpr int32_t kMinimumBufferSize = 512;
    static constexpr int32_t kMinimumPacketSize = 32;
    // Memory left to the rest of the system when the sniffer plans or adds capture memory.
    static constexpr uint64_t kMemoryReserve = uint64_t{64} * 1024 * 1024;
    static constexpr unsigned int kRetrieveTimeoutMs = 1000;
    // Retrieval wait while a snapshot is asked for or under way.
    static constexpr unsigned int kSnapshotPollMs = 20;
    // Circular: Buffers added at the first snapshot, so capture goes on while one is written.
    static constexpr uint32_t kSnapshotSpareBuffers = 4;
    // Retrieval wait with a packet limit: the limit is checked at least this often.
    static constexpr unsigned int kPacketLimitPollMs = 250;
    static constexpr unsigned int kStartDelayMs = 250;

    // Why the sniffer thread ended; Running while it records.
    enum class EndReason {
        Running,
        Stopped,             // Stop ended it, or no recording was started
        PacketCountReached,  // more packets than requested were recorded
        BuffersFull,         // every Buffer of a fixed number of packets is full
        BufferLimit,         // Continuous: kMaximumBufferCount Buffers exist
        MemoryLimit,         // Continuous: no further Buffer without cutting into the reserve
        AdapterLost,         // the adapter disappeared
        DriverError,         // the capture filter failed
    };

    // The Buffers of a recording, as Open computes them from a configuration.
    struct MemoryPlan {
        uint32_t bufferCount = 0;      // Buffers created by Open
        int32_t bufferSize = 0;        // bytes of every Buffer of the recording
        uint32_t queueCapacity = 0;    // slots of each queue: one more than Buffers can exist
        int32_t numberOfPackets = -1;  // packet limit, -1 outside FixedNumberOfPackets

        uint64_t GetInitialBytes() const { return uint64_t{bufferCount} * bufferSize; }
    };

    PCAPSniffer();
    // Tests give their own view of the system's memory.
    explicit PCAPSniffer(std::unique_ptr<MemoryAvailability> memory);
    ~PCAPSniffer() override;

    // INVALID_ARGUMENT when a mode's requirements are not met, the plan does not fit its 32-bit
    // fields, or its Buffers could not take a packet of the maximum size. Allocates nothing.
    // A fixed number of packets always gets room for that many records of the maximum size.
    static ZrUtilsLib::Result ComputePlan(const PCAPSnifferConfiguration& config, MemoryPlan& plan);

    // The capture file name for `name`: ".pcap" appended unless it already ends so (exact
    // case), at most 1023 characters. False, and `fileName` unchanged, for an empty or null name
    // or one too long for the extension.
    static bool MakeCaptureFileName(const char* name, std::string& fileName);

    // Writes the plan's BufferSize and NumberOfPackets back into `config`.
    ZrUtilsLib::Result Open(PCAPSnifferConfiguration* config);
    ZrUtilsLib::Result Start();
    ZrUtilsLib::Result Stop();
    ZrUtilsLib::Result Close();
    using Thread::IsRunning;
    EndReason GetEndReason() const { return mEndReason.load(); }
    // The capture side of the counters; safe from the main thread while the recording runs.
    RecordingCounters GetCounters();

    // Circular: asks for a snapshot of the window (queued behind one being written). Safe from
    // any thread; ignored in the other modes.
    void RequestSnapshot();
    // Snapshots finished since the last call, and the files of all stored so far.
    std::vector<SnapshotTaker::Report> TakeSnapshotReports();
    std::vector<std::string> GetSnapshotFiles();
    // The link type of the capture (libpcap's pcap_datalink), as the capture file records it.
    int GetLinkType() const { return mFilter->GetLinkType(); }

    // Stores the recorded queue into the capture file on the writer's thread.
    ZrUtilsLib::Result StartStore();
    PCAPWriter& GetWriter() { return mWriter; }
    const char* GetFilename() const { return mFilename; }
    int GetMaximumPacketSize() const { return mMaximumPacketSize; }
    BufferQueue* GetRecordedQueue() { return &mRecorded; }
    BufferQueue* GetFreeQueue() { return &mFree; }
    // Buffers of the recording so far; grows while a Continuous recording runs.
    uint32_t GetAllocatedBufferCount() const { return mAllocated.load(); }

protected:
    // Called on the sniffer thread after it found the recording still going and before it lends
    // a replacement; does nothing. Tests hold the thread here to meet a concurrent Stop.
    virtual void BeforeLendingReplacement() {}
    const KvTransportLayerLib::Network::PCAP::Filter& GetFilter() const { return *mFilter; }
    KvTransportLayerLib::Network::PCAP::Filter& GetFilter() { return *mFilter; }

private:
    ZrUtilsLib::Result Run() override;
    EndReason Record();
    EndReason EndWhileIdle(unsigned int retrieveCode);
    bool HasExceededPacketLimit();
    EndReason LendReplacement();
    EndReason LendIntoRing();
    EndReason LendHead(BufferQueue& queue);
    void CountDiscarded(const Buffer& buffer);
    void AdvanceSnapshots();
    void AddSnapshotSpares();
    void TrimRing();
    void TopUpLending();
    void KeepRetrieved(Buffer* buffer);
    EndReason AddContinuousBuffer();
    EndReason RefusedLend() const;
    Buffer* CreateBuffer();
    void LendFromFreeQueue();
    void DrainFilter();
    void ReleaseBuffers();
    bool SetFilename(const char* name);
    ZrUtilsLib::Result Failure(unsigned int code, const char* function, const char* format, ...)
        __attribute__((format(printf, 4, 5)));

    std::unique_ptr<KvTransportLayerLib::Network::PCAP::Filter> mFilter;
    bool mFilterOpen = false;
    bool mCaptureStarted = false;
    BufferQueue mFree;
    BufferQueue mRecorded;
    // Owns every Buffer of the recording, wherever it is lent or queued.
    std::vector<std::unique_ptr<Buffer>> mBuffers;
    char mFilename[PCAPSnifferConfiguration::FILENAME_SIZE] = {};
    uint32_t mMode = None;
    int32_t mMaximumPacketSize = 0;
    std::atomic<uint32_t> mAllocated{0};
    // Circular: packets of recorded Buffers lent again. Written by the sniffer thread.
    std::atomic<uint64_t> mDiscarded{0};
    // Circular: bytes of those packets' records. Written by the sniffer thread.
    std::atomic<uint64_t> mDiscardedBytes{0};
    uint64_t mBytesLimit = 0;
    // Circular: the Buffers of the ring, spares for snapshots aside.
    uint32_t mRingBuffers = 0;
    SnapshotTaker mSnapshots;
    std::atomic<EndReason> mEndReason{EndReason::Stopped};
    int32_t mNumberOfPackets = 0;
    int32_t mBufferSize = 0;
    std::unique_ptr<MemoryAvailability> mMemory;
    ZrUtilsLib::Logger* mLogger;
    // Declared after the queues: destroyed first, so a running store never outlives them.
    PCAPWriter mWriter;
};
