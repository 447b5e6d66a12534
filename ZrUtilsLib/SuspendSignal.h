#pragma once

#include <csignal>

namespace ZrUtilsLib {

// Number of the last termination signal held back by a SuspendSignal, 0 when none.
extern volatile std::sig_atomic_t gLastSignal;

// Holds back SIGINT, SIGABRT, SIGHUP, SIGQUIT and SIGTERM over a short critical section and
// delivers the last one that arrived when the section ends. The dispositions in place before
// Suspend are put back by Restore, so an application's own handlers survive; a disposition
// that another thread installs during the section is kept.
class SuspendSignal {
public:
    static constexpr int kSignalCount = 5;
    static const int kSignals[kSignalCount];

    SuspendSignal();
    virtual ~SuspendSignal();
    SuspendSignal(const SuspendSignal&) = delete;
    SuspendSignal& operator=(const SuspendSignal&) = delete;

    void Suspend();
    void Restore();
    static void SignalHandler(int signal);

    // Set by the owner once the resource the section protects exists.
    bool mEnabled;

private:
    bool mSuspended;
    struct sigaction mPrevious[kSignalCount];
};

}  // namespace ZrUtilsLib
