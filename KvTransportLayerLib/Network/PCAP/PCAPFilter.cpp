#include "KvTransportLayerLib/Network/PCAP/PCAPFilter.h"

#include <errno.h>
#include <net/if.h>

#include <cstring>

namespace {

constexpr uint64_t kNanosecondsPerSecond = 1000000000u;

uint32_t NextSlot(uint32_t index) {
    return (index + 1) % PCAP_FILTER_SLOT_COUNT;
}

void CompleteSlot(PCAP_FilterSlot* slot) {
    OS_EventSet(&slot->event);
}

// Moves the fill position past the current slot, completing it.
void CompleteFillSlot(PCAP_FilterContext* context) {
    CompleteSlot(&context->slots[context->fillIndex]);
    context->fillIndex = NextSlot(context->fillIndex);
    --context->fillable;
}

// The slot that takes a record of n packet bytes, or null when the packet must be dropped. A
// record never spans two areas: one that does not fit completes the current area.
inline PCAP_FilterSlot* SlotForRecord(PCAP_FilterContext* context, uint32_t n) {
    PCAP_FilterSlot* slot = &context->slots[context->fillIndex];
    if (n + PCAP_FILTER_RECORD_HEADER_SIZE > slot->size - slot->used) {
        CompleteFillSlot(context);
        if (context->fillable == 0) {
            return nullptr;
        }
        slot = &context->slots[context->fillIndex];
    }
    return slot;
}

inline int StorePacket(PCAP_FilterContext* context, const uint8_t* data, uint32_t capturedLength,
                       uint32_t wireLength, bool useClock, uint32_t seconds,
                       uint32_t microseconds) {
    if (context->fillable == 0) {
        ++context->dropped;
        return PCAP_FILTER_NO_ROOM;
    }
    if (wireLength == 0) {
        return PCAP_FILTER_SUCCESS;
    }
    // Never more than the maximum packet size: every lent area has room for such a record.
    uint32_t n = capturedLength == 0 ? wireLength : capturedLength;
    if (n > context->maximumPacketSize) {
        n = context->maximumPacketSize;
    }
    PCAP_FilterSlot* slot = SlotForRecord(context, n);
    if (slot == nullptr) {
        ++context->dropped;
        return PCAP_FILTER_NO_ROOM;
    }
    PCAP_FilterRecordHeader header;
    if (useClock) {
        OS_TimeSinceEpoch(&header.seconds, &header.microseconds);
    } else {
        header.seconds = seconds;
        header.microseconds = microseconds;
    }
    header.storedLength = n;
    header.wireLength = wireLength;
    uint8_t* record = slot->data + slot->used;
    std::memcpy(record, &header, sizeof(header));
    std::memcpy(record + sizeof(header), data, n);
    slot->used += static_cast<uint32_t>(sizeof(header)) + n;
    ++slot->count;
    ++context->recorded;
    context->recordedBytes += static_cast<uint32_t>(sizeof(header)) + n;
    return PCAP_FILTER_SUCCESS;
}

}  // namespace

int PCAP_FilterInit(PCAP_FilterContext* context, uint32_t maximumPacketSize) {
    if (context == nullptr) {
        return PCAP_FILTER_NO_CONTEXT;
    }
    std::memset(static_cast<void*>(context), 0, sizeof(*context));
    if (maximumPacketSize > PCAP_FILTER_MAX_PACKET_SIZE) {
        return PCAP_FILTER_PACKET_SIZE_TOO_LARGE;
    }
    context->maximumPacketSize = maximumPacketSize;
    OS_LockInit(&context->lock);
    for (PCAP_FilterSlot& slot : context->slots) {
        OS_EventInit(&slot.event);
    }
    return PCAP_FILTER_SUCCESS;
}

int PCAP_FilterClose(PCAP_FilterContext* context) {
    if (context == nullptr) {
        return PCAP_FILTER_SUCCESS;
    }
    OS_LockFree(&context->lock);
    for (PCAP_FilterSlot& slot : context->slots) {
        OS_EventFree(&slot.event);
    }
    return PCAP_FILTER_SUCCESS;
}

int PCAP_FilterStart(PCAP_FilterContext* context) {
    if (context == nullptr) {
        return PCAP_FILTER_NO_CONTEXT;
    }
    OS_Lock(&context->lock);
    context->running = 1;
    context->recorded = 0;
    context->recordedBytes = 0;
    OS_Unlock(&context->lock);
    return PCAP_FILTER_SUCCESS;
}

int PCAP_FilterStop(PCAP_FilterContext* context) {
    if (context == nullptr) {
        return PCAP_FILTER_NO_CONTEXT;
    }
    OS_Lock(&context->lock);
    context->running = 0;
    while (context->fillable > 0) {
        CompleteFillSlot(context);
    }
    OS_Unlock(&context->lock);
    return PCAP_FILTER_SUCCESS;
}

int PCAP_FilterQueueBuffer(PCAP_FilterContext* context, uint8_t* area, uint32_t size) {
    if (context == nullptr) {
        return PCAP_FILTER_NO_CONTEXT;
    }
    int code = PCAP_FILTER_SUCCESS;
    OS_Lock(&context->lock);
    if (context->queued + 1 > PCAP_FILTER_MAX_QUEUED) {
        code = PCAP_FILTER_NO_ROOM;
    } else if (area == nullptr ||
               size < context->maximumPacketSize + PCAP_FILTER_RECORD_HEADER_SIZE) {
        code = PCAP_FILTER_AREA_TOO_SMALL;
    } else {
        PCAP_FilterSlot& slot =
            context->slots[(context->retrieveIndex + context->queued) % PCAP_FILTER_SLOT_COUNT];
        slot.size = size;
        slot.used = 0;
        slot.count = 0;
        slot.data = area;
        OS_EventReset(&slot.event);
        ++context->queued;
        ++context->fillable;
    }
    OS_Unlock(&context->lock);
    return code;
}

int PCAP_FilterRetrieveBuffer(PCAP_FilterContext* context, uint32_t timeoutMs, uint32_t* dataLength,
                              uint32_t* packetCount, uint32_t* dropped) {
    if (context == nullptr) {
        return PCAP_FILTER_NO_CONTEXT;
    }
    *dataLength = 0;
    *packetCount = 0;
    *dropped = 0;
    OS_Lock(&context->lock);
    if (context->queued == 0) {
        OS_Unlock(&context->lock);
        return PCAP_FILTER_NOTHING_QUEUED;
    }
    if (context->waiters != 0) {
        OS_Unlock(&context->lock);
        return PCAP_FILTER_ALREADY_WAITING;
    }
    context->waiters = 1;
    PCAP_FilterSlot* slot = &context->slots[context->retrieveIndex];
    OS_Unlock(&context->lock);

    // The wait is outside the lock, so that packets keep flowing meanwhile.
    if (OS_EventWaitWithTimeout(&slot->event, static_cast<uint64_t>(timeoutMs) * 1000u) !=
        OS_SUCCESS) {
        OS_Lock(&context->lock);
        context->waiters = 0;
        OS_Unlock(&context->lock);
        return PCAP_FILTER_WAIT_FAILED;
    }
    // A complete slot is written by nobody until it is lent again.
    *dataLength = slot->used;
    *packetCount = slot->count;
    OS_Lock(&context->lock);
    --context->queued;
    context->retrieveIndex = NextSlot(context->retrieveIndex);
    *dropped = context->dropped;
    context->dropped = 0;
    context->waiters = 0;
    OS_Unlock(&context->lock);
    return PCAP_FILTER_SUCCESS;
}

int PCAP_FilterProcessPacket(PCAP_FilterContext* context, const uint8_t* data,
                             uint32_t capturedLength, uint32_t wireLength) {
    return StorePacket(context, data, capturedLength, wireLength, true, 0, 0);
}

int PCAP_FilterProcessPacketAt(PCAP_FilterContext* context, const uint8_t* data,
                               uint32_t capturedLength, uint32_t wireLength, uint32_t seconds,
                               uint32_t microseconds) {
    return StorePacket(context, data, capturedLength, wireLength, false, seconds, microseconds);
}

int PCAP_Cancel() {
    return PCAP_FILTER_CANCELLED;
}

uint64_t PCAP_FilterRecordedCount(PCAP_FilterContext* context, uint64_t* bytes) {
    OS_Lock(&context->lock);
    const uint64_t recorded = context->recorded;
    if (bytes != nullptr) {
        *bytes = context->recordedBytes;
    }
    OS_Unlock(&context->lock);
    return recorded;
}

uint32_t PCAP_FilterPendingDropped(PCAP_FilterContext* context) {
    OS_Lock(&context->lock);
    const uint32_t dropped = context->dropped;
    OS_Unlock(&context->lock);
    return dropped;
}

uint32_t PCAP_FilterTakeDropped(PCAP_FilterContext* context) {
    OS_Lock(&context->lock);
    const uint32_t dropped = context->dropped;
    context->dropped = 0;
    OS_Unlock(&context->lock);
    return dropped;
}

int OS_LockInit(pthread_mutex_t* lock) {
    return pthread_mutex_init(lock, nullptr) == 0 ? OS_SUCCESS : OS_FAILURE;
}

int OS_LockFree(pthread_mutex_t* lock) {
    pthread_mutex_destroy(lock);
    return OS_SUCCESS;
}

int OS_Lock(pthread_mutex_t* lock) {
    return pthread_mutex_lock(lock) == 0 ? OS_SUCCESS : OS_FAILURE;
}

int OS_Unlock(pthread_mutex_t* lock) {
    return pthread_mutex_unlock(lock) == 0 ? OS_SUCCESS : OS_FAILURE;
}

int OS_EventInit(OS_Event* event) {
    int failed = 0;
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0) {
        failed = 1;
    } else {
        failed |= pthread_mutex_init(&event->mutex, &attributes) != 0;
        pthread_mutexattr_destroy(&attributes);
    }
    failed |= pthread_cond_init(&event->condition, nullptr) != 0;
    event->flag = 0;
    return failed ? OS_FAILURE : OS_SUCCESS;
}

int OS_EventFree(OS_Event* event) {
    const bool conditionFailed = pthread_cond_destroy(&event->condition) != 0;
    const bool mutexFailed = pthread_mutex_destroy(&event->mutex) != 0;
    return conditionFailed || mutexFailed ? OS_FAILURE : OS_SUCCESS;
}

int OS_EventSet(OS_Event* event) {
    pthread_mutex_lock(&event->mutex);
    event->flag = 1;
    pthread_cond_broadcast(&event->condition);
    pthread_mutex_unlock(&event->mutex);
    return OS_SUCCESS;
}

int OS_EventReset(OS_Event* event) {
    pthread_mutex_lock(&event->mutex);
    event->flag = 0;
    pthread_mutex_unlock(&event->mutex);
    return OS_SUCCESS;
}

int OS_EventWaitWithTimeout(OS_Event* event, uint64_t timeoutUs) {
    timespec deadline;
    TimespecForTimeoutConv(&deadline, timeoutUs);
    int code = OS_SUCCESS;
    pthread_mutex_lock(&event->mutex);
    while (event->flag == 0) {
        const int error = pthread_cond_timedwait(&event->condition, &event->mutex, &deadline);
        if (error == ETIMEDOUT) {
            code = event->flag != 0 ? OS_SUCCESS : OS_TIMEOUT;
            break;
        }
        if (error != 0) {
            code = OS_FAILURE;
            break;
        }
    }
    pthread_mutex_unlock(&event->mutex);
    return code;
}

void TimespecForTimeoutConv(timespec* deadline, uint64_t timeoutUs) {
    clock_gettime(CLOCK_REALTIME, deadline);
    const uint64_t nanoseconds = static_cast<uint64_t>(deadline->tv_nsec) + timeoutUs * 1000u;
    deadline->tv_sec += static_cast<time_t>(nanoseconds / kNanosecondsPerSecond);
    deadline->tv_nsec = static_cast<long>(nanoseconds % kNanosecondsPerSecond);
}

void OS_TimeSinceEpoch(uint32_t* seconds, uint32_t* microseconds) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    *seconds = static_cast<uint32_t>(now.tv_sec);
    *microseconds = static_cast<uint32_t>(now.tv_nsec / 1000);
}

uint64_t OS_TimeGetUS() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

uint64_t OS_TimeGetPreciseUS() {
    return OS_TimeGetUS();
}

unsigned int OS_AdapterIndex(const char* name) {
    return if_nametoindex(name);
}

int PCAP_FilterCompleteFill(PCAP_FilterContext* context, uint32_t* completeAreas) {
    if (context == nullptr) {
        return PCAP_FILTER_NO_CONTEXT;
    }
    OS_Lock(&context->lock);
    if (context->fillable > 0 && context->slots[context->fillIndex].used > 0) {
        CompleteFillSlot(context);
    }
    *completeAreas = context->queued - context->fillable;
    OS_Unlock(&context->lock);
    return PCAP_FILTER_SUCCESS;
}
