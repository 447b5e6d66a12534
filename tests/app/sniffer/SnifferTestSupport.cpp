#include "SnifferTestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace SnifferTest {

namespace {

constexpr uint32_t kIpOffset = 14;
constexpr uint32_t kUdpOffset = 34;
constexpr uint32_t kPayloadOffset = 42;
constexpr uint32_t kNumberedHeaderLength = kPayloadOffset + 8;
const uint8_t kMarker[4] = {'K', 'V', 'S', 'N'};

uint32_t ReadUint32(const uint8_t* at) {
    uint32_t value;
    std::memcpy(&value, at, sizeof(value));
    return value;
}

void PutBigEndian16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}

uint16_t IpChecksum(const uint8_t* header, size_t length) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < length; i += 2) {
        sum += static_cast<uint32_t>(header[i] << 8 | header[i + 1]);
    }
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint16_t>(~sum);
}

}  // namespace

PcapFile ReadPcapFile(const std::string& path) {
    PcapFile file;
    std::ifstream stream(path, std::ios::binary);
    if (!stream) {
        return file;
    }
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(stream)),
                                     std::istreambuf_iterator<char>());
    if (bytes.size() < 24) {
        file.truncated = true;
        return file;
    }
    file.readable = true;
    file.header.assign(bytes.begin(), bytes.begin() + 24);
    file.magic = ReadUint32(&bytes[0]);
    std::memcpy(&file.versionMajor, &bytes[4], 2);
    std::memcpy(&file.versionMinor, &bytes[6], 2);
    file.snapLength = ReadUint32(&bytes[16]);
    file.linkType = ReadUint32(&bytes[20]);
    size_t offset = 24;
    while (offset < bytes.size()) {
        if (bytes.size() - offset < 16) {
            file.truncated = true;
            break;
        }
        PcapRecord record;
        record.seconds = ReadUint32(&bytes[offset]);
        record.microseconds = ReadUint32(&bytes[offset + 4]);
        record.storedLength = ReadUint32(&bytes[offset + 8]);
        record.wireLength = ReadUint32(&bytes[offset + 12]);
        offset += 16;
        if (bytes.size() - offset < record.storedLength) {
            file.truncated = true;
            break;
        }
        record.data.assign(bytes.begin() + offset, bytes.begin() + offset + record.storedLength);
        offset += record.storedLength;
        file.records.push_back(std::move(record));
    }
    return file;
}

bool FileExists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

long FileSize(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? static_cast<long>(info.st_size) : -1;
}

std::vector<uint8_t> MakeNumberedFrame(uint32_t sequence, uint32_t length) {
    if (length < kMinimumFrameLength) {
        length = kMinimumFrameLength;
    }
    std::vector<uint8_t> frame(length, 0);
    std::memset(frame.data(), 0xFF, 6);
    const uint8_t source[6] = {0x02, 0x4B, 0x56, 0x53, 0x4E, 0x01};
    std::memcpy(frame.data() + 6, source, 6);
    PutBigEndian16(&frame[12], ETHERTYPE_IP);

    uint8_t* ip = &frame[kIpOffset];
    ip[0] = 0x45;
    PutBigEndian16(ip + 2, static_cast<uint16_t>(length - kIpOffset));
    PutBigEndian16(ip + 4, static_cast<uint16_t>(sequence));
    ip[8] = 64;
    ip[9] = 17;  // UDP
    const uint8_t addresses[8] = {10, 200, 0, 1, 10, 200, 0, 255};
    std::memcpy(ip + 12, addresses, 8);
    PutBigEndian16(ip + 10, IpChecksum(ip, 20));

    uint8_t* udp = &frame[kUdpOffset];
    PutBigEndian16(udp, 40000);
    PutBigEndian16(udp + 2, 40001);
    PutBigEndian16(udp + 4, static_cast<uint16_t>(length - kUdpOffset));

    std::memcpy(&frame[kPayloadOffset], kMarker, sizeof(kMarker));
    const uint32_t networkSequence = htonl(sequence);
    std::memcpy(&frame[kPayloadOffset + 4], &networkSequence, 4);
    for (uint32_t i = kNumberedHeaderLength; i < length; ++i) {
        frame[i] = static_cast<uint8_t>(sequence * 7 + i);
    }
    return frame;
}

bool ParseNumberedFrame(const uint8_t* data, uint32_t storedLength, uint32_t wireLength,
                        uint32_t& sequence) {
    if (storedLength < kNumberedHeaderLength || storedLength > wireLength ||
        std::memcmp(data + kPayloadOffset, kMarker, sizeof(kMarker)) != 0) {
        return false;
    }
    uint32_t networkSequence;
    std::memcpy(&networkSequence, data + kPayloadOffset + 4, 4);
    sequence = ntohl(networkSequence);
    const std::vector<uint8_t> expected = MakeNumberedFrame(sequence, wireLength);
    return expected.size() == wireLength && std::memcmp(expected.data(), data, storedLength) == 0;
}

std::vector<uint32_t> SequencesOf(const PcapFile& file) {
    std::vector<uint32_t> sequences;
    for (const PcapRecord& record : file.records) {
        uint32_t sequence = 0;
        if (ParseNumberedFrame(record.data.data(), record.storedLength, record.wireLength,
                               sequence)) {
            sequences.push_back(sequence);
        }
    }
    return sequences;
}

uint32_t FillBuffer(KvTransportLayerLib::Network::PCAP::Buffer& buffer, uint32_t firstSequence,
                    uint32_t frameLength, uint32_t maximumPacketSize, uint32_t packets) {
    uint32_t used = 0;
    uint32_t sequence = firstSequence;
    for (uint32_t i = 0; i < packets; ++i, ++sequence) {
        const std::vector<uint8_t> frame = MakeNumberedFrame(sequence, frameLength);
        const uint32_t stored = std::min<uint32_t>(frame.size(), maximumPacketSize);
        if (used + 16 + stored > buffer.GetSize()) {
            break;
        }
        const uint32_t header[4] = {1700000000u + sequence, sequence % 1000000u, stored,
                                    static_cast<uint32_t>(frame.size())};
        std::memcpy(buffer.GetData() + used, header, sizeof(header));
        std::memcpy(buffer.GetData() + used + 16, frame.data(), stored);
        used += 16 + stored;
    }
    buffer.SetDataLength(used);
    buffer.SetPacketCount(sequence - firstSequence);
    return sequence;
}

FakeSystem::FakeSystem() : mRoot(MakeTempDirectory()) {}

FakeSystem::~FakeSystem() {
    RemoveTree(mRoot);
}

// Replaces the file in one rename, so that a reader on another thread sees the old or the new.
void FakeSystem::Write(const std::string& relative, const std::string& text) {
    const std::string path = mRoot + relative;
    RunCommand("mkdir -p '" + path.substr(0, path.rfind('/')) + "'");
    { std::ofstream(path + ".new") << text; }
    std::rename((path + ".new").c_str(), path.c_str());
}

void FakeSystem::SetMemAvailable(uint64_t bytes) {
    Write("/proc/meminfo", "MemTotal:       24683772 kB\nMemFree:  1000 kB\nMemAvailable:   " +
                               std::to_string(bytes / 1024) + " kB\n");
}

std::unique_ptr<MemoryAvailability> FakeSystem::MakeGauge() const {
    return std::make_unique<MemoryAvailability>(mRoot + "/proc", mRoot);
}

CommandOutput RunCommand(const std::string& command) {
    CommandOutput result;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    char chunk[4096];
    size_t read;
    while ((read = fread(chunk, 1, sizeof(chunk), pipe)) > 0) {
        result.output.append(chunk, read);
    }
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

bool HaveCommand(const char* name) {
    return RunCommand(std::string("command -v ") + name + " >/dev/null").status == 0;
}

std::string UniqueName(const char* prefix) {
    static std::atomic<unsigned int> counter{0};
    return std::string(prefix) + std::to_string(getpid()) + "x" + std::to_string(counter++);
}

std::string MakeTempDirectory() {
    std::string pattern = "/tmp/kvsniffer-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
        return "";
    }
    return pattern;
}

void RemoveTree(const std::string& path) {
    if (!path.empty() && path.rfind("/tmp/kvsniffer-", 0) == 0) {
        RunCommand("rm -rf '" + path + "'");
    }
}

TestNetwork::TestNetwork(unsigned int mtu) {
    const std::string id = UniqueName("");
    mNamespace = "kvsniffer" + id;
    mSendAdapter = "kvsa" + id;
    mCaptureAdapter = "kvsb" + id;
    if (mCaptureAdapter.size() > 15) {
        Fail("adapter name too long: " + mCaptureAdapter);
        return;
    }
    const std::string ns = " -n " + mNamespace + " ";
    const std::string commands[] = {
        "ip netns add " + mNamespace,
        "ip netns exec " + mNamespace +
            " sysctl -qw net.ipv6.conf.default.disable_ipv6=1 net.ipv6.conf.all.disable_ipv6=1",
        "ip" + ns + "link add " + mSendAdapter + " mtu " + std::to_string(mtu) +
            " type veth peer name " + mCaptureAdapter + " mtu " + std::to_string(mtu),
        "ip" + ns + "link set " + mSendAdapter + " up",
        "ip" + ns + "link set " + mCaptureAdapter + " up",
    };
    for (const std::string& command : commands) {
        const CommandOutput done = RunCommand(command);
        if (done.status != 0) {
            Fail(command + ": " + done.output);
            return;
        }
    }
    mOriginalNamespace = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int target = open(("/run/netns/" + mNamespace).c_str(), O_RDONLY | O_CLOEXEC);
    if (mOriginalNamespace < 0 || target < 0 || setns(target, CLONE_NEWNET) != 0) {
        if (target >= 0) {
            close(target);
        }
        Fail(std::string("cannot enter the namespace: ") + std::strerror(errno));
        return;
    }
    close(target);
    mSendIndex = static_cast<int>(if_nametoindex(mSendAdapter.c_str()));
    mSocket = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (mSendIndex == 0 || mSocket < 0) {
        Fail(std::string("cannot open the sending socket: ") + std::strerror(errno));
        return;
    }
    mReady = true;
}

TestNetwork::~TestNetwork() {
    if (mSocket >= 0) {
        close(mSocket);
    }
    if (mOriginalNamespace >= 0) {
        setns(mOriginalNamespace, CLONE_NEWNET);
        close(mOriginalNamespace);
    }
    if (!mNamespace.empty()) {
        RunCommand("ip netns del " + mNamespace);
    }
}

bool TestNetwork::Fail(const std::string& error) {
    mError = error;
    mReady = false;
    return false;
}

bool TestNetwork::SendFrames(uint32_t firstSequence, uint32_t count, uint32_t frameLength) {
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_ifindex = mSendIndex;
    address.sll_halen = 6;
    std::memset(address.sll_addr, 0xFF, 6);
    for (uint32_t i = 0; i < count; ++i) {
        const std::vector<uint8_t> frame = MakeNumberedFrame(firstSequence + i, frameLength);
        int attempts = 0;
        while (sendto(mSocket, frame.data(), frame.size(), 0,
                      reinterpret_cast<const sockaddr*>(&address), sizeof(address)) < 0) {
            if (errno != ENOBUFS || ++attempts > 1000) {
                return Fail(std::string("send: ") + std::strerror(errno));
            }
            sched_yield();
        }
    }
    return true;
}

}  // namespace SnifferTest
