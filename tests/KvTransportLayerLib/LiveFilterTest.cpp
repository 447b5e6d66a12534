// Live capture through libpcap on adapters in a network namespace of the test thread's own.
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

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
    unsigned int programs = 0;
    for (int fd = 0; fd < 1024; ++fd) {
        int domain = 0;
        socklen_t length = sizeof(domain);
        if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0 || domain != AF_PACKET) {
            continue;
        }
        sock_filter program[8];
        socklen_t instructions = 8;
        EXPECT_EQ(getsockopt(fd, SOL_SOCKET, SO_GET_FILTER, program, &instructions), 0);
        EXPECT_EQ(instructions, 1u) << "an accept-all program has one instruction";
        EXPECT_EQ(program[0].code, BPF_RET | BPF_K);
        EXPECT_EQ(program[0].k, kMax + 64);
        ++programs;
    }
    EXPECT_EQ(programs, 1u);
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
