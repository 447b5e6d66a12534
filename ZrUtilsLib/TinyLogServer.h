#pragma once

#include <atomic>

namespace ZrUtilsLib {

// The process's one log server. Placeholder until the logging service is built: it accepts
// its configuration, enables nothing and outputs nothing.
class TinyLogServer {
public:
    explicit TinyLogServer(const char* configuration);
    ~TinyLogServer();
    TinyLogServer(const TinyLogServer&) = delete;
    TinyLogServer& operator=(const TinyLogServer&) = delete;

    void LoadConfig();
    bool IsPriorityEnabled(const char* channel, int level);
    void Log(int level, const char* file, unsigned int line, const char* function,
             const char* channel, const char* message);

    // The limit level; setting it also sets the rule set's default level.
    int GetLimitLevel() const { return mLimitLevel.load(std::memory_order_relaxed); }
    void SetLimitLevel(int level);

private:
    std::atomic<int> mLimitLevel;
};

}  // namespace ZrUtilsLib
