#include "ZrUtilsLib/LogSink.h"

#include <cstdlib>

#include "ZrUtilsLib/Mutex.h"

namespace ZrUtilsLib {

Gate LogSink::sGate;
std::list<LogSink*>* LogSink::sLogSinks = nullptr;
Mutex* LogSink::sLogSinksMutex = nullptr;

void LogSink::InitStatic() {
    sGate.Lock();
    if (sLogSinksMutex == nullptr && sLogSinks == nullptr) {
        sLogSinksMutex = new Mutex(nullptr, nullptr);
        sLogSinks = new std::list<LogSink*>();
        std::atexit(&LogSink::FreeStatic);
    }
    sGate.Unlock();
}

void LogSink::FreeStatic() {
    delete sLogSinksMutex;
    sLogSinksMutex = nullptr;
    delete sLogSinks;
    sLogSinks = nullptr;
}

std::list<LogSink*>* LogSink::GetSinks() {
    InitStatic();
    return sLogSinks;
}

LogSink::LogSink() {
    InitStatic();
    LockScope lock(sLogSinksMutex, 0);
    sLogSinks->push_back(this);
}

LogSink::~LogSink() {
    if (sLogSinksMutex == nullptr || sLogSinks == nullptr) {
        return;  // the registry is already gone at process exit
    }
    LockScope lock(sLogSinksMutex, 0);
    for (auto it = sLogSinks->begin(); it != sLogSinks->end(); ++it) {
        if (*it == this) {
            sLogSinks->erase(it);
            break;
        }
    }
}

}  // namespace ZrUtilsLib
