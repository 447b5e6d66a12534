#include "ZrUtilsLib/Utilities.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace ZrUtilsLib;

namespace {
std::string Expand(const char* text) {
    return ReplaceEnv(String(text)).GetAscii();
}
}  // namespace

TEST(ReplaceEnv, ExpandsBothBracketForms) {
    setenv("KV_HOME", "/home/op", 1);
    setenv("KV_B", "bee", 1);
    setenv("KV_WIN", "C:\\dir\\file", 1);
    setenv("KV_EMPTY", "", 1);
    setenv("KV_NESTED", "$(KV_B)", 1);
    unsetenv("KV_NOPE");
    EXPECT_EQ(Expand("$(KV_HOME)/logs/app.log"), "/home/op/logs/app.log");
    EXPECT_EQ(Expand("${KV_HOME}/x"), "/home/op/x");
    EXPECT_EQ(Expand("$(KV_HOME}"), "/home/op");
    EXPECT_EQ(Expand("a$(KV_NOPE)b"), "ab");
    EXPECT_EQ(Expand("a$(KV_EMPTY)b"), "ab");
    EXPECT_EQ(Expand("$(KV_B)$(KV_B)"), "beebee");
    EXPECT_EQ(Expand("$(KV_WIN)"), "C:/dir/file");
    EXPECT_EQ(Expand("$(KV_NESTED)"), "$(KV_B)");
}

TEST(ReplaceEnv, PlainDollarsAndUnterminatedReferences) {
    EXPECT_EQ(Expand("cost $5"), "cost $5");
    EXPECT_EQ(Expand("end$"), "end$");
    EXPECT_EQ(Expand("pre$(HOME"), "pre");
    EXPECT_EQ(Expand("pre$("), "pre");
    EXPECT_EQ(Expand(""), "");
}

TEST(ReplaceEnv, LongValuesNeverOverrunTheOutput) {
    const std::string huge(100000, 'v');
    setenv("KV_HUGE", huge.c_str(), 1);
    std::string text;
    for (int i = 0; i < 210; ++i) {
        text += "$(KV_HUGE)";  // 2100 characters: the cut at 2047 leaves 204 whole references
    }
    const std::string expanded = Expand(text.c_str());
    EXPECT_EQ(expanded.size(), 204u * huge.size());  // only the first 2047 input chars count
    unsetenv("KV_HUGE");
}

TEST(EnvironmentHelpers, TempDirOrder) {
    const char* names[] = {"TMPDIR", "TMP", "TEMP", "TEMPDIR"};
    for (const char* name : names) {
        unsetenv(name);
    }
    EXPECT_EQ(GetTempDir(), "/tmp");
    setenv("TMP", "/var/tmp", 1);
    EXPECT_EQ(GetTempDir(), "/var/tmp");
    setenv("TMPDIR", "", 1);
    EXPECT_EQ(GetTempDir(), "");
    unsetenv("TMPDIR");
    unsetenv("TMP");
}

TEST(EnvironmentHelpers, HomeDirForTheSuperuserComesFromThePasswordDatabase) {
    if (getuid() != 0) {
        GTEST_SKIP() << "needs to run as root";
    }
    setenv("HOME", "/elsewhere", 1);
    const passwd* root = getpwuid(0);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(GetUserHomeDir(), root->pw_dir);
}

TEST(EnvironmentHelpers, DateTimeAndCreateDir) {
    char buffer[64];
    std::memset(buffer, 'x', sizeof(buffer));
    GetDateTime(buffer, sizeof(buffer));
    EXPECT_EQ(std::strlen(buffer), 25u);
    EXPECT_EQ(buffer[24], '\n');

    char pattern[] = "/tmp/kvdirXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string child = std::string(pattern) + "/sub";
    EXPECT_EQ(CreateDir(child), 0);
    struct stat info;
    ASSERT_EQ(stat(child.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(CreateDir(child), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(CreateDir(std::string(pattern) + "/a/b"), -1);
    rmdir(child.c_str());
    rmdir(pattern);
}
