#include "ZrUtilsLib/TinyLogServerStdout.h"

#include <cstdio>

#include "ZrUtilsLib/Thread.h"
#include "ZrUtilsLib/TinyLogServer.h"

namespace ZrUtilsLib {

const char* const TinyLogServerStdout::sLevelMapping[kLevelCount] = {
    "EMER", "----", "CRIT", "ERR", "WARN", "----", "INFO", "DBG", "NSET"};

TinyLogServerStdout::TinyLogServerStdout(TinyLogServerRecordList* pendingList,
                                         TinyLogServerRecordList* freeList)
    : TinyLogServerOutput(pendingList, freeList), mStartTime(0) {}

TinyLogServerStdout::~TinyLogServerStdout() = default;

bool TinyLogServerStdout::Open() {
    mStartTime = Thread::GetTickCount();
    return true;
}

void TinyLogServerStdout::Format(LOGSERVERITEM* record, int level, const char* file,
                                 unsigned int line, const char* function, const char* channel,
                                 const char* message) {
    const int64_t elapsed = static_cast<int64_t>(Thread::GetTickCount() - mStartTime);
    FormatLine(record, sLevelMapping, elapsed, level, file, line, function, channel, message);
}

void TinyLogServerStdout::Write(LOGSERVERITEM* record) {
    std::fwrite(record->text, 1, static_cast<size_t>(record->length), stdout);
}

}  // namespace ZrUtilsLib
