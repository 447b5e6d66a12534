// The driver probe against a device node that exists only inside a private mount namespace set
// up by tests/tools/with-driver-node.sh; the tests also hold that script to its promises.
#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdlib>

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include "ProbeRunner.h"
#include "ZrUtilsLib/Result.h"

namespace {

constexpr const char* NODE = "/dev/kvVeloxForEthernet";

bool HostHasNode() {
    return access(NODE, F_OK) == 0;
}

std::map<std::string, std::string> ProbeDriver(const std::string& environment, bool withNode,
                                               const std::string& adapter) {
    std::string command = "env " + environment + " ";
    if (withNode) {
        command += ProbeRunner::WithDriverNodePath() + " ";
    }
    ProbeRunner::Output output =
        ProbeRunner::Run(command + ProbeRunner::ProbePath() + " driver " + adapter);
    EXPECT_EQ(output.status, 0) << command;
    return ProbeRunner::KeyValues(output);
}

std::string Code(unsigned int code) {
    return std::to_string(code);
}

size_t CountDevMounts() {
    std::ifstream mounts("/proc/self/mountinfo");
    size_t count = 0;
    for (std::string line; std::getline(mounts, line);) {
        if (line.find(" /dev") != std::string::npos) {
            ++count;
        }
    }
    return count;
}

class DriverNodeTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!ProbeRunner::IsRoot()) {
            GTEST_SKIP() << "a private mount namespace needs root";
        }
        if (HostHasNode()) {
            GTEST_SKIP() << NODE << " exists on this host; the tests need it absent";
        }
    }
};

}  // namespace

TEST_F(DriverNodeTest, NodePresentMeansInstalledForAnyAdapterName) {
    auto values = ProbeDriver("-u KV_FAKE_VELOX_VERSION", true, "no-such-adapter");
    EXPECT_EQ(values["open"], Code(ZrUtilsLib::OK));
    EXPECT_EQ(values["enabled"], "1");
    EXPECT_EQ(values["after_close"], "1") << "Close keeps the answer of the last Open";
    EXPECT_EQ(values["installed_result"], Code(ZrUtilsLib::OK));
    EXPECT_EQ(values["installed"], "1");
}

TEST_F(DriverNodeTest, NodeAbsentMeansNotInstalledWithoutFailure) {
    auto values = ProbeDriver("'KV_FAKE_VELOX_VERSION=1, 2'", false, "eth0");
    EXPECT_EQ(values["open"], Code(ZrUtilsLib::OK));
    EXPECT_EQ(values["enabled"], "0");
    EXPECT_EQ(values["after_close"], "0");
    EXPECT_EQ(values["installed_result"], Code(ZrUtilsLib::OK));
    EXPECT_EQ(values["installed"], "0");
    EXPECT_EQ(values["version_result"], Code(ZrUtilsLib::COM_ERROR));
    EXPECT_EQ(values["version"], "unchanged");
}

TEST_F(DriverNodeTest, VersionRequestThatFailsGivesComErrorAndEmptyText) {
    // The node is a plain file: the driver's request is refused as by a node without driver.
    auto values = ProbeDriver("-u KV_FAKE_VELOX_VERSION", true, "eth0");
    EXPECT_EQ(values["version_result"], Code(ZrUtilsLib::COM_ERROR));
    EXPECT_EQ(values["version"], "");
}

TEST_F(DriverNodeTest, VersionRequestAnswerIsTheDriversText) {
    auto values = ProbeDriver("'KV_FAKE_VELOX_VERSION=1, 2, 3, 4'", true, "eth0");
    EXPECT_EQ(values["version_result"], Code(ZrUtilsLib::OK));
    EXPECT_EQ(values["version"], "1, 2, 3, 4");
}

TEST_F(DriverNodeTest, VersionFillingTheWholeAreaIsCutNotOverread) {
    std::string longVersion(80, '7');
    auto values = ProbeDriver("KV_FAKE_VELOX_VERSION=" + longVersion, true, "eth0");
    EXPECT_EQ(values["version_result"], Code(ZrUtilsLib::OK));
    EXPECT_EQ(values["version"], std::string(63, '7'));
}

TEST_F(DriverNodeTest, ScriptKeepsTheProcessIdAndLeavesTheHostUntouched) {
    size_t mountsBefore = CountDevMounts();
    // The script's scratch directory goes to a directory of this test, which must stay empty.
    char scratchParent[] = "/tmp/kv-node-test-XXXXXX";
    ASSERT_NE(mkdtemp(scratchParent), nullptr);

    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(pipeEnds[1], STDOUT_FILENO);
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        setenv("TMPDIR", scratchParent, 1);
        std::string script = ProbeRunner::WithDriverNodePath();
        execl(script.c_str(), script.c_str(), "/bin/sh", "-c",
              "echo $$; test -r /dev/kvVeloxForEthernet && test -c /dev/null && "
              "test -d /dev/pts && exit 42",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeEnds[1]);
    char text[32] = {};
    ssize_t length = read(pipeEnds[0], text, sizeof(text) - 1);
    close(pipeEnds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 42) << "the node, /dev/null and /dev/pts are all there";
    ASSERT_GT(length, 0);
    EXPECT_EQ(std::stol(text), static_cast<long>(child)) << "the command keeps the process id";

    EXPECT_FALSE(HostHasNode());
    EXPECT_EQ(CountDevMounts(), mountsBefore);
    EXPECT_EQ(rmdir(scratchParent), 0) << "the scratch directory was left behind";
}

TEST(WithDriverNodeScript, WithoutCommandPrintsItsUsage) {
    ProbeRunner::Output output = ProbeRunner::Run(ProbeRunner::WithDriverNodePath() + " 2>&1");
    EXPECT_EQ(output.status, 2);
    ASSERT_FALSE(output.lines.empty());
    EXPECT_NE(output.lines[0].find("usage:"), std::string::npos);
}
