// EthernetAddress::Set over arbitrary text. The text is accepted exactly when, without its
// '-', ':', '[' and ']', it is twelve hexadecimal digits; a refused text leaves the address as
// it was, and an accepted one prints back as the canonical form, which reads back the same.

#include <cstring>
#include <string>

#include "KvUtilsLib/Network/EthernetAddress.h"
#include "fuzz/FuzzSupport.h"

using KvUtilsLib::Network::EthernetAddress;

namespace {

int HexDigit(char c) {
    const char* digits = "0123456789abcdef";
    const char* found = std::strchr(digits, c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
    return c != '\0' && found != nullptr ? static_cast<int>(found - digits) : -1;
}

void CheckPrintedForm(const EthernetAddress& address) {
    char text[EthernetAddress::TEXT_SIZE];
    address.GetString(text);
    char expected[EthernetAddress::TEXT_SIZE];
    const unsigned char* b = address.GetData();
    std::snprintf(expected, sizeof(expected), "%02x:%02x:%02x:%02x:%02x:%02x", b[0], b[1], b[2],
                  b[3], b[4], b[5]);
    FUZZ_CHECK(std::strcmp(text, expected) == 0, "printed %s", text);
    wchar_t wide[EthernetAddress::TEXT_SIZE];
    address.GetString(wide);
    for (size_t i = 0; i < sizeof(expected); ++i) {
        FUZZ_CHECK(wide[i] == static_cast<wchar_t>(expected[i]), "wide text differs at %zu", i);
    }
    FUZZ_CHECK(std::strcmp(address.GetString().GetAscii(), expected) == 0, "String form");
    EthernetAddress again(text);
    FUZZ_CHECK(again == address, "%s does not read back", text);
    unsigned long value = address.GetValue();
    FUZZ_CHECK((value >> 48) == 0, "value has bits above 48");
    FUZZ_CHECK(EthernetAddress(value) == address, "value does not read back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text = KvFuzz::SplitAtNul(data, size).front();
    std::string digits;
    for (char c : text) {
        if (std::strchr("-:[]", c) == nullptr) {
            digits.push_back(c);
        }
    }
    bool acceptable = digits.size() == 2 * EthernetAddress::SIZE;
    unsigned char bytes[EthernetAddress::SIZE] = {};
    for (size_t i = 0; acceptable && i < EthernetAddress::SIZE; ++i) {
        int high = HexDigit(digits[2 * i]);
        int low = HexDigit(digits[2 * i + 1]);
        acceptable = high >= 0 && low >= 0;
        bytes[i] = acceptable ? static_cast<unsigned char>((high << 4) | low) : 0;
    }

    const EthernetAddress before(0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF);
    EthernetAddress address = before;
    const unsigned int code = address.Set(text.c_str()).GetCode();
    const std::string shown = KvFuzz::Printable(text);
    FUZZ_CHECK(code == ZrUtilsLib::OK || code == ZrUtilsLib::INVALID_ARGUMENT, "%s: code %#x",
               shown.c_str(), code);
    FUZZ_CHECK((code == ZrUtilsLib::OK) == acceptable, "%s: answered %#x", shown.c_str(), code);
    if (acceptable) {
        FUZZ_CHECK(std::memcmp(address.GetData(), bytes, sizeof(bytes)) == 0, "%s: wrong bytes",
                   shown.c_str());
        CheckPrintedForm(address);
    } else {
        FUZZ_CHECK(address == before, "%s: a refused text changed the address", shown.c_str());
        FUZZ_CHECK(EthernetAddress(text) == EthernetAddress(),
                   "%s: constructed from a refused text", shown.c_str());
    }
    FUZZ_CHECK(address.IsUnicast() == !(address.IsBroadcast() || address.IsMulticast()),
               "classification");
    return 0;
}
