#include <dirent.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "KvTransportLayerLib/Network/PCAP/LinuxFilter.h"
#include "TestNetwork.h"

using KvTransportLayerLib::Network::PCAP::Buffer;
using KvTransportLayerLib::Network::PCAP::Filter;
using KvTransportLayerLib::Network::PCAP::Statistic;
namespace Z = ZrUtilsLib;
using Clock = std::chrono::steady_clock;

namespace {

constexpr unsigned int kMax = 200;

struct Record {
    uint64_t timeUs;
    uint32_t stored;
    uint32_t wire;
    const uint8_t* bytes;
};

uint32_t ReadU32(const uint8_t* at) {
    uint32_t value;
    std::memcpy(&value, at, sizeof(value));
    return value;
}

uint64_t WallClockUs() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return uint64_t(now.tv_sec) * 1000000u + uint64_t(now.tv_nsec) / 1000u;
}

class LiveCapture : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "live capture needs root (network namespaces, raw sockets)";
        }
        network = std::make_unique<TestNetwork>();
        if (!network->GetFailure().empty()) {
            GTEST_SKIP() << "no test network: " << network->GetFailure();
        }
        filter = std::make_unique<Filter>();
    }
    void TearDown() override {
        filter.reset();
        network.reset();
    }

    void OpenAndStart(unsigned int bufferSize) {
        for (Buffer& buffer : buffers) {
            ASSERT_EQ(buffer.Allocate(bufferSize).GetCode(), Z::OK);
        }
        ASSERT_EQ(filter->Open("Nothing", network->GetCaptureAdapter(), kMax).GetCode(), Z::OK);
        for (Buffer& buffer : buffers) {
            ASSERT_EQ(filter->QueueBuffer(&buffer).GetCode(), Z::PENDING);
        }
        const Z::Result started = filter->Start();
        ASSERT_EQ(started.GetCode(), Z::OK) << started.GetDescription();
    }

    // Stops, takes every Buffer back and parses the records of our numbered frames.
    void StopAndCollect() {
        ASSERT_EQ(filter->Stop().GetCode(), Z::OK);
        for (int attempt = 0; attempt < 100; ++attempt) {
            Buffer* buffer = nullptr;
            const Z::Result result = filter->RetrieveBuffer(buffer, 100);
            if (result.GetCode() == Z::NO_MORE_ENTRY) {
                break;
            }
            ASSERT_EQ(result.GetCode(), Z::OK);
            returned.push_back(buffer);
            Parse(buffer);
        }
    }

    void Parse(const Buffer* buffer) {
        uint32_t offset = 0;
        uint32_t count = 0;
        while (offset < buffer->GetDataLength()) {
            const uint8_t* record = buffer->GetData() + offset;
            Record parsed{uint64_t(ReadU32(record)) * 1000000u + ReadU32(record + 4),
                          ReadU32(record + 8), ReadU32(record + 12), record + 16};
            ASSERT_LT(ReadU32(record + 4), 1000000u);
            ASSERT_LE(parsed.stored, kMax);
            ASSERT_LE(offset + 16 + parsed.stored, buffer->GetDataLength());
            uint32_t sequence = 0;
            if (TestNetwork::ReadSequence(parsed.bytes, parsed.stored, &sequence)) {
                records.push_back(parsed);
                sequences.push_back(sequence);
            } else {
                ++otherTraffic;
            }
            offset += 16 + parsed.stored;
            ++count;
        }
        EXPECT_EQ(offset, buffer->GetDataLength());
        EXPECT_EQ(count, buffer->GetPacketCount());
        totalPackets += count;
    }

    std::unique_ptr<TestNetwork> network;
    std::unique_ptr<Filter> filter;
    Buffer buffers[4];
    std::vector<Buffer*> returned;
    std::vector<Record> records;
    std::vector<uint32_t> sequences;
    unsigned int otherTraffic = 0;
    unsigned int totalPackets = 0;
};

// The capture thread carries its name and runs at the highest internal (real-time) priority.
void ExpectCaptureThreadScheduling() {
    DIR* tasks = opendir("/proc/self/task");
    ASSERT_NE(tasks, nullptr);
    bool found = false;
    while (dirent* entry = readdir(tasks)) {
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        if (name == "Kova PCAP Linux") {  // the kernel keeps 15 characters
            found = true;
            const pid_t task = static_cast<pid_t>(std::atoi(entry->d_name));
            EXPECT_EQ(sched_getscheduler(task), SCHED_FIFO);
            sched_param parameters{};
            ASSERT_EQ(sched_getparam(task, &parameters), 0);
            EXPECT_EQ(parameters.sched_priority, 61);
        }
    }
    closedir(tasks);
    EXPECT_TRUE(found) << "no capture thread";
}

TEST_F(LiveCapture, RecordsEveryNumberedPacketCutToTheMaximumSize) {
    OpenAndStart(32 * 1024);  // several Buffers fill and complete on the way
    ExpectCaptureThreadScheduling();
    constexpr uint32_t kCount = 400;
    std::vector<std::vector<uint8_t>> sent;
    for (uint32_t sequence = 0; sequence < kCount; ++sequence) {
        sent.push_back(network->SendNumbered(sequence, 60 + (sequence * 97u) % 1455u));
        ASSERT_FALSE(sent.back().empty());
    }
    StopAndCollect();
    ASSERT_EQ(returned.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(returned[i], &buffers[i]) << "Buffers came back out of lending order";
    }
    EXPECT_GE(buffers[2].GetPacketCount(), 1u) << "the records did not span several Buffers";
    EXPECT_EQ(otherTraffic, 0u);
    ASSERT_EQ(records.size(), kCount);
    for (uint32_t i = 0; i < kCount; ++i) {
        ASSERT_EQ(sequences[i], i);
        const std::vector<uint8_t>& frame = sent[i];
        EXPECT_EQ(records[i].wire, frame.size());
        EXPECT_EQ(records[i].stored, std::min<uint32_t>(kMax, frame.size()));
        EXPECT_EQ(std::memcmp(records[i].bytes, frame.data(), records[i].stored), 0);
        if (i > 0) {
            EXPECT_GE(records[i].timeUs, records[i - 1].timeUs);
        }
    }
    Statistic statistic;
    filter->GetStatistic(&statistic);
    EXPECT_EQ(statistic.GetPacketCount(), totalPackets);
    EXPECT_EQ(statistic.GetDropCount(), 0u);
}

// Records carry the packets' arrival times, not the time the kernel handed a block over.
TEST_F(LiveCapture, PacketsFiftyMillisecondsApartAreStampedFiftyMillisecondsApart) {
    OpenAndStart(256 * 1024);
    constexpr uint32_t kCount = 10;
    std::vector<uint64_t> sentAfter(kCount);
    std::vector<uint64_t> sentBefore(kCount);
    for (uint32_t sequence = 0; sequence < kCount; ++sequence) {
        if (sequence > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));  // pacing, not a wait
        }
        sentBefore[sequence] = WallClockUs();
        ASSERT_FALSE(network->SendNumbered(sequence, 100).empty());
        sentAfter[sequence] = WallClockUs();
    }
    StopAndCollect();
    ASSERT_EQ(records.size(), kCount);
    for (uint32_t i = 0; i < kCount; ++i) {
        EXPECT_GE(records[i].timeUs + 1000, sentBefore[i]) << "packet " << i;
        EXPECT_LE(records[i].timeUs, sentAfter[i] + 20000) << "packet " << i;
        if (i > 0) {
            const uint64_t gap = records[i].timeUs - records[i - 1].timeUs;
            EXPECT_GE(gap, 45000u) << "packet " << i;
            EXPECT_LE(gap, sentAfter[i] - sentBefore[i - 1] + 20000) << "packet " << i;
        }
    }
}

TEST_F(LiveCapture, SilentLinkStopsPromptly) {
    OpenAndStart(64 * 1024);
    const auto start = Clock::now();
    StopAndCollect();
    const auto elapsed = Clock::now() - start;
    EXPECT_LT(elapsed, std::chrono::milliseconds(2000));
    EXPECT_TRUE(records.empty());
    EXPECT_EQ(returned.size(), 4u);
}

TEST_F(LiveCapture, PacketsSentJustBeforeStopAreKept) {
    OpenAndStart(64 * 1024);
    constexpr uint32_t kCount = 50;
    for (uint32_t sequence = 0; sequence < kCount; ++sequence) {
        ASSERT_FALSE(network->SendNumbered(sequence, 60 + sequence).empty());
    }
    const auto start = Clock::now();
    StopAndCollect();
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2000));
    ASSERT_EQ(records.size(), kCount);
    for (uint32_t i = 0; i < kCount; ++i) {
        EXPECT_EQ(sequences[i], i);
    }
}

// Traffic goes on during Stop: everything sent before the call is kept.
TEST_F(LiveCapture, BusyLinkKeepsEverythingSentBeforeStop) {
    OpenAndStart(512 * 1024);
    std::atomic<uint32_t> sent{0};
    std::atomic<bool> sending{true};
    std::thread sender([&] {
        for (uint32_t sequence = 0; sending && sequence < 20000; ++sequence) {
            if (network->SendNumbered(sequence, 60).empty()) {
                break;
            }
            sent = sequence + 1;
            std::this_thread::sleep_for(std::chrono::microseconds(500));  // pacing
        }
    });
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (sent < 300 && Clock::now() < deadline) {
        std::this_thread::yield();
    }
    const uint32_t sentBeforeStop = sent;
    ASSERT_GE(sentBeforeStop, 300u);
    const auto start = Clock::now();
    StopAndCollect();
    const auto elapsed = Clock::now() - start;
    sending = false;
    sender.join();
    EXPECT_LT(elapsed, std::chrono::milliseconds(2000));
    ASSERT_GE(records.size(), sentBeforeStop);
    for (uint32_t i = 0; i < records.size(); ++i) {
        ASSERT_EQ(sequences[i], i) << "a packet is missing or out of order";
    }
}

// Stop right after Start finds the handle already stored (Start returns once libpcap is
// open), and the Filter starts again after a Stop; the statistic counts only the last run.
TEST_F(LiveCapture, StopsRightAfterStartAndStartsAgain) {
    OpenAndStart(64 * 1024);
    for (int run = 0; run < 2; ++run) {
        const auto start = Clock::now();
        ASSERT_EQ(filter->Stop().GetCode(), Z::OK);
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2000)) << "run " << run;
        const Z::Result restarted = filter->Start();
        ASSERT_EQ(restarted.GetCode(), Z::OK) << restarted.GetDescription();
    }
    // The Buffers lent before the first Stop came back complete and empty.
    StopAndCollect();
    ASSERT_EQ(returned.size(), 4u);
    for (Buffer& buffer : buffers) {
        ASSERT_EQ(filter->QueueBuffer(&buffer).GetCode(), Z::PENDING);
    }
    ASSERT_EQ(filter->Start().GetCode(), Z::OK);
    for (uint32_t sequence = 0; sequence < 20; ++sequence) {
        ASSERT_FALSE(network->SendNumbered(sequence, 300).empty());
    }
    returned.clear();
    StopAndCollect();
    ASSERT_EQ(records.size(), 20u);
    for (uint32_t i = 0; i < 20; ++i) {
        EXPECT_EQ(sequences[i], i);
    }
    Statistic statistic;
    filter->GetStatistic(&statistic);
    EXPECT_EQ(statistic.GetPacketCount(), 20u);
}

TEST_F(LiveCapture, KernelCutsPacketsToTheSnapshotLength) {
    OpenAndStart(64 * 1024);
    unsigned int programs = 0;
    DIR* descriptors = opendir("/proc/self/fd");
    ASSERT_NE(descriptors, nullptr);
    while (dirent* entry = readdir(descriptors)) {
        const int fd = std::atoi(entry->d_name);
        int domain = 0;
        socklen_t length = sizeof(domain);
        if (entry->d_name[0] == '.' || fd == network->GetSendSocket() ||
            getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0 || domain != AF_PACKET) {
            continue;
        }
        sock_filter program[8];
        socklen_t instructions = 8;
        ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_GET_FILTER, program, &instructions), 0);
        ASSERT_EQ(instructions, 1u) << "an accept-all program has one instruction";
        EXPECT_EQ(program[0].code, BPF_RET | BPF_K);
        EXPECT_EQ(program[0].k, kMax + 64) << "the program cuts to the snapshot length";
        ++programs;
    }
    closedir(descriptors);
    EXPECT_EQ(programs, 1u);
}

// An adapter that disappears during capture makes libpcap fail every read: the real-time
// capture thread must not spin on it, and Stop still ends.
TEST_F(LiveCapture, LostAdapterNeitherSpinsNorBlocksStop) {
    OpenAndStart(64 * 1024);
    ASSERT_FALSE(network->SendNumbered(1, 80).empty());
    ASSERT_TRUE(network->DeleteCaptureAdapter());
    rusage before;
    getrusage(RUSAGE_SELF, &before);
    const auto windowStart = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // measurement window
    rusage after;
    getrusage(RUSAGE_SELF, &after);
    const double window = std::chrono::duration<double>(Clock::now() - windowStart).count();
    const double cpu = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) +
                       (after.ru_stime.tv_sec - before.ru_stime.tv_sec) +
                       (after.ru_utime.tv_usec - before.ru_utime.tv_usec) / 1e6 +
                       (after.ru_stime.tv_usec - before.ru_stime.tv_usec) / 1e6;
    EXPECT_LT(cpu, window * 0.3) << "the capture thread spins on a lost adapter";
    const auto start = Clock::now();
    StopAndCollect();
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2000));
    EXPECT_EQ(returned.size(), 4u);
}

}  // namespace
