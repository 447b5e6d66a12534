#pragma once

#include <cstdint>

#include "ZrUtilsLib/TinyLogServerOutput.h"

namespace ZrUtilsLib {

// Log lines on the buffered standard-output stream.
class TinyLogServerStdout : public TinyLogServerOutput {
public:
    static const char* const sLevelMapping[kLevelCount];

    TinyLogServerStdout(TinyLogServerRecordList* pendingList, TinyLogServerRecordList* freeList);
    ~TinyLogServerStdout() override;

    // Records the start time from which the lines count their milliseconds.
    bool Open();

    void Format(LOGSERVERITEM* record, int level, const char* file, unsigned int line,
                const char* function, const char* channel, const char* message) override;
    void Write(LOGSERVERITEM* record) override;

private:
    uint64_t mStartTime;
};

}  // namespace ZrUtilsLib
