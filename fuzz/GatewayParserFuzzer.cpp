// GatewayParser::ParseRoute over arbitrary route-file contents. Every gateway it records is a
// dotted IPv4 text; and for the lines short enough to come in one chunk, the default routes
// the file shows (name, destination 0, gateway in at most eight hexadecimal digits) are the
// ones recorded, the last line of a name winning. Names that also start a longer line are left
// out of that comparison, since only a long line's first chunk counts.

#include <arpa/inet.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "KvUtilsLib/Network/GatewayParser.h"
#include "fuzz/FuzzSupport.h"

using KvUtilsLib::Network::GatewayParser;

namespace {

std::string gRoutePath;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::vector<std::string> Tokens(const std::string& line) {
    std::vector<std::string> tokens;
    std::string token;
    for (char c : line) {
        if (IsBlank(c)) {
            if (!token.empty()) {
                tokens.push_back(token);
            }
            token.clear();
        } else {
            token.push_back(c);
        }
    }
    if (!token.empty()) {
        tokens.push_back(token);
    }
    return tokens;
}

bool ReadHex(const std::string& token, uint32_t& value) {
    if (token.empty() || token.size() > 8) {
        return false;
    }
    value = 0;
    for (char c : token) {
        const char* digits = "0123456789abcdef";
        const char* found = std::strchr(digits, c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
        if (found == nullptr) {
            return false;
        }
        value = (value << 4) | static_cast<uint32_t>(found - digits);
    }
    return true;
}

std::string Dotted(uint32_t gateway) {
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &gateway, text, sizeof(text));
    return text;
}

struct Model {
    std::map<std::string, std::string> gateways;  // from the short lines
    std::set<std::string> uncertain;              // names that start a long line
    std::set<std::string> names;                  // every first token
};

// Lines of at most CHUNK_SIZE - 2 characters come, with their line end, in one chunk.
Model ModelOf(const std::string& content) {
    Model model;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        std::string line = content.substr(start, end == std::string::npos ? end : end - start);
        start = end == std::string::npos ? content.size() : end + 1;
        std::vector<std::string> tokens = Tokens(line);
        if (tokens.empty()) {
            continue;
        }
        model.names.insert(tokens[0]);
        if (line.size() > GatewayParser::CHUNK_SIZE - 2) {
            model.uncertain.insert(tokens[0].substr(0, 15));
            model.uncertain.insert(tokens[0]);
            continue;
        }
        uint32_t destination;
        uint32_t gateway;
        if (tokens.size() >= 3 && tokens[0].size() <= 15 && ReadHex(tokens[1], destination) &&
            ReadHex(tokens[2], gateway) && destination == 0) {
            model.gateways[tokens[0]] = Dotted(gateway);
        }
    }
    return model;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    gRoutePath = KvFuzz::MakeScratchDirectory("route", true) + "/route";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FUZZ_CHECK(KvFuzz::WriteFile(gRoutePath, data, size), "cannot write %s", gRoutePath.c_str());
    GatewayParser parser(gRoutePath);
    const unsigned int code = parser.ParseRoute().GetCode();
    FUZZ_CHECK(code == ZrUtilsLib::OK, "ParseRoute answered %#x", code);

    const std::string content(reinterpret_cast<const char*>(data), size);
    // A NUL byte inside a line hides the rest of the chunk from the reader; no model then.
    if (content.find('\0') != std::string::npos) {
        return 0;
    }
    const Model model = ModelOf(content);
    for (const std::string& name : model.names) {
        const std::string gateway = parser.Get(name);
        unsigned char bytes[4];
        FUZZ_CHECK(gateway.empty() || inet_pton(AF_INET, gateway.c_str(), bytes) == 1,
                   "gateway of %s is %s", KvFuzz::Printable(name).c_str(),
                   KvFuzz::Printable(gateway).c_str());
        if (model.uncertain.count(name) != 0) {
            continue;
        }
        auto expected = model.gateways.find(name);
        const std::string wanted = expected == model.gateways.end() ? "" : expected->second;
        FUZZ_CHECK(gateway == wanted, "gateway of %s is \"%s\", expected \"%s\"",
                   KvFuzz::Printable(name).c_str(), gateway.c_str(), wanted.c_str());
    }
    return 0;
}
