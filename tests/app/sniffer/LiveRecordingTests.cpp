// A live recording through the real capture Filter (libpcap) on the loopback adapter of a network
// namespace of the test's own, where only the test's frames pass. Needs root.

#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "ZrUtilsLib/Thread.h"
#include "app/PCAPSniffer.h"

namespace {

// A broadcast frame of 8500 bytes: a marker, the number, bytes derived from it.
std::string MakeNumberedFrame(uint32_t sequence) {
    std::string frame("\xFF\xFF\xFF\xFF\xFF\xFF\x02KVSN\x01\x88\xB5KVSN", 18);
    frame.append(reinterpret_cast<const char*>(&sequence), 4);
    for (uint32_t i = 22; i < 8500; ++i) {
        frame.push_back(static_cast<char>(sequence * 7 + i));
    }
    return frame;
}

// 512 packets cut to 8000 bytes fill the plan's one Buffer exactly, so the count never exceeds
// the request: the recording ends because nothing more can be recorded. The file then holds the
// numbered frames from 0 on, in order, each cut to the maximum packet size and intact.
TEST(LiveRecordingTest, FixedNumberOfPacketsEndsWhenEveryBufferIsFull) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root: creates a network namespace and captures with libpcap";
    }
    // The sniffer's threads start in the namespace the test's thread moves to.
    ASSERT_EQ(unshare(CLONE_NEWNET), 0) << std::strerror(errno);
    ASSERT_EQ(std::system("ip link set lo up"), 0);
    const int sender = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    ASSERT_GE(sender, 0) << std::strerror(errno);
    std::string directory = "/tmp/kvsniffer-XXXXXX";
    ASSERT_NE(mkdtemp(directory.data()), nullptr);
    const std::shared_ptr<void> removal(nullptr,
                                        [&](void*) { std::filesystem::remove_all(directory); });
    PCAPSnifferConfiguration config;
    config.AdapterName = "lo";
    std::snprintf(config.Filename, sizeof(config.Filename), "%s/fixed", directory.c_str());
    config.Mode = FixedNumberOfPackets;
    config.NumberOfPackets = 512;
    config.MaximumPacketSize = 8000;
    PCAPSniffer sniffer;
    ASSERT_EQ(sniffer.Open(&config).GetCode(), ZrUtilsLib::OK);
    ASSERT_EQ(sniffer.Start().GetCode(), ZrUtilsLib::OK);
    const sockaddr_ll address{AF_PACKET, 0, 1, 0, 0, 6, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};
    for (uint32_t sent = 0, attempts = 0; sniffer.IsRunning() && sent < 5000; ++sent) {
        const std::string frame = MakeNumberedFrame(sent);
        while (sendto(sender, frame.data(), frame.size(), 0,
                      reinterpret_cast<const sockaddr*>(&address), sizeof(address)) < 0) {
            ASSERT_TRUE(errno == ENOBUFS && ++attempts < 100000) << std::strerror(errno);
            sched_yield();
        }
        if (sent % 8 == 7) {
            ZrUtilsLib::Thread::Sleep(1);  // paced, so that a sanitized capture thread keeps up
        }
    }
    close(sender);
    for (int wait = 0; sniffer.IsRunning() && wait < 500; ++wait) {
        ZrUtilsLib::Thread::Sleep(10);
    }
    ASSERT_FALSE(sniffer.IsRunning()) << "still recording";
    sniffer.Stop();
    ASSERT_EQ(sniffer.StartStore().GetCode(), ZrUtilsLib::OK);
    sniffer.GetWriter().WaitForStoreCompletion();
    ASSERT_EQ(sniffer.GetWriter().GetStoreResult().GetCode(), ZrUtilsLib::OK);
    std::ifstream file(sniffer.GetFilename(), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(file), {}};
    // Magic, version 2.4, zone and accuracy 0, the snapshot length, link type Ethernet.
    uint32_t fields[6] = {0xA1B2C3D4, 0x40002, 0, 0, 8000, 1};
    EXPECT_EQ(bytes.substr(0, 24), std::string(reinterpret_cast<const char*>(fields), 24));
    uint32_t count = 0;
    size_t at = 24;
    for (; at + 16 <= bytes.size(); at += 16 + 8000, ++count) {
        std::memcpy(fields, &bytes[at], 16);  // seconds, microseconds, stored and wire length
        if (fields[2] != 8000 || fields[3] != 8500 ||
            bytes.compare(at + 16, 8000, MakeNumberedFrame(count), 0, 8000) != 0) {
            ADD_FAILURE() << "record " << count << " is not frame " << count;
            break;
        }
    }
    EXPECT_EQ(at, bytes.size());
    EXPECT_EQ(count, 512u);
}

}  // namespace
