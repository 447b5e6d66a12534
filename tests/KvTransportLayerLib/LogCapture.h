#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "ZrUtilsLib/LogSink.h"

// Collects every logged message while it exists; messages may come from any thread.
class LogCapture : public ZrUtilsLib::LogSink {
public:
    struct Entry {
        int level;
        std::string function;
        std::string channel;
        std::string message;
    };

    void OnLog(int level, const char*, unsigned int, const char* function, const char* channel,
               const char* message) override {
        std::lock_guard<std::mutex> lock(mMutex);
        mEntries.push_back({level, function, channel, message});
    }

    // The first entry of the channel whose message starts with the prefix, or null.
    bool Find(const std::string& channel, const std::string& prefix, Entry* found = nullptr) {
        std::lock_guard<std::mutex> lock(mMutex);
        for (const Entry& entry : mEntries) {
            if (entry.channel == channel && entry.message.compare(0, prefix.size(), prefix) == 0) {
                if (found != nullptr) {
                    *found = entry;
                }
                return true;
            }
        }
        return false;
    }

private:
    std::mutex mMutex;
    std::vector<Entry> mEntries;
};
