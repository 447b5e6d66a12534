#include "ChildProcess.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>

#if defined(__SANITIZE_THREAD__)
// A child ends with _exit, which skips the sanitizer's exit-time verdict: stop at the first
// report instead, so that the child's exit code carries it.
extern "C" const char* __tsan_default_options() {
    return "halt_on_error=1";
}
#endif

namespace LoggingTest {

namespace {

void WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t written = write(fd, data.data() + done, data.size() - done);
        if (written <= 0) {
            return;
        }
        done += static_cast<size_t>(written);
    }
}

// Records are "key length\nvalue\n", so values may hold any byte.
std::map<std::string, std::string> ParseReport(const std::string& data) {
    std::map<std::string, std::string> report;
    size_t position = 0;
    while (position < data.size()) {
        const size_t space = data.find(' ', position);
        const size_t newline = data.find('\n', space);
        if (space == std::string::npos || newline == std::string::npos) {
            break;
        }
        const std::string key = data.substr(position, space - position);
        const size_t length = std::strtoul(data.c_str() + space + 1, nullptr, 10);
        report[key] = data.substr(newline + 1, length);
        position = newline + 1 + length + 1;
    }
    return report;
}

[[noreturn]] void RunChildBody(const std::function<void(ChildReport&)>& body, int outputFd,
                               int reportFd) {
    dup2(outputFd, STDOUT_FILENO);
    close(outputFd);
    ChildReport report(reportFd);
    int code = 0;
    try {
        body(report);
    } catch (const std::exception& error) {
        report.Put("exception", error.what());
        code = 3;
    }
    std::fflush(stdout);
    _exit(code);
}

}  // namespace

void ChildReport::Put(const std::string& key, const std::string& value) {
    WriteAll(mFd, key + " " + std::to_string(value.size()) + "\n" + value + "\n");
}

long long ChildOutcome::GetNumber(const std::string& key) const {
    auto found = report.find(key);
    return found != report.end() ? std::strtoll(found->second.c_str(), nullptr, 10) : -999999;
}

ChildOutcome RunInChild(const std::function<void(ChildReport&)>& body,
                        unsigned int timeoutMilliseconds) {
    ChildOutcome outcome;
    int outputPipe[2];
    int reportPipe[2];
    if (pipe(outputPipe) != 0 || pipe(reportPipe) != 0) {
        return outcome;
    }
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        close(outputPipe[0]);
        close(reportPipe[0]);
        RunChildBody(body, outputPipe[1], reportPipe[1]);
    }
    close(outputPipe[1]);
    close(reportPipe[1]);

    std::string reportData;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    pollfd fds[2] = {{outputPipe[0], POLLIN, 0}, {reportPipe[0], POLLIN, 0}};
    int open = 2;
    while (open > 0 && child > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            outcome.timedOut = true;
            kill(child, SIGKILL);
            break;
        }
        if (poll(fds, 2, static_cast<int>(left.count())) < 0) {
            continue;
        }
        for (pollfd& entry : fds) {
            if (entry.fd < 0 || entry.revents == 0) {
                continue;
            }
            char buffer[65536];
            const ssize_t got = read(entry.fd, buffer, sizeof(buffer));
            if (got <= 0) {
                close(entry.fd);
                entry.fd = -1;
                --open;
                continue;
            }
            std::string& target = entry.fd == outputPipe[0] ? outcome.output : reportData;
            target.append(buffer, static_cast<size_t>(got));
        }
    }
    for (pollfd& entry : fds) {
        if (entry.fd >= 0) {
            close(entry.fd);
        }
    }
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child) {
        if (WIFEXITED(status)) {
            outcome.exitCode = WEXITSTATUS(status);
        } else if (WIFSIGNALED(status)) {
            outcome.termSignal = WTERMSIG(status);
        }
    }
    outcome.report = ParseReport(reportData);
    return outcome;
}

}  // namespace LoggingTest
