#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "ZrUtilsLib/Gate.h"
#include "ZrUtilsLib/Thread.h"
#include "ZrUtilsLib/TinyLogServerFile.h"
#include "ZrUtilsLib/TinyLogServerOutput.h"
#include "ZrUtilsLib/TinyLogServerRecordList.h"
#include "ZrUtilsLib/TinyLogServerStdout.h"
#include "ZrUtilsLib/TinyLogServerSyslog.h"

namespace ZrUtilsLib {

class Semaphore;
class TinyLogConfig;

// One queued log line. The text is not NUL-terminated when it fills all of it.
struct LOGSERVERITEM {
    static constexpr size_t kTextSize = 512;
    int64_t length;
    char text[kTextSize];
};

// The process's one log server: it decides through its rule set and its limit level which
// messages are output, formats each accepted one into a pooled record on the logging thread
// and queues it; the thread "TinyLogServerThread" hands queued records to the single output.
//
// Configuration string, comma-separated (a run of commas is one separator):
//   stdout,level[,records[,thread priority]]
//   file,level,path[,maximum size[,records[,thread priority]]]
//   syslog,level,IPv4 address[,facility[,records[,thread priority]]]
// A rejected configuration leaves a server with limit level 0, no output and no thread.
class TinyLogServer : private Thread {
public:
    static constexpr const char* kConfigDirectory = "/etc/Halvex";
    static constexpr const char* kThreadName = "TinyLogServerThread";
    static constexpr size_t kConfigurationSize = 4096;
    static constexpr size_t kMaximumAddressLength = 31;
    static constexpr int kDefaultLimitLevel = 3;
    static constexpr int kHighestLevel = 8;
    static constexpr long kDefaultRecordCount = 128;
    // Bounds the pool a configuration can ask for (each record is about half a kilobyte).
    static constexpr long kMaximumRecordCount = 65536;
    static constexpr unsigned int kWaitMilliseconds = 50;

    explicit TinyLogServer(const char* configuration);
    ~TinyLogServer() override;
    TinyLogServer(const TinyLogServer&) = delete;
    TinyLogServer& operator=(const TinyLogServer&) = delete;

    // Creates the rule set and reads its files, once; later calls do nothing. The server of a
    // process always reads the fixed directory.
    void LoadConfig(const char* directory = kConfigDirectory);
    bool IsPriorityEnabled(const char* channel, int level);
    // Queues one line; never waits for the output and drops the message when no record is free.
    void Log(int level, const char* file, unsigned int line, const char* function,
             const char* channel, const char* message);

    // The limit level; setting it also sets the rule set's default level.
    int GetLimitLevel() const { return mLimitLevel.load(std::memory_order_relaxed); }
    void SetLimitLevel(int level);

    using Thread::IsRunning;
    size_t GetRecordCount() const { return mRecordCount; }
    uint64_t GetDroppedCount();
    // Waits until every record queued before the call has been written; false on time-out.
    bool WaitUntilIdle(unsigned int milliseconds);

protected:
    Result Run() override;

private:
    bool Configure(char* configuration);
    void AllocatePool(long recordCount);

    std::atomic<int> mLimitLevel;
    std::unique_ptr<LOGSERVERITEM[]> mPool;
    size_t mRecordCount;
    TinyLogServerRecordList mFreeList;
    TinyLogServerRecordList mPendingList;
    std::unique_ptr<Semaphore> mSemaphore;
    Gate mGate;
    std::unique_ptr<TinyLogServerOutput> mOutput;
    std::unique_ptr<TinyLogConfig> mRuleSetOwner;
    // Read without a lock by every IsPriorityEnabled; set once by LoadConfig.
    std::atomic<TinyLogConfig*> mRuleSet;
    std::atomic<bool> mRuleSetLoading;
    // Under the gate.
    uint64_t mQueuedCount;
    uint64_t mWrittenCount;
    uint64_t mDroppedCount;
};

}  // namespace ZrUtilsLib
