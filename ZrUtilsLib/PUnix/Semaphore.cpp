#include "ZrUtilsLib/Semaphore.h"

#include <errno.h>
#include <semaphore.h>

#include "ZrUtilsLib/PUnix/Deadline.h"

namespace ZrUtilsLib {

struct Semaphore::State {
    bool valid = false;
    sem_t semaphore;
};

Semaphore::Semaphore(unsigned long initial, unsigned long /*maximum*/, char* /*name*/)
    : mState(new State) {
    mState->valid = sem_init(&mState->semaphore, 0, static_cast<unsigned int>(initial)) == 0;
}

Semaphore::~Semaphore() {
    if (mState->valid) {
        sem_destroy(&mState->semaphore);
        mState->valid = false;
    }
}

bool Semaphore::IsValid() const {
    return mState->valid;
}

bool Semaphore::Release() {
    return sem_post(&mState->semaphore) == 0;
}

Result Semaphore::Wait() {
    return sem_wait(&mState->semaphore) == 0 ? Result(OK) : Result(INTERNAL_ERROR);
}

Result Semaphore::Wait_ms(unsigned int milliseconds) {
    const timespec deadline = PUnix::RealTimeDeadline(milliseconds);
    if (sem_timedwait(&mState->semaphore, &deadline) == 0) {
        return Result(OK);
    }
    return errno == ETIMEDOUT ? Result(TIMEOUT) : Result(INTERNAL_ERROR);
}

}  // namespace ZrUtilsLib
