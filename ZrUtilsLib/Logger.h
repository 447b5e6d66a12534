#pragma once

#include <atomic>
#include <cstdarg>
#include <string>

#include "ZrUtilsLib/Mutex.h"
#include "ZrUtilsLib/Result.h"

namespace ZrUtilsLib {

class TinyLogServer;

// Syslog severities: a message passes when its level is at or below the limit in force.
enum PriorityLevel {
    PRIORITY_EMERGENCY = 0,
    PRIORITY_ALERT = 1,
    PRIORITY_CRITICAL = 2,
    PRIORITY_ERROR = 3,
    PRIORITY_WARNING = 4,
    PRIORITY_NOTICE = 5,
    PRIORITY_INFO = 6,
    PRIORITY_DEBUG = 7,
    PRIORITY_NOT_SET = 8,
};

enum LogConfiguration { LOG_CONFIGURATION_DEFAULT = 0 };

// A named log channel. The first channel of the process creates the one log server.
class Logger {
public:
    static constexpr size_t kConfigurationSize = 4096;
    static constexpr size_t kLogMessageSize = 512;
    static constexpr size_t kResultMessageSize = 192;
    static constexpr const char* kDefaultConfiguration = "syslog,3,127.0.0.1,17";

    explicit Logger(const char* name, const char* configuration = nullptr);
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    static Logger* Create(const char* name, const char* configuration, int);
    static void Free(Logger*& logger);

    void Log(PriorityLevel level, const char* file, unsigned int line, const char* function,
             const char* format, ...) __attribute__((format(printf, 6, 7)));
    Result LogResult(unsigned int code, const char* file, unsigned int line, const char* function,
                     const char* format, ...) __attribute__((format(printf, 6, 7)));
    // LogResult for callers that format their own variable arguments.
    Result LogResultV(unsigned int code, const char* file, unsigned int line, const char* function,
                      const char* format, va_list args);
    bool IsPriorityEnabled(PriorityLevel level);
    void SetLogPriority(int level);
    int GetLogPriority();
    void ResetConfiguration(LogConfiguration);
    static void ReadConfiguration(const char* configuration, char* out);

    const char* GetName() const { return mName.c_str(); }

    static Mutex sLoggerMutex;
    static std::atomic<TinyLogServer*> sTinyLogServer;

private:
    std::string mName;
};

}  // namespace ZrUtilsLib

// The calling pattern of every component: test the level first so that a disabled message
// costs neither argument evaluation nor formatting.
#define ZR_LOG(logger, level, ...)                                            \
    do {                                                                      \
        if ((logger).IsPriorityEnabled(level)) {                              \
            (logger).Log((level), __FILE__, __LINE__, __func__, __VA_ARGS__); \
        }                                                                     \
    } while (0)

#define ZR_LOG_RESULT(logger, code, ...) \
    (logger).LogResult((code), __FILE__, __LINE__, __func__, __VA_ARGS__)
