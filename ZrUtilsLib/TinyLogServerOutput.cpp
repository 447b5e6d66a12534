#include "ZrUtilsLib/TinyLogServerOutput.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "ZrUtilsLib/TinyLogServer.h"

namespace ZrUtilsLib {

namespace {

const char* TextOrEmpty(const char* text) {
    return text != nullptr ? text : "";
}

}  // namespace

TinyLogServerOutput::TinyLogServerOutput(TinyLogServerRecordList* pendingList,
                                         TinyLogServerRecordList* freeList)
    : mPendingList(pendingList), mFreeList(freeList) {}

TinyLogServerOutput::~TinyLogServerOutput() = default;

void TinyLogServerOutput::FormatLine(LOGSERVERITEM* record,
                                     const char* const levelNames[kLevelCount],
                                     int64_t elapsedMilliseconds, int level, const char* file,
                                     unsigned int line, const char* function, const char* channel,
                                     const char* message) {
    char levelNumber[16];
    const char* levelName = nullptr;
    if (level < 0) {
        std::snprintf(levelNumber, sizeof(levelNumber), "%d", level);
        levelName = levelNumber;
    } else {
        levelName = levelNames[std::min(level, kLevelCount - 1)];
    }
    // One byte more than the record holds, for the terminating NUL of snprintf.
    char text[LOGSERVERITEM::kTextSize + 1];
    const int length =
        std::snprintf(text, sizeof(text), "%lld\t%s\t%s->%s:%u::%s - %s\r\n",
                      static_cast<long long>(elapsedMilliseconds), levelName, TextOrEmpty(channel),
                      TextOrEmpty(file), line, TextOrEmpty(function), TextOrEmpty(message));
    const size_t stored =
        length < 0 ? 0 : std::min(static_cast<size_t>(length), LOGSERVERITEM::kTextSize);
    std::memcpy(record->text, text, stored);
    record->length = static_cast<int64_t>(stored);
}

}  // namespace ZrUtilsLib
