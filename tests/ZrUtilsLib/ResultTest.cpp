#include "ZrUtilsLib/Result.h"

#include <gtest/gtest.h>

#include <string>

using namespace ZrUtilsLib;

// Stored codes are normalised before lookup; copies own their description, cut to its buffer.
TEST(Result, NormalisedCodesAndOwnedDescriptions) {
    EXPECT_TRUE(Result(0x103).IsPending() && Result(0x103).IsSuccess());
    EXPECT_TRUE(Result(0x10000).IsSuccess() && Result(0x10019).IsFailure());
    EXPECT_STREQ(Result(0x10019).GetCodeString(), "NOT_FOUND");
    EXPECT_STREQ(Result(0x0602).GetCodeString(), "Unknown result code");
    Result source(0x10003, 9u, "%s", std::string(2000, 'a').c_str());
    EXPECT_EQ(std::string(source.GetDescription()), std::string(1023, 'a'));
    source.Set(0x10003, "text %d", 1);
    Result copy(source), target(OK);
    target = source;
    for (const Result* other : {&copy, &target}) {
        EXPECT_TRUE(other->GetCode() == 3 && other->GetSecondaryCode() == 9) << other->GetCode();
        EXPECT_STREQ(other->GetDescription(), "text 1");
        EXPECT_NE(other->GetDescription(), source.GetDescription());
    }
    target = Result(TIMEOUT);
    EXPECT_FALSE(target.HasDescription());
    Result& self = source;
    source = self;
    EXPECT_STREQ(source.GetDescription(), "text 1");
}
