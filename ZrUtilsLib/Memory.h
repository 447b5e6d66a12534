#pragma once

#include <cstddef>

namespace ZrUtilsLib {

// Backs a new area with memory now, so that writing it later takes no page fault and the
// memory is really committed. Bytes of the area may change.
void CommitMemory(void* area, size_t size);

}  // namespace ZrUtilsLib
