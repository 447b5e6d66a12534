#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "KvTransportLayerLib/Network/LinkEnabled.h"
#include "KvUtilsLib/Network/System.h"

using KvTransportLayerLib::Network::LinkEnabled;
using KvUtilsLib::Network::DotDriverVersion;
using KvUtilsLib::Network::ExtractAddressText;
using KvUtilsLib::Network::IDriverEnabled;
using KvUtilsLib::Network::MAX_ADDRESS_FILE_SIZE;
using KvUtilsLib::Network::System;
using ZrUtilsLib::Result;

namespace {

// A checker whose answers are chosen by the test and which records the calls made on it.
class ScriptedDriver : public IDriverEnabled {
public:
    unsigned int openCode = ZrUtilsLib::OK;
    unsigned int enabledCode = ZrUtilsLib::OK;
    bool enabledAnswer = true;
    std::vector<std::string> calls;

    Result Open() override {
        calls.push_back("Open");
        return Result(openCode);
    }
    Result Close() override {
        calls.push_back("Close");
        return Result(ZrUtilsLib::OK);
    }
    Result IsDriverEnabled(const char* adapterName, bool& enabled) override {
        calls.push_back(std::string("IsDriverEnabled ") + adapterName);
        enabled = enabledAnswer;
        return Result(enabledCode);
    }
    Result GetDriverVersion(ZrUtilsLib::String& version) override {
        calls.push_back("GetDriverVersion");
        version = "1, 0";
        return Result(ZrUtilsLib::OK);
    }
};

bool HostHasDriverNode() {
    return access(LinkEnabled::DEVICE_NODE, F_OK) == 0;
}

}  // namespace

TEST(IsKOVAVeloxInstalled, AsksTheDriverBetweenOpenAndClose) {
    ScriptedDriver driver;
    bool installed = false;
    Result result = System::IsKOVAVeloxInstalled(&driver, "eth4", installed);
    EXPECT_EQ(result.GetCode(), ZrUtilsLib::OK);
    EXPECT_TRUE(installed);
    EXPECT_EQ(driver.calls, (std::vector<std::string>{"Open", "IsDriverEnabled eth4", "Close"}));
}

TEST(IsKOVAVeloxInstalled, NullDriverIsAnInvalidParameter) {
    bool installed = true;
    EXPECT_EQ(System::IsKOVAVeloxInstalled(nullptr, "eth0", installed).GetCode(),
              ZrUtilsLib::INVALID_PARAMETER);
    EXPECT_FALSE(installed);
}

TEST(IsKOVAVeloxInstalled, FailedOpenIsReturnedWithoutClose) {
    ScriptedDriver driver;
    driver.openCode = ZrUtilsLib::COM_ERROR;
    bool installed = true;
    EXPECT_EQ(System::IsKOVAVeloxInstalled(&driver, "eth0", installed).GetCode(),
              ZrUtilsLib::COM_ERROR);
    EXPECT_FALSE(installed);
    EXPECT_EQ(driver.calls, std::vector<std::string>{"Open"});
}

TEST(IsKOVAVeloxInstalled, FailedQuestionNeverReportsInstalled) {
    ScriptedDriver driver;
    driver.enabledCode = ZrUtilsLib::DRIVER_ERROR;
    bool installed = false;
    EXPECT_EQ(System::IsKOVAVeloxInstalled(&driver, "eth0", installed).GetCode(),
              ZrUtilsLib::DRIVER_ERROR);
    EXPECT_FALSE(installed) << "the driver's answer is not trusted when its call failed";
    EXPECT_EQ(driver.calls.back(), "Close");
}

TEST(LinkEnabled, NeverOpenedReportsAbsent) {
    LinkEnabled link;
    bool enabled = true;
    EXPECT_EQ(link.IsDriverEnabled("eth0", enabled).GetCode(), ZrUtilsLib::OK);
    EXPECT_FALSE(enabled);
}

TEST(LinkEnabled, MissingNodeIsAbsentButNotAFailure) {
    if (HostHasDriverNode()) {
        GTEST_SKIP() << LinkEnabled::DEVICE_NODE << " exists on this host";
    }
    LinkEnabled link;
    bool installed = true;
    EXPECT_EQ(System::IsKOVAVeloxInstalled(&link, "eth0", installed).GetCode(), ZrUtilsLib::OK);
    EXPECT_FALSE(installed);

    ZrUtilsLib::String version("unchanged");
    EXPECT_EQ(link.GetDriverVersion(version).GetCode(), ZrUtilsLib::COM_ERROR);
    EXPECT_STREQ(version.GetAscii(), "unchanged");
}

TEST(DriverVersion, CommaBlankBecomesDot) {
    EXPECT_EQ(DotDriverVersion("1, 2, 3, 4"), "1.2.3.4");
    EXPECT_EQ(DotDriverVersion("1.2.3.4"), "1.2.3.4");
    EXPECT_EQ(DotDriverVersion("1,2 3"), "1,2 3");
    EXPECT_EQ(DotDriverVersion(", , "), "..");
    EXPECT_EQ(DotDriverVersion("2,  5"), "2. 5");
    EXPECT_EQ(DotDriverVersion(""), "");
}

TEST(AddressFile, KeepsOnlyAddressCharactersAndRefusesOversizedContent) {
    std::string text;
    const char content[] = "02:00:5E:aa:bb:0c\n";
    ASSERT_TRUE(ExtractAddressText(content, sizeof(content) - 1, text));
    EXPECT_EQ(text, "02:00:5E:aa:bb:0c");
    const char spaced[] = " 00-11 {22}\t~33\r\n";
    ASSERT_TRUE(ExtractAddressText(spaced, sizeof(spaced) - 1, text));
    EXPECT_EQ(text, "00112233") << "'-', '{', '}', '~' and blanks lie outside '0'..'z'";
    ASSERT_TRUE(ExtractAddressText("", 0, text));
    EXPECT_EQ(text, "");

    std::string oversized(MAX_ADDRESS_FILE_SIZE + 1, 'a');
    text = "kept";
    EXPECT_FALSE(ExtractAddressText(oversized.data(), oversized.size(), text));
    std::string largest(MAX_ADDRESS_FILE_SIZE, 'a');
    EXPECT_TRUE(ExtractAddressText(largest.data(), largest.size(), text));
}
