#pragma once

#include <cstdint>
#include <memory>

#include "ZrUtilsLib/TinyLogServerOutput.h"

namespace ZrUtilsLib {

// One syslog datagram per record, sent over UDP to port 514 of an IPv4 receiver.
class TinyLogServerSyslog : public TinyLogServerOutput {
public:
    static constexpr unsigned int kDefaultFacility = 23;
    static constexpr uint16_t kPort = 514;
    static constexpr size_t kHostNameSize = 128;
    static constexpr size_t kTimeTextSize = 80;

    TinyLogServerSyslog(TinyLogServerRecordList* pendingList, TinyLogServerRecordList* freeList);
    ~TinyLogServerSyslog() override;

    // False when the address is not dotted-decimal IPv4 (nothing is ever sent then) or no
    // socket could be made. A facility of 0 keeps the default.
    bool Open(const char* address, unsigned int facility);

    void Format(LOGSERVERITEM* record, int level, const char* file, unsigned int line,
                const char* function, const char* channel, const char* message) override;
    void Write(LOGSERVERITEM* record) override;

private:
    struct State;
    std::unique_ptr<State> mState;
};

}  // namespace ZrUtilsLib
