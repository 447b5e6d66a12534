#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
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

std::string Repeat(std::string const& text, int times) {
    std::string all;
    for (int i = 0; i < times; ++i) {
        all += text;
    }
    return all;
}

std::string OverwriteQuestion(std::string const& name) {
    return "The file " + name +
           " already exists. Do you want to overwrite it? [ Yes / No ( Default ) ]\n";
}

// A private directory for the files the file-name prompt looks at.
class FilenamePromptTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "frontend_prompt_XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        mDir = pattern;
    }
    void TearDown() override {
        for (std::string const& file : mCreated) {
            std::remove(file.c_str());
        }
        rmdir(mDir.c_str());
    }
    std::string Path(std::string const& name) const { return mDir + "/" + name; }
    void Create(std::string const& name) {
        FILE* file = std::fopen(Path(name).c_str(), "wb");
        ASSERT_NE(file, nullptr);
        std::fclose(file);
        mCreated.push_back(Path(name));
    }

    std::string mDir;
    std::vector<std::string> mCreated;
};

std::unique_ptr<Interface> Adapter(std::string const& name, bool withDriver) {
    auto adapter = std::make_unique<Interface>();
    adapter->SetID("00:11:22:33:44:55", "00:11:22:33:44:55", name, name + " description");
    adapter->SetType(withDriver ? KvUtilsLib::Network::InterfaceTypeDriverEnabled
                                : KvUtilsLib::Network::InterfaceTypeNoDriver);
    return adapter;
}

}  // namespace

TEST(ModePromptTest, AsksUntilANumberFromOneToThree) {
    TestConsole console("0\n4\n-1\n\n\n2\n9\n");
    PCAPSnifferConfiguration config;
    EXPECT_NE(SelectMode(config, console.In(), console.Out()), 0);
    EXPECT_EQ(config.Mode, 2u);
    EXPECT_EQ(console.Printed(), MODE_MENU + Repeat(MODE_QUESTION, 4));
    EXPECT_EQ(console.Unread(), "\n9\n");
}

TEST(ModePromptTest, NoNumberOrEndOfInputGivesNoAnswer) {
    for (char const* typed : {"abc\n", "", "   \n\n", "-\n", "4\n"}) {
        TestConsole console(typed);
        PCAPSnifferConfiguration config;
        config.Mode = Circular;
        EXPECT_EQ(SelectMode(config, console.In(), console.Out()), 0) << typed;
        EXPECT_EQ(config.Mode, 0u) << typed;
    }
    TestConsole console("abc 3\n");
    PCAPSnifferConfiguration config;
    EXPECT_EQ(SelectMode(config, console.In(), console.Out()), 0);
    EXPECT_EQ(console.Unread(), "abc 3\n");
}

TEST(ModePromptTest, HugeNumbersDoNotWrapIntoAMode) {
    // 4294967298 and 8589934593 wrap to 2 and 1 in 32 bits.
    TestConsole console("4294967298 8589934593 -4294967293 3");
    PCAPSnifferConfiguration config;
    EXPECT_NE(SelectMode(config, console.In(), console.Out()), 0);
    EXPECT_EQ(config.Mode, 3u);
    EXPECT_EQ(console.Printed(), MODE_MENU + Repeat(MODE_QUESTION, 4));
}

TEST_F(FilenamePromptTest, NewFileIsTakenAsTyped) {
    std::string const name = Path("trace");
    TestConsole console("\n\n  " + name + " rest\n");
    PCAPSnifferConfiguration config;
    EXPECT_NE(SelectFilename(config, console.In(), console.Out()), 0);
    EXPECT_EQ(std::string(config.Filename), name);
    EXPECT_EQ(console.Printed(), "\n" + FILE_QUESTION);
    // The rest of the line is the next answer.
    EXPECT_EQ(console.Unread(), " rest\n");
}

TEST_F(FilenamePromptTest, OverwriteQuestion) {
    Create("trace.pcap");
    std::string const existing = Path("trace.pcap");
    std::string const other = Path("other");
    TestConsole console(existing + "\nmaybe\nyesss\nN\n" + other + "\n");
    PCAPSnifferConfiguration config;
    EXPECT_NE(SelectFilename(config, console.In(), console.Out()), 0);
    EXPECT_EQ(std::string(config.Filename), other);
    EXPECT_EQ(
        console.Printed(),
        "\n" + FILE_QUESTION + Repeat(OverwriteQuestion(existing) + "? > ", 3) + FILE_QUESTION);

    for (char const* yes : {"YES", "yes", "Yes", "y", "Y"}) {
        TestConsole keep(existing + "\n" + yes + "\n");
        EXPECT_NE(SelectFilename(config, keep.In(), keep.Out()), 0) << yes;
        EXPECT_EQ(std::string(config.Filename), existing) << yes;
    }
    for (char const* no : {"NO", "no", "No", "n", "N"}) {
        TestConsole again(existing + "\n" + no + "\n");
        EXPECT_EQ(SelectFilename(config, again.In(), again.Out()), 0) << no;
        EXPECT_EQ(again.Printed(),
                  "\n" + FILE_QUESTION + OverwriteQuestion(existing) + "? > " + FILE_QUESTION);
    }
    for (char const* unsure : {"yES", "nO", "oui", "ye"}) {
        TestConsole again(existing + "\n" + unsure + "\n");
        EXPECT_EQ(SelectFilename(config, again.In(), again.Out()), 0) << unsure;
        EXPECT_EQ(again.Printed(), "\n" + FILE_QUESTION + OverwriteQuestion(existing) + "? > " +
                                       OverwriteQuestion(existing) + "? > ")
            << unsure;
    }
}

TEST_F(FilenamePromptTest, OverwriteIsAskedAboutTheFileThatWillBeWritten) {
    // "trace" is recorded into trace.pcap: that is the file that would be replaced.
    Create("trace.pcap");
    TestConsole asked(Path("trace") + "\ny\n");
    PCAPSnifferConfiguration config;
    EXPECT_NE(SelectFilename(config, asked.In(), asked.Out()), 0);
    EXPECT_EQ(std::string(config.Filename), Path("trace"));
    EXPECT_EQ(asked.Printed(),
              "\n" + FILE_QUESTION + OverwriteQuestion(Path("trace.pcap")) + "? > ");

    // A file "notes" is not touched by a recording into notes.pcap.
    Create("notes");
    TestConsole notAsked(Path("notes") + "\n");
    EXPECT_NE(SelectFilename(config, notAsked.In(), notAsked.Out()), 0);
    EXPECT_EQ(notAsked.Printed(), "\n" + FILE_QUESTION);
}

TEST_F(FilenamePromptTest, OverlongNamesAreRefusedWhole) {
    // 1023 characters fit only when the name already ends in ".pcap".
    std::string const withEnding = std::string(1018, 'p') + ".pcap";
    std::string const withoutEnding = std::string(1018, 'q');
    std::string const cannotTakeEnding = std::string(1019, 'r');
    std::string const overlong = std::string(5000, 's');

    TestConsole console(overlong + "\n" + cannotTakeEnding + " " + withEnding + "\n");
    PCAPSnifferConfiguration config;
    EXPECT_NE(SelectFilename(config, console.In(), console.Out()), 0);
    EXPECT_EQ(std::string(config.Filename), withEnding);
    EXPECT_EQ(console.Printed(),
              "\n" + FILE_QUESTION + TOO_LONG + FILE_QUESTION + TOO_LONG + FILE_QUESTION);
    EXPECT_EQ(console.Unread(), "\n");

    TestConsole fits(withoutEnding + "\n");
    EXPECT_NE(SelectFilename(config, fits.In(), fits.Out()), 0);
    EXPECT_EQ(std::string(config.Filename), withoutEnding);

    // An overlong name at the end of the input is still refused, then the input ends.
    TestConsole last(overlong);
    EXPECT_EQ(SelectFilename(config, last.In(), last.Out()), 0);
    EXPECT_EQ(last.Printed(), "\n" + FILE_QUESTION + TOO_LONG + FILE_QUESTION);
}

TEST_F(FilenamePromptTest, EndOfInputGivesNoAnswer) {
    TestConsole empty("\n\n");
    PCAPSnifferConfiguration config;
    EXPECT_EQ(SelectFilename(config, empty.In(), empty.Out()), 0);

    Create("x.pcap");
    TestConsole atQuestion(Path("x.pcap") + "\n");
    EXPECT_EQ(SelectFilename(config, atQuestion.In(), atQuestion.Out()), 0);
}

TEST_F(FilenamePromptTest, IsFileExists) {
    EXPECT_FALSE(IsFileExists(Path("absent").c_str()));
    Create("present");
    EXPECT_TRUE(IsFileExists(Path("present").c_str()));
}

TEST(AdapterPromptTest, OffersOnlyAdaptersWithTheDriver) {
    std::vector<std::unique_ptr<Interface>> records;
    records.push_back(Adapter("eth0", false));
    records.push_back(Adapter("eth1", true));
    records.push_back(Adapter("eth2", true));
    records.push_back(Adapter("eth3", false));
    records.push_back(Adapter("eth4", true));
    std::vector<Interface const*> adapters;
    for (auto const& record : records) {
        adapters.push_back(record.get());
    }

    TestConsole console("3\n-1\n99999999999\n2\n");
    PCAPSnifferConfiguration config;
    EXPECT_NE(SelectNetworkInterfaceFrom(adapters, config, console.In(), console.Out()), 0);
    EXPECT_EQ(config.AdapterName, "eth4");
    EXPECT_EQ(console.Printed(),
              "\nThe network adapter was not selected...\n\n"
              "The following list of network adapter can be used.\n"
              "( 0 ) eth1 - eth1 description\n"
              "( 1 ) eth2 - eth2 description\n"
              "( 2 ) eth4 - eth4 description\n\n" +
                  Repeat(ADAPTER_QUESTION, 4));

    TestConsole first("0");
    EXPECT_NE(SelectNetworkInterfaceFrom(adapters, config, first.In(), first.Out()), 0);
    EXPECT_EQ(config.AdapterName, "eth1");

    for (char const* typed : {"", "\n", "eth1\n", "x0\n"}) {
        TestConsole none(typed);
        config.AdapterName = "unchanged";
        EXPECT_EQ(SelectNetworkInterfaceFrom(adapters, config, none.In(), none.Out()), 0);
        EXPECT_EQ(config.AdapterName, "unchanged");
    }
}

TEST(AdapterPromptTest, SingleAdapterIsTakenWithoutAQuestion) {
    auto without = Adapter("eth0", false);
    auto with = Adapter("veth7", true);
    std::vector<Interface const*> adapters{without.get(), with.get()};
    TestConsole console("1\n");
    PCAPSnifferConfiguration config;
    EXPECT_NE(SelectNetworkInterfaceFrom(adapters, config, console.In(), console.Out()), 0);
    EXPECT_EQ(config.AdapterName, "veth7");
    EXPECT_EQ(console.Printed(),
              "\nThe network adapter was not selected...\n\n"
              "The following list of network adapter can be used.\n"
              "( 0 ) veth7 - veth7 description\n\n"
              "? > <Automatically select the only network adapter available>\n\n");
    EXPECT_EQ(console.Unread(), "1\n");
}

TEST(AdapterPromptTest, NoAdapterWithTheDriver) {
    auto without = Adapter("eth0", false);
    std::vector<Interface const*> adapters{without.get()};
    for (auto const& list : {adapters, std::vector<Interface const*>{}}) {
        TestConsole console("0\n");
        PCAPSnifferConfiguration config;
        EXPECT_EQ(SelectNetworkInterfaceFrom(list, config, console.In(), console.Out()), 0);
        EXPECT_EQ(config.AdapterName, "");
        EXPECT_EQ(console.Printed(),
                  "\nThe network adapter was not selected...\n\n"
                  "The following list of network adapter can be used.\n\n"
                  "No Kova Velox driver installed\n\n");
    }
}
