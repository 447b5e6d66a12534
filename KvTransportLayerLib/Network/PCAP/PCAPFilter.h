#pragma once

// The packet filter core: turns single packets into filled memory areas lent by a caller.
// Plain functions over one context, returning small integer codes; it knows nothing of
// libpcap, Buffers or Results, and never allocates.

#include <pthread.h>
#include <time.h>

#include <cstdint>

// Codes returned by the core functions.
enum : int {
    PCAP_FILTER_SUCCESS = 0,
    PCAP_FILTER_NO_ROOM = 3,                // four areas already lent, or the packet was dropped
    PCAP_FILTER_WAIT_FAILED = 5,            // the wait for a complete area ended without it
    PCAP_FILTER_CANCELLED = 6,              // PCAP_Cancel
    PCAP_FILTER_PACKET_SIZE_TOO_LARGE = 7,  // maximum packet size above 65535
    PCAP_FILTER_NO_CONTEXT = 8,             // no context given
    PCAP_FILTER_AREA_TOO_SMALL = 9,         // area below maximum packet size + 16
    PCAP_FILTER_NOTHING_QUEUED = 10,        // nothing lent to hand back
    PCAP_FILTER_ALREADY_WAITING = 15,       // another retrieval is already waiting
};

constexpr uint32_t PCAP_FILTER_SLOT_COUNT = 5;
constexpr uint32_t PCAP_FILTER_MAX_QUEUED = 4;
constexpr uint32_t PCAP_FILTER_MAX_PACKET_SIZE = 65535;
constexpr uint32_t PCAP_FILTER_RECORD_HEADER_SIZE = 16;

// OS wrapper results.
enum : int {
    OS_SUCCESS = 0,
    OS_FAILURE = 1,
    OS_TIMEOUT = 5,
};

// A manual-reset event: a wait does not clear the flag.
struct OS_Event {
    pthread_mutex_t mutex;
    pthread_cond_t condition;
    uint8_t flag;
};

// One area lent by the caller.
struct PCAP_FilterSlot {
    uint32_t size;
    uint32_t used;
    uint32_t count;
    uint8_t* data;
    OS_Event event;
};

// The record header as it lies in an area and in the capture file (host byte order).
struct PCAP_FilterRecordHeader {
    uint32_t seconds;
    uint32_t microseconds;
    uint32_t storedLength;
    uint32_t wireLength;
};
static_assert(sizeof(PCAP_FilterRecordHeader) == PCAP_FILTER_RECORD_HEADER_SIZE,
              "the record header has no padding");

struct PCAP_FilterContext {
    uint32_t running;
    pthread_mutex_t lock;  // guards everything below except the slots' events
    PCAP_FilterSlot slots[PCAP_FILTER_SLOT_COUNT];
    uint32_t fillIndex;
    uint32_t fillable;
    uint32_t retrieveIndex;
    uint32_t queued;
    uint32_t maximumPacketSize;
    uint32_t dropped;
    uint32_t waiters;
    uint64_t recorded;       // records stored since PCAP_FilterStart
    uint64_t recordedBytes;  // their bytes, record headers included
};

int PCAP_FilterInit(PCAP_FilterContext* context, uint32_t maximumPacketSize);
int PCAP_FilterClose(PCAP_FilterContext* context);
// Also restarts the count of stored records.
int PCAP_FilterStart(PCAP_FilterContext* context);
int PCAP_FilterStop(PCAP_FilterContext* context);
int PCAP_FilterQueueBuffer(PCAP_FilterContext* context, uint8_t* area, uint32_t size);
int PCAP_FilterRetrieveBuffer(PCAP_FilterContext* context, uint32_t timeoutMs, uint32_t* dataLength,
                              uint32_t* packetCount, uint32_t* dropped);
// The caller holds the context's lock (OS_Lock) for the whole call. Stamps the record with
// the time at which it is stored.
int PCAP_FilterProcessPacket(PCAP_FilterContext* context, const uint8_t* data,
                             uint32_t capturedLength, uint32_t wireLength);
// Same, stamping the record with the packet's own arrival time (libpcap's timestamp).
int PCAP_FilterProcessPacketAt(PCAP_FilterContext* context, const uint8_t* data,
                               uint32_t capturedLength, uint32_t wireLength, uint32_t seconds,
                               uint32_t microseconds);
int PCAP_Cancel();
// Records stored since PCAP_FilterStart, those in areas still lent included; takes the lock.
// Records stored since PCAP_FilterStart; *bytes, when given, their bytes, headers included.
uint64_t PCAP_FilterRecordedCount(PCAP_FilterContext* context, uint64_t* bytes = nullptr);
// Completes the area being filled when it holds records, so that what was stored so far can be
// retrieved while storing goes on in the next lent area. *completeAreas: the areas complete and
// not yet retrieved, the one just completed included.
int PCAP_FilterCompleteFill(PCAP_FilterContext* context, uint32_t* completeAreas);
// Packets dropped for lack of room and not yet reported by a retrieval; takes the lock.
uint32_t PCAP_FilterPendingDropped(PCAP_FilterContext* context);
// The same count, which then restarts from 0 (a later retrieval does not report it again).
uint32_t PCAP_FilterTakeDropped(PCAP_FilterContext* context);

int OS_LockInit(pthread_mutex_t* lock);
int OS_LockFree(pthread_mutex_t* lock);
int OS_Lock(pthread_mutex_t* lock);
int OS_Unlock(pthread_mutex_t* lock);
int OS_EventInit(OS_Event* event);
int OS_EventFree(OS_Event* event);
// Sets the flag and wakes every waiter.
int OS_EventSet(OS_Event* event);
int OS_EventReset(OS_Event* event);
int OS_EventWaitWithTimeout(OS_Event* event, uint64_t timeoutUs);
void TimespecForTimeoutConv(timespec* deadline, uint64_t timeoutUs);
void OS_TimeSinceEpoch(uint32_t* seconds, uint32_t* microseconds);
uint64_t OS_TimeGetUS();
uint64_t OS_TimeGetPreciseUS();
// The interface index of a network adapter, 0 when no adapter has that name.
unsigned int OS_AdapterIndex(const char* name);
