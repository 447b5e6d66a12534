#pragma once

#include <cstdio>
#include <vector>

#include "app/PCAPSnifferConfiguration.h"

namespace KvUtilsLib {
namespace Network {
class IDriverEnabled;
class Interface;
}  // namespace Network
}  // namespace KvUtilsLib

// Fills `config` from the command line and asks at the console for what it leaves open
// (adapter, file name, mode, in that order). Returns nonzero when the recording is to go on,
// zero when the program is to stop (help or licence shown, an error reported, or a prompt left
// without an answer). `flag` is set to false.
//
// `driver` answers the Kova Velox presence question for --adaptername= and the adapter prompt;
// null means a fresh LinkEnabled probe of the real driver node each time. `input` feeds the
// prompts; everything is printed to `output`.
int Parse(int argc, char const** argv, PCAPSnifferConfiguration& config, bool& flag,
          KvUtilsLib::Network::IDriverEnabled* driver = nullptr, FILE* input = stdin,
          FILE* output = stdout);

// How the command line and the prompts ended, for the exit status.
enum class ParseOutcome {
    Proceed,   // the configuration is complete: record
    Finished,  // the help page, the licence or the adapter list was asked for and shown
    Refused,   // an argument was not accepted (not recognised, invalid, too long), or the
               // capture filter does not compile
    Failed,    // the named adapter lacks the driver, or a prompt's input ended
};

// Parse, telling why it stopped. --duration= and --filter= are recognised by their start and
// before the older options, which are found anywhere in an argument; --listadapters is the
// whole argument. The capture filter is checked once every argument is read, before any prompt.
ParseOutcome ParseCommandLine(int argc, char const** argv, PCAPSnifferConfiguration& config,
                              KvUtilsLib::Network::IDriverEnabled* driver = nullptr,
                              FILE* input = stdin, FILE* output = stdout);

// The help page, naming the program after the last component of `programPath`.
void PrintHelp(char const* programPath, FILE* output = stdout);

// The licence notice of the capture library (libpcap).
void PrintLicense(FILE* output = stdout);

// The summary of the recording's settings.
void DumpConfiguration(PCAPSnifferConfiguration& config, FILE* output = stdout);

// The adapters in the given order, one block each, closed by an empty line:
//   name: NAME
//     hardware address: ADDRESS            ("none" when unknown)
//     ipv4: ADDRESS/MASK                   (one line per IPv4 address, none without one)
//     gateway: ADDRESS                     ("none" without a default gateway)
//     driver: yes|no                       (yes: the adapter prompt offers it)
//     driver version: VERSION              (only when the driver told it)
// Without any adapter, the line "No network adapter found".
void PrintAdapterList(std::vector<KvUtilsLib::Network::Interface const*> const& adapters,
                      FILE* output = stdout);

// The inventory's adapters, sorted by name, through PrintAdapterList. `driver` is the presence
// probe given to the inventory; null means a LinkEnabled probe of the real driver node.
void ListAdapters(KvUtilsLib::Network::IDriverEnabled* driver = nullptr, FILE* output = stdout);
