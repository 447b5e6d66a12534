// Output lines, formatted in this process: no log server and no channel is created here.
#include <climits>

#include "Support.h"
#include "ZrUtilsLib/Thread.h"
#include "ZrUtilsLib/TinyLogServer.h"

using namespace ZrUtilsLib;
using LoggingTest::Matches;

namespace {

std::string TextOf(const LOGSERVERITEM& record) {
    return std::string(record.text, static_cast<size_t>(record.length));
}

}  // namespace

// Standard output and file share the layout, but each has a table of level names of its own.
TEST(LineFormat, StdoutAndFileLinesWithEveryLevelName) {
    TinyLogServerStdout stdoutOutput(nullptr, nullptr);
    TinyLogServerFile fileOutput(nullptr, nullptr);
    const uint64_t before = Thread::GetTickCount();
    ASSERT_TRUE(stdoutOutput.Open());
    LOGSERVERITEM record{};
    stdoutOutput.Format(&record, 6, "Thread", 230, "StartThread", "ZrUtilsLib", "Start Thread");
    const long long spent = static_cast<long long>(Thread::GetTickCount() - before);
    const std::string line = TextOf(record);
    EXPECT_TRUE(
        Matches(line, "[0-9]+\tINFO\tZrUtilsLib->Thread:230::StartThread - Start Thread\r\n"))
        << line;
    EXPECT_LE(std::stoll(line), spent);  // counted from Open

    const int levels[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, INT_MAX, -1, INT_MIN};
    const char* const names[] = {"EMER", "----", "CRIT", "ERR",  "WARN", "----",       "INFO",
                                 "DBG",  "NSET", "NSET", "NSET", "-1",   "-2147483648"};
    TinyLogServerOutput* const outputs[] = {&stdoutOutput, &fileOutput};
    for (TinyLogServerOutput* output : outputs) {
        for (size_t i = 0; i < std::size(levels); ++i) {
            output->Format(&record, levels[i], "f", 1, "g", "ch", "m");
            EXPECT_TRUE(Matches(TextOf(record),
                                std::string("-?[0-9]+\t") + names[i] + "\tch->f:1::g - m\r\n"))
                << levels[i] << ": " << TextOf(record);
        }
    }
}

// A line longer than a record loses its end, line end included; one of exactly 512 keeps it.
TEST(LineFormat, CutAtTheRecordSize) {
    TinyLogServerStdout output(nullptr, nullptr);
    output.Open();
    LOGSERVERITEM record{};
    output.Format(&record, 3, "file", 7, "fn", "chan", std::string(511, 'x').c_str());
    ASSERT_EQ(record.length, 512);
    EXPECT_TRUE(Matches(TextOf(record), "[0-9]+\tERR\tchan->file:7::fn - x+"));
    // The elapsed field may gain a digit between the two formats, hence a few attempts.
    for (int attempt = 0; attempt < 5 && (attempt == 0 || record.length != 512); ++attempt) {
        output.Format(&record, 3, "file", 7, "fn", "chan", "");
        const std::string fill(512 - static_cast<size_t>(record.length), 'y');
        output.Format(&record, 3, "file", 7, "fn", "chan", fill.c_str());
    }
    ASSERT_EQ(record.length, 512);
    EXPECT_EQ(TextOf(record).substr(510), "\r\n");
}
