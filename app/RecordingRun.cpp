#include "app/RecordingRun.h"

#include <unistd.h>

#include <cstdio>

#include "ZrUtilsLib/Result.h"
#include "ZrUtilsLib/Thread.h"
#include "app/CommandLine.h"
#include "app/PCAPSniffer.h"
#include "app/PCAPSnifferConfiguration.h"

using ZrUtilsLib::Result;
using ZrUtilsLib::Thread;

volatile std::sig_atomic_t sContinue = 1;

void Stop(int /*signal*/) {
    sContinue = 0;
}

namespace {

const char kSpinner[4] = {'|', '/', '-', '\\'};
constexpr unsigned long kSpinnerPeriodMs = 250;

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

void Acquire(PCAPSniffer& sniffer, unsigned int& spinnerIndex) {
    std::signal(SIGINT, &Stop);
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
    std::signal(SIGINT, SIG_DFL);
}

void Store(PCAPSniffer& sniffer, unsigned int& spinnerIndex) {
    PCAPWriter& writer = sniffer.GetWriter();
    writer.StartStore(sniffer.GetFilename(), sniffer.GetMaximumPacketSize(),
                      sniffer.GetRecordedQueue(), sniffer.GetFreeQueue());
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
        std::printf("The capture file was not stored completely: %s\n",
                    stored.HasDescription() ? stored.GetDescription() : stored.GetCodeString());
    }
    std::puts("\r ");
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
    std::puts("Store the pcap trace into a file...");
    std::puts("");
    Store(sniffer, spinnerIndex);

    sniffer.Close();
    std::puts("Done!");
    std::fflush(stdout);
    return 0;
}
