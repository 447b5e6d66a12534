#include "ZrUtilsLib/SuspendSignal.h"

#include <cstring>

namespace ZrUtilsLib {

volatile std::sig_atomic_t gLastSignal = 0;

const int SuspendSignal::kSignals[SuspendSignal::kSignalCount] = {SIGINT, SIGABRT, SIGHUP, SIGQUIT,
                                                                  SIGTERM};

SuspendSignal::SuspendSignal() : mEnabled(false), mSuspended(false) {
    std::memset(mPrevious, 0, sizeof(mPrevious));
}

SuspendSignal::~SuspendSignal() {
    Restore();
}

void SuspendSignal::SignalHandler(int signal) {
    gLastSignal = signal;
}

void SuspendSignal::Suspend() {
    if (!mEnabled || mSuspended) {
        return;
    }
    struct sigaction deferring;
    std::memset(&deferring, 0, sizeof(deferring));
    deferring.sa_handler = &SuspendSignal::SignalHandler;
    sigemptyset(&deferring.sa_mask);
    for (int i = 0; i < kSignalCount; ++i) {
        sigaction(kSignals[i], &deferring, &mPrevious[i]);
    }
    mSuspended = true;
}

void SuspendSignal::Restore() {
    if (!mSuspended) {
        return;
    }
    for (int i = 0; i < kSignalCount; ++i) {
        // A disposition installed by someone else during the section (the application's own
        // handler, set while a log line was being written) is theirs to keep.
        struct sigaction current;
        sigaction(kSignals[i], nullptr, &current);
        if ((current.sa_flags & SA_SIGINFO) == 0 &&
            current.sa_handler == &SuspendSignal::SignalHandler) {
            sigaction(kSignals[i], &mPrevious[i], nullptr);
        }
    }
    mSuspended = false;
    const int pending = gLastSignal;
    if (pending != 0) {
        gLastSignal = 0;
        raise(pending);
    }
}

}  // namespace ZrUtilsLib
