#include "Isolation.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace LoggingTest {

namespace {

bool Fail(std::string* error, const std::string& what) {
    *error = what + ": " + std::strerror(errno);
    return false;
}

}  // namespace

bool EnterPrivateMounts(std::string* error) {
    if (unshare(CLONE_NEWNS) != 0) {
        return Fail(error, "unshare(CLONE_NEWNS)");
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return Fail(error, "making / private");
    }
    return true;
}

bool MountPrivateShm(bool readOnly, std::string* error) {
    const unsigned long flags = readOnly ? MS_RDONLY : 0;
    if (mount("tmpfs", "/dev/shm", "tmpfs", flags, "mode=1777") != 0) {
        return Fail(error, "tmpfs on /dev/shm");
    }
    return true;
}

bool MountPrivateEtc(std::string* error) {
    // The layers live on this namespace's own /dev/shm, so nothing is created on the host.
    if (!MountPrivateShm(false, error)) {
        return false;
    }
    const std::string upper = "/dev/shm/etc-upper";
    const std::string work = "/dev/shm/etc-work";
    if (mkdir(upper.c_str(), 0755) != 0 || mkdir(work.c_str(), 0755) != 0) {
        return Fail(error, "overlay layers");
    }
    const std::string options = "lowerdir=/etc,upperdir=" + upper + ",workdir=" + work;
    if (mount("overlay", "/etc", "overlay", 0, options.c_str()) != 0) {
        return Fail(error, "overlay on /etc");
    }
    return true;
}

bool EnterPrivateNetwork(std::string* error) {
    if (unshare(CLONE_NEWNET) != 0) {
        return Fail(error, "unshare(CLONE_NEWNET)");
    }
    const int control = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (control < 0) {
        return Fail(error, "socket");
    }
    ifreq request;
    std::memset(&request, 0, sizeof(request));
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ioctl(control, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    up = up && ioctl(control, SIOCSIFFLAGS, &request) == 0;
    close(control);
    return up ? true : Fail(error, "bringing lo up");
}

TempDir::TempDir() {
    std::string pattern = "/tmp/kvlog-" + std::to_string(getpid()) + "-XXXXXX";
    if (mkdtemp(&pattern[0]) != nullptr) {
        mPath = pattern;
    }
}

TempDir::~TempDir() {
    if (!mPath.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(mPath, ignored);
    }
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool FileExists(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0;
}

std::vector<std::string> SplitLines(const std::string& text, const std::string& separator) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find(separator, start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + separator.size();
    }
    return lines;
}

SyslogReceiver::SyslogReceiver() : mSocket(-1), mBound(false) {
    mSocket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (mSocket < 0) {
        mError = std::string("socket: ") + std::strerror(errno);
        return;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(514);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(mSocket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        mError = std::string("bind 127.0.0.1:514: ") + std::strerror(errno);
        return;
    }
    mBound = true;
}

SyslogReceiver::~SyslogReceiver() {
    if (mSocket >= 0) {
        close(mSocket);
    }
}

bool SyslogReceiver::Receive(std::string* datagram, unsigned int milliseconds) {
    pollfd entry{mSocket, POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(milliseconds)) != 1) {
        return false;
    }
    char buffer[2048];
    const ssize_t got = recv(mSocket, buffer, sizeof(buffer), 0);
    if (got < 0) {
        return false;
    }
    datagram->assign(buffer, static_cast<size_t>(got));
    return true;
}

bool FindThread(const std::string& name, int* policy, int* priority) {
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) {
        return false;
    }
    bool found = false;
    while (const dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        std::string comm = ReadFile(std::string("/proc/self/task/") + entry->d_name + "/comm");
        while (!comm.empty() && comm.back() == '\n') {
            comm.pop_back();
        }
        // The kernel keeps the first 15 characters of a thread name.
        if (comm != name.substr(0, 15)) {
            continue;
        }
        const pid_t tid = static_cast<pid_t>(std::atoi(entry->d_name));
        sched_param parameters{};
        *policy = sched_getscheduler(tid);
        sched_getparam(tid, &parameters);
        *priority = parameters.sched_priority;
        found = true;
        break;
    }
    closedir(tasks);
    return found;
}

}  // namespace LoggingTest
