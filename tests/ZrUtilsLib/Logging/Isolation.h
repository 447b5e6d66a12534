#pragma once

#include <string>
#include <vector>

namespace LoggingTest {

// Helpers for child processes: each returns false with the reason in `error` when the
// environment cannot be set up (the test then counts as skipped).

// A private copy of the mount table, so that nothing mounted later reaches the host.
bool EnterPrivateMounts(std::string* error);
// A fresh tmpfs on /dev/shm: the named semaphore "Kova_SDK_Logger" of this process is its own.
// `readOnly` makes the creation of named semaphores fail.
bool MountPrivateShm(bool readOnly, std::string* error);
// An overlay on /etc in which /etc/Halvex can be created; its layers are on a private
// /dev/shm, which this mounts too.
bool MountPrivateEtc(std::string* error);
// A network namespace of its own with the loopback interface up.
bool EnterPrivateNetwork(std::string* error);

// A temporary directory removed with everything in it when the object ends.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return mPath; }
    std::string operator/(const std::string& name) const { return mPath + "/" + name; }

private:
    std::string mPath;
};

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
std::vector<std::string> SplitLines(const std::string& text, const std::string& separator);

// A UDP socket bound to 127.0.0.1:514, the syslog receiver.
class SyslogReceiver {
public:
    SyslogReceiver();
    ~SyslogReceiver();
    SyslogReceiver(const SyslogReceiver&) = delete;
    SyslogReceiver& operator=(const SyslogReceiver&) = delete;

    bool IsBound() const { return mBound; }
    const std::string& Error() const { return mError; }
    // The next datagram, or false when none arrives within the time.
    bool Receive(std::string* datagram, unsigned int milliseconds);

private:
    int mSocket;
    bool mBound;
    std::string mError;
};

// The scheduling policy and priority of the thread with this name in the calling process;
// false when no thread has that name.
bool FindThread(const std::string& name, int* policy, int* priority);

}  // namespace LoggingTest
