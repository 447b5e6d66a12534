// Output lines, formatted in this process: no log server and no channel is created here.
#include <gtest/gtest.h>

#include <climits>
#include <regex>
#include <string>

#include "ZrUtilsLib/TinyLogServer.h"

using namespace ZrUtilsLib;

// Levels outside the table of names do not read past it; a longer line loses its end.
TEST(LineFormat, LevelNamesAndCutAtTheRecordSize) {
    TinyLogServerStdout output(nullptr, nullptr);
    ASSERT_TRUE(output.Open());
    LOGSERVERITEM record{};
    const auto text = [&] { return std::string(record.text, static_cast<size_t>(record.length)); };
    const int levels[] = {6, 8, INT_MAX, -1, INT_MIN};
    const char* const names[] = {"INFO", "NSET", "NSET", "-1", "-2147483648"};
    for (size_t i = 0; i < std::size(levels); ++i) {
        output.Format(&record, levels[i], "Thread", 230, "Run", "ZrUtilsLib", "m");
        const std::string line =
            "[0-9]+\t" + std::string(names[i]) + "\tZrUtilsLib->Thread:230::Run - m\r\n";
        EXPECT_TRUE(std::regex_match(text(), std::regex(line))) << text();
    }
    output.Format(&record, 3, "file", 7, "fn", "chan", std::string(511, 'x').c_str());
    ASSERT_EQ(record.length, 512);
    EXPECT_TRUE(std::regex_match(text(), std::regex("[0-9]+\tERR\tchan->file:7::fn - x+")));
}

// The file output's backup name keeps the log's own name; only a trailing ".log" is replaced.
TEST(BackupName, ReplacesOnlyATrailingLogExtension) {
    const char* const names[][2] = {
        {"/var/log/app.log", "/var/log/app.bak.log"},
        {"/var/tmp/logs/kv", "/var/tmp/logs/kv.bak.log"},
        {"a.LOG", "a.LOG.bak.log"},
        {"x.l", "x.l.bak.log"},
        {"logs/.log", "logs/.log.bak.log"},
        {"app.log.old", "app.log.old.bak.log"},
        {"", ""},
        {"/var/log/", ""},
    };
    for (const auto& name : names) {
        EXPECT_EQ(TinyLogServerFile::BackupPathFor(name[0]), name[1]) << name[0];
    }
}
