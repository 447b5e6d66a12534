#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ZrUtilsLib/TinyLogServerOutput.h"

namespace ZrUtilsLib {

// Log lines appended to a file, one open/append/close per record, rotated to its ".bak.log"
// name when it grows past the maximum size. Writes of every process on the machine are
// serialised by the named semaphore "Kova_SDK_Logger", and termination signals are held back
// during each write.
class TinyLogServerFile : public TinyLogServerOutput {
public:
    static const char* const sLevelMapping[kLevelCount];
    static constexpr uint32_t kDefaultMaximumSize = 1024000;
    // The size is checked on the write that follows this many unchecked ones.
    static constexpr uint32_t kWritesBetweenSizeChecks = 50;
    static constexpr const char* kLockName = "/Kova_SDK_Logger";
    static constexpr unsigned int kLockPermissions = 0626;
    // A holder that died inside its write never posts the lock again; past this wait the
    // record is written without the lock rather than stalling logging for good.
    static constexpr unsigned int kLockWaitMilliseconds = 3000;
    static constexpr const char* kBackupSuffix = ".bak.log";

    TinyLogServerFile(TinyLogServerRecordList* pendingList, TinyLogServerRecordList* freeList);
    ~TinyLogServerFile() override;

    // A maximum size of 0 keeps the default. Returns whether the shared lock was opened;
    // without it records are still written, unlocked.
    bool Open(const char* path, uint32_t maximumSize);

    void Format(LOGSERVERITEM* record, int level, const char* file, unsigned int line,
                const char* function, const char* channel, const char* message) override;
    void Write(LOGSERVERITEM* record) override;

    // The rotation target: a trailing ".log" becomes ".bak.log", any other name gets ".bak.log"
    // appended. Empty for a path without a file name (empty or ending in '/').
    static std::string BackupPathFor(const std::string& path);

private:
    struct State;
    bool AcquireLock();
    void ReleaseLock();
    void AppendRecord(const LOGSERVERITEM* record);
    void Rotate();

    std::unique_ptr<State> mState;
};

}  // namespace ZrUtilsLib
