#pragma once

#include <regex.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>

#include "ZrUtilsLib/Logger.h"

namespace ZrUtilsLib {

// Removes trailing white space ("C" locale: space, tab, newline, vertical tab, form feed,
// carriage return) in place and returns the text.
char* rtrim(char* text);

class ITinyLogConfig {
public:
    virtual ~ITinyLogConfig() = default;
};

// The log server's rule set, read once from "Log.cfg.d/*.cfg" (in byte order) and then
// "Log.cfg" in its directory. A rule line is
//   <comparison><level><sense><pattern>[# comment]
// with comparison '<' (min), '=' (filter) or '>' (max), a level 0 to 8, sense ':' or '!'
// (negated), and a POSIX extended regular expression over channel names. The first rule that
// decides wins.
//
// Rules are appended while other threads may already Check: each rule is fully built before
// it is published with a release store, and Check walks the list with acquire loads, so it
// takes no lock.
class TinyLogConfig : public ITinyLogConfig {
public:
    // Answers of Check.
    static constexpr int kEnable = 0;
    static constexpr int kDisable = 1;
    static constexpr int kNoDecision = 2;
    static constexpr int kStop = 3;

    static constexpr const char* kLinePattern = "^([<=>])([0-8])([!:])([^#]+)";
    static constexpr const char* kConfigFileName = "Log.cfg";
    static constexpr const char* kConfigDirName = "Log.cfg.d";
    static constexpr const char* kConfigFileSuffix = ".cfg";
    static constexpr size_t kErrorTextSize = 512;

    // One rule.
    class Matcher {
    public:
        Matcher(char* pattern, int level, bool negated, char comparison);
        virtual ~Matcher();
        Matcher(const Matcher&) = delete;
        Matcher& operator=(const Matcher&) = delete;

        // Compiles the pattern; on failure logs the compiler's error with the line number
        // through `logger` (when given) and returns false.
        bool Compile(Logger* logger, int lineNumber);
        // kEnable, kDisable, kNoDecision (go on) or kStop (no decision, stop).
        int Check(const char* channel, int level, int defaultLevel) const;

        const std::string& GetPattern() const { return mPattern; }
        int GetLevel() const { return mLevel; }
        bool IsNegated() const { return mNegated; }
        char GetComparison() const { return mComparison; }

    private:
        std::string mPattern;
        regex_t mCompiledPattern;
        bool mCompiled;
        int mLevel;
        bool mNegated;
        char mComparison;
    };

    TinyLogConfig(const char* directory, int defaultLevel);
    ~TinyLogConfig() override;
    TinyLogConfig(const TinyLogConfig&) = delete;
    TinyLogConfig& operator=(const TinyLogConfig&) = delete;

    void ReadConfig();
    void ReadConfigDir();
    void ParseConfig(char* path);
    // kEnable, kDisable, or kNoDecision (the limit level decides).
    int Check(const char* channel, int level);

    int GetDefaultLevel() const { return mDefaultLevel.load(std::memory_order_relaxed); }
    void SetDefaultLevel(int level) { mDefaultLevel.store(level, std::memory_order_relaxed); }
    size_t GetRuleCount() const;

private:
    struct RuleNode {
        std::unique_ptr<Matcher> matcher;
        std::atomic<RuleNode*> next{nullptr};
    };

    void AppendRule(std::unique_ptr<Matcher> matcher);
    void ParseLine(char* line, int lineNumber);

    Logger mLogger;
    std::string mDirectory;
    std::atomic<int> mDefaultLevel;
    std::atomic<RuleNode*> mFirstRule;
    // Touched only by the reading thread.
    RuleNode* mLastRule;
    regex_t mLinePattern;
    int mLinePatternStatus;
};

}  // namespace ZrUtilsLib
