#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app/MemoryAvailability.h"

namespace SnifferTest {

constexpr uint64_t MiB = 1024 * 1024;

inline uint32_t ReadUint32(const uint8_t* at) {
    uint32_t value;
    std::memcpy(&value, at, sizeof(value));
    return value;
}

// A broadcast frame of `length` bytes (at least 64): a marker, the number, bytes derived from it.
inline std::vector<uint8_t> MakeNumberedFrame(uint32_t sequence, uint32_t length) {
    const uint8_t header[18] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 2,   'K', 'V',
                                'S',  'N',  1,    0x88, 0xB5, 'K',  'V', 'S', 'N'};
    std::vector<uint8_t> frame(std::max<uint32_t>(length, 64));
    std::memcpy(frame.data(), header, sizeof(header));
    std::memcpy(&frame[18], &sequence, 4);
    for (uint32_t i = 22; i < frame.size(); ++i) {
        frame[i] = static_cast<uint8_t>(sequence * 7 + i);
    }
    return frame;
}

struct PcapRecord {
    uint32_t seconds, microseconds, storedLength, wireLength;
    std::vector<uint8_t> data;
};

// A capture file as read independently of the writer.
struct PcapFile {
    std::vector<uint8_t> header;  // the 24 bytes of the global header (zeros when missing)
    std::vector<PcapRecord> records;

    // The numbers of the records that are numbered frames intact in every stored byte.
    std::vector<uint32_t> Sequences() const {
        std::vector<uint32_t> sequences;
        for (const PcapRecord& record : records) {
            if (record.storedLength >= 22 && record.storedLength <= record.wireLength) {
                const uint32_t sequence = ReadUint32(&record.data[18]);
                const std::vector<uint8_t> expected =
                    MakeNumberedFrame(sequence, record.wireLength);
                if (expected.size() == record.wireLength &&
                    std::equal(record.data.begin(), record.data.end(), expected.begin())) {
                    sequences.push_back(sequence);
                }
            }
        }
        return sequences;
    }
};

// A file that is missing or ends inside a record fails the test.
inline PcapFile ReadPcapFile(const std::string& path) {
    std::ifstream stream(path, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(stream)),
                                     std::istreambuf_iterator<char>());
    PcapFile file{std::vector<uint8_t>(24), {}};
    size_t at = std::min<size_t>(bytes.size(), 24);
    std::copy(bytes.begin(), bytes.begin() + at, file.header.begin());
    EXPECT_EQ(at, 24u) << path;
    while (at + 16 <= bytes.size() && at + 16 + ReadUint32(&bytes[at + 8]) <= bytes.size()) {
        PcapRecord record{ReadUint32(&bytes[at]),
                          ReadUint32(&bytes[at + 4]),
                          ReadUint32(&bytes[at + 8]),
                          ReadUint32(&bytes[at + 12]),
                          {}};
        record.data.assign(bytes.begin() + at + 16, bytes.begin() + at + 16 + record.storedLength);
        at += 16 + record.storedLength;
        file.records.push_back(std::move(record));
    }
    EXPECT_EQ(at, bytes.size()) << path << " ends inside a record";
    return file;
}

// A temporary directory, removed with everything in it however the test ends.
class TempDirectory {
public:
    TempDirectory() {
        if (mkdtemp(mPath.data()) == nullptr) {
            mPath.clear();
        }
    }
    ~TempDirectory() { std::filesystem::remove_all(mPath); }
    const std::string& Path() const { return mPath; }

private:
    std::string mPath = "/tmp/kvsniffer-XXXXXX";
};

// A /proc and cgroup file system for MemoryAvailability to read.
class FakeSystem {
public:
    // Replaces the file in one rename: a reader on another thread sees the old or the new one.
    void Write(const std::string& relative, const std::string& text) {
        const std::filesystem::path path = mRoot.Path() + relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path.string() + ".new") << text;
        std::filesystem::rename(path.string() + ".new", path);
    }
    void SetMemAvailable(uint64_t bytes) {
        Write("/proc/meminfo", "MemTotal:       24683772 kB\nMemFree:  1000 kB\nMemAvailable:   " +
                                   std::to_string(bytes / 1024) + " kB\n");
    }
    std::unique_ptr<MemoryAvailability> MakeGauge() const {
        return std::make_unique<MemoryAvailability>(mRoot.Path() + "/proc", mRoot.Path());
    }

private:
    TempDirectory mRoot;
};

}  // namespace SnifferTest
