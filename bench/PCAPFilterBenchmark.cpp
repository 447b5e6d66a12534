// Cost per packet of the packet filter core beside a bare loop that does only what the core
// must: one wall-clock read and the copy of the same record into a large area.
#include <benchmark/benchmark.h>
#include <time.h>

#include <cstring>
#include <vector>

#include "KvTransportLayerLib/Network/PCAP/PCAPFilter.h"

namespace {

constexpr uint32_t kMaximumPacketSize = 1514;
constexpr uint32_t kAreaSize = 10000000;
constexpr uint32_t kAreas = 4;

// Four large areas lent to a core; lent again whenever all are complete.
class LentCore {
public:
    LentCore() : mAreas(kAreas, std::vector<uint8_t>(kAreaSize, 0)) {
        PCAP_FilterInit(&mCore, kMaximumPacketSize);
        PCAP_FilterStart(&mCore);
        LendAll();
    }
    ~LentCore() { PCAP_FilterClose(&mCore); }

    PCAP_FilterContext* Get() { return &mCore; }
    bool Exhausted() const { return mCore.fillable == 0; }
    void Relend() {
        uint32_t dataLength, packetCount, dropped;
        while (PCAP_FilterRetrieveBuffer(&mCore, 0, &dataLength, &packetCount, &dropped) ==
               PCAP_FILTER_SUCCESS) {
        }
        LendAll();
    }

private:
    void LendAll() {
        for (std::vector<uint8_t>& area : mAreas) {
            PCAP_FilterQueueBuffer(&mCore, area.data(), kAreaSize);
        }
    }

    PCAP_FilterContext mCore;
    std::vector<std::vector<uint8_t>> mAreas;
};

template <bool kLockPerPacket, bool kClock>
void ProcessPacket(benchmark::State& state) {
    const uint32_t length = static_cast<uint32_t>(state.range(0));
    std::vector<uint8_t> packet(length, 0x5A);
    LentCore core;
    PCAP_FilterContext* context = core.Get();
    if (!kLockPerPacket) {
        OS_Lock(&context->lock);
    }
    for (auto _ : state) {
        if (kLockPerPacket) {
            OS_Lock(&context->lock);
        }
        const int code =
            kClock ? PCAP_FilterProcessPacket(context, packet.data(), length, length)
                   : PCAP_FilterProcessPacketAt(context, packet.data(), length, length, 1, 2);
        if (kLockPerPacket) {
            OS_Unlock(&context->lock);
        }
        if (code != PCAP_FILTER_SUCCESS || core.Exhausted()) {
            state.PauseTiming();
            if (!kLockPerPacket) {
                OS_Unlock(&context->lock);
            }
            core.Relend();
            if (!kLockPerPacket) {
                OS_Lock(&context->lock);
            }
            state.ResumeTiming();
        }
    }
    if (!kLockPerPacket) {
        OS_Unlock(&context->lock);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * (length + 16));
}

// The floor: a clock read and the copy of header and packet into the same four areas in turn,
// nothing else.
void BareLoop(benchmark::State& state) {
    const uint32_t length = static_cast<uint32_t>(state.range(0));
    std::vector<uint8_t> packet(length, 0x5A);
    std::vector<std::vector<uint8_t>> areas(kAreas, std::vector<uint8_t>(kAreaSize, 0));
    uint32_t area = 0;
    uint8_t* data = areas[0].data();
    uint32_t used = 0;
    for (auto _ : state) {
        if (used + 16 + length > kAreaSize) {
            area = (area + 1) % kAreas;
            data = areas[area].data();
            used = 0;
        }
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        const uint32_t header[4] = {static_cast<uint32_t>(now.tv_sec),
                                    static_cast<uint32_t>(now.tv_nsec / 1000), length, length};
        std::memcpy(data + used, header, sizeof(header));
        std::memcpy(data + used + 16, packet.data(), length);
        used += 16 + length;
        benchmark::DoNotOptimize(data);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * (length + 16));
}

// As the function's contract says: the caller holds the lock over the call.
void CoreProcessPacket(benchmark::State& state) {
    ProcessPacket<false, true>(state);
}
// As the capture thread runs it: one lock per packet, libpcap's timestamp instead of the clock.
void CaptureThreadPath(benchmark::State& state) {
    ProcessPacket<true, false>(state);
}
// As the capture thread runs it since it reads libpcap in batches: one lock per batch of
// range(1) packets, libpcap's timestamps.
void BatchedCapturePath(benchmark::State& state) {
    const uint32_t length = static_cast<uint32_t>(state.range(0));
    const int64_t batch = state.range(1);
    std::vector<uint8_t> packet(length, 0x5A);
    LentCore core;
    PCAP_FilterContext* context = core.Get();
    int64_t packets = 0;
    for (auto _ : state) {
        bool exhausted = false;
        OS_Lock(&context->lock);
        for (int64_t index = 0; index < batch; ++index) {
            exhausted |= PCAP_FilterProcessPacketAt(context, packet.data(), length, length, 1, 2) !=
                         PCAP_FILTER_SUCCESS;
        }
        OS_Unlock(&context->lock);
        packets += batch;
        if (exhausted || core.Exhausted()) {
            state.PauseTiming();
            core.Relend();
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(packets);
    state.SetBytesProcessed(packets * (length + 16));
}
// The clock-stamping variant with one lock per packet.
void CoreProcessPacketLocked(benchmark::State& state) {
    ProcessPacket<true, true>(state);
}

}  // namespace

BENCHMARK(BareLoop)->Arg(64)->Arg(1514);
BENCHMARK(CoreProcessPacket)->Arg(64)->Arg(1514);
BENCHMARK(CoreProcessPacketLocked)->Arg(64)->Arg(1514);
BENCHMARK(CaptureThreadPath)->Arg(64)->Arg(1514);
BENCHMARK(BatchedCapturePath)->ArgsProduct({{64, 1514}, {16, 64, 256, 512}});
