#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "KvTransportLayerLib/Network/PCAP/Buffer.h"
#include "app/MemoryAvailability.h"

namespace SnifferTest {

// ---- Capture files, read independently of the writer -------------------------------------

struct PcapRecord {
    uint32_t seconds = 0;
    uint32_t microseconds = 0;
    uint32_t storedLength = 0;
    uint32_t wireLength = 0;
    std::vector<uint8_t> data;
};

struct PcapFile {
    bool readable = false;
    std::vector<uint8_t> header;  // the 24 bytes of the global header
    uint32_t magic = 0;
    uint16_t versionMajor = 0;
    uint16_t versionMinor = 0;
    uint32_t snapLength = 0;
    uint32_t linkType = 0;
    std::vector<PcapRecord> records;
    bool truncated = false;  // the file ends inside a record
};

PcapFile ReadPcapFile(const std::string& path);
bool FileExists(const std::string& path);
long FileSize(const std::string& path);

// ---- Numbered Ethernet frames -------------------------------------------------------------

// An IPv4/UDP broadcast frame of `length` bytes (at least kMinimumFrameLength) whose payload
// carries a marker, the sequence number and bytes derived from both.
constexpr uint32_t kMinimumFrameLength = 64;
std::vector<uint8_t> MakeNumberedFrame(uint32_t sequence, uint32_t length);
// True and the sequence when `data` (possibly cut) starts like a numbered frame and every
// stored byte is the one MakeNumberedFrame put there.
bool ParseNumberedFrame(const uint8_t* data, uint32_t storedLength, uint32_t wireLength,
                        uint32_t& sequence);

// The sequence numbers of a file's numbered records, in file order; foreign frames are skipped.
std::vector<uint32_t> SequencesOf(const PcapFile& file);

// Writes packet records of numbered frames into a Buffer, as the capture filter would, and
// sets its data length and packet count. Returns the next sequence number.
uint32_t FillBuffer(KvTransportLayerLib::Network::PCAP::Buffer& buffer, uint32_t firstSequence,
                    uint32_t frameLength, uint32_t maximumPacketSize, uint32_t packets);

// ---- A /proc and cgroup file system of the test's own ------------------------------------

constexpr uint64_t MiB = 1024 * 1024;

class FakeSystem {
public:
    FakeSystem();
    ~FakeSystem();
    FakeSystem(const FakeSystem&) = delete;
    FakeSystem& operator=(const FakeSystem&) = delete;

    void Write(const std::string& relative, const std::string& text);
    void SetMemAvailable(uint64_t bytes);
    std::unique_ptr<MemoryAvailability> MakeGauge() const;
    MemoryAvailability Gauge() const { return MemoryAvailability(mRoot + "/proc", mRoot); }

private:
    std::string mRoot;
};

// ---- Processes and tools -------------------------------------------------------------------

struct CommandOutput {
    int status = -1;     // exit code, or -1 when the command did not exit normally
    std::string output;  // standard output and error
};
CommandOutput RunCommand(const std::string& command);
bool HaveCommand(const char* name);
std::string UniqueName(const char* prefix);
std::string MakeTempDirectory();
void RemoveTree(const std::string& path);

// A temporary directory removed with everything in it when the test ends, however it ends.
class TempDirectory {
public:
    TempDirectory() : mPath(MakeTempDirectory()) {}
    ~TempDirectory() { RemoveTree(mPath); }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;
    const std::string& GetPath() const { return mPath; }

private:
    std::string mPath;
};

// ---- A veth pair inside a network namespace made for the test ------------------------------

// Creates the namespace and a veth pair in it (IPv6 off, so the link carries only the test's
// frames), then moves the calling thread into it: threads it starts afterwards (the sniffer's,
// the capture filter's) capture there. The destructor returns the thread and removes all.
class TestNetwork {
public:
    explicit TestNetwork(unsigned int mtu = 1500);
    ~TestNetwork();
    TestNetwork(const TestNetwork&) = delete;
    TestNetwork& operator=(const TestNetwork&) = delete;

    bool IsReady() const { return mReady; }
    const std::string& GetError() const { return mError; }
    const std::string& GetNamespace() const { return mNamespace; }
    // The end the recorder captures on.
    const std::string& GetCaptureAdapter() const { return mCaptureAdapter; }

    // Sends numbered frames out of the other end; false when a send fails.
    bool SendFrames(uint32_t firstSequence, uint32_t count, uint32_t frameLength);

private:
    bool Fail(const std::string& error);

    bool mReady = false;
    std::string mError;
    std::string mNamespace;
    std::string mSendAdapter;
    std::string mCaptureAdapter;
    int mOriginalNamespace = -1;
    int mSocket = -1;
    int mSendIndex = 0;
};

}  // namespace SnifferTest
