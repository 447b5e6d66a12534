// Threads, locks and timed waits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "ZrUtilsLib/LogSink.h"
#include "ZrUtilsLib/Mutex.h"
#include "ZrUtilsLib/PUnix/Deadline.h"
#include "ZrUtilsLib/Semaphore.h"
#include "ZrUtilsLib/Thread.h"

using namespace ZrUtilsLib;
using Clock = std::chrono::steady_clock;

namespace {

long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string UniqueName(const char* base) {
    return std::string("/") + base + std::to_string(getpid()) + "_" +
           std::to_string(Clock::now().time_since_epoch().count());
}

// A worker whose body is given by the test.
class TestThread : public Thread {
public:
    explicit TestThread(std::function<Result(TestThread&)> body)
        : Thread("worker", Thread::InternalPriorityTimeSharing, true), mBody(std::move(body)) {}
    ~TestThread() override {
        StopThread();
        WaitUntilSignaled();
    }
    using Thread::IsStopping;

protected:
    Result Run() override { return mBody(*this); }

private:
    std::function<Result(TestThread&)> mBody;
};

Result NotFoundWhenStopped(TestThread& self) {
    while (!self.IsStopping()) {
        Thread::Sleep(1);
    }
    return Result(NOT_FOUND);
}

// Joins order the worker's messages before the test reads them.
class MessageSink : public LogSink {
public:
    void OnLog(int, const char*, unsigned int, const char*, const char*,
               const char* message) override {
        text += std::string(message) + "\n";
    }
    std::string text;
};

}  // namespace

TEST(ThreadLifecycle, StartStopExitCodeAndRestart) {
    TestThread worker(NotFoundWhenStopped);
    EXPECT_FALSE(worker.IsRunning());
    ASSERT_EQ(worker.StartThread().GetCode(), static_cast<unsigned int>(OK));
    EXPECT_TRUE(worker.IsRunning());
    EXPECT_NE(worker.GetThreadID(), pthread_t(0));
    EXPECT_EQ(worker.GetExitCode().GetCode(), static_cast<unsigned int>(STATE_ERROR));
    const auto start = Clock::now();
    EXPECT_EQ(worker.WaitUntilSignaled(100).GetCode(), static_cast<unsigned int>(TIMEOUT));
    EXPECT_GE(MsSince(start), 90);

    EXPECT_EQ(worker.StopThread().GetCode(), static_cast<unsigned int>(OK));
    EXPECT_EQ(worker.WaitUntilSignaled().GetCode(), static_cast<unsigned int>(OK));
    EXPECT_FALSE(worker.IsRunning());
    EXPECT_FALSE(worker.IsStopping());
    EXPECT_EQ(worker.GetThreadID(), pthread_t(0));
    EXPECT_EQ(worker.GetExitCode().GetCode(), static_cast<unsigned int>(NOT_FOUND));
    ASSERT_EQ(worker.StartThread().GetCode(), static_cast<unsigned int>(OK));  // again
    EXPECT_TRUE(worker.IsRunning());

    // A stop before the start is an error, and the start clears it.
    TestThread early(NotFoundWhenStopped);
    EXPECT_EQ(early.StopThread().GetCode(), static_cast<unsigned int>(THREAD_ERROR));
    EXPECT_TRUE(early.IsStopping());
    ASSERT_EQ(early.StartThread().GetCode(), static_cast<unsigned int>(OK));
    EXPECT_FALSE(early.IsStopping());

    // The stop broadcast is consumed by nobody; a timed wait made afterwards must still return
    // as soon as the thread ends.
    for (int round = 0; round < 50; ++round) {
        TestThread ending(NotFoundWhenStopped);
        ASSERT_EQ(ending.StartThread().GetCode(), static_cast<unsigned int>(OK));
        ending.StopThread();
        const auto stopped = Clock::now();
        EXPECT_EQ(ending.WaitUntilSignaled(10000).GetCode(), static_cast<unsigned int>(OK));
        EXPECT_LT(MsSince(stopped), 5000);
    }
}

TEST(ThreadExit, ExceptionsBecomeThreadError) {
    MessageSink sink;
    const std::function<Result(TestThread&)> bodies[] = {
        [](TestThread&) -> Result { throw std::runtime_error("disk on fire"); },
        [](TestThread&) -> Result { throw 42; }};
    for (const auto& body : bodies) {
        TestThread thrower(body);
        ASSERT_EQ(thrower.StartThread().GetCode(), static_cast<unsigned int>(OK));
        EXPECT_EQ(thrower.WaitUntilSignaled().GetCode(), static_cast<unsigned int>(OK));
        EXPECT_FALSE(thrower.IsRunning());
        EXPECT_EQ(thrower.GetExitCode().GetCode(), static_cast<unsigned int>(THREAD_ERROR));
    }
    EXPECT_NE(sink.text.find("Error caught in the thread function: disk on fire\n"),
              std::string::npos);
    EXPECT_NE(sink.text.find("Unknown error caught in the thread function\n"), std::string::npos);
}

// A timed wait on a held mutex or an empty semaphore gives up after its delay, and a lock scope
// whose wait gave up does not release the mutex.
TEST(TimedWaits, GiveUpAfterTheirDelay) {
    Mutex mutex(nullptr, nullptr);
    ASSERT_TRUE(mutex.IsValid());
    ASSERT_EQ(mutex.Wait().GetCode(), static_cast<unsigned int>(OK));
    unsigned int first = 0, afterScope = 0;
    long waited = 0;
    bool scopeLocked = true;
    std::thread other([&] {
        const auto start = Clock::now();
        first = mutex.Wait_ms(100).GetCode();
        waited = MsSince(start);
        {
            LockScope failed(mutex, 50);
            scopeLocked = failed.IsLocked();
        }
        afterScope = mutex.Wait_ms(20).GetCode();
    });
    other.join();
    EXPECT_EQ(first, static_cast<unsigned int>(TIMEOUT));
    EXPECT_GE(waited, 90);
    EXPECT_LT(waited, 5000);
    EXPECT_FALSE(scopeLocked);
    EXPECT_EQ(afterScope, static_cast<unsigned int>(TIMEOUT));
    EXPECT_TRUE(mutex.Release());

    Semaphore semaphore(0, 0, nullptr);
    const auto start = Clock::now();
    EXPECT_EQ(semaphore.Wait_ms(50).GetCode(), static_cast<unsigned int>(TIMEOUT));
    EXPECT_GE(MsSince(start), 45);
    // The deadline carries into the seconds.
    const timespec carried = PUnix::DeadlineFrom(timespec{10, 600000000}, 1500);
    EXPECT_EQ(std::make_pair(carried.tv_sec, carried.tv_nsec), std::make_pair(12L, 100000000L));
    const timespec exact = PUnix::DeadlineFrom(timespec{10, 0}, 999);
    EXPECT_EQ(std::make_pair(exact.tv_sec, exact.tv_nsec), std::make_pair(10L, 999000000L));
}

// A created name is unlinked at once; the handle a child inherits is the same semaphore.
TEST(NamedMutex, CreatedUnlinkedAndSharedAcrossFork) {
    const std::string name = UniqueName("kvmutex");
    bool created = false;
    Mutex mutex(&created, name.c_str());
    ASSERT_TRUE(mutex.IsValid());
    EXPECT_TRUE(created);
    EXPECT_EQ(sem_open(name.c_str(), O_RDWR), SEM_FAILED);
    ASSERT_EQ(mutex.Wait().GetCode(), static_cast<unsigned int>(OK));
    int toParent[2];
    ASSERT_EQ(pipe(toParent), 0);
    const pid_t child = fork();
    if (child == 0) {
        // Held by the parent: this times out; once the parent releases it, the child gets it.
        const char first = mutex.Wait_ms(100).GetCode() == TIMEOUT ? 'T' : 'x';
        (void)!write(toParent[1], &first, 1);
        _exit(mutex.Wait_ms(5000).GetCode() == OK ? 0 : 1);
    }
    char first = 0;
    EXPECT_EQ(read(toParent[0], &first, 1), 1);
    EXPECT_EQ(first, 'T');
    mutex.Release();
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    close(toParent[0]);
    close(toParent[1]);

    // An existing name is opened, not created, with the count it has.
    const std::string existingName = UniqueName("kvexisting");
    sem_t* existing = sem_open(existingName.c_str(), O_CREAT | O_EXCL, 0660, 0);
    ASSERT_NE(existing, SEM_FAILED);
    Mutex opened(&created, existingName.c_str());
    EXPECT_TRUE(opened.IsValid());
    EXPECT_FALSE(created);
    EXPECT_EQ(opened.Wait_ms(50).GetCode(), static_cast<unsigned int>(TIMEOUT));
    sem_post(existing);
    EXPECT_EQ(opened.Wait_ms(1000).GetCode(), static_cast<unsigned int>(OK));
    sem_close(existing);
    sem_unlink(existingName.c_str());
}
