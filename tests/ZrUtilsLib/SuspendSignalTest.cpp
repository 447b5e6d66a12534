#include "ZrUtilsLib/SuspendSignal.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <functional>

using ZrUtilsLib::SuspendSignal;

namespace {

volatile std::sig_atomic_t sApplicationSignal = 0;
void ApplicationHandler(int signal) {
    sApplicationSignal = signal;
}

// Runs `body` in a child process and returns its wait status: signal state is process-wide.
int InChild(const std::function<int()>& body) {
    const pid_t child = fork();
    if (child == 0) {
        _exit(body());
    }
    int status = 0;
    waitpid(child, &status, 0);
    return status;
}

}  // namespace

TEST(SuspendSignalTest, DisabledChangesNothing) {
    const int status = InChild([] {
        std::signal(SIGTERM, ApplicationHandler);
        SuspendSignal guard;
        guard.Suspend();
        struct sigaction current;
        sigaction(SIGTERM, nullptr, &current);
        guard.Restore();
        return current.sa_handler == ApplicationHandler ? 0 : 1;
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(SuspendSignalTest, ApplicationHandlerSurvivesAndGetsTheDeferredSignal) {
    const int status = InChild([] {
        std::signal(SIGINT, ApplicationHandler);
        SuspendSignal guard;
        guard.mEnabled = true;
        guard.Suspend();
        raise(SIGINT);
        if (sApplicationSignal != 0) {
            return 2;  // delivered during the critical section
        }
        guard.Restore();
        struct sigaction current;
        sigaction(SIGINT, nullptr, &current);
        if (current.sa_handler != ApplicationHandler) {
            return 3;
        }
        if (sApplicationSignal != SIGINT) {
            return 4;
        }
        // A second round still works: the handler is in place for later signals too.
        sApplicationSignal = 0;
        raise(SIGINT);
        return sApplicationSignal == SIGINT ? 0 : 5;
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(SuspendSignalTest, DefaultDispositionEndsTheProcessOnlyAtRestore) {
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const int status = InChild([&] {
        std::signal(SIGTERM, SIG_DFL);
        SuspendSignal guard;
        guard.mEnabled = true;
        guard.Suspend();
        raise(SIGTERM);
        (void)!write(pipeFds[1], "alive", 5);  // still running inside the section
        guard.Restore();
        return 0;  // not reached: SIGTERM's default action ends the process
    });
    char buffer[8] = {};
    close(pipeFds[1]);
    EXPECT_EQ(read(pipeFds[0], buffer, sizeof(buffer)), 5);
    close(pipeFds[0]);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

TEST(SuspendSignalTest, OnlyTheLastOfTwoSignalsIsRaised) {
    const int status = InChild([] {
        std::signal(SIGHUP, ApplicationHandler);
        std::signal(SIGTERM, ApplicationHandler);
        SuspendSignal guard;
        guard.mEnabled = true;
        guard.Suspend();
        raise(SIGHUP);
        raise(SIGTERM);
        guard.Restore();
        return sApplicationSignal == SIGTERM && ZrUtilsLib::gLastSignal == 0 ? 0 : 1;
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// The recorder installs its Ctrl+C handler while the log thread may be inside a write: the
// handler must outlive the end of that write, and a signal held back meanwhile reaches it.
TEST(SuspendSignalTest, HandlerInstalledDuringTheSectionIsKept) {
    const int status = InChild([] {
        std::signal(SIGINT, SIG_DFL);
        SuspendSignal guard;
        guard.mEnabled = true;
        guard.Suspend();
        std::signal(SIGINT, ApplicationHandler);
        guard.Restore();
        struct sigaction current;
        sigaction(SIGINT, nullptr, &current);
        if (current.sa_handler != ApplicationHandler) {
            return 1;
        }
        raise(SIGINT);  // with the default disposition back, this would end the process
        if (sApplicationSignal != SIGINT) {
            return 2;
        }
        // Held back, then a handler installed: the signal goes to that handler at Restore.
        sApplicationSignal = 0;
        std::signal(SIGTERM, SIG_DFL);
        guard.Suspend();
        raise(SIGTERM);
        std::signal(SIGTERM, ApplicationHandler);
        raise(SIGTERM);
        guard.Restore();
        return sApplicationSignal == SIGTERM ? 0 : 3;
    });
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
