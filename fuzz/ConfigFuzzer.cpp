// What the program reads from the system, with fuzzed content, inside the sandbox (only loopback,
// so the inventory's first pass lists nothing). The first byte modulo 4 chooses: 0 a routing
// table, 1 an adapter's name, '/' and its address file, 2 a log rule file, 3 a log configuration
// string (ZR_TINY_LOGGER). Standard output, where rule messages go at level 7, is /dev/null.

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "KvUtilsLib/Network/GatewayParser.h"
#include "KvUtilsLib/Network/Interface.h"
#include "KvUtilsLib/Network/System.h"
#include "ZrUtilsLib/TinyLogConfig.h"
#include "ZrUtilsLib/TinyLogServer.h"
#include "fuzz/FuzzSupport.h"

using namespace KvUtilsLib::Network;
using namespace ZrUtilsLib;

namespace {

void WriteFile(const std::string& path, const std::string& content) {
    FILE* file = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(file != nullptr &&
               std::fwrite(content.data(), 1, content.size(), file) == content.size() &&
               std::fclose(file) == 0);
}

// The value of a token of at most 8 hexadecimal digits, else -1.
int64_t Hex(const std::string& token) {
    const bool hex = token.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
    return hex && token.size() <= 8 ? std::stoll(token, nullptr, 16) : -1;
}

// Every gateway is a dotted IPv4 text. A line that fits one chunk (CHUNK_SIZE - 2 characters and
// its end) with a name of at most 15 characters, destination 0 and a gateway of at most 8 hex
// digits is a default route, the last of a name winning; names that start a longer line (only
// its first chunk counts) are not compared.
void CheckRoutes(const std::string& content) {
    WriteFile("/dev/shm/route", content);
    GatewayParser parser("/dev/shm/route");
    FUZZ_CHECK(parser.ParseRoute().GetCode() == OK);
    if (content.find('\0') != std::string::npos) {
        return;  // a NUL byte hides the rest of its chunk from the reader
    }
    std::map<std::string, std::string> expected;
    std::set<std::string> uncertain;
    std::istringstream lines(content);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string name, destinationText, gatewayText;
        if (!(fields >> name)) {
            continue;
        }
        expected.emplace(name, "");
        if (line.size() > GatewayParser::CHUNK_SIZE - 2) {
            uncertain.insert(name);
        } else if (fields >> destinationText >> gatewayText && name.size() <= 15 &&
                   Hex(destinationText) == 0 && Hex(gatewayText) >= 0) {
            expected[name] = inet_ntoa(in_addr{static_cast<in_addr_t>(Hex(gatewayText))});
        }
    }
    for (const auto& [name, wanted] : expected) {
        const std::string gateway = parser.Get(name);
        in_addr bytes;
        FUZZ_CHECK(gateway.empty() || inet_pton(AF_INET, gateway.c_str(), &bytes) == 1);
        FUZZ_CHECK(gateway == wanted || uncertain.count(name) != 0);
    }
}

// An address file of at most MAX_ADDRESS_FILE_SIZE bytes gives one record named after the adapter,
// its address being the file's characters from '0' to 'z'; a longer file, or none, gives none.
void CheckAddressFile(const std::string& input) {
    const size_t slash = input.find('/');
    std::string name = input.substr(0, slash);
    if (name.empty() || name == "." || name == ".." || name.size() > 200 ||
        name.find('\0') != std::string::npos) {
        name = "kvfuzz0";
    }
    const std::string directory = std::string(System::CLASS_NET_DIR) + "/" + name;
    const std::string file = directory + "/address";
    FUZZ_CHECK(mkdir(directory.c_str(), 0755) == 0);
    const bool hasFile = slash != std::string::npos;
    const std::string content = hasFile ? input.substr(slash + 1) : "";
    if (hasFile) {
        WriteFile(file, content);
    }
    {
        System inventory(nullptr);
        const bool listed = hasFile && name != "lo" && content.size() <= MAX_ADDRESS_FILE_SIZE;
        FUZZ_CHECK(inventory.GetInterfaceCount() == (listed ? 1u : 0u));
        std::string text;
        std::copy_if(content.begin(), content.end(), std::back_inserter(text),
                     [](char c) { return c >= '0' && c <= 'z'; });
        FUZZ_CHECK(!listed || (inventory.GetInterface(0)->GetName() == name &&
                               inventory.GetInterface(0)->GetMACAddress() == text));
    }
    unlink(file.c_str());
    FUZZ_CHECK(rmdir(directory.c_str()) == 0);
}

// The rules kept, read one line at a time as getline does, each line as far as its first NUL:
// comparison, level 0-8, sense, then a pattern up to '#', trimmed, kept when it compiles.
std::vector<std::unique_ptr<TinyLogConfig::Matcher>> ExpectedRules(const std::string& content) {
    std::vector<std::unique_ptr<TinyLogConfig::Matcher>> rules;
    for (size_t start = 0, end; start < content.size(); start = end) {
        end = std::min(content.find('\n', start), content.size() - 1) + 1;
        std::string line = content.substr(start, end - start);
        line = line.substr(0, line.find('\0'));
        if (line.size() < 4 || std::string("<=>").find(line[0]) == std::string::npos ||
            line[1] < '0' || line[1] > '8' || (line[2] != '!' && line[2] != ':') ||
            line[3] == '#') {
            continue;
        }
        std::string pattern = line.substr(3, line.find('#') - 3);
        pattern.erase(pattern.find_last_not_of(" \t\n\v\f\r") + 1);
        auto rule = std::make_unique<TinyLogConfig::Matcher>(&pattern[0], line[1] - '0',
                                                             line[2] == '!', line[0]);
        if (rule->Compile(nullptr, 0)) {
            rules.push_back(std::move(rule));
        }
    }
    return rules;
}

// The rules held against the reading above through Check, for a few channels and every level.
void CheckRules(const std::string& content) {
    std::string path = "/dev/shm/Log.cfg";
    WriteFile(path, content);
    const int defaultLevel = content.empty() ? 3 : static_cast<unsigned char>(content[0]) % 9;
    TinyLogConfig config("/dev/shm", defaultLevel);
    config.ParseConfig(&path[0]);
    const auto expected = ExpectedRules(content);
    FUZZ_CHECK(config.GetRuleCount() == expected.size());
    for (const char* channel :
         {"ZrUtilsLib", "KvTransportLayerLib", "KvUtilsLib", "LogConfig", "", "Kv", "a"}) {
        for (int level = 0; level <= 9; ++level) {
            int wanted = TinyLogConfig::kNoDecision;
            for (size_t i = 0; i < expected.size() && wanted == TinyLogConfig::kNoDecision; ++i) {
                wanted = expected[i]->Check(channel, level, defaultLevel);
            }
            wanted = wanted == TinyLogConfig::kStop ? TinyLogConfig::kNoDecision : wanted;
            FUZZ_CHECK(config.Check(channel, level) == wanted);
        }
    }
}

// Start and length of each field: commas separate, a run of them counting as one.
std::vector<std::pair<size_t, size_t>> SplitFields(const std::string& text) {
    std::vector<std::pair<size_t, size_t>> fields;
    for (size_t start = text.find_first_not_of(','); start != std::string::npos;) {
        const size_t end = std::min(text.find(',', start), text.size());
        fields.emplace_back(start, end - start);
        start = text.find_first_not_of(',', end);
    }
    return fields;
}

// The server runs for "stdout,<level>[,<records>...]", "file,<level>,<path>[,<size>,<records>..."
// and "syslog,<level>,<address of at most 31 characters>[,<facility>,<records>...]"; a level
// outside 0-8 is 3, a record count below 1 is 128 and one above 65536 is 65536. A running server
// takes fewer messages than it has records, drops none and writes them all.
void CheckServer(const std::string& input) {
    const char* logPath = "/dev/shm/kvfuzz.log";
    unlink(logPath);  // one run's messages at most
    // The server reads at most kConfigurationSize - 1 characters, up to the first NUL.
    std::string text =
        input.substr(0, std::min(input.find('\0'), TinyLogServer::kConfigurationSize - 1));
    auto fields = SplitFields(text);
    auto field = [&](size_t i) { return text.substr(fields[i].first, fields[i].second); };
    if (fields.size() >= 3 && field(0) == "file") {
        text.replace(fields[2].first, fields[2].second, logPath);
        if (text.size() >= TinyLogServer::kConfigurationSize) {
            return;
        }
        fields = SplitFields(text);
    }
    const std::string kind = fields.size() >= 2 ? field(0) : "";
    const bool addressed = (kind == "file" || kind == "syslog") && fields.size() >= 3;
    const bool accepted =
        kind == "stdout" ||
        (addressed && (kind == "file" || fields[2].second <= TinyLogServer::kMaximumAddressLength));
    auto number = [&](size_t i) {
        return accepted && i < fields.size() ? std::strtol(field(i).c_str(), nullptr, 10) : 0L;
    };
    const long level = number(1), records = number(addressed ? 4 : 2);

    TinyLogServer server(text.c_str());
    FUZZ_CHECK(server.IsRunning() == accepted);
    FUZZ_CHECK(server.GetLimitLevel() == (level >= 0 && level <= 8 ? level : 3));
    if (!accepted) {
        server.Log(3, "file", 1, "function", "channel", "dropped: no server thread");
        return;
    }
    FUZZ_CHECK(server.GetRecordCount() ==
               static_cast<size_t>(std::clamp(records < 1 ? 128 : records, 1L, 65536L)));
    for (size_t i = 0; i < std::min<size_t>(server.GetRecordCount(), 4); ++i) {
        server.Log(static_cast<int>(i * 3), "LogConfigFuzzer.cpp", static_cast<unsigned>(i),
                   "CheckServer", "Fuzz", text.c_str());
    }
    FUZZ_CHECK(server.WaitUntilIdle(10000));
    FUZZ_CHECK(server.GetDroppedCount() == 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("ZR_TINY_LOGGER", "stdout,7", 0);
    FUZZ_CHECK(std::freopen("/dev/null", "w", stdout) != nullptr);
    KvFuzz::EnterSandbox();
    KvFuzz::MountScratch(System::CLASS_NET_DIR);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    void (*const checks[])(const std::string&) = {CheckRoutes, CheckAddressFile, CheckRules,
                                                  CheckServer};
    checks[data[0] % 4](input);
    return 0;
}
