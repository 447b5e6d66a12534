#include "ZrUtilsLib/Result.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using namespace ZrUtilsLib;

TEST(ResultCodes, NormalisationAndNames) {
    Result unset;
    EXPECT_EQ(unset.GetCode(), 0x0605u);
    EXPECT_TRUE(unset.IsFailure());
    EXPECT_STREQ(unset.GetCodeString(), "NOT_INITIALIZED");

    Result pending(0x103);
    EXPECT_EQ(pending.GetCode(), 0xFFFFu);
    EXPECT_TRUE(pending.IsPending());
    EXPECT_TRUE(pending.IsSuccess());
    EXPECT_FALSE(pending.IsFailure());
    EXPECT_STREQ(pending.GetCodeString(), "Pending");
    Result pendingCopy(pending);
    EXPECT_EQ(pendingCopy.GetCode(), 0xFFFFu);

    Result upper(0x10019);
    EXPECT_EQ(upper.GetCode(), static_cast<unsigned int>(NOT_FOUND));
    EXPECT_STREQ(upper.GetCodeString(), "NOT_FOUND");

    Result unknown(0x1234);
    EXPECT_STREQ(unknown.GetCodeString(), "Unknown result code");
    EXPECT_TRUE(unknown.IsFailure());

    EXPECT_TRUE(Result(OK).IsSuccess());
    EXPECT_EQ(Result(0x10000).GetCode(), static_cast<unsigned int>(OK));
}

TEST(ResultCodes, TableKeepsTheVocabularyValues) {
    EXPECT_EQ(INVALID_ARGUMENT, 0x0012u);
    EXPECT_EQ(NOT_FOUND, 0x0019u);
    EXPECT_EQ(THREAD_ERROR, 0x001Du);
    EXPECT_EQ(TIMEOUT, 0x001Eu);
    EXPECT_EQ(UNEXPECTED_EXCEPTION, 0x0021u);
    EXPECT_EQ(RESYNC, 0x0028u);
    EXPECT_EQ(BUSY, 0x0202u);
    EXPECT_EQ(CORRUPTED_PARAMETER, 0x0305u);
    EXPECT_EQ(IP_HELPER_ERROR, 0x0504u);
    EXPECT_EQ(CANT_READ_MANIFEST, 0x0905u);
    EXPECT_EQ(TOO_MANY_CONSECUTIVE_RESENDS, 0x0B03u);
    EXPECT_EQ(CANCEL, 0x4002u);
    EXPECT_STREQ(Result::NameOf(0x0603), "NO_MORE_ENTRY");
    EXPECT_STREQ(Result::NameOf(0x0602), "Unknown result code");
    EXPECT_STREQ(Result::NameOf(0x001B), "ERR_OVERFLOW");

    std::set<unsigned int> codes;
    for (unsigned int i = 0; i < ERROR_CODE_DESC_COUNT; ++i) {
        EXPECT_TRUE(codes.insert(ERROR_CODE_DESC[i].code).second)
            << "duplicate row " << ERROR_CODE_DESC[i].name;
    }
    EXPECT_EQ(ERROR_CODE_DESC_COUNT, 83u);
}

TEST(ResultDescription, FormattedAndCutAt1023) {
    Result plain(TIMEOUT);
    EXPECT_FALSE(plain.HasDescription());
    EXPECT_STREQ(plain.GetDescription(), "");

    Result formatted(FILE_ERROR, "cannot write %s: %d", "x.pcap", 28);
    EXPECT_STREQ(formatted.GetDescription(), "cannot write x.pcap: 28");
    EXPECT_EQ(formatted.GetSecondaryCode(), 0u);

    const std::string longText(2000, 'a');
    Result cut(INTERNAL_ERROR, 7u, "%s", longText.c_str());
    EXPECT_EQ(std::string(cut.GetDescription()), longText.substr(0, 1023));
    EXPECT_EQ(cut.GetSecondaryCode(), 7u);

    cut.SetDescription("short");
    EXPECT_STREQ(cut.GetDescription(), "short");
    cut.Set(NOT_FOUND, "now %s", "missing");
    EXPECT_EQ(cut.GetCode(), static_cast<unsigned int>(NOT_FOUND));
    EXPECT_STREQ(cut.GetDescription(), "now missing");
}

TEST(ResultDescription, CopyAndAssignment) {
    Result source(0x10003, 9u, "text %d", 1);
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
    EXPECT_EQ(source.GetCode(), 3u);
}
