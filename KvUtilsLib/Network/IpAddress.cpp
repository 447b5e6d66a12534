#include "KvUtilsLib/Network/IpAddress.h"

#include <cstdio>
#include <cstring>

namespace KvUtilsLib {
namespace Network {

using ZrUtilsLib::Result;

const IpAddress IpAddress::BROADCAST(255, 255, 255, 255);

namespace {

// Adds `digit` to `octet` unless the octet would pass 255.
bool AccumulateDigit(unsigned int& octet, unsigned int digit) {
    unsigned int limit = digit <= 5 ? 25 : 24;
    if (octet > limit) {
        return false;
    }
    octet = octet * 10 + digit;
    return true;
}

// Dotted decimal with empty octets counting as 0; brackets, when allowed, only as the first
// and the last character.
template <typename Char>
bool ParseDotted(const Char* text, bool allowBrackets, unsigned char (&address)[IpAddress::SIZE]) {
    if (text == nullptr || text[0] == 0) {
        return false;
    }
    unsigned int octets[IpAddress::SIZE] = {0, 0, 0, 0};
    unsigned int current = 0;
    for (const Char* p = text; *p != 0; ++p) {
        Char c = *p;
        if (c >= '0' && c <= '9') {
            if (!AccumulateDigit(octets[current], static_cast<unsigned int>(c - '0'))) {
                return false;
            }
        } else if (c == '.') {
            if (++current == IpAddress::SIZE) {
                return false;
            }
        } else if (allowBrackets && c == '[' && p == text) {
            continue;
        } else if (allowBrackets && c == ']' && p[1] == 0 && current == IpAddress::SIZE - 1) {
            break;
        } else {
            return false;
        }
    }
    if (current != IpAddress::SIZE - 1) {
        return false;
    }
    for (unsigned int i = 0; i < IpAddress::SIZE; ++i) {
        address[i] = static_cast<unsigned char>(octets[i]);
    }
    return true;
}

}  // namespace

IpAddress::IpAddress(unsigned int value) {
    Set(value);
}

IpAddress::IpAddress(const void* bytes) {
    Set(bytes);
}

IpAddress::IpAddress(const IpAddress& other) : IpAddress() {
    std::memcpy(mAddress, other.mAddress, SIZE);
}

IpAddress::IpAddress(const char* text) : IpAddress() {
    (void)Set(text);
}

IpAddress::IpAddress(const std::string& text) : IpAddress() {
    (void)Set(text.c_str());
}

IpAddress& IpAddress::operator=(const IpAddress& other) {
    std::memmove(mAddress, other.mAddress, SIZE);
    mAny = false;
    return *this;
}

void IpAddress::Set(unsigned int value) {
    std::memcpy(mAddress, &value, SIZE);
    mAny = false;
}

void IpAddress::Set(const void* bytes) {
    std::memcpy(mAddress, bytes, SIZE);
    mAny = false;
}

void IpAddress::Set(unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
    mAddress[0] = a;
    mAddress[1] = b;
    mAddress[2] = c;
    mAddress[3] = d;
    mAny = false;
}

Result IpAddress::Set(const char* text) {
    mAny = false;
    return ParseDotted(text, true, mAddress) ? Result(ZrUtilsLib::OK)
                                             : Result(ZrUtilsLib::INVALID_ARGUMENT);
}

Result IpAddress::Set(const wchar_t* text) {
    mAny = false;
    return ParseDotted(text, false, mAddress) ? Result(ZrUtilsLib::OK)
                                              : Result(ZrUtilsLib::INVALID_ARGUMENT);
}

void IpAddress::SetAny(bool) {
    std::memset(mAddress, 0, SIZE);
    mAny = true;
}

uint16_t IpAddress::GetWord(unsigned int index) const {
    uint16_t word;
    std::memcpy(&word, mAddress + 2 * index, sizeof(word));
    return word;
}

void IpAddress::GetString(char* out) const {
    std::snprintf(out, TEXT_SIZE, "%u.%u.%u.%u", mAddress[0], mAddress[1], mAddress[2],
                  mAddress[3]);
}

void IpAddress::GetString(wchar_t* out) const {
    char text[TEXT_SIZE];
    GetString(text);
    size_t i = 0;
    do {
        out[i] = static_cast<wchar_t>(text[i]);
    } while (text[i++] != '\0');
}

ZrUtilsLib::String IpAddress::GetString() const {
    char text[TEXT_SIZE];
    GetString(text);
    return ZrUtilsLib::String(text);
}

bool IpAddress::IsMulticast() const {
    return (mAddress[0] & 0xF0) == 0xE0;
}

bool IpAddress::IsValidMask() const {
    uint32_t mask = (uint32_t(mAddress[0]) << 24) | (uint32_t(mAddress[1]) << 16) |
                    (uint32_t(mAddress[2]) << 8) | uint32_t(mAddress[3]);
    bool seenOne = false;
    bool seenZero = false;
    for (int bit = 31; bit >= 0; --bit) {
        if (mask & (uint32_t(1) << bit)) {
            if (seenZero) {
                return false;
            }
            seenOne = true;
        } else {
            seenZero = true;
        }
    }
    return seenOne && seenZero;
}

void IpAddress::GetEthernetAddress(EthernetAddress* out) const {
    if (!IsMulticast()) {
        *out = EthernetAddress::BROADCAST;
        return;
    }
    *out = EthernetAddress(0x01, 0x00, 0x5E, static_cast<unsigned char>(mAddress[1] & 0x7F),
                           mAddress[2], mAddress[3]);
}

bool IpAddress::operator==(const IpAddress& other) const {
    return std::memcmp(mAddress, other.mAddress, SIZE) == 0;
}

}  // namespace Network
}  // namespace KvUtilsLib
