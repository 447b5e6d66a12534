#include "app/RecordingConsole.h"

#include "ZrUtilsLib/Utilities.h"

namespace {

const char kSpinner[4] = {'|', '/', '-', '\\'};
// Erases from the cursor to the end of the line, so a shorter line leaves nothing behind.
constexpr const char* kEraseToEndOfLine = "\033[K";
constexpr double kBytesPerMegabyte = 1000000.0;

unsigned long long Count(uint64_t value) {
    return static_cast<unsigned long long>(value);
}

}  // namespace

RecordingConsole::RecordingConsole(FILE* output, bool terminal)
    : mOutput(output), mTerminal(terminal), mStart(std::chrono::steady_clock::now()) {}

char RecordingConsole::NextSpinnerCharacter() {
    const char character = kSpinner[mSpinnerIndex];
    mSpinnerIndex = (mSpinnerIndex + 1) % 4;
    return character;
}

void RecordingConsole::StartAcquisition() {
    mStart = std::chrono::steady_clock::now();
}

std::string RecordingConsole::FormatProgress(const RecordingCounters& counters,
                                             std::chrono::seconds elapsed) {
    const long long seconds = elapsed.count();
    char text[160];
    std::snprintf(text, sizeof(text),
                  "%02lld:%02lld:%02lld  %llu packets  %.1f of %.1f MB  %llu dropped",
                  seconds / 3600, seconds / 60 % 60, seconds % 60, Count(counters.recorded),
                  static_cast<double>(counters.bytesHeld) / kBytesPerMegabyte,
                  static_cast<double>(counters.bytesLimit) / kBytesPerMegabyte,
                  Count(counters.kernelDropped + counters.recorderDropped));
    return text;
}

void RecordingConsole::ShowAcquisition(const RecordingCounters& counters) {
    const char spinner = NextSpinnerCharacter();
    if (mTerminal) {
        const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(
            std::chrono::steady_clock::now() - mStart);
        std::string line = std::string(1, spinner) + " " + FormatProgress(counters, elapsed);
        // A line that wrapped would not be redrawn by the carriage return: it is cut to fit.
        const unsigned int columns = ZrUtilsLib::GetTerminalColumns(fileno(mOutput));
        if (columns > 1 && line.size() >= columns) {
            line.resize(columns - 1);
        }
        std::fprintf(mOutput, "%s%s\r", line.c_str(), kEraseToEndOfLine);
    } else {
        std::fprintf(mOutput, "%c\r", spinner);
    }
    std::fflush(mOutput);
}

void RecordingConsole::EndAcquisition() {
    if (mTerminal) {
        std::fprintf(mOutput, "\r%s", kEraseToEndOfLine);
    }
    std::fputs("\r \n", mOutput);
}

void RecordingConsole::ShowStoring() {
    std::fprintf(mOutput, "Running%c\r", NextSpinnerCharacter());
    std::fflush(mOutput);
}

void RecordingConsole::PrintSummary(const RecordingCounters& counters, Outcome outcome,
                                    const std::string& fileName, bool fileExists, bool circular,
                                    const std::vector<std::string>& snapshots) {
    std::fputs("Summary: ", mOutput);
    switch (outcome) {
        case Outcome::Stored:
            std::fprintf(mOutput, "%llu packets stored in %s (%llu bytes)", Count(counters.stored),
                         fileName.c_str(), Count(counters.storedBytes));
            break;
        case Outcome::NothingRecorded:
        case Outcome::NotStored:
            if (outcome == Outcome::NothingRecorded) {
                std::fputs("no packet was recorded, no file was written", mOutput);
            } else {
                std::fprintf(mOutput, "%llu packets recorded were not stored, no file was written",
                             Count(counters.recorded - counters.discarded));
            }
            if (fileExists) {
                std::fprintf(mOutput, " and the existing file %s was left as it was",
                             fileName.c_str());
            }
            break;
    }
    std::fprintf(mOutput, "; dropped: %llu by the kernel, %llu by the recorder",
                 Count(counters.kernelDropped), Count(counters.recorderDropped));
    if (circular) {
        std::fprintf(mOutput, "; discarded as the oldest: %llu", Count(counters.discarded));
    }
    for (size_t index = 0; index < snapshots.size(); ++index) {
        std::fprintf(mOutput, "%s%s", index == 0 ? "; snapshots: " : ", ",
                     snapshots[index].c_str());
    }
    std::fputc('\n', mOutput);
}
