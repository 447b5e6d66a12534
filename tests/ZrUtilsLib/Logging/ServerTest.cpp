// The running log server: its configuration string, its three outputs, and its rule files, read
// from temporary directories and once from "/etc/Halvex" in a private mount namespace.
#include <fcntl.h>
#include <semaphore.h>

#include <set>

#include "Support.h"
#include "ZrUtilsLib/LogSink.h"
#include "ZrUtilsLib/Logger.h"
#include "ZrUtilsLib/SuspendSignal.h"
#include "ZrUtilsLib/TinyLogConfig.h"
#include "ZrUtilsLib/TinyLogServer.h"

using namespace ZrUtilsLib;
using namespace LoggingTest;

#if defined(__SANITIZE_THREAD__)
// A child ends with _exit, which skips the sanitizer's exit-time verdict: stop at the first
// report instead, so that the child's exit status carries it.
extern "C" const char* __tsan_default_options() {
    return "halt_on_error=1";
}
#endif

namespace {

// "policy priority" of the server's thread (the kernel keeps 15 characters of its name).
std::string ServerThread() {
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        const pid_t tid = std::stoi(task.path().filename());
        sched_param parameters{};
        if (ReadFile(task.path() / "comm") == "TinyLogServerTh\n" &&
            sched_getparam(tid, &parameters) == 0) {
            return std::to_string(sched_getscheduler(tid)) + " " +
                   std::to_string(parameters.sched_priority);
        }
    }
    return "-1 -1";
}

using Query = std::pair<const char*, int>;

// The rule reader's messages as "level|message" lines, with the directory shown as "<dir>".
class ReaderMessages : public LogSink {
public:
    explicit ReaderMessages(const TempDir& dir) : mDir(dir.Path()) {}
    void OnLog(int level, const char*, unsigned int, const char*, const char* channel,
               const char* message) override {
        std::string text = message;
        for (size_t at; (at = text.find(mDir)) != std::string::npos;) {
            text.replace(at, mDir.size(), "<dir>");
        }
        if (std::string(channel) == "LogConfig") {
            mText << level << '|' << text << '\n';
        }
    }
    std::string Text() const { return mText.str(); }

private:
    std::string mDir;
    std::ostringstream mText;
};

void Lay(const TempDir& dir, const std::vector<std::pair<std::string, std::string>>& files) {
    for (const auto& file : files) {
        std::filesystem::create_directories(std::filesystem::path(dir / file.first).parent_path());
        WriteFile(dir / file.first, file.second);
    }
}

std::string CompileError(const char* pattern) {
    regex_t compiled;
    char text[512];
    regerror(regcomp(&compiled, pattern, REG_EXTENDED | REG_NOSUB), &compiled, text, sizeof(text));
    regfree(&compiled);
    return text;
}

}  // namespace

// Limit level, records, policy (1: FIFO, 0: time sharing) and priority of the thread, running.
// A rejected configuration leaves limit level 0 and neither a pool nor a thread.
TEST(ServerConfiguration, FieldsAndRejection) {
    TempDir logs;
    const std::pair<const char*, const char*> cases[] = {
        {",,stdout,,,6,,", "6 128 1 11 1"},  // a run of commas is one separator
        {"stdout,12", "3 128 1 11 1"},
        {"stdout,-1", "3 128 1 11 1"},
        {"stdout,x", "0 128 1 11 1"},  // no digits reads as 0
        {"stdout,8,-4", "8 128 1 11 1"},
        {"stdout,8,999999999999", "8 65536 1 11 1"},
        {"syslog,3,127.0.0.1,17,9", "3 9 1 11 1"},
        {"syslog,3,localhost", "3 128 1 11 1"},  // runs, sends nothing
        {"file,6,$(LOGDIR)/a.log,0,5", "6 5 1 11 1"},
        {"stdout,3,0,4294967295", "3 128 0 0 1"},
        {"syslog,3,127.0.0.1,0,0,50", "3 128 1 50 1"},
        {"file,3,$(LOGDIR)/p.log,0,0,61", "3 128 1 61 1"},
        {"stdout,3,0,100", "3 128 1 11 1"},  // out of range: refused
        {"stdout", "0 0 -1 -1 0"},
        {"console,3", "0 0 -1 -1 0"},
        {"syslog,3", "0 0 -1 -1 0"},
        {"syslog,3,1234567890.1234567890.1234567890.12", "0 0 -1 -1 0"},
        {"file,3", "0 0 -1 -1 0"},
        {",,,", "0 0 -1 -1 0"},
    };
    const Child child = RunInChild([&](std::ostream& report) {
        if (!PrivateShm(report)) {  // the file output opens a machine-wide semaphore
            return;
        }
        setenv("LOGDIR", logs.Path().c_str(), 1);
        for (const auto& c : cases) {
            TinyLogServer server(c.first);
            std::ostringstream seen;
            seen << server.GetLimitLevel() << ' ' << server.GetRecordCount() << ' '
                 << ServerThread() << ' ' << server.IsRunning();
            if (seen.str() != c.second) {
                report << c.first << ": " << seen.str() << ", not " << c.second << '\n';
            }
            if (!server.IsRunning()) {
                server.Log(0, "f", 1, "g", "c", "from a rejected server");
            }
        }
    });
    ASSERT_CHILD_OK(child);
    EXPECT_EQ(child.report, "");
    EXPECT_EQ(child.output.find("rejected"), std::string::npos) << child.output;
}

TEST(StdoutOutput, LinesUpToTheLimitLevelInLoggingOrder) {
    const Child child = RunInChild([](std::ostream& report) {
        setenv("ZR_TINY_LOGGER", "stdout,6", 1);
        Logger channel("ZrUtilsLib");
        report << channel.GetLogPriority() << ' '
               << Logger::sTinyLogServer.load()->GetRecordCount();
        for (PriorityLevel level : {PRIORITY_EMERGENCY, PRIORITY_INFO, PRIORITY_DEBUG}) {
            ZR_LOG(channel, level, "level %d", level);
        }
        channel.Log(PRIORITY_INFO, "src/a/Thread", 230, "StartThread", "Start Thread");
        channel.LogResult(0x1D, "src/a/Thread", 10, "Run", "fail %d", 2);
        channel.SetLogPriority(2);
        report << ' ' << channel.GetLogPriority() << ' '
               << channel.IsPriorityEnabled(PRIORITY_ERROR);
        ZR_LOG(channel, PRIORITY_ERROR, "hidden");
        ZR_LOG(channel, PRIORITY_CRITICAL, "shown");
        report << ' ' << Logger::sTinyLogServer.load()->WaitUntilIdle(10000);
    });
    ASSERT_CHILD_OK(child);
    EXPECT_EQ(child.report, "6 128 2 0 1");
    const std::string here = "\tZrUtilsLib->ServerTest.cpp:[0-9]+::operator\\(\\) - ";
    const std::vector<std::string> expected = {
        "EMER" + here + "level 0", "INFO" + here + "level 6",
        "INFO\tZrUtilsLib->Thread:230::StartThread - Start Thread",
        "ERR\tZrUtilsLib->/Thread:10::Run - fail 2",  // a result keeps the '/'
        "CRIT" + here + "shown"};
    const std::vector<std::string> lines = SplitLines(child.output, "\r\n");
    ASSERT_EQ(lines.size(), expected.size()) << child.output;
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(Matches(lines[i], "[0-9]+\t" + expected[i])) << lines[i];
    }
}

TEST(FileOutput, AppendsUnderA0626LockAndRotatesAtEvery51stWrite) {
    TempDir logs;
    const auto linesOf = [&](const char* name) {
        return SplitLines(ReadFile(logs / name), "\r\n");
    };
    const auto logUpTo = [](TinyLogServer& server, int from, int to) {
        for (int i = from; i <= to; ++i) {
            const std::string message = "message " + std::to_string(i) + " " + std::string(60, 'x');
            server.Log(6, "Thread", 230, "StartThread", "ZrUtilsLib", message.c_str());
        }
        return server.WaitUntilIdle(20000);
    };
    const Child child = RunInChild([&](std::ostream& report) {
        if (!PrivateShm(report) || chdir(logs.Path().c_str()) != 0) {
            return;
        }
        umask(0);
        setenv("LOGDIR", logs.Path().c_str(), 1);
        WriteFile(logs / "x.log", "earlier line\r\n");
        {
            TinyLogServer server("file,6,$(LOGDIR)/x.log,2000,200");
            struct stat lock;
            const bool locked = stat("/dev/shm/sem.Kova_SDK_Logger", &lock) == 0;
            report << std::oct << (locked ? lock.st_mode & 0777 : 0) << std::dec;
            // The size is checked on the 51st write after the last check, not before.
            const int steps[][2] = {{1, 50}, {51, 51}, {52, 52}, {53, 102}};
            for (const auto& step : steps) {
                report << ' ' << logUpTo(server, step[0], step[1]) << ':' << linesOf("x.log").size()
                       << '/' << linesOf("x.bak.log").size();
            }
        }
        {
            TinyLogServer server("file,6,big.log");  // default maximum: 1024000 bytes
            report << ' ' << logUpTo(server, 1, 120);
        }
        {
            TinyLogServer server("file,6,x.l,10,200");  // too short for a backup name
            report << ' ' << logUpTo(server, 1, 110);
        }
        // Without the lock (a read-only /dev/shm) records are still written.
        if (PrivateShm(report, true)) {
            TinyLogServer server("file,6,unlocked.log");
            report << ' ' << logUpTo(server, 1, 1);
        }
    });
    ASSERT_CHILD_OK(child);
    EXPECT_EQ(child.report, "626 1:51/0 1:0/52 1:1/52 1:0/51 1 1 1");
    const std::vector<std::string> backup = linesOf("x.bak.log");
    ASSERT_EQ(backup.size(), 51u);
    EXPECT_TRUE(Matches(backup.front(),
                        "[0-9]+\tINFO\tZrUtilsLib->Thread:230::StartThread - message 52 x+"))
        << backup.front();
    EXPECT_TRUE(Matches(backup.back(), "[0-9]+\tINFO\t.* - message 102 x+")) << backup.back();
    EXPECT_EQ(linesOf("big.log").size(), 120u);
    EXPECT_EQ(linesOf("x.l").size(), 110u);
    EXPECT_EQ(linesOf("unlocked.log").size(), 1u);
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(logs.Path())) {
        names.insert(entry.path().filename());
    }
    EXPECT_EQ(names, (std::set<std::string>{"big.log", "unlocked.log", "x.bak.log", "x.l"}));
}

// Another process's writer holds the machine-wide lock and never posts it, as if it had died
// inside its write: the write waits the lock out, with termination signals held back, and
// loggers never wait (a full pool drops the message).
TEST(FileOutput, HeldLockDelaysTheWriteButNotTheLoggers) {
    TempDir logs;
    const std::string path = logs / "held.log";
    const Child child = RunInChild([&](std::ostream& report) {
        if (!PrivateShm(report)) {
            return;
        }
        sem_t* lock = sem_open(TinyLogServerFile::kLockName, O_CREAT, 0626, 1);
        if (lock == SEM_FAILED || sem_wait(lock) != 0) {
            throw std::runtime_error("cannot hold the lock");
        }
        TinyLogServer server(("file,6," + path + ",0,2").c_str());
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
        for (int i = 0; i < 10000 && !std::filesystem::exists(path); ++i) {
            Thread::Sleep(1);
        }
        const uint64_t waited = Thread::GetTickCount() - start;
        report << " waited=" << (waited >= TinyLogServerFile::kLockWaitMilliseconds - 100);
        sem_post(lock);
        // A wait that timed out was not matched by a post: one post in all, one left.
        int value = -1;
        report << " idle=" << server.WaitUntilIdle(20000)
               << " lock=" << (sem_getvalue(lock, &value) == 0 ? value : -1);
    });
    ASSERT_CHILD_OK(child);
    EXPECT_EQ(child.report, "guarded=1 dropped=1 fast=1 waited=1 idle=1 lock=1");
    const std::vector<std::string> lines = SplitLines(ReadFile(path), "\r\n");
    ASSERT_EQ(lines.size(), 2u) << ReadFile(path);
    EXPECT_TRUE(Matches(lines[0], "[0-9]+\tINFO\tc->f:1::g - first"));
    EXPECT_TRUE(Matches(lines[1], "[0-9]+\tINFO\tc->f:2::g - second"));
}

// Datagrams to a real receiver on 127.0.0.1:514, in a network namespace of the child's own.
TEST(SyslogOutput, DatagramsOfTheDefaultAndOfGivenConfigurations) {
    const Child child = RunInChild([](std::ostream& report) {
        const int receiver = PrivateSyslogReceiver(report);
        if (receiver < 0) {
            return;
        }
        unsetenv("ZR_TINY_LOGGER");  // the default: errors to 127.0.0.1, facility 17
        Logger channel("KvTransportLayerLib");
        ZR_LOG(channel, PRIORITY_WARNING, "not sent");
        channel.LogResult(0x1D, "src/a/Thread", 10, "Run", "fail %d", 2);
        ZR_LOG(channel, PRIORITY_CRITICAL, "critical %s", "one");
        report << Receive(receiver, 10000) << '\n' << Receive(receiver, 10000) << '\n';
        {
            TinyLogServer server("syslog,6,127.0.0.1");  // facility 23
            server.Log(3, "Mutex", 5, "Wait", "ZrUtilsLib", "error");
            server.Log(6, "Mutex", 6, "Wait", "ZrUtilsLib", std::string(600, 'q').c_str());
            report << Receive(receiver, 10000) << '\n' << Receive(receiver, 10000) << '\n';
        }
        TinyLogServer unparsed("syslog,3,localhost");
        unparsed.Log(0, "f", 1, "g", "c", "lost");
        report << unparsed.WaitUntilIdle(10000) << Receive(receiver, 300);
    });
    ASSERT_CHILD_OK(child);
    char host[128] = {};
    gethostname(host, sizeof(host) - 1);
    const std::string head = std::string(" [^ ].* ") + host + " Kova-SDK : ";
    const std::vector<std::string> expected = {
        "<139>" + head + "KvTransportLayerLib->/Thread\\(10\\)\\[Run\\] - fail 2",
        "<138>" + head +
            "KvTransportLayerLib->ServerTest.cpp\\([0-9]+\\)\\[operator\\(\\)\\] - critical one",
        "<187>" + head + "ZrUtilsLib->Mutex\\(5\\)\\[Wait\\] - error",
        "<190>" + head + "ZrUtilsLib->Mutex\\(6\\)\\[Wait\\] - q+", "1<nothing>"};
    const std::vector<std::string> datagrams = SplitLines(child.report, "\n");
    ASSERT_EQ(datagrams.size(), expected.size()) << child.report;
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_TRUE(Matches(datagrams[i], expected[i])) << datagrams[i];
    }
    EXPECT_EQ(datagrams[3].size(), 511u);
}

// The server asks its rules first; the first rule that decides wins, and a min or max rule that
// stops the scan leaves the answer to the limit level, which SetLimitLevel moves for both.
TEST(RuleFiles, ExtraFilesInByteOrderThenLogCfgFirstDecisionWins) {
    TempDir dir;
    Lay(dir, {{"Log.cfg", "=8:KvUtilsLib\n>2:ZrUtilsLib\n=1:Zr\n"},
              {"Log.cfg.d/b.cfg", "=7:Kv\n"},
              {"Log.cfg.d/a.cfg", "=3:Kv\n"},
              {"Log.cfg.d/B.cfg", "=5:^Upper$\n"},
              {"Log.cfg.d/\xc3\xa9.cfg", "=5:^Accent$\n"},
              {"Log.cfg.d/rules.cfg.bak", "=8:.*\n"},  // not rule files
              {"Log.cfg.d/a.CFG", "=8:.*\n"},
              {"Log.cfg.d/x.cfg/inner.cfg", "=8:.*\n"}});
    const Query queries[] = {{"KvUtilsLib", 3}, {"KvUtilsLib", 4}, {"ZrUtilsLib", 2},
                             {"ZrUtilsLib", 3}, {"ZrUtilsLib", 5}, {"ZrThing", 4},
                             {"Other", 4},      {"Accent", 5}};
    const Child child = RunInChild([&](std::ostream& report) {
        setenv("ZR_TINY_LOGGER", "stdout,7", 1);  // the reader's debug messages are logged
        Logger bootstrap("Test");
        ReaderMessages messages(dir);
        TinyLogServer server("stdout,3");
        server.LoadConfig(dir.Path().c_str());
        for (int limit : {3, 5}) {
            server.SetLimitLevel(limit);
            report << "at " << limit << ':';
            for (const Query& query : queries) {
                report << ' ' << server.IsPriorityEnabled(query.first, query.second);
            }
            report << '\n';
        }
        for (const std::string& line : SplitLines(messages.Text(), "\n")) {
            report << (line.find("|Adding") == std::string::npos ? line + "\n" : "");  // in order
        }
    });
    ASSERT_CHILD_OK(child);
    EXPECT_EQ(child.report,
              "at 3: 1 0 1 1 0 0 0 1\n"
              "at 5: 1 0 1 0 1 0 1 1\n"
              "7|Reading extra logging config files from <dir>/Log.cfg.d\n"
              "7|Parsing extra config file: <dir>/Log.cfg.d/B.cfg\n"
              "7|Parsing extra config file: <dir>/Log.cfg.d/a.cfg\n"
              "7|Parsing extra config file: <dir>/Log.cfg.d/b.cfg\n"
              "7|Parsing extra config file: <dir>/Log.cfg.d/\xc3\xa9.cfg\n"
              "7|Parsing logging config file: <dir>/Log.cfg\n");
}

// Lines that do not parse are skipped; patterns that do not compile, or whose repetitions would
// make the C library copy them exponentially often, are refused with their line number.
TEST(RuleFiles, BadLinesAndPatternsAreSkippedAndReported) {
    TempDir dir;
    const std::string longPattern = std::string(100000, 'x') + "|^LongLine$";
    std::string nested = "a";
    for (int i = 0; i < 30; ++i) {
        nested = "(" + nested + ")+";
    }
    // Lines 1 to 8, 9 to 11, 12 to 15 and 16 to 18; line 7's pattern keeps its blank, and 0xA0
    // on line 10 is no white space in the "C" locale.
    std::string file = "# comment\n\n=9:Kv\n=7Kv\n =7:Kv\n=7:#Kv\n=7: KvUtilsLib\n=7:Kv(\n";
    file += "<6:ZrUtilsLib # thread messages\r\n=6:^Nbsp\xa0 \t\v\f\r\n=7:" + longPattern + "\n";
    file += "=7:a" + std::string(40, '+') + "\n=7:" + nested + "\n=7:((a{255}){255}){255}\n";
    file += "=7:^Kv(Utils|TransportLayer)Lib$\n=7:^[A-Z][a-z]+(Utils|Log)+[[:alpha:]]{2,8}$\n";
    file += "=7:[]a+]+x{3}\n=2!Zr";  // no line end
    Lay(dir, {{"Log.cfg", file}});
    const Query queries[] = {{"KvUtilsLib", 7}, {"ZrUtilsLib", 6}, {"ZrUtilsLib", 7},
                             {"ZrUtilsLib", 3}, {"LongLine", 7},   {"AbLogXyz", 7},
                             {"]xxx", 7},       {"Other", 2},      {"Other", 3}};
    const Child child = RunInChild([&](std::ostream& report) {
        setenv("ZR_TINY_LOGGER", "stdout,7", 1);
        Logger bootstrap("Test");
        ReaderMessages messages(dir);
        TinyLogConfig rules(dir.Path().c_str(), 3);
        rules.ReadConfig();
        std::string missing = dir / "missing.cfg";
        rules.ParseConfig(&missing[0]);
        report << rules.GetRuleCount() << ':';
        for (const Query& query : queries) {
            report << ' ' << rules.Check(query.first, query.second);
        }
        report << '\n' << messages.Text();
    });
    ASSERT_CHILD_OK(child);
    const std::string tooComplex = ": Expression too complex (too many repetitions)";
    const std::vector<std::string> expected = {
        "8: 0 0 1 2 0 0 0 0 1",
        "7|No extra log folder found at <dir>/Log.cfg.d",
        "7|Parsing logging config file: <dir>/Log.cfg",
        "7|Adding log filter level 7 with rule \" KvUtilsLib\"",
        "3|Logging regex compile error at line 8: " + CompileError("Kv("),
        "7|Adding log min level 6 with rule \"ZrUtilsLib\"",
        "7|Adding log filter level 6 with rule \"^Nbsp\xa0\"",
        "7|" + ("Adding log filter level 7 with rule \"" + longPattern).substr(0, 511),
        "3|Logging regex compile error at line 12" + tooComplex,
        "3|Logging regex compile error at line 13" + tooComplex,
        "3|Logging regex compile error at line 14" + tooComplex,
        "7|Adding log filter level 7 with rule \"^Kv(Utils|TransportLayer)Lib$\"",
        "7|Adding log filter level 7 with rule \"^[A-Z][a-z]+(Utils|Log)+[[:alpha:]]{2,8}$\"",
        "7|Adding log filter level 7 with rule \"[]a+]+x{3}\"",
        "7|Adding log filter level 2 with rule (not)\"Zr\"",
        "4|Unable to open log config file <dir>/missing.cfg"};
    EXPECT_EQ(SplitLines(child.report, "\n"), expected);
}

TEST(RuleFiles, ProcessServerReadsEtcHalvexAndItsRulesGovernTheReaderToo) {
    const bool hostHadHalvex = std::filesystem::exists("/etc/Halvex");
    const Child child = RunInChild([](std::ostream& report) {
        if (!PrivateEtc(report)) {
            return;
        }
        std::filesystem::create_directories("/etc/Halvex/Log.cfg.d");
        WriteFile("/etc/Halvex/Log.cfg.d/a.cfg", "=6:ZrUtilsLib\n");
        // The reader's own debug messages pass from the first rule of Log.cfg on.
        WriteFile("/etc/Halvex/Log.cfg", "=7:LogConfig\n=7:KvUtilsLib\n");
        setenv("ZR_TINY_LOGGER", "stdout,3", 1);
        Logger kv("KvUtilsLib");
        Logger zr("ZrUtilsLib");
        report << kv.IsPriorityEnabled(PRIORITY_DEBUG) << zr.IsPriorityEnabled(PRIORITY_INFO)
               << zr.IsPriorityEnabled(PRIORITY_DEBUG);
        ZR_LOG(kv, PRIORITY_DEBUG, "debug from the inventory");
        ZR_LOG(zr, PRIORITY_DEBUG, "debug from the threads");
        Logger::sTinyLogServer.load()->WaitUntilIdle(10000);
    });
    ASSERT_CHILD_OK(child);
    EXPECT_EQ(std::filesystem::exists("/etc/Halvex"), hostHadHalvex);
    EXPECT_EQ(child.report, "110");
    const std::vector<std::string> lines = SplitLines(child.output, "\r\n");
    ASSERT_EQ(lines.size(), 2u) << child.output;
    EXPECT_TRUE(Matches(lines[0],
                        "[0-9]+\tDBG\tLogConfig->.* - Adding log filter level 7 with "
                        "rule \"KvUtilsLib\""))
        << lines[0];
    EXPECT_TRUE(Matches(lines[1], "[0-9]+\tDBG\tKvUtilsLib->.* - debug from the inventory"));
}

// Rules are appended without a lock while other threads ask the server, which publishes its
// rule set before reading it, and log: an answer once changed by a rule stays changed, and every
// record taken is written whole.
TEST(Concurrency, RulesAppendedWhileOtherThreadsCheckAndLog) {
    TempDir dir;
    std::vector<std::pair<std::string, std::string>> files = {
        {"Log.cfg", "=0:^Other$\n"}, {"Log.cfg.d/000.cfg", "=7:^Target$\n"}};
    for (int i = 1; i < 150; ++i) {
        char name[32];
        std::snprintf(name, sizeof(name), "Log.cfg.d/%03d.cfg", i);
        files.push_back({name, "=5:^Filler" + std::to_string(i) + "$\n<6:^Nothing$\n"});
    }
    Lay(dir, files);
    const Child child = RunInChild([&](std::ostream& report) {
        setenv("ZR_TINY_LOGGER", "stdout,3", 1);
        TinyLogServer server("stdout,3,4096");
        std::atomic<bool> done{false};
        std::atomic<int> started{0}, backwards{0};
        std::atomic<long> logged{0};
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
        server.LoadConfig(dir.Path().c_str());
        done.store(true);
        first.join();
        second.join();
        report << "backwards=" << backwards << " target=" << server.IsPriorityEnabled("Target", 7)
               << " other=" << server.IsPriorityEnabled("Other", 1)
               << " idle=" << server.WaitUntilIdle(30000)
               << " written=" << logged - static_cast<long>(server.GetDroppedCount());
    });
    ASSERT_CHILD_OK(child);
    const std::vector<std::string> lines = SplitLines(child.output, "\r\n");
    EXPECT_EQ(child.report,
              "backwards=0 target=1 other=0 idle=1 written=" + std::to_string(lines.size()));
    for (const std::string& line : lines) {
        ASSERT_TRUE(Matches(line, "[0-9]+\tDBG\tTarget->f:1::g - x")) << line;
    }
}
