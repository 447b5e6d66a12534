#pragma once

#include <pthread.h>

#include <cstdint>
#include <memory>

#include "ZrUtilsLib/Result.h"

namespace ZrUtilsLib {

class Logger;
class ThreadData;

// Base of every worker thread: a subclass implements Run() and polls IsStopping() between
// bounded waits; the owner calls StartThread(), then StopThread() and WaitUntilSignaled().
class Thread {
public:
    static constexpr unsigned int InternalPriorityTimeCritical = 99;
    static constexpr unsigned int InternalPriorityHighest = 61;
    static constexpr unsigned int InternalPriorityAboveNormal = 50;
    static constexpr unsigned int InternalPriorityNormal = 11;
    static constexpr unsigned int InternalPriorityBelowNormal = 0;
    static constexpr unsigned int InternalPriorityLowest = 6;
    static constexpr unsigned int InternalPriorityIdle = 0;
    static constexpr unsigned int InternalPriorityTimeSharing = 0xFFFFFFFFu;
    static constexpr unsigned int InternalPriorityMaximum = 99;
    static constexpr unsigned int InternalPriorityMinimum = 0;

    Thread(const char* name, unsigned int priority, bool log);
    virtual ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    Result StartThread();
    Result StopThread();
    Result WaitUntilSignaled();
    Result WaitUntilSignaled(unsigned int milliseconds);

    bool IsRunning() const;
    bool IsStopping() const;
    Result GetExitCode() const;
    pthread_t GetThreadID() const;
    unsigned int GetPriority();
    Result SetPriority(unsigned int priority);
    static bool IsPriorityValid(unsigned int priority);

    static pthread_t GetCurrentThreadHandle();
    static pthread_t GetCurrentThreadID();
    static void SwitchToThread();
    static void Sleep(unsigned long milliseconds);
    static uint64_t GetTickCount();
    static uint64_t GetTickCountMicro();
    static bool IsCurrentSchedulerO1();

    // Runs on the new thread around Run(); public only for the POSIX entry point.
    Result ThreadFunction();

protected:
    virtual Result Run() = 0;

private:
    std::unique_ptr<Logger> mLogger;
    std::unique_ptr<ThreadData> mData;
};

}  // namespace ZrUtilsLib
