#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/Version.h"
#include "tests/app/frontend/TestConsole.h"

namespace {

struct ParseRun {
    int result = 0;
    std::string printed;
    std::string unread;
    PCAPSnifferConfiguration config;
};

// Parse on "kvpcaprecorder <arguments>" over a configuration an earlier run left: every default
// must be set again.
ParseRun RunParse(std::vector<std::string> const& arguments, FakeDriver& driver,
                  std::string const& typed = "") {
    std::vector<char const*> argv{"/usr/bin/kvpcaprecorder"};
    for (std::string const& argument : arguments) {
        argv.push_back(argument.c_str());
    }
    TestConsole console(typed);
    ParseRun run;
    run.config.Mode = 7;
    run.config.BufferSize = run.config.NumberOfPackets = run.config.MaximumPacketSize = 5;
    std::strcpy(run.config.Filename, "earlier");
    bool flag = true;
    run.result = Parse(static_cast<int>(argv.size()), argv.data(), run.config, flag, &driver,
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

std::vector<std::string> Complete(std::vector<std::string> more) {
    std::vector<std::string> arguments{"--adaptername=eth0", "--filename=/tmp/trace",
                                       "--mode=continuous"};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return arguments;
}

std::string const RESET_PACKETS = "Reset the numberofpackets to the minimum value of 512\n";
std::string const RESET_BUFFER = "Reset the buffersize to the minimum value of 1024000\n";
std::string const RESET_SIZE_UP = "Reset the maximumpacketsize to the minimum value of 32\n";
std::string const RESET_SIZE_DOWN = "Reset the maximumpacketsize to the maximum value of 65535\n";

}  // namespace

// Adapter, file and mode given: nothing is asked, and the adapter is checked for the driver.
TEST(ParseTest, ValuesAreTakenOrHeldAtTheirBounds) {
    struct Case {
        std::vector<std::string> more;
        uint32_t mode;
        int32_t packets;
        int32_t bufferSize;
        int32_t packetSize;
        std::string printed;
    };
    // 4294967808 and -4294966784 wrap to 512 in 32 bits, 4294967496 to 200.
    Case const cases[] = {
        {{}, 2, 1024, 1024000, 200, ""},
        {{"--mode=fixednumberofpackets"}, 1, 1024, 1024000, 200, ""},
        {{"--mode=circular"}, 3, 1024, 1024000, 200, ""},
        {{"--mode=circular", "--mode=continuous"}, 2, 1024, 1024000, 200, ""},
        {{"--numberofpackets=100"}, 2, 512, 1024000, 200, RESET_PACKETS},
        {{"--numberofpackets=511"}, 2, 512, 1024000, 200, RESET_PACKETS},
        {{"--numberofpackets=512"}, 2, 512, 1024000, 200, ""},
        {{"--numberofpackets=2000000"}, 2, 2000000, 1024000, 200, ""},
        {{"--numberofpackets=abc"}, 2, 1024, 1024000, 200, ""},
        {{"--numberofpackets=5000", "--numberofpackets=x"}, 2, 5000, 1024000, 200, ""},
        {{"--numberofpackets=4294967808"}, 2, INT_MAX, 1024000, 200, ""},
        {{"--numberofpackets=-4294966784"}, 2, 512, 1024000, 200, RESET_PACKETS},
        {{"--buffersize=-5"}, 2, 1024, 1024000, 200, RESET_BUFFER},
        {{"--buffersize=abc"}, 2, 1024, 1024000, 200, ""},
        {{"--buffersize=100000000"}, 2, 1024, 100000000, 200, ""},
        {{"--maximumpacketsize=0"}, 2, 1024, 1024000, 32, RESET_SIZE_UP},
        {{"--maximumpacketsize=70000"}, 2, 1024, 1024000, 65535, RESET_SIZE_DOWN},
        {{"--maximumpacketsize=65535"}, 2, 1024, 1024000, 65535, ""},
        {{"--maximumpacketsize=1514"}, 2, 1024, 1024000, 1514, ""},
        {{"--maximumpacketsize=4294967496"}, 2, 1024, 1024000, 65535, RESET_SIZE_DOWN},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.more.empty() ? "" : c.more[0]);
        FakeDriver driver(true);
        ParseRun const run = RunParse(Complete(c.more), driver, "1\n");
        EXPECT_NE(run.result, 0);
        EXPECT_EQ(run.config.Mode, c.mode);
        EXPECT_EQ(run.config.NumberOfPackets, c.packets);
        EXPECT_EQ(run.config.BufferSize, c.bufferSize);
        EXPECT_EQ(run.config.MaximumPacketSize, c.packetSize);
        EXPECT_EQ(run.printed, c.printed);
        EXPECT_EQ(run.unread, "1\n");
        EXPECT_EQ(run.config.AdapterName, "eth0");
        EXPECT_STREQ(run.config.Filename, "/tmp/trace");
        EXPECT_EQ(driver.lastAdapter, "eth0");
        EXPECT_EQ(driver.opens, 1);
        EXPECT_EQ(driver.closes, 1);
    }
}

TEST(ParseTest, AdapterAndFileNames) {
    FakeDriver driver(true);
    std::string const file = "/" + std::string(1011, 'f');  // 1023 characters with --filename=
    std::string const adapter(15, 'a');
    ParseRun run = RunParse(Complete({"--filename=" + file, "--adaptername=" + adapter}), driver);
    EXPECT_NE(run.result, 0);
    EXPECT_EQ(std::string(run.config.Filename), file);
    EXPECT_EQ(run.config.AdapterName, adapter);
    EXPECT_EQ(driver.lastAdapter, adapter);

    run = RunParse(Complete({"--filename=/tmp/a b"}), driver);
    EXPECT_STREQ(run.config.Filename, "/tmp/a");

    // A probe that cannot be opened does not reject the adapter.
    FakeDriver broken(false, ZrUtilsLib::DEVICE_ERROR);
    run = RunParse(Complete({}), broken);
    EXPECT_NE(run.result, 0);
    EXPECT_EQ(run.config.AdapterName, "eth0");
}

// Each ends Parse with its message; nothing after the first invalid argument is looked at.
TEST(ParseTest, StopsWithTheMessage) {
    struct Case {
        std::vector<std::string> arguments;
        std::string printed;
        bool driverPresent = true;
    };
    Case const cases[] = {
        {Complete({"--mode=Continuous"}), "The mode Continuous is not valid\n" + HELP},
        {Complete({"--mode="}), "The mode  is not valid\n" + HELP},
        {Complete({"--mode=" + std::string(93, 'x')}),
         "The mode " + std::string(93, 'x') + " is not valid\n" + HELP},
        {Complete({"--mode=" + std::string(94, 'x')}), "Unsupported mode\n" + HELP},
        {Complete({"--filename=/" + std::string(1012, 'f')}), "Filename is too long\n"},
        {Complete({"--adaptername=" + std::string(16, 'a')}),
         "The network adapter name is too long (at most 15 characters)\n"},
        {Complete({"--adaptername="}), "The network adapter name is missing\n"},
        {Complete({}), "The network adapter eth0 didn't have Kova Velox Installed", false},
        {{"--filename=x", "--mode=circular"},
         "\nThe network adapter was not selected...\n\nThe following list of network adapter can "
         "be used.\n\nNo Kova Velox driver installed\n\n",
         false},
        {{"--help"}, HELP},
        {{"--license"}, LICENSE},
        {{"x--licensey"}, LICENSE},
        {{"licence"}, "Did not recognize argument licence\n" + HELP},
        {{"--help=1"}, "Did not recognize argument --help=1\n" + HELP},
        {{"-help"}, "Did not recognize argument -help\n" + HELP},
        {{"--numberofpackets=1", "bogus", "--maximumpacketsize=1", "--license"},
         RESET_PACKETS + "Did not recognize argument bogus\n" + HELP},
    };
    for (Case const& c : cases) {
        FakeDriver driver(c.driverPresent);
        ParseRun const run = RunParse(c.arguments, driver, "0\n");
        EXPECT_EQ(run.result, 0) << c.arguments.back();
        EXPECT_EQ(run.printed, c.printed) << c.arguments.back();
    }
}

TEST(ParseTest, OpenItemsAreAskedForInOrder) {
    FakeDriver driver(true);
    ParseRun run = RunParse({"--adaptername=eth0", "--filename="}, driver, "/nonexistent/t\n3\n");
    EXPECT_NE(run.result, 0);
    EXPECT_STREQ(run.config.Filename, "/nonexistent/t");
    EXPECT_EQ(run.config.Mode, 3u);
    size_t const modePrompt = run.printed.find("Select the mode by entering the associated number");
    EXPECT_LT(run.printed.find("Enter the filename to record the pcap file"), modePrompt);
    EXPECT_NE(modePrompt, std::string::npos);

    // A prompt left without an answer ends Parse.
    run = RunParse({"--adaptername=eth0", "--filename=x"}, driver, "abc\n");
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.config.Mode, 0u);
    EXPECT_EQ(run.unread, "abc\n");
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
    std::pair<uint32_t, std::string> const cases[] = {
        {FixedNumberOfPackets,
         "  Mode = fixednumberofpackets\n    Number of packets to record = 600\n"},
        {Continuous, "  Mode = continuous\n    BufferSize = 2048000\n"},
        {Circular, "  Mode = circular\n    BufferSize = 2048000\n"},
        {None, ""},
        {7, ""}};
    for (auto const& c : cases) {
        config.Mode = c.first;
        TestConsole console;
        DumpConfiguration(config, console.Out());
        EXPECT_EQ(console.Printed(), head + c.second + tail) << "mode " << c.first;
    }
}
