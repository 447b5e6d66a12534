#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "KvUtilsLib/Network/EthernetAddress.h"
#include "KvUtilsLib/Network/IpAddress.h"

using KvUtilsLib::Network::EthernetAddress;
using KvUtilsLib::Network::IpAddress;

namespace {

std::string Text(const EthernetAddress& address) {
    char text[EthernetAddress::TEXT_SIZE];
    address.GetString(text);
    return text;
}

std::string Text(const IpAddress& address) {
    char text[IpAddress::TEXT_SIZE];
    address.GetString(text);
    return text;
}

unsigned int ParseEthernet(const char* text, EthernetAddress& address) {
    return address.Set(text).GetCode();
}

unsigned int ParseIp(const char* text, IpAddress& address) {
    return address.Set(text).GetCode();
}

}  // namespace

TEST(EthernetAddress, ParsesEverySeparatorFormAndPrintsLowerCase) {
    for (const char* text : {"00:1A:2b:3C:4d:5E", "00-1A-2B-3C-4D-5E", "001a2b3c4d5e",
                             "[00:1a:2b:3c:4d:5e]", "0:0:1a2b-3c4d5e", "::00:1a::2b:3c:4d:5e--"}) {
        EthernetAddress address;
        EXPECT_EQ(ParseEthernet(text, address), ZrUtilsLib::OK) << text;
        EXPECT_EQ(Text(address), "00:1a:2b:3c:4d:5e") << text;
    }
    EXPECT_EQ(Text(EthernetAddress(std::string("aa:bb:cc:dd:ee:ff"))), "aa:bb:cc:dd:ee:ff");
}

TEST(EthernetAddress, RefusesWrongDigitCountsAndForeignCharacters) {
    for (const char* text : {"", "00:1a:2b:3c:4d:5", "00:1a:2b:3c:4d:5e:6", "00.1a.2b.3c.4d.5e",
                             "00:1a:2b:3c:4d:5g", "00 1a 2b 3c 4d 5e", "0x1a2b3c4d5e",
                             "00:1a:2b:3c:4d:5e:00:00:00:00:00:00:00:00:00:00:00:00"}) {
        EthernetAddress address;
        EXPECT_EQ(ParseEthernet(text, address), ZrUtilsLib::INVALID_ARGUMENT) << text;
    }
    EthernetAddress address;
    EXPECT_EQ(address.Set(static_cast<const char*>(nullptr)).GetCode(),
              ZrUtilsLib::INVALID_ARGUMENT);
}

TEST(EthernetAddress, TextThatDoesNotParseGivesAllZeroBytes) {
    EXPECT_FALSE(EthernetAddress("00:1a:2b:3c:4d:zz").IsValid());
    EXPECT_EQ(Text(EthernetAddress("not an address")), "00:00:00:00:00:00");
    EXPECT_EQ(Text(EthernetAddress(std::string("11:22:33:44:55"))), "00:00:00:00:00:00");
}

TEST(EthernetAddress, FailedParseLeavesTheAddressUnchanged) {
    EthernetAddress address(0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF);
    for (const char* text : {"1122zz445566", "11223344556z", "112233", "z"}) {
        EXPECT_EQ(ParseEthernet(text, address), ZrUtilsLib::INVALID_ARGUMENT) << text;
        EXPECT_EQ(Text(address), "aa:bb:cc:dd:ee:ff") << text;
    }
}

TEST(EthernetAddress, NumberFormRoundTripsWithByteZeroMostSignificant) {
    EthernetAddress address(0x01, 0x02, 0x03, 0x04, 0x05, 0x06);
    EXPECT_EQ(address.GetValue(), 0x010203040506UL);
    unsigned long value = 0xFFFF0A0B0C0D0E0FUL;  // the upper 16 bits are not part of it
    EthernetAddress fromValue(value);
    EXPECT_EQ(Text(fromValue), "0a:0b:0c:0d:0e:0f");
    EXPECT_EQ(fromValue.GetValue(), 0x0A0B0C0D0E0FUL);
    const unsigned char bytes[] = {0xde, 0xad, 0xbe, 0xef, 0x00, 0x01};
    EXPECT_EQ(Text(EthernetAddress(bytes)), "de:ad:be:ef:00:01");
}

TEST(EthernetAddress, AllThreeTextFormsAgree) {
    EthernetAddress address(0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e);
    wchar_t wide[EthernetAddress::TEXT_SIZE];
    address.GetString(wide);
    EXPECT_EQ(std::wstring(wide), L"00:1a:2b:3c:4d:5e");
    EXPECT_STREQ(address.GetString().GetAscii(), "00:1a:2b:3c:4d:5e");
}

TEST(EthernetAddress, ClassifiesOnlyTheIpv4MulticastBlockAsMulticast) {
    EthernetAddress lowest("01:00:5e:00:00:00");
    EthernetAddress highest("01:00:5e:7f:ff:ff");
    EXPECT_TRUE(lowest.IsMulticast());
    EXPECT_TRUE(highest.IsMulticast());
    EXPECT_FALSE(highest.IsUnicast());
    EthernetAddress pastBlock("01:00:5e:80:00:00");
    EXPECT_FALSE(pastBlock.IsMulticast());
    EXPECT_TRUE(pastBlock.IsUnicast());
    EXPECT_TRUE(EthernetAddress("33:33:00:00:00:01").IsUnicast());

    EXPECT_FALSE(EthernetAddress().IsValid());
    EXPECT_TRUE(EthernetAddress("00:00:00:00:00:01").IsValid());
    EXPECT_TRUE(EthernetAddress::BROADCAST.IsBroadcast());
    EXPECT_FALSE(EthernetAddress::BROADCAST.IsUnicast());
    EXPECT_FALSE(EthernetAddress("ff:ff:ff:ff:ff:fe").IsBroadcast());
}

TEST(IpAddress, AcceptsDottedDecimalWithOptionalBrackets) {
    struct Case {
        const char* text;
        const char* printed;
    };
    for (const Case& c : {Case{"255.255.255.255", "255.255.255.255"}, Case{"0.0.0.0", "0.0.0.0"},
                          Case{"[10.0.0.1]", "10.0.0.1"}, Case{"10.0.0.1]", "10.0.0.1"},
                          Case{"[10.0.0.1", "10.0.0.1"}, Case{"1..2.3", "1.0.2.3"},
                          Case{"010.1.1.1", "10.1.1.1"}, Case{"...", "0.0.0.0"},
                          Case{"192.168.2.1", "192.168.2.1"}, Case{"0250.0.0.0", "250.0.0.0"}}) {
        IpAddress address(9, 9, 9, 9);
        EXPECT_EQ(ParseIp(c.text, address), ZrUtilsLib::OK) << c.text;
        EXPECT_EQ(Text(address), c.printed) << c.text;
    }
}

TEST(IpAddress, RefusesOverflowWrongDotCountsAndMisplacedBrackets) {
    for (const char* text :
         {"", "256.0.0.1", "1.2.3.260", "1.2.3.2550", "1000.0.0.0", "1.2.3", "1.2.3.4.5",
          "1[.2.3.4", "1.2.3.4[", "[[1.2.3.4", "1.2.3.4]]", "1.2].3.4", "[1.2.3]", "]", "1.2.3.4 ",
          " 1.2.3.4", "1.2.3.-4", "1.2.3.a", "99999999999999999999.0.0.0"}) {
        IpAddress address(9, 9, 9, 9);
        EXPECT_EQ(ParseIp(text, address), ZrUtilsLib::INVALID_ARGUMENT) << text;
        EXPECT_EQ(Text(address), "9.9.9.9") << "a refused text changed the address: " << text;
    }
    IpAddress address;
    EXPECT_EQ(address.Set(static_cast<const char*>(nullptr)).GetCode(),
              ZrUtilsLib::INVALID_ARGUMENT);
}

TEST(IpAddress, WideParserRefusesBrackets) {
    IpAddress address;
    EXPECT_EQ(address.Set(L"172.16.0.9").GetCode(), ZrUtilsLib::OK);
    EXPECT_EQ(Text(address), "172.16.0.9");
    EXPECT_EQ(address.Set(L"[10.0.0.1]").GetCode(), ZrUtilsLib::INVALID_ARGUMENT);
    EXPECT_EQ(address.Set(L"10.0.0.1]").GetCode(), ZrUtilsLib::INVALID_ARGUMENT);
    EXPECT_EQ(address.Set(L"256.0.0.0").GetCode(), ZrUtilsLib::INVALID_ARGUMENT);
    EXPECT_EQ(Text(address), "172.16.0.9");
    wchar_t wide[IpAddress::TEXT_SIZE];
    address.GetString(wide);
    EXPECT_EQ(std::wstring(wide), L"172.16.0.9");
}

TEST(IpAddress, TextConstructorsStartFromZero) {
    EXPECT_EQ(Text(IpAddress("300.1.1.1")), "0.0.0.0");
    EXPECT_EQ(Text(IpAddress(std::string("[8.8.4.4]"))), "8.8.4.4");
}

TEST(IpAddress, ValueFormKeepsTheMemoryOrder) {
    const unsigned char bytes[] = {192, 168, 2, 1};
    unsigned int value;
    std::memcpy(&value, bytes, sizeof(value));
    IpAddress address(value);
    EXPECT_EQ(Text(address), "192.168.2.1");
    EXPECT_EQ(Text(IpAddress(static_cast<const void*>(bytes))), "192.168.2.1");
    EXPECT_EQ(address.GetByte(0), 192);
    uint16_t firstWord;
    std::memcpy(&firstWord, bytes, sizeof(firstWord));
    EXPECT_EQ(address.GetWord(0), firstWord);
    EXPECT_EQ(std::memcmp(address.GetData(), bytes, IpAddress::SIZE), 0);
}

TEST(IpAddress, AnyFlagIsSetOnlyBySetAnyAndNeverCopied) {
    IpAddress address(10, 1, 2, 3);
    address.SetAny(false);
    EXPECT_TRUE(address.IsAny());
    EXPECT_EQ(Text(address), "0.0.0.0");
    IpAddress copy(address);
    EXPECT_FALSE(copy.IsAny());
    IpAddress assigned(1, 1, 1, 1);
    assigned.SetAny();
    assigned = address;
    EXPECT_FALSE(assigned.IsAny());
    EXPECT_EQ(address.Set("1.2.3.x").GetCode(), ZrUtilsLib::INVALID_ARGUMENT);
    EXPECT_FALSE(address.IsAny()) << "a parse clears the flag even when it fails";
}

TEST(IpAddress, MaskMustBeContiguousWithOnesAndZeros) {
    for (const char* valid : {"255.255.255.0", "128.0.0.0", "255.255.255.254", "255.255.240.0"}) {
        EXPECT_TRUE(IpAddress(valid).IsValidMask()) << valid;
    }
    for (const char* invalid :
         {"255.0.255.0", "255.255.255.255", "0.0.0.0", "0.255.255.255", "255.255.255.1"}) {
        EXPECT_FALSE(IpAddress(invalid).IsValidMask()) << invalid;
    }
}

TEST(IpAddress, MulticastGroupsMapToTheirEthernetAddress) {
    EXPECT_TRUE(IpAddress("224.0.0.1").IsMulticast());
    EXPECT_TRUE(IpAddress("239.255.255.255").IsMulticast());
    EXPECT_FALSE(IpAddress("240.0.0.1").IsMulticast());
    EXPECT_FALSE(IpAddress("223.255.255.255").IsMulticast());

    EthernetAddress mapped;
    IpAddress("239.129.2.3").GetEthernetAddress(&mapped);
    EXPECT_EQ(Text(mapped), "01:00:5e:01:02:03");
    EXPECT_TRUE(mapped.IsMulticast());
    IpAddress("10.0.0.1").GetEthernetAddress(&mapped);
    EXPECT_EQ(Text(mapped), "ff:ff:ff:ff:ff:ff");
    EXPECT_EQ(Text(IpAddress::BROADCAST), "255.255.255.255");
}
