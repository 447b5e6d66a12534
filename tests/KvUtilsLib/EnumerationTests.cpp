// The enumeration on real adapters: each test builds a network namespace of its own with veth
// pairs, addresses and routes, and runs the enumeration inside it through the inventory probe.
#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "ProbeRunner.h"

using ProbeRunner::Find;
using ProbeRunner::NetworkNamespace;
using ProbeRunner::Record;

namespace {

class EnumerationTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!ProbeRunner::IsRoot()) {
            GTEST_SKIP() << "network namespaces need root";
        }
        mNamespace = std::make_unique<NetworkNamespace>();
        ASSERT_TRUE(mNamespace->IsCreated()) << "cannot create a network namespace";
    }

    // A veth pair inside the namespace, with fixed hardware addresses.
    void AddPair(const std::string& name, const std::string& mac, const std::string& peer,
                 const std::string& peerMac) {
        ASSERT_TRUE(Ip("link add " + name + " address " + mac + " type veth peer name " + peer +
                       " address " + peerMac));
    }
    bool Ip(const std::string& arguments) { return mNamespace->Ip(arguments); }

    std::unique_ptr<NetworkNamespace> mNamespace;
};

void ExpectNoAddress(const Record& record) {
    ASSERT_EQ(record.configurations.size(), 1u) << record.name;
    EXPECT_EQ(record.configurations[0].address, "0.0.0.0") << record.name;
    EXPECT_EQ(record.configurations[0].mask, "0.0.0.0") << record.name;
}

}  // namespace

TEST_F(EnumerationTest, OnlyLoopbackGivesAnEmptyList) {
    ProbeRunner::Output output = mNamespace->Exec(ProbeRunner::ProbePath() + " inventory none");
    ASSERT_EQ(output.status, 0);
    EXPECT_EQ(ProbeRunner::KeyValues(output)["count"], "0");
    EXPECT_TRUE(ProbeRunner::Records(output).empty());
}

TEST_F(EnumerationTest, AdapterWithTwoAddressesIsListedOnceWithBothInOrder) {
    AddPair("eth0", "02:00:00:00:00:01", "eth1", "02:00:00:00:00:02");
    ASSERT_TRUE(Ip("address add 10.1.0.1/24 dev eth0"));
    ASSERT_TRUE(Ip("address add 10.77.0.1/16 dev eth0"));
    ASSERT_TRUE(Ip("link set eth0 up"));

    std::vector<Record> records = mNamespace->Inventory("none");
    ASSERT_EQ(records.size(), 2u);
    const Record& eth0 = records[0];
    EXPECT_EQ(eth0.name, "eth0");
    EXPECT_EQ(eth0.description, "eth0");
    EXPECT_EQ(eth0.mac, "02:00:00:00:00:01");
    EXPECT_EQ(eth0.id, eth0.mac);
    ASSERT_EQ(eth0.configurations.size(), 2u);
    EXPECT_EQ(eth0.configurations[0].address, "10.1.0.1");
    EXPECT_EQ(eth0.configurations[0].mask, "255.255.255.0");
    EXPECT_EQ(eth0.configurations[1].address, "10.77.0.1");
    EXPECT_EQ(eth0.configurations[1].mask, "255.255.0.0");
    EXPECT_EQ(eth0.gateway, "0.0.0.0");
}

TEST_F(EnumerationTest, DownAdapterWithoutAddressComesFromTheAddressFile) {
    AddPair("eth0", "02:00:00:00:00:01", "eth1", "02:00:00:00:0A:BC");
    ASSERT_TRUE(Ip("address add 10.1.0.1/24 dev eth0"));
    ASSERT_TRUE(Ip("link set eth0 up"));

    // A checker that reports the driver everywhere: the second pass does not ask it.
    std::vector<Record> records = mNamespace->Inventory("fake:*:1, 0");
    const Record* eth1 = Find(records, "eth1");
    ASSERT_NE(eth1, nullptr);
    EXPECT_EQ(eth1->mac, "02:00:00:00:0a:bc");
    EXPECT_EQ(eth1->id, "02:00:00:00:0a:bc");
    EXPECT_EQ(eth1->description, "eth1");
    ExpectNoAddress(*eth1);
    EXPECT_EQ(eth1->type, 0u);
    EXPECT_EQ(eth1->version, "");
    EXPECT_EQ(eth1->gateway, "0.0.0.0");
    const Record* eth0 = Find(records, "eth0");
    ASSERT_NE(eth0, nullptr);
    EXPECT_EQ(eth0->type, 1u);
}

TEST_F(EnumerationTest, BridgeNamesAreLeftToTheSecondPass) {
    AddPair("kvv0", "02:00:00:00:00:11", "eth0", "02:00:00:00:00:12");
    AddPair("kvx0", "02:00:00:00:00:21", "eth1", "02:00:00:00:00:22");
    ASSERT_TRUE(Ip("link set kvv0 name virbr0"));
    ASSERT_TRUE(Ip("link set kvx0 name xenbr3"));
    ASSERT_TRUE(Ip("address add 10.5.0.1/24 dev virbr0"));
    ASSERT_TRUE(Ip("address add 10.6.0.1/24 dev xenbr3"));
    ASSERT_TRUE(Ip("address add 10.5.0.2/24 dev eth0"));
    for (const char* name : {"virbr0", "xenbr3", "eth0", "eth1"}) {
        ASSERT_TRUE(Ip(std::string("link set ") + name + " up"));
    }
    ASSERT_TRUE(Ip("route add default via 10.5.0.254 dev virbr0"));

    std::vector<Record> records = mNamespace->Inventory("fake:*:2, 1");
    ASSERT_EQ(records.size(), 4u);
    for (const char* name : {"virbr0", "xenbr3"}) {
        const Record* bridge = Find(records, name);
        ASSERT_NE(bridge, nullptr) << name;
        ExpectNoAddress(*bridge);
        EXPECT_EQ(bridge->type, 0u) << name;
        EXPECT_EQ(bridge->gateway, "0.0.0.0") << name;
    }
    EXPECT_EQ(Find(records, "virbr0")->mac, "02:00:00:00:00:11");
    const Record* eth0 = Find(records, "eth0");
    ASSERT_NE(eth0, nullptr);
    ASSERT_EQ(eth0->configurations.size(), 1u);
    EXPECT_EQ(eth0->configurations[0].address, "10.5.0.2");
    EXPECT_EQ(eth0->type, 1u);
    EXPECT_EQ(eth0->version, "2.1");
}

TEST_F(EnumerationTest, DefaultRouteBecomesTheAdaptersGateway) {
    AddPair("eth0", "02:00:00:00:00:01", "eth1", "02:00:00:00:00:02");
    AddPair("eth2", "02:00:00:00:00:03", "eth3", "02:00:00:00:00:04");
    ASSERT_TRUE(Ip("address add 10.2.0.1/24 dev eth0"));
    ASSERT_TRUE(Ip("address add 10.3.0.1/24 dev eth1"));
    ASSERT_TRUE(Ip("address add 10.4.0.1/24 dev eth2"));
    for (const char* name : {"eth0", "eth1", "eth2", "eth3"}) {
        ASSERT_TRUE(Ip(std::string("link set ") + name + " up"));
    }
    ASSERT_TRUE(Ip("route add default via 10.2.0.254 dev eth0"));
    ASSERT_TRUE(Ip("route add default via 10.4.0.254 dev eth2 metric 50"));
    ASSERT_TRUE(Ip("route add 10.9.0.0/16 via 10.3.0.254 dev eth1"));

    std::vector<Record> records = mNamespace->Inventory("none");
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(Find(records, "eth0")->gateway, "10.2.0.254");
    EXPECT_EQ(Find(records, "eth1")->gateway, "0.0.0.0") << "a network route is no default route";
    EXPECT_EQ(Find(records, "eth2")->gateway, "10.4.0.254");
    EXPECT_EQ(Find(records, "eth3")->gateway, "0.0.0.0");
}

TEST_F(EnumerationTest, DriverStateComesFromTheChecker) {
    AddPair("eth0", "02:00:00:00:00:01", "eth1", "02:00:00:00:00:02");
    ASSERT_TRUE(Ip("address add 10.1.0.1/24 dev eth0"));
    ASSERT_TRUE(Ip("address add 10.1.0.2/24 dev eth1"));

    std::vector<Record> records = mNamespace->Inventory("fake:eth1:1, 2, 3, 4");
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(Find(records, "eth1")->type, 1u);
    EXPECT_EQ(Find(records, "eth1")->version, "1.2.3.4");
    EXPECT_EQ(Find(records, "eth0")->type, 0u);
    EXPECT_EQ(Find(records, "eth0")->version, "");

    records = mNamespace->Inventory("fake:*:5.0-rc1");
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].version, "5.0-rc1") << "a version without comma and blank is unchanged";

    records = mNamespace->Inventory("none");
    ASSERT_EQ(records.size(), 2u);
    for (const Record& record : records) {
        EXPECT_EQ(record.type, 0u) << record.name;
        EXPECT_EQ(record.version, "") << record.name;
    }
}

TEST_F(EnumerationTest, ListIsSortedByNameAcrossBothPasses) {
    AddPair("b1", "02:00:00:00:00:01", "a10", "02:00:00:00:00:02");
    AddPair("a2", "02:00:00:00:00:03", "A0", "02:00:00:00:00:04");
    ASSERT_TRUE(Ip("address add 10.1.0.1/24 dev b1"));
    ASSERT_TRUE(Ip("address add 10.1.0.2/24 dev a2"));

    std::vector<Record> records = mNamespace->Inventory("none");
    std::vector<std::string> names;
    for (const Record& record : records) {
        names.push_back(record.name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"A0", "a10", "a2", "b1"}));
}

// The whole path of the adapter prompt: the real driver probe against the device node, with the
// driver's version request answered by the probe's test double.
TEST_F(EnumerationTest, LinkEnabledMarksEveryFirstPassAdapterWhenTheNodeExists) {
    AddPair("eth0", "02:00:00:00:00:01", "eth1", "02:00:00:00:00:02");
    ASSERT_TRUE(Ip("address add 10.1.0.1/24 dev eth0"));

    std::string probe = ProbeRunner::ProbePath() + " inventory link";
    ProbeRunner::Output output = mNamespace->Exec("env 'KV_FAKE_VELOX_VERSION=3, 1, 4, 1' " +
                                                  ProbeRunner::WithDriverNodePath() + " " + probe);
    ASSERT_EQ(output.status, 0);
    std::vector<Record> records = ProbeRunner::Records(output);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(Find(records, "eth0")->type, 1u);
    EXPECT_EQ(Find(records, "eth0")->version, "3.1.4.1");
    EXPECT_EQ(Find(records, "eth1")->type, 0u) << "the second pass does not ask the driver";

    if (access("/dev/kvVeloxForEthernet", F_OK) == 0) {
        GTEST_SKIP() << "the host has the driver node: the case without it cannot be run";
    }
    output = mNamespace->Exec("env 'KV_FAKE_VELOX_VERSION=3, 1, 4, 1' " + probe);
    ASSERT_EQ(output.status, 0);
    records = ProbeRunner::Records(output);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(Find(records, "eth0")->type, 0u) << "no node, no driver";
}
