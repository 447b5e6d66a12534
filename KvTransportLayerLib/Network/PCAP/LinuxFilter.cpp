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
// Pause after a libpcap read error, so that a lost adapter does not spin a real-time thread.
constexpr unsigned long kReadErrorPauseMs = 20;

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
    mOpened = 1;
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
    mPacketsRead = 0;
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
    pcap_t* opened =
        pcap_open_live(mAdapterName, static_cast<int>(mMaximumPacketSize + kSnapshotMargin), 1,
                       kReadTimeoutMs, error);
    if (opened == nullptr) {
        return Failure(ZrUtilsLib::GENERIC_ERROR, __LINE__, "Run",
                       "Cannot open libpcap. Error = %s", error);
    }
    // An accept-all program makes the kernel cut each packet to the snapshot length before it
    // enters libpcap's ring, which then holds far more packets. It selects no traffic.
    bpf_program program;
    if (pcap_compile(opened, &program, "", 1, PCAP_NETMASK_UNKNOWN) == 0) {
        if (pcap_setfilter(opened, &program) != 0) {
            ZR_LOG(*mLogger, ZrUtilsLib::PRIORITY_WARNING,
                   "Cannot set the snapshot program. Error = %s", pcap_geterr(opened));
        }
        pcap_freecode(&program);
    } else {
        ZR_LOG(*mLogger, ZrUtilsLib::PRIORITY_WARNING,
               "Cannot compile the snapshot program. Error = %s", pcap_geterr(opened));
    }
    *handle = opened;
    return ZrUtilsLib::OK;
}

// Per packet: one pcap_next_ex, one lock and the core's copy, stamped with libpcap's time.
void Filter::CaptureLoop(pcap_t* handle) {
    bool failing = false;
    while (!IsStopping()) {
        pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        const int got = pcap_next_ex(handle, &header, &data);
        if (got == 1) {
            failing = false;
            mPacketsRead.store(mPacketsRead.load(std::memory_order_relaxed) + 1,
                               std::memory_order_release);
            const uint32_t stored =
                header->caplen < mMaximumPacketSize ? header->caplen : mMaximumPacketSize;
            if (stored != 0) {
                OS_Lock(&mCore.lock);
                PCAP_FilterProcessPacketAt(&mCore, data, stored, header->len,
                                           static_cast<uint32_t>(header->ts.tv_sec),
                                           static_cast<uint32_t>(header->ts.tv_usec));
                OS_Unlock(&mCore.lock);
            }
            const uint64_t stopRequestUs = mStopRequestUs.load(std::memory_order_relaxed);
            if (stopRequestUs != 0 && PacketTimeUs(header) > stopRequestUs + kReorderMarginUs) {
                return;  // everything that arrived before the stop request has been stored
            }
        } else if (got == PCAP_ERROR) {
            if (!failing && mLogger != nullptr) {
                ZR_LOG(*mLogger, ZrUtilsLib::PRIORITY_ERROR,
                       "Cannot read the next packet. Error = %s", pcap_geterr(handle));
            }
            failing = true;
            Sleep(kReadErrorPauseMs);
        }
    }
}

// The kernel hands packets over in blocks up to a second after the first one arrived, so the
// thread goes on until a packet stamped after the request shows that the earlier ones came, or
// until the kernel holds no packet that was not read (a quiet link ends at once), or for at most
// kStopDeliveryMs. pcap_breakloop then wakes a pcap_next_ex that waits on a silent link; it is
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

// libpcap's totals count every packet the kernel queued for this handle, dropped ones included;
// when the thread has read all the others, nothing that arrived before now is still on its way.
// Compared modulo 2^32, like the counters themselves.
bool Filter::HasReadEveryReceivedPacket() {
    pcap_t* handle = mHandle.load();
    pcap_stat stats;
    if (handle == nullptr || pcap_stats(handle, &stats) != 0) {
        return false;
    }
    const uint32_t read = mPacketsRead.load(std::memory_order_acquire);
    const int32_t unread = static_cast<int32_t>(stats.ps_recv - stats.ps_drop - read);
    return unread <= 0;
}

void Filter::AddLibpcapDrops() {
    pcap_t* handle = mHandle.load();
    pcap_stat stats;
    if (handle == nullptr || pcap_stats(handle, &stats) != 0) {
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
    if (mOpened == 0) {
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
    buffer = handedBack;
    return ZrUtilsLib::OK;
}

uint64_t Filter::GetRecordedPacketCount() {
    GateScope gate(mGate);
    return mStatistic.GetPacketCount();  // TODO: count the lent Buffers too
}

int Filter::GetLinkType() const {
    return 1;  // TODO: pcap_datalink of the open handle
}

bool Filter::IsAcceptingBuffers() const {
    return mOpened != 0;  // TODO: false once Stop began
}

bool Filter::HasLostAdapter() const {
    return false;  // TODO
}

uint64_t Filter::GetKernelBufferBytes(unsigned int) {
    return uint64_t{2} * 1024 * 1024;  // TODO
}

void Filter::GetStatistic(Statistic* statistic) {
    GateScope gate(mGate);
    if (mStarted != 0) {
        AddLibpcapDrops();
    }
    if (statistic != nullptr) {
        statistic->SetPacketCount(mStatistic.GetPacketCount());
        statistic->SetDropCount(mStatistic.GetDropCount());
    }
}

}  // namespace PCAP
}  // namespace Network
}  // namespace KvTransportLayerLib
