#pragma once

#include <cstdint>
#include <string>

#include "ZrUtilsLib/Result.h"
#include "ZrUtilsLib/String.h"

namespace KvUtilsLib {
namespace Network {

// A 48-bit hardware address; byte 0 is the first byte on the wire.
class EthernetAddress {
public:
    static constexpr uint32_t SIZE = 6;
    static constexpr uint32_t TEXT_SIZE = 18;  // "00:1a:2b:3c:4d:5e" and the NUL
    static const EthernetAddress BROADCAST;

    // All zero bytes.
    constexpr EthernetAddress() : mBytes{0, 0, 0, 0, 0, 0} {}
    constexpr EthernetAddress(unsigned char b0, unsigned char b1, unsigned char b2,
                              unsigned char b3, unsigned char b4, unsigned char b5)
        : mBytes{b0, b1, b2, b3, b4, b5} {}
    // Six bytes; a char array passes as text unless cast to const void*.
    explicit EthernetAddress(const void* bytes);
    // The low 48 bits of `value`, bits 47..40 into byte 0.
    explicit EthernetAddress(const unsigned long& value);
    // Text that does not parse leaves all zero bytes.
    explicit EthernetAddress(const char* text);
    explicit EthernetAddress(const std::string& text);

    void Set(const void* bytes);
    void Set(const unsigned long& value);
    void Set(unsigned int index, unsigned char value);
    // Accepts twelve hexadecimal digits with any '-', ':', '[' and ']' among them; a refused
    // text leaves the address unchanged.
    ZrUtilsLib::Result Set(const char* text);

    unsigned long GetValue() const;
    unsigned char GetByte(unsigned int index) const { return mBytes[index]; }
    const unsigned char* GetData() const { return mBytes; }

    // `out` holds TEXT_SIZE characters.
    void GetString(char* out) const;
    void GetString(wchar_t* out) const;
    ZrUtilsLib::String GetString() const;

    bool IsBroadcast() const;
    // The IPv4 multicast block 01:00:5e:00:00:00 - 01:00:5e:7f:ff:ff only.
    bool IsMulticast() const;
    bool IsUnicast() const { return !IsBroadcast() && !IsMulticast(); }
    bool IsValid() const;

    bool operator==(const EthernetAddress& other) const;
    bool operator!=(const EthernetAddress& other) const { return !(*this == other); }

private:
    unsigned char mBytes[SIZE];
};

}  // namespace Network
}  // namespace KvUtilsLib
