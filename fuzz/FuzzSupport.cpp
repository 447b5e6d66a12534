#include "fuzz/FuzzSupport.h"

#include <sched.h>
#include <sys/mount.h>

namespace KvFuzz {

std::vector<std::string> SplitAtNul(const uint8_t* data, size_t size) {
    std::vector<std::string> pieces(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            pieces.emplace_back();
        } else {
            pieces.back().push_back(static_cast<char>(data[i]));
        }
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

void WriteFile(const std::string& path, const void* data, size_t size) {
    FILE* file = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(file != nullptr && std::fwrite(data, 1, size, file) == size &&
               std::fclose(file) == 0);
}

}  // namespace KvFuzz
