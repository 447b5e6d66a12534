#include "app/PCAPSniffer.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "KvTransportLayerLib/Network/PCAP/PCAPFilter.h"
#include "ZrUtilsLib/Logger.h"
#include "ZrUtilsLib/Memory.h"

using KvTransportLayerLib::Network::PCAP::Filter;
using ZrUtilsLib::Logger;
using ZrUtilsLib::Result;

namespace {

constexpr int64_t kPlanBlockSize = 10000000;
constexpr int32_t kCircularMinimumBuffers = 8;
constexpr int32_t kCircularExtraBuffers = 5;
constexpr const char* kExtension = ".pcap";
constexpr size_t kExtensionLength = 5;
// Consecutive empty 100 ms waits after which a drain gives up on Buffers that never complete.
constexpr unsigned int kDrainTimeoutMs = 100;
constexpr unsigned int kDrainMaximumTimeouts = 30;

bool FitsInt32(int64_t value) {
    return value >= 0 && value <= INT32_MAX;
}

// A record never spans two Buffers, so each Buffer may leave up to a record's room unused at
// its end. The even share of the plan is kept whenever the Buffers still take the requested
// number of maximum-size records; otherwise every Buffer takes its share of them, rounded up.
int64_t FixedBufferSize(const PCAPSnifferConfiguration& config, int64_t evenShare,
                        int64_t bufferCount) {
    const int64_t record = int64_t{config.MaximumPacketSize} + PCAP_FILTER_RECORD_HEADER_SIZE;
    if (evenShare / record * bufferCount >= config.NumberOfPackets) {
        return evenShare;
    }
    return (config.NumberOfPackets + bufferCount - 1) / bufferCount * record;
}

bool EndsWithExtension(const char* name, size_t length) {
    return length >= kExtensionLength &&
           std::memcmp(name + length - kExtensionLength, kExtension, kExtensionLength) == 0;
}

}  // namespace

PCAPSniffer::PCAPSniffer() : PCAPSniffer(std::make_unique<MemoryAvailability>()) {}

PCAPSniffer::PCAPSniffer(std::unique_ptr<MemoryAvailability> memory)
    : Thread("KOVA PCAP Sniffer", Thread::InternalPriorityAboveNormal, true),
      mFilter(new Filter()),
      mMemory(std::move(memory)),
      mLogger(Logger::Create("KvTransportLayerLib", nullptr, 0)) {}

PCAPSniffer::~PCAPSniffer() {
    Close();
    Logger::Free(mLogger);
}

Result PCAPSniffer::ComputePlan(const PCAPSnifferConfiguration& config, MemoryPlan& plan) {
    plan = MemoryPlan();
    if (config.MaximumPacketSize < kMinimumPacketSize) {
        return Result(ZrUtilsLib::INVALID_ARGUMENT, "The maximum packet size %d is below %d",
                      config.MaximumPacketSize, kMinimumPacketSize);
    }
    switch (config.Mode) {
        case FixedNumberOfPackets: {
            if (config.NumberOfPackets < kMinimumPackets) {
                return Result(ZrUtilsLib::INVALID_ARGUMENT, "The number of packets %d is below %d",
                              config.NumberOfPackets, kMinimumPackets);
            }
            // In 64 bits: (65535 + 24) x 2147483647 does not fit 32 bits.
            const int64_t total = (int64_t{config.MaximumPacketSize} + 24) * config.NumberOfPackets;
            const int64_t blocks = total / kPlanBlockSize;
            const int64_t size = FixedBufferSize(config, total / (blocks + 1), blocks + 1);
            if (blocks + 2 > int64_t{UINT32_MAX} || !FitsInt32(size)) {
                return Result(ZrUtilsLib::INVALID_ARGUMENT,
                              "The memory for %d packets of %d bytes does not fit the plan",
                              config.NumberOfPackets, config.MaximumPacketSize);
            }
            plan.bufferCount = static_cast<uint32_t>(blocks + 1);
            plan.bufferSize = static_cast<int32_t>(size);
            plan.queueCapacity = static_cast<uint32_t>(blocks + 2);
            plan.numberOfPackets = config.NumberOfPackets;
            break;
        }
        case Continuous:
            if (config.BufferSize < kMinimumBufferSize) {
                return Result(ZrUtilsLib::INVALID_ARGUMENT, "The buffer size %d is below %d",
                              config.BufferSize, kMinimumBufferSize);
            }
            plan.bufferCount = PCAP_FILTER_MAX_QUEUED;
            plan.bufferSize = kContinuousBufferSize;
            plan.queueCapacity = kMaximumBufferCount + 1;
            break;
        case Circular: {
            if (config.BufferSize < kMinimumBufferSize) {
                return Result(ZrUtilsLib::INVALID_ARGUMENT, "The buffer size %d is below %d",
                              config.BufferSize, kMinimumBufferSize);
            }
            int32_t count = config.BufferSize / kPlanBlockSize + kCircularExtraBuffers;
            if (count < kCircularMinimumBuffers) {
                count = kCircularMinimumBuffers;
            }
            plan.bufferCount = static_cast<uint32_t>(count);
            plan.bufferSize = config.BufferSize / (count - PCAP_FILTER_MAX_QUEUED);
            plan.queueCapacity = static_cast<uint32_t>(count + 1);
            break;
        }
        default:
            return Result(ZrUtilsLib::INVALID_ARGUMENT, "The mode %u is not a recording mode",
                          config.Mode);
    }
    // A Buffer that cannot take one record of the maximum size is refused by the filter core,
    // which would leave a recording that records nothing.
    if (int64_t{plan.bufferSize} <
        int64_t{config.MaximumPacketSize} + PCAP_FILTER_RECORD_HEADER_SIZE) {
        const int32_t size = plan.bufferSize;
        plan = MemoryPlan();
        return Result(ZrUtilsLib::INVALID_ARGUMENT,
                      "Buffers of %d bytes cannot hold a packet of %d bytes", size,
                      config.MaximumPacketSize);
    }
    return Result(ZrUtilsLib::OK);
}

Result PCAPSniffer::Open(PCAPSnifferConfiguration* config) {
    Close();
    if (config == nullptr) {
        return Failure(ZrUtilsLib::INVALID_ARGUMENT, "Open", "No configuration given");
    }
    MemoryPlan plan;
    Result planned = ComputePlan(*config, plan);
    if (planned.GetCode() != ZrUtilsLib::OK) {
        return Failure(planned.GetCode(), "Open", "%s", planned.GetDescription());
    }
    if (!SetFilename(config->Filename)) {
        return Failure(ZrUtilsLib::INVALID_ARGUMENT, "Open",
                       "The file name is empty or cannot take the extension %s", kExtension);
    }
    config->BufferSize = plan.bufferSize;
    config->NumberOfPackets = plan.numberOfPackets;

    // libpcap's kernel ring is taken when capture starts, on top of the Buffers.
    const uint64_t needed =
        plan.GetInitialBytes() +
        Filter::GetKernelBufferBytes(static_cast<unsigned int>(config->MaximumPacketSize));
    if (!mMemory->HasRoomFor(needed, kMemoryReserve)) {
        mFilename[0] = '\0';
        return Failure(ZrUtilsLib::NOT_ENOUGH_MEMORY, "Open",
                       "The recording needs %llu bytes; %llu are available",
                       static_cast<unsigned long long>(needed),
                       static_cast<unsigned long long>(mMemory->GetAvailableBytes()));
    }
    // Circular: room for the spare Buffers that keep capture going while a snapshot is written.
    const uint32_t spares = config->Mode == Circular ? kSnapshotSpareBuffers : 0;
    const uint32_t ownedCapacity =
        config->Mode == Continuous ? kMaximumBufferCount : plan.bufferCount + spares;
    const uint32_t queueCapacity = plan.queueCapacity + spares;
    bool reserved = true;
    try {
        mBuffers.reserve(ownedCapacity);
    } catch (const std::bad_alloc&) {
        reserved = false;
    }
    if (!reserved || !mFree.SetCapacity(queueCapacity) || !mRecorded.SetCapacity(queueCapacity)) {
        ReleaseBuffers();
        mFilename[0] = '\0';
        return Failure(ZrUtilsLib::NOT_ENOUGH_MEMORY, "Open", "Cannot allocate the queues");
    }

    Result opened = mFilter->Open("Nothing", config->AdapterName.c_str(),
                                  static_cast<unsigned int>(config->MaximumPacketSize));
    if (opened.GetCode() != ZrUtilsLib::OK) {
        ReleaseBuffers();
        mFilename[0] = '\0';
        return opened;
    }
    mFilterOpen = true;
    mFilter->SetCaptureFilter(config->CaptureFilter);

    mBufferSize = plan.bufferSize;
    mDiscarded.store(0);
    mDiscardedBytes.store(0);
    mBytesLimit = config->Mode == Continuous
                      ? uint64_t{kMaximumBufferCount} * static_cast<uint64_t>(kContinuousBufferSize)
                      : plan.GetInitialBytes();
    for (uint32_t index = 0; index < plan.bufferCount; ++index) {
        Buffer* buffer = CreateBuffer();
        if (buffer == nullptr) {
            mFilter->Close();
            mFilterOpen = false;
            ReleaseBuffers();
            mFilename[0] = '\0';
            mBufferSize = 0;
            return Failure(ZrUtilsLib::NOT_ENOUGH_MEMORY, "Open",
                           "Cannot allocate %u buffers of %d bytes", plan.bufferCount,
                           plan.bufferSize);
        }
        mFree.Push(buffer);
    }
    LendFromFreeQueue();

    mMode = config->Mode;
    mMaximumPacketSize = config->MaximumPacketSize;
    mRingBuffers = plan.bufferCount;
    mSnapshots.Configure(mFilename, mMaximumPacketSize, queueCapacity);
    mNumberOfPackets = plan.numberOfPackets;
    mEndReason.store(EndReason::Stopped);
    return Result(ZrUtilsLib::OK);
}

Result PCAPSniffer::Start() {
    if (!mFilterOpen) {
        return Failure(ZrUtilsLib::STATE_ERROR, "Start", "The sniffer is not open");
    }
    mEndReason.store(EndReason::Running);
    Result started = StartThread();
    Thread::Sleep(kStartDelayMs);
    if (started.GetCode() != ZrUtilsLib::OK) {
        mEndReason.store(EndReason::Stopped);
        return started;
    }
    Result capturing = mFilter->Start();
    mCaptureStarted = capturing.GetCode() == ZrUtilsLib::OK;
    return capturing;
}

// A recording that Stop ends is Stopped even when it also met a reason of its own meanwhile.
Result PCAPSniffer::Run() {
    const EndReason reason = Record();
    mSnapshots.Finish(mRecorded);
    mEndReason.store(IsStopping() ? EndReason::Stopped : reason);
    return Result(ZrUtilsLib::OK);
}

PCAPSniffer::EndReason PCAPSniffer::Record() {
    const unsigned int usualTimeoutMs =
        mNumberOfPackets > 0 ? kPacketLimitPollMs : kRetrieveTimeoutMs;
    while (!IsStopping()) {
        AdvanceSnapshots();
        const unsigned int timeoutMs = mSnapshots.HasWork() ? kSnapshotPollMs : usualTimeoutMs;
        Buffer* buffer = nullptr;
        const unsigned int code = mFilter->RetrieveBuffer(buffer, timeoutMs).GetCode();
        if (code == ZrUtilsLib::DRIVER_ERROR) {
            return EndReason::DriverError;
        }
        if (code != ZrUtilsLib::OK) {
            const EndReason reason = EndWhileIdle(code);
            if (reason != EndReason::Running) {
                return reason;
            }
            if (code == ZrUtilsLib::NO_MORE_ENTRY) {
                Sleep(kSnapshotPollMs);  // nothing lent while a snapshot holds the ring: no spin
            }
            continue;
        }
        // An empty Buffer comes back only when the stop completed it.
        KeepRetrieved(buffer);
        mSnapshots.NoteRetrieved();
        if (HasExceededPacketLimit()) {
            return EndReason::PacketCountReached;
        }
        if (IsStopping()) {
            break;  // the capture is ending: no replacement to lend
        }
        BeforeLendingReplacement();
        const EndReason reason = LendReplacement();
        if (reason != EndReason::Running) {
            return reason;
        }
    }
    return EndReason::Stopped;
}

// After a retrieval that brought no Buffer: the reasons to end that need no Buffer to show.
PCAPSniffer::EndReason PCAPSniffer::EndWhileIdle(unsigned int retrieveCode) {
    if (HasExceededPacketLimit()) {
        return EndReason::PacketCountReached;
    }
    if (mFilter->HasLostAdapter()) {
        ZR_LOG(*mLogger, ZrUtilsLib::PRIORITY_WARNING, "The adapter of the recording is gone");
        return EndReason::AdapterLost;
    }
    if (retrieveCode == ZrUtilsLib::NO_MORE_ENTRY && mFree.IsEmpty() &&
        mMode == FixedNumberOfPackets) {
        // Every Buffer is full and nothing is lent: nothing more can be recorded.
        ZR_LOG(*mLogger, ZrUtilsLib::PRIORITY_INFO, "Every buffer of the recording is full");
        return EndReason::BuffersFull;
    }
    return EndReason::Running;
}

// Counts the packets still in lent Buffers too, so that a quiet link ends the recording as well.
bool PCAPSniffer::HasExceededPacketLimit() {
    return mNumberOfPackets > 0 &&
           mFilter->GetRecordedPacketCount() > static_cast<uint64_t>(mNumberOfPackets);
}

// Running while the recording goes on, else why it ends.
PCAPSniffer::EndReason PCAPSniffer::LendReplacement() {
    if (mMode == Circular) {
        return LendIntoRing();
    }
    if (!mFree.IsEmpty()) {
        return LendHead(mFree);
    }
    return mMode == Continuous ? AddContinuousBuffer() : EndReason::Running;
}

// The ring keeps the plan's number of Buffers, recorded and lent: a free one joins it only while
// it is short of that, or while a snapshot holds the window (the spares); otherwise the oldest is
// reused. The spares thus wait in the free queue for the next snapshot.
PCAPSniffer::EndReason PCAPSniffer::LendIntoRing() {
    const bool holdingWindow = mSnapshots.IsHoldingWindow();
    const bool ringIsShort = mRecorded.GetCount() + mFilter->GetQueuedBufferCount() < mRingBuffers;
    if (!mFree.IsEmpty() && (holdingWindow || ringIsShort)) {
        return LendHead(mFree);
    }
    if (holdingWindow) {
        return EndReason::Running;  // the window is being stored: none of it is reused
    }
    return LendHead(mRecorded);  // its packets are discarded once the filter takes it
}

// The head leaves the queue only once the filter accepted it, so a refused Buffer keeps its
// place and order for the drain and the file.
PCAPSniffer::EndReason PCAPSniffer::LendHead(BufferQueue& queue) {
    Buffer* buffer = queue.Peek();
    if (buffer == nullptr) {
        return EndReason::Running;
    }
    if (!mFilter->QueueBuffer(buffer).IsPending()) {
        return RefusedLend();
    }
    queue.Pop();
    if (&queue == &mRecorded) {
        CountDiscarded(*buffer);
    }
    return EndReason::Running;
}

void PCAPSniffer::CountDiscarded(const Buffer& buffer) {
    mDiscarded.fetch_add(buffer.GetPacketCount());
    mDiscardedBytes.fetch_add(buffer.GetDataLength());
}

void PCAPSniffer::RequestSnapshot() {
    if (mMode != Circular) {
        return;
    }
    mSnapshots.Request();
}

std::vector<SnapshotTaker::Report> PCAPSniffer::TakeSnapshotReports() {
    return mSnapshots.TakeReports();
}

std::vector<std::string> PCAPSniffer::GetSnapshotFiles() {
    return mSnapshots.GetStoredFiles();
}

void PCAPSniffer::AdvanceSnapshots() {
    if (mMode != Circular) {
        return;
    }
    switch (mSnapshots.Advance(*mFilter, mRecorded, static_cast<uint32_t>(GetLinkType()))) {
        case SnapshotTaker::Step::Started:
            AddSnapshotSpares();
            break;
        case SnapshotTaker::Step::GaveBack:
            TrimRing();
            TopUpLending();
            break;
        case SnapshotTaker::Step::None:
            break;
    }
}

// Whole Buffers, once, at the first snapshot; without the memory for them the snapshot goes on
// and packets that find no room meanwhile are counted as dropped.
void PCAPSniffer::AddSnapshotSpares() {
    while (mAllocated.load() < mRingBuffers + kSnapshotSpareBuffers &&
           mMemory->HasRoomFor(static_cast<uint64_t>(mBufferSize), kMemoryReserve)) {
        Buffer* buffer = CreateBuffer();
        if (buffer == nullptr) {
            return;
        }
        mFree.Push(buffer);
    }
    LendFromFreeQueue();
}

// After a snapshot the ring holds as many Buffers as the plan again: the oldest beyond it are
// given up, as the ring would have reused them, and wait in the free queue for the next one.
void PCAPSniffer::TrimRing() {
    while (mRecorded.GetCount() + mFilter->GetQueuedBufferCount() > mRingBuffers) {
        Buffer* buffer = mRecorded.Pop();
        if (buffer == nullptr) {
            return;
        }
        CountDiscarded(*buffer);
        mFree.Push(buffer);
    }
}

// Lends until the filter has its four Buffers again, within the ring.
void PCAPSniffer::TopUpLending() {
    for (uint32_t lent = mFilter->GetQueuedBufferCount(); lent < Filter::kMaxLentBuffers;) {
        if (LendIntoRing() != EndReason::Running || mFilter->GetQueuedBufferCount() == lent) {
            return;
        }
        lent = mFilter->GetQueuedBufferCount();
    }
}

// A Buffer handed back with packets joins the recording; an empty one (completed by the stop)
// is free again.
void PCAPSniffer::KeepRetrieved(Buffer* buffer) {
    if (buffer->GetPacketCount() == 0) {
        mFree.Push(buffer);
        return;
    }
    mRecorded.Push(buffer);
}

RecordingCounters PCAPSniffer::GetCounters() {
    RecordingCounters counters;
    if (mFilterOpen) {
        KvTransportLayerLib::Network::PCAP::Statistic statistic;
        mFilter->GetStatistic(&statistic);
        uint64_t recordedBytes = 0;
        counters.recorded = mFilter->GetRecordedPacketCount(&recordedBytes);
        counters.bytesHeld = recordedBytes - mDiscardedBytes.load();
        counters.kernelDropped = statistic.GetDropCount();
        counters.recorderDropped = statistic.GetRecorderDropCount();
    }
    counters.discarded = mDiscarded.load();
    counters.bytesLimit = mBytesLimit;
    return counters;
}

// A filter refuses a Buffer only once it is stopping; Stop does that after asking this thread
// to end, so a refusal at any other time means the filter failed.
PCAPSniffer::EndReason PCAPSniffer::RefusedLend() const {
    return IsStopping() ? EndReason::Stopped : EndReason::DriverError;
}

PCAPSniffer::EndReason PCAPSniffer::AddContinuousBuffer() {
    if (mFilter->GetQueuedBufferCount() + mAllocated.load() >= kMaximumBufferCount) {
        ZR_LOG(*mLogger, ZrUtilsLib::PRIORITY_INFO, "The recording reached %u buffers",
               kMaximumBufferCount);
        return EndReason::BufferLimit;
    }
    if (!mMemory->HasRoomFor(static_cast<uint64_t>(mBufferSize), kMemoryReserve)) {
        ZR_LOG(*mLogger, ZrUtilsLib::PRIORITY_WARNING,
               "The memory is running out: the recording ends with %u buffers", mAllocated.load());
        return EndReason::MemoryLimit;
    }
    Buffer* buffer = CreateBuffer();
    if (buffer == nullptr) {
        return EndReason::MemoryLimit;
    }
    if (!mFilter->QueueBuffer(buffer).IsPending()) {
        mFree.Push(buffer);
        return RefusedLend();
    }
    return EndReason::Running;
}

// A new Buffer of the recording's size, owned by the sniffer and counted; null when memory
// cannot be had. The owning list never grows beyond what Open reserved.
PCAPSniffer::Buffer* PCAPSniffer::CreateBuffer() {
    if (mBuffers.size() >= mBuffers.capacity()) {
        return nullptr;
    }
    std::unique_ptr<Buffer> buffer(new (std::nothrow) Buffer());
    if (!buffer ||
        buffer->Allocate(static_cast<unsigned int>(mBufferSize)).GetCode() != ZrUtilsLib::OK) {
        return nullptr;
    }
    // Capture then never takes a page fault, and the next memory check sees this Buffer.
    ZrUtilsLib::CommitMemory(buffer->GetData(), buffer->GetSize());
    mBuffers.push_back(std::move(buffer));
    mAllocated.fetch_add(1);
    return mBuffers.back().get();
}

// Lends Buffers until the filter refuses one, which goes back to the free queue.
void PCAPSniffer::LendFromFreeQueue() {
    for (Buffer* buffer = mFree.Pop(); buffer != nullptr; buffer = mFree.Pop()) {
        if (!mFilter->QueueBuffer(buffer).IsPending()) {
            mFree.Push(buffer);
            return;
        }
    }
}

// The filter is stopped before the sniffer thread is joined: its stop completes the lent
// Buffers, which ends the thread's retrieval wait at once instead of after its timeout. A
// replacement the thread lends meanwhile is refused and stays in its queue.
Result PCAPSniffer::Stop() {
    if (IsRunning()) {
        StopThread();
    }
    if (mFilterOpen) {
        mFilter->Stop();
    }
    WaitUntilSignaled();  // also joins a thread that ended by itself
    EndReason running = EndReason::Running;
    mEndReason.compare_exchange_strong(running, EndReason::Stopped);
    if (mFilterOpen) {
        DrainFilter();
    }
    mCaptureStarted = false;
    return Result(ZrUtilsLib::OK);
}

// Takes every lent Buffer back: those with packets to the recorded queue, in filling order,
// the others to the free queue. Waits are bounded, so that a filter whose Buffers can never
// complete cannot hold the drain; such Buffers stay owned by the sniffer and are freed by Close.
void PCAPSniffer::DrainFilter() {
    const unsigned int timeoutMs = mCaptureStarted ? kDrainTimeoutMs : 0;
    unsigned int timeouts = 0;
    while (timeouts < kDrainMaximumTimeouts) {
        Buffer* buffer = nullptr;
        const unsigned int code = mFilter->RetrieveBuffer(buffer, timeoutMs).GetCode();
        if (code == ZrUtilsLib::OK) {
            timeouts = 0;
            KeepRetrieved(buffer);
        } else if (code == ZrUtilsLib::TIMEOUT && mCaptureStarted) {
            ++timeouts;
        } else {
            return;
        }
    }
    ZR_LOG(*mLogger, ZrUtilsLib::PRIORITY_WARNING,
           "The capture filter did not hand back every buffer");
}

Result PCAPSniffer::Close() {
    mWriter.WaitForStoreCompletion();
    Stop();
    Result closed(ZrUtilsLib::OK);
    if (mFilterOpen) {
        closed = mFilter->Close();
        mFilterOpen = false;
    }
    ReleaseBuffers();
    mMode = None;
    mMaximumPacketSize = 0;
    mNumberOfPackets = 0;
    mBufferSize = 0;
    mFilename[0] = '\0';
    return closed;
}

void PCAPSniffer::ReleaseBuffers() {
    mFree.FreeStorage();
    mRecorded.FreeStorage();
    mBuffers.clear();
    mBuffers.shrink_to_fit();
    mAllocated.store(0);
}

Result PCAPSniffer::StartStore() {
    return mWriter.StartStore(mFilename, mMaximumPacketSize, &mRecorded, &mFree,
                              static_cast<uint32_t>(GetLinkType()));
}

bool PCAPSniffer::MakeCaptureFileName(const char* name, std::string& fileName) {
    constexpr size_t kRoom = PCAPSnifferConfiguration::FILENAME_SIZE;
    const size_t length = name == nullptr ? 0 : strnlen(name, kRoom);
    if (length == 0 || length >= kRoom) {
        return false;
    }
    const bool complete = EndsWithExtension(name, length);
    if (!complete && length + kExtensionLength >= kRoom) {
        return false;
    }
    fileName.assign(name, length);
    if (!complete) {
        fileName.append(kExtension, kExtensionLength);
    }
    return true;
}

bool PCAPSniffer::SetFilename(const char* name) {
    std::string fileName;
    if (!MakeCaptureFileName(name, fileName)) {
        return false;
    }
    std::memcpy(mFilename, fileName.c_str(), fileName.size() + 1);
    return true;
}

Result PCAPSniffer::Failure(unsigned int code, const char* function, const char* format, ...) {
    char message[Result::DESCRIPTION_SIZE];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    if (mLogger == nullptr) {
        return Result(code, "%s", message);
    }
    mLogger->LogResult(code, __FILE__, __LINE__, function, "%s", message);
    return Result(code, "%s", message);
}
