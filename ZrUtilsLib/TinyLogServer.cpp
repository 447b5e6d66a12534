#include "ZrUtilsLib/TinyLogServer.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ZrUtilsLib/Semaphore.h"
#include "ZrUtilsLib/TinyLogConfig.h"
#include "ZrUtilsLib/Utilities.h"

namespace ZrUtilsLib {

namespace {

constexpr size_t kMaximumFields = 6;

// Splits at commas in place; a run of commas is one separator, so no field is empty.
size_t SplitFields(char* text, char* fields[], size_t maximumFields) {
    size_t count = 0;
    char* cursor = text;
    while (*cursor != '\0' && count < maximumFields) {
        while (*cursor == ',') {
            ++cursor;
        }
        if (*cursor == '\0') {
            break;
        }
        fields[count++] = cursor;
        while (*cursor != '\0' && *cursor != ',') {
            ++cursor;
        }
        if (*cursor == ',') {
            *cursor++ = '\0';
        }
    }
    return count;
}

long ReadNumber(const char* field) {
    return std::strtol(field, nullptr, 10);
}

int LimitLevelFrom(const char* field) {
    const long level = ReadNumber(field);
    return level >= 0 && level <= TinyLogServer::kHighestLevel ? static_cast<int>(level)
                                                               : TinyLogServer::kDefaultLimitLevel;
}

// 0 keeps the output's default; so does a negative size, which names no size at all.
uint32_t MaximumSizeFrom(const char* field) {
    const long size = ReadNumber(field);
    if (size <= 0) {
        return 0;
    }
    return size > static_cast<long>(UINT32_MAX) ? UINT32_MAX : static_cast<uint32_t>(size);
}

unsigned int FacilityFrom(const char* field) {
    return static_cast<unsigned int>(ReadNumber(field));
}

unsigned int PriorityFrom(const char* field) {
    return static_cast<unsigned int>(ReadNumber(field));
}

}  // namespace

TinyLogServer::TinyLogServer(const char* configuration)
    : Thread(kThreadName, Thread::InternalPriorityNormal, false),
      mLimitLevel(kDefaultLimitLevel),
      mRecordCount(0),
      mRuleSet(nullptr),
      mRuleSetLoading(false),
      mQueuedCount(0),
      mWrittenCount(0),
      mDroppedCount(0) {
    char work[kConfigurationSize];
    work[0] = '\0';
    if (configuration != nullptr) {
        std::strncpy(work, configuration, sizeof(work) - 1);
        work[sizeof(work) - 1] = '\0';
    }
    if (!Configure(work)) {
        mOutput.reset();
        mLimitLevel.store(0, std::memory_order_relaxed);
    }
}

// Builds the output and the pool and starts the thread; false when the configuration is
// rejected.
bool TinyLogServer::Configure(char* configuration) {
    char* fields[kMaximumFields] = {};
    const size_t count = SplitFields(configuration, fields, kMaximumFields);
    if (count < 2) {
        return false;
    }
    const char* kind = fields[0];
    mLimitLevel.store(LimitLevelFrom(fields[1]), std::memory_order_relaxed);

    unsigned int priority = Thread::InternalPriorityNormal;
    long recordCount = 0;
    if (std::strcmp(kind, "file") == 0) {
        if (count < 3) {
            return false;
        }
        const uint32_t maximumSize = count > 3 ? MaximumSizeFrom(fields[3]) : 0;
        recordCount = count > 4 ? ReadNumber(fields[4]) : 0;
        priority = count > 5 ? PriorityFrom(fields[5]) : priority;
        auto output = std::make_unique<TinyLogServerFile>(&mPendingList, &mFreeList);
        const String path = ReplaceEnv(String(fields[2]));
        output->Open(path.GetAscii(), maximumSize);
        mOutput = std::move(output);
    } else if (std::strcmp(kind, "stdout") == 0) {
        recordCount = count > 2 ? ReadNumber(fields[2]) : 0;
        priority = count > 3 ? PriorityFrom(fields[3]) : priority;
        auto output = std::make_unique<TinyLogServerStdout>(&mPendingList, &mFreeList);
        output->Open();
        mOutput = std::move(output);
    } else if (std::strcmp(kind, "syslog") == 0) {
        if (count < 3 || std::strlen(fields[2]) > kMaximumAddressLength) {
            return false;
        }
        const unsigned int facility = count > 3 ? FacilityFrom(fields[3]) : 0;
        recordCount = count > 4 ? ReadNumber(fields[4]) : 0;
        priority = count > 5 ? PriorityFrom(fields[5]) : priority;
        auto output = std::make_unique<TinyLogServerSyslog>(&mPendingList, &mFreeList);
        output->Open(fields[2], facility);
        mOutput = std::move(output);
    } else {
        return false;
    }

    AllocatePool(recordCount);
    mSemaphore = std::make_unique<Semaphore>(0, 0, nullptr);
    if (priority != Thread::InternalPriorityNormal) {
        SetPriority(priority);
    }
    StartThread();
    return true;
}

void TinyLogServer::AllocatePool(long recordCount) {
    if (recordCount < 1) {
        recordCount = kDefaultRecordCount;
    } else if (recordCount > kMaximumRecordCount) {
        recordCount = kMaximumRecordCount;
    }
    mRecordCount = static_cast<size_t>(recordCount);
    mPool.reset(new LOGSERVERITEM[mRecordCount]());
    mFreeList.Reserve(mRecordCount);
    mPendingList.Reserve(mRecordCount);
    for (size_t i = 0; i < mRecordCount; ++i) {
        mFreeList.PushBack(&mPool[i]);
    }
}

TinyLogServer::~TinyLogServer() {
    if (IsRunning()) {
        StopThread();
        WaitUntilSignaled();
    }
    mOutput.reset();
    mSemaphore.reset();
    mPool.reset();
    mRuleSet.store(nullptr, std::memory_order_release);
    mRuleSetOwner.reset();
}

void TinyLogServer::LoadConfig(const char* directory) {
    if (mRuleSetLoading.exchange(true)) {
        return;
    }
    mRuleSetOwner = std::make_unique<TinyLogConfig>(directory, GetLimitLevel());
    TinyLogConfig* rules = mRuleSetOwner.get();
    // Published before reading, so that the reader's own messages already meet the rules read
    // so far.
    mRuleSet.store(rules, std::memory_order_release);
    rules->ReadConfig();
}

bool TinyLogServer::IsPriorityEnabled(const char* channel, int level) {
    TinyLogConfig* rules = mRuleSet.load(std::memory_order_acquire);
    if (rules != nullptr) {
        const int answer = rules->Check(channel != nullptr ? channel : "", level);
        if (answer == TinyLogConfig::kEnable) {
            return true;
        }
        if (answer == TinyLogConfig::kDisable) {
            return false;
        }
    }
    return level <= mLimitLevel.load(std::memory_order_relaxed);
}

void TinyLogServer::SetLimitLevel(int level) {
    mLimitLevel.store(level, std::memory_order_relaxed);
    TinyLogConfig* rules = mRuleSet.load(std::memory_order_acquire);
    if (rules != nullptr) {
        rules->SetDefaultLevel(level);
    }
}

void TinyLogServer::Log(int level, const char* file, unsigned int line, const char* function,
                        const char* channel, const char* message) {
    if (!IsRunning()) {
        return;
    }
    mGate.Lock();
    LOGSERVERITEM* record = mFreeList.PopFront();
    if (record == nullptr) {
        ++mDroppedCount;
        mGate.Unlock();
        return;
    }
    mGate.Unlock();

    // The record is on neither list now, so formatting needs no lock.
    mOutput->Format(record, level, file, line, function, channel, message);

    mGate.Lock();
    mPendingList.PushBack(record);
    ++mQueuedCount;
    mGate.Unlock();
    mSemaphore->Release();
}

Result TinyLogServer::Run() {
    while (!IsStopping()) {
        if (mSemaphore->Wait_ms(kWaitMilliseconds).GetCode() != OK) {
            continue;
        }
        mGate.Lock();
        LOGSERVERITEM* record = mPendingList.PopFront();
        mGate.Unlock();
        if (record == nullptr) {
            continue;
        }
        mOutput->Write(record);
        mGate.Lock();
        mFreeList.PushBack(record);
        ++mWrittenCount;
        mGate.Unlock();
    }
    return Result(OK);
}

uint64_t TinyLogServer::GetDroppedCount() {
    mGate.Lock();
    const uint64_t dropped = mDroppedCount;
    mGate.Unlock();
    return dropped;
}

bool TinyLogServer::WaitUntilIdle(unsigned int milliseconds) {
    mGate.Lock();
    const uint64_t target = mQueuedCount;
    mGate.Unlock();
    const uint64_t deadline = Thread::GetTickCount() + milliseconds;
    for (;;) {
        mGate.Lock();
        const bool written = mWrittenCount >= target;
        mGate.Unlock();
        if (written) {
            return true;
        }
        if (!IsRunning() || Thread::GetTickCount() > deadline) {
            return false;
        }
        Thread::Sleep(1);
    }
}

}  // namespace ZrUtilsLib
