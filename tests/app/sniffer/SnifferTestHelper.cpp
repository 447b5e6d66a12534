// A store or a recording in a process of its own, driven by the root tests:
//
//   SnifferTestHelper store FILE BUFFERS PACKETS_PER_BUFFER
//       stores BUFFERS Buffers of numbered 1000-byte records (maximum packet size 1514) and
//       prints "code=<name> free=<n> size=<file size>" and "description=<text>".
//   SnifferTestHelper continuous ADAPTER FILE SECONDS
//       records in Continuous mode (maximum packet size 65535) until the recording ends by
//       itself or SECONDS pass, printing "started" once capture runs and
//       "ended=<0|1> allocated=<n>" after; then stores and prints "code=<name> size=<n>".
//   SnifferTestHelper open MODE BUFFERSIZE
//       opens a sniffer with that plan and prints "code=<name> allocated=<n>".
//
// Output lines are flushed as they are written; the exit code is 0 unless the arguments are
// wrong.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "SnifferTestSupport.h"
#include "ZrUtilsLib/Thread.h"
#include "app/PCAPSniffer.h"
#include "app/PCAPWriter.h"

using KvTransportLayerLib::Network::PCAP::Buffer;
using ZrUtilsLib::Result;

namespace {

void Print(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

void WaitForStore(PCAPWriter& writer) {
    while (writer.IsStoring()) {
        ZrUtilsLib::Thread::Sleep(5);
    }
    writer.WaitForStoreCompletion();
}

int StoreBuffers(const char* file, unsigned int bufferCount, unsigned int packetsPerBuffer) {
    constexpr uint32_t kFrameLength = 1000;
    PCAPWriter::BufferQueue recorded;
    PCAPWriter::BufferQueue free;
    recorded.SetCapacity(bufferCount + 1);
    free.SetCapacity(bufferCount + 1);
    std::vector<std::unique_ptr<Buffer>> buffers;
    uint32_t sequence = 0;
    for (unsigned int i = 0; i < bufferCount; ++i) {
        buffers.push_back(std::make_unique<Buffer>());
        buffers.back()->Allocate(packetsPerBuffer * (kFrameLength + 16));
        sequence = SnifferTest::FillBuffer(*buffers.back(), sequence, kFrameLength, 1514,
                                           packetsPerBuffer);
        recorded.Push(buffers.back().get());
    }
    PCAPWriter writer;
    const Result started = writer.StartStore(file, 1514, &recorded, &free);
    WaitForStore(writer);
    const Result outcome = started.GetCode() != ZrUtilsLib::OK ? started : writer.GetStoreResult();
    Print("code=" + std::string(Result::NameOf(outcome.GetCode())) + " free=" +
          std::to_string(free.GetCount()) + " size=" + std::to_string(SnifferTest::FileSize(file)));
    Print("description=" + std::string(outcome.GetDescription()));
    return 0;
}

int RecordContinuous(const char* adapter, const char* file, unsigned int seconds) {
    PCAPSniffer sniffer;
    PCAPSnifferConfiguration config;
    config.AdapterName = adapter;
    std::snprintf(config.Filename, sizeof(config.Filename), "%s", file);
    config.Mode = ::Continuous;
    config.MaximumPacketSize = 65535;
    Result result = sniffer.Open(&config);
    if (result.GetCode() == ZrUtilsLib::OK) {
        result = sniffer.Start();
    }
    if (result.GetCode() != ZrUtilsLib::OK) {
        Print("failed code=" + std::string(Result::NameOf(result.GetCode())) + " " +
              result.GetDescription());
        return 0;
    }
    Print("started");
    const uint64_t deadline = ZrUtilsLib::Thread::GetTickCount() + seconds * 1000ull;
    while (sniffer.IsRunning() && ZrUtilsLib::Thread::GetTickCount() < deadline) {
        ZrUtilsLib::Thread::Sleep(50);
    }
    const bool ended = !sniffer.IsRunning();
    Print("ended=" + std::to_string(ended ? 1 : 0) +
          " allocated=" + std::to_string(sniffer.GetAllocatedBufferCount()));
    sniffer.Stop();
    sniffer.StartStore();
    WaitForStore(sniffer.GetWriter());
    Print("code=" + std::string(Result::NameOf(sniffer.GetWriter().GetStoreResult().GetCode())) +
          " size=" + std::to_string(SnifferTest::FileSize(sniffer.GetFilename())));
    sniffer.Close();
    return 0;
}

int OpenPlan(uint32_t mode, int32_t bufferSize) {
    PCAPSniffer sniffer;
    PCAPSnifferConfiguration config;
    config.AdapterName = "kvnosuch0";
    std::snprintf(config.Filename, sizeof(config.Filename), "%s", "/tmp/kvsniffer-unused");
    config.Mode = mode;
    config.BufferSize = bufferSize;
    const Result result = sniffer.Open(&config);
    Print("code=" + std::string(Result::NameOf(result.GetCode())) +
          " allocated=" + std::to_string(sniffer.GetAllocatedBufferCount()));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "store") == 0) {
        return StoreBuffers(argv[2], std::strtoul(argv[3], nullptr, 10),
                            std::strtoul(argv[4], nullptr, 10));
    }
    if (argc == 5 && std::strcmp(argv[1], "continuous") == 0) {
        return RecordContinuous(argv[2], argv[3], std::strtoul(argv[4], nullptr, 10));
    }
    if (argc == 4 && std::strcmp(argv[1], "open") == 0) {
        return OpenPlan(std::strtoul(argv[2], nullptr, 10),
                        static_cast<int32_t>(std::strtol(argv[3], nullptr, 10)));
    }
    std::fprintf(stderr, "usage: %s store|continuous|open ...\n", argv[0]);
    return 2;
}
