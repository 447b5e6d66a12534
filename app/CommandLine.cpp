#include "app/CommandLine.h"

#include <net/if.h>

#include <cctype>
#include <climits>
#include <cstring>
#include <string>

#include "KvTransportLayerLib/Network/LinkEnabled.h"
#include "KvTransportLayerLib/Network/PCAP/LinuxFilter.h"
#include "KvUtilsLib/Network/Interface.h"
#include "KvUtilsLib/Network/System.h"
#include "ZrUtilsLib/Result.h"
#include "app/Prompts.h"
#include "app/Version.h"

namespace {

constexpr char const* MAKER = "Kova";
constexpr char const* PRODUCT = "Kova Velox packets recorder";
constexpr char const* COPYRIGHT = "Copyright (c) " KV_RECORDER_YEAR;

constexpr char const* MODE_NAMES[] = {"", "fixednumberofpackets", "continuous", "circular"};

constexpr char const* DURATION_OPTION = "--duration=";
constexpr char const* FILTER_OPTION = "--filter=";
constexpr char const* LIST_ADAPTERS_OPTION = "--listadapters";
constexpr uint32_t MAX_DURATION_SECONDS = INT32_MAX;

constexpr size_t MAX_MODE_ARGUMENT = 100;
constexpr size_t MAX_FILENAME_ARGUMENT = PCAPSnifferConfiguration::FILENAME_SIZE - 1;
constexpr size_t MAX_PROGRAM_NAME = 1023;
// The kernel's interface names hold IFNAMSIZ bytes, the terminating NUL included.
constexpr size_t MAX_ADAPTER_NAME = IFNAMSIZ - 1;

constexpr int MIN_NUMBER_OF_PACKETS = 512;
constexpr int MAX_NUMBER_OF_PACKETS_ADVISED = 1024000;
constexpr int DEFAULT_NUMBER_OF_PACKETS = 1024;
constexpr int MIN_BUFFER_SIZE = 1024000;
constexpr int DEFAULT_BUFFER_SIZE = 1024000;
constexpr int MIN_PACKET_SIZE = 32;
constexpr int MAX_PACKET_SIZE = 65535;
constexpr int DEFAULT_PACKET_SIZE = 200;

void PrintLine(FILE* out, char const* text) {
    std::fputs(text, out);
    std::fputc('\n', out);
}

void PrintEmptyLine(FILE* out) {
    std::fputc('\n', out);
}

bool StartsWith(char const* text, char const* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

bool IsBlank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// Reads "<name><word>" the way a formatted scan with "%s" does: the option name must start
// the argument, blanks after it are skipped and the word ends at the next blank.
bool ReadWordValue(char const* argument, char const* name, std::string& value) {
    if (!StartsWith(argument, name)) {
        return false;
    }
    char const* p = argument + std::strlen(name);
    while (*p != '\0' && IsBlank(*p)) {
        ++p;
    }
    char const* end = p;
    while (*end != '\0' && !IsBlank(*end)) {
        ++end;
    }
    if (end == p) {
        return false;
    }
    value.assign(p, end);
    return true;
}

// Reads "<name><value>": the option name must start the argument and the value is all that
// follows it, blanks included, so a file name with blanks is taken whole. A value of blanks
// alone counts as none.
bool ReadWholeValue(char const* argument, char const* name, std::string& value) {
    if (!StartsWith(argument, name)) {
        return false;
    }
    char const* const start = argument + std::strlen(name);
    char const* p = start;
    while (*p != '\0' && IsBlank(*p)) {
        ++p;
    }
    if (*p == '\0') {
        return false;
    }
    value.assign(start);
    return true;
}

// Reads "<name><number>" the way a formatted scan with "%d" does, except that a number
// beyond the range of int is held at the nearest bound instead of wrapping around.
bool ReadNumberValue(char const* argument, char const* name, int32_t& value) {
    if (!StartsWith(argument, name)) {
        return false;
    }
    char const* p = argument + std::strlen(name);
    while (*p != '\0' && IsBlank(*p)) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (!std::isdigit(static_cast<unsigned char>(*p))) {
        return false;
    }
    long long magnitude = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        if (magnitude <= static_cast<long long>(INT_MAX) + 1) {
            magnitude = magnitude * 10 + (*p - '0');
        }
    }
    long long const signedValue = negative ? -magnitude : magnitude;
    if (signedValue > INT_MAX) {
        value = INT_MAX;
    } else if (signedValue < INT_MIN) {
        value = INT_MIN;
    } else {
        value = static_cast<int32_t>(signedValue);
    }
    return true;
}

// A whole number of seconds from 1 to MAX_DURATION_SECONDS, written with digits only.
bool ReadDurationSeconds(char const* text, uint32_t& seconds) {
    if (*text == '\0') {
        return false;
    }
    uint64_t value = 0;
    for (char const* p = text; *p != '\0'; ++p) {
        if (!std::isdigit(static_cast<unsigned char>(*p))) {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(*p - '0');
        if (value > MAX_DURATION_SECONDS) {
            return false;
        }
    }
    if (value == 0) {
        return false;
    }
    seconds = static_cast<uint32_t>(value);
    return true;
}

bool IsBlankText(std::string const& text) {
    for (char c : text) {
        if (!IsBlank(c)) {
            return false;
        }
    }
    return true;
}

// The program's name: the last component of its path, without a ".exe" ending.
std::string ProgramName(char const* programPath) {
    if (programPath == nullptr) {
        return "kvpcaprecorder";
    }
    char const* name = programPath;
    for (char const* p = programPath; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') {
            name = p + 1;
        }
    }
    std::string result(name, strnlen(name, MAX_PROGRAM_NAME));
    constexpr char const* EXE = ".exe";
    if (result.size() >= 4 && result.compare(result.size() - 4, 4, EXE) == 0) {
        result.resize(result.size() - 4);
    }
    return result;
}

class ArgumentParser {
public:
    ArgumentParser(char const* programPath, PCAPSnifferConfiguration& config,
                   KvUtilsLib::Network::IDriverEnabled* driver, FILE* output)
        : mProgramPath(programPath), mConfig(config), mDriver(driver), mOut(output) {}

    // False when the program is to stop after this argument.
    bool Handle(char const* argument);
    bool IsAdapterGiven() const { return mAdapterGiven; }
    // Why Handle stopped the program.
    ParseOutcome GetOutcome() const { return mOutcome; }

private:
    bool HandleMode(char const* argument);
    bool HandleAdapterName(char const* argument);
    bool HandleFilename(char const* argument);
    bool HandleDuration(char const* value);
    bool HandleFilter(char const* value);
    void HandleNumberOfPackets(char const* argument);
    void HandleBufferSize(char const* argument);
    void HandleMaximumPacketSize(char const* argument);
    bool IsDriverMissing(char const* adapterName);
    bool StopWithHelp(ParseOutcome outcome) {
        PrintHelp(mProgramPath, mOut);
        return StopAs(outcome);
    }
    bool StopAs(ParseOutcome outcome) {
        mOutcome = outcome;
        return false;
    }

    char const* mProgramPath;
    PCAPSnifferConfiguration& mConfig;
    KvUtilsLib::Network::IDriverEnabled* mDriver;
    FILE* mOut;
    bool mAdapterGiven = false;
    ParseOutcome mOutcome = ParseOutcome::Proceed;
};

bool ArgumentParser::Handle(char const* argument) {
    // The newer options are told by their start, before the older ones are looked for anywhere
    // in the argument: a filter expression holding "--mode=" stays a filter.
    if (StartsWith(argument, DURATION_OPTION)) {
        return HandleDuration(argument + std::strlen(DURATION_OPTION));
    }
    if (StartsWith(argument, FILTER_OPTION)) {
        return HandleFilter(argument + std::strlen(FILTER_OPTION));
    }
    if (std::strcmp(argument, LIST_ADAPTERS_OPTION) == 0) {
        ListAdapters(mDriver, mOut);
        return StopAs(ParseOutcome::Finished);
    }
    if (std::strstr(argument, "--mode=") != nullptr) {
        return HandleMode(argument);
    }
    if (std::strstr(argument, "--adaptername=") != nullptr) {
        return HandleAdapterName(argument);
    }
    if (std::strstr(argument, "--filename=") != nullptr) {
        return HandleFilename(argument);
    }
    if (std::strstr(argument, "--numberofpackets=") != nullptr) {
        HandleNumberOfPackets(argument);
        return true;
    }
    if (std::strstr(argument, "--buffersize=") != nullptr) {
        HandleBufferSize(argument);
        return true;
    }
    if (std::strstr(argument, "--maximumpacketsize=") != nullptr) {
        HandleMaximumPacketSize(argument);
        return true;
    }
    if (std::strstr(argument, "--license") != nullptr) {
        PrintLicense(mOut);
        return StopAs(ParseOutcome::Finished);
    }
    if (std::strcmp(argument, "--help") == 0) {
        return StopWithHelp(ParseOutcome::Finished);
    }
    std::fprintf(mOut, "Did not recognize argument %s\n", argument);
    return StopWithHelp(ParseOutcome::Refused);
}

bool ArgumentParser::HandleMode(char const* argument) {
    if (std::strlen(argument) > MAX_MODE_ARGUMENT) {
        PrintLine(mOut, "Unsupported mode");
        return StopWithHelp(ParseOutcome::Refused);
    }
    std::string value;
    ReadWordValue(argument, "--mode=", value);
    for (uint32_t mode = FixedNumberOfPackets; mode <= Circular; ++mode) {
        if (value == MODE_NAMES[mode]) {
            mConfig.Mode = mode;
            return true;
        }
    }
    std::fprintf(mOut, "The mode %s is not valid\n", value.c_str());
    return StopWithHelp(ParseOutcome::Refused);
}

bool ArgumentParser::HandleAdapterName(char const* argument) {
    std::string value;
    ReadWordValue(argument, "--adaptername=", value);
    if (value.empty()) {
        PrintLine(mOut, "The network adapter name is missing");
        return StopAs(ParseOutcome::Refused);
    }
    if (value.size() > MAX_ADAPTER_NAME) {
        std::fprintf(mOut, "The network adapter name is too long (at most %zu characters)\n",
                     MAX_ADAPTER_NAME);
        return StopAs(ParseOutcome::Refused);
    }
    mConfig.AdapterName = value;
    if (IsDriverMissing(mConfig.AdapterName.c_str())) {
        std::fprintf(mOut, "The network adapter %s didn't have Kova Velox Installed",
                     mConfig.AdapterName.c_str());
        return StopAs(ParseOutcome::Failed);
    }
    mAdapterGiven = true;
    return true;
}

// Only a check that succeeds and reports the driver absent rejects the adapter.
bool ArgumentParser::IsDriverMissing(char const* adapterName) {
    KvTransportLayerLib::Network::LinkEnabled probe;
    KvUtilsLib::Network::IDriverEnabled* driver = mDriver != nullptr ? mDriver : &probe;
    bool installed = false;
    ZrUtilsLib::Result const result =
        KvUtilsLib::Network::System::IsKOVAVeloxInstalled(driver, adapterName, installed);
    return result.GetCode() == ZrUtilsLib::OK && !installed;
}

bool ArgumentParser::HandleFilename(char const* argument) {
    if (std::strlen(argument) > MAX_FILENAME_ARGUMENT) {
        PrintLine(mOut, "Filename is too long");
        return StopAs(ParseOutcome::Refused);
    }
    std::string value;
    if (ReadWholeValue(argument, "--filename=", value)) {
        // The argument bound keeps the value well inside Filename, ".pcap" included.
        std::memcpy(mConfig.Filename, value.c_str(), value.size() + 1);
    }
    return true;
}

bool ArgumentParser::HandleDuration(char const* value) {
    if (!ReadDurationSeconds(value, mConfig.DurationSeconds)) {
        std::fprintf(mOut, "The duration %s is not a positive whole number of seconds\n", value);
        return StopAs(ParseOutcome::Refused);
    }
    return true;
}

// The expression is checked once the maximum packet size is known, after the last argument.
bool ArgumentParser::HandleFilter(char const* value) {
    mConfig.CaptureFilter = value;
    if (IsBlankText(mConfig.CaptureFilter)) {
        PrintLine(mOut, "The capture filter is empty");
        return StopAs(ParseOutcome::Refused);
    }
    return true;
}

// True when libpcap compiles the capture filter for the recording's maximum packet size;
// otherwise says why.
bool IsCaptureFilterValid(PCAPSnifferConfiguration const& config, FILE* out) {
    ZrUtilsLib::Result const checked = KvTransportLayerLib::Network::PCAP::Filter::CheckExpression(
        config.CaptureFilter, static_cast<unsigned int>(config.MaximumPacketSize));
    if (checked.IsSuccess()) {
        return true;
    }
    std::fprintf(out, "The capture filter %s is not valid: %s\n", config.CaptureFilter.c_str(),
                 checked.HasDescription() ? checked.GetDescription() : checked.GetCodeString());
    return false;
}

void ArgumentParser::HandleNumberOfPackets(char const* argument) {
    ReadNumberValue(argument, "--numberofpackets=", mConfig.NumberOfPackets);
    if (mConfig.NumberOfPackets < MIN_NUMBER_OF_PACKETS) {
        mConfig.NumberOfPackets = MIN_NUMBER_OF_PACKETS;
        std::fprintf(mOut, "Reset the numberofpackets to the minimum value of %d\n",
                     MIN_NUMBER_OF_PACKETS);
    }
}

void ArgumentParser::HandleBufferSize(char const* argument) {
    ReadNumberValue(argument, "--buffersize=", mConfig.BufferSize);
    if (mConfig.BufferSize < MIN_BUFFER_SIZE) {
        mConfig.BufferSize = MIN_BUFFER_SIZE;
        std::fprintf(mOut, "Reset the buffersize to the minimum value of %d\n", MIN_BUFFER_SIZE);
    }
}

void ArgumentParser::HandleMaximumPacketSize(char const* argument) {
    ReadNumberValue(argument, "--maximumpacketsize=", mConfig.MaximumPacketSize);
    if (mConfig.MaximumPacketSize < MIN_PACKET_SIZE) {
        mConfig.MaximumPacketSize = MIN_PACKET_SIZE;
        std::fprintf(mOut, "Reset the maximumpacketsize to the minimum value of %d\n",
                     MIN_PACKET_SIZE);
    }
    if (mConfig.MaximumPacketSize > MAX_PACKET_SIZE) {
        mConfig.MaximumPacketSize = MAX_PACKET_SIZE;
        std::fprintf(mOut, "Reset the maximumpacketsize to the maximum value of %d\n",
                     MAX_PACKET_SIZE);
    }
}

void SetDefaults(PCAPSnifferConfiguration& config) {
    config.Mode = None;
    config.BufferSize = DEFAULT_BUFFER_SIZE;
    config.NumberOfPackets = DEFAULT_NUMBER_OF_PACKETS;
    config.MaximumPacketSize = DEFAULT_PACKET_SIZE;
    config.Filename[0] = '\0';
    config.CaptureFilter.clear();
    config.DurationSeconds = 0;
}

void PrintHelpOptionsFilenameAndAdapter(FILE* out) {
    PrintLine(out, "\t--filename=ABSOLUTE PATH AND FILENAME");
    PrintLine(out, "\t\tPCAP path/file name to store the recorded packets.");
    PrintLine(out, "\t\tIf the file name is not provided, you are prompted to provide");
    PrintLine(out, "\t\tone. If the file already exists, it is automatically replaced.");
    PrintEmptyLine(out);
    PrintLine(out, "\t--adaptername=\"AdapterName\"");
    PrintLine(out, "\t\tName of the network adapter that records the packets.");
    PrintLine(out, "\t\tThe network adapter must have the Kova Velox driver");
    PrintLine(out, "\t\tinstalled. If you do not enter a name:");
    PrintLine(out, "\t\t -If there is only one adapter with the Kova Velox");
    PrintLine(out, "\t\t  driver installed, the program automatically selects a network");
    PrintLine(out, "\t\t  adapter.");
    PrintLine(out, "\t\t -If there is more than one adapter with the driver installed,");
    PrintLine(out, "\t\t  provides an interactive list from which you can select a name");
    PrintEmptyLine(out);
}

void PrintHelpModes(FILE* out) {
    PrintLine(out, "\t--mode=MODE");
    PrintLine(out, "\t\tThe current acquisition mode used by the system.");
    PrintLine(out, "\t\tThe following modes are supported:");
    std::fprintf(out, "\t\t  %s - Records a finite number of packets and\n",
                 MODE_NAMES[FixedNumberOfPackets]);
    PrintLine(out, "\t\t       stops the acquisition automatically. With this mode, the");
    PrintLine(out, "\t\t       system pre-allocates memory to reduce the impact on the");
    PrintLine(out, "\t\t       packet stream.");
    std::fprintf(out, "\t\t  %s - Records continuously.\n", MODE_NAMES[Continuous]);
    PrintLine(out, "\t\t       The system fills the available memory with packets until");
    PrintLine(out, "\t\t       you send a command to stop recording packets.");
    PrintLine(out, "\t\t       This mode allocates memory at run time.");
    std::fprintf(out, "\t\t  %s - Performs circular buffering in memory.\n", MODE_NAMES[Circular]);
    PrintLine(out, "\t\t       Continuously records to a circular buffer of data");
    PrintLine(out, "\t\t       in memory to keep only the most recent packets.");
    PrintEmptyLine(out);
}

void PrintHelpSizes(FILE* out) {
    PrintLine(out, "\t--maximumpacketsize=MAXIMUMPACKETSIZE");
    PrintLine(out, "\t\tTruncates each packet to a maximum number of bytes to");
    PrintLine(out, "\t\tlimit resource usage. In most cases, the beginning of each");
    PrintLine(out, "\t\tpacket includes enough information to analyze any issues.");
    std::fprintf(out, "\t\tThe value must be between %d and %d. Default = %d.\n", MIN_PACKET_SIZE,
                 MAX_PACKET_SIZE, DEFAULT_PACKET_SIZE);
    PrintEmptyLine(out);

    PrintLine(out, "\t--numberofpackets=NUMBEROFPACKETS");
    std::fprintf(out, "\t\tWhen using %s mode, the numberofpackets\n",
                 MODE_NAMES[FixedNumberOfPackets]);
    PrintLine(out, "\t\trepresents the number of packets that are recorded before");
    PrintLine(out, "\t\tthe system automatically stops recording/streaming. The system");
    PrintLine(out, "\t\tmay exceed this number, but will ensure this number of packets");
    std::fputs("\t\tis recorded (at a minimum).\n ", out);
    std::fprintf(out, "\t\tWhen using %s or %s mode, the numberofpackets\n", MODE_NAMES[Continuous],
                 MODE_NAMES[Circular]);
    PrintLine(out, "\t\tparameter is ignored.");
    std::fprintf(out, "\t\tThe value must be between %d and %d. Default = %d.\n",
                 MIN_NUMBER_OF_PACKETS, MAX_NUMBER_OF_PACKETS_ADVISED, DEFAULT_NUMBER_OF_PACKETS);
    PrintEmptyLine(out);

    PrintLine(out, "\t--buffersize=BUFFERSIZE");
    std::fprintf(out, "\t\tWhen using %s mode, the buffersize represents the\n",
                 MODE_NAMES[Circular]);
    std::fputs("\t\tnumber of bytes used in the circular buffer.\n ", out);
    std::fprintf(out, "\t\tWhen using %s mode, this parameter is ignored.\n",
                 MODE_NAMES[FixedNumberOfPackets]);
    std::fprintf(out, "\t\tWhen using %s mode, this parameter is ignored.\n",
                 MODE_NAMES[Continuous]);
    std::fprintf(out, "\t\tThe value must be greater than or equal to %d.\n", MIN_BUFFER_SIZE);
    std::fprintf(out, "\t\tDefault = %d.\n", DEFAULT_BUFFER_SIZE);
    PrintEmptyLine(out);
}

void PrintHelpNewerOptions(FILE* out) {
    PrintLine(out, "\t--duration=SECONDS");
    PrintLine(out, "\t\tEnds the recording by itself after this many seconds, in");
    PrintLine(out, "\t\tany mode, and stores it as Ctrl+C does. A whole number");
    std::fprintf(out, "\t\tfrom 1 to %u.\n", MAX_DURATION_SECONDS);
    PrintEmptyLine(out);
    PrintLine(out, "\t--filter=EXPRESSION");
    PrintLine(out, "\t\tRecords only the packets that match this libpcap filter");
    PrintLine(out, "\t\texpression (tcpdump's language, see pcap-filter(7)), for");
    PrintLine(out, "\t\texample --filter=\"udp port 53\". An expression that libpcap");
    PrintLine(out, "\t\tdoes not accept is refused before anything is recorded.");
    PrintEmptyLine(out);
    PrintLine(out, "\t--listadapters");
    PrintLine(out, "\t\tLists the network adapters with their hardware address,");
    PrintLine(out, "\t\tIPv4 addresses, gateway and whether the Kova Velox driver");
    PrintLine(out, "\t\tserves them, then ends. Needs neither root nor the driver.");
    PrintEmptyLine(out);
}

void PrintHelpClosingSections(FILE* out) {
    PrintLine(out, "AUTHOR");
    std::fprintf(out, "\t%s\n", MAKER);
    PrintEmptyLine(out);
    PrintLine(out, "COPYRIGHT");
    std::fprintf(out, "\t%s %s\n", COPYRIGHT, MAKER);
    PrintEmptyLine(out);
    PrintLine(out, "VERSION");
    std::fprintf(out, "\t%s %s\n", PRODUCT, KV_RECORDER_VERSION);
    PrintEmptyLine(out);
}

// The inventory marks a missing address or gateway with 0.0.0.0; the listing says none.
bool IsNoAddress(std::string const& address) {
    return address.empty() || address == KvUtilsLib::Network::Interface::kNoAddress;
}

void PrintAdapter(KvUtilsLib::Network::Interface const& adapter, FILE* out) {
    std::fprintf(out, "name: %s\n", adapter.GetName().c_str());
    std::string const& hardware = adapter.GetMACAddress();
    std::fprintf(out, "  hardware address: %s\n", hardware.empty() ? "none" : hardware.c_str());
    for (KvUtilsLib::Network::IPConfiguration const& ip : adapter.GetIPConfigurations()) {
        if (!IsNoAddress(ip.Address)) {
            std::fprintf(out, "  ipv4: %s/%s\n", ip.Address.c_str(), ip.SubnetMask.c_str());
        }
    }
    std::string const& gateway = adapter.GetDefaultGateway();
    std::fprintf(out, "  gateway: %s\n", IsNoAddress(gateway) ? "none" : gateway.c_str());
    bool const served = adapter.GetType() == KvUtilsLib::Network::InterfaceTypeDriverEnabled;
    std::fprintf(out, "  driver: %s\n", served ? "yes" : "no");
    if (served && !adapter.GetDriverVersion().empty()) {
        std::fprintf(out, "  driver version: %s\n", adapter.GetDriverVersion().c_str());
    }
    PrintEmptyLine(out);
}

}  // namespace

ParseOutcome ParseCommandLine(int argc, char const** argv, PCAPSnifferConfiguration& config,
                              KvUtilsLib::Network::IDriverEnabled* driver, FILE* input,
                              FILE* output) {
    SetDefaults(config);
    char const* programPath = (argc > 0 && argv != nullptr) ? argv[0] : nullptr;
    ArgumentParser parser(programPath, config, driver, output);
    for (int i = 1; i < argc; ++i) {
        if (!parser.Handle(argv[i])) {
            return parser.GetOutcome();
        }
    }
    if (!config.CaptureFilter.empty() && !IsCaptureFilterValid(config, output)) {
        return ParseOutcome::Refused;
    }
    if (!parser.IsAdapterGiven() && SelectNetworkInterface(config, input, output, driver) == 0) {
        return ParseOutcome::Failed;
    }
    if (config.Filename[0] == '\0' && SelectFilename(config, input, output) == 0) {
        return ParseOutcome::Failed;
    }
    if (config.Mode == None && SelectMode(config, input, output) == 0) {
        return ParseOutcome::Failed;
    }
    return ParseOutcome::Proceed;
}

int Parse(int argc, char const** argv, PCAPSnifferConfiguration& config, bool& flag,
          KvUtilsLib::Network::IDriverEnabled* driver, FILE* input, FILE* output) {
    flag = false;
    return ParseCommandLine(argc, argv, config, driver, input, output) == ParseOutcome::Proceed ? 1
                                                                                                : 0;
}

void PrintHelp(char const* programPath, FILE* out) {
    std::string const name = ProgramName(programPath);
    PrintEmptyLine(out);
    PrintEmptyLine(out);
    PrintLine(out, "NAME");
    std::fprintf(out, "\t%s - Kova Velox packets recorder\n", name.c_str());
    PrintEmptyLine(out);
    PrintLine(out, "SYNOPSIS");
    std::fprintf(out, "\t%s [OPTION]\n", name.c_str());
    PrintEmptyLine(out);
    PrintLine(out, "DESCRIPTION");
    PrintLine(out, "\tRecords packets that are sent from a network interface and ");
    PrintLine(out, "\treceived by a PCAP file");
    PrintEmptyLine(out);
    PrintHelpOptionsFilenameAndAdapter(out);
    PrintHelpModes(out);
    PrintHelpSizes(out);
    PrintLine(out, "\t--license");
    PrintLine(out, "\t\tDisplay the 3rd party license");
    PrintEmptyLine(out);
    PrintHelpNewerOptions(out);
    PrintHelpClosingSections(out);
}

void PrintLicense(FILE* out) {
    static char const* const LINES[] = {
        "",
        "libpcap license file",
        "",
        "License: BSD",
        "",
        "Redistribution and use in source and binary forms, with or without",
        "modification, are permitted provided that the following conditions",
        "are met:",
        "",
        " 1. Redistributions of source code must retain the above copyright",
        "    notice, this list of conditions and the following disclaimer.",
        " 2. Redistributions in binary form must reproduce the above copyright",
        "     notice, this list of conditions and the following disclaimer in",
        "     the documentation and/or other materials provided with the",
        "     distribution.",
        " 3. The names of the authors may not be used to endorse or promote",
        "     products derived from this software without specific prior",
        "     written permission.",
        "",
        "THIS SOFTWARE IS PROVIDED ``AS IS'' AND WITHOUT ANY EXPRESS OR",
        "IMPLIED WARRANTIES, INCLUDING, WITHOUT LIMITATION, THE IMPLIED",
        "WARRANTIES OF MERCHANTABILITY AND FITNESS FOR A PARTICULAR PURPOSE.",
        "",
    };
    for (char const* line : LINES) {
        PrintLine(out, line);
    }
}

void DumpConfiguration(PCAPSnifferConfiguration& config, FILE* out) {
    PrintEmptyLine(out);
    PrintLine(out, "Configuration is...");
    std::fprintf(out, "  Data stored in file = %s\n", config.Filename);
    std::fprintf(out, "  Network Adapter = %s\n", config.AdapterName.c_str());
    switch (config.Mode) {
        case Continuous:
        case Circular:
            std::fprintf(out, "  Mode = %s\n", MODE_NAMES[config.Mode]);
            std::fprintf(out, "    BufferSize = %d\n", config.BufferSize);
            break;
        case FixedNumberOfPackets:
            std::fprintf(out, "  Mode = %s\n", MODE_NAMES[config.Mode]);
            std::fprintf(out, "    Number of packets to record = %d\n", config.NumberOfPackets);
            break;
        default:
            break;
    }
    std::fprintf(out, "  Maximum packet size = %d\n", config.MaximumPacketSize);
    if (!config.CaptureFilter.empty()) {
        std::fprintf(out, "  Capture filter = %s\n", config.CaptureFilter.c_str());
    }
    if (config.DurationSeconds != 0) {
        std::fprintf(out, "  Duration = %u seconds\n", config.DurationSeconds);
    }
}

void PrintAdapterList(std::vector<KvUtilsLib::Network::Interface const*> const& adapters,
                      FILE* out) {
    if (adapters.empty()) {
        PrintLine(out, "No network adapter found");
        return;
    }
    for (KvUtilsLib::Network::Interface const* adapter : adapters) {
        PrintAdapter(*adapter, out);
    }
}

void ListAdapters(KvUtilsLib::Network::IDriverEnabled* driver, FILE* out) {
    KvTransportLayerLib::Network::LinkEnabled probe;
    KvUtilsLib::Network::System inventory(driver != nullptr ? driver : &probe);
    std::vector<KvUtilsLib::Network::Interface const*> adapters;
    for (unsigned int i = 0; i < inventory.GetInterfaceCount(); ++i) {
        adapters.push_back(inventory.GetInterface(i));
    }
    PrintAdapterList(adapters, out);
}
