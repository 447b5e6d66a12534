#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "KvUtilsLib/Network/Interface.h"

using KvUtilsLib::Network::Interface;
using KvUtilsLib::Network::InterfaceTypeDriverEnabled;
using KvUtilsLib::Network::InterfaceTypeNoDriver;
using KvUtilsLib::Network::IPConfiguration;
using KvUtilsLib::Network::SortInterfacePtrVector;

namespace {

Interface WithConfigurations(int count) {
    Interface record;
    for (int i = 0; i < count; ++i) {
        record.AddIPConfiguration({"10.0.0." + std::to_string(i + 1), "255.255.255.0"});
    }
    return record;
}

Interface Named(const std::string& id, const std::string& name, const std::string& description) {
    Interface record;
    record.SetID(id, id, name, description);
    return record;
}

}  // namespace

TEST(Interface, NewRecordHasOnlyTheNullGateway) {
    Interface record;
    EXPECT_EQ(record.GetDefaultGateway(), "0.0.0.0");
    EXPECT_TRUE(record.GetIPConfigurations().empty());
    EXPECT_EQ(record.GetType(), InterfaceTypeNoDriver);
    EXPECT_TRUE(record.GetID().empty());
    EXPECT_TRUE(record.GetMACAddress().empty());
    EXPECT_TRUE(record.GetName().empty());
    EXPECT_TRUE(record.GetDescription().empty());
    EXPECT_TRUE(record.GetDriverVersion().empty());
    EXPECT_EQ(record.GetMTU(), 0u);
    EXPECT_EQ(record.GetLinkSpeed(), 0u);
    EXPECT_EQ(record.GetSystemIndex(), 0u);
}

TEST(Interface, AssignmentReplacesTheConfigurationListExactly) {
    Interface three = WithConfigurations(3);
    Interface five = WithConfigurations(5);
    Interface target = WithConfigurations(5);
    target = three;
    EXPECT_EQ(target.GetIPConfigurations(), three.GetIPConfigurations());
    ASSERT_EQ(target.GetIPConfigurations().size(), 3u);
    EXPECT_EQ(target.GetIPConfigurations()[2].Address, "10.0.0.3");

    target = five;
    EXPECT_EQ(target.GetIPConfigurations(), five.GetIPConfigurations());
}

TEST(Interface, CopiesCarryEveryField) {
    Interface original = Named("02:00:00:00:00:01", "eth0", "first port");
    original.SetType(InterfaceTypeDriverEnabled);
    original.SetMTU(9000);
    original.SetLinkSpeed(10000000000UL);
    original.SetSystemIndex(7);
    original.SetDefaultGateway("10.0.0.254");
    original.SetDriverVersion("1.2.3.4");
    original.AddIPConfiguration({"10.0.0.1", "255.255.255.0"});

    Interface copy(original);
    Interface assigned;
    assigned = original;
    for (const Interface* record : {&copy, &assigned}) {
        EXPECT_EQ(record->GetID(), "02:00:00:00:00:01");
        EXPECT_EQ(record->GetMACAddress(), "02:00:00:00:00:01");
        EXPECT_EQ(record->GetName(), "eth0");
        EXPECT_EQ(record->GetDescription(), "first port");
        EXPECT_EQ(record->GetType(), InterfaceTypeDriverEnabled);
        EXPECT_EQ(record->GetMTU(), 9000u);
        EXPECT_EQ(record->GetLinkSpeed(), 10000000000UL);
        EXPECT_EQ(record->GetSystemIndex(), 7u);
        EXPECT_EQ(record->GetDefaultGateway(), "10.0.0.254");
        EXPECT_EQ(record->GetDriverVersion(), "1.2.3.4");
        EXPECT_EQ(record->GetIPConfigurations(), original.GetIPConfigurations());
    }
}

TEST(Interface, SelfAssignmentLeavesTheRecordUnchanged) {
    Interface record = WithConfigurations(2);
    record.SetID("a", "b", "c", "d");
    Interface& alias = record;
    record = alias;
    EXPECT_EQ(record.GetIPConfigurations().size(), 2u);
    EXPECT_EQ(record.GetName(), "c");
}

TEST(Interface, CompareUsesTheConcatenatedIdentifiers) {
    Interface ab = Named("ab", "c", "d");
    Interface a = Named("a", "bc", "d");
    EXPECT_FALSE(Interface::Compare(&ab, &a));
    EXPECT_FALSE(Interface::Compare(&a, &ab));

    Interface prefix = Named("a", "b", "");
    Interface longer = Named("a", "b", "c");
    EXPECT_TRUE(Interface::Compare(&prefix, &longer));
    EXPECT_FALSE(Interface::Compare(&longer, &prefix));
    Interface high = Named("\xC3", "", "");  // bytes compare unsigned
    EXPECT_TRUE(Interface::Compare(&longer, &high));
}

TEST(Interface, NameOrderIsByteWise) {
    std::vector<Interface> records;
    for (const char* name : {"eth10", "wlan0", "eth1", "Eth9", "eth0", "eth"}) {
        records.push_back(Named("", name, ""));
    }
    std::vector<const Interface*> sorted;
    for (const Interface& record : records) {
        sorted.push_back(&record);
    }
    std::sort(sorted.begin(), sorted.end(), SortInterfacePtrVector);
    std::vector<std::string> names;
    for (const Interface* record : sorted) {
        names.push_back(record->GetName());
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Eth9", "eth", "eth0", "eth1", "eth10", "wlan0"}));
}
