#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "KvTransportLayerLib/Network/PCAP/Buffer.h"
#include "KvTransportLayerLib/Network/PCAP/LinuxFilter.h"
#include "KvTransportLayerLib/Network/PCAP/Queue.h"
#include "app/PCAPWriter.h"

// Snapshots of a circular recording: on request, the recording's current window (every
// recorded Buffer, and the one being filled once the packets that arrived before the request
// are in it) is lent to a writer of its own and stored into NAME-1.pcap, NAME-2.pcap, ... beside
// the capture file, while capture goes on. Requests made during a snapshot are queued.
//
// Driven by the sniffer thread, which owns the queues: Advance after every retrieval attempt,
// NoteRetrieved for every Buffer retrieved. While IsHoldingWindow() the window is being written:
// the sniffer must not reuse a recorded Buffer then (before, the window may still move on, as the
// ring always does). Request and TakeReports may be called from any thread.
class SnapshotTaker {
public:
    using Buffer = KvTransportLayerLib::Network::PCAP::Buffer;
    using BufferQueue = KvTransportLayerLib::Network::Queue<Buffer>;
    using Filter = KvTransportLayerLib::Network::PCAP::Filter;

    // How long a snapshot waits for the packets that arrived before its request.
    static constexpr uint64_t kDeliveryTimeoutUs = 1200000;

    struct Report {
        std::string fileName;
        bool stored = false;
        uint64_t packets = 0;
        std::string reason;  // why it was not stored
    };

    // What Advance did that the sniffer must follow up.
    enum class Step { None, Started, GaveBack };

    // For a recording into `captureFileName` (".pcap" ending); clears every count.
    void Configure(const std::string& captureFileName, int snapLength, unsigned int capacity);
    void Request();
    bool IsHoldingWindow() const { return mPhase == Phase::Writing; }
    bool HasWork() const { return mPhase != Phase::Idle || mRequested.load() > mStarted; }

    Step Advance(Filter& filter, BufferQueue& recorded, uint32_t linkType);
    void NoteRetrieved();
    // Ends a running snapshot (waiting for its file) and gives its Buffers back; the snapshots
    // asked for and not written are reported as not stored.
    void Finish(BufferQueue& recorded);

    // Reports of the snapshots finished since the last call, in order.
    std::vector<Report> TakeReports();
    // The files of every snapshot stored so far.
    std::vector<std::string> GetStoredFiles();

    static std::string SnapshotFileName(const std::string& captureFileName, uint32_t number);

private:
    enum class Phase { Idle, Delivering, Collecting, Writing };

    void StartWriting(BufferQueue& recorded, uint32_t linkType);
    void EndWriting(BufferQueue& recorded);
    void GiveBack(BufferQueue& recorded);
    void ReportNotTaken();
    void AddReport(Report report);

    std::string mCaptureFileName;
    int mSnapLength = 0;
    std::atomic<uint32_t> mRequested{0};
    uint32_t mStarted = 0;
    Phase mPhase = Phase::Idle;
    KvTransportLayerLib::Network::PCAP::Filter::DeliveryMark mDeliveryMark{0, 0};
    uint64_t mDeliveryDeadlineUs = 0;
    unsigned int mToCollect = 0;
    BufferQueue mHeld;
    std::mutex mReportsLock;
    std::vector<Report> mReports;
    std::vector<std::string> mStoredFiles;
    // Last: destroyed first, so a running write never outlives the held queue.
    PCAPWriter mWriter;
};
