#include "fuzz/FuzzSupport.h"

#include <sched.h>
#include <sys/mount.h>

namespace KvFuzz {

std::vector<std::string> SplitAtNul(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> pieces;
    for (size_t start = 0, end = 0; end != std::string::npos; start = end + 1) {
        end = text.find('\0', start);
        pieces.push_back(text.substr(start, end - start));
    }
    return pieces;
}

void EnterSandbox() {
    FUZZ_CHECK(unshare(CLONE_NEWNS | CLONE_NEWNET) == 0 &&
               mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
               std::system("ip link set lo up") == 0);
    MountScratch("/dev/shm");
}

void MountScratch(const char* path) {
    FUZZ_CHECK(mount("kvfuzz", path, "tmpfs", MS_NOSUID | MS_NODEV, "size=16m") == 0);
}

}  // namespace KvFuzz
