#include "ZrUtilsLib/TinyLogServerSyslog.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "ZrUtilsLib/TinyLogServer.h"

namespace ZrUtilsLib {

struct TinyLogServerSyslog::State {
    // -1: no socket, nothing is sent.
    int socket = -1;
    unsigned int facility = kDefaultFacility;
    char hostName[kHostNameSize] = {};
    sockaddr_in receiver{};
};

TinyLogServerSyslog::TinyLogServerSyslog(TinyLogServerRecordList* pendingList,
                                         TinyLogServerRecordList* freeList)
    : TinyLogServerOutput(pendingList, freeList), mState(new State) {}

TinyLogServerSyslog::~TinyLogServerSyslog() {
    if (mState->socket >= 0) {
        close(mState->socket);
        mState->socket = -1;
    }
}

bool TinyLogServerSyslog::Open(const char* address, unsigned int facility) {
    mState->receiver.sin_family = AF_INET;
    mState->receiver.sin_port = htons(kPort);
    if (address == nullptr || inet_pton(AF_INET, address, &mState->receiver.sin_addr) != 1) {
        return false;
    }
    if (gethostname(mState->hostName, sizeof(mState->hostName)) != 0) {
        mState->hostName[0] = '\0';
    }
    mState->hostName[sizeof(mState->hostName) - 1] = '\0';
    if (facility != 0) {
        mState->facility = facility;
    }
    mState->socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    return mState->socket >= 0;
}

void TinyLogServerSyslog::Format(LOGSERVERITEM* record, int level, const char* file,
                                 unsigned int line, const char* function, const char* channel,
                                 const char* message) {
    char timeText[kTimeTextSize];
    const time_t now = time(nullptr);
    tm local;
    if (localtime_r(&now, &local) == nullptr ||
        strftime(timeText, sizeof(timeText), "%c", &local) == 0) {
        timeText[0] = '\0';
    }
    const unsigned int priority = mState->facility * 8u + static_cast<unsigned int>(level);
    const int length = std::snprintf(
        record->text, LOGSERVERITEM::kTextSize, "<%u> %s %s Kova-SDK : %s->%s(%d)[%s] - %s",
        priority, timeText, mState->hostName, channel != nullptr ? channel : "",
        file != nullptr ? file : "", static_cast<int>(line), function != nullptr ? function : "",
        message != nullptr ? message : "");
    record->length = length < 0 ? 0 : std::min<int64_t>(length, LOGSERVERITEM::kTextSize - 1);
}

void TinyLogServerSyslog::Write(LOGSERVERITEM* record) {
    if (mState->socket < 0) {
        return;
    }
    sendto(mState->socket, record->text, static_cast<size_t>(record->length), 0,
           reinterpret_cast<const sockaddr*>(&mState->receiver), sizeof(mState->receiver));
}

}  // namespace ZrUtilsLib
