#include <gtest/gtest.h>

#include <string>

#include "KvUtilsLib/Network/EthernetAddress.h"
#include "KvUtilsLib/Network/IpAddress.h"

using KvUtilsLib::Network::EthernetAddress;
using KvUtilsLib::Network::IpAddress;

namespace {

template <typename Address>
std::string Text(const Address& address) {
    char text[Address::TEXT_SIZE];
    address.GetString(text);
    return text;
}

}  // namespace

TEST(EthernetAddress, ParsesEverySeparatorFormAndPrintsLowerCase) {
    for (const char* text : {"00:1A:2b:3C:4d:5E", "00-1A-2B-3C-4D-5E", "001a2b3c4d5e",
                             "[00:1a:2b:3c:4d:5e]", "0:0:1a2b-3c4d5e", "::00:1a::2b:3c:4d:5e--"}) {
        EthernetAddress address;
        EXPECT_EQ(address.Set(text).GetCode(), ZrUtilsLib::OK) << text;
        EXPECT_EQ(Text(address), "00:1a:2b:3c:4d:5e") << text;
    }
    EXPECT_EQ(Text(EthernetAddress(std::string("aa:bb:cc:dd:ee:ff"))), "aa:bb:cc:dd:ee:ff");
}

TEST(EthernetAddress, RefusedTextLeavesTheAddressAndConstructsAllZero) {
    for (const char* text :
         {"", "00:1a:2b:3c:4d:5", "00:1a:2b:3c:4d:5e:6", "00.1a.2b.3c.4d.5e", "00:1a:2b:3c:4d:5g",
          "00 1a 2b 3c 4d 5e", "0x1a2b3c4d5e", "1122zz445566", "11223344556z", "z",
          "00:1a:2b:3c:4d:5e:00:00:00:00:00:00:00:00:00:00:00:00"}) {
        EthernetAddress address(0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF);
        EXPECT_EQ(address.Set(text).GetCode(), ZrUtilsLib::INVALID_ARGUMENT) << text;
        EXPECT_EQ(Text(address), "aa:bb:cc:dd:ee:ff") << text;
        EXPECT_EQ(Text(EthernetAddress(text)), "00:00:00:00:00:00") << text;
    }
    EthernetAddress address;
    EXPECT_EQ(address.Set(static_cast<const char*>(nullptr)).GetCode(),
              ZrUtilsLib::INVALID_ARGUMENT);
    EXPECT_FALSE(EthernetAddress("00:1a:2b:3c:4d:zz").IsValid());
    EXPECT_EQ(Text(EthernetAddress(std::string("11:22:33:44:55"))), "00:00:00:00:00:00");
}

TEST(EthernetAddress, NumberAndByteFormsKeepByteZeroFirst) {
    EXPECT_EQ(EthernetAddress(0x01, 0x02, 0x03, 0x04, 0x05, 0x06).GetValue(), 0x010203040506UL);
    EthernetAddress fromValue(0xFFFF0A0B0C0D0E0FUL);  // the upper 16 bits are not part of it
    EXPECT_EQ(Text(fromValue), "0a:0b:0c:0d:0e:0f");
    EXPECT_EQ(fromValue.GetValue(), 0x0A0B0C0D0E0FUL);
    const unsigned char bytes[] = {0xde, 0xad, 0xbe, 0xef, 0x00, 0x01};
    EXPECT_EQ(Text(EthernetAddress(bytes)), "de:ad:be:ef:00:01");
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
        EXPECT_EQ(address.Set(c.text).GetCode(), ZrUtilsLib::OK) << c.text;
        EXPECT_EQ(Text(address), c.printed) << c.text;
    }
    EXPECT_EQ(Text(IpAddress(std::string("[8.8.4.4]"))), "8.8.4.4");
}

TEST(IpAddress, RefusedTextLeavesTheAddressAndConstructsZero) {
    for (const char* text :
         {"", "256.0.0.1", "1.2.3.260", "1.2.3.2550", "1000.0.0.0", "1.2.3", "1.2.3.4.5",
          "1[.2.3.4", "1.2.3.4[", "[[1.2.3.4", "1.2.3.4]]", "1.2].3.4", "[1.2.3]", "]", "1.2.3.4 ",
          " 1.2.3.4", "1.2.3.-4", "1.2.3.a", "99999999999999999999.0.0.0"}) {
        IpAddress address(9, 9, 9, 9);
        EXPECT_EQ(address.Set(text).GetCode(), ZrUtilsLib::INVALID_ARGUMENT) << text;
        EXPECT_EQ(Text(address), "9.9.9.9") << text;
        EXPECT_EQ(Text(IpAddress(text)), "0.0.0.0") << text;
    }
    IpAddress address;
    EXPECT_EQ(address.Set(static_cast<const char*>(nullptr)).GetCode(),
              ZrUtilsLib::INVALID_ARGUMENT);
}

TEST(IpAddress, WideParserRefusesBrackets) {
    IpAddress address;
    EXPECT_EQ(address.Set(L"172.16.0.9").GetCode(), ZrUtilsLib::OK);
    for (const wchar_t* text : {L"[10.0.0.1]", L"10.0.0.1]", L"256.0.0.0"}) {
        EXPECT_EQ(address.Set(text).GetCode(), ZrUtilsLib::INVALID_ARGUMENT);
    }
    EXPECT_EQ(Text(address), "172.16.0.9");
    wchar_t wide[IpAddress::TEXT_SIZE];
    address.GetString(wide);
    EXPECT_EQ(std::wstring(wide), L"172.16.0.9");
}

TEST(IpAddress, ClassifiesMasksAndMulticastGroups) {
    for (const char* mask : {"255.255.255.0", "128.0.0.0", "255.255.255.254", "255.240.0.0"}) {
        EXPECT_TRUE(IpAddress(mask).IsValidMask()) << mask;
    }
    for (const char* mask : {"0.0.0.0", "255.255.255.255", "255.0.255.0", "0.255.255.255"}) {
        EXPECT_FALSE(IpAddress(mask).IsValidMask()) << mask;
    }
    EXPECT_FALSE(IpAddress("223.255.255.255").IsMulticast());
    EXPECT_FALSE(IpAddress("240.0.0.0").IsMulticast());
    EthernetAddress group;
    IpAddress("239.200.1.2").GetEthernetAddress(&group);  // only 23 bits of the group are kept
    EXPECT_EQ(Text(group), "01:00:5e:48:01:02");
    EXPECT_TRUE(group.IsMulticast());
    IpAddress("10.0.0.1").GetEthernetAddress(&group);
    EXPECT_TRUE(group.IsBroadcast());
    EXPECT_FALSE(EthernetAddress("01:00:5e:80:00:01").IsMulticast());
    EXPECT_TRUE(EthernetAddress("01:00:5e:7f:ff:ff").IsMulticast());
}

TEST(IpAddress, OnlyTheWildcardItselfIsMarkedAny) {
    IpAddress any(1, 2, 3, 4);
    any.SetAny(false);  // the argument has no effect
    EXPECT_TRUE(any.IsAny());
    EXPECT_EQ(Text(any), "0.0.0.0");
    const IpAddress copy(any);
    EXPECT_FALSE(copy.IsAny());
    EXPECT_TRUE(copy == any);
    ASSERT_EQ(any.Set("1.2.3.4").GetCode(), ZrUtilsLib::OK);
    EXPECT_FALSE(any.IsAny());
}
