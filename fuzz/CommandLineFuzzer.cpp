// Parse over arbitrary argument vectors, with the console prompts reading a fuzzed standard
// input. The input's NUL bytes separate the arguments (the first is the program path); the
// last piece is what is typed at the console. The target runs in a private network namespace
// with the veth pairs kvfuzz0-2 / kvother0-2; the stand-in driver probe reports the kvfuzz
// adapters as carrying the driver, so the adapter prompt always offers the same three.
//
// Whatever the input, the record keeps its bounds (sizes clamped, Filename terminated); and
// when Parse lets the recording go on, the record is complete: a mode, a capture file name
// the sniffer can take, and an adapter that carries the driver. With KV_FUZZ_SHOW_CONSOLE set,
// each run prints what Parse printed (handy when replaying a finding).

#include <cstring>
#include <string>
#include <vector>

#include "KvUtilsLib/Network/IDriverEnabled.h"
#include "app/CommandLine.h"
#include "fuzz/FuzzSupport.h"

namespace {

constexpr size_t kMaximumArguments = 24;
constexpr const char* kDriverPrefix = "kvfuzz";
constexpr size_t kPcapEndingLength = 5;

class StandInDriver : public KvUtilsLib::Network::IDriverEnabled {
public:
    ZrUtilsLib::Result Open() override { return ZrUtilsLib::OK; }
    ZrUtilsLib::Result Close() override { return ZrUtilsLib::OK; }
    ZrUtilsLib::Result IsDriverEnabled(const char* adapterName, bool& enabled) override {
        enabled = std::strncmp(adapterName, kDriverPrefix, std::strlen(kDriverPrefix)) == 0;
        return ZrUtilsLib::OK;
    }
    ZrUtilsLib::Result GetDriverVersion(ZrUtilsLib::String& version) override {
        version = "1, 2, 3, 4";
        return ZrUtilsLib::OK;
    }
};

// The console's input; an empty one is an input that has ended.
FILE* OpenInput(std::string& typed) {
    if (typed.empty()) {
        return std::fopen("/dev/null", "r");
    }
    return fmemopen(typed.data(), typed.size(), "r");
}

bool EndsWithPcap(const char* name, size_t length) {
    return length >= kPcapEndingLength &&
           std::strcmp(name + length - kPcapEndingLength, ".pcap") == 0;
}

void CheckBounds(const PCAPSnifferConfiguration& config) {
    FUZZ_CHECK(std::memchr(config.Filename, '\0', sizeof(config.Filename)) != nullptr,
               "Filename not terminated");
    FUZZ_CHECK(config.NumberOfPackets >= 512, "NumberOfPackets %d", config.NumberOfPackets);
    FUZZ_CHECK(config.BufferSize >= 1024000, "BufferSize %d", config.BufferSize);
    FUZZ_CHECK(config.MaximumPacketSize >= 32 && config.MaximumPacketSize <= 65535,
               "MaximumPacketSize %d", config.MaximumPacketSize);
    FUZZ_CHECK(config.Mode <= Circular, "Mode %u", config.Mode);
}

void CheckComplete(const PCAPSnifferConfiguration& config) {
    FUZZ_CHECK(config.Mode >= FixedNumberOfPackets && config.Mode <= Circular, "Mode %u",
               config.Mode);
    const size_t length = std::strlen(config.Filename);
    FUZZ_CHECK(length > 0, "no file name");
    FUZZ_CHECK(EndsWithPcap(config.Filename, length) ||
                   length + kPcapEndingLength < sizeof(config.Filename),
               "file name of %zu characters leaves no room for .pcap", length);
    FUZZ_CHECK(config.AdapterName.compare(0, std::strlen(kDriverPrefix), kDriverPrefix) == 0,
               "adapter \"%s\" does not carry the driver",
               KvFuzz::Printable(config.AdapterName).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("ZR_TINY_LOGGER", "stdout,3", 0);
    if (!KvFuzz::EnterPrivateNetwork(
            {{"kvfuzz0", "kvother0"}, {"kvfuzz1", "kvother1"}, {"kvfuzz2", "kvother2"}})) {
        std::fprintf(stderr,
                     "command line fuzzer: no private network namespace (root needed); "
                     "the adapter prompt sees this machine's adapters\n");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> pieces = KvFuzz::SplitAtNul(data, size);
    std::string typed = pieces.back();
    pieces.pop_back();
    if (pieces.size() > kMaximumArguments) {
        pieces.resize(kMaximumArguments);
    }
    std::vector<const char*> argv;
    for (const std::string& piece : pieces) {
        argv.push_back(piece.c_str());
    }
    argv.push_back(nullptr);

    FILE* input = OpenInput(typed);
    char* printed = nullptr;
    size_t printedSize = 0;
    FILE* output = open_memstream(&printed, &printedSize);
    FUZZ_CHECK(input != nullptr && output != nullptr, "console streams");

    StandInDriver driver;
    PCAPSnifferConfiguration config;
    config.AdapterName = "stale";
    bool flag = true;
    const int goOn =
        Parse(static_cast<int>(pieces.size()), argv.data(), config, flag, &driver, input, output);
    FUZZ_CHECK(!flag, "flag left set");
    CheckBounds(config);
    if (goOn != 0) {
        CheckComplete(config);
        DumpConfiguration(config, output);
    }
    std::fclose(input);
    std::fclose(output);
    if (std::getenv("KV_FUZZ_SHOW_CONSOLE") != nullptr) {
        std::fprintf(stderr, "Parse answered %d; console:\n%s\n", goOn, printed);
    }
    std::free(printed);
    return 0;
}
