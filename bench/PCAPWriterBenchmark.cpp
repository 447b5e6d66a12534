// Storing a recording: PCAPWriter writing 1,000,000,000 bytes of recorded Buffers (100 of
// 10,000,000 bytes, the Continuous mode's size) beside a loop of plain write() calls of the same
// 10,000,000-byte blocks, which is what `dd bs=10M` does. Both write a new file in the directory
// named by KV_BENCH_DIR (default /tmp); bench/store-vs-dd.sh compares with dd itself.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ZrUtilsLib/Thread.h"
#include "app/PCAPWriter.h"

using KvTransportLayerLib::Network::PCAP::Buffer;

namespace {

constexpr unsigned int kBufferSize = 10000000;
constexpr unsigned int kBufferCount = 100;
constexpr uint32_t kMaximumPacketSize = 1514;

std::string OutputPath(const char* name) {
    const char* directory = std::getenv("KV_BENCH_DIR");
    return std::string(directory != nullptr ? directory : "/tmp") + "/" + name;
}

// Fills a Buffer with records of 1514-byte packets, as a busy capture leaves it.
void FillWithRecords(Buffer& buffer) {
    const uint32_t record = 16 + kMaximumPacketSize;
    uint32_t used = 0;
    uint32_t count = 0;
    for (; used + record <= buffer.GetSize(); used += record, ++count) {
        const uint32_t header[4] = {1700000000u + count, count % 1000000u, kMaximumPacketSize,
                                    kMaximumPacketSize};
        std::memcpy(buffer.GetData() + used, header, sizeof(header));
        std::memset(buffer.GetData() + used + 16, static_cast<int>(count), kMaximumPacketSize);
    }
    buffer.SetDataLength(used);
    buffer.SetPacketCount(count);
}

class Recording {
public:
    Recording() {
        mRecorded.SetCapacity(kBufferCount + 1);
        mFree.SetCapacity(kBufferCount + 1);
        for (unsigned int i = 0; i < kBufferCount; ++i) {
            mBuffers.push_back(std::make_unique<Buffer>());
            mBuffers.back()->Allocate(kBufferSize);
            FillWithRecords(*mBuffers.back());
            mBytes += mBuffers.back()->GetDataLength();
        }
    }
    void Requeue() {
        while (mFree.Pop() != nullptr) {
        }
        for (const auto& buffer : mBuffers) {
            mRecorded.Push(buffer.get());
        }
    }
    uint64_t GetBytes() const { return mBytes; }
    const std::vector<std::unique_ptr<Buffer>>& GetBuffers() const { return mBuffers; }
    PCAPWriter::BufferQueue* GetRecorded() { return &mRecorded; }
    PCAPWriter::BufferQueue* GetFree() { return &mFree; }

private:
    std::vector<std::unique_ptr<Buffer>> mBuffers;
    PCAPWriter::BufferQueue mRecorded;
    PCAPWriter::BufferQueue mFree;
    uint64_t mBytes = 0;
};

Recording& SharedRecording() {
    static Recording recording;
    return recording;
}

void StoreWithPCAPWriter(benchmark::State& state) {
    Recording& recording = SharedRecording();
    const std::string path = OutputPath("kv-bench-writer.pcap");
    for (auto _ : state) {
        state.PauseTiming();
        unlink(path.c_str());
        recording.Requeue();
        PCAPWriter writer;
        state.ResumeTiming();
        writer.StartStore(path.c_str(), kMaximumPacketSize, recording.GetRecorded(),
                          recording.GetFree());
        writer.WaitForStoreCompletion();
        if (writer.GetStoreResult().GetCode() != ZrUtilsLib::OK) {
            state.SkipWithError(writer.GetStoreResult().GetDescription());
            break;
        }
    }
    unlink(path.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (recording.GetBytes() + 24)));
}

// What dd bs=10M does for its output: open with truncation, one write() per block, close.
void StoreWithWriteLoop(benchmark::State& state) {
    Recording& recording = SharedRecording();
    const std::string path = OutputPath("kv-bench-write.out");
    for (auto _ : state) {
        state.PauseTiming();
        unlink(path.c_str());
        state.ResumeTiming();
        const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        for (const auto& buffer : recording.GetBuffers()) {
            if (write(file, buffer->GetData(), buffer->GetDataLength()) !=
                static_cast<ssize_t>(buffer->GetDataLength())) {
                state.SkipWithError("short write");
            }
        }
        close(file);
    }
    unlink(path.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * recording.GetBytes()));
}

}  // namespace

BENCHMARK(StoreWithPCAPWriter)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(StoreWithWriteLoop)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
