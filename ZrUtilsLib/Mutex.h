#pragma once

#include <memory>

#include "ZrUtilsLib/Result.h"

namespace ZrUtilsLib {

// A lock with Result-returning waits: in-process (no name) or shared between processes
// through a named POSIX semaphore (the name starts with '/').
class Mutex {
public:
    Mutex(bool* created, const char* name);
    virtual ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    Result Wait();
    Result Wait_ms(unsigned int milliseconds);
    bool Release();
    bool IsValid() const;

private:
    struct State;
    Result WaitOutcome(int error, bool timed, const char* function);
    std::unique_ptr<State> mState;
};

// Holds a Mutex for the lifetime of a block; releases it only if the wait succeeded.
class LockScope {
public:
    LockScope(Mutex* mutex, unsigned int timeout);
    LockScope(Mutex& mutex, unsigned int timeout);
    ~LockScope();
    LockScope(const LockScope&) = delete;
    LockScope& operator=(const LockScope&) = delete;

    bool IsLocked() const { return mLocked; }

private:
    Mutex* mMutex;
    bool mLocked;
};

}  // namespace ZrUtilsLib
