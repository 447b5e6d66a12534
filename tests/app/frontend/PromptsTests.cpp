#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "KvUtilsLib/Network/Interface.h"
#include "app/Prompts.h"
#include "tests/app/frontend/TestConsole.h"

using KvUtilsLib::Network::Interface;

namespace {

std::string const MODE_MENU =
    "\nRecording mode\n\n1) fixednumberofpackets\n2) continuous\n3) circular\n\n";
std::string const MODE_QUESTION = "Select the mode by entering the associated number\n? > ";
std::string const FILE_QUESTION = "Enter the filename to record the pcap file\n? > ";
std::string const TOO_LONG =
    "The filename is too long (at most 1023 characters, the .pcap ending included)\n";
std::string const ADAPTER_QUESTION =
    "Select the network adapter using the associated number. [ Default = 0 ]\n? > ";
std::string const ADAPTER_HEADING =
    "\nThe network adapter was not selected...\n\n"
    "The following list of network adapter can be used.\n";

std::string Repeat(std::string const& text, int times) {
    std::string all;
    for (int i = 0; i < times; ++i) {
        all += text;
    }
    return all;
}

struct Case {
    std::string typed;
    int result;
    std::string taken;  // the mode number, file name or adapter name taken
    std::string printed;
    std::string unread;
};

// Runs one prompt on `c.typed` and checks what it took, printed and left unread.
template <typename Prompt, typename Taken>
void Check(Case const& c, Prompt prompt, Taken taken) {
    TestConsole console(c.typed);
    PCAPSnifferConfiguration config;
    config.Mode = Circular;
    config.AdapterName = "unchanged";
    EXPECT_EQ(prompt(config, console.In(), console.Out()) != 0, c.result != 0) << c.typed;
    EXPECT_EQ(taken(config), c.taken) << c.typed;
    EXPECT_EQ(console.Printed(), c.printed) << c.typed;
    EXPECT_EQ(console.Unread(), c.unread) << c.typed;
}

}  // namespace

// Asks until a number from 1 to 3; numbers beyond 32 bits do not wrap into a mode (4294967298
// and 8589934593 would be 2 and 1).
TEST(ModePromptTest, AsksUntilANumberFromOneToThree) {
    std::string const menu = MODE_MENU + MODE_QUESTION;
    Case const cases[] = {
        {"0\n4\n-1\n\n\n2\n9\n", 1, "2", menu + Repeat(MODE_QUESTION, 3), "\n9\n"},
        {"4294967298 8589934593 -4294967293 3", 1, "3", menu + Repeat(MODE_QUESTION, 3), ""},
        {"abc 3\n", 0, "0", menu, "abc 3\n"},
        {"", 0, "0", menu, ""},
        {"   \n\n", 0, "0", menu, ""},
        {"-\n", 0, "0", menu, "\n"},
        {"4\n", 0, "0", menu + MODE_QUESTION, ""},
    };
    for (Case const& c : cases) {
        Check(c, SelectMode,
              [](PCAPSnifferConfiguration& config) { return std::to_string(config.Mode); });
    }
}

TEST(FilenamePromptTest, AnswersAndTheOverwriteQuestion) {
    std::string dir = ::testing::TempDir() + "frontend_prompt_XXXXXX";
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    dir += "/";
    for (char const* name : {"trace.pcap", "notes"}) {
        std::fclose(std::fopen((dir + name).c_str(), "wb"));
    }
    // "trace" is recorded into trace.pcap: that is the file the question is about.
    std::string const existing = dir + "trace.pcap";
    std::string const asked = "\n" + FILE_QUESTION + "The file " + existing +
                              " already exists. Do you want to overwrite it? [ Yes / No ( "
                              "Default ) ]\n? > ";
    std::string const askedAgain = asked.substr(1 + FILE_QUESTION.size());
    // 1023 characters fit only when the name already ends in ".pcap".
    std::string const withEnding = std::string(1018, 'p') + ".pcap";
    std::string const withoutEnding(1018, 'q');
    std::string const overlong(5000, 's');
    std::vector<Case> cases = {
        {"\n\n  " + dir + "new rest\n", 1, dir + "new", "\n" + FILE_QUESTION, " rest\n"},
        {dir + "notes\n", 1, dir + "notes", "\n" + FILE_QUESTION, "\n"},
        {dir + "trace\ny\n", 1, dir + "trace", asked, "\n"},
        {existing + "\nmaybe\nyesss\n" + std::string(100, 'y') + "\nN\n" + dir + "other\n", 1,
         dir + "other", asked + Repeat(askedAgain, 3) + FILE_QUESTION, "\n"},
        {existing + "\n", 0, existing, asked, ""},
        {"\n\n", 0, "", "\n" + FILE_QUESTION, ""},
        {overlong + "\n" + std::string(1019, 'r') + " " + withEnding + "\n", 1, withEnding,
         "\n" + FILE_QUESTION + TOO_LONG + FILE_QUESTION + TOO_LONG + FILE_QUESTION, "\n"},
        {withoutEnding + "\n", 1, withoutEnding, "\n" + FILE_QUESTION, "\n"},
        {overlong, 0, "", "\n" + FILE_QUESTION + TOO_LONG + FILE_QUESTION, ""},
    };
    for (char const* yes : {"YES", "yes", "Yes", "y", "Y"}) {
        cases.push_back({existing + "\n" + yes + "\n", 1, existing, asked, "\n"});
    }
    for (char const* no : {"NO", "no", "No", "n", "N"}) {
        cases.push_back({existing + "\n" + no + "\n", 0, "", asked + FILE_QUESTION, ""});
    }
    // An overlong word is one unrecognised answer, never split into several.
    for (std::string const& unsure :
         std::vector<std::string>{"yES", "nO", "oui", "ye", std::string(16, 'x') + "y"}) {
        cases.push_back({existing + "\n" + unsure + "\n", 0, existing, asked + askedAgain, ""});
    }
    for (Case const& c : cases) {
        Check(c, SelectFilename,
              [](PCAPSnifferConfiguration& config) { return std::string(config.Filename); });
    }
    std::filesystem::remove_all(dir);
}

TEST(AdapterPromptTest, OffersOnlyAdaptersWithTheDriver) {
    // eth1, eth2 and eth4 carry the driver.
    Interface records[5];
    std::vector<Interface const*> all;
    for (int i = 0; i < 5; ++i) {
        std::string const name = "eth" + std::to_string(i);
        records[i].SetID("00:11:22:33:44:55", "00:11:22:33:44:55", name, name + " description");
        records[i].SetType(i % 3 != 0 ? KvUtilsLib::Network::InterfaceTypeDriverEnabled
                                      : KvUtilsLib::Network::InterfaceTypeNoDriver);
        all.push_back(&records[i]);
    }
    std::string const three = ADAPTER_HEADING +
                              "( 0 ) eth1 - eth1 description\n( 1 ) eth2 - eth2 description\n"
                              "( 2 ) eth4 - eth4 description\n\n" +
                              ADAPTER_QUESTION;
    std::string const one =
        ADAPTER_HEADING +
        "( 0 ) eth1 - eth1 description\n\n? > <Automatically select the only network adapter "
        "available>\n\n";
    std::string const none = ADAPTER_HEADING + "\nNo Kova Velox driver installed\n\n";
    struct AdapterCase {
        std::vector<Interface const*> adapters;
        Case c;
    };
    AdapterCase const cases[] = {
        {all, {"3\n-1\n99999999999\n2\n", 1, "eth4", three + Repeat(ADAPTER_QUESTION, 3), "\n"}},
        {all, {"0", 1, "eth1", three, ""}},
        {all, {"", 0, "unchanged", three, ""}},
        {all, {"\n", 0, "unchanged", three, ""}},
        {all, {"eth1\n", 0, "unchanged", three, "eth1\n"}},
        {all, {"x0\n", 0, "unchanged", three, "x0\n"}},
        {{all[0], all[1]}, {"1\n", 1, "eth1", one, "1\n"}},
        {{all[0]}, {"0\n", 0, "unchanged", none, "0\n"}},
        {{}, {"0\n", 0, "unchanged", none, "0\n"}},
    };
    for (AdapterCase const& a : cases) {
        Check(
            a.c,
            [&a](PCAPSnifferConfiguration& config, FILE* in, FILE* out) {
                return SelectNetworkInterfaceFrom(a.adapters, config, in, out);
            },
            [](PCAPSnifferConfiguration& config) { return config.AdapterName; });
    }
}
