#include "ZrUtilsLib/Logger.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "ZrUtilsLib/LogSink.h"
#include "ZrUtilsLib/TinyLogServer.h"

namespace ZrUtilsLib {

Mutex Logger::sLoggerMutex(nullptr, nullptr);
std::atomic<TinyLogServer*> Logger::sTinyLogServer{nullptr};

namespace {

const char* AfterLastSlash(const char* file) {
    const char* slash = std::strrchr(file, '/');
    return slash != nullptr ? slash + 1 : file;
}

// LogResult hands the server the file from its last '/' on, the slash included.
const char* FromLastSlash(const char* file) {
    const char* slash = std::strrchr(file, '/');
    return slash != nullptr ? slash : file;
}

void CallSinks(std::list<LogSink*>* sinks, int level, const char* file, unsigned int line,
               const char* function, const char* channel, const char* message) {
    if (sinks == nullptr) {
        return;
    }
    for (LogSink* sink : *sinks) {
        sink->OnLog(level, file, line, function, channel, message);
    }
}

}  // namespace

Logger::Logger(const char* name, const char* configuration) {
    if (name == nullptr) {
        throw std::logic_error("Logger: a channel needs a name");
    }
    mName = name;
    TinyLogServer* created = nullptr;
    {
        LockScope lock(sLoggerMutex, 0);
        if (sTinyLogServer.load() != nullptr) {
            return;
        }
        char buffer[kConfigurationSize];
        ReadConfiguration(configuration, buffer);
        if (buffer[0] == '\0') {
            return;
        }
        created = new TinyLogServer(buffer);
        sTinyLogServer.store(created);
    }
    // Outside the lock: the rule reader opens a channel of its own.
    created->LoadConfig();
}

Logger::~Logger() = default;

Logger* Logger::Create(const char* name, const char*, int) {
    return new Logger(name, nullptr);
}

void Logger::Free(Logger*& logger) {
    delete logger;
}

void Logger::ReadConfiguration(const char* configuration, char* out) {
    out[0] = '\0';
    const char* source = configuration;
    if (source == nullptr) {
        source = std::getenv("ZR_TINY_LOGGER");
    }
    if (source != nullptr && std::strlen(source) < kConfigurationSize) {
        std::strcpy(out, source);
    }
    if (out[0] == '\0') {
        std::strcpy(out, kDefaultConfiguration);
    }
}

void Logger::Log(PriorityLevel level, const char* file, unsigned int line, const char* function,
                 const char* format, ...) {
    std::list<LogSink*>* sinks = LogSink::GetSinks();
    TinyLogServer* server = sTinyLogServer.load(std::memory_order_acquire);
    const bool enabled = server != nullptr && server->IsPriorityEnabled(mName.c_str(), level);
    if (!enabled && (sinks == nullptr || sinks->empty())) {
        return;
    }
    char message[kLogMessageSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    if (enabled) {
        server->Log(level, AfterLastSlash(file), line, function, mName.c_str(), message);
    }
    CallSinks(sinks, level, file, line, function, mName.c_str(), message);
}

Result Logger::LogResult(unsigned int code, const char* file, unsigned int line,
                         const char* function, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Result result = LogResultV(code, file, line, function, format, args);
    va_end(args);
    return result;
}

Result Logger::LogResultV(unsigned int code, const char* file, unsigned int line,
                          const char* function, const char* format, va_list args) {
    char message[kResultMessageSize];
    std::vsnprintf(message, sizeof(message), format, args);
    TinyLogServer* server = sTinyLogServer.load(std::memory_order_acquire);
    if (server != nullptr) {
        server->Log(PRIORITY_ERROR, FromLastSlash(file), line, function, mName.c_str(), message);
    }
    CallSinks(LogSink::GetSinks(), PRIORITY_ERROR, file, line, function, mName.c_str(), message);
    return Result(code, "%s", message);
}

bool Logger::IsPriorityEnabled(PriorityLevel level) {
    TinyLogServer* server = sTinyLogServer.load(std::memory_order_acquire);
    return server != nullptr && server->IsPriorityEnabled(mName.c_str(), level);
}

void Logger::SetLogPriority(int level) {
    TinyLogServer* server = sTinyLogServer.load(std::memory_order_acquire);
    if (server != nullptr) {
        server->SetLimitLevel(level);
    }
}

int Logger::GetLogPriority() {
    TinyLogServer* server = sTinyLogServer.load(std::memory_order_acquire);
    return server != nullptr ? server->GetLimitLevel() : -1;
}

void Logger::ResetConfiguration(LogConfiguration) {}

}  // namespace ZrUtilsLib
