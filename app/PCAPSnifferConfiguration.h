#pragma once

#include <cstdint>
#include <string>

// Recording modes, as chosen by --mode= or the mode prompt. Unscoped so that the values compare
// directly with PCAPSnifferConfiguration::Mode.
enum RecordingMode : uint32_t {
    None = 0,
    FixedNumberOfPackets = 1,
    Continuous = 2,
    Circular = 3,
};

// The settings of one recording, filled by Parse and the prompts, then handed to the sniffer.
struct PCAPSnifferConfiguration {
    // Room of Filename, terminating NUL included: a file name holds at most 1023 characters.
    static constexpr int FILENAME_SIZE = 1024;

    std::string AdapterName;
    char Filename[FILENAME_SIZE] = {};
    uint32_t Mode = None;
    int32_t BufferSize = 1024000;
    int32_t NumberOfPackets = 1024;
    int32_t MaximumPacketSize = 200;
    // A libpcap capture filter expression (--filter=); empty: every packet.
    std::string CaptureFilter;
    // Seconds after which the recording ends by itself (--duration=); 0: no limit.
    uint32_t DurationSeconds = 0;
};
