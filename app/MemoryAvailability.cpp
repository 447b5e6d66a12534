#include "app/MemoryAvailability.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

namespace {

// Limits at or above this are the kernels' ways of writing "no limit" (cgroup v1 reports
// 9223372036854771712).
constexpr uint64_t kNoLimit = uint64_t{1} << 62;

struct CgroupMount {
    std::string mountPoint;
    std::string root;  // cgroup path of the mount's root
};

struct CgroupPaths {
    std::string v2;        // path of the process in the unified hierarchy, empty when none
    std::string v1Memory;  // path of the process in the v1 memory hierarchy, empty when none
};

std::vector<std::string> SplitWords(const std::string& line) {
    std::istringstream stream(line);
    std::vector<std::string> words;
    std::string word;
    while (stream >> word) {
        words.push_back(word);
    }
    return words;
}

bool HasToken(const std::string& list, const std::string& token) {
    std::istringstream stream(list);
    std::string item;
    while (std::getline(stream, item, ',')) {
        if (item == token) {
            return true;
        }
    }
    return false;
}

bool ReadNumber(const std::string& path, uint64_t& value) {
    std::ifstream file(path);
    std::string text;
    if (!(file >> text)) {
        return false;
    }
    if (text == "max") {
        value = kNoLimit;
        return true;
    }
    try {
        size_t used = 0;
        value = std::stoull(text, &used);
        return used == text.size();
    } catch (const std::exception&) {
        return false;
    }
}

// The value of `key` in a "key value" file such as memory.stat, 0 when absent.
uint64_t ReadStatValue(const std::string& path, const std::string& key) {
    std::ifstream file(path);
    std::string name;
    uint64_t value = 0;
    while (file >> name >> value) {
        if (name == key) {
            return value;
        }
    }
    return 0;
}

CgroupPaths ReadProcessCgroups(const std::string& path) {
    CgroupPaths paths;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        const size_t first = line.find(':');
        const size_t second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) {
            continue;
        }
        const std::string hierarchy = line.substr(0, first);
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string cgroup = line.substr(second + 1);
        if (hierarchy == "0" && controllers.empty()) {
            paths.v2 = cgroup;
        } else if (HasToken(controllers, "memory")) {
            paths.v1Memory = cgroup;
        }
    }
    return paths;
}

// Finds the cgroup2 mount and the cgroup v1 mount that carries the memory controller.
void ReadCgroupMounts(const std::string& path, CgroupMount& v2, CgroupMount& v1Memory) {
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        const std::vector<std::string> words = SplitWords(line);
        const auto separator = std::find(words.begin(), words.end(), "-");
        if (words.size() < 5 || separator == words.end() || words.end() - separator < 4) {
            continue;
        }
        const std::string& type = *(separator + 1);
        const std::string& superOptions = *(separator + 3);
        if (type == "cgroup2" && v2.mountPoint.empty()) {
            v2 = CgroupMount{words[4], words[3]};
        } else if (type == "cgroup" && HasToken(superOptions, "memory") &&
                   v1Memory.mountPoint.empty()) {
            v1Memory = CgroupMount{words[4], words[3]};
        }
    }
}

// The directory of the process's cgroup under a mount; the mount may show only a subtree.
std::string CgroupDirectory(const std::string& prefix, const CgroupMount& mount,
                            std::string cgroup) {
    if (mount.root != "/" && cgroup.compare(0, mount.root.size(), mount.root) == 0) {
        cgroup.erase(0, mount.root.size());
    }
    while (!cgroup.empty() && cgroup.back() == '/') {
        cgroup.pop_back();
    }
    return prefix + mount.mountPoint + cgroup;
}

struct LimitFiles {
    const char* limit;
    const char* usage;
    const char* stat;
    const char* inactiveFileKey;
};

const LimitFiles kV2Files{"memory.max", "memory.current", "memory.stat", "inactive_file"};
const LimitFiles kV1Files{"memory.limit_in_bytes", "memory.usage_in_bytes", "memory.stat",
                          "total_inactive_file"};

uint64_t RoomAtLevel(const std::string& directory, const LimitFiles& files) {
    uint64_t limit = 0;
    uint64_t usage = 0;
    if (!ReadNumber(directory + "/" + files.limit, limit) || limit >= kNoLimit ||
        !ReadNumber(directory + "/" + files.usage, usage)) {
        return MemoryAvailability::UNKNOWN;
    }
    const uint64_t inactiveFile =
        ReadStatValue(directory + "/" + files.stat, files.inactiveFileKey);
    const uint64_t used = usage > inactiveFile ? usage - inactiveFile : 0;
    return limit > used ? limit - used : 0;
}

// The tightest room from the process's own cgroup up to the root of the mount.
uint64_t RoomInHierarchy(const std::string& prefix, const CgroupMount& mount,
                         const std::string& cgroup, const LimitFiles& files) {
    if (mount.mountPoint.empty() || cgroup.empty()) {
        return MemoryAvailability::UNKNOWN;
    }
    const std::string top = prefix + mount.mountPoint;
    std::string directory = CgroupDirectory(prefix, mount, cgroup);
    uint64_t room = MemoryAvailability::UNKNOWN;
    while (directory.size() >= top.size()) {
        room = std::min(room, RoomAtLevel(directory, files));
        const size_t slash = directory.rfind('/');
        if (directory.size() == top.size() || slash == std::string::npos) {
            break;
        }
        directory.erase(std::max(slash, top.size()));
    }
    return room;
}

}  // namespace

MemoryAvailability::MemoryAvailability() : MemoryAvailability("/proc", "") {}

MemoryAvailability::MemoryAvailability(std::string procRoot, std::string mountPrefix)
    : mProcRoot(std::move(procRoot)), mMountPrefix(std::move(mountPrefix)) {}

uint64_t MemoryAvailability::GetAvailableBytes() const {
    return std::min(ReadMemAvailable(), ReadCgroupRoom());
}

bool MemoryAvailability::HasRoomFor(uint64_t bytes, uint64_t reserve) const {
    const uint64_t available = GetAvailableBytes();
    if (available == UNKNOWN) {
        return true;
    }
    return available >= reserve && available - reserve >= bytes;
}

uint64_t MemoryAvailability::ReadMemAvailable() const {
    std::ifstream file(mProcRoot + "/meminfo");
    std::string line;
    while (std::getline(file, line)) {
        const std::vector<std::string> words = SplitWords(line);
        if (words.size() >= 2 && words[0] == "MemAvailable:") {
            try {
                const uint64_t kibibytes = std::stoull(words[1]);
                return words.size() >= 3 && words[2] == "kB" ? kibibytes * 1024 : kibibytes;
            } catch (const std::exception&) {
                return UNKNOWN;
            }
        }
    }
    return UNKNOWN;
}

uint64_t MemoryAvailability::ReadCgroupRoom() const {
    const CgroupPaths paths = ReadProcessCgroups(mProcRoot + "/self/cgroup");
    CgroupMount v2;
    CgroupMount v1Memory;
    ReadCgroupMounts(mProcRoot + "/self/mountinfo", v2, v1Memory);
    return std::min(RoomInHierarchy(mMountPrefix, v2, paths.v2, kV2Files),
                    RoomInHierarchy(mMountPrefix, v1Memory, paths.v1Memory, kV1Files));
}
