// Live capture through libpcap on adapters in a network namespace of the test thread's own.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <numeric>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "KvTransportLayerLib/Network/PCAP/LinuxFilter.h"

using KvTransportLayerLib::Network::PCAP::Buffer;
using KvTransportLayerLib::Network::PCAP::Filter;
using KvTransportLayerLib::Network::PCAP::Statistic;
namespace Z = ZrUtilsLib;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

constexpr unsigned int kMax = 200;
constexpr size_t kPayloadOffset = 14 + 20 + 8;
using PcapHandle = std::unique_ptr<pcap_t, void (*)(pcap_t*)>;

// A silent veth pair: frames sent on kvsend are captured on kvcap, and nothing else is.
constexpr const char* kVethPair =
    "sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1 && "
    "ip link add kvsend type veth peer name kvcap && "
    "ip link set kvsend up && ip link set kvcap up";

// A fresh network namespace for this thread (and what it starts), made with `commands`; it
// goes away with the last socket in it. Tells why not, if it cannot be made.
std::string EnterOwnNamespace(const char* commands) {
    if (geteuid() != 0) {
        return "live capture needs root";
    }
    if (unshare(CLONE_NEWNET) != 0) {
        return std::string("no network namespace: ") + std::strerror(errno);
    }
    return std::system(commands) == 0 ? "" : std::string("cannot run: ") + commands;
}

#define SKIP_UNLESS_IN_OWN_NAMESPACE(commands)                               \
    if (const std::string why = EnterOwnNamespace(commands); !why.empty()) { \
        GTEST_SKIP() << why;                                                 \
    }

// A broadcast IPv4/UDP frame of `size` bytes to `port` carrying `sequence`; no checksum, which
// nothing on the silent link checks.
bool Send(pcap_t* sender, uint32_t sequence, uint16_t port = 9999, size_t size = 60) {
    const uint8_t headers[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 2,  0, 0, 0, 0,    0,
                               0x08, 0,    0x45, 0,    0,    0,    0,  0, 0, 0, 64,   17,
                               0,    0,    10,   9,    9,    2,    10, 9, 9, 1, 0x13, 0x88};
    std::vector<uint8_t> frame(size, 0);
    std::memcpy(frame.data(), headers, sizeof(headers));
    const uint16_t fields[3] = {htons(static_cast<uint16_t>(size - 14)), htons(port),
                                htons(static_cast<uint16_t>(size - 34))};
    std::memcpy(&frame[16], &fields[0], 2);
    std::memcpy(&frame[36], &fields[1], 4);
    std::memcpy(&frame[kPayloadOffset], &sequence, 4);
    return pcap_inject(sender, frame.data(), frame.size()) == static_cast<int>(frame.size());
}

std::vector<uint32_t> Sequence(uint32_t count) {
    std::vector<uint32_t> sequences(count);
    std::iota(sequences.begin(), sequences.end(), 0u);
    return sequences;
}

template <typename Condition>
bool WaitFor(Condition condition, milliseconds limit = milliseconds(3000)) {
    for (const auto end = Clock::now() + limit; Clock::now() < end;) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
    return condition();
}

using Program = std::vector<sock_filter>;

// The kernel programs attached to this process's packet sockets, those without one left out.
std::vector<Program> AttachedPrograms() {
    std::vector<Program> programs;
    for (int fd = 0; fd < 1024; ++fd) {
        int domain = 0;
        socklen_t length = sizeof(domain);
        if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0 || domain != AF_PACKET) {
            continue;
        }
        Program program(256);
        socklen_t instructions = static_cast<socklen_t>(program.size());
        EXPECT_EQ(getsockopt(fd, SOL_SOCKET, SO_GET_FILTER, program.data(), &instructions), 0);
        program.resize(instructions);
        if (!program.empty()) {
            programs.push_back(program);
        }
    }
    return programs;
}

// The kernel cuts an accepted packet to the snapshot length before it fills libpcap's ring.
bool CutsToTheSnapshot(const Program& program) {
    return std::any_of(program.begin(), program.end(), [](const sock_filter& instruction) {
        return instruction.code == (BPF_RET | BPF_K) && instruction.k == kMax + 64;
    });
}

class LiveCapture : public ::testing::Test {
protected:
    void Allocate(unsigned int size) {
        for (Buffer& buffer : buffers) {
            ASSERT_EQ(buffer.Allocate(size).GetCode(), Z::OK);
        }
    }
    void OpenSender() {
        char error[PCAP_ERRBUF_SIZE];
        sender.reset(pcap_open_live("kvsend", 100, 0, 10, error));
        ASSERT_NE(sender, nullptr) << error;
    }
    void OpenLendAndStart(const char* adapter, const char* expression = nullptr, int lent = 4) {
        ASSERT_EQ(filter.Open("Nothing", adapter, kMax).GetCode(), Z::OK);
        if (expression != nullptr) {
            filter.SetCaptureFilter(expression);
        }
        for (int i = 0; i < lent; ++i) {
            ASSERT_EQ(filter.QueueBuffer(&buffers[i]).GetCode(), Z::PENDING);
        }
        const Z::Result started = filter.Start();
        ASSERT_EQ(started.GetCode(), Z::OK) << started.GetDescription();
    }
    // Stops, takes every Buffer back in lending order and reads the datagrams Send made.
    void StopAndCollect() {
        sequences.clear();
        ports.clear();
        packets = 0;
        const auto start = Clock::now();
        EXPECT_EQ(filter.Stop().GetCode(), Z::OK);
        unsigned int returned = 0;
        Buffer* buffer = nullptr;
        for (int attempt = 0; attempt < 100 && returned < 4; ++attempt) {
            if (filter.RetrieveBuffer(buffer, 100).GetCode() != Z::OK) {
                continue;
            }
            EXPECT_EQ(buffer, &buffers[returned++]);
            uint32_t offset = 0, count = 0, stored = 0;
            for (; offset + 16 <= buffer->GetDataLength(); offset += 16 + stored, ++count) {
                const uint8_t* record = buffer->GetData() + offset;
                std::memcpy(&stored, record + 8, 4);
                ASSERT_LE(stored, kMax);
                ASSERT_LE(offset + 16 + stored, buffer->GetDataLength());
                const uint8_t* frame = record + 16;
                if (stored >= kPayloadOffset + 4 && frame[12] == 0x08 && frame[23] == 17) {
                    ports.push_back(static_cast<uint16_t>(frame[36] << 8 | frame[37]));
                    sequences.push_back(0);
                    std::memcpy(&sequences.back(), frame + kPayloadOffset, 4);
                }
            }
            EXPECT_EQ(offset, buffer->GetDataLength());
            EXPECT_EQ(count, buffer->GetPacketCount());
            packets += count;
        }
        EXPECT_EQ(returned, 4u);
        EXPECT_EQ(filter.RetrieveBuffer(buffer, 100).GetCode(), Z::NO_MORE_ENTRY);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    }
    // The last run's statistic must count what was collected and no drop of either kind.
    void ExpectAllRecorded(uint64_t count) {
        Statistic statistic;
        filter.GetStatistic(&statistic);
        EXPECT_EQ(statistic.GetPacketCount(), count);
        EXPECT_EQ(filter.GetRecordedPacketCount(), count);
        EXPECT_EQ(statistic.GetDropCount() + statistic.GetRecorderDropCount(), 0u);
    }

    PcapHandle sender{nullptr, pcap_close};
    Buffer buffers[4];
    Filter filter;  // stops before the Buffers go
    std::vector<uint32_t> sequences;
    std::vector<uint16_t> ports;
    unsigned int packets = 0;
};

// Stop neither waits on a silent link nor loses what came just before it. A capture filter lets
// through exactly the selected flow, still cut to the snapshot length. The capture thread reads
// in batches but never holds the core's lock while libpcap waits: on a link silent after a burst
// larger than a batch, every call that takes the lock answers at once and the burst, counted
// while every Buffer is still lent, is stored whole and in order. The next Open captures
// everything again, counted from its Start. Packets that find no lent room are the recorder's
// own drops: counted while pending in the core, once when a retrieval or Stop takes them, never
// as libpcap's.
TEST_F(LiveCapture, FilteredBurstIsStoredWholeWithoutHoldingTheLockAndDropsAreTheRecorders) {
    SKIP_UNLESS_IN_OWN_NAMESPACE(kVethPair);
    ASSERT_NO_FATAL_FAILURE(Allocate(256 * 1024));
    ASSERT_NO_FATAL_FAILURE(OpenLendAndStart("kvcap"));
    std::vector<Program> programs = AttachedPrograms();
    ASSERT_EQ(programs.size(), 1u);
    EXPECT_TRUE(CutsToTheSnapshot(programs[0])) << "without a capture filter too";
    StopAndCollect();
    EXPECT_TRUE(sequences.empty());

    ASSERT_NO_FATAL_FAILURE(OpenSender());
    ASSERT_NO_FATAL_FAILURE(OpenLendAndStart("kvcap", "udp port 9999"));
    programs = AttachedPrograms();
    ASSERT_EQ(programs.size(), 1u) << "the sender's socket has none";
    EXPECT_GT(programs[0].size(), 4u);
    EXPECT_TRUE(CutsToTheSnapshot(programs[0]));
    const uint32_t burst = Filter::kCaptureBatchPackets * 3 + 7;
    for (uint32_t sequence = 0; sequence < burst; ++sequence) {
        ASSERT_TRUE(Send(sender.get(), sequence, 7777));
        ASSERT_TRUE(Send(sender.get(), sequence, 9999, 60 + sequence * 20 % 1455));
    }
    Clock::duration slowest{};
    uint64_t recorded = 0;
    for (const auto end = Clock::now() + milliseconds(2500); Clock::now() < end;) {
        const auto asked = Clock::now();
        recorded = filter.GetRecordedPacketCount();
        slowest = std::max(slowest, Clock::now() - asked);
        std::this_thread::sleep_for(milliseconds(2));
    }
    EXPECT_EQ(recorded, burst);
    EXPECT_LT(slowest, milliseconds(100)) << "the lock was held across a wait";
    StopAndCollect();
    EXPECT_EQ(ports, std::vector<uint16_t>(burst, 9999)) << "only the selected flow";
    EXPECT_EQ(sequences, Sequence(burst));
    ExpectAllRecorded(burst);

    ASSERT_EQ(buffers[0].Allocate(3 * (16 + 60)).GetCode(), Z::OK);  // three 60-byte records
    ASSERT_NO_FATAL_FAILURE(OpenLendAndStart("kvcap", nullptr, 1));  // everything again
    Statistic statistic;
    const auto recorderDrops = [&] {
        filter.GetStatistic(&statistic);
        return statistic.GetRecorderDropCount();
    };
    for (uint32_t sequence = 0; sequence < 5; ++sequence) {
        ASSERT_TRUE(Send(sender.get(), sequence, 7777));
    }
    EXPECT_TRUE(WaitFor([&] { return recorderDrops() >= 2; }));
    EXPECT_EQ(recorderDrops(), 2u);
    Buffer* buffer = nullptr;
    ASSERT_EQ(filter.RetrieveBuffer(buffer, 1000).GetCode(), Z::OK);
    EXPECT_EQ(buffer->GetPacketCount(), 3u);
    EXPECT_EQ(recorderDrops(), 2u) << "the retrieval reported the same drops";
    ASSERT_TRUE(Send(sender.get(), 5, 7777));  // nothing lent: a drop no retrieval reports
    EXPECT_TRUE(WaitFor([&] { return recorderDrops() >= 3; }));
    EXPECT_EQ(filter.Stop().GetCode(), Z::OK);
    EXPECT_EQ(recorderDrops(), 3u);
    EXPECT_EQ(statistic.GetDropCount(), 0u) << "libpcap dropped nothing";
    EXPECT_EQ(statistic.GetPacketCount(), 3u);
    EXPECT_EQ(filter.GetRecordedPacketCount(), 3u);
}

// A raw IP adapter: an expression it cannot take fails Start with the expression and libpcap's
// reason, even one that passes the Ethernet check; the Buffer comes back and the filter starts
// again. The link type is the opened adapter's (raw IP, Linux cooked for "any"): Ethernet
// before Start, kept after Stop for the file.
TEST_F(LiveCapture, TunAdapterRefusesEthernetFiltersAndLinkTypeIsTheOpenedAdapters) {
    SKIP_UNLESS_IN_OWN_NAMESPACE(
        "ip tuntap add kvtun mode tun && ip link set kvtun up && ip link set lo up");
    ASSERT_NO_FATAL_FAILURE(Allocate(64 * 1024));
    const char* const expression = "ether host 02:00:00:00:00:01";
    ASSERT_EQ(filter.Open("Nothing", "kvtun", kMax).GetCode(), Z::OK);
    filter.SetCaptureFilter(expression);
    ASSERT_EQ(filter.QueueBuffer(&buffers[0]).GetCode(), Z::PENDING);
    const Z::Result refused = filter.Start();
    EXPECT_EQ(refused.GetCode(), Z::GENERIC_ERROR);
    const std::string text = refused.HasDescription() ? refused.GetDescription() : "";
    EXPECT_NE(text.find(std::string("\"") + expression + "\""), std::string::npos) << text;
    EXPECT_NE(text.find("ethernet addresses supported only on"), std::string::npos) << text;
    EXPECT_TRUE(AttachedPrograms().empty()) << "the handle was closed";
    EXPECT_EQ(filter.Stop().GetCode(), Z::OK);
    Buffer* buffer = nullptr;
    EXPECT_EQ(filter.RetrieveBuffer(buffer, 100).GetCode(), Z::OK);
    EXPECT_EQ(buffer, &buffers[0]);
    filter.SetCaptureFilter("ip");
    const Z::Result started = filter.Start();
    EXPECT_EQ(started.GetCode(), Z::OK) << started.GetDescription();
    EXPECT_EQ(AttachedPrograms().size(), 1u);
    EXPECT_EQ(filter.Stop().GetCode(), Z::OK);

    const std::pair<const char*, int> linkTypes[] = {{"kvtun", 101}, {"any", 113}, {"lo", 1}};
    for (const auto& [adapter, linkType] : linkTypes) {
        ASSERT_EQ(filter.Open("Nothing", adapter, kMax).GetCode(), Z::OK);
        EXPECT_EQ(filter.GetLinkType(), 1) << adapter;
        const Z::Result opened = filter.Start();
        ASSERT_EQ(opened.GetCode(), Z::OK) << opened.GetDescription();
        EXPECT_EQ(filter.GetLinkType(), linkType) << adapter;
        EXPECT_EQ(filter.Stop().GetCode(), Z::OK);
        EXPECT_EQ(filter.GetLinkType(), linkType) << adapter;
    }
}

// An adapter deleted while busy is reported within about a second; the capture thread then
// ends without spinning, and what came before is kept. (A silent link's loss is recorded whole
// by the end-to-end tests.)
TEST_F(LiveCapture, LostAdapterIsReportedAndPacketsBeforeItAreKept) {
    SKIP_UNLESS_IN_OWN_NAMESPACE(kVethPair);
    ASSERT_NO_FATAL_FAILURE(Allocate(4 * 1024 * 1024));  // more than the sender can fill
    ASSERT_NO_FATAL_FAILURE(OpenSender());
    ASSERT_NO_FATAL_FAILURE(OpenLendAndStart("kvcap"));
    std::atomic<uint32_t> sent{0};
    std::atomic<bool> sending{true};
    std::thread traffic([&] {  // paced bursts until the adapter is gone
        const auto end = Clock::now() + std::chrono::seconds(5);
        for (uint32_t sequence = 0; sequence < 100000 && Clock::now() < end;) {
            if (!Send(sender.get(), sequence)) {
                break;
            }
            sent = ++sequence;
            if (sequence % 64 == 0) {
                std::this_thread::sleep_for(milliseconds(1));
            }
        }
        sending = false;
    });
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_TRUE(sending.load()) << "the link must be busy at the deletion";
    EXPECT_FALSE(filter.HasLostAdapter());
    const auto deleted = Clock::now();
    ASSERT_EQ(std::system("ip link del kvsend"), 0);
    EXPECT_TRUE(WaitFor([&] { return filter.HasLostAdapter(); }));
    EXPECT_LT(Clock::now() - deleted, milliseconds(1500));
    traffic.join();
    std::this_thread::sleep_for(milliseconds(1300));  // the thread takes the rest
    const double cpuBefore = std::clock() / double{CLOCKS_PER_SEC};
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT(std::clock() / double{CLOCKS_PER_SEC} - cpuBefore, 0.2)
        << "a thread spins after the loss";
    StopAndCollect();
    EXPECT_TRUE(filter.HasLostAdapter()) << "until the next Start";
    // The kernel may discard frames sent while it deletes the adapter; all libpcap had, the
    // ring's last blocks included, is kept.
    const uint32_t recorded = static_cast<uint32_t>(sequences.size());
    EXPECT_EQ(sequences, Sequence(recorded));
    EXPECT_LE(recorded, sent.load());
    EXPECT_GE(recorded + 256, sent.load());
    EXPECT_GT(recorded, 1000u);
    ExpectAllRecorded(packets);
}

}  // namespace
