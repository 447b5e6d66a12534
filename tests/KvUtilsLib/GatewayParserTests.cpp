#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "KvUtilsLib/Network/GatewayParser.h"

using KvUtilsLib::Network::GatewayParser;

namespace {

constexpr const char* HEADER =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT"
    "                                                       \n";

// A route line as the kernel writes it: fields, then blanks up to 127 characters.
std::string RouteLine(const std::string& name, const std::string& destination,
                      const std::string& gateway) {
    std::string line = name + "\t" + destination + "\t" + gateway + "\t0003\t0\t0\t0\t00000000";
    line.resize(127, ' ');
    return line + "\n";
}

// The kernel writes the address's 32-bit value as the host holds it.
std::string KernelHex(unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
    const unsigned char bytes[] = {a, b, c, d};
    uint32_t value;
    std::memcpy(&value, bytes, sizeof(value));
    char text[9];
    std::snprintf(text, sizeof(text), "%08X", value);
    return text;
}

std::string MakeFile() {
    char pattern[] = "/tmp/kv-route-XXXXXX";
    const int descriptor = mkstemp(pattern);
    EXPECT_GE(descriptor, 0);
    close(descriptor);
    return pattern;
}

class GatewayParserTest : public ::testing::Test {
protected:
    void TearDown() override { std::remove(mPath.c_str()); }
    void Parse(const std::string& content) {
        std::ofstream(mPath, std::ios::binary) << HEADER << content;
        ASSERT_EQ(parser.ParseRoute().GetCode(), ZrUtilsLib::OK);
    }

    const std::string mPath = MakeFile();
    GatewayParser parser{mPath};
};

}  // namespace

TEST_F(GatewayParserTest, DefaultRoutesGiveTheLastDottedGatewayPerAdapter) {
    Parse(RouteLine("eth0", "00000000", KernelHex(192, 168, 2, 1)) +
          RouteLine("eth0", KernelHex(192, 168, 2, 0), "00000000") +
          RouteLine("wlan0", KernelHex(10, 0, 0, 0), KernelHex(10, 0, 0, 1)) +
          RouteLine("eth1", "00000000", KernelHex(10, 1, 0, 1)) +
          RouteLine("eth1", "00000000", KernelHex(10, 1, 0, 2)) +
          RouteLine("tun0", "00000000", "00000000"));
    EXPECT_EQ(parser.Get("eth0"), "192.168.2.1");
    EXPECT_EQ(parser.Get("wlan0"), "") << "a network route is not a default route";
    EXPECT_EQ(parser.Get("ETH0"), "");
    EXPECT_EQ(parser.Get("eth"), "");
    EXPECT_EQ(parser.Get("eth1"), "10.1.0.2");
    EXPECT_EQ(parser.Get("tun0"), "0.0.0.0") << "a directly connected default route";

    Parse(RouteLine("eth2", "00000000", KernelHex(10, 2, 0, 1)));
    EXPECT_EQ(parser.Get("eth0"), "192.168.2.1") << "parsing again adds to what is known";
    EXPECT_EQ(parser.Get("eth2"), "10.2.0.1");

    GatewayParser absent(mPath + ".absent");
    EXPECT_EQ(absent.ParseRoute().GetCode(), ZrUtilsLib::CANNOT_OPEN_FILE);
    EXPECT_EQ(absent.Get("eth0"), "");
}

// Only a line's first chunk holds the fields: the rest of a long line is never a route.
TEST_F(GatewayParserTest, MalformedAndOverLongLinesAreSkipped) {
    std::string disguised = "eth9\t" + KernelHex(10, 9, 0, 0) + "\t00000000";
    disguised.resize(GatewayParser::CHUNK_SIZE - 1, ' ');
    disguised += "eth9 00000000 " + KernelHex(6, 6, 6, 6) + std::string(200, ' ') + "\n";
    const std::string veryLong =
        "eth7\t00000000\t" + KernelHex(10, 7, 0, 1) + "\t" + std::string(1000, 'x') + "\n";
    // The gateway field is cut by the end of the first chunk: its digits are not all there.
    const std::string cut = "eth6" + std::string(GatewayParser::CHUNK_SIZE - 1 - 4 - 14, ' ') +
                            "00000000 0A06" + "0001 more fields\n";
    const std::string longName(40, 'n');
    Parse(disguised + veryLong + RouteLine("eth8", "00000000", KernelHex(10, 8, 0, 1)) + "\n" +
          longName + "\t00000000\t" + KernelHex(10, 0, 0, 1) + "\n" + "eth1\t00000000\n" +
          "eth2\tzz000000\t" + KernelHex(10, 2, 0, 1) + "\n" + "eth3\t00000000\t" +
          KernelHex(10, 3, 0, 1) + "0\n" + "eth4 0 " + KernelHex(10, 4, 0, 1) + "\n" + cut +
          "eth5\t00000000\t" + KernelHex(10, 5, 0, 1));
    EXPECT_EQ(parser.Get("eth9"), "");
    EXPECT_EQ(parser.Get("eth7"), "10.7.0.1") << "a long line's first chunk still counts";
    EXPECT_EQ(parser.Get("eth8"), "10.8.0.1") << "the line after a long line is read again";
    EXPECT_EQ(parser.Get(longName), "");
    EXPECT_EQ(parser.Get(longName.substr(0, 15)), "") << "an over-long name is not truncated";
    EXPECT_EQ(parser.Get("eth1"), "");
    EXPECT_EQ(parser.Get("eth2"), "");
    EXPECT_EQ(parser.Get("eth3"), "") << "nine digits do not fit an address";
    EXPECT_EQ(parser.Get("eth4"), "10.4.0.1");
    EXPECT_EQ(parser.Get("eth6"), "");
    EXPECT_EQ(parser.Get("eth5"), "10.5.0.1") << "a last line without line end counts";
}
