// The log server, once per process: each test runs it in a forked child with a private /dev/shm.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <semaphore.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ZrUtilsLib/Logger.h"
#include "ZrUtilsLib/SuspendSignal.h"
#include "ZrUtilsLib/TinyLogConfig.h"
#include "ZrUtilsLib/TinyLogServer.h"

using namespace ZrUtilsLib;

#if defined(__SANITIZE_THREAD__)
// A child's _exit skips the exit-time verdict: its exit status carries the first report.
extern "C" const char* __tsan_default_options() {
    return "halt_on_error=1";
}
#endif

namespace {

struct Child {
    int status = -1;  // as waitpid gives it
    std::string output, report;
};

bool Skip(std::ostream& report, const char* what) {
    report << "skip: " << what << ": " << std::strerror(errno);
    return false;
}

// Runs `body` in a forked child with a fresh tmpfs on /dev/shm and its standard output captured.
Child RunInChild(const std::function<void(std::ostream& report)>& body) {
    const int fds[] = {memfd_create("output", 0), memfd_create("report", 0)};
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(60);
        dup2(fds[0], STDOUT_FILENO);
        std::ostringstream report;
        if ((unshare(CLONE_NEWNS) == 0 &&
             mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
             mount("tmpfs", "/dev/shm", "tmpfs", 0, "mode=1777") == 0) ||
            Skip(report, "private mount namespace with a tmpfs on /dev/shm")) {
            body(report);
        }
        std::fflush(stdout);
        const std::string text = report.str();
        _exit(write(fds[1], text.data(), text.size()) == ssize_t(text.size()) ? 0 : 4);
    }
    Child child;
    waitpid(pid, &child.status, 0);
    for (std::string* text : {&child.output, &child.report}) {
        const int fd = fds[text == &child.report ? 1 : 0];
        text->resize(static_cast<size_t>(lseek(fd, 0, SEEK_END)));
        text->resize(static_cast<size_t>(std::max(pread(fd, &(*text)[0], text->size(), 0), 0L)));
        close(fd);
    }
    return child;
}

#define ASSERT_CHILD_OK(child)                                                     \
    do {                                                                           \
        if ((child).report.rfind("skip: ", 0) == 0) {                              \
            GTEST_SKIP() << (child).report;                                        \
        }                                                                          \
        ASSERT_TRUE(WIFEXITED((child).status) && WEXITSTATUS((child).status) == 0) \
            << "wait status " << (child).status << ", report: " << (child).report; \
    } while (0)

std::vector<std::string> SplitLines(const std::string& text, const std::string& separator) {
    std::vector<std::string> lines;
    for (size_t start = 0, end; start < text.size(); start = end + separator.size()) {
        end = std::min(text.find(separator, start), text.size());
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

std::vector<std::string> LinesOf(const std::string& path) {
    std::ostringstream content;
    content << std::ifstream(path, std::ios::binary).rdbuf();
    return SplitLines(content.str(), "\r\n");
}

// As many lines as patterns, each matching its own.
void ExpectLines(const std::vector<std::string>& lines, const std::vector<std::string>& patterns) {
    ASSERT_EQ(lines.size(), patterns.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lines[i], std::regex(patterns[i]))) << lines[i];
    }
}

// Logs records `from` to `to`, of about 120 bytes each, and waits until they are written.
bool LogRecords(TinyLogServer& server, int from, int to) {
    for (int i = from; i <= to; ++i) {
        const std::string text = "message " + std::to_string(i) + std::string(60, 'x');
        server.Log(6, "Thread", 230, "StartThread", "ZrUtilsLib", text.c_str());
    }
    return server.WaitUntilIdle(20000);
}

}  // namespace

// A rejected configuration leaves limit level 0, neither a pool nor a thread, and writes nothing.
// Every channel shares the first one's server; a result's text is its argument, not a format.
TEST(StdoutOutput, ConfigurationsThenLinesUpToTheLimitLevelInLoggingOrder) {
    // "configuration|limit level, records, running" rows.
    const std::vector<std::string> cases = SplitLines(
        ",,stdout,,,6,,|6 128 1\nstdout,12|3 128 1\nstdout,-1|3 128 1\nstdout,8,-4|8 128 1\n"
        "stdout,8,999999999999|8 65536 1\nsyslog,3,127.0.0.1,17,9|3 9 1\n"
        "syslog,3,localhost|3 128 1\nfile,6,$(HOME)/a.log,0,5|6 5 1\nstdout|0 0 0\n"
        "console,3|0 0 0\nsyslog,3|0 0 0\nfile,3|0 0 0\n,,,|0 0 0\n"
        "syslog,3,1234567890.1234567890.1234567890.12|0 0 0",
        "\n");
    const Child child = RunInChild([&](std::ostream& report) {
        setenv("HOME", "/dev/shm", 1);
        for (const std::string& c : cases) {
            TinyLogServer server(c.substr(0, c.find('|')).c_str());
            const std::string seen = std::to_string(server.GetLimitLevel()) + ' ' +
                                     std::to_string(server.GetRecordCount()) + ' ' +
                                     std::to_string(server.IsRunning());
            report << (seen != c.substr(c.find('|') + 1) ? c + ": " + seen + '\n' : "");
            if (!server.IsRunning()) {
                server.Log(0, "f", 1, "g", "c", "from a rejected server");
            }
        }
        setenv("ZR_TINY_LOGGER", "stdout,6", 1);
        Logger channel("ZrUtilsLib");
        const TinyLogServer* const shared = Logger::sTinyLogServer.load();
        report << channel.GetLogPriority() << ' ' << shared->GetRecordCount() << ' '
               << (Logger("Other").sTinyLogServer.load() == shared);
        for (PriorityLevel level : {PRIORITY_EMERGENCY, PRIORITY_INFO, PRIORITY_DEBUG}) {
            ZR_LOG(channel, level, "level %d", level);
        }
        const Result result = channel.LogResult(0x1D, "src/a/Thread", 10, "Run", "%s", "full %d");
        report << ' ' << result.GetDescription() << ' '
               << Logger::sTinyLogServer.load()->WaitUntilIdle(10000);
    });
    ASSERT_CHILD_OK(child);
    EXPECT_EQ(child.report, "6 128 1 full %d 1");
    const std::string here = "\tZrUtilsLib->ServerTest.cpp:[0-9]+::operator\\(\\) - ";
    ExpectLines(SplitLines(child.output, "\r\n"),
                {"[0-9]+\tEMER" + here + "level 0", "[0-9]+\tINFO" + here + "level 6",
                 "[0-9]+\tERR\tZrUtilsLib->/Thread:10::Run - full %d"});  // a result keeps the '/'
}

// Size checked every 51st write; no lock, no loss. A name without a trailing ".log" is kept whole
// in its backup's name: the file that cutting its last four characters would name stays untouched.
TEST(FileOutput, AppendsUnderA0626LockAndRotatesAtEvery51stWrite) {
    const Child child = RunInChild([](std::ostream& report) {
        std::filesystem::create_directory("/dev/shm/logs");
        std::filesystem::current_path("/dev/shm/logs");
        umask(0);
        setenv("HOME", "/dev/shm", 1);
        std::ofstream("x.log") << "earlier line\r\n";
        TinyLogServer server("file,6,$(HOME)/logs/x.log,2000,200");
        const auto lock = std::filesystem::status("/dev/shm/sem.Kova_SDK_Logger").permissions();
        report << std::oct << static_cast<int>(lock) << std::dec;
        const int steps[][2] = {{1, 50}, {51, 51}, {52, 102}};
        for (const auto& step : steps) {
            report << ' ' << LogRecords(server, step[0], step[1]) << ':' << LinesOf("x.log").size()
                   << '/' << LinesOf("x.bak.log").size();
        }
        const std::vector<std::string> backup = LinesOf("x.bak.log");
        report << ' ' << (backup.size() == 51 ? backup.front() + '\n' + backup.back() : "") << '\n';
        TinyLogServer big("file,6,big.log");
        sem_unlink(TinyLogServerFile::kLockName);
        mkdir("/dev/shm/sem.Kova_SDK_Logger", 0755);  // no lock for the next one
        TinyLogServer unlocked("file,6,unlocked.log");
        report << LogRecords(big, 1, 120) << LogRecords(unlocked, 1, 1) << ' '
               << LinesOf("big.log").size() << ' ' << LinesOf("unlocked.log").size() << ' '
               << std::distance(std::filesystem::directory_iterator("."), {}) << ' ';  // no others
        std::ofstream("../logs.bak.log") << "decoy\r\n";
        TinyLogServer txt("file,6,../logs.txt,1000,200");  // rotated at the 51st of 52 records
        report << LogRecords(txt, 1, 52) << ':' << LinesOf("../logs.txt").size() << '/'
               << LinesOf("../logs.txt.bak.log").size() << ' ' << LinesOf("../logs.bak.log").size();
    });
    ASSERT_CHILD_OK(child);
    ExpectLines(SplitLines(child.report, "\n"),
                {"626 1:51/0 1:0/52 1:0/51 [0-9]+\tINFO\tZrUtilsLib->Thread:230::StartThread - "
                 "message 52x+",
                 "[0-9]+\tINFO\t.* - message 102x+", "11 120 1 3 1:1/51 1"});
}

// A writer that died holding the machine-wide lock: the write waits it out with termination
// signals held back, and loggers never wait (a full pool drops the message).
TEST(FileOutput, HeldLockDelaysTheWriteButNotTheLoggers) {
    const Child child = RunInChild([](std::ostream& report) {
        sem_t* lock = sem_open(TinyLogServerFile::kLockName, O_CREAT, 0626, 1);
        if (lock == SEM_FAILED || sem_wait(lock) != 0) {
            throw std::runtime_error("cannot hold the lock");
        }
        TinyLogServer server("file,6,/dev/shm/held.log,0,2");
        const uint64_t start = Thread::GetTickCount();
        server.Log(6, "f", 1, "g", "c", "first");
        bool guarded = false;  // the server's thread is inside its write
        for (int i = 0; i < 10000 && !guarded; ++i) {
            struct sigaction current;
            sigaction(SIGTERM, nullptr, &current);
            guarded = current.sa_handler == &SuspendSignal::SignalHandler;
            Thread::Sleep(guarded ? 0 : 1);
        }
        const uint64_t logging = Thread::GetTickCount();
        server.Log(6, "f", 2, "g", "c", "second");
        server.Log(6, "f", 3, "g", "c", "third");  // both records are taken
        report << "guarded=" << guarded << " dropped=" << server.GetDroppedCount()
               << " fast=" << (Thread::GetTickCount() - logging < 1000);
        for (int i = 0; i < 10000 && access("/dev/shm/held.log", F_OK) != 0; ++i) {
            Thread::Sleep(1);
        }
        const uint64_t waited = Thread::GetTickCount() - start;
        report << " waited=" << (waited >= TinyLogServerFile::kLockWaitMilliseconds - 100);
        sem_post(lock);
        // A wait that timed out was not matched by a post: one post in all, one left.
        int value = -1;
        report << " idle=" << server.WaitUntilIdle(20000)
               << " lock=" << (sem_getvalue(lock, &value) == 0 ? value : -1);
        report << '\n' << std::ifstream("/dev/shm/held.log").rdbuf();
    });
    ASSERT_CHILD_OK(child);
    ExpectLines(SplitLines(child.report, "\n"),
                {"guarded=1 dropped=1 fast=1 waited=1 idle=1 lock=1",
                 "[0-9]+\tINFO\tc->f:1::g - first\r", "[0-9]+\tINFO\tc->f:2::g - second\r"});
}

// Datagrams to a real receiver on 127.0.0.1:514, in a network namespace of the child's own.
TEST(SyslogOutput, DatagramsOfTheDefaultAndOfGivenConfigurations) {
    const Child child = RunInChild([](std::ostream& report) {
        ifreq lo{};
        std::strcpy(lo.ifr_name, "lo");
        lo.ifr_flags = IFF_UP;
        sockaddr_in address{AF_INET, htons(514), {htonl(INADDR_LOOPBACK)}, {}};
        const int receiver = unshare(CLONE_NEWNET) == 0 ? socket(AF_INET, SOCK_DGRAM, 0) : -1;
        if ((receiver < 0 || ioctl(receiver, SIOCSIFFLAGS, &lo) != 0 ||
             bind(receiver, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) &&
            !Skip(report, "network namespace with 127.0.0.1:514")) {
            return;
        }
        const auto receive = [&] {  // the next datagram, or "<nothing>" after 10 s
            pollfd entry{receiver, POLLIN, 0};
            char buffer[2048];
            const ssize_t got = poll(&entry, 1, 10000) == 1 ? recv(receiver, buffer, 2048, 0) : -1;
            report << (got < 0 ? "<nothing>" : std::string(buffer, size_t(got))) << '\n';
        };
        unsetenv("ZR_TINY_LOGGER");  // the default: errors to 127.0.0.1, facility 17
        Logger channel("KvTransportLayerLib");
        ZR_LOG(channel, PRIORITY_WARNING, "not sent");
        channel.LogResult(0x1D, "src/a/Thread", 10, "Run", "fail %d", 2);
        receive();
        TinyLogServer server("syslog,6,127.0.0.1");  // facility 23
        server.Log(3, "Mutex", 5, "Wait", "ZrUtilsLib", "error");
        server.Log(6, "Mutex", 6, "Wait", "ZrUtilsLib", std::string(600, 'q').c_str());
        receive();
        receive();
    });
    ASSERT_CHILD_OK(child);
    char host[128] = {};
    gethostname(host, sizeof(host) - 1);
    const std::string head = std::string(" [^ ].* ") + host + " Kova-SDK : ";
    const std::vector<std::string> datagrams = SplitLines(child.report, "\n");
    ExpectLines(datagrams,
                {"<139>" + head + "KvTransportLayerLib->/Thread\\(10\\)\\[Run\\] - fail 2",
                 "<187>" + head + "ZrUtilsLib->Mutex\\(5\\)\\[Wait\\] - error",
                 "<190>" + head + "ZrUtilsLib->Mutex\\(6\\)\\[Wait\\] - q+"});
    EXPECT_EQ(datagrams.back().size(), 511u);
}

// The process server reads /etc/Halvex/Log.cfg: the first rule that decides wins, a max rule that
// stops leaves the answer to the limit level; bad lines are skipped; patterns that do not compile
// or whose repetitions the C library would copy or close over exponentially often are refused.
TEST(RuleFiles, EtcHalvexWithBadLinesAndPatterns) {
    const std::string longPattern = std::string(100000, 'x') + "|^LongLine$";
    const std::string nested = "((((((((((((a)+)+)+)+)+)+)+)+)+)+)+)+";
    // Line 9's pattern keeps its blank; 0xA0 on line 12 is no white space in the "C" locale.
    std::string file = "=4:LogConfig\n>2:^Qr$\n# comment\n\n=9:Kv\n=7Kv\n =7:Kv\n=7:#Kv\n";
    file += "=7: KvUtilsLib\n=7:Kv(\n<6:ZrUtilsLib # threads\r\n=6:^Nbsp\xa0 \t\v\f\r\n";
    file += "=7:" + longPattern + "\n=7:a" + std::string(40, '+') + "\n=7:" + nested + "\n";
    file += "=7:((a{255}){255}){255}\n=7:$g*g*++++++++\n=7:$(((((g*)+)+)+)+)+\n";
    file += "=7:^Kv(Utils|TransportLayer)Lib$\n";
    file += "=7:^[A-Z][a-z]+(Utils|Log)+[[:alpha:]]{2,8}$\n=7:[]a+]+x{3}\n=2!Zr";  // no line end
    const std::pair<const char*, int> queries[] = {
        {"KvUtilsLib", 7}, {"KvUtilsLib0", 7}, {"KvOther", 7},  {"Nbsp", 6},     {"Nbsp\xa0", 6},
        {"ZrUtilsLib", 6}, {"ZrUtilsLib", 7},  {"LongLine", 7}, {"AbLogXyz", 7}, {"]xxx", 7},
        {"Other", 2},      {"Other", 3},       {"Qr", 3},       {"Qr", 5}};
    const bool hostHadHalvex = std::filesystem::exists("/etc/Halvex");
    const Child child = RunInChild([&](std::ostream& report) {
        if ((mkdir("/dev/shm/upper", 0755) != 0 || mkdir("/dev/shm/work", 0755) != 0 ||
             mount("overlay", "/etc", "overlay", 0,
                   "lowerdir=/etc,upperdir=/dev/shm/upper,workdir=/dev/shm/work") != 0) &&
            !Skip(report, "overlay on /etc")) {
            return;
        }
        std::filesystem::create_directory("/etc/Halvex");
        std::ofstream("/etc/Halvex/Log.cfg", std::ios::binary) << file;
        setenv("ZR_TINY_LOGGER", "stdout,3", 1);
        Logger kv("KvUtilsLib"), zr("ZrUtilsLib");
        for (int limit : {3, 5}) {  // which also moves the rules' own default level
            kv.SetLogPriority(limit);
            for (const auto& [channel, level] : queries) {
                report << Logger::sTinyLogServer.load()->IsPriorityEnabled(channel, level);
            }
            report << ' ';
        }
        std::string missing = "/etc/Halvex/missing.cfg";
        TinyLogConfig("/etc/Halvex", 3).ParseConfig(&missing[0]);  // a warning, shown by line 1
        ZR_LOG(kv, PRIORITY_DEBUG, "debug from the inventory");
        ZR_LOG(zr, PRIORITY_DEBUG, "debug from the threads");
        report << Logger::sTinyLogServer.load()->WaitUntilIdle(10000);
    });
    ASSERT_CHILD_OK(child);
    EXPECT_EQ(std::filesystem::exists("/etc/Halvex"), hostHadHalvex);
    EXPECT_EQ(child.report, "10001101111010 10001101111001 1");
    std::vector<std::string> messages;
    for (const std::string& line : SplitLines(child.output, "\r\n")) {
        messages.push_back(line.substr(line.find(" - ") + 3));
    }
    const std::string error = "Logging regex compile error at line ",
                      tooComplex = ": Expression too complex (too many repetitions)";
    EXPECT_EQ(
        messages,
        (std::vector<std::string>{
            error + "10: Unmatched ( or \\(", error + "14" + tooComplex, error + "15" + tooComplex,
            error + "16" + tooComplex, error + "17" + tooComplex, error + "18" + tooComplex,
            "Unable to open log config file /etc/Halvex/missing.cfg", "debug from the inventory"}));
}

// Rules appended while two threads ask and log: answers never go back; every record is whole.
TEST(Concurrency, RulesAppendedWhileOtherThreadsCheckAndLog) {
    const Child child = RunInChild([](std::ostream& report) {
        std::filesystem::create_directory("/dev/shm/Log.cfg.d");
        std::ofstream("/dev/shm/Log.cfg") << "=0:^Other$\n";
        std::ofstream("/dev/shm/Log.cfg.d/000.cfg") << "=7:^Target$\n";
        for (int i = 1; i < 150; ++i) {  // a long list to append to
            std::ofstream("/dev/shm/Log.cfg.d/" + std::to_string(1000 + i) + ".cfg")
                << "=5:^Filler" << i << "$\n<6:^Nothing$\n";
        }
        setenv("ZR_TINY_LOGGER", "stdout,3", 1);
        TinyLogServer server("stdout,3,4096");
        std::atomic<bool> done{false};
        std::atomic<long> started{0}, backwards{0}, logged{0};
        auto checker = [&] {
            bool target = false, other = true;
            ++started;
            for (long i = 0; !done.load() && i < 50000000; ++i) {
                const bool nowTarget = server.IsPriorityEnabled("Target", 7);
                const bool nowOther = server.IsPriorityEnabled("Other", 1);
                backwards += (target && !nowTarget) || (!other && nowOther) ? 1 : 0;
                target = nowTarget, other = nowOther;
                if (i % 16 == 0) {
                    server.Log(7, "f", 1, "g", "Target", "x");
                    ++logged;
                }
            }
        };
        std::thread first(checker), second(checker);
        while (started.load() < 2) {
            std::this_thread::yield();
        }
        server.LoadConfig("/dev/shm");
        done.store(true);
        first.join();
        second.join();
        report << "backwards=" << backwards << " target=" << server.IsPriorityEnabled("Target", 7)
               << " other=" << server.IsPriorityEnabled("Other", 1)
               << " idle=" << server.WaitUntilIdle(30000) << ' '
               << logged - long(server.GetDroppedCount());
    });
    ASSERT_CHILD_OK(child);
    const std::vector<std::string> lines = SplitLines(child.output, "\r\n");
    EXPECT_EQ(child.report, "backwards=0 target=1 other=0 idle=1 " + std::to_string(lines.size()));
    const std::regex written("[0-9]+\tDBG\tTarget->f:1::g - x");
    for (const std::string& line : lines) {
        ASSERT_TRUE(std::regex_match(line, written)) << line;
    }
}
