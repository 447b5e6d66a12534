// The enumeration on veth pairs in a network namespace the test makes, with and without the node.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr const char* NODE = "/dev/kvVeloxForEthernet";

std::vector<std::string> Output(const std::string& command) {
    std::vector<std::string> lines;
    FILE* pipe = popen(command.c_str(), "r");
    char line[4096];
    while (pipe != nullptr && std::fgets(line, sizeof(line), pipe) != nullptr) {
        lines.emplace_back(line, std::strcspn(line, "\n"));
    }
    EXPECT_EQ(pipe == nullptr ? -1 : pclose(pipe), 0) << command;  // exited with 0
    return lines;
}

// The probe's line of an adapter; id and description are the MAC address and the name.
std::string Line(const std::string& name, const std::string& mac, const std::string& version,
                 const std::string& gateway, const std::string& configurations) {
    return name + "|" + mac + "|" + mac + "|" + name + "|" + (version.empty() ? "0" : "1") + "|" +
           gateway + "|" + version + "|" + configurations;
}

}  // namespace

// Bridges and adapters without IPv4 address come from their address file, sorted in by name.
TEST(Enumeration, SortedByNameWithDriverStateFromTheDeviceNode) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "network and mount namespaces need root";
    }
    if (access(NODE, F_OK) == 0) {
        GTEST_SKIP() << NODE << " exists on this host; the test needs it absent";
    }
    const std::string name = "kvinv" + std::to_string(getpid());
    ASSERT_EQ(std::system(("ip netns add " + name).c_str()), 0);
    const std::unique_ptr<const std::string, void (*)(const std::string*)> remove(
        &name,
        [](const std::string* n) { EXPECT_EQ(std::system(("ip netns del " + *n).c_str()), 0); });
    std::string setup = "true";
    for (const char* step :
         {"link set lo up",
          "link add b1 address 02:00:00:00:00:01 type veth peer name a10 address 02:00:00:00:0a:bc",
          "link add a2 address 02:00:00:00:00:03 type veth peer name A0 address 02:00:00:00:00:04",
          "link add virbr0 address 02:00:00:00:00:11 type veth peer name xenbr3 address "
          "02:00:00:00:00:21",
          "address add 10.1.0.1/24 dev b1", "address add 10.77.0.1/16 dev b1",
          "address add 10.2.0.1/24 dev a2", "address add 10.3.0.1/24 dev A0",
          "address add 10.5.0.1/24 dev virbr0", "address add 10.6.0.1/24 dev xenbr3",
          "link set b1 up", "link set a2 up", "link set A0 up", "link set virbr0 up",
          "link set xenbr3 up", "route add default via 10.2.0.254 dev a2",
          "route add default via 10.5.0.254 dev virbr0 metric 50",
          "route add 10.9.0.0/16 via 10.3.0.254 dev A0"}) {
        setup += " && ip -n " + name + " " + step;
    }
    ASSERT_EQ(std::system(setup.c_str()), 0);

    // The driver's version text fills its whole area without an end: it is cut, not overread.
    const std::string probe = "ip netns exec " + name + " env 'KV_FAKE_VELOX_VERSION=3, 1, 4, 1" +
                              std::string(70, '5') + "' ";
    const std::string countDevMounts = "grep -c ' /dev' /proc/self/mountinfo";
    const auto devMounts = Output(countDevMounts);
    const auto withNode = Output(probe + KV_WITH_DRIVER_NODE + " " + KV_INVENTORY_PROBE);
    EXPECT_EQ(Output(countDevMounts), devMounts) << "the host's /dev was changed";
    EXPECT_NE(access(NODE, F_OK), 0) << "the node was left on the host";
    const auto withoutNode = Output(probe + KV_INVENTORY_PROBE);
    for (const std::string& version : {"3.1.4.1" + std::string(53, '5'), std::string()}) {
        EXPECT_EQ(
            version.empty() ? withoutNode : withNode,
            std::vector<std::string>(
                {Line("A0", "02:00:00:00:00:04", version, "0.0.0.0", "10.3.0.1/255.255.255.0"),
                 Line("a10", "02:00:00:00:0a:bc", "", "0.0.0.0", "0.0.0.0/0.0.0.0"),
                 Line("a2", "02:00:00:00:00:03", version, "10.2.0.254", "10.2.0.1/255.255.255.0"),
                 Line("b1", "02:00:00:00:00:01", version, "0.0.0.0",
                      "10.1.0.1/255.255.255.0,10.77.0.1/255.255.0.0"),
                 Line("virbr0", "02:00:00:00:00:11", "", "0.0.0.0", "0.0.0.0/0.0.0.0"),
                 Line("xenbr3", "02:00:00:00:00:21", "", "0.0.0.0", "0.0.0.0/0.0.0.0"),
                 "past the end: null"}));
    }
}
