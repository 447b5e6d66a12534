#include "ZrUtilsLib/TinyLogConfig.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace ZrUtilsLib {

namespace {

bool IsClassicSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool EndsWith(const char* name, const char* suffix) {
    const size_t nameLength = std::strlen(name);
    const size_t suffixLength = std::strlen(suffix);
    return nameLength >= suffixLength && std::strcmp(name + nameLength - suffixLength, suffix) == 0;
}

bool IsRegularFile(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// The C library compiles a repetition by copying the repeated expression ('+' doubles it,
// "{m,n}" makes up to n copies), so a short rule such as "a" followed by forty '+' or forty
// nested "(...)+" would need terabytes. This estimates the size the repetitions add to the
// compiled expression from the pattern's structure, so such rules are refused before
// compiling. The library's closure sets grow with the square of that size, hence the low
// bound: no channel pattern comes near it.
constexpr double kMaximumRepeatedWeight = 500.0;
// Repetitions of repetitions ("g*+++", "((g*)+)+") are cheap to copy but, once the pattern holds an
// anchor, make the library's closure computation exponential in their depth: "$g*+++++" takes
// minutes. No channel pattern needs more than a few levels.
constexpr int kMaximumRepetitionDepth = 4;

size_t SkipBracketExpression(const std::string& pattern, size_t open) {
    size_t i = open + 1;
    if (i < pattern.size() && pattern[i] == '^') {
        ++i;
    }
    if (i < pattern.size() && pattern[i] == ']') {
        ++i;  // a leading ']' is a member, not the end
    }
    while (i < pattern.size() && pattern[i] != ']') {
        if (pattern[i] == '[' && i + 1 < pattern.size() &&
            (pattern[i + 1] == ':' || pattern[i + 1] == '.' || pattern[i + 1] == '=')) {
            const size_t close = pattern.find(std::string(1, pattern[i + 1]) + "]", i + 2);
            i = close == std::string::npos ? pattern.size() : close + 2;
        } else {
            ++i;
        }
    }
    return i;  // at the closing ']' (or the end)
}

// Multiplier of a "{m}", "{m,}" or "{m,n}" interval starting at `open`; `end` is set past it.
double IntervalMultiplier(const std::string& pattern, size_t open, size_t* end) {
    const size_t close = pattern.find('}', open);
    *end = close == std::string::npos ? pattern.size() : close + 1;
    double largest = 1.0;
    double value = 0.0;
    for (size_t i = open + 1; i < *end; ++i) {
        if (pattern[i] >= '0' && pattern[i] <= '9') {
            value = value * 10.0 + (pattern[i] - '0');
            largest = std::max(largest, value);
        } else {
            value = 0.0;
        }
    }
    return largest + 1.0;
}

// The weight the repetitions add: a plain pattern, however long, adds none. Repetitions nested
// deeper than kMaximumRepetitionDepth weigh more than any accepted pattern.
double RepeatedWeight(const std::string& pattern) {
    std::vector<double> groups(1, 0.0);  // weight of each open group, the whole pattern first
    std::vector<int> groupDepths(1, 0);  // deepest repetition inside each open group
    double last = 0.0;                   // weight of the element a repetition would apply to
    int lastDepth = 0;                   // repetitions nested in that element
    double repeated = 0.0;
    for (size_t i = 0; i < pattern.size() && repeated <= kMaximumRepeatedWeight; ++i) {
        const char c = pattern[i];
        double multiplier = 0.0;
        size_t next = i + 1;
        if (c == '+') {
            multiplier = 2.0;
        } else if (c == '*' || c == '?') {
            multiplier = 1.5;
        } else if (c == '{') {
            multiplier = IntervalMultiplier(pattern, i, &next);
        }
        if (multiplier > 0.0) {
            const double added = last * (multiplier - 1.0);
            repeated += added;
            groups.back() += added;
            last *= multiplier;
            if (++lastDepth > kMaximumRepetitionDepth) {
                return 2.0 * kMaximumRepeatedWeight;
            }
            groupDepths.back() = std::max(groupDepths.back(), lastDepth);
            i = next - 1;
        } else if (c == '(') {
            groups.push_back(0.0);
            groupDepths.push_back(0);
            last = 0.0;
            lastDepth = 0;
        } else if (c == ')' && groups.size() > 1) {
            last = groups.back() + 1.0;
            groups.pop_back();
            groups.back() += last;
            lastDepth = groupDepths.back();
            groupDepths.pop_back();
            groupDepths.back() = std::max(groupDepths.back(), lastDepth);
        } else {
            if (c == '[') {
                i = SkipBracketExpression(pattern, i);
            } else if (c == '\\') {
                ++i;
            }
            last = 1.0;
            lastDepth = 0;
            groups.back() += last;
        }
    }
    return repeated;
}

const char* KindWord(char comparison) {
    switch (comparison) {
        case '<':
            return "min";
        case '>':
            return "max";
        default:
            return "filter";
    }
}

}  // namespace

char* rtrim(char* text) {
    if (text == nullptr) {
        return text;
    }
    size_t length = std::strlen(text);
    while (length > 0 && IsClassicSpace(text[length - 1])) {
        text[--length] = '\0';
    }
    return text;
}

// Matcher

TinyLogConfig::Matcher::Matcher(char* pattern, int level, bool negated, char comparison)
    : mPattern(pattern != nullptr ? pattern : ""),
      mCompiledPattern(),
      mCompiled(false),
      mLevel(level),
      mNegated(negated),
      mComparison(comparison) {}

TinyLogConfig::Matcher::~Matcher() {
    if (mCompiled) {
        regfree(&mCompiledPattern);
    }
}

bool TinyLogConfig::Matcher::Compile(Logger* logger, int lineNumber) {
    if (mCompiled) {
        return true;
    }
    char error[kErrorTextSize];
    if (RepeatedWeight(mPattern) > kMaximumRepeatedWeight) {
        std::snprintf(error, sizeof(error), "%s", "Expression too complex (too many repetitions)");
    } else {
        const int status = regcomp(&mCompiledPattern, mPattern.c_str(), REG_EXTENDED | REG_NOSUB);
        if (status == 0) {
            mCompiled = true;
            return true;
        }
        regerror(status, &mCompiledPattern, error, sizeof(error));
        regfree(&mCompiledPattern);
    }
    if (logger != nullptr) {
        ZR_LOG(*logger, PRIORITY_ERROR, "Logging regex compile error at line %d: %s", lineNumber,
               error);
    }
    return false;
}

int TinyLogConfig::Matcher::Check(const char* channel, int level, int defaultLevel) const {
    const bool matched = mCompiled && regexec(&mCompiledPattern, channel, 0, nullptr, 0) == 0;
    const bool applies = matched != mNegated;
    if (mComparison == '>' && level >= defaultLevel) {
        return applies ? kStop : kNoDecision;
    }
    if (mComparison == '<' && level <= defaultLevel) {
        return applies ? kStop : kNoDecision;
    }
    if (!applies) {
        return kNoDecision;
    }
    return level > mLevel ? kDisable : kEnable;
}

// TinyLogConfig

TinyLogConfig::TinyLogConfig(const char* directory, int defaultLevel)
    : mLogger("LogConfig"),
      mDirectory(directory != nullptr ? directory : ""),
      mDefaultLevel(defaultLevel),
      mFirstRule(nullptr),
      mLastRule(nullptr),
      mLinePattern(),
      mLinePatternStatus(regcomp(&mLinePattern, kLinePattern, REG_EXTENDED)) {}

TinyLogConfig::~TinyLogConfig() {
    RuleNode* node = mFirstRule.exchange(nullptr);
    while (node != nullptr) {
        RuleNode* next = node->next.load();
        delete node;
        node = next;
    }
    if (mLinePatternStatus == 0) {
        regfree(&mLinePattern);
    }
}

void TinyLogConfig::ReadConfig() {
    if (mLinePatternStatus != 0) {
        char error[kErrorTextSize];
        regerror(mLinePatternStatus, &mLinePattern, error, sizeof(error));
        ZR_LOG(mLogger, PRIORITY_ERROR, "%s", error);
        return;
    }
    ReadConfigDir();
    std::string path = mDirectory + "/" + kConfigFileName;
    if (access(path.c_str(), R_OK) != 0) {
        ZR_LOG(mLogger, PRIORITY_DEBUG, "No logging config file at %s", path.c_str());
        return;
    }
    ZR_LOG(mLogger, PRIORITY_DEBUG, "Parsing logging config file: %s", path.c_str());
    ParseConfig(&path[0]);
}

void TinyLogConfig::ReadConfigDir() {
    const std::string directory = mDirectory + "/" + kConfigDirName;
    DIR* folder = opendir(directory.c_str());
    if (folder == nullptr) {
        ZR_LOG(mLogger, PRIORITY_DEBUG, "No extra log folder found at %s", directory.c_str());
        return;
    }
    ZR_LOG(mLogger, PRIORITY_DEBUG, "Reading extra logging config files from %s",
           directory.c_str());
    std::vector<std::string> paths;
    while (const dirent* entry = readdir(folder)) {
        if (!EndsWith(entry->d_name, kConfigFileSuffix)) {
            continue;
        }
        std::string path = directory + "/" + entry->d_name;
        if (IsRegularFile(path)) {
            paths.push_back(std::move(path));
        }
    }
    closedir(folder);
    // std::string compares through char_traits<char>, which orders bytes as unsigned.
    std::sort(paths.begin(), paths.end());
    for (std::string& path : paths) {
        ZR_LOG(mLogger, PRIORITY_DEBUG, "Parsing extra config file: %s", path.c_str());
        ParseConfig(&path[0]);
    }
}

void TinyLogConfig::ParseConfig(char* path) {
    std::FILE* file = path != nullptr ? std::fopen(path, "re") : nullptr;
    if (file == nullptr) {
        ZR_LOG(mLogger, PRIORITY_WARNING, "Unable to open log config file %s",
               path != nullptr ? path : "");
        return;
    }
    // getline grows its buffer, so a line of any length is read whole.
    char* line = nullptr;
    size_t capacity = 0;
    int lineNumber = 0;
    while (getline(&line, &capacity, file) != -1) {
        ++lineNumber;
        ParseLine(line, lineNumber);
    }
    std::free(line);
    std::fclose(file);
}

void TinyLogConfig::ParseLine(char* line, int lineNumber) {
    regmatch_t groups[5];
    if (regexec(&mLinePattern, line, 5, groups, 0) != 0) {
        return;
    }
    const char comparison = line[groups[1].rm_so];
    const int level = line[groups[2].rm_so] - '0';
    const bool negated = line[groups[3].rm_so] == '!';
    std::string pattern(line + groups[4].rm_so,
                        static_cast<size_t>(groups[4].rm_eo - groups[4].rm_so));
    rtrim(&pattern[0]);
    pattern.resize(std::strlen(pattern.c_str()));

    auto matcher = std::make_unique<Matcher>(&pattern[0], level, negated, comparison);
    if (!matcher->Compile(&mLogger, lineNumber)) {
        return;
    }
    ZR_LOG(mLogger, PRIORITY_DEBUG, "Adding log %s level %d with rule %s\"%s\"",
           KindWord(comparison), level, negated ? "(not)" : "", pattern.c_str());
    AppendRule(std::move(matcher));
}

void TinyLogConfig::AppendRule(std::unique_ptr<Matcher> matcher) {
    RuleNode* node = new RuleNode;
    node->matcher = std::move(matcher);
    if (mLastRule == nullptr) {
        mFirstRule.store(node, std::memory_order_release);
    } else {
        mLastRule->next.store(node, std::memory_order_release);
    }
    mLastRule = node;
}

int TinyLogConfig::Check(const char* channel, int level) {
    const int defaultLevel = mDefaultLevel.load(std::memory_order_relaxed);
    for (const RuleNode* node = mFirstRule.load(std::memory_order_acquire); node != nullptr;
         node = node->next.load(std::memory_order_acquire)) {
        const int answer = node->matcher->Check(channel, level, defaultLevel);
        if (answer == kStop) {
            return kNoDecision;
        }
        if (answer != kNoDecision) {
            return answer;
        }
    }
    return kNoDecision;
}

size_t TinyLogConfig::GetRuleCount() const {
    size_t count = 0;
    for (const RuleNode* node = mFirstRule.load(std::memory_order_acquire); node != nullptr;
         node = node->next.load(std::memory_order_acquire)) {
        ++count;
    }
    return count;
}

}  // namespace ZrUtilsLib
