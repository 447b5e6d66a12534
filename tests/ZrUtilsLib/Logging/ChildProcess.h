#pragma once

#include <functional>
#include <map>
#include <string>

namespace LoggingTest {

// The observations a child process hands back to the test, as key/value pairs.
class ChildReport {
public:
    explicit ChildReport(int fd) : mFd(fd) {}

    void Put(const std::string& key, const std::string& value);
    void Put(const std::string& key, long long value) { Put(key, std::to_string(value)); }
    // The child could not set up what the test needs (for example a namespace).
    void Skip(const std::string& reason) { Put("skip", reason); }

private:
    int mFd;
};

struct ChildOutcome {
    bool timedOut = false;
    // The child's exit code, or -1 when it did not exit normally.
    int exitCode = -1;
    int termSignal = 0;
    std::string output;
    std::map<std::string, std::string> report;

    bool Has(const std::string& key) const { return report.count(key) != 0; }
    std::string Get(const std::string& key) const {
        auto found = report.find(key);
        return found != report.end() ? found->second : std::string("<missing " + key + ">");
    }
    long long GetNumber(const std::string& key) const;
};

// Runs `body` in a forked child process with its standard output captured: the log server
// exists once per process, so every configuration gets a process of its own. The child ends
// with _exit(0) after `body` returns (standard output flushed); it is killed after
// `timeoutMilliseconds`.
ChildOutcome RunInChild(const std::function<void(ChildReport&)>& body,
                        unsigned int timeoutMilliseconds = 60000);

}  // namespace LoggingTest

// Ends the test as skipped when the child could not set up its environment.
#define SKIP_IF_CHILD_SKIPPED(outcome)             \
    do {                                           \
        if ((outcome).Has("skip")) {               \
            GTEST_SKIP() << (outcome).Get("skip"); \
        }                                          \
    } while (0)

#define EXPECT_CHILD_OK(outcome)                                                      \
    do {                                                                              \
        ASSERT_FALSE((outcome).timedOut) << "child timed out";                        \
        ASSERT_EQ((outcome).exitCode, 0)                                              \
            << "child signal " << (outcome).termSignal << (outcome).Get("exception"); \
    } while (0)
