#pragma once

#include <cstddef>
#include <memory>

namespace ZrUtilsLib {

struct LOGSERVERITEM;

// A first-in first-out list of record pointers with room for every record of the server's
// pool, so that moving a record between lists never allocates. Not locked: the server's gate
// guards it.
class TinyLogServerRecordList {
public:
    TinyLogServerRecordList() = default;
    TinyLogServerRecordList(const TinyLogServerRecordList&) = delete;
    TinyLogServerRecordList& operator=(const TinyLogServerRecordList&) = delete;

    // Makes room for `capacity` records and empties the list.
    void Reserve(size_t capacity) {
        mSlots.reset(new LOGSERVERITEM*[capacity]());
        mCapacity = capacity;
        mFirst = 0;
        mCount = 0;
    }

    // False when the list is full, which a list sized for the whole pool never is.
    bool PushBack(LOGSERVERITEM* record) {
        if (mCount == mCapacity) {
            return false;
        }
        mSlots[(mFirst + mCount) % mCapacity] = record;
        ++mCount;
        return true;
    }

    // The oldest record, or null when the list is empty.
    LOGSERVERITEM* PopFront() {
        if (mCount == 0) {
            return nullptr;
        }
        LOGSERVERITEM* record = mSlots[mFirst];
        mFirst = (mFirst + 1) % mCapacity;
        --mCount;
        return record;
    }

    size_t GetCount() const { return mCount; }
    size_t GetCapacity() const { return mCapacity; }

private:
    std::unique_ptr<LOGSERVERITEM*[]> mSlots;
    size_t mCapacity = 0;
    size_t mFirst = 0;
    size_t mCount = 0;
};

}  // namespace ZrUtilsLib
