// Cost of logging as the calling thread sees it: a disabled call (no rules, ten rules) and an
// enabled call to the standard-output server. Allocations per call are counted as well: a
// disabled call must allocate nothing.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <benchmark/benchmark.h>

#include "ZrUtilsLib/Logger.h"
#include "ZrUtilsLib/TinyLogServer.h"

using namespace ZrUtilsLib;

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Counts the C allocations of the process (operator new goes through malloc as well).
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
static std::atomic<long long> gAllocations{0};
extern "C" void* malloc(size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
extern "C" void* realloc(void* pointer, size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(pointer, size);
}
static long long Allocations() {
    return gAllocations.load(std::memory_order_relaxed);
}
#else
static long long Allocations() {
    return 0;
}
#endif

namespace {

constexpr const char* kServerConfiguration = "stdout,3,65536";

// Ten rules of every kind, none of which applies to the benchmark's channel, so that a
// disabled call runs all ten matches before the limit level decides.
constexpr const char* kTenRules =
    "=7:^ZrUtilsLib$\n"
    "<6:KvUtilsLib\n"
    ">2:^Recorder\n"
    "=5:LogConfig\n"
    "<7:Sniffer|Writer\n"
    "=6:^Filter[0-9]+$\n"
    ">1:Inventory\n"
    "=4:Gateway.*Parser\n"
    "<5:^Buffer$\n"
    "=7:Statistic\n";

// The servers of the benchmarks. The process's own server is made by the first channel; the
// others are made directly and put in its place while their benchmark runs.
struct Servers {
    Servers()
        : directory(std::filesystem::temp_directory_path() /
                    ("kvlog-bench-" + std::to_string(getpid()))) {
        setenv("ZR_TINY_LOGGER", kServerConfiguration, 1);
        channel = new Logger("KvTransportLayerLib");
        std::filesystem::create_directories(directory / "none");
        std::filesystem::create_directories(directory / "ten");
        std::ofstream(directory / "ten" / "Log.cfg") << kTenRules;
        withoutRules = new TinyLogServer(kServerConfiguration);
        withoutRules->LoadConfig((directory / "none").c_str());
        withTenRules = new TinyLogServer(kServerConfiguration);
        withTenRules->LoadConfig((directory / "ten").c_str());
    }
    ~Servers() {
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }

    std::filesystem::path directory;
    Logger* channel;
    // Live until the process ends, like the process's own server.
    TinyLogServer* withoutRules;
    TinyLogServer* withTenRules;
};

Servers& GetServers() {
    static Servers servers;
    return servers;
}

// Puts `server` behind every channel for the lifetime of the object.
class ServerInPlace {
public:
    explicit ServerInPlace(TinyLogServer* server)
        : mPrevious(Logger::sTinyLogServer.exchange(server)) {}
    ~ServerInPlace() { Logger::sTinyLogServer.store(mPrevious); }

private:
    TinyLogServer* mPrevious;
};

// Sends standard output to /dev/null while the enabled benchmark floods it; the benchmark's own
// report goes out before and after.
class StdoutToNull {
public:
    StdoutToNull() {
        std::fflush(stdout);
        mSaved = dup(STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~StdoutToNull() {
        std::fflush(stdout);
        dup2(mSaved, STDOUT_FILENO);
        close(mSaved);
    }

private:
    int mSaved;
};

TinyLogServer* ServerFor(int rules) {
    return rules == 0 ? GetServers().withoutRules : GetServers().withTenRules;
}

void ReportAllocations(benchmark::State& state, long long before) {
    state.counters["allocs/call"] = benchmark::Counter(static_cast<double>(Allocations() - before),
                                                       benchmark::Counter::kAvgIterations);
}

const std::string kLongArgument(400, 'a');

}  // namespace

// The calling pattern of every component: the level test, then Log only when it passes.
static void BM_DisabledLog_TestThenLog(benchmark::State& state) {
    Logger& channel = *GetServers().channel;
    ServerInPlace server(ServerFor(static_cast<int>(state.range(0))));
    const long long before = Allocations();
    int value = 0;
    for (auto _ : state) {
        ZR_LOG(channel, PRIORITY_DEBUG, "value %d %s", ++value, kLongArgument.c_str());
    }
    ReportAllocations(state, before);
    if (channel.IsPriorityEnabled(PRIORITY_DEBUG)) {
        state.SkipWithError("debug messages are enabled");
    }
}
BENCHMARK(BM_DisabledLog_TestThenLog)->ArgName("rules")->Arg(0)->Arg(10);

// IsPriorityEnabled followed by Log regardless: Log asks again and returns before formatting.
static void BM_DisabledLog_TestAndLog(benchmark::State& state) {
    Logger& channel = *GetServers().channel;
    ServerInPlace server(ServerFor(static_cast<int>(state.range(0))));
    const long long before = Allocations();
    int value = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(channel.IsPriorityEnabled(PRIORITY_DEBUG));
        channel.Log(PRIORITY_DEBUG, __FILE__, __LINE__, __func__, "value %d %s", ++value,
                    kLongArgument.c_str());
    }
    ReportAllocations(state, before);
}
BENCHMARK(BM_DisabledLog_TestAndLog)->ArgName("rules")->Arg(0)->Arg(10);

// An accepted message as the calling thread sees it: format, queue, wake the server thread.
static void BM_EnabledLog_Stdout(benchmark::State& state) {
    Logger& channel = *GetServers().channel;
    TinyLogServer* target = GetServers().withoutRules;
    ServerInPlace server(target);
    StdoutToNull redirect;
    const uint64_t droppedBefore = target->GetDroppedCount();
    const long long before = Allocations();
    int value = 0;
    for (auto _ : state) {
        ZR_LOG(channel, PRIORITY_ERROR, "capture buffer %d completed with %s", ++value, "packets");
    }
    ReportAllocations(state, before);
    state.counters["dropped/call"] =
        benchmark::Counter(static_cast<double>(target->GetDroppedCount() - droppedBefore),
                           benchmark::Counter::kAvgIterations);
    target->WaitUntilIdle(60000);
}
BENCHMARK(BM_EnabledLog_Stdout);
