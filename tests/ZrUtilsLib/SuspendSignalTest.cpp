#include "ZrUtilsLib/SuspendSignal.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

namespace {

volatile std::sig_atomic_t sSignal = 0, sCount = 0;
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

// In a child, as signal state is process-wide. Each check reads a disposition first: under
// ThreadSanitizer a raised signal arrives at the next intercepted call.
TEST(SuspendSignalTest, HeldBackSignalsReachTheDispositionInForceAtRestore) {
    int progress[2];
    ASSERT_EQ(pipe(progress), 0);
    const pid_t child = fork();
    if (child == 0) {
        std::signal(SIGINT, ApplicationHandler);
        std::signal(SIGHUP, ApplicationHandler);
        ZrUtilsLib::SuspendSignal guard;
        guard.mEnabled = true;
        guard.Suspend();
        raise(SIGHUP);
        raise(SIGINT);
        dprintf(progress[1], "%d", !HandlerIs(SIGINT, ApplicationHandler) && sCount == 0);
        guard.Restore();  // only the last of the two is raised
        dprintf(progress[1], "%d",
                HandlerIs(SIGINT, ApplicationHandler) && HandlerIs(SIGHUP, ApplicationHandler) &&
                    sSignal == SIGINT && sCount == 1 && ZrUtilsLib::gLastSignal == 0);
        // A handler installed meanwhile (the recorder's Ctrl+C one) is kept and gets the signal.
        std::signal(SIGTERM, SIG_DFL);
        guard.Suspend();
        raise(SIGTERM);
        std::signal(SIGTERM, ApplicationHandler);
        guard.Restore();
        dprintf(progress[1], "%d", HandlerIs(SIGTERM, ApplicationHandler) && sCount == 2);
        std::signal(SIGTERM, SIG_DFL);  // back to the default: Restore ends the process
        guard.Suspend();
        raise(SIGTERM);
        dprintf(progress[1], " alive");
        guard.Restore();
        _exit(0);
    }
    close(progress[1]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    char text[64] = {};
    EXPECT_GE(read(progress[0], text, sizeof(text) - 1), 0);
    close(progress[0]);
    EXPECT_STREQ(text, "111 alive");
}
