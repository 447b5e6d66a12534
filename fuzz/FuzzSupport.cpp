#include "fuzz/FuzzSupport.h"

#include <fcntl.h>
#include <ftw.h>
#include <sched.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

extern char** environ;

namespace KvFuzz {

namespace {

// Runs a command without a shell; true when it exits with 0.
bool Run(std::vector<std::string> arguments) {
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    pid_t child;
    if (posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        return false;
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child) {
        return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    return std::remove(path);
}

std::vector<std::string>& ScratchDirectories() {
    static std::vector<std::string> directories;
    return directories;
}

void RemoveScratchDirectories() {
    for (const std::string& directory : ScratchDirectories()) {
        umount2(directory.c_str(), MNT_DETACH);  // fails harmlessly when nothing is mounted
        nftw(directory.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
}

}  // namespace

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

std::wstring WideUnits(const uint8_t* data, size_t size) {
    std::wstring text;
    for (size_t i = 0; i + sizeof(wchar_t) <= size; i += sizeof(wchar_t)) {
        wchar_t unit;
        std::memcpy(&unit, data + i, sizeof(unit));
        if (unit == 0) {
            break;
        }
        text.push_back(unit);
    }
    return text;
}

std::string Printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out.push_back(static_cast<char>(c));
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\x%02x", c);
            out += escaped;
        }
    }
    return out;
}

bool EnterPrivateNetwork(const AdapterPairs& vethPairs) {
    if (unshare(CLONE_NEWNET) != 0) {
        return false;
    }
    if (!Run({"ip", "link", "set", "lo", "up"})) {
        return false;
    }
    int octet = 1;
    for (const auto& [name, peer] : vethPairs) {
        std::string address = "10.99." + std::to_string(octet++) + ".1/24";
        if (!Run({"ip", "link", "add", name, "type", "veth", "peer", "name", peer}) ||
            !Run({"ip", "addr", "add", address, "dev", name}) ||
            !Run({"ip", "link", "set", name, "up"}) || !Run({"ip", "link", "set", peer, "up"})) {
            return false;
        }
    }
    return true;
}

bool EnterPrivateMounts() {
    if (unshare(CLONE_NEWNS) != 0) {
        return false;
    }
    return mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

bool MountScratch(const char* path) {
    return mount("kvfuzz", path, "tmpfs", MS_NOSUID | MS_NODEV, "size=16m,mode=0755") == 0;
}

std::string MakeScratchDirectory(const char* tag, bool inMemory) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                          "/kvfuzz-" + tag + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    if (ScratchDirectories().empty()) {
        std::atexit(RemoveScratchDirectories);
    }
    ScratchDirectories().push_back(pattern);
    if (inMemory && !(EnterPrivateMounts() && MountScratch(pattern.c_str()))) {
        std::fprintf(stderr, "no private tmpfs for %s; the files stay on disk\n", tag);
    }
    return pattern;
}

bool WriteFile(const std::string& path, const void* data, size_t size) {
    int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (descriptor < 0) {
        return false;
    }
    const char* bytes = static_cast<const char*>(data);
    size_t written = 0;
    while (written < size) {
        ssize_t n = write(descriptor, bytes + written, size - written);
        if (n <= 0) {
            close(descriptor);
            return false;
        }
        written += static_cast<size_t>(n);
    }
    return close(descriptor) == 0;
}

}  // namespace KvFuzz
