#include "ZrUtilsLib/Result.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using namespace ZrUtilsLib;

// A stored code is normalised (0x103 is "pending", the upper half is dropped) before its name is
// looked up in the table.
TEST(ResultCodes, NormalisationAndTableLookup) {
    const struct {
        unsigned int stored, code;
        const char* name;
        bool success;
    } cases[] = {{0x0103, 0xFFFF, "Pending", true},
                 {0x10000, OK, "OK", true},
                 {0x10019, 0x19, "NOT_FOUND", false},
                 {0x001D, 0x1D, "THREAD_ERROR", false},
                 {0x0603, 0x0603, "NO_MORE_ENTRY", false},
                 {0x001B, 0x1B, "ERR_OVERFLOW", false},
                 {0x4002, 0x4002, "CANCEL", false},
                 {0x0602, 0x0602, "Unknown result code", false},
                 {0x1234, 0x1234, "Unknown result code", false}};
    for (const auto& c : cases) {
        const Result result(c.stored);
        EXPECT_EQ(Result(result).GetCode(), c.code) << std::hex << c.stored;
        EXPECT_STREQ(result.GetCodeString(), c.name) << std::hex << c.stored;
        EXPECT_EQ(result.IsSuccess(), c.success) << std::hex << c.stored;
        EXPECT_EQ(result.IsFailure(), !c.success) << std::hex << c.stored;
    }
    EXPECT_TRUE(Result(0x103).IsPending());
    EXPECT_STREQ(Result().GetCodeString(), "NOT_INITIALIZED");
    std::set<unsigned int> codes;
    for (unsigned int i = 0; i < ERROR_CODE_DESC_COUNT; ++i) {
        EXPECT_TRUE(codes.insert(ERROR_CODE_DESC[i].code).second) << ERROR_CODE_DESC[i].name;
    }
}

TEST(ResultDescription, FormattedCutCopiedAndAssigned) {
    EXPECT_FALSE(Result(TIMEOUT).HasDescription());
    EXPECT_STREQ(Result(TIMEOUT).GetDescription(), "");
    const std::string longText(2000, 'a');
    Result source(0x10003, 9u, "%s", longText.c_str());
    EXPECT_EQ(std::string(source.GetDescription()), longText.substr(0, 1023));
    source.Set(0x10003, "text %d", 1);

    Result copy(source);
    EXPECT_EQ(copy.GetCode(), 3u);
    EXPECT_EQ(copy.GetSecondaryCode(), 9u);
    EXPECT_STREQ(copy.GetDescription(), "text 1");
    EXPECT_NE(copy.GetDescription(), source.GetDescription());
    Result target(OK);
    target = source;
    EXPECT_STREQ(target.GetDescription(), "text 1");
    EXPECT_EQ(target.GetSecondaryCode(), 9u);
    target = Result(TIMEOUT);
    EXPECT_FALSE(target.HasDescription());
    EXPECT_EQ(target.GetCode(), static_cast<unsigned int>(TIMEOUT));
    Result& self = source;
    source = self;
    EXPECT_STREQ(source.GetDescription(), "text 1");
}
