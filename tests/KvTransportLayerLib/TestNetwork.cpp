#include "TestNetwork.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kEthernetHeader = 14;
constexpr uint32_t kIpHeader = 20;
constexpr uint32_t kUdpHeader = 8;
constexpr uint32_t kPayloadOffset = kEthernetHeader + kIpHeader + kUdpHeader;
const uint8_t kMagic[4] = {'K', 'V', 'C', 'P'};

std::atomic<int> sInstances{0};

uint16_t IpChecksum(const uint8_t* header) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < kIpHeader; i += 2) {
        sum += static_cast<uint32_t>(header[i] << 8 | header[i + 1]);
    }
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint16_t>(~sum);
}

void PutU16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}

}  // namespace

TestNetwork::TestNetwork() {
    mName = "kvcaptest" + std::to_string(getpid()) + "-" + std::to_string(sInstances++);
    const std::string in = "ip netns exec " + mName + " ";
    if (!Run("ip netns add " + mName) ||
        !Run(in + "sysctl -qw net.ipv6.conf.all.disable_ipv6=1 "
                  "net.ipv6.conf.default.disable_ipv6=1 || true") ||
        !Run(in + "ip link add kvsend type veth peer name kvcap") ||
        !Run(in + "ip link set kvsend up") || !Run(in + "ip link set kvcap up") ||
        !Run(in + "ip link set lo up")) {
        return;
    }
    mOriginalNamespace = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    const int target = open(("/run/netns/" + mName).c_str(), O_RDONLY | O_CLOEXEC);
    if (mOriginalNamespace < 0 || target < 0 || setns(target, CLONE_NEWNET) != 0) {
        mFailure = "cannot enter the network namespace " + mName + ": " + std::strerror(errno);
        if (target >= 0) {
            close(target);
        }
        return;
    }
    close(target);
    mEntered = true;
    mSendSocket = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    mSendIndex = static_cast<int>(if_nametoindex("kvsend"));
    if (mSendSocket < 0 || mSendIndex == 0) {
        mFailure = std::string("cannot open the sending socket: ") + std::strerror(errno);
    }
}

TestNetwork::~TestNetwork() {
    if (mSendSocket >= 0) {
        close(mSendSocket);
    }
    if (mEntered) {
        setns(mOriginalNamespace, CLONE_NEWNET);
    }
    if (mOriginalNamespace >= 0) {
        close(mOriginalNamespace);
    }
    Run("ip netns del " + mName + " 2>/dev/null");
}

bool TestNetwork::Run(const std::string& command) {
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    if (status != 0 && mFailure.empty()) {
        mFailure = "'" + command + "' failed with status " + std::to_string(status);
    }
    return status == 0;
}

bool TestNetwork::DeleteCaptureAdapter() {
    return Run("ip netns exec " + mName + " ip link del kvcap");
}

std::vector<uint8_t> TestNetwork::BuildFrame(uint32_t sequence, uint32_t frameLength) {
    std::vector<uint8_t> frame(frameLength, 0);
    std::memset(frame.data(), 0xFF, 6);  // broadcast destination
    const uint8_t source[6] = {0x02, 0x4B, 0x56, 0x00, 0x00, 0x01};
    std::memcpy(frame.data() + 6, source, 6);
    PutU16(frame.data() + 12, 0x0800);

    uint8_t* ip = frame.data() + kEthernetHeader;
    ip[0] = 0x45;
    PutU16(ip + 2, static_cast<uint16_t>(frameLength - kEthernetHeader));
    ip[8] = 64;
    ip[9] = 17;  // UDP
    const uint8_t sourceIp[4] = {10, 77, 0, 1};
    const uint8_t destinationIp[4] = {10, 77, 0, 2};
    std::memcpy(ip + 12, sourceIp, 4);
    std::memcpy(ip + 16, destinationIp, 4);
    PutU16(ip + 10, IpChecksum(ip));

    uint8_t* udp = ip + kIpHeader;
    PutU16(udp, 40000);
    PutU16(udp + 2, 40001);
    PutU16(udp + 4, static_cast<uint16_t>(frameLength - kEthernetHeader - kIpHeader));

    uint8_t* payload = frame.data() + kPayloadOffset;
    std::memcpy(payload, kMagic, 4);
    std::memcpy(payload + 4, &sequence, 4);
    for (uint32_t i = kPayloadOffset + 8; i < frameLength; ++i) {
        frame[i] = static_cast<uint8_t>(sequence * 13u + i);
    }
    return frame;
}

bool TestNetwork::ReadSequence(const uint8_t* frame, uint32_t length, uint32_t* sequence) {
    if (length < kPayloadOffset + 8 || std::memcmp(frame + kPayloadOffset, kMagic, 4) != 0) {
        return false;
    }
    std::memcpy(sequence, frame + kPayloadOffset + 4, 4);
    return true;
}

std::vector<uint8_t> TestNetwork::SendNumbered(uint32_t sequence, uint32_t frameLength) {
    std::vector<uint8_t> frame = BuildFrame(sequence, frameLength);
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_ifindex = mSendIndex;
    address.sll_halen = 6;
    std::memset(address.sll_addr, 0xFF, 6);
    const ssize_t sent = sendto(mSendSocket, frame.data(), frame.size(), 0,
                                reinterpret_cast<sockaddr*>(&address), sizeof(address));
    if (sent != static_cast<ssize_t>(frame.size())) {
        frame.clear();
    }
    return frame;
}
