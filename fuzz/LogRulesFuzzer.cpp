// TinyLogConfig::ParseConfig over arbitrary rule files. The rules it keeps are compared with a
// plain reading of the rule syntax (comparison, level 0-8, sense, then a pattern up to '#',
// trimmed, kept when it compiles), and Check, for the system's channels and every level, with
// a plain reading of the rules' meaning. The log server's own output goes to standard output,
// which is sent to /dev/null, at level 7, so that the reader's messages about fuzzed patterns
// are formatted too.

#include <fcntl.h>
#include <regex.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "ZrUtilsLib/TinyLogConfig.h"
#include "fuzz/FuzzSupport.h"

using ZrUtilsLib::TinyLogConfig;

namespace {

std::string gDirectory;
std::string gPath;

const char* const kChannels[] = {
    "ZrUtilsLib", "KvTransportLayerLib", "KvUtilsLib", "LogConfig", "", "Kv", "a"};

struct Rule {
    char comparison;
    int level;
    bool negated;
    std::unique_ptr<regex_t, void (*)(regex_t*)> pattern{nullptr, [](regex_t* r) {
                                                             regfree(r);
                                                             delete r;
                                                         }};
};

bool IsClassicSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The rules of the file, one line at a time as getline reads them; a line is seen as far as its
// first NUL byte.
std::vector<Rule> ExpectedRules(const std::string& content) {
    std::vector<Rule> rules;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        end = end == std::string::npos ? content.size() : end + 1;
        std::string line = content.substr(start, end - start);
        start = end;
        line = line.substr(0, line.find('\0'));
        if (line.size() < 4 || std::string("<=>").find(line[0]) == std::string::npos ||
            line[1] < '0' || line[1] > '8' || (line[2] != '!' && line[2] != ':') ||
            line[3] == '#') {
            continue;
        }
        std::string pattern = line.substr(
            3, line.find('#') == std::string::npos ? std::string::npos : line.find('#') - 3);
        while (!pattern.empty() && IsClassicSpace(pattern.back())) {
            pattern.pop_back();
        }
        Rule rule{line[0], line[1] - '0', line[2] == '!'};
        // Patterns the reader refuses as too complex to compile are not compiled here either
        // (the C library would exhaust memory on them).
        TinyLogConfig::Matcher probe(&pattern[0], rule.level, rule.negated, rule.comparison);
        if (!probe.Compile(nullptr, 0)) {
            continue;
        }
        rule.pattern.reset(new regex_t);
        if (regcomp(rule.pattern.get(), pattern.c_str(), REG_EXTENDED | REG_NOSUB) != 0) {
            delete rule.pattern.release();
            continue;
        }
        rules.push_back(std::move(rule));
    }
    return rules;
}

int ExpectedCheck(const std::vector<Rule>& rules, const char* channel, int level,
                  int defaultLevel) {
    for (const Rule& rule : rules) {
        const bool matched = regexec(rule.pattern.get(), channel, 0, nullptr, 0) == 0;
        const bool applies = matched != rule.negated;
        if ((rule.comparison == '>' && level >= defaultLevel) ||
            (rule.comparison == '<' && level <= defaultLevel)) {
            if (applies) {
                return TinyLogConfig::kNoDecision;  // the scan stops, the limit level decides
            }
            continue;
        }
        if (applies) {
            return level > rule.level ? TinyLogConfig::kDisable : TinyLogConfig::kEnable;
        }
    }
    return TinyLogConfig::kNoDecision;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("ZR_TINY_LOGGER", "stdout,7", 0);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
    gDirectory = KvFuzz::MakeScratchDirectory("rules", true);
    gPath = gDirectory + "/Log.cfg";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FUZZ_CHECK(KvFuzz::WriteFile(gPath, data, size), "cannot write %s", gPath.c_str());
    const std::string content(reinterpret_cast<const char*>(data), size);
    const int defaultLevel = size > 0 ? data[0] % 9 : 3;

    TinyLogConfig config(gDirectory.c_str(), defaultLevel);
    std::string path = gPath;
    config.ParseConfig(&path[0]);

    const std::vector<Rule> expected = ExpectedRules(content);
    FUZZ_CHECK(config.GetRuleCount() == expected.size(), "%zu rules kept, expected %zu",
               config.GetRuleCount(), expected.size());
    for (const char* channel : kChannels) {
        for (int level = 0; level <= 9; ++level) {
            const int answer = config.Check(channel, level);
            const int wanted = ExpectedCheck(expected, channel, level, defaultLevel);
            FUZZ_CHECK(answer == wanted, "Check(%s, %d) answered %d, expected %d", channel, level,
                       answer, wanted);
        }
    }
    return 0;
}
