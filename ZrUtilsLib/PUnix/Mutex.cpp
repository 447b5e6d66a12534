#include "ZrUtilsLib/Mutex.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>

#include <string>

#include "ZrUtilsLib/Logger.h"
#include "ZrUtilsLib/PUnix/Deadline.h"

namespace ZrUtilsLib {

struct Mutex::State {
    std::string name = "/";
    bool valid = false;
    pthread_mutex_t mutex;
    sem_t* semaphore = nullptr;
};

Mutex::Mutex(bool* created, const char* name) : mState(new State) {
    if (name == nullptr) {
        mState->valid = pthread_mutex_init(&mState->mutex, nullptr) == 0;
        if (created != nullptr) {
            *created = mState->valid;
        }
        return;
    }
    mState->name = name;
    if (created != nullptr) {
        *created = false;
    }
    sem_t* handle = sem_open(name, O_RDWR);
    if (handle == SEM_FAILED && errno == ENOENT) {
        handle = sem_open(name, O_CREAT | O_EXCL, 0660, 1);
        if (handle != SEM_FAILED && created != nullptr) {
            *created = true;
            sem_unlink(name);
        }
    }
    mState->semaphore = handle == SEM_FAILED ? nullptr : handle;
    mState->valid = mState->semaphore != nullptr;
}

Mutex::~Mutex() {
    if (!mState->valid) {
        return;
    }
    if (mState->semaphore != nullptr) {
        sem_close(mState->semaphore);
    } else {
        pthread_mutex_destroy(&mState->mutex);
    }
}

bool Mutex::IsValid() const {
    return mState && mState->valid;
}

Result Mutex::WaitOutcome(int error, bool timed, const char* function) {
    if (error == 0) {
        return Result(OK);
    }
    if (error == EINTR) {
        Logger logger("ZrUtilsLib", nullptr);
        return logger.LogResult(ABORTED, __FILE__, __LINE__, function,
                                "Wait operation for the event was abandonned");
    }
    if (timed && error == ETIMEDOUT) {
        return Result(TIMEOUT);
    }
    Logger logger("ZrUtilsLib", nullptr);
    return logger.LogResult(UNEXPECTED_EXCEPTION, __FILE__, __LINE__, function,
                            "Unexpected error %u when trying to wait for the event",
                            static_cast<unsigned int>(error));
}

Result Mutex::Wait() {
    int error;
    if (mState->semaphore != nullptr) {
        error = sem_wait(mState->semaphore) == 0 ? 0 : errno;
    } else {
        error = pthread_mutex_lock(&mState->mutex);
    }
    return WaitOutcome(error, false, "Wait");
}

Result Mutex::Wait_ms(unsigned int milliseconds) {
    const timespec deadline = PUnix::RealTimeDeadline(milliseconds);
    int error;
    if (mState->semaphore != nullptr) {
        error = sem_timedwait(mState->semaphore, &deadline) == 0 ? 0 : errno;
    } else {
        error = pthread_mutex_timedlock(&mState->mutex, &deadline);
    }
    return WaitOutcome(error, true, "Wait_ms");
}

bool Mutex::Release() {
    if (mState->semaphore != nullptr) {
        sem_post(mState->semaphore);
    } else {
        pthread_mutex_unlock(&mState->mutex);
    }
    return true;
}

LockScope::LockScope(Mutex* mutex, unsigned int timeout) : mMutex(mutex), mLocked(false) {
    const Result result = timeout == 0 ? mMutex->Wait() : mMutex->Wait_ms(timeout);
    mLocked = result.GetCode() == OK;
}

LockScope::LockScope(Mutex& mutex, unsigned int timeout) : LockScope(&mutex, timeout) {}

LockScope::~LockScope() {
    if (mLocked) {
        mMutex->Release();
    }
}

}  // namespace ZrUtilsLib
