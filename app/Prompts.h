#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "app/PCAPSnifferConfiguration.h"

namespace KvUtilsLib {
namespace Network {
class IDriverEnabled;
class Interface;
}  // namespace Network
}  // namespace KvUtilsLib

// The console questions for what the command line left open. Each reads its answers from
// `input`, prints to `output`, and returns nonzero when it got an answer, zero when the input
// ended or a number could not be read. Every question is followed by the marker "? > ".

// Lists the adapters that carry the Kova Velox driver and fills AdapterName with the one chosen
// (the only one without a question). `driver` is the presence probe given to the inventory;
// null means a LinkEnabled probe of the real driver node.
int SelectNetworkInterface(PCAPSnifferConfiguration& config, FILE* input = stdin,
                           FILE* output = stdout,
                           KvUtilsLib::Network::IDriverEnabled* driver = nullptr);

// The adapter question over an inventory's records, in their order: only records whose Type
// is 1 are offered, numbered from 0 among themselves.
int SelectNetworkInterfaceFrom(std::vector<KvUtilsLib::Network::Interface const*> const& adapters,
                               PCAPSnifferConfiguration& config, FILE* input = stdin,
                               FILE* output = stdout);

// Fills Filename; when the capture file it names already exists, asks before replacing it.
int SelectFilename(PCAPSnifferConfiguration& config, FILE* input = stdin, FILE* output = stdout);

// After a failed store: asks for another capture file name, a whole line (blanks included),
// with ".pcap" added when missing, and asks before replacing an existing file. Zero for an
// empty answer or the end of input.
int SelectAnotherFilename(std::string& captureName, FILE* input = stdin, FILE* output = stdout);

// Fills Mode with 1, 2 or 3.
int SelectMode(PCAPSnifferConfiguration& config, FILE* input = stdin, FILE* output = stdout);

// True when `path` can be opened for reading.
bool IsFileExists(char const* path);
