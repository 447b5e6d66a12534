// The text parsers for outside input: hardware and IPv4 addresses, and the kernel's route table.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>

#include "KvUtilsLib/Network/EthernetAddress.h"
#include "KvUtilsLib/Network/GatewayParser.h"
#include "KvUtilsLib/Network/IpAddress.h"

using KvUtilsLib::Network::EthernetAddress;
using KvUtilsLib::Network::GatewayParser;
using KvUtilsLib::Network::IpAddress;

namespace {

template <typename Address>
std::string Text(const Address& address) {
    char text[Address::TEXT_SIZE];
    address.GetString(text);
    return text;
}

// Refused texts leave a set address unchanged and construct all zero; null is refused too.
template <typename Address>
void CheckParsing(const Address& before, const char* zero,
                  std::initializer_list<std::pair<const char*, const char*>> accepted,
                  std::initializer_list<const char*> refused) {
    for (const auto& [text, printed] : accepted) {
        Address address = before;
        EXPECT_EQ(address.Set(text).GetCode(), ZrUtilsLib::OK) << text;
        EXPECT_EQ(Text(address), printed) << text;
        EXPECT_EQ(Text(Address(std::string(text))), printed) << text;
    }
    for (const char* text : refused) {
        Address address = before;
        EXPECT_EQ(address.Set(text).GetCode(), ZrUtilsLib::INVALID_ARGUMENT) << text;
        EXPECT_EQ(Text(address), Text(before)) << text;
        EXPECT_EQ(Text(Address(text)), zero) << text;
    }
    Address address = before;
    EXPECT_EQ(address.Set(static_cast<const char*>(nullptr)).GetCode(),
              ZrUtilsLib::INVALID_ARGUMENT);
}

using P = std::pair<const char*, const char*>;

// The kernel writes the address's 32-bit value as the (little-endian) host holds it.
std::string Hex(unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
    char text[9];
    std::snprintf(text, sizeof(text), "%02X%02X%02X%02X", d, c, b, a);
    return text;
}

}  // namespace

TEST(EthernetAddress, ParsesSeparatorFormsAndRefusesTheRestUnchanged) {
    const char* mac = "00:1a:2b:3c:4d:5e";
    CheckParsing(EthernetAddress(0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF), "00:00:00:00:00:00",
                 {P{"00:1A:2b:3C:4d:5E", mac}, P{"[00-1a-2b3c4d5e]", mac}},
                 {"", "00:1a:2b:3c:4d:5", "00:1a:2b:3c:4d:5e:6", "00.1a.2b.3c.4d.5e",
                  "00 1a 2b 3c 4d 5e", "0x1a2b3c4d5e", "00:1a:2b:3c:4d:5g", "11223344556z", "z",
                  "00:1a:2b:3c:4d:5e:00:00:00:00:00:00:00:00:00:00:00:00"});
}

TEST(IpAddress, ParsesDottedDecimalAndRefusesTheRestUnchanged) {
    CheckParsing(IpAddress(9, 9, 9, 9), "0.0.0.0",
                 {P{"255.255.255.255", "255.255.255.255"}, P{"[10.0.0.1]", "10.0.0.1"},
                  P{"1..2.3", "1.0.2.3"}},
                 {"", "256.0.0.1", "1.2.3.260", "1.2.3.2550", "1000.0.0.0", "1.2.3", "1.2.3.4.5",
                  "1[.2.3.4", "1.2.3.4[", "[[1.2.3.4", "1.2.3.4]]", "1.2].3.4", "[1.2.3]", "]",
                  "1.2.3.4 ", " 1.2.3.4", "1.2.3.-4", "1.2.3.a", "99999999999999999999.0.0.0"});
}

// Only a line's first chunk holds the fields: the rest of a long line is never a route. (The
// fuzz target holds short lines against a plain reading of the format.)
TEST(GatewayParser, DefaultRoutesOnlyWithMalformedAndOverLongLinesSkipped) {
    const std::string path = "/tmp/kv-route-" + std::to_string(getpid());
    std::string disguised = "eth9\t" + Hex(10, 9, 0, 0) + "\t00000000";
    disguised.resize(GatewayParser::CHUNK_SIZE - 1, ' ');
    disguised += "eth9 00000000 " + Hex(6, 6, 6, 6) + std::string(200, ' ') + "\n";
    // The gateway field is cut by the end of the first chunk: its digits are not all there.
    const std::string cut = "eth6" + std::string(GatewayParser::CHUNK_SIZE - 1 - 4 - 14, ' ') +
                            "00000000 0A06" + "0001 more fields\n";
    const std::string longName(40, 'n');
    std::ofstream(path, std::ios::binary)
        << "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT"
        << std::string(55, ' ') << "\n"
        << "eth0\t00000000\t" << Hex(192, 168, 2, 1) << "\t0003\t0\t0\t0\t00000000"
        << std::string(80, ' ') << "\n"  // as the kernel pads it, past the first chunk
        << disguised << "eth7\t00000000\t" << Hex(10, 7, 0, 1) << "\t" << std::string(1000, 'x')
        << "\n"
        << "eth8\t00000000\t" << Hex(10, 8, 0, 1) << "\n\n"
        << longName << "\t00000000\t" << Hex(10, 0, 0, 1) << "\neth3\t00000000\t"
        << Hex(10, 3, 0, 1) << "0\n"
        << cut << "eth5\t00000000\t" << Hex(10, 5, 0, 1);
    GatewayParser parser(path);
    const unsigned int parsed = parser.ParseRoute().GetCode();
    std::remove(path.c_str());
    ASSERT_EQ(parsed, ZrUtilsLib::OK);
    EXPECT_EQ(parser.Get("eth0"), "192.168.2.1");
    EXPECT_EQ(parser.Get("eth9"), "");
    EXPECT_EQ(parser.Get("eth7"), "10.7.0.1") << "a long line's first chunk still counts";
    EXPECT_EQ(parser.Get("eth8"), "10.8.0.1") << "the line after a long line is read again";
    EXPECT_EQ(parser.Get(longName), "");
    EXPECT_EQ(parser.Get(longName.substr(0, 15)), "") << "an over-long name is not truncated";
    EXPECT_EQ(parser.Get("eth3"), "") << "nine digits do not fit an address";
    EXPECT_EQ(parser.Get("eth6"), "");
    EXPECT_EQ(parser.Get("eth5"), "10.5.0.1") << "a last line without line end counts";
    EXPECT_EQ(GatewayParser(path).ParseRoute().GetCode(), ZrUtilsLib::CANNOT_OPEN_FILE);
}
