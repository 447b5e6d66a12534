#include "ZrUtilsLib/SuspendSignal.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

using ZrUtilsLib::SuspendSignal;

namespace {

volatile std::sig_atomic_t sSignal = 0;
volatile std::sig_atomic_t sCount = 0;
void ApplicationHandler(int signal) {
    sSignal = signal;
    ++sCount;
}

bool HandlerIs(int signal, void (*handler)(int)) {
    struct sigaction current;
    sigaction(signal, nullptr, &current);
    return current.sa_handler == handler;
}

}  // namespace

// In a child (signal state is process-wide), which writes its failed checks to a pipe and ends
// with the SIGTERM held back last. Each check reads a disposition first: under ThreadSanitizer a
// raised signal arrives at the next intercepted call.
TEST(SuspendSignalTest, HeldBackSignalsReachTheDispositionInForceAtRestore) {
    int progress[2];
    ASSERT_EQ(pipe(progress), 0);
    const pid_t child = fork();
    if (child == 0) {
        const auto check = [&](int step, bool passed) {
            if (!passed) {
                dprintf(progress[1], "check %d failed; ", step);
            }
        };
        std::signal(SIGINT, ApplicationHandler);
        SuspendSignal guard;
        guard.Suspend();  // not enabled: changes nothing
        check(1, HandlerIs(SIGINT, ApplicationHandler));
        guard.mEnabled = true;
        guard.Suspend();
        raise(SIGINT);
        check(2, sCount == 0);
        guard.Restore();
        check(3, HandlerIs(SIGINT, ApplicationHandler) && sSignal == SIGINT && sCount == 1);
        // Only the last of two held-back signals is raised.
        std::signal(SIGHUP, ApplicationHandler);
        guard.Suspend();
        raise(SIGHUP);
        raise(SIGINT);
        guard.Restore();
        check(4, HandlerIs(SIGHUP, ApplicationHandler) && sSignal == SIGINT && sCount == 2 &&
                     ZrUtilsLib::gLastSignal == 0);
        // A handler installed during the section (the recorder's Ctrl+C handler, set while a log
        // line is written) is kept, and a signal held back meanwhile goes to it.
        std::signal(SIGTERM, SIG_DFL);
        guard.Suspend();
        raise(SIGTERM);
        std::signal(SIGTERM, ApplicationHandler);
        guard.Restore();
        check(5, HandlerIs(SIGTERM, ApplicationHandler) && sSignal == SIGTERM && sCount == 3);
        // With the default disposition back, the held-back signal ends the process at Restore.
        std::signal(SIGTERM, SIG_DFL);
        guard.Suspend();
        raise(SIGTERM);
        dprintf(progress[1], "alive");
        guard.Restore();
        _exit(0);
    }
    close(progress[1]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    char text[256] = {};
    EXPECT_GE(read(progress[0], text, sizeof(text) - 1), 0);
    close(progress[0]);
    EXPECT_STREQ(text, "alive");
}
