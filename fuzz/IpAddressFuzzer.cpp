// IpAddress::Set over arbitrary text, narrow and wide. Beyond crashes, each answer is held
// against the text's shape: four dot-separated octets of digits (empty counts as 0), each at
// most 255, optionally opened by '[' and closed by ']' (narrow form only). The wide form is
// also fed units far outside ASCII, which must never pass for digits or dots.

#include <arpa/inet.h>

#include <cstring>
#include <string>

#include "KvUtilsLib/Network/IpAddress.h"
#include "fuzz/FuzzSupport.h"

using KvUtilsLib::Network::IpAddress;

namespace {

struct Expected {
    bool accepted = false;
    unsigned char bytes[IpAddress::SIZE] = {0, 0, 0, 0};
};

// The expected answer for a text already reduced to plain characters.
Expected ExpectedFor(std::string text, bool allowBrackets) {
    Expected expected;
    if (allowBrackets && !text.empty() && text.front() == '[') {
        text.erase(0, 1);
    }
    if (allowBrackets && !text.empty() && text.back() == ']') {
        text.pop_back();
    }
    unsigned int octet = 0;
    unsigned int values[IpAddress::SIZE] = {0, 0, 0, 0};
    for (char c : text) {
        if (c == '.') {
            if (++octet == IpAddress::SIZE) {
                return expected;
            }
        } else if (c >= '0' && c <= '9') {
            values[octet] = values[octet] * 10 + static_cast<unsigned int>(c - '0');
            if (values[octet] > 255) {
                return expected;
            }
        } else {
            return expected;
        }
    }
    if (octet != IpAddress::SIZE - 1 || (text.empty() && !allowBrackets)) {
        return expected;
    }
    expected.accepted = true;
    for (unsigned int i = 0; i < IpAddress::SIZE; ++i) {
        expected.bytes[i] = static_cast<unsigned char>(values[i]);
    }
    return expected;
}

void CheckAnswer(const IpAddress& address, ZrUtilsLib::Result const& result,
                 const Expected& expected, const std::string& shown) {
    unsigned int code = result.GetCode();
    FUZZ_CHECK(code == ZrUtilsLib::OK || code == ZrUtilsLib::INVALID_ARGUMENT, "%s: code %#x",
               shown.c_str(), code);
    FUZZ_CHECK((code == ZrUtilsLib::OK) == expected.accepted, "%s: answered %#x", shown.c_str(),
               code);
    FUZZ_CHECK(!address.IsAny(), "%s: the wildcard flag survived a parse", shown.c_str());
    if (expected.accepted) {
        FUZZ_CHECK(std::memcmp(address.GetData(), expected.bytes, IpAddress::SIZE) == 0,
                   "%s: parsed as %u.%u.%u.%u", shown.c_str(), address.GetByte(0),
                   address.GetByte(1), address.GetByte(2), address.GetByte(3));
    } else {
        const unsigned char untouched[IpAddress::SIZE] = {9, 9, 9, 9};
        FUZZ_CHECK(std::memcmp(address.GetData(), untouched, IpAddress::SIZE) == 0,
                   "%s: a refused text changed the address", shown.c_str());
    }
}

// The printed form reads back as the same address, in both forms, and is what inet_ntop prints.
void CheckPrintedForm(const IpAddress& address) {
    char text[IpAddress::TEXT_SIZE];
    address.GetString(text);
    char reference[INET_ADDRSTRLEN];
    FUZZ_CHECK(inet_ntop(AF_INET, address.GetData(), reference, sizeof(reference)) != nullptr,
               "inet_ntop");
    FUZZ_CHECK(std::strcmp(text, reference) == 0, "printed %s, expected %s", text, reference);
    wchar_t wide[IpAddress::TEXT_SIZE];
    address.GetString(wide);
    for (size_t i = 0; i <= std::strlen(text); ++i) {
        FUZZ_CHECK(wide[i] == static_cast<wchar_t>(text[i]), "wide text differs at %zu", i);
    }
    IpAddress again;
    FUZZ_CHECK(again.Set(text).GetCode() == ZrUtilsLib::OK && again == address, "%s", text);
}

void CheckNarrow(const std::string& text) {
    IpAddress address(9, 9, 9, 9);
    ZrUtilsLib::Result result = address.Set(text.c_str());
    Expected expected = ExpectedFor(text, true);
    CheckAnswer(address, result, expected, "narrow \"" + KvFuzz::Printable(text) + "\"");
    if (expected.accepted) {
        CheckPrintedForm(address);
    }
    // What inet_pton accepts (strict dotted quads) is accepted here too, with the same bytes.
    unsigned char strict[IpAddress::SIZE];
    if (inet_pton(AF_INET, text.c_str(), strict) == 1) {
        FUZZ_CHECK(expected.accepted && std::memcmp(strict, address.GetData(), 4) == 0, "%s",
                   KvFuzz::Printable(text).c_str());
    }
    IpAddress wildcard;
    wildcard.SetAny();
    (void)wildcard.Set(text.c_str());
    FUZZ_CHECK(!wildcard.IsAny(), "a parse kept the wildcard flag");
    IpAddress constructed(text);
    FUZZ_CHECK(constructed == (expected.accepted ? address : IpAddress()), "constructed from text");
}

// Any unit other than a digit or a dot, brackets included, refuses the wide text.
void CheckWide(const std::wstring& text) {
    std::string plain;
    for (wchar_t unit : text) {
        bool kept = (unit >= L'0' && unit <= L'9') || unit == L'.';
        plain.push_back(kept ? static_cast<char>(unit) : 'x');
    }
    IpAddress address(9, 9, 9, 9);
    ZrUtilsLib::Result result = address.Set(text.c_str());
    CheckAnswer(address, result, ExpectedFor(plain, false),
                "wide \"" + KvFuzz::Printable(plain) + "\"");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text = KvFuzz::SplitAtNul(data, size).front();
    CheckNarrow(text);
    CheckWide(std::wstring(text.begin(), text.end()));
    CheckWide(KvFuzz::WideUnits(data, size));
    return 0;
}
