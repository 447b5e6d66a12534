#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "KvUtilsLib/Network/IDriverEnabled.h"
#include "KvUtilsLib/Network/Interface.h"
#include "app/CommandLine.h"
#include "app/Prompts.h"
#include "app/Version.h"
#include "tests/support/ScratchDirectory.h"

using KvUtilsLib::Network::Interface;

namespace {

// Typed answers for the console and a capture of what it prints.
struct TestConsole {
    explicit TestConsole(std::string const& typed = "")
        : in(std::tmpfile()), out(open_memstream(&buffer, &size)) {
        std::fputs(typed.c_str(), in);
        std::rewind(in);
    }
    ~TestConsole() {
        std::fclose(in);
        std::fclose(out);
        std::free(buffer);
    }
    std::string Printed() { return std::fflush(out), std::string(buffer, size); }
    std::string Unread() {
        std::string rest(1 << 16, '\0');
        return rest.substr(0, std::fread(rest.data(), 1, rest.size(), in));
    }

    FILE* in;
    char* buffer = nullptr;  // before `out`, which sets it
    size_t size = 0;
    FILE* out;
};

// A driver probe with a chosen answer, counting how it is used.
struct FakeDriver : KvUtilsLib::Network::IDriverEnabled {
    explicit FakeDriver(bool enabled, unsigned int openCode = ZrUtilsLib::OK)
        : enabled(enabled), openCode(openCode) {}
    ZrUtilsLib::Result Open() override { return ++opens, openCode; }
    ZrUtilsLib::Result Close() override { return ++closes, ZrUtilsLib::OK; }
    ZrUtilsLib::Result IsDriverEnabled(const char* adapterName, bool& answer) override {
        lastAdapter = adapterName;
        return answer = enabled, ZrUtilsLib::OK;
    }
    ZrUtilsLib::Result GetDriverVersion(ZrUtilsLib::String&) override { return ZrUtilsLib::OK; }

    bool enabled;
    unsigned int openCode;
    int opens = 0, closes = 0;
    std::string lastAdapter;
};

struct ParseRun {
    ParseOutcome outcome;
    // Mode, packets, sizes, adapter and file taken, then the filter and duration when given.
    std::string printed, unread, settings;
};

// ParseCommandLine over the settings an earlier run left, each default to be set again.
ParseRun RunParse(std::vector<std::string> const& arguments, FakeDriver& driver,
                  std::string const& typed = "") {
    std::vector<char const*> argv{"/usr/bin/kvpcaprecorder"};
    for (std::string const& argument : arguments) {
        argv.push_back(argument.c_str());
    }
    TestConsole console(typed);
    PCAPSnifferConfiguration c;
    c.Mode = 7;
    c.BufferSize = c.NumberOfPackets = c.MaximumPacketSize = 5;
    std::strcpy(c.Filename, "earlier");
    c.CaptureFilter = "earlier";
    c.DurationSeconds = 99;
    ParseOutcome const outcome = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), c,
                                                  &driver, console.in, console.out);
    std::string settings = std::to_string(c.Mode) + " " + std::to_string(c.NumberOfPackets) + " " +
                           std::to_string(c.BufferSize) + " " +
                           std::to_string(c.MaximumPacketSize) + " " + c.AdapterName + " " +
                           c.Filename;
    if (!c.CaptureFilter.empty() || c.DurationSeconds != 0) {
        settings += " filter '" + c.CaptureFilter + "' for " + std::to_string(c.DurationSeconds);
    }
    return {outcome, console.Printed(), console.Unread(), settings};
}

template <class Print>
std::string PrintedBy(Print print) {
    TestConsole console;
    print(console.out);
    return console.Printed();
}

std::string Help(char const* path) {
    return PrintedBy([&](FILE* out) { PrintHelp(path, out); });
}

std::string const HELP = Help("/usr/bin/kvpcaprecorder");
std::string const LICENSE = PrintedBy(PrintLicense);

std::vector<std::string> Complete(std::vector<std::string> more) {
    more.insert(more.begin(), {"--adaptername=eth0", "--filename=/tmp/trace", "--mode=continuous"});
    return more;
}

std::string const RESET_PACKETS = "Reset the numberofpackets to the minimum value of 512\n";
std::string const RESET_BUFFER = "Reset the buffersize to the minimum value of 1024000\n";
std::string const RESET_SIZE_UP = "Reset the maximumpacketsize to the minimum value of 32\n";
std::string const RESET_SIZE_DOWN = "Reset the maximumpacketsize to the maximum value of 65535\n";

}  // namespace

// Adapter, file and mode given: nothing is asked, and the adapter is checked for the driver.
TEST(ParseTest, ValuesAreTakenOrHeldAtTheirBounds) {
    // 1023 characters with --filename=, blanks counted.
    std::string const file = "/" + std::string(505, 'f') + ' ' + std::string(505, 'f');
    std::string const adapter(15, 'a'), D = "2 1024 1024000 200", T = " eth0 /tmp/trace";
    std::string const named = D + T;
    // Beyond 32 bits the numbers are held at a bound, never wrapped (4294967808 would be 512).
    std::tuple<std::vector<std::string>, std::string, std::string> const cases[] = {
        {{}, named, ""},
        {{"--mode=fixednumberofpackets"}, "1 1024 1024000 200" + T, ""},
        {{"--mode=circular"}, "3 1024 1024000 200" + T, ""},
        {{"--mode=circular", "--mode=continuous"}, named, ""},
        {{"--numberofpackets=511"}, "2 512 1024000 200" + T, RESET_PACKETS},
        {{"--numberofpackets=512"}, "2 512 1024000 200" + T, ""},
        {{"--numberofpackets=2000000"}, "2 2000000 1024000 200" + T, ""},
        {{"--numberofpackets=5000", "--numberofpackets=x"}, "2 5000 1024000 200" + T, ""},
        {{"--numberofpackets=4294967808"}, "2 2147483647 1024000 200" + T, ""},
        {{"--numberofpackets=-4294966784"}, "2 512 1024000 200" + T, RESET_PACKETS},
        {{"--buffersize=-5"}, named, RESET_BUFFER},
        {{"--buffersize=100000000"}, "2 1024 100000000 200" + T, ""},
        {{"--maximumpacketsize=0"}, "2 1024 1024000 32" + T, RESET_SIZE_UP},
        {{"--maximumpacketsize=70000"}, "2 1024 1024000 65535" + T, RESET_SIZE_DOWN},
        {{"--maximumpacketsize=65535"}, "2 1024 1024000 65535" + T, ""},
        {{"--maximumpacketsize=4294967496"}, "2 1024 1024000 65535" + T, RESET_SIZE_DOWN},
        {{"--filename=" + file, "--adaptername=" + adapter}, D + " " + adapter + " " + file, ""},
        // The whole value is the file name, blanks included; blanks alone are no value.
        {{"--filename=/var/tmp/run 1/my capture"}, D + " eth0 /var/tmp/run 1/my capture", ""},
        {{"--filename= /tmp/a\tb "}, D + " eth0  /tmp/a\tb ", ""},
        {{"--filename= \t "}, named, ""},
        {{"--filename="}, named, ""},
        {{"x--filename=/tmp/a b"}, named, ""},
        {{"--duration=1"}, named + " filter '' for 1", ""},
        {{"--duration=2147483647"}, named + " filter '' for 2147483647", ""},
        {{"--duration=0010", "--duration=7"}, named + " filter '' for 7", ""},
        {{"--filter=udp dst port 9999"}, named + " filter 'udp dst port 9999' for 0", ""},
        {{"--filter=  tcp\t", "--duration=30"}, named + " filter '  tcp\t' for 30", ""},
        {{"--filter=tcp", "--filter=udp"}, named + " filter 'udp' for 0", ""},
        // Not at the start: the older option found inside takes the argument.
        {{"--filename=/tmp/--filter=x --duration=0"}, D + " eth0 /tmp/--filter=x --duration=0", ""},
    };
    for (auto const& [more, settings, printed] : cases) {
        FakeDriver driver(true);
        ParseRun const run = RunParse(Complete(more), driver, "1\n");
        EXPECT_EQ(run.outcome, ParseOutcome::Proceed) << settings;
        EXPECT_EQ(run.settings, settings);
        EXPECT_EQ(run.printed, printed) << settings;
        EXPECT_EQ(run.unread, "1\n");
        EXPECT_NE(settings.find(" " + driver.lastAdapter + " "), std::string::npos) << settings;
        // Probed, and closed again, once for each adapter given.
        int const probes = 1 + std::count_if(more.begin(), more.end(),
                                             [](auto& a) { return a.find("--adaptername=") == 0; });
        EXPECT_TRUE(driver.opens == probes && driver.closes == probes) << settings;
    }
    // Parse tells whether to go on and clears the flag; a probe that cannot be opened does not
    // reject the adapter.
    FakeDriver broken(false, ZrUtilsLib::DEVICE_ERROR);
    for (auto const& [mode, goesOn] : {std::pair{"--mode=circular", 1}, {"--mode=bad", 0}}) {
        char const* argv[] = {"kv", "--adaptername=eth0", "--filename=/tmp/trace", mode};
        TestConsole console;
        PCAPSnifferConfiguration config;
        bool flag = true;
        EXPECT_EQ(Parse(4, argv, config, flag, &broken, console.in, console.out), goesOn);
        EXPECT_FALSE(flag);
    }
}

// Each ends the command line with its message; nothing after the first invalid argument is
// looked at. Without the driver the adapter is refused; otherwise the driver is not asked.
TEST(ParseTest, StopsWithTheMessage) {
    auto const REFUSED = ParseOutcome::Refused, FINISHED = ParseOutcome::Finished,
               FAILED = ParseOutcome::Failed;
    FakeDriver lister(true);
    std::string const LISTING = PrintedBy([&](FILE* out) { ListAdapters(&lister, out); });
    std::vector<std::tuple<std::vector<std::string>, ParseOutcome, std::string>> cases{
        {Complete({"--mode=Continuous"}), REFUSED, "The mode Continuous is not valid\n" + HELP},
        {Complete({"--mode="}), REFUSED, "The mode  is not valid\n" + HELP},
        {Complete({"--mode=" + std::string(93, 'x')}), REFUSED,
         "The mode " + std::string(93, 'x') + " is not valid\n" + HELP},
        {Complete({"--mode=" + std::string(94, 'x')}), REFUSED, "Unsupported mode\n" + HELP},
        {Complete({"--filename=/" + std::string(600, 'f') + ' ' + std::string(411, 'f')}), REFUSED,
         "Filename is too long\n"},
        {Complete({"--adaptername=" + std::string(16, 'a')}), REFUSED,
         "The network adapter name is too long (at most 15 characters)\n"},
        {Complete({"--adaptername="}), REFUSED, "The network adapter name is missing\n"},
        {Complete({}), FAILED, "The network adapter eth0 didn't have Kova Velox Installed"},
        {{"--filename=x", "--mode=circular"},
         FAILED,
         "\nThe network adapter was not selected...\n\nThe following list of network adapter can "
         "be used.\n\nNo Kova Velox driver installed\n\n"},
        {{"--help"}, FINISHED, HELP},
        {{"--license"}, FINISHED, LICENSE},
        {{"x--licensey"}, FINISHED, LICENSE},
        {{"licence"}, REFUSED, "Did not recognize argument licence\n" + HELP},
        {{"--help=1"}, REFUSED, "Did not recognize argument --help=1\n" + HELP},
        {{"--numberofpackets=1", "bogus", "--maximumpacketsize=1", "--license"},
         REFUSED,
         RESET_PACKETS + "Did not recognize argument bogus\n" + HELP},
        // The filter is checked after the last argument: a help page asked for still comes.
        {{"--filter=udp port", "--help"}, FINISHED, HELP},
        // Only the start counts: an argument that merely holds the name is not recognised.
        {{"x--duration=5"}, REFUSED, "Did not recognize argument x--duration=5\n" + HELP},
        // --listadapters lists the adapters (the listing is checked end to end) and ends the
        // command line where it stands; an argument refused before it ends it first.
        {{"--mode=circular", "--listadapters", "bogus"}, FINISHED, LISTING},
        {{"bogus", "--listadapters"}, REFUSED, "Did not recognize argument bogus\n" + HELP},
        {{"--listadapters=1"}, REFUSED, "Did not recognize argument --listadapters=1\n" + HELP},
    };
    for (std::string const value :
         {"0", "-5", "+5", " 10", "10s", "1.5", "", "2147483648", "99999999999999999999"}) {
        cases.push_back({{"--mode=circular", "--duration=" + value, "--mode=bad"},
                         REFUSED,
                         "The duration " + value + " is not a positive whole number of seconds\n"});
    }
    for (std::string const value : {"", " ", " \t "}) {
        cases.push_back(
            {{"--filter=" + value, "--help"}, REFUSED, "The capture filter is empty\n"});
    }
    for (auto const& [arguments, outcome, printed] : cases) {
        FakeDriver driver(outcome != FAILED);
        ParseRun const run = RunParse(arguments, driver, "0\n");
        EXPECT_EQ(run.outcome, outcome) << arguments.back();
        EXPECT_EQ(run.printed, printed) << arguments.back();
        EXPECT_EQ(driver.opens, driver.closes);
    }
}

// libpcap's own reason follows, before any probe of the adapter; a filter holding an older
// option's name stays a filter.
TEST(ParseTest, InvalidFilterIsRefusedWithLibpcapsReason) {
    std::pair<std::string, std::string> const invalid[] = {
        {"udp port", "syntax error"},
        {"udp dst port 99999", "99999"},
        {"host 10.0.0.1 and --adaptername=eth0", ""},
    };
    for (auto const& [expression, reason] : invalid) {
        FakeDriver driver(true);
        ParseRun const run =
            RunParse({"--filter=" + expression, "--maximumpacketsize=1514"}, driver, "0\n");
        EXPECT_EQ(run.outcome, ParseOutcome::Refused) << expression;
        std::string const head = "The capture filter " + expression + " is not valid: ";
        EXPECT_EQ(run.printed.substr(0, head.size()), head) << run.printed;
        EXPECT_GT(run.printed.size(), head.size() + 1) << run.printed;
        EXPECT_EQ(std::count(run.printed.begin(), run.printed.end(), '\n'), 1) << run.printed;
        EXPECT_NE(run.printed.find(reason, head.size()), std::string::npos) << run.printed;
        EXPECT_EQ(driver.opens, 0) << expression;
    }
}

// The help by its head, the lines built from the limits, its size and its line count; the licence.
TEST(HelpTest, PageNamedAfterTheProgramAndTheLicence) {
    for (auto const& [path, name] : std::vector<std::pair<std::string, std::string>>{
             {"/usr/bin/kvpcaprecorder", "kvpcaprecorder"},
             {"C:\\tools\\rec.exe", "rec"},
             {"dir.exe/rec.EXE", "rec.EXE"},
             {"/x/" + std::string(2000, 'n'), std::string(1023, 'n')}}) {
        std::string const page = Help(path.c_str());
        std::string const head = "\n\nNAME\n\t" + name +
                                 " - Kova Velox packets recorder\n\nSYNOPSIS\n\t" + name +
                                 " [OPTION]\n\nDESCRIPTION\n";
        EXPECT_EQ(page.substr(0, head.size()), head);
        EXPECT_EQ(std::count(page.begin(), page.end(), '\n'), 94);
        EXPECT_EQ(page.size(),
                  3341 + 2 * name.size() + std::strlen(KV_RECORDER_VERSION KV_RECORDER_YEAR));
    }
    for (char const* line :
         {"\n\t\t  fixednumberofpackets - Records a finite number of packets and\n",
          "\n\t\t  continuous - Records continuously.\n",
          "\n\t\t  circular - Performs circular buffering in memory.\n",
          "\n\t\tThe value must be between 32 and 65535. Default = 200.\n\n\t--numberofpackets=",
          "\n\t\tThe value must be between 512 and 1024000. Default = 1024.\n\n\t--buffersize=",
          "\n\t\tThe value must be greater than or equal to 1024000.\n\t\tDefault = 1024000.\n\n",
          // The newer options come after the older ones, before the closing sections.
          "\n\t--license\n\t\tDisplay the 3rd party license\n\n"
          "\t--duration=SECONDS\n"
          "\t\tEnds the recording by itself after this many seconds, in\n"
          "\t\tany mode, and stores it as Ctrl+C does. A whole number\n"
          "\t\tfrom 1 to 2147483647.\n\n"
          "\t--filter=EXPRESSION\n"
          "\t\tRecords only the packets that match this libpcap filter\n"
          "\t\texpression (tcpdump's language, see pcap-filter(7)), for\n"
          "\t\texample --filter=\"udp port 53\". An expression that libpcap\n"
          "\t\tdoes not accept is refused before anything is recorded.\n\n"
          "\t--listadapters\n"
          "\t\tLists the network adapters with their hardware address,\n"
          "\t\tIPv4 addresses, gateway and whether the Kova Velox driver\n"
          "\t\tserves them, then ends. Needs neither root nor the driver.\n\n"
          "AUTHOR\n\tKova\n\nCOPYRIGHT\n\tCopyright (c) " KV_RECORDER_YEAR
          " Kova\n\nVERSION\n\tKova Velox packets recorder " KV_RECORDER_VERSION "\n\n"}) {
        EXPECT_NE(HELP.find(line), std::string::npos) << line;
    }
    EXPECT_EQ(LICENSE.substr(0, 37), "\nlibpcap license file\n\nLicense: BSD\n\n");
    EXPECT_NE(LICENSE.find("\n 3. The names of the authors may not be used to endorse or "
                           "promote\n     products derived from this software without specific "
                           "prior\n     written permission.\n\nTHIS SOFTWARE"),
              std::string::npos);
    EXPECT_EQ(std::count(LICENSE.begin(), LICENSE.end(), '\n'), 23);
    EXPECT_EQ(LICENSE.size(), 888u);
}

// Rows: mode asked, typed, Parse goes on, the mode or file name taken, the console, left unread.
TEST(PromptTest, ModeAndFileName) {
    KvTests::ScratchDirectory scratch("kvprompt");
    const std::string dir = scratch.Path() + "/";
    for (char const* name : {"trace.pcap", "notes"}) {
        std::fclose(std::fopen((dir + name).c_str(), "wb"));
    }
    ASSERT_EQ(mkfifo((dir + "fifo.pcap").c_str(), 0600), 0);  // asked about without waiting
    std::string const modeQuestion = "Select the mode by entering the associated number\n? > ";
    std::string const menu =
        "\nRecording mode\n\n1) fixednumberofpackets\n2) continuous\n3) circular\n\n" +
        modeQuestion;
    std::string const fileQuestion = "\nEnter the filename to record the pcap file\n? > ";
    std::string const tooLong =
        "The filename is too long (at most 1023 characters, the .pcap ending included)\n" +
        fileQuestion.substr(1);
    // "trace" is recorded into trace.pcap: that is the file the question is about.
    std::string const existing = dir + "trace.pcap";
    auto const overwriteQuestion = [](const std::string& file) {
        return "The file " + file +
               " already exists. Do you want to overwrite it? [ Yes / No ( Default ) ]\n? > ";
    };
    std::string const again = overwriteQuestion(existing);
    std::string const asked = fileQuestion + again;
    // 1023 characters fit only when the name already ends in ".pcap".
    std::string const withEnding = std::string(1018, 'p') + ".pcap";
    std::string const overlong(5000, 's');
    // Numbers beyond 32 bits do not wrap into a mode (4294967298 and 8589934593 would be 2 and 1).
    std::vector<std::tuple<bool, std::string, bool, std::string, std::string, std::string>> cases{
        {true, "0\n4\n-1\n\n\n2\n9\n", true, "2", menu + modeQuestion + modeQuestion + modeQuestion,
         "\n9\n"},
        {true, "4294967298 8589934593 -4294967293 3", true, "3",
         menu + modeQuestion + modeQuestion + modeQuestion, ""},
        {true, "abc 3\n", false, "0", menu, "abc 3\n"},
        {true, "   \n\n", false, "0", menu, ""},
        {true, "-\n", false, "0", menu, "\n"},
        {true, "4\n", false, "0", menu + modeQuestion, ""},
        {false, "\n\n  " + dir + "new rest\n", true, dir + "new", fileQuestion, " rest\n"},
        {false, dir + "notes\n", true, dir + "notes", fileQuestion, "\n"},
        {false, dir + "trace\ny\n", true, dir + "trace", asked, "\n"},
        {false, dir + "fifo\nY\n", true, dir + "fifo",
         fileQuestion + overwriteQuestion(dir + "fifo.pcap"), "\n"},
        {false, existing + "\nmaybe\nyesss\n" + std::string(100, 'y') + "\nN\n" + dir + "other\n",
         true, dir + "other", asked + again + again + again + fileQuestion.substr(1), "\n"},
        {false, existing + "\n", false, existing, asked, ""},
        {false, "\n\n", false, "", fileQuestion, ""},
        {false, overlong + "\n" + std::string(1019, 'r') + " " + withEnding + "\n", true,
         withEnding, fileQuestion + tooLong + tooLong, "\n"},
        {false, std::string(1018, 'q') + "\n", true, std::string(1018, 'q'), fileQuestion, "\n"},
        {false, overlong, false, "", fileQuestion + tooLong, ""},
    };
    for (char const* yes : {"YES", "yes", "Yes", "y", "Y"}) {
        cases.push_back({false, existing + "\n" + yes + "\n", true, existing, asked, "\n"});
    }
    for (char const* no : {"NO", "no", "No", "n", "N"}) {
        cases.push_back(
            {false, existing + "\n" + no + "\n", false, "", asked + fileQuestion.substr(1), ""});
    }
    // An overlong word is one unrecognised answer, never split into several.
    for (std::string const& unsure :
         std::vector<std::string>{"yES", "nO", "oui", "ye", std::string(16, 'x') + "y"}) {
        cases.push_back(
            {false, existing + "\n" + unsure + "\n", false, existing, asked + again, ""});
    }
    for (auto const& [asksMode, typed, goesOn, taken, printed, unread] : cases) {
        FakeDriver driver(true);
        // A --filename= value of blanks alone leaves the file name to the prompt.
        ParseRun const run =
            RunParse({"--adaptername=eth0", asksMode ? "--filename=/tmp/trace" : "--filename=  ",
                      asksMode ? "--filename=/tmp/trace" : "--mode=continuous"},
                     driver, typed);
        EXPECT_EQ(run.outcome == ParseOutcome::Proceed, goesOn) << typed;
        EXPECT_EQ(run.settings, asksMode ? taken + " 1024 1024000 200 eth0 /tmp/trace"
                                         : "2 1024 1024000 200 eth0 " + taken)
            << typed;
        EXPECT_EQ(run.printed, printed) << typed;
        EXPECT_EQ(run.unread, unread) << typed;
    }
}

// Rows: typed after a failed store, a name given, the name taken, the console. An empty line
// gives up; so does the end of the input, which also ends the marker's line.
TEST(PromptTest, AnotherFilenameAfterAFailedStore) {
    KvTests::ScratchDirectory scratch("kvanother");
    const std::string kept = scratch.PathOf("kept.pcap");
    std::fclose(std::fopen(kept.c_str(), "wb"));
    const std::string question =
        "Enter another filename to store the recording (nothing to give up)\n? > ";
    const std::string overwrite =
        "The file " + kept +
        " already exists. Do you want to overwrite it? [ Yes / No ( Default ) ]\n? > ";
    const std::vector<std::tuple<std::string, bool, std::string, std::string>> cases{
        {"  " + scratch.PathOf("new name") + " \n", true, scratch.PathOf("new name.pcap"),
         question},
        {"\n", false, "", question},
        {"", false, "", question + "\n"},
        {kept + "\nN\n\n", false, "", question + overwrite + question},
        {kept + "\n", false, "", question + overwrite + "\n"},
        {kept + "\ny\n", true, kept, question + overwrite},
    };
    for (const auto& [typed, given, taken, printed] : cases) {
        TestConsole console(typed);
        std::string name;
        EXPECT_EQ(SelectAnotherFilename(name, console.in, console.out) != 0, given) << typed;
        if (given) {
            EXPECT_EQ(name, taken) << typed;
        }
        EXPECT_EQ(console.Printed(), printed) << typed;
    }
}

TEST(AdapterPromptTest, OffersOnlyAdaptersWithTheDriver) {
    Interface records[4];  // eth1 and eth3 carry the driver
    for (int i = 0; i < 4; ++i) {
        std::string const name = "eth" + std::to_string(i);
        records[i].SetID("00:11:22:33:44:55", "00:11:22:33:44:55", name, name + " description");
        records[i].SetType(i % 2 ? KvUtilsLib::Network::InterfaceTypeDriverEnabled
                                 : KvUtilsLib::Network::InterfaceTypeNoDriver);
    }
    std::vector<Interface const*> const all{&records[0], &records[1], &records[2], &records[3]};
    std::string const question =
        "Select the network adapter using the associated number. [ Default = 0 ]\n? > ";
    std::string const one =
        "\nThe network adapter was not selected...\n\n"
        "The following list of network adapter can be used.\n( 0 ) eth1 - eth1 description\n";
    std::string const two = one + "( 1 ) eth3 - eth3 description\n\n" + question;
    std::string const only =
        one + "\n? > <Automatically select the only network adapter available>\n\n";
    // The adapters, what was typed, the name then, the console and what is left unread.
    std::tuple<std::vector<Interface const*>, std::string, std::string, std::string,
               std::string> const cases[] = {
        {all, "2\n-1\n99999999999\n1\n", "eth3", two + question + question + question, "\n"},
        {all, "0", "eth1", two, ""},
        {all, "eth1\n", "unchanged", two, "eth1\n"},
        {{all[0], all[1]}, "1\n", "eth1", only, "1\n"},
    };
    for (auto const& [adapters, typed, name, printed, unread] : cases) {
        TestConsole console(typed);
        PCAPSnifferConfiguration config;
        config.AdapterName = "unchanged";
        int const taken = SelectNetworkInterfaceFrom(adapters, config, console.in, console.out);
        EXPECT_EQ(taken != 0, name != "unchanged") << typed;
        EXPECT_EQ(config.AdapterName, name);
        EXPECT_EQ(console.Printed(), printed) << typed;
        EXPECT_EQ(console.Unread(), unread) << typed;
    }
}

// Sorting, two addresses and a gateway are checked end to end; here the given order is kept, an
// adapter without a hardware address or a usable address, the driver's version, and no adapter.
TEST(ListingTest, OneBlockPerAdapterInTheGivenOrder) {
    Interface served, bare;
    served.SetID("02:00:00:00:00:01", "02:00:00:00:00:01", "eth0", "eth0");
    served.GetIPConfigurations() = {{"192.168.9.9", "255.255.255.255"}};
    served.SetDefaultGateway("10.0.0.254");
    served.SetType(KvUtilsLib::Network::InterfaceTypeDriverEnabled);
    served.SetDriverVersion("1.2.3.4");
    bare.SetID("", "", "tun0", "tun0");
    bare.GetIPConfigurations() = {{"0.0.0.0", "0.0.0.0"}};
    EXPECT_EQ(PrintedBy([&](FILE* out) {
                  PrintAdapterList({&bare, &served}, out);
              }),
              "name: tun0\n  hardware address: none\n  gateway: none\n  driver: no\n\n"
              "name: eth0\n  hardware address: 02:00:00:00:00:01\n"
              "  ipv4: 192.168.9.9/255.255.255.255\n  gateway: 10.0.0.254\n  driver: yes\n"
              "  driver version: 1.2.3.4\n\n");
    EXPECT_EQ(PrintedBy([](FILE* out) { PrintAdapterList({}, out); }),
              "No network adapter found\n");
}

// The summary names a filter and a duration only when they are given, after the lines that the
// end-to-end suites check.
TEST(SummaryTest, FilterAndDurationLinesOnlyWhenGiven) {
    PCAPSnifferConfiguration config;
    auto const summary = [&] {
        return PrintedBy([&](FILE* out) { DumpConfiguration(config, out); });
    };
    std::string const plain = summary();
    config.CaptureFilter = "udp port 53";
    config.DurationSeconds = 10;
    EXPECT_EQ(summary(), plain + "  Capture filter = udp port 53\n  Duration = 10 seconds\n");
}
