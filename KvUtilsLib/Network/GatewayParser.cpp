#include "KvUtilsLib/Network/GatewayParser.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace KvUtilsLib {
namespace Network {

using ZrUtilsLib::Result;

namespace {

constexpr size_t MAX_NAME_LENGTH = IFNAMSIZ - 1;
constexpr size_t MAX_HEX_DIGITS = 8;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

const char* SkipBlanks(const char* p) {
    while (IsBlank(*p)) {
        ++p;
    }
    return p;
}

// The token starting at `p` (at most `maxLength` non-blank characters); null when it is empty
// or longer. Returns the first character after the token.
const char* ReadToken(const char* p, size_t maxLength, std::string& token) {
    const char* end = p;
    while (*end != '\0' && !IsBlank(*end)) {
        if (static_cast<size_t>(end - p) == maxLength) {
            return nullptr;
        }
        ++end;
    }
    if (end == p) {
        return nullptr;
    }
    token.assign(p, end);
    return end;
}

bool ParseHex(const std::string& token, uint32_t& value) {
    value = 0;
    for (char c : token) {
        unsigned int digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned int>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned int>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned int>(c - 'A' + 10);
        } else {
            return false;
        }
        value = (value << 4) | digit;
    }
    return true;
}

}  // namespace

GatewayParser::GatewayParser(const std::string& path) : mPath(path) {}

GatewayParser::~GatewayParser() = default;

bool GatewayParser::ParseDefaultRoute(const char* line, bool lineComplete, std::string& name,
                                      uint32_t& gateway) {
    std::string destinationText;
    std::string gatewayText;
    const char* p = ReadToken(SkipBlanks(line), MAX_NAME_LENGTH, name);
    if (p == nullptr || *p == '\0') {
        return false;
    }
    p = ReadToken(SkipBlanks(p), MAX_HEX_DIGITS, destinationText);
    if (p == nullptr || *p == '\0') {
        return false;
    }
    p = ReadToken(SkipBlanks(p), MAX_HEX_DIGITS, gatewayText);
    if (p == nullptr || (*p == '\0' && !lineComplete)) {
        return false;
    }
    uint32_t destination;
    if (!ParseHex(destinationText, destination) || !ParseHex(gatewayText, gateway)) {
        return false;
    }
    return destination == 0;
}

Result GatewayParser::ParseRoute() {
    std::unique_ptr<FILE, int (*)(FILE*)> stream(std::fopen(mPath.c_str(), "r"), std::fclose);
    if (!stream) {
        return Result(ZrUtilsLib::CANNOT_OPEN_FILE);
    }
    // Only the first chunk of a line holds the fields; the rest of a long line is skipped.
    char chunk[CHUNK_SIZE];
    bool atLineStart = true;
    while (std::fgets(chunk, sizeof(chunk), stream.get()) != nullptr) {
        size_t length = std::strlen(chunk);
        bool startsLine = atLineStart;
        bool endsLine = length > 0 && chunk[length - 1] == '\n';
        atLineStart = endsLine;
        if (!startsLine || chunk[0] == '\n') {
            continue;
        }
        std::string name;
        uint32_t gateway;
        bool lineComplete = endsLine || std::feof(stream.get());
        if (!ParseDefaultRoute(chunk, lineComplete, name, gateway)) {
            continue;
        }
        char text[INET_ADDRSTRLEN];
        if (inet_ntop(AF_INET, &gateway, text, sizeof(text)) == nullptr) {
            return Result(ZrUtilsLib::UNEXPECTED_ERROR);
        }
        mGateways[name] = text;
    }
    return Result(ZrUtilsLib::OK);
}

std::string GatewayParser::Get(const std::string& name) const {
    auto found = mGateways.find(name);
    return found == mGateways.end() ? std::string() : found->second;
}

}  // namespace Network
}  // namespace KvUtilsLib
