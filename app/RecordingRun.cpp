#include "app/RecordingRun.h"

#include <stdio_ext.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "ZrUtilsLib/Result.h"
#include "ZrUtilsLib/Thread.h"
#include "app/CommandLine.h"
#include "app/PCAPSniffer.h"
#include "app/PCAPSnifferConfiguration.h"
#include "app/Prompts.h"

using ZrUtilsLib::Result;
using ZrUtilsLib::Thread;

volatile std::sig_atomic_t sContinue = 1;

void Stop(int /*signal*/) {
    sContinue = 0;
}

namespace {

const char kSpinner[4] = {'|', '/', '-', '\\'};
constexpr unsigned long kSpinnerPeriodMs = 250;
// Signals that end a recording the way Ctrl+C does: a service stop, a closed terminal.
const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void Turn(unsigned int& spinnerIndex) {
    std::printf("%c\r", kSpinner[spinnerIndex]);
    std::fflush(stdout);
    spinnerIndex = (spinnerIndex + 1) % 4;
}

// The failure's reason, when the library gave one.
void PrintReason(const Result& result) {
    if (result.HasDescription() && result.GetDescription()[0] != '\0') {
        std::printf("%s\n", result.GetDescription());
    }
}

const char* DescriptionOf(const Result& result) {
    return result.HasDescription() ? result.GetDescription() : result.GetCodeString();
}

void Acquire(PCAPSniffer& sniffer, unsigned int& spinnerIndex) {
    for (const int signal : kStopSignals) {
        std::signal(signal, &Stop);
    }
    std::puts("");
    std::puts("<Press Ctrl+c to stop acquiring>");
    std::puts("");
    sContinue = 1;
    while (sniffer.IsRunning()) {
        Turn(spinnerIndex);
        Thread::Sleep(kSpinnerPeriodMs);
        if (sContinue == 0) {
            break;
        }
    }
    // From here a second Ctrl+C or a SIGTERM ends the program at once; a terminal that goes
    // away no longer matters, the file is written all the same.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGHUP, SIG_IGN);
}

void SayWhyTheRecordingEnded(PCAPSniffer& sniffer, const PCAPSnifferConfiguration& configuration) {
    if (sniffer.GetEndReason() == PCAPSniffer::EndReason::AdapterLost) {
        std::printf("The network adapter %s has disappeared: the recording ends\n",
                    configuration.AdapterName.c_str());
    }
}

// One store into `fileName`, with its spinner; the outcome.
Result StoreInto(PCAPSniffer& sniffer, const std::string& fileName, unsigned int& spinnerIndex) {
    PCAPWriter& writer = sniffer.GetWriter();
    writer.StartStore(fileName.c_str(), sniffer.GetMaximumPacketSize(), sniffer.GetRecordedQueue(),
                      sniffer.GetFreeQueue(), static_cast<uint32_t>(sniffer.GetLinkType()));
    std::puts("Store Start");
    while (writer.IsStoring()) {
        std::printf("Running");
        Turn(spinnerIndex);
        Thread::Sleep(kSpinnerPeriodMs);
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

// The recording stays in memory after a failed store: on a terminal, the operator may name
// another file, as often as it takes.
void Store(PCAPSniffer& sniffer, unsigned int& spinnerIndex) {
    Result stored = StoreInto(sniffer, sniffer.GetFilename(), spinnerIndex);
    const bool interactive = isatty(STDIN_FILENO) != 0;
    if (stored.IsFailure() && interactive) {
        ForgetTypedAhead();
    }
    while (stored.IsFailure() && interactive && !sniffer.GetRecordedQueue()->IsEmpty()) {
        std::puts("The recording is still in memory.");
        std::string fileName;
        if (SelectAnotherFilename(fileName) == 0) {
            break;
        }
        const Result prepared = sniffer.GetWriter().PrepareFile(fileName.c_str());
        if (prepared.IsFailure()) {
            std::printf("%s\n", DescriptionOf(prepared));
            continue;
        }
        stored = StoreInto(sniffer, fileName, spinnerIndex);
    }
}

}  // namespace

int RunRecording(int argc, char** argv) {
    Result result;
    PCAPSnifferConfiguration configuration;
    PCAPSniffer sniffer;
    bool flag = false;

    std::puts("");
    std::puts("Parse information from the command line...");
    if (Parse(argc, const_cast<char const**>(argv), configuration, flag) == 0) {
        return 0;
    }
    DumpConfiguration(configuration);
    if (geteuid() != 0) {
        std::printf("Root priviledges are required to run this application\n ");
        return 0;
    }
    // A capture file that cannot be written is refused before anything is recorded.
    std::string fileName;
    if (PCAPSniffer::MakeCaptureFileName(configuration.Filename, fileName)) {
        const Result prepared = sniffer.GetWriter().PrepareFile(fileName.c_str());
        if (prepared.IsFailure()) {
            std::printf("%s\n", DescriptionOf(prepared));
            return 0;
        }
    }

    std::puts("");
    std::puts("Open the driver...");
    result = sniffer.Open(&configuration);
    if (result.GetCode() != ZrUtilsLib::OK) {
        std::printf("Cannot configure the system\n ");
        PrintReason(result);
        return 0;
    }
    std::puts("Start packet acquisition...");
    result = sniffer.Start();
    if (result.GetCode() != ZrUtilsLib::OK) {
        std::printf("Cannot start the system\n ");
        PrintReason(result);
        return 0;
    }

    unsigned int spinnerIndex = 0;
    Acquire(sniffer, spinnerIndex);

    sniffer.Stop();
    std::puts("\r ");
    SayWhyTheRecordingEnded(sniffer, configuration);
    std::puts("Store the pcap trace into a file...");
    std::puts("");
    Store(sniffer, spinnerIndex);

    sniffer.Close();
    std::puts("Done!");
    std::fflush(stdout);
    return 0;
}
