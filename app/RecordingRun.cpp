#include "app/RecordingRun.h"

#include <stdio_ext.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "ZrUtilsLib/Result.h"
#include "ZrUtilsLib/Thread.h"
#include "app/CommandLine.h"
#include "app/PCAPSniffer.h"
#include "app/PCAPSnifferConfiguration.h"
#include "app/Prompts.h"
#include "app/RecordingConsole.h"

using ZrUtilsLib::Result;
using ZrUtilsLib::Thread;

volatile std::sig_atomic_t sContinue = 1;

void Stop(int /*signal*/) {
    sContinue = 0;
}

volatile std::sig_atomic_t sSnapshotRequests = 0;

void RequestSnapshot(int /*signal*/) {
    sSnapshotRequests = sSnapshotRequests + 1;
}

namespace {

constexpr unsigned long kSpinnerPeriodMs = 250;
// Signals that end a recording the way Ctrl+C does: a service stop, a closed terminal.
const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The failure's reason, when the library gave one.
void PrintReason(const Result& result) {
    if (result.HasDescription() && result.GetDescription()[0] != '\0') {
        std::printf("%s\n", result.GetDescription());
    }
}

const char* DescriptionOf(const Result& result) {
    return result.HasDescription() ? result.GetDescription() : result.GetCodeString();
}

int ExitStatusOf(ParseOutcome outcome) {
    switch (outcome) {
        case ParseOutcome::Finished:
            return kExitStored;
        case ParseOutcome::Refused:
            return kExitRefused;
        default:
            return kExitFailed;
    }
}

// stat, not an open: the file may be a FIFO, which an open for reading would wait on.
bool FileExists(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0;
}

// SIGUSR1 asks the sniffer for a snapshot of a circular recording.
void ForwardSnapshotRequests(PCAPSniffer& sniffer, const PCAPSnifferConfiguration& configuration,
                             std::sig_atomic_t& forwarded) {
    for (; forwarded != sSnapshotRequests; forwarded = forwarded + 1) {
        if (configuration.Mode == Circular) {
            sniffer.RequestSnapshot();
        } else {
            std::puts("Snapshots are taken in circular mode only");
        }
    }
}

void ReportSnapshots(PCAPSniffer& sniffer) {
    for (const SnapshotTaker::Report& report : sniffer.TakeSnapshotReports()) {
        if (report.stored) {
            std::printf("Snapshot stored in %s (%llu packets)\n", report.fileName.c_str(),
                        static_cast<unsigned long long>(report.packets));
        } else {
            std::printf("Snapshot %s was not stored: %s\n", report.fileName.c_str(),
                        report.reason.c_str());
        }
    }
}

// Why the acquisition loop ended, beyond what the sniffer knows.
enum class AcquisitionEnd { Stopped, Signalled, DurationElapsed };

AcquisitionEnd Acquire(PCAPSniffer& sniffer, const PCAPSnifferConfiguration& configuration,
                       RecordingConsole& console) {
    sContinue = 1;  // before the handlers: a stop signal from now on is never forgotten
    for (const int signal : kStopSignals) {
        std::signal(signal, &Stop);
    }
    std::puts("");
    std::puts("<Press Ctrl+c to stop acquiring>");
    std::puts("");
    console.StartAcquisition();
    const auto started = std::chrono::steady_clock::now();
    const auto duration = std::chrono::seconds(configuration.DurationSeconds);
    AcquisitionEnd end = AcquisitionEnd::Stopped;
    std::sig_atomic_t snapshotsForwarded = sSnapshotRequests;
    std::signal(SIGUSR1, &RequestSnapshot);
    while (sniffer.IsRunning()) {
        ForwardSnapshotRequests(sniffer, configuration, snapshotsForwarded);
        ReportSnapshots(sniffer);
        console.ShowAcquisition(sniffer.GetCounters());
        Thread::Sleep(kSpinnerPeriodMs);
        if (sContinue == 0) {
            end = AcquisitionEnd::Signalled;
            break;
        }
        if (configuration.DurationSeconds != 0 &&
            std::chrono::steady_clock::now() - started >= duration) {
            end = AcquisitionEnd::DurationElapsed;
            break;
        }
    }
    // From here a second Ctrl+C or a SIGTERM ends the program at once; a terminal that goes
    // away no longer matters, the file is written all the same.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGHUP, SIG_IGN);
    std::signal(SIGUSR1, SIG_IGN);
    // Requests of the last turn reach the sniffer, which reports them as not taken.
    ForwardSnapshotRequests(sniffer, configuration, snapshotsForwarded);
    return end;
}

void SayWhyTheRecordingEnded(PCAPSniffer& sniffer, const PCAPSnifferConfiguration& configuration,
                             AcquisitionEnd end) {
    if (end == AcquisitionEnd::DurationElapsed) {
        std::printf("The duration of %u seconds has elapsed: the recording ends\n",
                    configuration.DurationSeconds);
    } else if (sniffer.GetEndReason() == PCAPSniffer::EndReason::AdapterLost) {
        std::printf("The network adapter %s has disappeared: the recording ends\n",
                    configuration.AdapterName.c_str());
    }
}

// One store into `fileName`, with its spinner; the outcome.
Result StoreInto(PCAPSniffer& sniffer, const std::string& fileName, RecordingConsole& console) {
    PCAPWriter& writer = sniffer.GetWriter();
    writer.StartStore(fileName.c_str(), sniffer.GetMaximumPacketSize(), sniffer.GetRecordedQueue(),
                      sniffer.GetFreeQueue(), static_cast<uint32_t>(sniffer.GetLinkType()));
    std::puts("Store Start");
    // The wait ends as soon as the file is complete, not at the next turn of the spinner.
    while (writer.IsStoring()) {
        console.ShowStoring();
        writer.WaitForStoreEnd(kSpinnerPeriodMs);
    }
    std::puts("Store Done");
    writer.WaitForStoreCompletion();
    const Result stored = writer.GetStoreResult();
    if (stored.IsFailure()) {
        std::printf("The capture file was not stored: %s\n", DescriptionOf(stored));
    }
    std::puts("\r ");
    return stored;
}

// Answers typed while the program was busy recording are not answers to the next question.
void ForgetTypedAhead() {
    __fpurge(stdin);
    tcflush(STDIN_FILENO, TCIFLUSH);
}

// Stores the recording; after a failed store it stays in memory, and on a terminal the
// operator may name another file, as often as it takes. The name finally stored under, or the
// last one tried, is left in `fileName`.
Result Store(PCAPSniffer& sniffer, std::string& fileName, RecordingConsole& console) {
    Result stored = StoreInto(sniffer, fileName, console);
    const bool interactive = isatty(STDIN_FILENO) != 0;
    if (stored.IsFailure() && interactive) {
        ForgetTypedAhead();
    }
    while (stored.IsFailure() && interactive && !sniffer.GetRecordedQueue()->IsEmpty()) {
        std::puts("The recording is still in memory.");
        std::string another;
        if (SelectAnotherFilename(another) == 0) {
            break;
        }
        const Result prepared = sniffer.GetWriter().PrepareFile(another.c_str());
        if (prepared.IsFailure()) {
            std::printf("%s\n", DescriptionOf(prepared));
            continue;
        }
        fileName = another;
        stored = StoreInto(sniffer, fileName, console);
    }
    return stored;
}

// Records and stores; the exit status.
int Record(PCAPSniffer& sniffer, PCAPSnifferConfiguration& configuration) {
    Result result = sniffer.Open(&configuration);
    if (result.GetCode() != ZrUtilsLib::OK) {
        std::printf("Cannot configure the system\n ");
        PrintReason(result);
        return kExitFailed;
    }
    std::puts("Start packet acquisition...");
    result = sniffer.Start();
    if (result.GetCode() != ZrUtilsLib::OK) {
        std::printf("Cannot start the system\n ");
        PrintReason(result);
        return kExitFailed;
    }

    RecordingConsole console(stdout, isatty(STDOUT_FILENO) != 0);
    const AcquisitionEnd end = Acquire(sniffer, configuration, console);

    sniffer.Stop();
    console.EndAcquisition();
    ReportSnapshots(sniffer);
    SayWhyTheRecordingEnded(sniffer, configuration, end);
    std::puts("Store the pcap trace into a file...");
    std::puts("");
    std::string fileName = sniffer.GetFilename();
    const bool nothingRecorded = sniffer.GetRecordedQueue()->IsEmpty();
    const Result stored = Store(sniffer, fileName, console);

    RecordingCounters counters = sniffer.GetCounters();
    counters.stored = sniffer.GetWriter().GetStoredPacketCount();
    counters.storedBytes = sniffer.GetWriter().GetStoredByteCount();
    const RecordingConsole::Outcome outcome =
        nothingRecorded      ? RecordingConsole::Outcome::NothingRecorded
        : stored.IsFailure() ? RecordingConsole::Outcome::NotStored
                             : RecordingConsole::Outcome::Stored;
    console.PrintSummary(counters, outcome, fileName, FileExists(fileName),
                         configuration.Mode == Circular, sniffer.GetSnapshotFiles());
    sniffer.Close();
    std::puts("Done!");
    std::fflush(stdout);
    return stored.IsFailure() ? kExitFailed : kExitStored;
}

}  // namespace

int RunRecording(int argc, char** argv) {
    std::signal(SIGUSR1, SIG_IGN);  // a snapshot request before the recording runs is not an end
    // A console reader that goes away (a pipe into tee, an ssh session) must not end the program
    // before the store: writes to it fail instead.
    std::signal(SIGPIPE, SIG_IGN);
    PCAPSnifferConfiguration configuration;
    PCAPSniffer sniffer;

    std::puts("");
    std::puts("Parse information from the command line...");
    const ParseOutcome parsed =
        ParseCommandLine(argc, const_cast<char const**>(argv), configuration);
    if (parsed != ParseOutcome::Proceed) {
        return ExitStatusOf(parsed);
    }
    DumpConfiguration(configuration);
    if (geteuid() != 0) {
        std::printf("Root priviledges are required to run this application\n ");
        return kExitFailed;
    }
    // A capture file that cannot be written is refused before anything is recorded.
    std::string fileName;
    if (PCAPSniffer::MakeCaptureFileName(configuration.Filename, fileName)) {
        const Result prepared = sniffer.GetWriter().PrepareFile(fileName.c_str());
        if (prepared.IsFailure()) {
            std::printf("%s\n", DescriptionOf(prepared));
            return kExitFailed;
        }
    }

    std::puts("");
    std::puts("Open the driver...");
    const int status = Record(sniffer, configuration);
    std::fflush(stdout);
    return status;
}
