// Parse over arbitrary argument vectors and a fuzzed console: the input's NUL bytes separate the
// arguments (the first is the program path), the last piece is what is typed. The stand-in driver
// probe reports the sandbox's veth adapters kvfuzz0-2 (not their peers kvother0-2) as carrying
// the driver. The record always keeps its bounds, and is complete when the recording goes on.

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "KvUtilsLib/Network/IDriverEnabled.h"
#include "app/CommandLine.h"
#include "fuzz/FuzzSupport.h"

namespace {

class StandInDriver : public KvUtilsLib::Network::IDriverEnabled {
public:
    ZrUtilsLib::Result Open() override { return ZrUtilsLib::OK; }
    ZrUtilsLib::Result Close() override { return ZrUtilsLib::OK; }
    ZrUtilsLib::Result IsDriverEnabled(const char* adapterName, bool& enabled) override {
        enabled = std::strncmp(adapterName, "kvfuzz", 6) == 0;
        return ZrUtilsLib::OK;
    }
    ZrUtilsLib::Result GetDriverVersion(ZrUtilsLib::String& version) override {
        version = "1, 2, 3, 4";
        return ZrUtilsLib::OK;
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("ZR_TINY_LOGGER", "stdout,3", 0);
    KvFuzz::EnterSandbox();
    FUZZ_CHECK(std::system("for n in 0 1 2; do ip link add kvfuzz$n type veth peer name kvother$n"
                           " && ip addr add 10.99.$n.1/24 dev kvfuzz$n && ip link set kvfuzz$n up"
                           " && ip link set kvother$n up || exit 1; done") == 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> pieces = KvFuzz::SplitAtNul(data, size);
    std::string typed = pieces.back();
    pieces.pop_back();
    pieces.resize(std::min<size_t>(pieces.size(), 24));
    std::vector<const char*> argv(pieces.size() + 1, nullptr);
    std::transform(pieces.begin(), pieces.end(), argv.begin(),
                   [](const std::string& piece) { return piece.c_str(); });
    // An empty input is one that has ended.
    FILE* input =
        typed.empty() ? std::fopen("/dev/null", "r") : fmemopen(typed.data(), typed.size(), "r");
    FILE* output = std::fopen("/dev/null", "w");
    FUZZ_CHECK(input != nullptr && output != nullptr);

    StandInDriver driver;
    PCAPSnifferConfiguration config;
    config.AdapterName = "stale";
    bool flag = true;
    const int goOn =
        Parse(static_cast<int>(pieces.size()), argv.data(), config, flag, &driver, input, output);
    const size_t length = strnlen(config.Filename, sizeof(config.Filename));
    FUZZ_CHECK(!flag && length < sizeof(config.Filename));
    FUZZ_CHECK(config.NumberOfPackets >= 512 && config.BufferSize >= 1024000);
    FUZZ_CHECK(config.MaximumPacketSize >= 32 && config.MaximumPacketSize <= 65535);
    FUZZ_CHECK(config.Mode <= Circular);
    if (goOn != 0) {
        // A mode, a file name with room for ".pcap", and an adapter that carries the driver.
        FUZZ_CHECK(config.Mode >= FixedNumberOfPackets && length > 0);
        FUZZ_CHECK(length + 5 < sizeof(config.Filename) ||
                   std::strcmp(config.Filename + length - 5, ".pcap") == 0);
        FUZZ_CHECK(config.AdapterName.compare(0, 6, "kvfuzz") == 0);
        DumpConfiguration(config, output);
    }
    std::fclose(input);
    std::fclose(output);
    return 0;
}
