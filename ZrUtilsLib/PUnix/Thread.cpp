#include "ZrUtilsLib/Thread.h"

#include <errno.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <exception>
#include <string>

#include "ZrUtilsLib/Logger.h"
#include "ZrUtilsLib/PUnix/Deadline.h"

namespace ZrUtilsLib {

// Private state of a Thread. The flags and the handle are read without the lock from any
// thread, hence atomic.
class ThreadData {
public:
    ThreadData(const char* threadName, unsigned int threadPriority, Logger* threadLogger)
        : priority(threadPriority),
          name(threadName != nullptr ? threadName : ""),
          logger(threadLogger) {}

    Result SetPriorityInternal(pthread_t thread, unsigned int newPriority);

    unsigned int priority;
    std::atomic<bool> running{false};
    std::atomic<bool> stopping{false};
    std::string name;
    std::atomic<pthread_t> handle{0};
    pthread_mutex_t lock;
    pthread_mutexattr_t lockAttributes;
    pthread_cond_t startedCondition;
    pthread_cond_t stoppedCondition;
    bool started = false;
    pthread_cond_t suspendCondition;
    Result exitCode{OK};
    Logger* logger;
    // Counts broadcasts of the stopped condition so that a timed wait ignores spurious
    // wake-ups and cannot miss the broadcast of an ending thread.
    uint64_t stoppedBroadcasts = 0;
};

namespace {

void* WorkLink(void* thread) {
    Result result = static_cast<Thread*>(thread)->ThreadFunction();
    return reinterpret_cast<void*>(static_cast<uintptr_t>(result.GetCode()));
}

bool InfoEnabled(Logger* logger) {
    return logger != nullptr && logger->IsPriorityEnabled(PRIORITY_INFO);
}

void LogCritical(Logger* logger, const char* function, const char* message, int error = 0) {
    if (logger != nullptr && logger->IsPriorityEnabled(PRIORITY_CRITICAL)) {
        logger->Log(PRIORITY_CRITICAL, __FILE__, __LINE__, function, message, error);
    }
}

Result ThreadFailure(Logger* logger, unsigned int code, const char* function, const char* format,
                     int value) {
    if (logger == nullptr) {
        return Result(code, format, value);
    }
    return logger->LogResult(code, __FILE__, __LINE__, function, format, value);
}

}  // namespace

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"

Thread::Thread(const char* name, unsigned int priority, bool log) {
    if (log) {
        mLogger.reset(new Logger("ZrUtilsLib", nullptr));
    }
    mData.reset(new ThreadData(name, priority, mLogger.get()));
    if (InfoEnabled(mLogger.get())) {
        mLogger->Log(PRIORITY_INFO, __FILE__, __LINE__, "Thread",
                     "Create thread %s with priority %u", mData->name.c_str(), priority);
    }
    if (pthread_mutexattr_init(&mData->lockAttributes) != 0) {
        LogCritical(mLogger.get(), "Thread", "Cannot initialize the mutex attribute");
    }
    if (pthread_mutexattr_settype(&mData->lockAttributes, PTHREAD_MUTEX_ERRORCHECK) != 0) {
        LogCritical(mLogger.get(), "Thread", "Cannot set the mutext attributes to error check");
    }
    if (pthread_mutex_init(&mData->lock, &mData->lockAttributes) != 0) {
        LogCritical(mLogger.get(), "Thread", "Cannot initialize the mutex");
    }
    if (pthread_cond_init(&mData->startedCondition, nullptr) != 0) {
        LogCritical(mLogger.get(), "Thread", "Cannot create the condition variable started");
    }
    if (pthread_cond_init(&mData->suspendCondition, nullptr) != 0) {
        LogCritical(mLogger.get(), "Thread", "Cannot create the condition variable suspend");
    }
    if (pthread_cond_init(&mData->stoppedCondition, nullptr) != 0) {
        LogCritical(mLogger.get(), "Thread", "Cannot create the condition variable stopped");
    }
}

#pragma GCC diagnostic pop

Thread::~Thread() {
    const pthread_t handle = mData->handle.load();
    if (handle != 0) {
        const int error = pthread_join(handle, nullptr);
        if (error != 0 && error != ESRCH) {
            LogCritical(mLogger.get(), "~Thread", "Failt to join the thread");
            const int detachError = pthread_detach(handle);
            if (detachError != 0 && detachError != ESRCH) {
                LogCritical(mLogger.get(), "~Thread", "Failt to detach the thread");
            }
        }
        mData->handle = 0;
    }
    pthread_mutex_destroy(&mData->lock);
    pthread_mutexattr_destroy(&mData->lockAttributes);
    pthread_cond_destroy(&mData->startedCondition);
    pthread_cond_destroy(&mData->suspendCondition);
    pthread_cond_destroy(&mData->stoppedCondition);
}

Result Thread::StartThread() {
    if (InfoEnabled(mLogger.get())) {
        mLogger->Log(PRIORITY_INFO, __FILE__, __LINE__, "StartThread", "Start Thread");
    }
    pthread_mutex_lock(&mData->lock);
    mData->stopping = false;
    mData->started = false;
    pthread_mutex_unlock(&mData->lock);

    pthread_t handle;
    const int error = pthread_create(&handle, nullptr, &WorkLink, this);
    if (error != 0) {
        return ThreadFailure(mLogger.get(), THREAD_ERROR, "StartThread",
                             "Cannot start the thread. Error = %d", error);
    }
    mData->handle = handle;

    pthread_mutex_lock(&mData->lock);
    while (!mData->started) {
        const int waitError = pthread_cond_wait(&mData->startedCondition, &mData->lock);
        if (waitError != 0) {
            LogCritical(mLogger.get(), "StartThread",
                        "Fail to wait for the start condition variable. Error = %d", waitError);
            break;
        }
    }
    pthread_mutex_unlock(&mData->lock);
    return Result(OK);
}

Result Thread::StopThread() {
    if (InfoEnabled(mLogger.get())) {
        mLogger->Log(PRIORITY_INFO, __FILE__, __LINE__, "StopThread", "Stop Thread");
    }
    pthread_cond_broadcast(&mData->suspendCondition);
    pthread_mutex_lock(&mData->lock);
    Result result(mData->running ? OK : THREAD_ERROR);
    mData->stopping = true;
    ++mData->stoppedBroadcasts;
    pthread_cond_broadcast(&mData->stoppedCondition);
    pthread_mutex_unlock(&mData->lock);
    return result;
}

// Joins outside the lock, so that the ending thread can publish its end-of-thread state under
// the lock; the single owner thread is the only one that joins or clears the handle.
Result Thread::WaitUntilSignaled() {
    const pthread_t handle = mData->handle.load();
    if (handle == 0) {
        return Result(OK);
    }
    const int error = pthread_join(handle, nullptr);
    if (error != 0 && error != ESRCH) {
        return ThreadFailure(mLogger.get(), THREAD_ERROR, "WaitUntilSignaled",
                             "Cannot joint the thread. Error = %d", error);
    }
    pthread_mutex_lock(&mData->lock);
    mData->handle = 0;
    pthread_mutex_unlock(&mData->lock);
    return Result(OK);
}

Result Thread::WaitUntilSignaled(unsigned int milliseconds) {
    if (mData->handle.load() == 0) {
        return Result(OK);
    }
    pthread_mutex_lock(&mData->lock);
    if (!mData->running && !mData->stopping) {
        pthread_mutex_unlock(&mData->lock);
        return Result(OK);
    }
    const timespec deadline = PUnix::RealTimeDeadline(milliseconds);
    const uint64_t seen = mData->stoppedBroadcasts;
    int error = 0;
    while (mData->stoppedBroadcasts == seen && error == 0) {
        error = pthread_cond_timedwait(&mData->stoppedCondition, &mData->lock, &deadline);
    }
    pthread_mutex_unlock(&mData->lock);
    if (error == 0) {
        return Result(OK);
    }
    if (error == ETIMEDOUT) {
        return Result(TIMEOUT);
    }
    return ThreadFailure(mLogger.get(), THREAD_ERROR, "WaitUntilSignaled",
                         "Fail to wait for the thread. Error = %d", error);
}

// The body's end is published under the lock, so a timed wait cannot miss it. An exception
// that escapes the body becomes THREAD_ERROR, which is kept as the exit code (a failed body is
// never reported as a success) and the thread stays joinable, so the owner's join frees it.
Result Thread::ThreadFunction() {
    Result result(OK);
    try {
        while (mData->handle.load() == 0) {
            Sleep(1);
        }
        pthread_mutex_lock(&mData->lock);
        mData->started = true;
        mData->exitCode = Result(OK);
        mData->running = true;
        prctl(PR_SET_NAME, mData->name.c_str(), 0, 0, 0);
        mData->SetPriorityInternal(pthread_self(), mData->priority);
        pthread_mutex_unlock(&mData->lock);
        pthread_cond_broadcast(&mData->startedCondition);

        result = Run();

        if (result.GetCode() != OK && InfoEnabled(mLogger.get())) {
            mLogger->Log(PRIORITY_INFO, __FILE__, __LINE__, "ThreadFunction",
                         "The function thread exit with error code = %d",
                         static_cast<int>(result.GetCode()));
        }
    } catch (const std::exception& error) {
        const char* format = "Error caught in the thread function: %s";
        result = mLogger ? mLogger->LogResult(THREAD_ERROR, __FILE__, __LINE__, "ThreadFunction",
                                              format, error.what())
                         : Result(THREAD_ERROR, format, error.what());
    } catch (...) {
        const char* format = "Unknown error caught in the thread function";
        result = mLogger ? mLogger->LogResult(THREAD_ERROR, __FILE__, __LINE__, "ThreadFunction",
                                              "%s", format)
                         : Result(THREAD_ERROR, "%s", format);
    }
    pthread_mutex_lock(&mData->lock);
    mData->started = true;  // a body that failed before the handshake must not block StartThread
    mData->exitCode = result;
    mData->running = false;
    mData->stopping = false;
    ++mData->stoppedBroadcasts;
    pthread_cond_broadcast(&mData->stoppedCondition);
    pthread_mutex_unlock(&mData->lock);
    pthread_cond_broadcast(&mData->startedCondition);
    return result;
}

bool Thread::IsRunning() const {
    return mData->running;
}

bool Thread::IsStopping() const {
    return mData->stopping;
}

Result Thread::GetExitCode() const {
    if (mData->handle.load() != 0) {
        if (mLogger) {
            return mLogger->LogResult(STATE_ERROR, __FILE__, __LINE__, "GetExitCode",
                                      "The thread is not existing. Exist code was erased");
        }
        return Result(STATE_ERROR);
    }
    if (mData->running) {
        if (mLogger) {
            return mLogger->LogResult(STATE_ERROR, __FILE__, __LINE__, "GetExitCode",
                                      "The thread is still running. Cannot get the exit code");
        }
        return Result(STATE_ERROR);
    }
    pthread_mutex_lock(&mData->lock);
    Result exitCode = mData->exitCode;
    pthread_mutex_unlock(&mData->lock);
    return exitCode;
}

pthread_t Thread::GetThreadID() const {
    return mData->handle.load();
}

unsigned int Thread::GetPriority() {
    pthread_mutex_lock(&mData->lock);
    const unsigned int priority = mData->priority;
    pthread_mutex_unlock(&mData->lock);
    return priority;
}

bool Thread::IsPriorityValid(unsigned int priority) {
    return priority <= InternalPriorityMaximum || priority == InternalPriorityTimeSharing;
}

Result Thread::SetPriority(unsigned int priority) {
    if (!IsPriorityValid(priority)) {
        const char* format =
            "The priority %u is out of range. The value must be between %u and %u.";
        if (mLogger) {
            return mLogger->LogResult(INVALID_ARGUMENT, __FILE__, __LINE__, "SetPriority", format,
                                      priority, InternalPriorityMinimum, InternalPriorityMaximum);
        }
        return Result(INVALID_ARGUMENT, format, priority, InternalPriorityMinimum,
                      InternalPriorityMaximum);
    }
    pthread_mutex_lock(&mData->lock);
    mData->priority = priority;
    const pthread_t handle = mData->handle.load();
    if (handle != 0) {
        mData->SetPriorityInternal(handle, priority);
    }
    pthread_mutex_unlock(&mData->lock);
    return Result(OK);
}

Result ThreadData::SetPriorityInternal(pthread_t thread, unsigned int newPriority) {
    sched_param parameters{};
    int policy = SCHED_OTHER;
    if (newPriority != Thread::InternalPriorityTimeSharing) {
        policy = SCHED_FIFO;
        parameters.sched_priority = static_cast<int>(newPriority);
    }
    if (InfoEnabled(logger)) {
        if (name.empty()) {
            logger->Log(PRIORITY_INFO, __FILE__, __LINE__, "SetPriorityInternal",
                        "Set the priority of the thread %u to %u",
                        static_cast<unsigned int>(thread), newPriority);
        } else {
            logger->Log(PRIORITY_INFO, __FILE__, __LINE__, "SetPriorityInternal",
                        "Set the priority of the thread %s to %u", name.c_str(), newPriority);
        }
    }
    if (pthread_setschedparam(thread, policy, &parameters) != 0 && InfoEnabled(logger)) {
        logger->Log(PRIORITY_INFO, __FILE__, __LINE__, "SetPriorityInternal",
                    "The priority cannot be set. The application may not have the priviledges");
    }
    return Result(OK);
}

pthread_t Thread::GetCurrentThreadHandle() {
    return pthread_self();
}

pthread_t Thread::GetCurrentThreadID() {
    return pthread_self();
}

void Thread::SwitchToThread() {
    sched_yield();
}

void Thread::Sleep(unsigned long milliseconds) {
    const uint32_t microseconds = static_cast<uint32_t>(milliseconds * 1000u);
    if (microseconds != 0) {
        usleep(microseconds);
    }
}

uint64_t Thread::GetTickCount() {
    timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_usec) / 1000u;
}

uint64_t Thread::GetTickCountMicro() {
    timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_usec);
}

bool Thread::IsCurrentSchedulerO1() {
    return sched_getscheduler(0) == SCHED_OTHER;
}

}  // namespace ZrUtilsLib
