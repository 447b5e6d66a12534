#pragma once

#include <cstdint>

// What a recording kept and lost, from the capture to the file: the sniffer fills the capture
// side while the recording runs and after it, the writer the file side.
struct RecordingCounters {
    uint64_t recorded = 0;         // packets stored in capture memory since the start
    uint64_t kernelDropped = 0;    // packets the kernel dropped for this capture
    uint64_t recorderDropped = 0;  // packets that found no lent Buffer
    uint64_t discarded = 0;        // circular: the oldest packets, given up to make room
    uint64_t bytesHeld = 0;        // bytes of the records held in capture memory
    uint64_t bytesLimit = 0;       // the most capture memory the recording may use
    uint64_t stored = 0;           // packets in the capture file
    uint64_t storedBytes = 0;      // bytes of the capture file
};
