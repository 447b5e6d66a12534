// The text parsers over fuzzed text, each answer held against a plain reading of its rules:
// IpAddress::Set (narrow and wide), EthernetAddress::Set, ReplaceEnv, ExpandEnvironmentVariables
// and String's conversions. NUL bytes separate the text from the values of KV_FUZZ_A and KV_FUZZ_B.

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "KvUtilsLib/Network/EthernetAddress.h"
#include "KvUtilsLib/Network/IpAddress.h"
#include "ZrUtilsLib/String.h"
#include "ZrUtilsLib/Utilities.h"
#include "fuzz/FuzzSupport.h"

using KvUtilsLib::Network::EthernetAddress;
using KvUtilsLib::Network::IpAddress;
using ZrUtilsLib::String;

namespace {

// An accepted text gives `bytes` and prints as `printed`, which reads back the same; a refused
// one leaves the address as it was.
template <typename Address, typename Char>
void CheckSet(Address address, const Char* text, bool accepted, const unsigned char* bytes,
              const char* printed) {
    const Address before = address;
    const unsigned int code = address.Set(text).GetCode();
    if (!accepted) {
        FUZZ_CHECK(code == ZrUtilsLib::INVALID_ARGUMENT && address == before);
        return;
    }
    char narrow[Address::TEXT_SIZE];
    wchar_t wide[Address::TEXT_SIZE];
    address.GetString(narrow);
    address.GetString(wide);
    FUZZ_CHECK(code == ZrUtilsLib::OK && std::memcmp(address.GetData(), bytes, Address::SIZE) == 0);
    FUZZ_CHECK(std::strcmp(narrow, printed) == 0);
    FUZZ_CHECK(std::wstring(wide) == std::wstring(printed, printed + std::strlen(printed)));
    FUZZ_CHECK(Address(narrow) == address);
}

// Four dot-separated octets of digits (empty counts as 0), each at most 255, optionally opened
// by '[' and closed by ']'. A parse also drops the wildcard flag.
template <typename Char>
void CheckIp(const Char* text, std::string plain, bool allowBrackets) {
    const size_t open = allowBrackets && !plain.empty() && plain.front() == '[';
    const size_t close = allowBrackets && plain.size() > open && plain.back() == ']';
    plain = plain.substr(open, plain.size() - open - close);
    unsigned int values[IpAddress::SIZE] = {0, 0, 0, 0};
    unsigned int octet = 0;
    bool accepted = true;
    for (size_t i = 0; accepted && i < plain.size(); ++i) {
        const char c = plain[i];
        accepted = c == '.' ? ++octet < IpAddress::SIZE
                            : c >= '0' && c <= '9' &&
                                  (values[octet] = values[octet] * 10 + (c - '0')) <= 255;
    }
    unsigned char bytes[IpAddress::SIZE];
    std::copy(values, values + IpAddress::SIZE, bytes);
    char printed[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, bytes, printed, sizeof(printed));
    CheckSet(IpAddress(9, 9, 9, 9), text, accepted && octet == IpAddress::SIZE - 1, bytes, printed);
    IpAddress wildcard;
    wildcard.SetAny();
    (void)wildcard.Set(text);
    FUZZ_CHECK(!wildcard.IsAny());
}

// Accepted exactly when, without '-', ':', '[' and ']', the text is twelve hexadecimal digits.
void CheckEthernet(const std::string& text) {
    std::string digits;
    std::remove_copy_if(text.begin(), text.end(), std::back_inserter(digits),
                        [](char c) { return std::strchr("-:[]", c) != nullptr; });
    const bool accepted = digits.size() == 2 * EthernetAddress::SIZE &&
                          digits.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
    unsigned char bytes[EthernetAddress::SIZE] = {};
    for (size_t i = 0; accepted && i < EthernetAddress::SIZE; ++i) {
        bytes[i] = static_cast<unsigned char>(std::stoul(digits.substr(2 * i, 2), nullptr, 16));
    }
    char printed[EthernetAddress::TEXT_SIZE];
    std::snprintf(printed, sizeof(printed), "%02x:%02x:%02x:%02x:%02x:%02x", bytes[0], bytes[1],
                  bytes[2], bytes[3], bytes[4], bytes[5]);
    CheckSet(EthernetAddress(0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF), text.c_str(), accepted, bytes,
             printed);
}

std::string ExpectedReplaceEnv(const std::string& whole) {
    const std::string text = whole.substr(0, 2047);
    std::string out;
    for (size_t i = 0; i < text.size();) {
        if (text[i] != '$' || i + 1 == text.size() || (text[i + 1] != '(' && text[i + 1] != '{')) {
            out += text[i++];
            continue;
        }
        const size_t close = text.find_first_of(")}", i + 2);
        if (close == std::string::npos) {
            break;  // unterminated: the reference and the rest are dropped
        }
        const char* value = std::getenv(text.substr(i + 2, close - i - 2).c_str());
        for (const char* c = value; c != nullptr && *c != '\0'; ++c) {
            out += *c == '\\' ? '/' : *c;
        }
        i = close + 1;
    }
    return out;
}

std::string ExpectedExpansion(const std::string& text) {
    const size_t open = text.find('%');
    const size_t close = open == std::string::npos ? open : text.find('%', open + 1);
    if (close == std::string::npos) {
        return "";
    }
    const char* value = std::getenv(text.substr(open + 1, close - open - 1).c_str());
    return value == nullptr ? text : text.substr(0, open) + value + text.substr(close + 1);
}

// Narrow to wide and back gives a prefix of the text, the whole text when it is ASCII; wide
// units give a bounded text whose ASCII start is theirs. Past 4096 units the conversions leave
// their stack buffers.
void CheckConversions(const std::string& text, const std::wstring& units) {
    const std::wstring wide = String(text.c_str()).GetUnicode();
    const std::string round = String(wide.c_str()).GetAscii();
    FUZZ_CHECK(wide.size() <= text.size() && text.compare(0, round.size(), round) == 0);
    FUZZ_CHECK(std::any_of(text.begin(), text.end(), [](char c) { return c < 0; }) ||
               (round == text && wide.size() == text.size()));
    const std::string narrow = String(units.c_str()).GetAscii();
    FUZZ_CHECK(narrow.size() <= units.size() * MB_CUR_MAX);
    for (size_t i = 0; i < units.size() && units[i] > 0 && units[i] <= 0x7F; ++i) {
        FUZZ_CHECK(i < narrow.size() && narrow[i] == static_cast<char>(units[i]));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> pieces = KvFuzz::SplitAtNul(data, size);
    const std::string& text = pieces[0];
    std::wstring units(size / sizeof(wchar_t), L'\0');  // the input as four-byte units
    std::memcpy(units.data(), data, units.size() * sizeof(wchar_t));
    units.resize(std::min(units.find(L'\0'), units.size()));
    CheckIp(text.c_str(), text, true);
    CheckIp(std::wstring(text.begin(), text.end()).c_str(), text, false);
    // Units far outside ASCII must never pass for digits or dots.
    std::string plain;
    for (wchar_t unit : units) {
        plain += (unit >= L'0' && unit <= L'9') || unit == L'.' ? static_cast<char>(unit) : 'x';
    }
    CheckIp(units.c_str(), plain, false);
    CheckEthernet(text);

    static std::string entries[2];  // putenv keeps them: setenv would keep every value for good
    for (size_t i = 0; i < 2; ++i) {
        const std::string name = i == 0 ? "KV_FUZZ_A" : "KV_FUZZ_B";
        unsetenv(name.c_str());
        if (i + 1 < pieces.size()) {
            putenv((entries[i] = name + "=" + pieces[i + 1]).data());
        }
    }
    FUZZ_CHECK(ZrUtilsLib::ReplaceEnv(String(text.c_str())).GetAscii() == ExpectedReplaceEnv(text));
    FUZZ_CHECK(String(text.c_str()).ExpandEnvironmentVariables() == ExpectedExpansion(text));
    CheckConversions(text, units);
    return 0;
}
