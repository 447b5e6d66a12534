#include "KvUtilsLib/Network/EthernetAddress.h"

#include <cstdio>
#include <cstring>

namespace KvUtilsLib {
namespace Network {

using ZrUtilsLib::Result;

const EthernetAddress EthernetAddress::BROADCAST(0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF);

namespace {

constexpr unsigned int HEX_DIGITS = EthernetAddress::SIZE * 2;

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool IsSeparator(char c) {
    return c == '-' || c == ':' || c == '[' || c == ']';
}

}  // namespace

EthernetAddress::EthernetAddress(const void* bytes) {
    Set(bytes);
}

EthernetAddress::EthernetAddress(const unsigned long& value) {
    Set(value);
}

EthernetAddress::EthernetAddress(const char* text) : EthernetAddress() {
    (void)Set(text);
}

EthernetAddress::EthernetAddress(const std::string& text) : EthernetAddress() {
    (void)Set(text.c_str());
}

void EthernetAddress::Set(const void* bytes) {
    std::memcpy(mBytes, bytes, SIZE);
}

void EthernetAddress::Set(const unsigned long& value) {
    for (unsigned int i = 0; i < SIZE; ++i) {
        mBytes[i] = static_cast<unsigned char>(value >> (8 * (SIZE - 1 - i)));
    }
}

void EthernetAddress::Set(unsigned int index, unsigned char value) {
    mBytes[index] = value;
}

Result EthernetAddress::Set(const char* text) {
    if (text == nullptr) {
        return Result(ZrUtilsLib::INVALID_ARGUMENT);
    }
    // Collect the digits without separators; stop as soon as there are too many, so that any
    // length of input is read once and never copied past the twelve digits.
    char digits[HEX_DIGITS];
    unsigned int count = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (IsSeparator(*p)) {
            continue;
        }
        if (count == HEX_DIGITS) {
            return Result(ZrUtilsLib::INVALID_ARGUMENT);
        }
        digits[count++] = *p;
    }
    if (count != HEX_DIGITS) {
        return Result(ZrUtilsLib::INVALID_ARGUMENT);
    }
    // Converted aside and stored only when every pair is valid: a refused text never leaves a
    // half-written address behind.
    unsigned char bytes[SIZE];
    for (unsigned int i = 0; i < SIZE; ++i) {
        int high = HexValue(digits[2 * i]);
        int low = HexValue(digits[2 * i + 1]);
        if (high < 0 || low < 0) {
            return Result(ZrUtilsLib::INVALID_ARGUMENT);
        }
        bytes[i] = static_cast<unsigned char>((high << 4) | low);
    }
    std::memcpy(mBytes, bytes, SIZE);
    return Result(ZrUtilsLib::OK);
}

unsigned long EthernetAddress::GetValue() const {
    unsigned long value = 0;
    for (unsigned int i = 0; i < SIZE; ++i) {
        value = (value << 8) | mBytes[i];
    }
    return value;
}

void EthernetAddress::GetString(char* out) const {
    std::snprintf(out, TEXT_SIZE, "%02x:%02x:%02x:%02x:%02x:%02x", mBytes[0], mBytes[1], mBytes[2],
                  mBytes[3], mBytes[4], mBytes[5]);
}

void EthernetAddress::GetString(wchar_t* out) const {
    char text[TEXT_SIZE];
    GetString(text);
    for (unsigned int i = 0; i < TEXT_SIZE; ++i) {
        out[i] = static_cast<wchar_t>(text[i]);
    }
}

ZrUtilsLib::String EthernetAddress::GetString() const {
    char text[TEXT_SIZE];
    GetString(text);
    return ZrUtilsLib::String(text);
}

bool EthernetAddress::IsBroadcast() const {
    return *this == BROADCAST;
}

bool EthernetAddress::IsMulticast() const {
    return mBytes[0] == 0x01 && mBytes[1] == 0x00 && mBytes[2] == 0x5E && (mBytes[3] & 0x80) == 0;
}

bool EthernetAddress::IsValid() const {
    return *this != EthernetAddress();
}

bool EthernetAddress::operator==(const EthernetAddress& other) const {
    return std::memcmp(mBytes, other.mBytes, SIZE) == 0;
}

}  // namespace Network
}  // namespace KvUtilsLib
