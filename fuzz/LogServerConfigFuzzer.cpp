// The TinyLogServer configuration string (what ZR_TINY_LOGGER holds) over arbitrary text. The
// outcome is compared with the configuration grammar: the kind and level fields, the required
// path or address, the limit level, the record pool and a running thread; a running server
// then takes a few messages and writes them all. Nothing leaves this machine or touches its
// files: the target runs in a private network namespace (a syslog output can reach nobody), a
// private mount namespace whose /dev/shm is a scratch tmpfs (the file output's machine-wide
// lock stays private), and a file output's path is confined to a scratch directory (its '/'
// and '$' are dropped; environment expansion has a target of its own).

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "ZrUtilsLib/TinyLogServer.h"
#include "fuzz/FuzzSupport.h"

using ZrUtilsLib::TinyLogServer;

namespace {

std::string gDirectory;
bool gPrivateNetwork = false;

struct Field {
    size_t start;
    size_t length;
};

// Fields split at commas, a run of commas counting as one separator.
std::vector<Field> SplitFields(const std::string& text) {
    std::vector<Field> fields;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && text[i] == ',') {
            ++i;
        }
        if (i == text.size()) {
            break;
        }
        size_t end = text.find(',', i);
        end = end == std::string::npos ? text.size() : end;
        fields.push_back({i, end - i});
        i = end;
    }
    return fields;
}

long Number(const std::string& field) {
    return std::strtol(field.c_str(), nullptr, 10);
}

struct Expected {
    bool accepted = false;
    int limitLevel = 0;
    size_t records = 0;
};

Expected ExpectedFor(const std::string& text) {
    Expected expected;
    const std::vector<Field> fields = SplitFields(text);
    auto field = [&](size_t i) { return text.substr(fields[i].start, fields[i].length); };
    if (fields.size() < 2) {
        return expected;
    }
    const std::string kind = field(0);
    size_t recordField;
    if (kind == "stdout") {
        recordField = 2;
    } else if (kind == "file" && fields.size() >= 3) {
        recordField = 4;
    } else if (kind == "syslog" && fields.size() >= 3 &&
               fields[2].length <= TinyLogServer::kMaximumAddressLength) {
        recordField = 4;
    } else {
        return expected;
    }
    expected.accepted = true;
    const long level = Number(field(1));
    expected.limitLevel = level >= 0 && level <= 8 ? static_cast<int>(level) : 3;
    const long records = fields.size() > recordField ? Number(field(recordField)) : 0;
    expected.records = records < 1 ? 128
                       : records > TinyLogServer::kMaximumRecordCount
                           ? TinyLogServer::kMaximumRecordCount
                           : static_cast<size_t>(records);
    return expected;
}

// A file output's path becomes a name inside the scratch directory.
std::string Confined(std::string text) {
    const std::vector<Field> fields = SplitFields(text);
    if (fields.size() >= 3 && text.compare(fields[0].start, fields[0].length, "file") == 0) {
        std::string name = "log-";
        for (char c : text.substr(fields[2].start, fields[2].length)) {
            if (c != '/' && c != '$') {
                name.push_back(c);
            }
        }
        text.replace(fields[2].start, fields[2].length, gDirectory + "/" + name.substr(0, 200));
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
    const bool privateMounts = KvFuzz::EnterPrivateMounts() && KvFuzz::MountScratch("/dev/shm");
    gPrivateNetwork = KvFuzz::EnterPrivateNetwork({});
    if (!privateMounts) {
        std::fprintf(stderr,
                     "log server fuzzer: no private mount namespace (root needed); file "
                     "outputs are left out so the machine-wide log lock is not touched\n");
    }
    if (!gPrivateNetwork) {
        std::fprintf(stderr,
                     "log server fuzzer: no private network namespace (root needed); "
                     "syslog outputs are left out\n");
    }
    gDirectory = KvFuzz::MakeScratchDirectory("logserver", privateMounts);
    if (!privateMounts) {
        gDirectory.clear();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The server reads at most kConfigurationSize - 1 characters, up to the first NUL.
    std::string text = KvFuzz::SplitAtNul(data, size).front();
    text.resize(std::min(text.size(), TinyLogServer::kConfigurationSize - 1));
    const std::vector<Field> fields = SplitFields(text);
    const std::string kind = fields.empty() ? "" : text.substr(fields[0].start, fields[0].length);
    if ((kind == "file" && gDirectory.empty()) || (kind == "syslog" && !gPrivateNetwork)) {
        return 0;
    }
    text = Confined(text);
    if (text.size() >= TinyLogServer::kConfigurationSize) {
        return 0;  // cutting it could cut the confined path short
    }
    const Expected expected = ExpectedFor(text);

    TinyLogServer server(text.c_str());
    const std::string shown = KvFuzz::Printable(text);
    FUZZ_CHECK(server.IsRunning() == expected.accepted, "%s: running %d", shown.c_str(),
               server.IsRunning());
    FUZZ_CHECK(server.GetLimitLevel() == expected.limitLevel, "%s: limit level %d", shown.c_str(),
               server.GetLimitLevel());
    if (!expected.accepted) {
        server.Log(3, "file", 1, "function", "channel", "dropped: no server thread");
        return 0;
    }
    FUZZ_CHECK(server.GetRecordCount() == expected.records, "%s: %zu records", shown.c_str(),
               server.GetRecordCount());
    // Fewer messages than records: none may be dropped, and all are written.
    const size_t messages = std::min<size_t>(expected.records, 4);
    for (size_t i = 0; i < messages; ++i) {
        server.Log(static_cast<int>(i * 3), "LogServerConfigFuzzer.cpp", static_cast<unsigned>(i),
                   "LLVMFuzzerTestOneInput", "Fuzz", shown.c_str());
    }
    FUZZ_CHECK(server.WaitUntilIdle(10000), "%s: messages not written", shown.c_str());
    FUZZ_CHECK(server.GetDroppedCount() == 0, "%s: messages dropped", shown.c_str());
    return 0;
}
