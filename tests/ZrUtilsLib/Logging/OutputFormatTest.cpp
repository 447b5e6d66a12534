// Line formats of the three outputs, checked on records formatted in this process (no log
// server and no channel is created here).
#include <unistd.h>

#include <climits>
#include <string>

#include <gtest/gtest.h>

#include "TextMatch.h"

#include "ZrUtilsLib/Thread.h"
#include "ZrUtilsLib/TinyLogServer.h"

using namespace ZrUtilsLib;
using LoggingTest::FullMatch;

namespace {

std::string TextOf(const LOGSERVERITEM& record) {
    return std::string(record.text, static_cast<size_t>(record.length));
}

// Elapsed milliseconds at the start of a standard-output or file line.
long long ElapsedOf(const std::string& line) {
    return std::stoll(line.substr(0, line.find('\t')));
}

std::string LevelFieldOf(const std::string& line) {
    const size_t first = line.find('\t');
    return line.substr(first + 1, line.find('\t', first + 1) - first - 1);
}

template <typename Output>
void ExpectLevelNames(Output& output) {
    const struct {
        int level;
        const char* shown;
    } cases[] = {{0, "EMER"},
                 {1, "----"},
                 {2, "CRIT"},
                 {3, "ERR"},
                 {4, "WARN"},
                 {5, "----"},
                 {6, "INFO"},
                 {7, "DBG"},
                 {8, "NSET"},
                 {9, "NSET"},
                 {INT_MAX, "NSET"},
                 {-1, "-1"},
                 {INT_MIN, "-2147483648"}};
    for (const auto& c : cases) {
        LOGSERVERITEM record{};
        output.Format(&record, c.level, "f", 1, "g", "ch", "m");
        EXPECT_EQ(LevelFieldOf(TextOf(record)), c.shown) << "level " << c.level;
    }
}

}  // namespace

TEST(StdoutFormat, LineCarriesElapsedLevelSourceAndMessage) {
    TinyLogServerStdout output(nullptr, nullptr);
    const uint64_t before = Thread::GetTickCount();
    ASSERT_TRUE(output.Open());
    LOGSERVERITEM record{};
    output.Format(&record, 6, "Thread", 230, "StartThread", "ZrUtilsLib", "Start Thread");
    const uint64_t spent = Thread::GetTickCount() - before;

    const std::string line = TextOf(record);
    EXPECT_TRUE(
        FullMatch(line, ("[0-9]+\tINFO\tZrUtilsLib->Thread:230::StartThread - Start Thread\r\n")))
        << line;
    // Counted from Open, not from some absolute clock.
    EXPECT_GE(ElapsedOf(line), 0);
    EXPECT_LE(ElapsedOf(line), static_cast<long long>(spent));
}

TEST(StdoutFormat, LevelNamesAndLevelsOutsideTheTable) {
    TinyLogServerStdout output(nullptr, nullptr);
    output.Open();
    ExpectLevelNames(output);
}

TEST(FileFormat, SameLineAndLevelNamesAsStandardOutput) {
    TinyLogServerFile output(nullptr, nullptr);
    LOGSERVERITEM record{};
    output.Format(&record, 3, "LinuxFilter", 42, "Open", "KvTransportLayerLib", "no adapter");
    EXPECT_TRUE(
        FullMatch(TextOf(record),
                  ("-?[0-9]+\tERR\tKvTransportLayerLib->LinuxFilter:42::Open - no adapter\r\n")));
    ExpectLevelNames(output);
}

TEST(StdoutFormat, LongLineIsCutAtTheRecordSizeAndLosesItsLineEnd) {
    TinyLogServerStdout output(nullptr, nullptr);
    output.Open();
    LOGSERVERITEM record{};
    const std::string message(511, 'x');
    output.Format(&record, 3, "file", 7, "fn", "chan", message.c_str());
    ASSERT_EQ(record.length, 512);
    const std::string text = TextOf(record);
    const std::string prefix = "\tERR\tchan->file:7::fn - ";
    EXPECT_NE(text.find(prefix), std::string::npos);
    EXPECT_EQ(text.back(), 'x');
    EXPECT_EQ(text.find('\r'), std::string::npos);

    // A line of exactly 512 characters keeps its line end. The elapsed field may grow by a
    // digit between the two formats, hence a few attempts.
    bool exactSeen = false;
    for (int attempt = 0; attempt < 5 && !exactSeen; ++attempt) {
        LOGSERVERITEM probe{};
        output.Format(&probe, 3, "file", 7, "fn", "chan", "");
        const size_t room = 512 - static_cast<size_t>(probe.length);
        LOGSERVERITEM exact{};
        output.Format(&exact, 3, "file", 7, "fn", "chan", std::string(room, 'y').c_str());
        if (exact.length == 512) {
            exactSeen = true;
            EXPECT_EQ(TextOf(exact).substr(510), "\r\n");
        }
    }
    EXPECT_TRUE(exactSeen);
}

TEST(SyslogFormat, DatagramTextWithPriorityTimeHostAndSource) {
    TinyLogServerSyslog output(nullptr, nullptr);
    ASSERT_TRUE(output.Open("127.0.0.1", 17));
    char host[128] = {};
    gethostname(host, sizeof(host) - 1);

    LOGSERVERITEM record{};
    output.Format(&record, 3, "/Thread", 10, "Run", "KvUtilsLib", "fail 2");
    const std::string text = TextOf(record);
    const std::string tail =
        std::string(" ") + host + " Kova-SDK : KvUtilsLib->/Thread(10)[Run] - fail 2";
    ASSERT_EQ(text.rfind("<139> ", 0), 0u) << text;
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    // The local time text stands between the priority and the host name.
    EXPECT_GT(text.size() - tail.size(), std::string("<139> ").size());
    EXPECT_EQ(text.find('\n'), std::string::npos);
}

TEST(SyslogFormat, FacilityDefaultsTo23AndLongTextsStopAt511Characters) {
    TinyLogServerSyslog output(nullptr, nullptr);
    ASSERT_TRUE(output.Open("127.0.0.1", 0));
    LOGSERVERITEM record{};
    output.Format(&record, 3, "f", 1, "g", "c", "m");
    EXPECT_EQ(TextOf(record).rfind("<187> ", 0), 0u);
    output.Format(&record, 7, "f", 1, "g", "c", "m");
    EXPECT_EQ(TextOf(record).rfind("<191> ", 0), 0u);

    output.Format(&record, 3, "f", 1, "g", "c", std::string(600, 'z').c_str());
    EXPECT_EQ(record.length, 511);
    EXPECT_EQ(record.text[511], '\0');
}

TEST(SyslogOpen, OnlyDottedDecimalAddressesGiveASocket) {
    for (const char* bad : {"localhost", "1.2.3", "", "256.1.1.1", "::1"}) {
        TinyLogServerSyslog output(nullptr, nullptr);
        EXPECT_FALSE(output.Open(bad, 17)) << bad;
    }
    TinyLogServerSyslog output(nullptr, nullptr);
    EXPECT_TRUE(output.Open("10.1.2.3", 17));
}

TEST(FileRotation, BackupNameReplacesTheLastFourCharacters) {
    EXPECT_EQ(TinyLogServerFile::BackupPathFor("/var/log/app.log"), "/var/log/app.bak.log");
    EXPECT_EQ(TinyLogServerFile::BackupPathFor("/tmp/x.txt"), "/tmp/x.bak.log");
    EXPECT_EQ(TinyLogServerFile::BackupPathFor("abcd"), ".bak.log");
    EXPECT_EQ(TinyLogServerFile::BackupPathFor("abc"), "");
    EXPECT_EQ(TinyLogServerFile::BackupPathFor(""), "");
}
