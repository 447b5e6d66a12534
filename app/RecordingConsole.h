#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "app/RecordingCounters.h"

// Everything the recording run prints while it records and after it: the acquisition spinner
// (with the live progress when the output is a terminal), the store's spinner and the summary
// of what was kept and lost. One spinner turns through both waits.
class RecordingConsole {
public:
    // How the store ended, for the summary.
    enum class Outcome { Stored, NothingRecorded, NotStored };

    RecordingConsole(FILE* output, bool terminal);

    // Starts the elapsed time of the progress line.
    void StartAcquisition();
    // One turn of the acquisition spinner: "<c>\r", or on a terminal the progress line.
    void ShowAcquisition(const RecordingCounters& counters);
    // Wipes the spinner (and the progress line) off its line.
    void EndAcquisition();
    // One turn of the store's spinner: "Running<c>\r".
    void ShowStoring();
    // The closing account of the recording, before "Done!". `fileName` is the file written,
    // or the one that was not; `circular` adds the discarded packets.
    // `snapshots`: the snapshot files written, listed when there are any.
    void PrintSummary(const RecordingCounters& counters, Outcome outcome,
                      const std::string& fileName, bool fileExists, bool circular,
                      const std::vector<std::string>& snapshots = {});

    // The progress line's text without the spinner, e.g. "00:01:05  1520 packets  12.3 of
    // 40.0 MB  0 dropped".
    static std::string FormatProgress(const RecordingCounters& counters,
                                      std::chrono::seconds elapsed);

private:
    char NextSpinnerCharacter();

    FILE* mOutput;
    bool mTerminal;
    unsigned int mSpinnerIndex = 0;
    std::chrono::steady_clock::time_point mStart;
};
