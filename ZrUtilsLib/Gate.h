#pragma once

#include <memory>

namespace ZrUtilsLib {

// A plain, non-recursive in-process lock that reports nothing.
class Gate {
public:
    Gate();
    virtual ~Gate();
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;

    void Lock();
    void Unlock();

private:
    struct Impl;
    std::unique_ptr<Impl> mImpl;
};

}  // namespace ZrUtilsLib
