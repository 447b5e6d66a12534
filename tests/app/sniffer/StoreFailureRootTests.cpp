// Stores and recordings under real limits, run in a helper process of their own: a file system
// that fills up (a tiny tmpfs in a private mount namespace) and a memory cgroup limit. Needs
// root; skipped with the reason otherwise.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "SnifferTestSupport.h"
#include "ZrUtilsLib/Thread.h"

using ZrUtilsLib::Thread;
using namespace SnifferTest;

namespace {

const char* const kHelper = SNIFFER_TEST_HELPER;

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif
#else
constexpr bool kThreadSanitizer = false;
#endif

std::string ValueOf(const std::string& output, const std::string& key) {
    const size_t at = output.find(key + "=");
    if (at == std::string::npos) {
        return "";
    }
    const size_t start = at + key.size() + 1;
    const size_t end = output.find_first_of(" \n", start);
    return output.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

TEST(StoreFailureRootTest, FullFileSystemIsAFileErrorNamingTheFileAndTheReason) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to mount a tmpfs in a private mount namespace";
    }
    const TempDirectory temporary;
    const std::string& directory = temporary.GetPath();
    ASSERT_FALSE(directory.empty());
    // Four Buffers of 100 records of 1016 bytes (about 400 kB) into 256 kB.
    const CommandOutput run = RunCommand(
        "unshare -m --propagation private sh -c "
        "'mount -t tmpfs -o size=256k kvsniffer-tiny \"$0\" && exec \"$1\" store \"$0/full.pcap\" "
        "4 100' '" +
        directory + "' '" + kHelper + "'");
    ASSERT_EQ(run.status, 0) << run.output;

    EXPECT_EQ(ValueOf(run.output, "code"), "FILE_ERROR") << run.output;
    EXPECT_EQ(ValueOf(run.output, "free"), "4") << run.output;  // every Buffer moved on
    const long size = std::stol("0" + ValueOf(run.output, "size"));
    EXPECT_GT(size, 24);
    EXPECT_LE(size, 256 * 1024);
    EXPECT_NE(run.output.find("description=Cannot write the file " + directory + "/full.pcap"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("No space left on device"), std::string::npos) << run.output;
    // The tmpfs lived in the helper's own mount namespace only.
    EXPECT_FALSE(FileExists(directory + "/full.pcap"));
}

// A memory cgroup of the test's own, below the test's cgroup, with a limit.
class MemoryCgroup {
public:
    explicit MemoryCgroup(uint64_t limit) {
        std::string parent;
        std::string limitFile;
        if (!FindOwnCgroup(parent, limitFile)) {
            return;
        }
        mPath = parent + "/" + UniqueName("kvsniffer-memory-");
        if (mkdir(mPath.c_str(), 0755) != 0) {
            mError = "cannot create " + mPath + ": " + std::strerror(errno);
            mPath.clear();
            return;
        }
        if (!WriteFile(mPath + "/" + limitFile, std::to_string(limit))) {
            mError = "cannot set the limit in " + mPath;
            return;
        }
        // No swap either, where the kernel accounts it.
        WriteFile(mPath + "/memory.memsw.limit_in_bytes", std::to_string(limit));
        WriteFile(mPath + "/memory.swap.max", "0");
        mReady = true;
    }
    ~MemoryCgroup() {
        if (!mPath.empty()) {
            rmdir(mPath.c_str());
        }
    }

    bool IsReady() const { return mReady; }
    const std::string& GetError() const { return mError; }
    const std::string& GetPath() const { return mPath; }

    // OOM kills counted by the kernel for this cgroup.
    int OomKills() const {
        for (const char* name : {"/memory.events", "/memory.oom_control"}) {
            std::ifstream file(mPath + name);
            std::string key;
            long value;
            while (file >> key >> value) {
                if (key == "oom_kill") {
                    return static_cast<int>(value);
                }
            }
        }
        return 0;
    }

private:
    static bool WriteFile(const std::string& path, const std::string& text) {
        std::ofstream file(path);
        file << text;
        file.flush();
        return static_cast<bool>(file);
    }

    // The directory of this process's memory cgroup (v1 memory controller, or v2 with the
    // memory controller already delegated to children).
    bool FindOwnCgroup(std::string& directory, std::string& limitFile) {
        std::ifstream cgroups("/proc/self/cgroup");
        std::string line;
        std::string v1;
        std::string v2;
        while (std::getline(cgroups, line)) {
            const size_t first = line.find(':');
            const size_t second = line.find(':', first + 1);
            const std::string controllers = line.substr(first + 1, second - first - 1);
            if (("," + controllers + ",").find(",memory,") != std::string::npos) {
                v1 = line.substr(second + 1);
            } else if (line.compare(0, 3, "0::") == 0) {
                v2 = line.substr(3);
            }
        }
        std::ifstream mounts("/proc/self/mountinfo");
        std::string v1Mount;
        std::string v2Mount;
        while (std::getline(mounts, line)) {
            std::istringstream words(line);
            std::vector<std::string> fields;
            std::string word;
            while (words >> word) {
                fields.push_back(word);
            }
            for (size_t i = 0; i + 3 < fields.size(); ++i) {
                if (fields[i] != "-") {
                    continue;
                }
                if (fields[i + 1] == "cgroup2") {
                    v2Mount = fields[4];
                } else if (fields[i + 1] == "cgroup" &&
                           ("," + fields[i + 3] + ",").find(",memory,") != std::string::npos) {
                    v1Mount = fields[4];
                }
            }
        }
        if (!v1.empty() && !v1Mount.empty()) {
            directory = v1Mount + (v1 == "/" ? "" : v1);
            limitFile = "memory.limit_in_bytes";
            return true;
        }
        if (!v2.empty() && !v2Mount.empty()) {
            directory = v2Mount + (v2 == "/" ? "" : v2);
            std::ifstream delegated(directory + "/cgroup.subtree_control");
            std::string controllers;
            std::getline(delegated, controllers);
            if ((" " + controllers + " ").find(" memory ") == std::string::npos) {
                mError = "the memory controller is not delegated below " + directory;
                return false;
            }
            limitFile = "memory.max";
            return true;
        }
        mError = "no memory cgroup hierarchy is mounted";
        return false;
    }

    bool mReady = false;
    std::string mError;
    std::string mPath;
};

// The helper, started inside the cgroup (and in the calling thread's network namespace), with
// its standard output on a pipe.
class HelperProcess {
public:
    HelperProcess(const std::string& cgroup, const std::vector<std::string>& arguments) {
        int channel[2];
        if (pipe2(channel, O_CLOEXEC) != 0) {
            return;
        }
        // Everything the child needs is prepared before fork: it only makes system calls.
        const std::string procs = cgroup + "/cgroup.procs";
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(kHelper));
        for (const std::string& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        mPid = fork();
        if (mPid == 0) {
            const int procsFile = open(procs.c_str(), O_WRONLY);
            if (procsFile < 0 || write(procsFile, "0", 1) != 1) {
                _exit(125);
            }
            close(procsFile);
            dup2(channel[1], STDOUT_FILENO);
            execv(kHelper, argv.data());
            _exit(126);
        }
        close(channel[1]);
        mOutput = channel[0];
    }
    ~HelperProcess() {
        if (mPid > 0) {
            kill(mPid, SIGKILL);
            Wait();
        }
        if (mOutput >= 0) {
            close(mOutput);
        }
    }

    // Reads what the helper printed within `milliseconds`; false at end of output.
    bool Read(int milliseconds) {
        pollfd ready{mOutput, POLLIN, 0};
        if (poll(&ready, 1, milliseconds) <= 0) {
            return true;
        }
        char chunk[1024];
        const ssize_t count = read(mOutput, chunk, sizeof(chunk));
        if (count <= 0) {
            return false;
        }
        mText.append(chunk, static_cast<size_t>(count));
        return true;
    }
    bool WaitForText(const std::string& text, int seconds) {
        const uint64_t deadline = Thread::GetTickCount() + seconds * 1000ull;
        while (mText.find(text) == std::string::npos && Thread::GetTickCount() < deadline) {
            if (!Read(100)) {
                return mText.find(text) != std::string::npos;
            }
        }
        return mText.find(text) != std::string::npos;
    }
    // The wait status, after reading the rest of the output.
    int Wait() {
        while (mOutput >= 0 && Read(60000)) {
        }
        int status = 0;
        if (mPid > 0 && waitpid(mPid, &status, 0) == mPid) {
            mPid = -1;
            mStatus = status;
        }
        return mStatus;
    }
    const std::string& GetText() const { return mText; }

private:
    pid_t mPid = -1;
    int mOutput = -1;
    int mStatus = -1;
    std::string mText;
};

class MemoryLimitRootTest : public ::testing::Test {
protected:
    static constexpr uint64_t kLimit = 256 * MiB;

    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root to create a memory cgroup and a network namespace";
        }
        if (kThreadSanitizer) {
            GTEST_SKIP() << "under ThreadSanitizer every byte of a Buffer costs several bytes of "
                            "shadow memory, which no memory plan can account for";
        }
        mCgroup = std::make_unique<MemoryCgroup>(kLimit);
        if (!mCgroup->IsReady()) {
            GTEST_SKIP() << "no memory cgroup can be made here: " << mCgroup->GetError();
        }
    }

    std::unique_ptr<MemoryCgroup> mCgroup;
};

TEST_F(MemoryLimitRootTest, OpenRefusesAPlanLargerThanTheLimit) {
    HelperProcess large(mCgroup->GetPath(), {"open", "3", "400000000"});
    EXPECT_TRUE(WIFEXITED(large.Wait()));
    EXPECT_EQ(ValueOf(large.GetText(), "code"), "NOT_ENOUGH_MEMORY") << large.GetText();
    EXPECT_EQ(ValueOf(large.GetText(), "allocated"), "0");

    HelperProcess fitting(mCgroup->GetPath(), {"open", "3", "100000000"});
    EXPECT_TRUE(WIFEXITED(fitting.Wait()));
    EXPECT_EQ(ValueOf(fitting.GetText(), "code"), "OK") << fitting.GetText();
    EXPECT_EQ(ValueOf(fitting.GetText(), "allocated"), "15");
    EXPECT_EQ(mCgroup->OomKills(), 0);
}

// Without the check, Continuous mode would keep adding 10,000,000-byte Buffers that malloc
// grants, until the kernel kills the recorder and every packet is lost.
TEST_F(MemoryLimitRootTest, ContinuousRecordingEndsByItselfBeforeTheLimit) {
    TestNetwork network(9000);
    ASSERT_TRUE(network.IsReady()) << network.GetError();
    const TempDirectory directory;
    const std::string file = directory.GetPath() + "/limited.pcap";
    HelperProcess helper(mCgroup->GetPath(),
                         {"continuous", network.GetCaptureAdapter(), file, "120"});
    ASSERT_TRUE(helper.WaitForText("started", 30)) << helper.GetText();

    // Up to about 1 GB of 9000-byte frames, four times the limit.
    uint32_t sent = 0;
    while (sent < 120000 && helper.GetText().find("ended=") == std::string::npos) {
        ASSERT_TRUE(network.SendFrames(sent, 200, 9000)) << network.GetError();
        sent += 200;
        helper.Read(0);
    }
    const int status = helper.Wait();

    ASSERT_TRUE(WIFEXITED(status))
        << "the helper was killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0)
        << " after " << sent << " frames; output: " << helper.GetText();
    EXPECT_EQ(mCgroup->OomKills(), 0);
    EXPECT_EQ(ValueOf(helper.GetText(), "ended"), "1") << helper.GetText();
    const unsigned long allocated = std::stoul("0" + ValueOf(helper.GetText(), "allocated"));
    EXPECT_GT(allocated, 4u) << "the recording should have grown before memory ran out";
    EXPECT_LE(allocated * 10000000ull, kLimit);
    EXPECT_EQ(ValueOf(helper.GetText(), "code"), "OK") << helper.GetText();
    const PcapFile recorded = ReadPcapFile(file);
    EXPECT_TRUE(recorded.readable);
    EXPECT_FALSE(recorded.truncated);
    EXPECT_GT(recorded.records.size(), 4u * 1000);
}

}  // namespace
