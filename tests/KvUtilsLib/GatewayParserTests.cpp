#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
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
                      const std::string& gateway, const std::string& mask = "00000000") {
    std::string line =
        name + "\t" + destination + "\t" + gateway + "\t0003\t0\t0\t0\t" + mask + "\t0\t0\t0";
    line.resize(127, ' ');
    return line + "\n";
}

// The gateway text as the kernel writes it: the address's 32-bit value as the host holds it.
std::string KernelHex(unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
    const unsigned char bytes[] = {a, b, c, d};
    uint32_t value;
    std::memcpy(&value, bytes, sizeof(value));
    char text[9];
    std::snprintf(text, sizeof(text), "%08X", value);
    return text;
}

class GatewayParserTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kv-route-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        mDirectory = pattern;
        mPath = mDirectory + "/route";
    }
    void TearDown() override {
        std::remove(mPath.c_str());
        rmdir(mDirectory.c_str());
    }
    void Write(const std::string& content) { std::ofstream(mPath, std::ios::binary) << content; }

    std::string mDirectory;
    std::string mPath;
};

}  // namespace

TEST_F(GatewayParserTest, DefaultRouteGivesTheDottedGateway) {
    Write(std::string(HEADER) + RouteLine("eth0", "00000000", KernelHex(192, 168, 2, 1)) +
          RouteLine("eth0", KernelHex(192, 168, 2, 0), "00000000", KernelHex(255, 255, 255, 0)) +
          RouteLine("wlan0", KernelHex(10, 0, 0, 0), KernelHex(10, 0, 0, 1)));
    GatewayParser parser(mPath);
    ASSERT_EQ(parser.ParseRoute().GetCode(), ZrUtilsLib::OK);
    EXPECT_EQ(parser.Get("eth0"), "192.168.2.1");
    EXPECT_EQ(parser.Get("wlan0"), "") << "a network route is not a default route";
    EXPECT_EQ(parser.Get("ETH0"), "");
    EXPECT_EQ(parser.Get("eth"), "");
}

TEST_F(GatewayParserTest, KernelWritesTheHostValueOnLittleEndian) {
    if (KernelHex(1, 2, 3, 4) != "04030201") {
        GTEST_SKIP() << "the literal line of this case is written for a little-endian host";
    }
    Write(std::string(HEADER) + "eth0\t00000000\t0102A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n");
    GatewayParser parser(mPath);
    ASSERT_EQ(parser.ParseRoute().GetCode(), ZrUtilsLib::OK);
    EXPECT_EQ(parser.Get("eth0"), "192.168.2.1");
}

TEST_F(GatewayParserTest, LastDefaultRouteOfAnAdapterWins) {
    Write(std::string(HEADER) + RouteLine("eth0", "00000000", KernelHex(10, 0, 0, 1)) +
          RouteLine("eth1", "00000000", KernelHex(10, 1, 0, 1)) +
          RouteLine("eth0", "00000000", KernelHex(10, 0, 0, 2)));
    GatewayParser parser(mPath);
    ASSERT_EQ(parser.ParseRoute().GetCode(), ZrUtilsLib::OK);
    EXPECT_EQ(parser.Get("eth0"), "10.0.0.2");
    EXPECT_EQ(parser.Get("eth1"), "10.1.0.1");
}

TEST_F(GatewayParserTest, DirectlyConnectedDefaultRouteRecordsZero) {
    Write(std::string(HEADER) + RouteLine("tun0", "00000000", "00000000"));
    GatewayParser parser(mPath);
    ASSERT_EQ(parser.ParseRoute().GetCode(), ZrUtilsLib::OK);
    EXPECT_EQ(parser.Get("tun0"), "0.0.0.0");
}

TEST_F(GatewayParserTest, MissingFileIsReportedAndLeavesNothing) {
    GatewayParser parser(mDirectory + "/absent");
    EXPECT_EQ(parser.ParseRoute().GetCode(), ZrUtilsLib::CANNOT_OPEN_FILE);
    EXPECT_EQ(parser.Get("eth0"), "");
}

TEST_F(GatewayParserTest, ParsingAgainAddsToTheMap) {
    Write(std::string(HEADER) + RouteLine("eth0", "00000000", KernelHex(10, 0, 0, 1)));
    GatewayParser parser(mPath);
    ASSERT_EQ(parser.ParseRoute().GetCode(), ZrUtilsLib::OK);
    Write(std::string(HEADER) + RouteLine("eth1", "00000000", KernelHex(10, 1, 0, 1)));
    ASSERT_EQ(parser.ParseRoute().GetCode(), ZrUtilsLib::OK);
    EXPECT_EQ(parser.Get("eth0"), "10.0.0.1");
    EXPECT_EQ(parser.Get("eth1"), "10.1.0.1");
}

// Only the start of a line holds the fields: text further along a long line is never taken as
// a route, however it looks.
TEST_F(GatewayParserTest, TailsOfLongLinesAreNeverRoutes) {
    std::string disguised = "eth9\t" + KernelHex(10, 9, 0, 0) + "\t00000000";
    disguised.resize(GatewayParser::CHUNK_SIZE - 1, ' ');
    disguised += "eth9 00000000 " + KernelHex(6, 6, 6, 6) + std::string(200, ' ') + "\n";
    std::string veryLong =
        "eth7\t00000000\t" + KernelHex(10, 7, 0, 1) + "\t" + std::string(1000, 'x') + "\n";
    Write(std::string(HEADER) + disguised + veryLong +
          RouteLine("eth8", "00000000", KernelHex(10, 8, 0, 1)));
    GatewayParser parser(mPath);
    ASSERT_EQ(parser.ParseRoute().GetCode(), ZrUtilsLib::OK);
    EXPECT_EQ(parser.Get("eth9"), "");
    EXPECT_EQ(parser.Get("eth7"), "10.7.0.1") << "a long line's first chunk still counts";
    EXPECT_EQ(parser.Get("eth8"), "10.8.0.1") << "the line after a long line is read again";
}

TEST_F(GatewayParserTest, MalformedLinesAreSkipped) {
    std::string longName(40, 'n');
    // The gateway field is cut by the end of the first chunk: its digits are not all there.
    std::string cut = "eth6" + std::string(GatewayParser::CHUNK_SIZE - 1 - 4 - 14, ' ') +
                      "00000000 0A06" + "0001 more fields\n";
    Write(std::string(HEADER) + "\n" + longName + "\t00000000\t" + KernelHex(10, 0, 0, 1) + "\n" +
          "eth1\t00000000\n" + "eth2\tzz000000\t" + KernelHex(10, 2, 0, 1) + "\n" +
          "eth3\t00000000\t" + KernelHex(10, 3, 0, 1) + "0\n" + "eth4 0 " + KernelHex(10, 4, 0, 1) +
          "\n" + cut + "eth5\t00000000\t" + KernelHex(10, 5, 0, 1));
    GatewayParser parser(mPath);
    ASSERT_EQ(parser.ParseRoute().GetCode(), ZrUtilsLib::OK);
    EXPECT_EQ(parser.Get(longName), "");
    EXPECT_EQ(parser.Get(longName.substr(0, 15)), "") << "an over-long name is not truncated";
    EXPECT_EQ(parser.Get("eth1"), "");
    EXPECT_EQ(parser.Get("eth2"), "");
    EXPECT_EQ(parser.Get("eth3"), "") << "nine digits do not fit an address";
    EXPECT_EQ(parser.Get("eth4"), "10.4.0.1");
    EXPECT_EQ(parser.Get("eth6"), "");
    EXPECT_EQ(parser.Get("eth5"), "10.5.0.1") << "a last line without line end counts";
}

TEST(GatewayParserLine, ParsesOnlyDefaultRoutes) {
    std::string name;
    uint32_t gateway = 0;
    EXPECT_TRUE(GatewayParser::ParseDefaultRoute("eth0 00000000 0102A8C0", true, name, gateway));
    EXPECT_EQ(name, "eth0");
    EXPECT_EQ(gateway, 0x0102A8C0u);
    EXPECT_FALSE(GatewayParser::ParseDefaultRoute("eth0 00000000 0102A8C0", false, name, gateway))
        << "an incomplete line may have cut the gateway";
    EXPECT_TRUE(GatewayParser::ParseDefaultRoute("eth0 00000000 0102A8C0 ", false, name, gateway));
    EXPECT_FALSE(GatewayParser::ParseDefaultRoute("eth0 0000A8C0 0102A8C0 ", true, name, gateway));
    EXPECT_FALSE(GatewayParser::ParseDefaultRoute("", true, name, gateway));
    EXPECT_FALSE(GatewayParser::ParseDefaultRoute("   ", true, name, gateway));
    EXPECT_FALSE(
        GatewayParser::ParseDefaultRoute("Iface Destination Gateway", true, name, gateway));
}
