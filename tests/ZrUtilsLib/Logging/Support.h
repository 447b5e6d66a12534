// Helpers of the logging tests. The log server exists once per process, so every configuration
// runs in a forked child, in mount and network namespaces of its own where it needs them.
#pragma once

#include <arpa/inet.h>
#include <net/if.h>
#include <poll.h>
#include <regex.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace LoggingTest {

struct Child {
    int status = -1;  // as waitpid gives it
    std::string output;
    std::string report;
};

inline std::string Drain(int fd) {
    std::string text;
    char buffer[65536];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t got; (got = read(fd, buffer, sizeof(buffer))) > 0;) {
        text.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    return text;
}

// Runs `body` in a forked child with its standard output captured; the body writes what it saw
// to `report`. A child that hangs ends with SIGALRM after 60 s.
inline Child RunInChild(const std::function<void(std::ostream& report)>& body) {
    const int output = memfd_create("child-output", 0), reportFd = memfd_create("report", 0);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(60);
        dup2(output, STDOUT_FILENO);
        std::ostringstream report;
        int code = 0;
        try {
            body(report);
        } catch (const std::exception& error) {
            report << " exception: " << error.what();
            code = 3;
        }
        std::fflush(stdout);
        const std::string text = report.str();
        _exit(write(reportFd, text.data(), text.size()) == ssize_t(text.size()) ? code : 4);
    }
    Child child;
    waitpid(pid, &child.status, 0);
    child.output = Drain(output);
    child.report = Drain(reportFd);
    return child;
}

inline bool Skip(std::ostream& report, const char* what) {
    report << "skip: " << what << ": " << std::strerror(errno);
    return false;
}

// A private mount namespace with a fresh /dev/shm, so the named semaphores are the child's own.
inline bool PrivateShm(std::ostream& report, bool readOnly = false) {
    return (unshare(CLONE_NEWNS) == 0 &&
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
            mount("tmpfs", "/dev/shm", "tmpfs", readOnly ? MS_RDONLY : 0, "mode=1777") == 0) ||
           Skip(report, "private mount namespace with a tmpfs on /dev/shm");
}

// PrivateShm plus an overlay on /etc whose layers are on that /dev/shm.
inline bool PrivateEtc(std::ostream& report) {
    return PrivateShm(report) &&
           ((mkdir("/dev/shm/upper", 0755) == 0 && mkdir("/dev/shm/work", 0755) == 0 &&
             mount("overlay", "/etc", "overlay", 0,
                   "lowerdir=/etc,upperdir=/dev/shm/upper,workdir=/dev/shm/work") == 0) ||
            Skip(report, "overlay on /etc"));
}

// A network namespace of its own with a UDP socket bound to 127.0.0.1:514; -1 on failure.
inline int PrivateSyslogReceiver(std::ostream& report) {
    const int fd = unshare(CLONE_NEWNET) == 0 ? socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0) : -1;
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(514);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ready = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    ready = ready && ioctl(fd, SIOCSIFFLAGS, &request) == 0 &&
            bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    return ready ? fd : (Skip(report, "network namespace with 127.0.0.1:514"), -1);
}

// The next datagram within `milliseconds`, or "<nothing>".
inline std::string Receive(int socket, int milliseconds) {
    pollfd entry{socket, POLLIN, 0};
    char buffer[2048];
    const ssize_t got = poll(&entry, 1, milliseconds) == 1 ? recv(socket, buffer, 2048, 0) : -1;
    return got < 0 ? "<nothing>" : std::string(buffer, static_cast<size_t>(got));
}

// A temporary directory, removed with its contents at the end.
class TempDir {
public:
    TempDir() {
        std::string pattern = "/tmp/kvlog-XXXXXX";
        mPath = mkdtemp(&pattern[0]) != nullptr ? pattern : "/nonexistent";
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(mPath, ignored);
    }
    std::string operator/(const std::string& name) const { return mPath + "/" + name; }
    const std::string& Path() const { return mPath; }

private:
    std::string mPath;
};

inline void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

inline std::string ReadFile(const std::string& path) {
    std::ostringstream content;
    content << std::ifstream(path, std::ios::binary).rdbuf();
    return content.str();
}

inline std::vector<std::string> SplitLines(const std::string& text, const std::string& separator) {
    std::vector<std::string> lines;
    for (size_t start = 0, end; start < text.size(); start = end + separator.size()) {
        end = std::min(text.find(separator, start), text.size());
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

// Whether the POSIX extended regular expression matches the whole text.
inline bool Matches(const std::string& text, const std::string& pattern) {
    regex_t compiled;
    if (regcomp(&compiled, ("^(" + pattern + ")$").c_str(), REG_EXTENDED | REG_NOSUB) != 0) {
        return false;
    }
    const bool found = regexec(&compiled, text.c_str(), 0, nullptr, 0) == 0;
    regfree(&compiled);
    return found;
}

}  // namespace LoggingTest

#define ASSERT_CHILD_OK(child)                                                     \
    do {                                                                           \
        if ((child).report.rfind("skip: ", 0) == 0) {                              \
            GTEST_SKIP() << (child).report;                                        \
        }                                                                          \
        ASSERT_TRUE(WIFEXITED((child).status) && WEXITSTATUS((child).status) == 0) \
            << "wait status " << (child).status << ", report: " << (child).report; \
    } while (0)
