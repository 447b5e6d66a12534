#pragma once

#include <memory>

#include "ZrUtilsLib/Result.h"

namespace ZrUtilsLib {

// An in-process counting semaphore with timed waits. `maximum` and `name` have no effect.
class Semaphore {
public:
    Semaphore(unsigned long initial, unsigned long maximum, char* name);
    virtual ~Semaphore();
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    bool IsValid() const;
    bool Release();
    Result Wait();
    Result Wait_ms(unsigned int milliseconds);

private:
    struct State;
    std::unique_ptr<State> mState;
};

}  // namespace ZrUtilsLib
