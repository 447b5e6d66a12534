// Live capture through libpcap on adapters in a network namespace of the test thread's own.
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
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

namespace {

constexpr unsigned int kMax = 200;
const uint8_t kEtherType[2] = {0x88, 0xB5};  // local experimental: nothing else sends it
using PcapHandle = std::unique_ptr<pcap_t, void (*)(pcap_t*)>;

// A fresh network namespace for this thread (and the threads and commands it starts); it goes
// away with the last socket in it. Runs the commands that make its adapters.
::testing::AssertionResult InOwnNamespace(const char* commands) {
    if (geteuid() != 0) {
        return ::testing::AssertionFailure() << "live capture needs root";
    }
    if (unshare(CLONE_NEWNET) != 0) {
        return ::testing::AssertionFailure() << "no network namespace: " << std::strerror(errno);
    }
    if (std::system(commands) != 0) {
        return ::testing::AssertionFailure() << "cannot run: " << commands;
    }
    return ::testing::AssertionSuccess();
}

// A silent veth pair: frames sent on kvsend are captured on kvcap, and nothing else is.
constexpr const char* kVethPair =
    "sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1 && "
    "ip link add kvsend type veth peer name kvcap && "
    "ip link set kvsend up && ip link set kvcap up";

#define SKIP_UNLESS_IN_OWN_NAMESPACE(commands)                            \
    do {                                                                  \
        const ::testing::AssertionResult made = InOwnNamespace(commands); \
        if (!made) {                                                      \
            GTEST_SKIP() << made.message();                               \
        }                                                                 \
    } while (0)

PcapHandle OpenSender() {
    char error[PCAP_ERRBUF_SIZE];
    return PcapHandle(pcap_open_live("kvsend", 100, 0, 10, error), pcap_close);
}

// A broadcast frame from a locally administered source carrying its sequence number.
bool SendFrame(pcap_t* sender, uint32_t sequence, size_t size) {
    std::vector<uint8_t> frame(size, static_cast<uint8_t>(sequence));
    std::memset(frame.data(), 0xFF, 6);
    frame[6] = 0x02;
    std::memcpy(&frame[12], kEtherType, 2);
    std::memcpy(&frame[14], &sequence, 4);
    return pcap_inject(sender, frame.data(), frame.size()) == static_cast<int>(frame.size());
}

std::vector<uint32_t> Sequence(uint32_t count) {
    std::vector<uint32_t> sequences(count);
    std::iota(sequences.begin(), sequences.end(), 0u);
    return sequences;
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    for (const auto end = Clock::now() + limit; Clock::now() < end;) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
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

constexpr size_t kUdpPayloadOffset = 14 + 20 + 8;

// A broadcast IPv4/UDP frame to `port` carrying its sequence number; neither checksum is set,
// which nothing on the silent link checks.
bool SendDatagram(pcap_t* sender, uint16_t port, uint32_t sequence) {
    std::vector<uint8_t> frame(kUdpPayloadOffset + 18, 0);
    std::memset(frame.data(), 0xFF, 6);
    frame[6] = 0x02;
    frame[12] = 0x08;  // IPv4
    uint8_t* ip = &frame[14];
    ip[0] = 0x45;
    ip[3] = static_cast<uint8_t>(frame.size() - 14);
    ip[8] = 64;
    ip[9] = 17;  // UDP
    const uint8_t addresses[8] = {10, 9, 9, 2, 10, 9, 9, 1};
    std::memcpy(ip + 12, addresses, sizeof(addresses));
    uint8_t* udp = ip + 20;
    udp[0] = 0x13;  // source port 5000
    udp[1] = 0x88;
    udp[2] = static_cast<uint8_t>(port >> 8);
    udp[3] = static_cast<uint8_t>(port);
    udp[5] = static_cast<uint8_t>(frame.size() - 34);
    std::memcpy(&frame[kUdpPayloadOffset], &sequence, 4);
    return pcap_inject(sender, frame.data(), frame.size()) == static_cast<int>(frame.size());
}

// The destination port and sequence number of a frame SendDatagram made; port 0 for another.
std::pair<uint16_t, uint32_t> DatagramOf(const std::vector<uint8_t>& frame) {
    if (frame.size() < kUdpPayloadOffset + 4 || frame[12] != 0x08 || frame[13] != 0 ||
        frame[14 + 9] != 17) {
        return {0, 0};
    }
    uint32_t sequence = 0;
    std::memcpy(&sequence, &frame[kUdpPayloadOffset], 4);
    return {static_cast<uint16_t>(frame[36] << 8 | frame[37]), sequence};
}

double ProcessCpuSeconds() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

class LiveCapture : public ::testing::Test {
protected:
    void Allocate(unsigned int size) {
        for (Buffer& buffer : buffers) {
            ASSERT_EQ(buffer.Allocate(size).GetCode(), Z::OK);
        }
    }
    void OpenLendAndStart(const char* adapter) {
        ASSERT_EQ(filter.Open("Nothing", adapter, kMax).GetCode(), Z::OK);
        for (Buffer& buffer : buffers) {
            ASSERT_EQ(filter.QueueBuffer(&buffer).GetCode(), Z::PENDING);
        }
        const Z::Result started = filter.Start();
        ASSERT_EQ(started.GetCode(), Z::OK) << started.GetDescription();
    }
    // Stops, takes every Buffer back in lending order and reads the numbered frames.
    void StopAndCollect() {
        sequences.clear();
        frames.clear();
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
                frames.emplace_back(record + 16, record + 16 + stored);
                if (stored >= 18 && std::memcmp(record + 16 + 12, kEtherType, 2) == 0) {
                    sequences.push_back(0);
                    std::memcpy(&sequences.back(), record + 16 + 14, 4);
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

    Buffer buffers[4];
    Filter filter;  // stops before the Buffers go
    std::vector<uint32_t> sequences;
    std::vector<std::vector<uint8_t>> frames;
    unsigned int packets = 0;
};

// The kernel cuts packets to the snapshot length before they fill libpcap's ring; Stop neither
// waits on a silent link nor loses what came just before it; the recorded count includes the
// Buffers still lent; a Filter opened again restarts.
TEST_F(LiveCapture, SilentLinkStopsPromptlyAndPacketsSentJustBeforeStopAreKept) {
    SKIP_UNLESS_IN_OWN_NAMESPACE(kVethPair);
    ASSERT_NO_FATAL_FAILURE(Allocate(64 * 1024));
    ASSERT_NO_FATAL_FAILURE(OpenLendAndStart("kvcap"));
    EXPECT_EQ(filter.GetLinkType(), 1);
    const std::vector<Program> programs = AttachedPrograms();
    ASSERT_EQ(programs.size(), 1u);
    ASSERT_EQ(programs[0].size(), 1u) << "an accept-all program has one instruction";
    EXPECT_EQ(programs[0][0].code, BPF_RET | BPF_K);
    EXPECT_EQ(programs[0][0].k, kMax + 64);
    StopAndCollect();
    EXPECT_TRUE(sequences.empty());
    EXPECT_EQ(filter.GetRecordedPacketCount(), packets);

    const PcapHandle sender = OpenSender();
    ASSERT_NE(sender, nullptr);
    ASSERT_NO_FATAL_FAILURE(OpenLendAndStart("kvcap"));
    EXPECT_EQ(filter.GetRecordedPacketCount(), 0u) << "counted from Start";
    for (uint32_t sequence = 0; sequence < 50; ++sequence) {
        ASSERT_TRUE(SendFrame(sender.get(), sequence, 60 + sequence * 20));
    }
    EXPECT_TRUE(
        WaitFor([&] { return filter.GetRecordedPacketCount() >= 50; }, std::chrono::seconds(3)))
        << "recorded while every Buffer is still lent: " << filter.GetRecordedPacketCount();
    StopAndCollect();
    EXPECT_EQ(sequences, Sequence(50));
    Statistic statistic;
    filter.GetStatistic(&statistic);
    EXPECT_EQ(statistic.GetPacketCount(), packets) << "the statistic counts the last run";
    EXPECT_EQ(filter.GetRecordedPacketCount(), packets);
    EXPECT_EQ(statistic.GetDropCount() + statistic.GetRecorderDropCount(), 0u);
}

// The capture thread reads in batches but never holds the core's lock while libpcap waits for
// packets: on a link that falls silent after a burst larger than a batch, every call that takes
// the lock answers at once, the burst is stored whole and in order, and Stop is prompt.
TEST_F(LiveCapture, CoreLockIsNotHeldWhileWaitingForPackets) {
    SKIP_UNLESS_IN_OWN_NAMESPACE(kVethPair);
    ASSERT_NO_FATAL_FAILURE(Allocate(256 * 1024));
    const PcapHandle sender = OpenSender();
    ASSERT_NE(sender, nullptr);
    ASSERT_NO_FATAL_FAILURE(OpenLendAndStart("kvcap"));
    const uint32_t burst = Filter::kCaptureBatchPackets * 3 + 7;
    for (uint32_t sequence = 0; sequence < burst; ++sequence) {
        ASSERT_TRUE(SendFrame(sender.get(), sequence, 60));
    }
    Clock::duration slowest{};
    uint64_t recorded = 0;
    for (const auto end = Clock::now() + std::chrono::milliseconds(2500); Clock::now() < end;) {
        const auto asked = Clock::now();
        recorded = filter.GetRecordedPacketCount();
        slowest = std::max(slowest, Clock::now() - asked);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(recorded, burst);
    EXPECT_LT(slowest, std::chrono::milliseconds(100)) << "the lock was held across a wait";
    StopAndCollect();
    EXPECT_EQ(sequences, Sequence(burst));
}

// A capture filter lets through exactly the selected flow, with the kernel cutting each packet
// to the snapshot length as without one; the next Open captures everything again.
TEST_F(LiveCapture, CaptureFilterKeepsOnlyTheSelectedFlow) {
    SKIP_UNLESS_IN_OWN_NAMESPACE(kVethPair);
    ASSERT_NO_FATAL_FAILURE(Allocate(64 * 1024));
    const PcapHandle sender = OpenSender();
    ASSERT_NE(sender, nullptr);
    ASSERT_EQ(filter.Open("Nothing", "kvcap", kMax).GetCode(), Z::OK);
    filter.SetCaptureFilter("udp port 9999");
    for (Buffer& buffer : buffers) {
        ASSERT_EQ(filter.QueueBuffer(&buffer).GetCode(), Z::PENDING);
    }
    const Z::Result started = filter.Start();
    ASSERT_EQ(started.GetCode(), Z::OK) << started.GetDescription();
    const std::vector<Program> programs = AttachedPrograms();
    ASSERT_EQ(programs.size(), 1u) << "the sender's socket has none";
    EXPECT_GT(programs[0].size(), 4u);
    const sock_filter& accept = programs[0][programs[0].size() - 2];
    EXPECT_EQ(accept.code, BPF_RET | BPF_K);
    EXPECT_EQ(accept.k, kMax + 64) << "an accepted packet is cut to the snapshot length";
    for (uint32_t sequence = 0; sequence < 40; ++sequence) {
        ASSERT_TRUE(SendDatagram(sender.get(), 7777, sequence));
        ASSERT_TRUE(SendDatagram(sender.get(), 9999, sequence));
        ASSERT_TRUE(SendFrame(sender.get(), sequence, 60));
    }
    EXPECT_TRUE(
        WaitFor([&] { return filter.GetRecordedPacketCount() >= 40; }, std::chrono::seconds(3)));
    StopAndCollect();
    std::vector<uint32_t> selected;
    for (const std::vector<uint8_t>& frame : frames) {
        const std::pair<uint16_t, uint32_t> datagram = DatagramOf(frame);
        EXPECT_EQ(datagram.first, 9999) << "a packet of another flow was captured";
        selected.push_back(datagram.second);
    }
    EXPECT_EQ(selected, Sequence(40));
    EXPECT_EQ(filter.GetRecordedPacketCount(), 40u);
    Statistic statistic;
    filter.GetStatistic(&statistic);
    EXPECT_EQ(statistic.GetPacketCount(), 40u);
    EXPECT_EQ(statistic.GetDropCount() + statistic.GetRecorderDropCount(), 0u);

    ASSERT_NO_FATAL_FAILURE(OpenLendAndStart("kvcap"));
    ASSERT_TRUE(SendDatagram(sender.get(), 7777, 0));
    EXPECT_TRUE(
        WaitFor([&] { return filter.GetRecordedPacketCount() >= 1; }, std::chrono::seconds(3)));
    StopAndCollect();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(DatagramOf(frames[0]).first, 7777);
}

// An expression the opened adapter cannot take fails Start with the expression and libpcap's
// reason, even one that passes the Ethernet check (a raw IP adapter has no Ethernet addresses);
// the Buffers come back and the filter starts again with an expression it can take.
TEST_F(LiveCapture, CaptureFilterTheAdapterCannotTakeFailsStart) {
    SKIP_UNLESS_IN_OWN_NAMESPACE("ip tuntap add kvtun mode tun && ip link set kvtun up");
    ASSERT_NO_FATAL_FAILURE(Allocate(64 * 1024));
    const struct {
        const char* expression;
        const char* reason;
    } refused[] = {{"ether host 02:00:00:00:00:01", "ethernet addresses supported only on"},
                   {"udp port", "syntax error"}};
    EXPECT_EQ(Filter::CheckExpression(refused[0].expression, kMax).GetCode(), Z::OK);
    for (const auto& tested : refused) {
        ASSERT_EQ(filter.Open("Nothing", "kvtun", kMax).GetCode(), Z::OK);
        filter.SetCaptureFilter(tested.expression);
        ASSERT_EQ(filter.QueueBuffer(&buffers[0]).GetCode(), Z::PENDING);
        const Z::Result started = filter.Start();
        EXPECT_EQ(started.GetCode(), Z::GENERIC_ERROR) << tested.expression;
        const std::string text = started.HasDescription() ? started.GetDescription() : "";
        EXPECT_NE(text.find(std::string("\"") + tested.expression + "\""), std::string::npos)
            << text;
        EXPECT_NE(text.find(tested.reason), std::string::npos) << text;
        EXPECT_TRUE(AttachedPrograms().empty()) << "the handle was closed";
        EXPECT_EQ(filter.Stop().GetCode(), Z::OK);
        Buffer* buffer = nullptr;
        EXPECT_EQ(filter.RetrieveBuffer(buffer, 100).GetCode(), Z::OK);
        EXPECT_EQ(buffer, &buffers[0]);
    }
    filter.SetCaptureFilter("ip");
    const Z::Result started = filter.Start();
    EXPECT_EQ(started.GetCode(), Z::OK) << started.GetDescription();
    EXPECT_EQ(AttachedPrograms().size(), 1u);
    EXPECT_EQ(filter.Stop().GetCode(), Z::OK);
}

// Packets that find no lent room are the recorder's own drops: counted while pending in the
// core, once when a retrieval or Stop takes them, never as libpcap's.
TEST_F(LiveCapture, PacketsWithoutLentRoomAreTheRecordersDrops) {
    SKIP_UNLESS_IN_OWN_NAMESPACE(kVethPair);
    ASSERT_EQ(buffers[0].Allocate(3 * (16 + 60)).GetCode(), Z::OK);  // three 60-byte records
    const PcapHandle sender = OpenSender();
    ASSERT_NE(sender, nullptr);
    ASSERT_EQ(filter.Open("Nothing", "kvcap", kMax).GetCode(), Z::OK);
    ASSERT_EQ(filter.QueueBuffer(&buffers[0]).GetCode(), Z::PENDING);
    ASSERT_EQ(filter.Start().GetCode(), Z::OK);
    Statistic statistic;
    const auto recorderDrops = [&] {
        filter.GetStatistic(&statistic);
        return statistic.GetRecorderDropCount();
    };
    for (uint32_t sequence = 0; sequence < 5; ++sequence) {
        ASSERT_TRUE(SendFrame(sender.get(), sequence, 60));
    }
    EXPECT_TRUE(WaitFor([&] { return recorderDrops() >= 2; }, std::chrono::seconds(3)));
    EXPECT_EQ(recorderDrops(), 2u);
    Buffer* buffer = nullptr;
    ASSERT_EQ(filter.RetrieveBuffer(buffer, 1000).GetCode(), Z::OK);
    EXPECT_EQ(buffer->GetPacketCount(), 3u);
    EXPECT_EQ(recorderDrops(), 2u) << "the retrieval reported the same drops";
    ASSERT_TRUE(SendFrame(sender.get(), 5, 60));  // nothing lent: a drop no retrieval reports
    EXPECT_TRUE(WaitFor([&] { return recorderDrops() >= 3; }, std::chrono::seconds(3)));
    EXPECT_EQ(filter.Stop().GetCode(), Z::OK);
    EXPECT_EQ(recorderDrops(), 3u);
    EXPECT_EQ(statistic.GetDropCount(), 0u) << "libpcap dropped nothing";
    EXPECT_EQ(statistic.GetPacketCount(), 3u);
    EXPECT_EQ(filter.GetRecordedPacketCount(), 3u);
}

// A deleted adapter is reported within about a second, the capture thread then ends without
// spinning, and every packet that came before the loss can be retrieved; on a link busy up to
// the deletion and on a silent one.
class LostAdapter : public LiveCapture, public ::testing::WithParamInterface<bool> {};

TEST_P(LostAdapter, IsReportedAndPacketsBeforeItAreKept) {
    const bool busy = GetParam();
    SKIP_UNLESS_IN_OWN_NAMESPACE(kVethPair);
    ASSERT_NO_FATAL_FAILURE(Allocate(4 * 1024 * 1024));  // more than the sender can fill
    const PcapHandle sender = OpenSender();
    ASSERT_NE(sender, nullptr);
    ASSERT_NO_FATAL_FAILURE(OpenLendAndStart("kvcap"));
    std::atomic<uint32_t> sent{0};
    std::atomic<bool> sending{true};
    std::thread traffic([&] {
        // Bursts paced to fill at most a quarter of the Buffers before the deletion; ends when
        // the adapter is gone.
        const auto end = Clock::now() + std::chrono::seconds(busy ? 5 : 0);
        for (uint32_t sequence = 0; sequence < (busy ? 100000u : 50u); ++sequence) {
            if (!SendFrame(sender.get(), sequence, 60)) {
                break;
            }
            sent = sequence + 1;
            if (busy && sequence % 64 == 63) {
                if (Clock::now() > end) {
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        sending = false;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(sending.load(), busy) << "the link must be busy at the deletion, or silent";
    EXPECT_FALSE(filter.HasLostAdapter());
    const auto deleted = Clock::now();
    ASSERT_EQ(std::system("ip link del kvsend"), 0);
    EXPECT_TRUE(WaitFor([&] { return filter.HasLostAdapter(); }, std::chrono::seconds(3)));
    EXPECT_LT(Clock::now() - deleted, std::chrono::milliseconds(1500));
    traffic.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));  // the thread takes the rest
    const double cpuBefore = ProcessCpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT(ProcessCpuSeconds() - cpuBefore, 0.2) << "a thread spins after the loss";
    StopAndCollect();
    EXPECT_TRUE(filter.HasLostAdapter()) << "until the next Start";
    // Frames the sender handed over while the kernel was deleting the adapter may be discarded
    // by the kernel before any capture sees them; what libpcap had, the ring's last blocks
    // included (over a thousand frames here), is all kept.
    const uint32_t recorded = static_cast<uint32_t>(sequences.size());
    EXPECT_EQ(sequences, Sequence(recorded));
    EXPECT_LE(recorded, sent.load());
    EXPECT_GE(recorded + (busy ? 256 : 0), sent.load());
    EXPECT_GT(recorded, busy ? 1000u : 49u);
    Statistic statistic;
    filter.GetStatistic(&statistic);
    EXPECT_EQ(statistic.GetDropCount() + statistic.GetRecorderDropCount(), 0u);
    EXPECT_EQ(filter.GetRecordedPacketCount(), packets);
}

INSTANTIATE_TEST_SUITE_P(BusyOrSilentLink, LostAdapter, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Busy" : "Silent");
                         });

// The link type comes from the opened adapter, as a capture file's header carries it: raw IP
// for a tun device, Linux cooked capture for the pseudo-adapter "any"; Ethernet before Start,
// kept after Stop for the file, Ethernet again once opened anew.
TEST_F(LiveCapture, LinkTypeIsTheOpenedAdapters) {
    SKIP_UNLESS_IN_OWN_NAMESPACE(
        "ip tuntap add kvtun mode tun && ip link set kvtun up && ip link set lo up");
    ASSERT_NO_FATAL_FAILURE(Allocate(64 * 1024));
    const struct {
        const char* adapter;
        int linkType;
    } cases[] = {{"kvtun", 101}, {"any", 113}, {"lo", 1}};
    for (const auto& tested : cases) {
        ASSERT_EQ(filter.Open("Nothing", tested.adapter, kMax).GetCode(), Z::OK);
        EXPECT_EQ(filter.GetLinkType(), 1) << tested.adapter;
        const Z::Result started = filter.Start();
        ASSERT_EQ(started.GetCode(), Z::OK) << started.GetDescription();
        EXPECT_EQ(filter.GetLinkType(), tested.linkType) << tested.adapter;
        EXPECT_EQ(filter.Stop().GetCode(), Z::OK);
        EXPECT_EQ(filter.GetLinkType(), tested.linkType) << tested.adapter;
    }
}

}  // namespace
