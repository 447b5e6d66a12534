#include "app/Prompts.h"

#include <sys/stat.h>

#include <cctype>
#include <climits>
#include <cstring>
#include <string>

#include "KvTransportLayerLib/Network/LinkEnabled.h"
#include "KvUtilsLib/Network/Interface.h"
#include "KvUtilsLib/Network/System.h"

namespace {

using KvUtilsLib::Network::Interface;

constexpr char const* MARKER = "? > ";
constexpr char const* PCAP_ENDING = ".pcap";
constexpr size_t PCAP_ENDING_LENGTH = 5;
constexpr size_t MAX_FILENAME = PCAPSnifferConfiguration::FILENAME_SIZE - 1;
// Longer than any accepted yes/no answer, so a longer word is simply not one of them.
constexpr size_t MAX_CONFIRMATION = 16;

enum class WordStatus { Read, TooLong, EndOfInput };

void PrintLine(FILE* out, char const* text) {
    std::fputs(text, out);
    std::fputc('\n', out);
}

void PrintEmptyLine(FILE* out) {
    std::fputc('\n', out);
}

// The answer is typed right after the marker, so it must be on screen before the read.
void PrintMarker(FILE* out) {
    std::fputs(MARKER, out);
    std::fflush(out);
}

bool IsBlank(int c) {
    return c != EOF && std::isspace(c) != 0;
}

int SkipBlanks(FILE* in) {
    int c = std::getc(in);
    while (IsBlank(c)) {
        c = std::getc(in);
    }
    return c;
}

// One word, as "%s" reads it: blanks and line ends before it are skipped, and it ends at the
// next blank. A word longer than `maxLength` is read to its end and reported, never split.
WordStatus ReadWord(FILE* in, size_t maxLength, std::string& word) {
    word.clear();
    int c = SkipBlanks(in);
    if (c == EOF) {
        return WordStatus::EndOfInput;
    }
    bool tooLong = false;
    for (; c != EOF && !IsBlank(c); c = std::getc(in)) {
        if (word.size() < maxLength) {
            word.push_back(static_cast<char>(c));
        } else {
            tooLong = true;
        }
    }
    if (c != EOF) {
        std::ungetc(c, in);
    }
    return tooLong ? WordStatus::TooLong : WordStatus::Read;
}

// One decimal number, as "%d" reads it; false at the end of input or when the next word does
// not start with a number. A number beyond the range of int is held at the nearest bound, so
// it counts as out of range rather than wrapping into a valid choice.
bool ReadNumber(FILE* in, int& value) {
    int c = SkipBlanks(in);
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        c = std::getc(in);
    }
    if (c == EOF || !std::isdigit(c)) {
        if (c != EOF) {
            std::ungetc(c, in);
        }
        return false;
    }
    long long magnitude = 0;
    for (; c != EOF && std::isdigit(c); c = std::getc(in)) {
        if (magnitude <= static_cast<long long>(INT_MAX) + 1) {
            magnitude = magnitude * 10 + (c - '0');
        }
    }
    if (c != EOF) {
        std::ungetc(c, in);
    }
    long long const signedValue = negative ? -magnitude : magnitude;
    value = static_cast<int>(signedValue > INT_MAX   ? INT_MAX
                             : signedValue < INT_MIN ? INT_MIN
                                                     : signedValue);
    return true;
}

bool EndsWithPcap(std::string const& name) {
    return name.size() >= PCAP_ENDING_LENGTH &&
           name.compare(name.size() - PCAP_ENDING_LENGTH, PCAP_ENDING_LENGTH, PCAP_ENDING) == 0;
}

// The name the capture is written under: ".pcap" is added when missing.
std::string CaptureFileName(std::string const& typed) {
    return EndsWithPcap(typed) ? typed : typed + PCAP_ENDING;
}

enum class Confirmation { Yes, No, EndOfInput };

void PrintOverwriteQuestion(std::string const& captureName, FILE* out) {
    std::fprintf(out,
                 "The file %s already exists. Do you want to overwrite it? [ Yes / No ( Default ) "
                 "]\n",
                 captureName.c_str());
}

Confirmation AskOverwrite(std::string const& captureName, FILE* in, FILE* out) {
    static char const* const YES[] = {"YES", "yes", "Yes", "y", "Y"};
    static char const* const NO[] = {"NO", "no", "No", "n", "N"};
    PrintOverwriteQuestion(captureName, out);
    for (;;) {
        PrintMarker(out);
        std::string answer;
        WordStatus const status = ReadWord(in, MAX_CONFIRMATION, answer);
        if (status == WordStatus::EndOfInput) {
            return Confirmation::EndOfInput;
        }
        if (status == WordStatus::Read) {
            for (char const* yes : YES) {
                if (answer == yes) {
                    return Confirmation::Yes;
                }
            }
            for (char const* no : NO) {
                if (answer == no) {
                    return Confirmation::No;
                }
            }
        }
        PrintOverwriteQuestion(captureName, out);
    }
}

void PrintFilenameTooLong(FILE* out) {
    std::fprintf(out,
                 "The filename is too long (at most %zu characters, the .pcap ending included)\n",
                 MAX_FILENAME);
}

// Yes for a name that names no file yet, else the operator's answer to the overwrite question.
Confirmation ConfirmCaptureName(std::string const& captureName, FILE* in, FILE* out) {
    return IsFileExists(captureName.c_str()) ? AskOverwrite(captureName, in, out)
                                             : Confirmation::Yes;
}

// Asks until a name is typed that fits Filename together with its ".pcap" ending.
bool AskFilename(FILE* in, FILE* out, std::string& name) {
    for (;;) {
        PrintLine(out, "Enter the filename to record the pcap file");
        PrintMarker(out);
        WordStatus const status = ReadWord(in, MAX_FILENAME, name);
        if (status == WordStatus::EndOfInput) {
            return false;
        }
        if (status == WordStatus::Read && CaptureFileName(name).size() <= MAX_FILENAME) {
            return true;
        }
        PrintFilenameTooLong(out);
    }
}

// The rest of the line, without its line end and surrounding blanks; false at the end of input.
bool ReadLine(FILE* in, size_t maxLength, std::string& line, bool& tooLong) {
    line.clear();
    tooLong = false;
    int c = std::getc(in);
    if (c == EOF) {
        return false;
    }
    for (; c != EOF && c != '\n'; c = std::getc(in)) {
        if (line.size() < maxLength) {
            line.push_back(static_cast<char>(c));
        } else {
            tooLong = true;
        }
    }
    const size_t first = line.find_first_not_of(" \t\r");
    const size_t last = line.find_last_not_of(" \t\r");
    line = first == std::string::npos ? std::string() : line.substr(first, last - first + 1);
    return true;
}

}  // namespace

int SelectAnotherFilename(std::string& captureName, FILE* input, FILE* output) {
    for (;;) {
        PrintLine(output, "Enter another filename to store the recording (nothing to give up)");
        PrintMarker(output);
        std::string name;
        bool tooLong = false;
        if (!ReadLine(input, MAX_FILENAME, name, tooLong)) {
            PrintLine(output, "");  // the input ended: the next line starts on a line of its own
            return 0;
        }
        if (name.empty() && !tooLong) {
            return 0;
        }
        captureName = CaptureFileName(name);
        if (tooLong || captureName.size() > MAX_FILENAME) {
            PrintFilenameTooLong(output);
            continue;
        }
        switch (ConfirmCaptureName(captureName, input, output)) {
            case Confirmation::Yes:
                return 1;
            case Confirmation::No:
                break;
            case Confirmation::EndOfInput:
                PrintLine(output, "");
                return 0;
        }
        // The overwrite answer leaves the rest of its line unread.
        std::string rest;
        ReadLine(input, MAX_FILENAME, rest, tooLong);
    }
}

int SelectNetworkInterface(PCAPSnifferConfiguration& config, FILE* input, FILE* output,
                           KvUtilsLib::Network::IDriverEnabled* driver) {
    KvTransportLayerLib::Network::LinkEnabled probe;
    KvUtilsLib::Network::System inventory(driver != nullptr ? driver : &probe);
    std::vector<Interface const*> adapters;
    for (unsigned int i = 0; i < inventory.GetInterfaceCount(); ++i) {
        adapters.push_back(inventory.GetInterface(i));
    }
    return SelectNetworkInterfaceFrom(adapters, config, input, output);
}

int SelectNetworkInterfaceFrom(std::vector<Interface const*> const& adapters,
                               PCAPSnifferConfiguration& config, FILE* input, FILE* output) {
    std::vector<Interface const*> offered;
    for (Interface const* adapter : adapters) {
        if (adapter->GetType() == KvUtilsLib::Network::InterfaceTypeDriverEnabled) {
            offered.push_back(adapter);
        }
    }
    PrintEmptyLine(output);
    PrintLine(output, "The network adapter was not selected...");
    PrintEmptyLine(output);
    PrintLine(output, "The following list of network adapter can be used.");
    for (size_t i = 0; i < offered.size(); ++i) {
        std::fprintf(output, "( %d ) %s - %s\n", static_cast<int>(i), offered[i]->GetName().c_str(),
                     offered[i]->GetDescription().c_str());
    }
    PrintEmptyLine(output);
    if (offered.empty()) {
        PrintLine(output, "No Kova Velox driver installed");
        PrintEmptyLine(output);
        return 0;
    }
    if (offered.size() == 1) {
        config.AdapterName = offered[0]->GetName();
        PrintLine(output, "? > <Automatically select the only network adapter available>");
        PrintEmptyLine(output);
        return 1;
    }
    for (;;) {
        PrintLine(output,
                  "Select the network adapter using the associated number. [ Default = 0 ]");
        PrintMarker(output);
        int choice = 0;
        if (!ReadNumber(input, choice)) {
            return 0;
        }
        if (choice >= 0 && static_cast<size_t>(choice) < offered.size()) {
            config.AdapterName = offered[choice]->GetName();
            return 1;
        }
    }
}

int SelectFilename(PCAPSnifferConfiguration& config, FILE* input, FILE* output) {
    PrintEmptyLine(output);
    for (;;) {
        std::string name;
        if (!AskFilename(input, output, name)) {
            return 0;
        }
        std::memcpy(config.Filename, name.c_str(), name.size() + 1);
        switch (ConfirmCaptureName(CaptureFileName(name), input, output)) {
            case Confirmation::Yes:
                return 1;
            case Confirmation::No:
                config.Filename[0] = '\0';
                break;
            case Confirmation::EndOfInput:
                return 0;
        }
    }
}

int SelectMode(PCAPSnifferConfiguration& config, FILE* input, FILE* output) {
    PrintEmptyLine(output);
    PrintLine(output, "Recording mode");
    PrintEmptyLine(output);
    std::fprintf(output, "1) %s\n", "fixednumberofpackets");
    std::fprintf(output, "2) %s\n", "continuous");
    std::fprintf(output, "3) %s\n", "circular");
    PrintEmptyLine(output);
    for (;;) {
        config.Mode = None;
        PrintLine(output, "Select the mode by entering the associated number");
        PrintMarker(output);
        int choice = 0;
        if (!ReadNumber(input, choice)) {
            return 0;
        }
        if (choice >= static_cast<int>(FixedNumberOfPackets) &&
            choice <= static_cast<int>(Circular)) {
            config.Mode = static_cast<uint32_t>(choice);
            return 1;
        }
    }
}

bool IsFileExists(char const* path) {
    // A FIFO or a device exists too; opening it to find out could wait for a writer forever.
    struct stat status;
    if (stat(path, &status) == 0 && !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode)) {
        return true;
    }
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        return false;
    }
    std::fclose(file);
    return true;
}
