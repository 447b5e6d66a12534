#include "app/PCAPSniffer.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "KvTransportLayerLib/Network/PCAP/PCAPFilter.h"
#include "ZrUtilsLib/Logger.h"
#include "ZrUtilsLib/Memory.h"

using KvTransportLayerLib::Network::PCAP::Filter;
using KvTransportLayerLib::Network::PCAP::Statistic;
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
            const int64_t size = total / (blocks + 1);
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

    if (!mMemory->HasRoomFor(plan.GetInitialBytes(), kMemoryReserve)) {
        mFilename[0] = '\0';
        return Failure(ZrUtilsLib::NOT_ENOUGH_MEMORY, "Open",
                       "The recording needs %llu bytes; %llu are available",
                       static_cast<unsigned long long>(plan.GetInitialBytes()),
                       static_cast<unsigned long long>(mMemory->GetAvailableBytes()));
    }
    const uint32_t ownedCapacity =
        config->Mode == Continuous ? kMaximumBufferCount : plan.bufferCount;
    bool reserved = true;
    try {
        mBuffers.reserve(ownedCapacity);
    } catch (const std::bad_alloc&) {
        reserved = false;
    }
    if (!reserved || !mFree.SetCapacity(plan.queueCapacity) ||
        !mRecorded.SetCapacity(plan.queueCapacity)) {
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

    mBufferSize = plan.bufferSize;
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
    mNumberOfPackets = plan.numberOfPackets;
    return Result(ZrUtilsLib::OK);
}

Result PCAPSniffer::Start() {
    if (!mFilterOpen) {
        return Failure(ZrUtilsLib::STATE_ERROR, "Start", "The sniffer is not open");
    }
    Result started = StartThread();
    Thread::Sleep(kStartDelayMs);
    if (started.GetCode() != ZrUtilsLib::OK) {
        return started;
    }
    Result capturing = mFilter->Start();
    mCaptureStarted = capturing.GetCode() == ZrUtilsLib::OK;
    return capturing;
}

Result PCAPSniffer::Run() {
    Statistic statistic;
    while (!IsStopping()) {
        Buffer* buffer = nullptr;
        const Result retrieved = mFilter->RetrieveBuffer(buffer, kRetrieveTimeoutMs);
        const unsigned int code = retrieved.GetCode();
        if (code == ZrUtilsLib::DRIVER_ERROR) {
            return Result(ZrUtilsLib::OK);
        }
        if (code == ZrUtilsLib::NO_MORE_ENTRY && mFree.IsEmpty() && mMode == FixedNumberOfPackets) {
            // Every Buffer is full and nothing is lent: nothing more can be recorded.
            ZR_LOG(*mLogger, ZrUtilsLib::PRIORITY_INFO, "Every buffer of the recording is full");
            return Result(ZrUtilsLib::OK);
        }
        if (code != ZrUtilsLib::OK) {
            continue;
        }
        // An empty Buffer comes back only when the stop completed it.
        (buffer->GetPacketCount() > 0 ? mRecorded : mFree).Push(buffer);
        if (IsStopping()) {
            break;  // the capture is ending: no replacement to lend
        }
        if (mNumberOfPackets > 0) {
            mFilter->GetStatistic(&statistic);
            if (statistic.GetPacketCount() > static_cast<uint32_t>(mNumberOfPackets)) {
                return Result(ZrUtilsLib::OK);
            }
        }
        if (!LendReplacement()) {
            return Result(ZrUtilsLib::OK);
        }
    }
    return Result(ZrUtilsLib::OK);
}

// False when the recording is to end: Continuous mode at its Buffer or memory limit.
bool PCAPSniffer::LendReplacement() {
    Buffer* buffer = mFree.Pop();
    if (buffer != nullptr) {
        mFilter->QueueBuffer(buffer);
        return true;
    }
    switch (mMode) {
        case Circular:
            mFilter->QueueBuffer(mRecorded.Pop());
            return true;
        case Continuous:
            return AddContinuousBuffer();
        default:
            return true;
    }
}

bool PCAPSniffer::AddContinuousBuffer() {
    if (mFilter->GetQueuedBufferCount() + mAllocated.load() >= kMaximumBufferCount) {
        ZR_LOG(*mLogger, ZrUtilsLib::PRIORITY_INFO, "The recording reached %u buffers",
               kMaximumBufferCount);
        return false;
    }
    if (!mMemory->HasRoomFor(static_cast<uint64_t>(mBufferSize), kMemoryReserve)) {
        ZR_LOG(*mLogger, ZrUtilsLib::PRIORITY_WARNING,
               "The memory is running out: the recording ends with %u buffers", mAllocated.load());
        return false;
    }
    Buffer* buffer = CreateBuffer();
    if (buffer == nullptr) {
        return false;
    }
    mFilter->QueueBuffer(buffer);
    return true;
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
// Buffers, which ends the thread's retrieval wait at once instead of after its timeout.
Result PCAPSniffer::Stop() {
    if (IsRunning()) {
        StopThread();
    }
    if (mFilterOpen) {
        mFilter->Stop();
    }
    WaitUntilSignaled();  // also joins a thread that ended by itself
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
            (buffer->GetPacketCount() > 0 ? mRecorded : mFree).Push(buffer);
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
    return mWriter.StartStore(mFilename, mMaximumPacketSize, &mRecorded, &mFree);
}

// The capture file name always ends in ".pcap" and holds at most 1023 characters.
bool PCAPSniffer::SetFilename(const char* name) {
    const size_t length = strnlen(name, sizeof(mFilename));
    if (length == 0 || length >= sizeof(mFilename)) {
        return false;
    }
    const bool complete = EndsWithExtension(name, length);
    if (!complete && length + kExtensionLength >= sizeof(mFilename)) {
        return false;
    }
    std::memcpy(mFilename, name, length);
    mFilename[length] = '\0';
    if (!complete) {
        std::memcpy(mFilename + length, kExtension, kExtensionLength + 1);
    }
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
