#include "KvTransportLayerLib/Network/PCAP/LinuxFilter.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "ZrUtilsLib/Gate.h"
#include "ZrUtilsLib/Logger.h"

using ZrUtilsLib::Result;

namespace KvTransportLayerLib {
namespace Network {
namespace PCAP {

namespace {

constexpr int kReadTimeoutMs = 1000;
constexpr unsigned int kSnapshotMargin = 64;
// Packets of different CPUs may reach the ring slightly out of time order: a packet stamped
// this much after the stop request proves that every earlier one has been delivered.
constexpr uint64_t kReorderMarginUs = 5000;
constexpr unsigned int kBreakRetryMs = 100;
// While stopping, how often the kernel's packet count is compared with what was read.
constexpr unsigned int kDeliveryPollMs = 20;
constexpr unsigned int kOpenWaitSliceMs = 1000;
// Pause after a libpcap read error, so that a failing adapter does not spin a real-time thread.
constexpr unsigned long kReadErrorPauseMs = 20;
// Room libpcap keeps per packet in its ring beside the snapshot: its header and alignment.
constexpr uint64_t kKernelBufferPacketOverhead = 128;
// Capture file link type of raw IP, which libpcap reports with the platform's DLT_RAW.
constexpr int kLinkTypeRaw = 101;

class GateScope {
public:
    explicit GateScope(ZrUtilsLib::Gate& gate) : mGate(gate) { mGate.Lock(); }
    ~GateScope() { mGate.Unlock(); }
    GateScope(const GateScope&) = delete;
    GateScope& operator=(const GateScope&) = delete;

private:
    ZrUtilsLib::Gate& mGate;
};

uint64_t WallClockUs() {
    uint32_t seconds = 0;
    uint32_t microseconds = 0;
    OS_TimeSinceEpoch(&seconds, &microseconds);
    return uint64_t{seconds} * 1000000u + microseconds;
}

int FileLinkType(int datalink) {
    return datalink == DLT_RAW ? kLinkTypeRaw : datalink;
}

uint64_t PacketTimeUs(const pcap_pkthdr* header) {
    return static_cast<uint64_t>(header->ts.tv_sec) * 1000000u +
           static_cast<uint64_t>(header->ts.tv_usec);
}

}  // namespace

Filter::Filter()
    : Thread("Kova PCAP Linux Filter Thread", ZrUtilsLib::Thread::InternalPriorityHighest, true),
      mLogger(ZrUtilsLib::Logger::Create("KvTransportLayerLib", nullptr, 0)) {
    std::memset(static_cast<void*>(&mCore), 0, sizeof(mCore));
    for (Buffer*& lent : mLent) {
        lent = nullptr;
    }
    mAdapterName[0] = '\0';
    OS_EventInit(&mOpenDone);
}

Filter::~Filter() {
    Close();
    ZrUtilsLib::Logger::Free(mLogger);
    mLogger = nullptr;
    OS_EventFree(&mOpenDone);
}

Result Filter::Failure(unsigned int code, unsigned int line, const char* function,
                       const char* format, ...) {
    va_list args;
    va_start(args, format);
    Result result(code);
    if (mLogger != nullptr) {
        result = mLogger->LogResultV(code, __FILE__, line, function, format, args);
    } else {
        char message[ZrUtilsLib::Logger::kResultMessageSize];
        std::vsnprintf(message, sizeof(message), format, args);
        result = Result(code, "%s", message);
    }
    va_end(args);
    return result;
}

Result Filter::Open(const char*, const char* adapterName, unsigned int maximumPacketSize) {
    if (adapterName == nullptr || std::strlen(adapterName) >= kAdapterNameSize) {
        return Failure(ZrUtilsLib::INVALID_ARGUMENT, __LINE__, "Open",
                       "The adapter name must have at most %u characters", kAdapterNameSize - 1);
    }
    Close();
    const int code = PCAP_FilterInit(&mCore, maximumPacketSize);
    if (code != PCAP_FILTER_SUCCESS) {
        return Failure(ZrUtilsLib::GENERIC_ERROR, __LINE__, "Open",
                       "Cannot open the internal filter code. Error = %d", code);
    }
    mMaximumPacketSize = maximumPacketSize;
    std::strcpy(mAdapterName, adapterName);
    mRingIn = 0;
    mRingOut = 0;
    {
        GateScope gate(mGate);
        mCaptureFilter.clear();
    }
    mLinkType = DLT_EN10MB;
    mAdapterLost = false;
    mOpened = 1;
    mAcceptingBuffers = true;
    return ZrUtilsLib::OK;
}

Result Filter::Start() {
    if (mOpened == 0) {
        return Failure(ZrUtilsLib::STATE_ERROR, __LINE__, "Start", "The filter is not open");
    }
    GateScope gate(mGate);
    if (mStarted != 0) {
        return Failure(ZrUtilsLib::STATE_ERROR, __LINE__, "Start", "The filter is already started");
    }
    mStatistic.Reset();
    mLibpcapDropsSeen = 0;
    const int code = PCAP_FilterStart(&mCore);
    if (code != PCAP_FILTER_SUCCESS) {
        return Failure(ZrUtilsLib::GENERIC_ERROR, __LINE__, "Start",
                       "Cannot start the internal filter code. Error = %d", code);
    }
    mStopRequestUs = 0;
    mLastStoredUs = 0;
    mPacketsRead = 0;
    mAdapterLost = false;
    OS_EventReset(&mOpenDone);
    Result started = StartThread();
    if (started.GetCode() != ZrUtilsLib::OK) {
        PCAP_FilterStop(&mCore);
        return started;
    }
    Result opened = WaitForOpenOutcome();
    if (opened.GetCode() != ZrUtilsLib::OK) {
        WaitUntilSignaled();
        PCAP_FilterStop(&mCore);
        return opened;
    }
    mStarted = 1;
    return ZrUtilsLib::OK;
}

Result Filter::WaitForOpenOutcome() {
    while (OS_EventWaitWithTimeout(&mOpenDone, kOpenWaitSliceMs * 1000u) != OS_SUCCESS) {
        if (!IsRunning() && OS_EventWaitWithTimeout(&mOpenDone, 0) != OS_SUCCESS) {
            return Failure(ZrUtilsLib::THREAD_ERROR, __LINE__, "Start",
                           "The capture thread ended before opening libpcap");
        }
    }
    return mOpenOutcome;
}

void Filter::ReportOpenOutcome(const Result& outcome) {
    mOpenOutcome = outcome;
    OS_EventSet(&mOpenDone);
}

Result Filter::Run() {
    pcap_t* handle = nullptr;
    Result opened = OpenCapture(&handle);
    if (opened.GetCode() != ZrUtilsLib::OK) {
        ReportOpenOutcome(opened);
        return opened;
    }
    mHandle = handle;
    ReportOpenOutcome(Result(ZrUtilsLib::OK));
    CaptureLoop(handle);
    return ZrUtilsLib::OK;
}

Result Filter::OpenCapture(pcap_t** handle) {
    char error[PCAP_ERRBUF_SIZE];
    error[0] = '\0';
    pcap_t* created = pcap_create(mAdapterName, error);
    if (created == nullptr) {
        return Failure(ZrUtilsLib::GENERIC_ERROR, __LINE__, "Run",
                       "Cannot open libpcap. Error = %s", error);
    }
    Result activated = ActivateCapture(created);
    if (activated.GetCode() != ZrUtilsLib::OK) {
        pcap_close(created);
        return activated;
    }
    mAdapterIndex = OS_AdapterIndex(mAdapterName);
    mLinkType = FileLinkType(pcap_datalink(created));
    if (mCaptureFilter.empty()) {
        InstallSnapshotProgram(created);
    } else {
        Result selected = InstallCaptureFilter(created);
        if (selected.GetCode() != ZrUtilsLib::OK) {
            pcap_close(created);
            return selected;
        }
    }
    *handle = created;
    return ZrUtilsLib::OK;
}

// Promiscuous, snapshot 64 bytes above the maximum packet size, read timeout 1000 ms and a
// kernel buffer sized for the maximum packet size. Warnings do not prevent the capture.
Result Filter::ActivateCapture(pcap_t* handle) {
    const uint64_t kernelBufferBytes = GetKernelBufferBytes(mMaximumPacketSize);
    pcap_set_snaplen(handle, static_cast<int>(mMaximumPacketSize + kSnapshotMargin));
    pcap_set_promisc(handle, 1);
    pcap_set_timeout(handle, kReadTimeoutMs);
    pcap_set_buffer_size(handle, static_cast<int>(kernelBufferBytes));
    const int code = pcap_activate(handle);
    const char* message = pcap_geterr(handle);
    const bool detailed = message != nullptr && message[0] != '\0';
    if (code < 0) {
        // Named after the adapter, with libpcap's own detail when it gave one.
        if (detailed && code != PCAP_ERROR) {
            return Failure(ZrUtilsLib::GENERIC_ERROR, __LINE__, "Run",
                           "Cannot open libpcap. Error = %s: %s (%s)", mAdapterName,
                           pcap_statustostr(code), message);
        }
        return Failure(ZrUtilsLib::GENERIC_ERROR, __LINE__, "Run",
                       "Cannot open libpcap. Error = %s: %s", mAdapterName,
                       detailed ? message : pcap_statustostr(code));
    }
    if (!detailed) {
        message = pcap_statustostr(code);
    }
    if (code > 0 && mLogger != nullptr) {
        ZR_LOG(*mLogger, ZrUtilsLib::PRIORITY_WARNING, "libpcap opened %s with a warning: %s",
               mAdapterName, message);
    }
    return ZrUtilsLib::OK;
}

// An accept-all program makes the kernel cut each packet to the snapshot length before it
// enters libpcap's ring, which then holds far more packets. It selects no traffic.
void Filter::InstallSnapshotProgram(pcap_t* handle) {
    bpf_program program;
    if (pcap_compile(handle, &program, "", 1, PCAP_NETMASK_UNKNOWN) == 0) {
        if (pcap_setfilter(handle, &program) != 0 && mLogger != nullptr) {
            ZR_LOG(*mLogger, ZrUtilsLib::PRIORITY_WARNING,
                   "Cannot set the snapshot program. Error = %s", pcap_geterr(handle));
        }
        pcap_freecode(&program);
    } else if (mLogger != nullptr) {
        ZR_LOG(*mLogger, ZrUtilsLib::PRIORITY_WARNING,
               "Cannot compile the snapshot program. Error = %s", pcap_geterr(handle));
    }
}

// The expression's program accepts a packet cut to the snapshot length, as the accept-all one.
Result Filter::InstallCaptureFilter(pcap_t* handle) {
    bpf_program program;
    if (pcap_compile(handle, &program, mCaptureFilter.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
        return Failure(ZrUtilsLib::GENERIC_ERROR, __LINE__, "Run",
                       "Cannot use the capture filter \"%s\" on %s. Error = %s",
                       mCaptureFilter.c_str(), mAdapterName, pcap_geterr(handle));
    }
    const int attached = pcap_setfilter(handle, &program);
    pcap_freecode(&program);
    if (attached != 0) {
        return Failure(ZrUtilsLib::GENERIC_ERROR, __LINE__, "Run",
                       "Cannot attach the capture filter \"%s\" to %s. Error = %s",
                       mCaptureFilter.c_str(), mAdapterName, pcap_geterr(handle));
    }
    return ZrUtilsLib::OK;
}

// What the capture thread carries through one pcap_dispatch: the core's lock is taken at the
// first packet stored and released once pcap_dispatch has returned.
struct Filter::CaptureBatch {
    Filter* filter;
    uint32_t read;
    bool locked;
    bool ended;  // a packet stamped after the stop request (and margin) was stored
    uint64_t lastPacketUs;
};

// Batches of at most kCaptureBatchPackets from what the kernel has ready, one lock each, every
// packet stamped with libpcap's time.
void Filter::CaptureLoop(pcap_t* handle) {
    bool failing = false;
    while (!IsStopping()) {
        CaptureBatch batch{this, 0, false, false, 0};
        const int got = ReadBatch(handle, &batch);
        if (batch.ended) {
            return;  // everything that arrived before the stop request has been stored
        }
        if (got > 0) {
            failing = false;
        } else if (got == PCAP_ERROR) {
            if (IsAdapterGone()) {
                mAdapterLost = true;
                if (mLogger != nullptr) {
                    ZR_LOG(*mLogger, ZrUtilsLib::PRIORITY_ERROR,
                           "The adapter %s no longer exists. Error = %s", mAdapterName,
                           pcap_geterr(handle));
                }
                TakeRestAfterLoss(handle);
                return;
            }
            if (!failing && mLogger != nullptr) {
                ZR_LOG(*mLogger, ZrUtilsLib::PRIORITY_ERROR,
                       "Cannot read the next packet. Error = %s", pcap_geterr(handle));
            }
            failing = true;
            Sleep(kReadErrorPauseMs);
        }
    }
}

// libpcap's ring read waits for packets only before it delivers the first one of a call, so the
// lock taken at that packet is never held across a wait. Its packet data is valid only during
// the callback: each packet is copied there.
int Filter::ReadBatch(pcap_t* handle, CaptureBatch* batch) {
    const int got = pcap_dispatch(handle, static_cast<int>(kCaptureBatchPackets), &StoreBatchPacket,
                                  reinterpret_cast<u_char*>(batch));
    if (batch->locked) {
        OS_Unlock(&mCore.lock);
    }
    if (batch->read != 0) {
        mLastStoredUs.store(batch->lastPacketUs, std::memory_order_release);
        mPacketsRead.store(mPacketsRead.load(std::memory_order_relaxed) + batch->read,
                           std::memory_order_release);
    }
    return got;
}

void Filter::StoreBatchPacket(u_char* user, const pcap_pkthdr* header, const u_char* data) {
    CaptureBatch* batch = reinterpret_cast<CaptureBatch*>(user);
    if (batch->ended) {
        return;
    }
    Filter* filter = batch->filter;
    ++batch->read;
    const uint32_t stored =
        header->caplen < filter->mMaximumPacketSize ? header->caplen : filter->mMaximumPacketSize;
    if (stored != 0) {
        if (!batch->locked) {
            OS_Lock(&filter->mCore.lock);
            batch->locked = true;
        }
        PCAP_FilterProcessPacketAt(&filter->mCore, data, stored, header->len,
                                   static_cast<uint32_t>(header->ts.tv_sec),
                                   static_cast<uint32_t>(header->ts.tv_usec));
    }
    batch->lastPacketUs = PacketTimeUs(header);
    const uint64_t stopRequestUs = filter->mStopRequestUs.load(std::memory_order_relaxed);
    if (stopRequestUs != 0 && batch->lastPacketUs > stopRequestUs + kReorderMarginUs) {
        batch->ended = true;
    }
}

// A deleted adapter's name resolves to nothing, or to another adapter made since; one that is
// only down keeps its index, and the capture resumes when it comes back up.
bool Filter::IsAdapterGone() const {
    return mAdapterIndex != 0 && OS_AdapterIndex(mAdapterName) != mAdapterIndex;
}

// libpcap reports the loss while packets that arrived before it may still wait in blocks of its
// ring that the kernel hands over later (up to the read timeout): they are taken until the
// kernel's count shows none left, for at most kStopDeliveryMs, pausing between empty reads.
void Filter::TakeRestAfterLoss(pcap_t* handle) {
    const uint64_t deadlineUs = OS_TimeGetUS() + uint64_t{kStopDeliveryMs} * 1000u;
    while (!IsStopping() && OS_TimeGetUS() < deadlineUs) {
        CaptureBatch batch{this, 0, false, false, 0};
        const int got = ReadBatch(handle, &batch);
        if (batch.ended || (got <= 0 && HasReadEveryReceivedPacket())) {
            return;
        }
        if (got <= 0) {
            Sleep(kReadErrorPauseMs);
        }
    }
}

// The kernel hands packets over in blocks up to a second after the first one arrived, so the
// thread goes on until a packet stamped after the request shows that the earlier ones came, or
// until the kernel holds no packet that was not read (a quiet link ends at once), or for at most
// kStopDeliveryMs. pcap_breakloop then wakes a pcap_dispatch that waits on a silent link; it is
// repeated in case it fell between two reads.
void Filter::EndCaptureThread() {
    if (IsRunning()) {
        mStopRequestUs = WallClockUs();
        for (unsigned int waited = 0; waited < kStopDeliveryMs; waited += kDeliveryPollMs) {
            if (WaitUntilSignaled(kDeliveryPollMs).GetCode() == ZrUtilsLib::OK || !IsRunning() ||
                HasReadEveryReceivedPacket()) {
                break;
            }
        }
        StopThread();
        pcap_t* handle = mHandle.load();
        while (IsRunning()) {
            if (handle != nullptr) {
                pcap_breakloop(handle);
            }
            if (WaitUntilSignaled(kBreakRetryMs).GetCode() == ZrUtilsLib::OK) {
                break;
            }
        }
    }
    WaitUntilSignaled();
}

bool Filter::ReadKernelStats(pcap_stat* stats) {
    std::lock_guard<std::mutex> lock(mKernelStatsLock);
    pcap_t* handle = mHandle.load();
    return handle != nullptr && pcap_stats(handle, stats) == 0;
}

// libpcap's totals count every packet the kernel queued for this handle, dropped ones included;
// when the thread has read all the others, nothing that arrived before now is still on its way.
// Compared modulo 2^32, like the counters themselves.
bool Filter::HasReadEveryReceivedPacket() {
    pcap_stat stats;
    if (!ReadKernelStats(&stats)) {
        return false;
    }
    const uint32_t read = mPacketsRead.load(std::memory_order_acquire);
    const int32_t unread = static_cast<int32_t>(stats.ps_recv - stats.ps_drop - read);
    return unread <= 0;
}

void Filter::AddLibpcapDrops() {
    pcap_stat stats;
    if (!ReadKernelStats(&stats)) {
        return;
    }
    // libpcap reports totals since the handle was opened: add only what is new.
    const uint64_t total = static_cast<uint64_t>(stats.ps_drop) + stats.ps_ifdrop;
    if (total > mLibpcapDropsSeen) {
        mStatistic.AddDropCount(static_cast<unsigned int>(total - mLibpcapDropsSeen));
        mLibpcapDropsSeen = total;
    }
}

Result Filter::Stop() {
    GateScope gate(mGate);
    mAcceptingBuffers = false;
    if (mStarted == 0) {
        // Lent areas of a filter that never ran are completed too, so that a drain ends.
        if (mOpened != 0) {
            PCAP_FilterStop(&mCore);
        }
        return ZrUtilsLib::OK;
    }
    EndCaptureThread();
    AddLibpcapDrops();
    pcap_t* handle = mHandle.exchange(nullptr);
    if (handle != nullptr) {
        pcap_close(handle);
    }
    PCAP_FilterStop(&mCore);
    // Drops not reported by a retrieval yet: once nothing is lent, none would report them.
    mStatistic.AddRecorderDropCount(PCAP_FilterTakeDropped(&mCore));
    mStarted = 0;
    return ZrUtilsLib::OK;
}

Result Filter::Close() {
    if (mOpened != 0) {
        Stop();
        PCAP_FilterClose(&mCore);
        for (Buffer*& lent : mLent) {
            lent = nullptr;
        }
        mRingIn = 0;
        mRingOut = 0;
        mOpened = 0;
    }
    return ZrUtilsLib::OK;
}

unsigned int Filter::GetQueuedBufferCount() {
    const int32_t in = mRingIn.load();
    const int32_t out = mRingOut.load();
    const int32_t slots = static_cast<int32_t>(PCAP_FILTER_SLOT_COUNT);
    return static_cast<unsigned int>(in >= out ? in - out : in + slots - out);
}

Result Filter::QueueBuffer(Buffer* buffer) {
    GateScope gate(mGate);
    if (mOpened == 0 || !mAcceptingBuffers) {
        return Result(ZrUtilsLib::STATE_ERROR);
    }
    if (GetQueuedBufferCount() + 1 > kMaxLentBuffers) {
        return Result(ZrUtilsLib::NO_MORE_ENTRY);
    }
    if (buffer == nullptr || buffer->GetData() == nullptr || buffer->GetSize() == 0) {
        return Result(ZrUtilsLib::INVALID_ARGUMENT);
    }
    if (PCAP_FilterQueueBuffer(&mCore, buffer->GetData(), buffer->GetSize()) !=
        PCAP_FILTER_SUCCESS) {
        return Result(ZrUtilsLib::DRIVER_ERROR);
    }
    const int32_t in = mRingIn.load();
    mLent[in] = buffer;
    mRingIn = (in + 1) % static_cast<int32_t>(PCAP_FILTER_SLOT_COUNT);
    return Result(ZrUtilsLib::PENDING);
}

Result Filter::RetrieveBuffer(Buffer*& buffer, unsigned int timeoutMs) {
    buffer = nullptr;
    if (mOpened == 0) {
        return Result(ZrUtilsLib::NO_MORE_ENTRY);
    }
    uint32_t dataLength = 0;
    uint32_t packetCount = 0;
    uint32_t dropped = 0;
    const int code =
        PCAP_FilterRetrieveBuffer(&mCore, timeoutMs, &dataLength, &packetCount, &dropped);
    switch (code) {
        case PCAP_FILTER_SUCCESS:
            break;
        case PCAP_FILTER_WAIT_FAILED:
            return Result(ZrUtilsLib::TIMEOUT);
        case PCAP_FILTER_NOTHING_QUEUED:
            return Result(ZrUtilsLib::NO_MORE_ENTRY);
        default:
            return Result(ZrUtilsLib::DRIVER_ERROR);
    }
    GateScope gate(mGate);
    const int32_t out = mRingOut.load();
    Buffer* handedBack = mLent[out];
    mLent[out] = nullptr;
    mRingOut = (out + 1) % static_cast<int32_t>(PCAP_FILTER_SLOT_COUNT);
    handedBack->SetDataLength(dataLength);
    handedBack->SetPacketCount(packetCount);
    mStatistic.AddPacketCount(packetCount);
    mStatistic.AddRecorderDropCount(dropped);
    buffer = handedBack;
    return ZrUtilsLib::OK;
}

uint64_t Filter::GetRecordedPacketCount(uint64_t* bytes) {
    if (mOpened == 0) {
        if (bytes != nullptr) {
            *bytes = 0;
        }
        return 0;
    }
    return PCAP_FilterRecordedCount(&mCore, bytes);
}

int Filter::GetLinkType() const {
    return mLinkType;
}

bool Filter::IsAcceptingBuffers() const {
    return mAcceptingBuffers;
}

bool Filter::HasLostAdapter() const {
    return mAdapterLost;
}

void Filter::SetCaptureFilter(const std::string& expression) {
    GateScope gate(mGate);
    mCaptureFilter = expression;
}

Result Filter::CheckExpression(const std::string& expression, unsigned int maximumPacketSize) {
    const unsigned int stored = maximumPacketSize < PCAP_FILTER_MAX_PACKET_SIZE
                                    ? maximumPacketSize
                                    : PCAP_FILTER_MAX_PACKET_SIZE;
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, static_cast<int>(stored + kSnapshotMargin));
    if (dead == nullptr) {
        return Result(ZrUtilsLib::NOT_ENOUGH_MEMORY, "Cannot check the capture filter");
    }
    bpf_program program;
    Result checked(ZrUtilsLib::OK);
    if (pcap_compile(dead, &program, expression.c_str(), 1, PCAP_NETMASK_UNKNOWN) == 0) {
        pcap_freecode(&program);
    } else {
        checked = Result(ZrUtilsLib::INVALID_ARGUMENT, "%s", pcap_geterr(dead));
    }
    pcap_close(dead);
    return checked;
}

uint64_t Filter::GetKernelBufferBytes(unsigned int maximumPacketSize) {
    const uint64_t packetSize =
        (maximumPacketSize < PCAP_FILTER_MAX_PACKET_SIZE ? maximumPacketSize
                                                         : PCAP_FILTER_MAX_PACKET_SIZE) +
        kSnapshotMargin + kKernelBufferPacketOverhead;
    const uint64_t bytes = packetSize * kKernelBufferPackets;
    return bytes > kMinimumKernelBufferBytes ? bytes : kMinimumKernelBufferBytes;
}

void Filter::GetStatistic(Statistic* statistic) {
    GateScope gate(mGate);
    if (mStarted != 0) {
        AddLibpcapDrops();
    }
    if (statistic != nullptr) {
        *statistic = mStatistic;
        if (mOpened != 0) {
            statistic->AddRecorderDropCount(PCAP_FilterPendingDropped(&mCore));
        }
    }
}

Filter::DeliveryMark Filter::GetDeliveryMark() {
    GateScope gate(mGate);
    DeliveryMark mark{mPacketsRead.load(std::memory_order_acquire), WallClockUs()};
    pcap_stat stats;
    if (ReadKernelStats(&stats)) {
        mark.packets = stats.ps_recv - stats.ps_drop;
    }
    return mark;
}

// The kernel's count, when every packet it counts reaches the thread (not so on a loopback
// adapter, whose own sends it counts twice), or a later packet: packets of different CPUs are
// at most kReorderMarginUs out of order. Counts compare modulo 2^32, like libpcap's.
bool Filter::HasDelivered(const DeliveryMark& mark) const {
    return static_cast<int32_t>(mPacketsRead.load(std::memory_order_acquire) - mark.packets) >= 0 ||
           mLastStoredUs.load(std::memory_order_acquire) > mark.timeUs + kReorderMarginUs;
}

unsigned int Filter::CompleteFilledBuffer() {
    uint32_t complete = 0;
    if (mOpened == 0) {
        return 0;  // the core's lock exists only while open
    }
    PCAP_FilterCompleteFill(&mCore, &complete);
    return complete;
}

}  // namespace PCAP
}  // namespace Network
}  // namespace KvTransportLayerLib
