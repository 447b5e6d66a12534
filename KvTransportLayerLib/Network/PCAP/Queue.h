#pragma once

#include <cstdint>
#include <cstdlib>

namespace KvTransportLayerLib {
namespace Network {

// A fixed-capacity ring of item pointers without a lock. One slot always stays empty, so a
// queue of capacity N holds at most N - 1 items. It neither creates nor destroys the items.
template <class Item>
class Queue {
public:
    Queue() = default;
    virtual ~Queue();
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;

    // Replaces any previous storage; false (and no storage) when it cannot be allocated.
    bool SetCapacity(unsigned int slots) {
        FreeStorage();
        mHead = 0;
        mTail = 0;
        mCapacity = 0;
        if (slots == 0 || slots > SIZE_MAX / sizeof(Item*)) {
            return false;
        }
        mStorage = static_cast<Item**>(std::malloc(slots * sizeof(Item*)));
        if (mStorage == nullptr) {
            return false;
        }
        mCapacity = slots;
        return true;
    }

    bool Push(Item* item) {
        if (mStorage == nullptr || IsFull()) {
            return false;
        }
        mStorage[mTail] = item;
        mTail = (mTail + 1) % mCapacity;
        return true;
    }

    Item* Pop() {
        if (mStorage == nullptr || IsEmpty()) {
            return nullptr;
        }
        Item* item = mStorage[mHead];
        mHead = (mHead + 1) % mCapacity;
        return item;
    }

    // The item Pop would return, left in the queue; null when there is none.
    Item* Peek() const {
        if (mStorage == nullptr || IsEmpty()) {
            return nullptr;
        }
        return mStorage[mHead];
    }

    bool IsEmpty() const { return mHead == mTail; }
    bool IsFull() const { return mCapacity == 0 || (mTail + 1) % mCapacity == mHead; }
    unsigned int GetCapacity() const { return mCapacity; }
    unsigned int GetCount() const {
        return mCapacity == 0 ? 0 : (mTail + mCapacity - mHead) % mCapacity;
    }

    // Releases the storage; the items are not touched.
    void FreeStorage() {
        std::free(mStorage);
        mStorage = nullptr;
        mHead = 0;
        mTail = 0;
        mCapacity = 0;
    }

private:
    uint32_t mHead = 0;
    uint32_t mTail = 0;
    uint32_t mCapacity = 0;
    Item** mStorage = nullptr;
};

template <class Item>
Queue<Item>::~Queue() {
    std::free(mStorage);
}

}  // namespace Network
}  // namespace KvTransportLayerLib
