#pragma once

#include <cstdint>
#include <string>

#include "KvUtilsLib/Network/EthernetAddress.h"
#include "ZrUtilsLib/Result.h"
#include "ZrUtilsLib/String.h"

namespace KvUtilsLib {
namespace Network {

// An IPv4 address held in network order (byte 0 is the first number of the dotted text),
// with a flag marking the wildcard address. Only SetAny sets the flag; copies drop it.
class IpAddress {
public:
    static constexpr uint32_t SIZE = 4;
    static constexpr uint32_t TEXT_SIZE = 16;  // "255.255.255.255" and the NUL
    static const IpAddress BROADCAST;

    // 0.0.0.0
    constexpr IpAddress() : mAddress{0, 0, 0, 0}, mAny(false) {}
    // The value as it lies in memory, so a socket address field keeps its network order.
    explicit IpAddress(unsigned int value);
    explicit IpAddress(const void* bytes);
    IpAddress(const IpAddress& other);
    constexpr IpAddress(unsigned char a, unsigned char b, unsigned char c, unsigned char d)
        : mAddress{a, b, c, d}, mAny(false) {}
    // Text that does not parse leaves 0.0.0.0.
    explicit IpAddress(const char* text);
    explicit IpAddress(const std::string& text);
    IpAddress& operator=(const IpAddress& other);

    void Set(unsigned int value);
    void Set(const void* bytes);
    void Set(unsigned char a, unsigned char b, unsigned char c, unsigned char d);
    // Dotted decimal, optionally in brackets; on failure the address is left as it was.
    ZrUtilsLib::Result Set(const char* text);
    // Dotted decimal without brackets.
    ZrUtilsLib::Result Set(const wchar_t* text);
    // 0.0.0.0 marked as the wildcard address; the argument has no effect.
    void SetAny(bool any = true);
    bool IsAny() const { return mAny; }

    unsigned char GetByte(unsigned int index) const { return mAddress[index]; }
    // Bytes 2*index and 2*index+1 read as one host-order 16-bit word.
    uint16_t GetWord(unsigned int index) const;
    unsigned char* GetData() { return mAddress; }
    const unsigned char* GetData() const { return mAddress; }

    // `out` holds TEXT_SIZE characters.
    void GetString(char* out) const;
    void GetString(wchar_t* out) const;
    ZrUtilsLib::String GetString() const;

    // 224.0.0.0 - 239.255.255.255
    bool IsMulticast() const;
    // A contiguous mask with at least one 1 bit and one 0 bit.
    bool IsValidMask() const;
    // The group's Ethernet multicast address (RFC 1112), or BROADCAST for other addresses.
    void GetEthernetAddress(EthernetAddress* out) const;

    bool operator==(const IpAddress& other) const;
    bool operator!=(const IpAddress& other) const { return !(*this == other); }

private:
    unsigned char mAddress[SIZE];
    bool mAny;
};

}  // namespace Network
}  // namespace KvUtilsLib
