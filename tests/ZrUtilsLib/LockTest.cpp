#include <fcntl.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "ZrUtilsLib/Gate.h"
#include "ZrUtilsLib/Mutex.h"
#include "ZrUtilsLib/PUnix/Deadline.h"
#include "ZrUtilsLib/Semaphore.h"

using namespace ZrUtilsLib;
using Clock = std::chrono::steady_clock;

namespace {

long ElapsedMs(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string UniqueName(const char* base) {
    return std::string("/") + base + std::to_string(getpid()) + "_" +
           std::to_string(Clock::now().time_since_epoch().count());
}

}  // namespace

TEST(UnnamedMutex, WaitReleaseAndTimeout) {
    Mutex mutex(nullptr, nullptr);
    ASSERT_TRUE(mutex.IsValid());
    EXPECT_EQ(mutex.Wait().GetCode(), static_cast<unsigned int>(OK));

    std::atomic<unsigned int> code{0};
    long waited = 0;
    std::thread other([&] {
        const auto start = Clock::now();
        code = mutex.Wait_ms(100).GetCode();
        waited = ElapsedMs(start);
    });
    other.join();
    EXPECT_EQ(code.load(), static_cast<unsigned int>(TIMEOUT));
    EXPECT_GE(waited, 90);
    EXPECT_LT(waited, 5000);
    EXPECT_TRUE(mutex.Release());

    bool created = false;
    Mutex reported(&created, nullptr);
    EXPECT_TRUE(created);
}

TEST(UnnamedMutex, LockScopeExcludesAndReleases) {
    Mutex mutex(nullptr, nullptr);
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            LockScope lock(mutex, 0);
            ASSERT_TRUE(lock.IsLocked());
            ++counter;
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 40000);
}

TEST(UnnamedMutex, FailedLockScopeDoesNotRelease) {
    Mutex mutex(nullptr, nullptr);
    ASSERT_EQ(mutex.Wait().GetCode(), static_cast<unsigned int>(OK));
    std::thread other([&] {
        LockScope lock(mutex, 50);  // times out
        EXPECT_FALSE(lock.IsLocked());
    });
    other.join();
    // Still held by this thread: another timed wait must time out again.
    std::thread again([&] { EXPECT_EQ(mutex.Wait_ms(20).GetCode(), unsigned(TIMEOUT)); });
    again.join();
    mutex.Release();
}

TEST(NamedMutex, CreatedUnlinkedAndSharedAcrossFork) {
    const std::string name = UniqueName("kvmutex");
    bool created = false;
    Mutex mutex(&created, name.c_str());
    ASSERT_TRUE(mutex.IsValid());
    EXPECT_TRUE(created);
    // The name was unlinked at once: nothing can open it any more.
    EXPECT_EQ(sem_open(name.c_str(), O_RDWR), SEM_FAILED);

    ASSERT_EQ(mutex.Wait().GetCode(), static_cast<unsigned int>(OK));
    int toParent[2];
    ASSERT_EQ(pipe(toParent), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The inherited handle is the same semaphore: held by the parent, so this times out;
        // once the parent has released it, the child gets it.
        const char first = mutex.Wait_ms(100).GetCode() == TIMEOUT ? 'T' : 'x';
        (void)!write(toParent[1], &first, 1);
        const unsigned int second = mutex.Wait_ms(5000).GetCode();
        _exit(second == OK ? 0 : 1);
    }
    char first = 0;
    ASSERT_EQ(read(toParent[0], &first, 1), 1);
    EXPECT_EQ(first, 'T');
    mutex.Release();
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    close(toParent[0]);
    close(toParent[1]);
}

TEST(NamedMutex, ExistingNameIsOpenedNotCreated) {
    const std::string name = UniqueName("kvexisting");
    sem_t* existing = sem_open(name.c_str(), O_CREAT | O_EXCL, 0660, 0);
    ASSERT_NE(existing, SEM_FAILED);
    bool created = true;
    Mutex mutex(&created, name.c_str());
    EXPECT_TRUE(mutex.IsValid());
    EXPECT_FALSE(created);
    EXPECT_EQ(mutex.Wait_ms(50).GetCode(), static_cast<unsigned int>(TIMEOUT));  // count 0
    sem_post(existing);
    EXPECT_EQ(mutex.Wait_ms(1000).GetCode(), static_cast<unsigned int>(OK));
    sem_close(existing);
    sem_unlink(name.c_str());
}

TEST(SemaphoreTest, TimedWaitAndRelease) {
    Semaphore semaphore(0, 0, nullptr);
    ASSERT_TRUE(semaphore.IsValid());
    const auto start = Clock::now();
    EXPECT_EQ(semaphore.Wait_ms(50).GetCode(), static_cast<unsigned int>(TIMEOUT));
    EXPECT_GE(ElapsedMs(start), 45);
    EXPECT_TRUE(semaphore.Release());
    EXPECT_EQ(semaphore.Wait().GetCode(), static_cast<unsigned int>(OK));

    std::thread producer([&] {
        for (int i = 0; i < 1000; ++i) {
            semaphore.Release();
        }
    });
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(semaphore.Wait_ms(5000).GetCode(), static_cast<unsigned int>(OK));
    }
    producer.join();
    EXPECT_EQ(semaphore.Wait_ms(1).GetCode(), static_cast<unsigned int>(TIMEOUT));
}

TEST(Deadline, CarriesIntoTheSeconds) {
    const timespec deadline = PUnix::DeadlineFrom(timespec{10, 600000000}, 1500);
    EXPECT_EQ(deadline.tv_sec, 12);
    EXPECT_EQ(deadline.tv_nsec, 100000000);
    const timespec exact = PUnix::DeadlineFrom(timespec{10, 0}, 999);
    EXPECT_EQ(exact.tv_sec, 10);
    EXPECT_EQ(exact.tv_nsec, 999000000);
}

TEST(GateTest, ExcludesConcurrentWriters) {
    Gate gate;
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            gate.Lock();
            ++counter;
            gate.Unlock();
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 40000);
}
