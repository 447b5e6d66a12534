#pragma once

#include <pcap/pcap.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "KvTransportLayerLib/Network/PCAP/Buffer.h"
#include "KvTransportLayerLib/Network/PCAP/PCAPFilter.h"
#include "KvTransportLayerLib/Network/PCAP/Statistic.h"
#include "ZrUtilsLib/Gate.h"
#include "ZrUtilsLib/Result.h"
#include "ZrUtilsLib/Thread.h"

namespace ZrUtilsLib {
class Logger;
}  // namespace ZrUtilsLib

namespace KvTransportLayerLib {
namespace Network {
namespace PCAP {

// Live capture through libpcap into Buffers lent by the owner. The thread "Kova PCAP Linux
// Filter Thread" reads the adapter and feeds the packet filter core; the owner lends Buffers
// with QueueBuffer and gets them back, filled, in lending order with RetrieveBuffer.
// Lock order: the gate, then the core's lock, then a slot event's mutex.
class Filter : private ZrUtilsLib::Thread {
public:
    static constexpr unsigned int kAdapterNameSize = 512;
    static constexpr unsigned int kMaxLentBuffers = 4;
    // How long Stop lets packets that arrived before it reach the capture thread.
    static constexpr unsigned int kStopDeliveryMs = 1200;

    Filter();
    ~Filter() override;

    // The name is accepted and not used. An adapter name over 511 characters is refused with
    // INVALID_ARGUMENT; the adapter itself is opened by Start.
    ZrUtilsLib::Result Open(const char* name, const char* adapterName,
                            unsigned int maximumPacketSize);
    // Starts the capture thread and returns once libpcap has opened the adapter, or with the
    // failure ("Cannot open libpcap. Error = %s") when it could not.
    ZrUtilsLib::Result Start();
    // Refuses Buffers from its start on, ends capture without losing the packets that arrived
    // before the call (at once when the kernel holds no unread packet, within about 1.2 s
    // otherwise), then completes every lent Buffer. Also completes them on a filter that is
    // open but was never started, so that a drain ends.
    ZrUtilsLib::Result Stop();
    ZrUtilsLib::Result Close();
    // PENDING when accepted: the Buffer then belongs to the Filter until it is handed back.
    // STATE_ERROR, and the Buffer stays the caller's, when the filter is not open or once Stop
    // has begun (until the next Open).
    ZrUtilsLib::Result QueueBuffer(Buffer* buffer);
    // Also counts the packets the core dropped for lack of room (the recorder drop count).
    ZrUtilsLib::Result RetrieveBuffer(Buffer*& buffer, unsigned int timeoutMs);
    // Packets in the Buffers handed back, libpcap's drops (ps_drop + ps_ifdrop) and the
    // recorder's own drops, all since Start; the recorder drops include those not yet reported
    // by a retrieval.
    void GetStatistic(Statistic* statistic);
    // The packets the kernel has received for this capture so far, and when: once
    // HasDelivered(mark), every one of them that was not dropped is stored.
    struct DeliveryMark {
        uint32_t packets;  // the kernel's count, compared with the packets read
        uint64_t timeUs;   // a packet stored with a later stamp shows the earlier ones came
    };
    DeliveryMark GetDeliveryMark();
    bool HasDelivered(const DeliveryMark& mark) const;
    // Completes the Buffer being filled when it holds packets, while capture goes on in the
    // next lent one. Returns how many lent Buffers are complete and not yet retrieved.
    unsigned int CompleteFilledBuffer();
    // A momentary count of the lent Buffers, read without the gate.
    unsigned int GetQueuedBufferCount();
    // Packets stored since Start, those in Buffers still lent included; 0 while closed.
    // *bytes, when given: their records' bytes, headers included.
    uint64_t GetRecordedPacketCount(uint64_t* bytes = nullptr);
    // The link type of the capture as a capture file's header carries it: libpcap's
    // pcap_datalink, except raw IP (DLT_RAW), given as its file value 101. Ethernet (1) from
    // Open until Start has opened the adapter; kept after Stop.
    int GetLinkType() const;
    // False from the start of Stop until the next Open: QueueBuffer then refuses every Buffer.
    bool IsAcceptingBuffers() const;
    // True once libpcap reported an error and the adapter's name no longer names the adapter
    // that was opened (deleted); until the next Open or Start. The capture thread then takes what
    // the kernel still holds for it (Stop waits for that as usual) and ends.
    bool HasLostAdapter() const;
    // The kernel buffer libpcap is given: room for kKernelBufferPackets packets of the
    // snapshot length, 2 MiB at the least (libpcap's default). With TCP both ways on a veth
    // pair at 65535 bytes, 2 MiB lost packets in every run and 256 packets in some, 512 in none.
    static uint64_t GetKernelBufferBytes(unsigned int maximumPacketSize);
    static constexpr unsigned int kKernelBufferPackets = 512;
    // Packets the capture thread stores under one lock of the core at the most: a retrieval, a
    // lending or a stop waits for no more than that (about 4 us of 64-byte packets, 0.2 ms of
    // 65535-byte ones). Recording 64-byte frames costs the same CPU with 256.
    static constexpr unsigned int kCaptureBatchPackets = 64;

    // Selects the packets Start captures with a libpcap filter expression (tcpdump's language),
    // compiled for the snapshot length and attached in the kernel; empty: every packet. Kept
    // until the next Open, which clears it. Start fails, naming the expression and libpcap's
    // message, when the opened adapter cannot take it.
    void SetCaptureFilter(const std::string& expression);
    // OK when libpcap compiles `expression` for an Ethernet capture of this maximum packet
    // size; otherwise INVALID_ARGUMENT described with libpcap's message. Allocates no capture
    // memory and opens no adapter.
    static ZrUtilsLib::Result CheckExpression(const std::string& expression,
                                              unsigned int maximumPacketSize);
    static constexpr uint64_t kMinimumKernelBufferBytes = uint64_t{2} * 1024 * 1024;

private:
    ZrUtilsLib::Result Run() override;
    ZrUtilsLib::Result OpenCapture(pcap_t** handle);
    ZrUtilsLib::Result ActivateCapture(pcap_t* handle);
    void InstallSnapshotProgram(pcap_t* handle);
    ZrUtilsLib::Result InstallCaptureFilter(pcap_t* handle);
    void ReportOpenOutcome(const ZrUtilsLib::Result& outcome);
    ZrUtilsLib::Result WaitForOpenOutcome();
    struct CaptureBatch;
    void CaptureLoop(pcap_t* handle);
    int ReadBatch(pcap_t* handle, CaptureBatch* batch);
    static void StoreBatchPacket(u_char* user, const pcap_pkthdr* header, const u_char* data);
    bool IsAdapterGone() const;
    void TakeRestAfterLoss(pcap_t* handle);
    void EndCaptureThread();
    bool ReadKernelStats(pcap_stat* stats);
    bool HasReadEveryReceivedPacket();
    void AddLibpcapDrops();
    ZrUtilsLib::Result Failure(unsigned int code, unsigned int line, const char* function,
                               const char* format, ...) __attribute__((format(printf, 5, 6)));

    std::atomic<uint32_t> mOpened{0};
    uint32_t mStarted = 0;
    std::atomic<pcap_t*> mHandle{nullptr};
    uint32_t mMaximumPacketSize = 0;
    PCAP_FilterContext mCore;
    Buffer* mLent[PCAP_FILTER_SLOT_COUNT];
    std::atomic<int32_t> mRingIn{0};
    std::atomic<int32_t> mRingOut{0};
    char mAdapterName[kAdapterNameSize];
    Statistic mStatistic;
    // libpcap's drop totals of the current handle already added to the statistic.
    uint64_t mLibpcapDropsSeen = 0;
    // libpcap adds the kernel's counts, which each read resets, to its totals unguarded: the
    // capture thread draining a lost adapter and the owner's threads read them one at a time.
    std::mutex mKernelStatsLock;
    ZrUtilsLib::Logger* mLogger;
    ZrUtilsLib::Gate mGate;
    // The expression Start attaches; set under the gate, read by the capture thread while Start
    // holds the gate.
    std::string mCaptureFilter;

    // Start/Run handshake on the outcome of opening libpcap.
    OS_Event mOpenDone;
    ZrUtilsLib::Result mOpenOutcome;
    // Wall-clock time of the stop request in microseconds since the epoch, 0 while capturing.
    std::atomic<uint64_t> mStopRequestUs{0};
    // Packets the capture thread has taken from libpcap since Start; written by that thread
    // only, compared with the kernel's count when stopping.
    std::atomic<uint32_t> mPacketsRead{0};
    // libpcap's stamp of the last packet stored, in microseconds since the epoch.
    std::atomic<uint64_t> mLastStoredUs{0};
    std::atomic<int> mLinkType{DLT_EN10MB};
    std::atomic<bool> mAcceptingBuffers{false};
    std::atomic<bool> mAdapterLost{false};
    // Interface index of the opened adapter, 0 for one without (the pseudo-adapter "any");
    // used by the capture thread only.
    unsigned int mAdapterIndex = 0;
};

}  // namespace PCAP
}  // namespace Network
}  // namespace KvTransportLayerLib
