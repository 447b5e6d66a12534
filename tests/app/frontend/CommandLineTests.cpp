#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/Version.h"
#include "tests/app/frontend/FakeDriver.h"
#include "tests/app/frontend/TestConsole.h"

namespace {

struct ParseRun {
    int result = 0;
    std::string printed;
    std::string unread;
    PCAPSnifferConfiguration config;
};

// Runs Parse on "kvpcaprecorder <arguments>" with the given driver answer and typed input.
ParseRun RunParse(std::vector<std::string> const& arguments, FakeDriver* driver,
                  std::string const& typed = "") {
    std::vector<char const*> argv{"/usr/bin/kvpcaprecorder"};
    for (std::string const& argument : arguments) {
        argv.push_back(argument.c_str());
    }
    TestConsole console(typed);
    ParseRun run;
    bool flag = true;
    run.result = Parse(static_cast<int>(argv.size()), argv.data(), run.config, flag, driver,
                       console.In(), console.Out());
    EXPECT_FALSE(flag);
    run.printed = console.Printed();
    run.unread = console.Unread();
    return run;
}

std::string Help(char const* programPath) {
    TestConsole console;
    PrintHelp(programPath, console.Out());
    return console.Printed();
}

std::string ExpectedHelp(std::string const& name) {
    return "\n\nNAME\n\t" + name +
           " - Kova Velox packets recorder\n\n"
           "SYNOPSIS\n\t" +
           name +
           " [OPTION]\n\n"
           "DESCRIPTION\n"
           "\tRecords packets that are sent from a network interface and \n"
           "\treceived by a PCAP file\n\n"
           "\t--filename=ABSOLUTE PATH AND FILENAME\n"
           "\t\tPCAP path/file name to store the recorded packets.\n"
           "\t\tIf the file name is not provided, you are prompted to provide\n"
           "\t\tone. If the file already exists, it is automatically replaced.\n\n"
           "\t--adaptername=\"AdapterName\"\n"
           "\t\tName of the network adapter that records the packets.\n"
           "\t\tThe network adapter must have the Kova Velox driver\n"
           "\t\tinstalled. If you do not enter a name:\n"
           "\t\t -If there is only one adapter with the Kova Velox\n"
           "\t\t  driver installed, the program automatically selects a network\n"
           "\t\t  adapter.\n"
           "\t\t -If there is more than one adapter with the driver installed,\n"
           "\t\t  provides an interactive list from which you can select a name\n\n"
           "\t--mode=MODE\n"
           "\t\tThe current acquisition mode used by the system.\n"
           "\t\tThe following modes are supported:\n"
           "\t\t  fixednumberofpackets - Records a finite number of packets and\n"
           "\t\t       stops the acquisition automatically. With this mode, the\n"
           "\t\t       system pre-allocates memory to reduce the impact on the\n"
           "\t\t       packet stream.\n"
           "\t\t  continuous - Records continuously.\n"
           "\t\t       The system fills the available memory with packets until\n"
           "\t\t       you send a command to stop recording packets.\n"
           "\t\t       This mode allocates memory at run time.\n"
           "\t\t  circular - Performs circular buffering in memory.\n"
           "\t\t       Continuously records to a circular buffer of data\n"
           "\t\t       in memory to keep only the most recent packets.\n\n"
           "\t--maximumpacketsize=MAXIMUMPACKETSIZE\n"
           "\t\tTruncates each packet to a maximum number of bytes to\n"
           "\t\tlimit resource usage. In most cases, the beginning of each\n"
           "\t\tpacket includes enough information to analyze any issues.\n"
           "\t\tThe value must be between 32 and 65535. Default = 200.\n\n"
           "\t--numberofpackets=NUMBEROFPACKETS\n"
           "\t\tWhen using fixednumberofpackets mode, the numberofpackets\n"
           "\t\trepresents the number of packets that are recorded before\n"
           "\t\tthe system automatically stops recording/streaming. The system\n"
           "\t\tmay exceed this number, but will ensure this number of packets\n"
           "\t\tis recorded (at a minimum).\n"
           " \t\tWhen using continuous or circular mode, the numberofpackets\n"
           "\t\tparameter is ignored.\n"
           "\t\tThe value must be between 512 and 1024000. Default = 1024.\n\n"
           "\t--buffersize=BUFFERSIZE\n"
           "\t\tWhen using circular mode, the buffersize represents the\n"
           "\t\tnumber of bytes used in the circular buffer.\n"
           " \t\tWhen using fixednumberofpackets mode, this parameter is ignored.\n"
           "\t\tWhen using continuous mode, this parameter is ignored.\n"
           "\t\tThe value must be greater than or equal to 1024000.\n"
           "\t\tDefault = 1024000.\n\n"
           "\t--license\n"
           "\t\tDisplay the 3rd party license\n\n"
           "AUTHOR\n\tKova\n\n"
           "COPYRIGHT\n\tCopyright (c) " KV_RECORDER_YEAR
           " Kova\n\n"
           "VERSION\n\tKova Velox packets recorder " KV_RECORDER_VERSION "\n\n";
}

std::string const HELP = ExpectedHelp("kvpcaprecorder");

std::string const LICENSE =
    "\nlibpcap license file\n\nLicense: BSD\n\n"
    "Redistribution and use in source and binary forms, with or without\n"
    "modification, are permitted provided that the following conditions\n"
    "are met:\n\n"
    " 1. Redistributions of source code must retain the above copyright\n"
    "    notice, this list of conditions and the following disclaimer.\n"
    " 2. Redistributions in binary form must reproduce the above copyright\n"
    "     notice, this list of conditions and the following disclaimer in\n"
    "     the documentation and/or other materials provided with the\n"
    "     distribution.\n"
    " 3. The names of the authors may not be used to endorse or promote\n"
    "     products derived from this software without specific prior\n"
    "     written permission.\n\n"
    "THIS SOFTWARE IS PROVIDED ``AS IS'' AND WITHOUT ANY EXPRESS OR\n"
    "IMPLIED WARRANTIES, INCLUDING, WITHOUT LIMITATION, THE IMPLIED\n"
    "WARRANTIES OF MERCHANTABILITY AND FITNESS FOR A PARTICULAR PURPOSE.\n\n";

// Adapter, file and mode given: nothing is asked.
std::vector<std::string> Complete(std::vector<std::string> more) {
    std::vector<std::string> arguments{"--adaptername=eth0", "--filename=/tmp/trace",
                                       "--mode=continuous"};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return arguments;
}

}  // namespace

TEST(ParseTest, CompleteCommandLineAsksNothingAndSetsDefaults) {
    FakeDriver driver(true);
    ParseRun const run = RunParse(Complete({}), &driver, "1\n");
    EXPECT_NE(run.result, 0);
    EXPECT_EQ(run.printed, "");
    EXPECT_EQ(run.unread, "1\n");
    EXPECT_EQ(run.config.AdapterName, "eth0");
    EXPECT_STREQ(run.config.Filename, "/tmp/trace");
    EXPECT_EQ(run.config.Mode, static_cast<uint32_t>(Continuous));
    EXPECT_EQ(run.config.BufferSize, 1024000);
    EXPECT_EQ(run.config.NumberOfPackets, 1024);
    EXPECT_EQ(run.config.MaximumPacketSize, 200);
    EXPECT_EQ(driver.lastAdapter, "eth0");
    EXPECT_EQ(driver.opens, 1);
    EXPECT_EQ(driver.closes, 1);
}

TEST(ParseTest, ModeValues) {
    FakeDriver driver(true);
    EXPECT_EQ(RunParse(Complete({"--mode=fixednumberofpackets"}), &driver).config.Mode, 1u);
    EXPECT_EQ(RunParse(Complete({"--mode=circular"}), &driver).config.Mode, 3u);
    // The last --mode= wins.
    EXPECT_EQ(RunParse(Complete({"--mode=circular", "--mode=continuous"}), &driver).config.Mode,
              2u);

    ParseRun const wrongCase = RunParse(Complete({"--mode=Continuous"}), &driver);
    EXPECT_EQ(wrongCase.result, 0);
    EXPECT_EQ(wrongCase.printed, "The mode Continuous is not valid\n" + HELP);

    ParseRun const empty = RunParse(Complete({"--mode="}), &driver);
    EXPECT_EQ(empty.result, 0);
    EXPECT_EQ(empty.printed, "The mode  is not valid\n" + HELP);
}

TEST(ParseTest, ModeArgumentLengthBound) {
    FakeDriver driver(true);
    // 100 characters is still read as a mode (and refused as an unknown one).
    std::string const longest = "--mode=" + std::string(93, 'x');
    ParseRun const atBound = RunParse(Complete({longest}), &driver);
    EXPECT_EQ(atBound.result, 0);
    EXPECT_EQ(atBound.printed, "The mode " + std::string(93, 'x') + " is not valid\n" + HELP);

    ParseRun const beyond = RunParse(Complete({longest + "x"}), &driver);
    EXPECT_EQ(beyond.result, 0);
    EXPECT_EQ(beyond.printed, "Unsupported mode\n" + HELP);
}

TEST(ParseTest, NumberOfPacketsAndBufferSizeLowerBounds) {
    FakeDriver driver(true);
    ParseRun run = RunParse(Complete({"--numberofpackets=100"}), &driver);
    EXPECT_NE(run.result, 0);
    EXPECT_EQ(run.config.NumberOfPackets, 512);
    EXPECT_EQ(run.printed, "Reset the numberofpackets to the minimum value of 512\n");

    run = RunParse(Complete({"--numberofpackets=511"}), &driver);
    EXPECT_EQ(run.config.NumberOfPackets, 512);
    run = RunParse(Complete({"--numberofpackets=512"}), &driver);
    EXPECT_EQ(run.config.NumberOfPackets, 512);
    EXPECT_EQ(run.printed, "");
    run = RunParse(Complete({"--numberofpackets=2000000"}), &driver);
    EXPECT_EQ(run.config.NumberOfPackets, 2000000);
    EXPECT_EQ(run.printed, "");
    run = RunParse(Complete({"--numberofpackets=abc"}), &driver);
    EXPECT_EQ(run.config.NumberOfPackets, 1024);
    EXPECT_EQ(run.printed, "");

    run = RunParse(Complete({"--buffersize=-5"}), &driver);
    EXPECT_NE(run.result, 0);
    EXPECT_EQ(run.config.BufferSize, 1024000);
    EXPECT_EQ(run.printed, "Reset the buffersize to the minimum value of 1024000\n");
    run = RunParse(Complete({"--buffersize=abc"}), &driver);
    EXPECT_EQ(run.config.BufferSize, 1024000);
    EXPECT_EQ(run.printed, "");
    run = RunParse(Complete({"--buffersize=100000000"}), &driver);
    EXPECT_EQ(run.config.BufferSize, 100000000);

    // A value without digits keeps what an earlier option set.
    run = RunParse(Complete({"--numberofpackets=5000", "--numberofpackets=x"}), &driver);
    EXPECT_EQ(run.config.NumberOfPackets, 5000);
}

TEST(ParseTest, MaximumPacketSizeBounds) {
    FakeDriver driver(true);
    ParseRun run = RunParse(Complete({"--maximumpacketsize=0"}), &driver);
    EXPECT_EQ(run.config.MaximumPacketSize, 32);
    EXPECT_EQ(run.printed, "Reset the maximumpacketsize to the minimum value of 32\n");
    run = RunParse(Complete({"--maximumpacketsize=70000"}), &driver);
    EXPECT_EQ(run.config.MaximumPacketSize, 65535);
    EXPECT_EQ(run.printed, "Reset the maximumpacketsize to the maximum value of 65535\n");
    run = RunParse(Complete({"--maximumpacketsize=65535"}), &driver);
    EXPECT_EQ(run.config.MaximumPacketSize, 65535);
    EXPECT_EQ(run.printed, "");
    run = RunParse(Complete({"--maximumpacketsize=1514"}), &driver);
    EXPECT_EQ(run.config.MaximumPacketSize, 1514);
}

TEST(ParseTest, NumbersBeyondIntAreHeldAtTheBoundNotWrapped) {
    FakeDriver driver(true);
    // 4294967808 would wrap to 512 in 32 bits, and -4294966784 to 512 as well.
    ParseRun run = RunParse(Complete({"--numberofpackets=4294967808"}), &driver);
    EXPECT_EQ(run.config.NumberOfPackets, INT_MAX);
    run = RunParse(Complete({"--numberofpackets=-4294966784"}), &driver);
    EXPECT_EQ(run.config.NumberOfPackets, 512);
    EXPECT_EQ(run.printed, "Reset the numberofpackets to the minimum value of 512\n");
    run = RunParse(Complete({"--maximumpacketsize=4294967496"}), &driver);
    EXPECT_EQ(run.config.MaximumPacketSize, 65535);
    EXPECT_EQ(run.printed, "Reset the maximumpacketsize to the maximum value of 65535\n");
}

TEST(ParseTest, FilenameArgument) {
    FakeDriver driver(true);
    ParseRun run = RunParse(Complete({"--filename=/tmp/a b"}), &driver);
    EXPECT_STREQ(run.config.Filename, "/tmp/a");

    // 1023 characters is the longest argument taken.
    std::string const longest = "--filename=/" + std::string(1011, 'f');
    ASSERT_EQ(longest.size(), 1023u);
    run = RunParse(Complete({longest}), &driver);
    EXPECT_NE(run.result, 0);
    EXPECT_EQ(std::string(run.config.Filename), longest.substr(11));

    run = RunParse(Complete({longest + "f"}), &driver);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.printed, "Filename is too long\n");
}

TEST(ParseTest, AdapterNameChecks) {
    FakeDriver absent(false);
    ParseRun run = RunParse(Complete({}), &absent);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.printed, "The network adapter eth0 didn't have Kova Velox Installed");

    // A probe that cannot be opened does not reject the adapter.
    FakeDriver broken(false, ZrUtilsLib::DEVICE_ERROR);
    run = RunParse(Complete({}), &broken);
    EXPECT_NE(run.result, 0);
    EXPECT_EQ(run.config.AdapterName, "eth0");

    FakeDriver present(true);
    std::string const longest = "--adaptername=" + std::string(15, 'a');
    run = RunParse({longest, "--filename=t", "--mode=circular"}, &present);
    EXPECT_NE(run.result, 0);
    EXPECT_EQ(run.config.AdapterName, std::string(15, 'a'));

    run = RunParse({longest + "a", "--filename=t", "--mode=circular"}, &present);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.printed, "The network adapter name is too long (at most 15 characters)\n");

    run = RunParse({"--adaptername=", "--filename=t", "--mode=circular"}, &present);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.printed, "The network adapter name is missing\n");
}

TEST(ParseTest, HelpLicenceAndUnrecognisedArguments) {
    FakeDriver driver(true);
    ParseRun run = RunParse({"--help"}, &driver);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.printed, HELP);

    run = RunParse({"--license"}, &driver);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.printed, LICENSE);
    run = RunParse({"x--licensey"}, &driver);
    EXPECT_EQ(run.printed, LICENSE);

    for (char const* wrong : {"licence", "--help=1", "-help"}) {
        run = RunParse({wrong}, &driver);
        EXPECT_EQ(run.result, 0);
        EXPECT_EQ(run.printed, std::string("Did not recognize argument ") + wrong + "\n" + HELP);
    }

    // Parsing ends at the first invalid argument: nothing after it is looked at.
    run = RunParse({"--numberofpackets=1", "bogus", "--maximumpacketsize=1", "--license"}, &driver);
    EXPECT_EQ(run.printed,
              "Reset the numberofpackets to the minimum value of 512\n"
              "Did not recognize argument bogus\n" +
                  HELP);
    EXPECT_EQ(run.config.MaximumPacketSize, 200);
}

TEST(ParseTest, DefaultsAreSetAgainOnEveryParse) {
    FakeDriver driver(true);
    std::vector<char const*> argv{"kvpcaprecorder", "--adaptername=eth0", "--filename=x",
                                  "--mode=circular"};
    PCAPSnifferConfiguration config;
    config.BufferSize = 5;
    config.NumberOfPackets = 5;
    config.MaximumPacketSize = 5;
    bool flag = true;
    TestConsole console;
    EXPECT_NE(Parse(4, argv.data(), config, flag, &driver, console.In(), console.Out()), 0);
    EXPECT_EQ(config.BufferSize, 1024000);
    EXPECT_EQ(config.NumberOfPackets, 1024);
    EXPECT_EQ(config.MaximumPacketSize, 200);
}

TEST(ParseTest, OpenItemsAreAskedForInOrder) {
    FakeDriver driver(true);
    std::string const file = ::testing::TempDir() + "frontend_parse_" + std::to_string(getpid());
    ParseRun run = RunParse({"--adaptername=eth0", "--filename="}, &driver, file + "\n3\n");
    EXPECT_NE(run.result, 0);
    EXPECT_EQ(std::string(run.config.Filename), file);
    EXPECT_EQ(run.config.Mode, 3u);
    size_t const filePrompt = run.printed.find("Enter the filename to record the pcap file");
    size_t const modePrompt = run.printed.find("Select the mode by entering the associated number");
    EXPECT_NE(filePrompt, std::string::npos);
    EXPECT_NE(modePrompt, std::string::npos);
    EXPECT_LT(filePrompt, modePrompt);

    // A prompt left without an answer ends Parse.
    run = RunParse({"--adaptername=eth0", "--filename=x"}, &driver, "abc\n");
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.config.Mode, 0u);
    EXPECT_EQ(run.unread, "abc\n");
}

TEST(ParseTest, AdapterPromptWithoutAnyDriverEndsParse) {
    // No adapter of this machine carries the driver by this probe's answer.
    FakeDriver absent(false);
    ParseRun const run = RunParse({"--filename=x", "--mode=circular"}, &absent, "0\n");
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.printed,
              "\nThe network adapter was not selected...\n\n"
              "The following list of network adapter can be used.\n\n"
              "No Kova Velox driver installed\n\n");
}

TEST(HelpTest, ProgramNameFromThePath) {
    EXPECT_EQ(Help("/usr/bin/kvpcaprecorder"), HELP);
    EXPECT_EQ(Help("kvpcaprecorder"), HELP);
    EXPECT_EQ(Help("C:\\tools\\kvpcaprecorder.exe"), HELP);
    EXPECT_EQ(Help("./bin/rec.EXE"), ExpectedHelp("rec.EXE"));
    EXPECT_EQ(Help("dir.exe/rec"), ExpectedHelp("rec"));
    std::string const longName(2000, 'n');
    EXPECT_EQ(Help(("/x/" + longName).c_str()), ExpectedHelp(std::string(1023, 'n')));
}

TEST(DumpConfigurationTest, SummaryPerMode) {
    PCAPSnifferConfiguration config;
    config.AdapterName = "veth0";
    std::snprintf(config.Filename, sizeof config.Filename, "%s", "/tmp/t.pcap");
    config.BufferSize = 2048000;
    config.NumberOfPackets = 600;
    config.MaximumPacketSize = 1514;
    std::string const head =
        "\nConfiguration is...\n  Data stored in file = /tmp/t.pcap\n  Network Adapter = veth0\n";
    std::string const tail = "  Maximum packet size = 1514\n";

    struct Case {
        uint32_t mode;
        std::string middle;
    };
    for (Case const& c : std::vector<Case>{
             {FixedNumberOfPackets,
              "  Mode = fixednumberofpackets\n    Number of packets to record = 600\n"},
             {Continuous, "  Mode = continuous\n    BufferSize = 2048000\n"},
             {Circular, "  Mode = circular\n    BufferSize = 2048000\n"},
             {None, ""},
             {7, ""}}) {
        config.Mode = c.mode;
        TestConsole console;
        DumpConfiguration(config, console.Out());
        EXPECT_EQ(console.Printed(), head + c.middle + tail) << "mode " << c.mode;
    }
}
