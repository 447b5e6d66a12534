#include "ZrUtilsLib/Memory.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

// A fresh large area holds no memory until it is touched; once committed, every page of it does.
TEST(CommitMemory, BacksEveryPageOfTheArea) {
    const size_t size = 10000000, page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* area = std::malloc(size);
    ASSERT_NE(area, nullptr);
    const uintptr_t begin = reinterpret_cast<uintptr_t>(area) & ~(page - 1);
    const size_t length = reinterpret_cast<uintptr_t>(area) + size - begin;
    std::vector<unsigned char> state((length + page - 1) / page);
    const auto resident = [&] {  // pages of the area backed by memory now
        EXPECT_EQ(mincore(reinterpret_cast<void*>(begin), length, state.data()), 0);
        return std::count_if(state.begin(), state.end(), [](unsigned char s) { return s & 1u; });
    };
    EXPECT_LT(resident(), static_cast<long>(state.size() / 2));
    ZrUtilsLib::CommitMemory(area, size);
    EXPECT_EQ(resident(), static_cast<long>(state.size()));
    std::free(area);
}
