// The adapter prompt and the adapter check over the real inventory and the real driver probe,
// in a child process with its own network namespace (veth pairs made here) and, where the
// driver is to be present, its own mount namespace with a stand-in driver node over /dev.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/Prompts.h"
#include "tests/app/frontend/TestConsole.h"

namespace {

using Fields = std::vector<std::string>;

constexpr char const* DRIVER_NODE = "/dev/kvVeloxForEthernet";

// Both ends of a veth pair carry an IPv4 address.
constexpr char const* TWO_ADAPTERS =
    "ip link add kvfe1 type veth peer name kvfe0 && ip addr add 10.201.0.1/24 dev kvfe0 && "
    "ip addr add 10.201.0.2/24 dev kvfe1 && ip link set kvfe0 up && ip link set kvfe1 up";
// Only one end has an address; the other one is listed by the inventory without the driver.
constexpr char const* ONE_ADAPTER =
    "ip link add kvfe0 type veth peer name kvfe1 && ip addr add 10.201.0.1/24 dev kvfe0 && "
    "ip link set kvfe0 up && ip link set kvfe1 up";

std::string SetUpDriverNode(std::string const& scratch) {
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return "cannot make the mounts private";
    }
    if (mount("tmpfs", scratch.c_str(), "tmpfs", 0, nullptr) != 0) {
        return "cannot mount a tmpfs";
    }
    std::string const upper = scratch + "/upper";
    std::string const work = scratch + "/work";
    if (mkdir(upper.c_str(), 0755) != 0 || mkdir(work.c_str(), 0755) != 0) {
        return "cannot create the overlay directories";
    }
    std::string const options = "lowerdir=/dev,upperdir=" + upper + ",workdir=" + work;
    if (mount("overlay", "/dev", "overlay", 0, options.c_str()) != 0) {
        return "cannot mount an overlay on /dev";
    }
    int const node = open(DRIVER_NODE, O_CREAT | O_WRONLY, 0644);
    if (node < 0) {
        return "cannot create the driver node";
    }
    close(node);
    return "";
}

std::string SetUpChild(bool withDriverNode, char const* network, std::string const& scratch) {
    int const namespaces = CLONE_NEWNET | (withDriverNode ? CLONE_NEWNS : 0);
    if (unshare(namespaces) != 0) {
        return "cannot create the namespaces";
    }
    if (withDriverNode) {
        std::string const failure = SetUpDriverNode(scratch);
        if (!failure.empty()) {
            return failure;
        }
    }
    if (std::system(network) != 0) {
        return std::string("cannot set up the adapters: ") + network;
    }
    return "";
}

// Runs `body` in the isolated child and returns the fields it reported.
Fields RunIsolated(bool withDriverNode, char const* network, std::function<Fields()> const& body) {
    std::string scratch = ::testing::TempDir() + "frontend_ns_XXXXXX";
    EXPECT_NE(mkdtemp(scratch.data()), nullptr);
    int channel[2];
    EXPECT_EQ(pipe(channel), 0);
    std::fflush(nullptr);
    pid_t const child = fork();
    if (child == 0) {
        close(channel[0]);
        std::string const failure = SetUpChild(withDriverNode, network, scratch);
        Fields const fields = failure.empty() ? body() : Fields{"setup failed: " + failure};
        std::string message;
        for (std::string const& field : fields) {
            message += field;
            message.push_back('\0');
        }
        ssize_t const written = write(channel[1], message.data(), message.size());
        _exit(written == static_cast<ssize_t>(message.size()) ? 0 : 1);
    }
    close(channel[1]);
    std::string message;
    char chunk[4096];
    for (ssize_t n = read(channel[0], chunk, sizeof chunk); n > 0;
         n = read(channel[0], chunk, sizeof chunk)) {
        message.append(chunk, static_cast<size_t>(n));
    }
    close(channel[0]);
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    rmdir(scratch.c_str());
    Fields fields;
    for (size_t start = 0; start < message.size();) {
        size_t const end = message.find('\0', start);
        fields.push_back(message.substr(start, end - start));
        start = end + 1;
    }
    return fields;
}

// Parse with nothing on the command line but `arguments`, the real driver probe and `typed`.
Fields ParseInChild(std::vector<char const*> arguments, std::string const& typed) {
    arguments.insert(arguments.begin(), "kvpcaprecorder");
    TestConsole console(typed);
    PCAPSnifferConfiguration config;
    bool flag = false;
    int const result = Parse(static_cast<int>(arguments.size()), arguments.data(), config, flag,
                             nullptr, console.In(), console.Out());
    return {std::to_string(result), config.AdapterName, config.Filename,
            std::to_string(config.Mode), console.Printed()};
}

std::string const HEADING =
    "\nThe network adapter was not selected...\n\n"
    "The following list of network adapter can be used.\n";

class InventoryPromptTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root to create network and mount namespaces";
        }
    }
};

}  // namespace

TEST_F(InventoryPromptTest, ChoosesAmongTheAdaptersOfTheMachine) {
    Fields const fields = RunIsolated(true, TWO_ADAPTERS, [] {
        TestConsole console("7\n1\n");
        PCAPSnifferConfiguration config;
        int const result = SelectNetworkInterface(config, console.In(), console.Out());
        return Fields{std::to_string(result), config.AdapterName, console.Printed()};
    });
    ASSERT_EQ(fields.size(), 3u) << (fields.empty() ? "" : fields[0]);
    EXPECT_EQ(fields[0], "1");
    EXPECT_EQ(fields[1], "kvfe1");
    std::string const question =
        "Select the network adapter using the associated number. [ Default = 0 ]\n? > ";
    EXPECT_EQ(fields[2],
              HEADING + "( 0 ) kvfe0 - kvfe0\n( 1 ) kvfe1 - kvfe1\n\n" + question + question);
}

TEST_F(InventoryPromptTest, ParseAsksForEverythingInOrder) {
    Fields const fields =
        RunIsolated(true, TWO_ADAPTERS, [] { return ParseInChild({}, "0\n/nonexistent/t\n3\n"); });
    ASSERT_EQ(fields.size(), 5u) << (fields.empty() ? "" : fields[0]);
    EXPECT_EQ(fields[0], "1");
    EXPECT_EQ(fields[1], "kvfe0");
    EXPECT_EQ(fields[2], "/nonexistent/t");
    EXPECT_EQ(fields[3], "3");
    std::string const& printed = fields[4];
    size_t const adapter = printed.find("Select the network adapter");
    size_t const file = printed.find("Enter the filename to record the pcap file");
    size_t const mode = printed.find("Select the mode by entering the associated number");
    EXPECT_LT(adapter, file);
    EXPECT_LT(file, mode);
    EXPECT_NE(mode, std::string::npos);
}

TEST_F(InventoryPromptTest, OnlyAdapterWithAnAddressIsTakenAutomatically) {
    Fields const fields = RunIsolated(true, ONE_ADAPTER, [] {
        TestConsole console;
        PCAPSnifferConfiguration config;
        int const result = SelectNetworkInterface(config, console.In(), console.Out());
        return Fields{std::to_string(result), config.AdapterName, console.Printed()};
    });
    ASSERT_EQ(fields.size(), 3u) << (fields.empty() ? "" : fields[0]);
    EXPECT_EQ(fields[0], "1");
    EXPECT_EQ(fields[1], "kvfe0");
    EXPECT_EQ(fields[2], HEADING +
                             "( 0 ) kvfe0 - kvfe0\n\n"
                             "? > <Automatically select the only network adapter available>\n\n");
}

TEST_F(InventoryPromptTest, WithoutTheDriverNothingIsOfferedOrAccepted) {
    Fields const prompt = RunIsolated(false, TWO_ADAPTERS, [] { return ParseInChild({}, "0\n"); });
    ASSERT_EQ(prompt.size(), 5u) << (prompt.empty() ? "" : prompt[0]);
    EXPECT_EQ(prompt[0], "0");
    EXPECT_EQ(prompt[4], HEADING + "\nNo Kova Velox driver installed\n\n");

    Fields const named = RunIsolated(false, TWO_ADAPTERS, [] {
        return ParseInChild({"--adaptername=kvfe0", "--filename=t", "--mode=circular"}, "");
    });
    ASSERT_EQ(named.size(), 5u) << (named.empty() ? "" : named[0]);
    EXPECT_EQ(named[0], "0");
    EXPECT_EQ(named[4], "The network adapter kvfe0 didn't have Kova Velox Installed");
}

TEST_F(InventoryPromptTest, WithTheDriverANamedAdapterIsAccepted) {
    Fields const named = RunIsolated(true, TWO_ADAPTERS, [] {
        return ParseInChild({"--adaptername=kvfe1", "--filename=t", "--mode=circular"}, "");
    });
    ASSERT_EQ(named.size(), 5u) << (named.empty() ? "" : named[0]);
    EXPECT_EQ(named[0], "1");
    EXPECT_EQ(named[1], "kvfe1");
    EXPECT_EQ(named[4], "");
}
