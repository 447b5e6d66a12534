#include "ZrUtilsLib/TinyLogServerFile.h"

#include <errno.h>
#include <fcntl.h>
#include <semaphore.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "ZrUtilsLib/PUnix/Deadline.h"
#include "ZrUtilsLib/SuspendSignal.h"
#include "ZrUtilsLib/Thread.h"
#include "ZrUtilsLib/TinyLogServer.h"

namespace ZrUtilsLib {

const char* const TinyLogServerFile::sLevelMapping[kLevelCount] = {
    "EMER", "----", "CRIT", "ERR", "WARN", "----", "INFO", "DBG", "NSET"};

struct TinyLogServerFile::State {
    uint32_t maximumSize = kDefaultMaximumSize;
    uint32_t writeCount = 0;
    uint64_t startTime = 0;
    sem_t* lock = SEM_FAILED;
    SuspendSignal signalGuard;
    std::string path;
    std::string backupPath;
};

TinyLogServerFile::TinyLogServerFile(TinyLogServerRecordList* pendingList,
                                     TinyLogServerRecordList* freeList)
    : TinyLogServerOutput(pendingList, freeList), mState(new State) {}

TinyLogServerFile::~TinyLogServerFile() {
    if (mState->lock != SEM_FAILED) {
        sem_close(mState->lock);
        sem_unlink(kLockName);
        mState->lock = SEM_FAILED;
    }
}

// The backup keeps the log's own name as its stem, so rotation never removes another file:
// "app.log" gives "app.bak.log", any other name (".log" alone included) gets the suffix added.
std::string TinyLogServerFile::BackupPathFor(const std::string& path) {
    static const std::string kLogExtension = ".log";
    const std::string name = path.substr(path.find_last_of('/') + 1);  // npos + 1 is 0
    if (name.empty()) {
        return std::string();
    }
    const size_t stemLength = name.size() - std::min(name.size(), kLogExtension.size());
    if (stemLength > 0 && name.compare(stemLength, std::string::npos, kLogExtension) == 0) {
        return path.substr(0, path.size() - kLogExtension.size()) + kBackupSuffix;
    }
    return path + kBackupSuffix;
}

bool TinyLogServerFile::Open(const char* path, uint32_t maximumSize) {
    if (maximumSize != 0) {
        mState->maximumSize = maximumSize;
    }
    mState->startTime = Thread::GetTickCount();
    mState->path = path != nullptr ? path : "";
    mState->backupPath = BackupPathFor(mState->path);
    mState->lock = sem_open(kLockName, O_CREAT, kLockPermissions, 1);
    if (mState->lock == SEM_FAILED) {
        return false;
    }
    mState->signalGuard.mEnabled = true;
    return true;
}

void TinyLogServerFile::Format(LOGSERVERITEM* record, int level, const char* file,
                               unsigned int line, const char* function, const char* channel,
                               const char* message) {
    const int64_t elapsed = static_cast<int64_t>(Thread::GetTickCount() - mState->startTime);
    FormatLine(record, sLevelMapping, elapsed, level, file, line, function, channel, message);
}

void TinyLogServerFile::Write(LOGSERVERITEM* record) {
    mState->signalGuard.Suspend();
    const bool locked = AcquireLock();
    AppendRecord(record);
    if (locked) {
        ReleaseLock();
    }
    mState->signalGuard.Restore();
}

// Only a successful wait may be matched by a post: an extra post would let two writers in.
bool TinyLogServerFile::AcquireLock() {
    if (mState->lock == SEM_FAILED) {
        return false;
    }
    const timespec deadline = PUnix::RealTimeDeadline(kLockWaitMilliseconds);
    while (sem_timedwait(mState->lock, &deadline) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

void TinyLogServerFile::ReleaseLock() {
    sem_post(mState->lock);
}

void TinyLogServerFile::AppendRecord(const LOGSERVERITEM* record) {
    std::FILE* file = std::fopen(mState->path.c_str(), "a+e");
    if (file == nullptr) {
        return;
    }
    std::fwrite(record->text, 1, static_cast<size_t>(record->length), file);
    ++mState->writeCount;
    if (mState->writeCount <= kWritesBetweenSizeChecks) {
        std::fclose(file);
        return;
    }
    std::fseek(file, 0, SEEK_END);
    const long size = std::ftell(file);
    std::fclose(file);
    mState->writeCount = 0;
    if (size > 0 && static_cast<unsigned long>(size) > mState->maximumSize) {
        Rotate();
    }
}

// The next write creates a new file at the path.
void TinyLogServerFile::Rotate() {
    if (mState->backupPath.empty()) {
        return;
    }
    std::remove(mState->backupPath.c_str());
    std::rename(mState->path.c_str(), mState->backupPath.c_str());
    std::remove(mState->path.c_str());
}

}  // namespace ZrUtilsLib
