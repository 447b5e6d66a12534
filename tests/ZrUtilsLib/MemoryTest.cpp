#include "ZrUtilsLib/Memory.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

using namespace ZrUtilsLib;

namespace {

constexpr size_t kLargeSize = 10000000;

// Pages of the area that are backed by memory now.
size_t ResidentPages(void* area, size_t size) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t begin = reinterpret_cast<uintptr_t>(area) & ~(page - 1);
    const size_t length = reinterpret_cast<uintptr_t>(area) + size - begin;
    std::vector<unsigned char> state((length + page - 1) / page);
    if (mincore(reinterpret_cast<void*>(begin), length, state.data()) != 0) {
        return 0;
    }
    size_t resident = 0;
    for (unsigned char flags : state) {
        resident += flags & 1u;
    }
    return resident;
}

}  // namespace

// A fresh large area holds no memory until it is touched; once committed, every page of it does.
TEST(CommitMemory, BacksEveryPageOfTheArea) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t pages = (kLargeSize + page - 1) / page;
    void* area = std::malloc(kLargeSize);
    ASSERT_NE(area, nullptr);
    EXPECT_LT(ResidentPages(area, kLargeSize), pages / 2);
    CommitMemory(area, kLargeSize);
    EXPECT_GE(ResidentPages(area, kLargeSize), pages);
    std::free(area);
}
