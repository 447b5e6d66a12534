#pragma once

#include <list>

#include "ZrUtilsLib/Gate.h"

namespace ZrUtilsLib {

class Mutex;

// An in-process listener that receives every message logged through any channel, whatever
// its level. Sinks register on construction and leave on destruction; both are to happen
// while no other thread is logging.
class LogSink {
public:
    LogSink();
    virtual ~LogSink();
    LogSink(const LogSink&) = delete;
    LogSink& operator=(const LogSink&) = delete;

    virtual void OnLog(int level, const char* file, unsigned int line, const char* function,
                       const char* channel, const char* message) = 0;

    static void InitStatic();
    static void FreeStatic();
    static std::list<LogSink*>* GetSinks();

    static Gate sGate;
    static std::list<LogSink*>* sLogSinks;
    static Mutex* sLogSinksMutex;
};

}  // namespace ZrUtilsLib
