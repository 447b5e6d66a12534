#pragma once

#include <atomic>

#include "ZrUtilsLib/Thread.h"
#include "app/PCAPSniffer.h"

// A sniffer whose thread, at one replacement, stops between finding the recording still going
// and lending: it waits there until the capture filter no longer accepts Buffers (at most 3 s), so
// that the lend meets a stopping filter however the threads are scheduled.
class HeldSniffer : public PCAPSniffer {
public:
    enum class HoldAt {
        FirstReplacement,
        FirstCircularReplacement,  // the first one that lends the oldest recorded Buffer
    };

    explicit HeldSniffer(HoldAt at) : mAt(at) {}
    // The thread calls back into this object: it must end before this part is destroyed.
    ~HeldSniffer() override { Close(); }

    bool WaitUntilHeld(unsigned int milliseconds) const {
        for (unsigned int waited = 0; !mHeld.load() && waited < milliseconds; waited += 5) {
            ZrUtilsLib::Thread::Sleep(5);
        }
        return mHeld.load();
    }
    // The head of the recorded queue when the thread was held.
    Buffer* GetOldestRecordedWhenHeld() const { return mOldestRecorded.load(); }
    // Stops the capture filter alone, as a filter that fails would stop.
    void StopFilterOnly() { GetFilter().Stop(); }

protected:
    void BeforeLendingReplacement() override {
        if (mHeld.load() ||
            (mAt == HoldAt::FirstCircularReplacement && !GetFreeQueue()->IsEmpty())) {
            return;
        }
        mOldestRecorded.store(GetRecordedQueue()->Peek());
        mHeld.store(true);
        for (unsigned int waited = 0; GetFilter().IsAcceptingBuffers() && waited < 3000;
             waited += 5) {
            ZrUtilsLib::Thread::Sleep(5);
        }
    }

private:
    const HoldAt mAt;
    std::atomic<bool> mHeld{false};
    std::atomic<Buffer*> mOldestRecorded{nullptr};
};
