// Whether capture Buffers should be pre-faulted: the cost per record of writing packet records
// (16-byte header and the packet bytes, as the capture thread does) into a Buffer whose pages
// were never touched (each new page is a page fault taken on the capture path) beside one whose
// pages were touched beforehand; and the cost of touching a 10,000,000-byte Buffer in advance.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr size_t kBufferSize = 10000000;

// A fixed threshold keeps every large block a fresh mapping, as in a recording where Buffers
// are allocated once and never freed while capture runs.
const bool kFreshMappings = mallopt(M_MMAP_THRESHOLD, 128 * 1024) == 1;

void TouchEveryPage(unsigned char* data, size_t size) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    volatile unsigned char* bytes = data;
    for (size_t offset = 0; offset < size; offset += page) {
        bytes[offset] = 0;
    }
}

// Writes records until the Buffer is full; returns how many.
size_t FillWithRecords(unsigned char* data, const std::vector<unsigned char>& packet) {
    const size_t record = 16 + packet.size();
    size_t count = 0;
    for (size_t used = 0; used + record <= kBufferSize; used += record, ++count) {
        const uint32_t header[4] = {1700000000u, static_cast<uint32_t>(count),
                                    static_cast<uint32_t>(packet.size()),
                                    static_cast<uint32_t>(packet.size())};
        std::memcpy(data + used, header, sizeof(header));
        std::memcpy(data + used + 16, packet.data(), packet.size());
    }
    benchmark::DoNotOptimize(data);
    return count;
}

template <bool kPrefaulted>
void RecordsIntoNewBuffer(benchmark::State& state) {
    benchmark::DoNotOptimize(kFreshMappings);
    const std::vector<unsigned char> packet(static_cast<size_t>(state.range(0)), 0x5A);
    size_t records = 0;
    for (auto _ : state) {
        state.PauseTiming();
        unsigned char* data = static_cast<unsigned char*>(std::malloc(kBufferSize));
        if (kPrefaulted) {
            TouchEveryPage(data, kBufferSize);
        }
        state.ResumeTiming();
        records += FillWithRecords(data, packet);
        state.PauseTiming();
        std::free(data);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<int64_t>(records));
}

void TouchNewBuffer(benchmark::State& state) {
    benchmark::DoNotOptimize(kFreshMappings);
    for (auto _ : state) {
        state.PauseTiming();
        unsigned char* data = static_cast<unsigned char*>(std::malloc(kBufferSize));
        state.ResumeTiming();
        TouchEveryPage(data, kBufferSize);
        state.PauseTiming();
        std::free(data);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBufferSize));
}

// The kernel populating the pages in one call, without one trap per page.
void PopulateNewBuffer(benchmark::State& state) {
    benchmark::DoNotOptimize(kFreshMappings);
    for (auto _ : state) {
        state.PauseTiming();
        unsigned char* data = static_cast<unsigned char*>(std::malloc(kBufferSize));
        state.ResumeTiming();
        const uintptr_t page = 4096;
        const uintptr_t begin = reinterpret_cast<uintptr_t>(data) & ~(page - 1);
        if (madvise(reinterpret_cast<void*>(begin),
                    reinterpret_cast<uintptr_t>(data) + kBufferSize - begin,
                    MADV_POPULATE_WRITE) != 0) {
            state.SkipWithError("MADV_POPULATE_WRITE refused");
        }
        state.PauseTiming();
        std::free(data);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBufferSize));
}

}  // namespace

BENCHMARK_TEMPLATE(RecordsIntoNewBuffer, false)->Arg(64)->Arg(1514)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(RecordsIntoNewBuffer, true)->Arg(64)->Arg(1514)->Unit(benchmark::kMillisecond);
BENCHMARK(TouchNewBuffer)->Unit(benchmark::kMillisecond);
BENCHMARK(PopulateNewBuffer)->Unit(benchmark::kMillisecond);
