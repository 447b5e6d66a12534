#pragma once

#include <cstdint>

namespace ZrUtilsLib {

struct LOGSERVERITEM;
class TinyLogServerRecordList;

// The single output of the log server. Format runs on the logging thread, on a record that is
// on neither list; Write runs on the server's thread only, so outputs need no lock of their own.
class TinyLogServerOutput {
public:
    static constexpr int kLevelCount = 9;

    TinyLogServerOutput(TinyLogServerRecordList* pendingList, TinyLogServerRecordList* freeList);
    virtual ~TinyLogServerOutput();
    TinyLogServerOutput(const TinyLogServerOutput&) = delete;
    TinyLogServerOutput& operator=(const TinyLogServerOutput&) = delete;

    virtual void Format(LOGSERVERITEM* record, int level, const char* file, unsigned int line,
                        const char* function, const char* channel, const char* message) = 0;
    virtual void Write(LOGSERVERITEM* record) = 0;

protected:
    // The standard-output and file line:
    // "elapsed TAB level TAB channel->file:line::function - message\r\n", cut to the record's
    // size (a cut line loses its line end). Levels above 8 show the name of 8; levels below 0,
    // which have no name, show their number.
    static void FormatLine(LOGSERVERITEM* record, const char* const levelNames[kLevelCount],
                           int64_t elapsedMilliseconds, int level, const char* file,
                           unsigned int line, const char* function, const char* channel,
                           const char* message);

    TinyLogServerRecordList* mPendingList;
    TinyLogServerRecordList* mFreeList;
};

}  // namespace ZrUtilsLib
