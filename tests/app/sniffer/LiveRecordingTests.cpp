// Live recordings through the real capture Filter (libpcap) on a veth pair inside a network
// namespace made by the test, and the memory plan under a real memory cgroup limit. Needs root.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "SnifferTestSupport.h"
#include "ZrUtilsLib/Thread.h"
#include "app/PCAPSniffer.h"

using ZrUtilsLib::Thread;
using namespace SnifferTest;

namespace {

class LiveRecordingTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root: creates a network namespace and captures with libpcap";
        }
    }
    void TearDown() override {
        mSniffer.reset();
        close(mSocket);
        if (mOriginalNamespace >= 0) {
            EXPECT_EQ(setns(mOriginalNamespace, CLONE_NEWNET), 0);
            close(mOriginalNamespace);
            EXPECT_EQ(std::system(("ip netns del " + mNamespace).c_str()), 0);
        }
    }

    // Records on a veth pair with the given MTU in a namespace made for the test (IPv6 off: the
    // link carries only the test's frames). The test's thread moves into the namespace, so the
    // threads the sniffer starts capture there.
    void Start(uint32_t mode, int32_t maximumPacketSize, unsigned int mtu = 1500,
               std::unique_ptr<MemoryAvailability> memory = nullptr) {
        const std::string id = std::to_string(getpid()), send = "kvsa" + id, capture = "kvsb" + id;
        mNamespace = "kvsniffer" + id;
        const std::string link = " && ip -n " + mNamespace + " link ";
        const std::string setUp =
            "ip netns add " + mNamespace + " && ip netns exec " + mNamespace +
            " sysctl -qw net.ipv6.conf.default.disable_ipv6=1" + link + "add " + send + " mtu " +
            std::to_string(mtu) + " type veth peer name " + capture + " mtu " +
            std::to_string(mtu) + link + "set " + send + " up" + link + "set " + capture + " up";
        mOriginalNamespace = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(std::system(setUp.c_str()), 0) << setUp;
        const int target = open(("/run/netns/" + mNamespace).c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(setns(target, CLONE_NEWNET), 0) << std::strerror(errno);
        close(target);
        mAddress.sll_family = AF_PACKET;
        mAddress.sll_ifindex = static_cast<int>(if_nametoindex(send.c_str()));
        mAddress.sll_halen = 6;
        std::memset(mAddress.sll_addr, 0xFF, 6);
        mSocket = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
        ASSERT_GE(mSocket, 0) << std::strerror(errno);

        PCAPSnifferConfiguration config;
        config.AdapterName = capture;
        std::snprintf(config.Filename, sizeof(config.Filename), "%s/recording",
                      mDirectory.Path().c_str());
        config.Mode = mode;
        config.NumberOfPackets = 512;
        config.MaximumPacketSize = maximumPacketSize;
        mSniffer = memory ? std::make_unique<PCAPSniffer>(std::move(memory))
                          : std::make_unique<PCAPSniffer>();
        ASSERT_EQ(mSniffer->Open(&config).GetCode(), ZrUtilsLib::OK);
        const ZrUtilsLib::Result started = mSniffer->Start();
        ASSERT_EQ(started.GetCode(), ZrUtilsLib::OK) << started.GetDescription();
        ASSERT_TRUE(mSniffer->IsRunning());
    }

    // Sends numbered frames out of the other end of the pair.
    void Send(uint32_t first, uint32_t count, uint32_t frameLength) {
        for (uint32_t sequence = first; sequence < first + count; ++sequence) {
            const std::vector<uint8_t> frame = MakeNumberedFrame(sequence, frameLength);
            for (int attempts = 0;
                 sendto(mSocket, frame.data(), frame.size(), 0,
                        reinterpret_cast<const sockaddr*>(&mAddress), sizeof(mAddress)) < 0;) {
                ASSERT_TRUE(errno == ENOBUFS && ++attempts < 1000) << std::strerror(errno);
                sched_yield();
            }
        }
    }

    // Sends bursts of numbered frames from `sent` on until the recording ends by itself; returns
    // the number of the next one.
    uint32_t SendUntilTheRecordingEnds(uint32_t sent, uint32_t frameLength, uint32_t limit) {
        while (mSniffer->IsRunning() && sent < limit && !HasFatalFailure()) {
            Send(sent, 50, frameLength);
            sent += 50;
        }
        for (int wait = 0; mSniffer->IsRunning() && wait < 500; ++wait) {
            Thread::Sleep(10);
        }
        EXPECT_FALSE(mSniffer->IsRunning()) << "still recording after " << sent << " packets";
        return sent;
    }

    // Stops and stores; every record must be a numbered frame cut to the maximum packet size,
    // with its wire length, stamped within the test's run, in time and sequence order from 0.
    std::vector<uint32_t> StopAndCheckTheFile(uint32_t frameLength, uint32_t maximumPacketSize) {
        mSniffer->Stop();
        EXPECT_EQ(mSniffer->StartStore().GetCode(), ZrUtilsLib::OK);
        for (int wait = 0; mSniffer->GetWriter().IsStoring() && wait < 6000; ++wait) {
            Thread::Sleep(10);
        }
        mSniffer->GetWriter().WaitForStoreCompletion();
        EXPECT_EQ(mSniffer->GetWriter().GetStoreResult().GetCode(), ZrUtilsLib::OK);
        const PcapFile file = ReadPcapFile(mSniffer->GetFilename());
        EXPECT_EQ(ReadUint32(&file.header[16]), maximumPacketSize);  // the snapshot length
        const std::vector<uint32_t> sequences = file.Sequences();
        EXPECT_EQ(sequences.size(), file.records.size()) << "foreign or damaged records";
        uint64_t previous = 0;
        for (size_t i = 0; i < file.records.size(); ++i) {
            const PcapRecord& record = file.records[i];
            EXPECT_EQ(record.storedLength, std::min(frameLength, maximumPacketSize));
            EXPECT_EQ(record.wireLength, frameLength);
            const uint64_t stamp = uint64_t{record.seconds} * 1000000 + record.microseconds;
            EXPECT_GE(stamp, previous);
            EXPECT_LT(record.microseconds, 1000000u);
            EXPECT_GE(record.seconds, mStart);
            EXPECT_LE(record.seconds, std::time(nullptr));
            previous = stamp;
            if (i < sequences.size() && sequences[i] != i) {
                ADD_FAILURE() << "record " << i << " holds frame " << sequences[i];
                break;
            }
        }
        return sequences;
    }

    TempDirectory mDirectory;
    const time_t mStart = std::time(nullptr);
    std::string mNamespace;
    int mOriginalNamespace = -1;
    int mSocket = -1;
    sockaddr_ll mAddress{};
    std::unique_ptr<PCAPSniffer> mSniffer;
};

// Continuous mode adds Buffers while the system's memory (as the sniffer sees it) allows; with
// less than one Buffer left above the reserve it ends by itself instead, keeping what it recorded.
TEST_F(LiveRecordingTest, ContinuousGrowsUntilMemoryRunsOut) {
    FakeSystem system;
    system.SetMemAvailable(PCAPSniffer::kMemoryReserve + 1024 * MiB);
    Start(Continuous, 1514, 1500, system.MakeGauge());
    // About 60 MB: more than the four Buffers of 10,000,000 bytes lent at the start.
    for (uint32_t sent = 0; sent < 42000; sent += 1000) {
        ASSERT_NO_FATAL_FAILURE(Send(sent, 1000, 1400));
    }
    EXPECT_TRUE(mSniffer->IsRunning());
    system.SetMemAvailable(PCAPSniffer::kMemoryReserve + 9 * MiB);
    const uint32_t grown = mSniffer->GetAllocatedBufferCount();
    EXPECT_GT(grown, 6u);
    const uint32_t sent = SendUntilTheRecordingEnds(42000, 1400, 400000);
    EXPECT_LE(mSniffer->GetAllocatedBufferCount(), grown + 1);  // one may have been under way
    EXPECT_EQ(StopAndCheckTheFile(1400, 1514).size(), sent);
}

// 512 packets of 8000 bytes fill the plan's one Buffer exactly, so the count never exceeds the
// request: the recording ends because nothing more can be recorded.
TEST_F(LiveRecordingTest, FixedNumberOfPacketsEndsWhenEveryBufferIsFull) {
    Start(FixedNumberOfPackets, 8000, 9000);
    SendUntilTheRecordingEnds(0, 8500, 5000);
    EXPECT_EQ(StopAndCheckTheFile(8500, 8000).size(), 512u);
}

// Open in a child placed in a memory cgroup of the test's own limited to 256 MiB: only the real
// limit, not the machine's memory, refuses the larger plan.
TEST(MemoryLimitRootTest, OpenRefusesAPlanLargerThanTheCgroupLimit) {
    std::string parent, limitFile;  // this process's memory cgroup, v1 or else v2
    std::ifstream cgroups("/proc/self/cgroup");
    for (std::string line; std::getline(cgroups, line) && parent.empty();) {
        const size_t first = line.find(':'), second = line.find(':', first + 1);
        if (("," + line.substr(first + 1, second - first - 1) + ",").find(",memory,") !=
            std::string::npos) {
            parent = "/sys/fs/cgroup/memory" + line.substr(second + 1);
            limitFile = "/memory.limit_in_bytes";
        } else if (line.compare(0, 3, "0::") == 0) {
            parent = "/sys/fs/cgroup" + line.substr(3);
            limitFile = "/memory.max";
        }
    }
    const std::string cgroup = parent + "/kvsniffer-" + std::to_string(getpid());
    if (geteuid() != 0 || parent.empty() || mkdir(cgroup.c_str(), 0755) != 0) {
        GTEST_SKIP() << "needs root and a memory cgroup hierarchy: cannot create " << cgroup;
    }
    std::ofstream limit(cgroup + limitFile);
    limit << 256 * MiB << std::flush;
    EXPECT_TRUE(limit.good()) << "cannot limit " << cgroup;
    for (const auto& [bufferSize, expected] :
         {std::pair{400000000, ZrUtilsLib::NOT_ENOUGH_MEMORY}, {1024000, ZrUtilsLib::OK}}) {
        const pid_t child = fork();
        if (child == 0) {
            std::ofstream(cgroup + "/cgroup.procs") << "0" << std::flush;
            PCAPSniffer sniffer;
            PCAPSnifferConfiguration config;
            config.AdapterName = "kvnosuch0";
            std::strcpy(config.Filename, "/tmp/kvsniffer-unused");
            config.Mode = Circular;
            config.BufferSize = bufferSize;
            const unsigned int code = sniffer.Open(&config).GetCode();
            const uint32_t allocated = sniffer.GetAllocatedBufferCount();
            std::fprintf(stderr, "buffer size %d: code %u, %u Buffers\n", bufferSize, code,
                         allocated);
            _exit(code == expected && allocated == (code == ZrUtilsLib::OK ? 8u : 0u) ? 0 : 1);
        }
        int status = 0;
        EXPECT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "buffer size " << bufferSize;
    }
    rmdir(cgroup.c_str());
}

}  // namespace
