// Environment expansion and text conversion with fuzzed texts and fuzzed environment values:
// ReplaceEnv ($(NAME) and ${NAME}), String::ExpandEnvironmentVariables (%NAME%, first reference
// only) and the narrow/wide conversions of String. The input's NUL bytes separate: the text,
// the values of KV_FUZZ_A and KV_FUZZ_B, then a variable name of the input's choosing and its
// value. Both expansions are compared with a plain reading of their rules.

#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "ZrUtilsLib/String.h"
#include "ZrUtilsLib/Utilities.h"
#include "fuzz/FuzzSupport.h"

using ZrUtilsLib::String;

namespace {

constexpr size_t kReplaceEnvInputLimit = 2047;

// Sets a variable for one run and puts the environment back afterwards. putenv keeps the
// caller's text, so nothing is left behind: setenv would keep a copy of every value for good,
// and millions of runs would take the whole memory.
class ScopedVariable {
public:
    ScopedVariable(const std::string& name, const std::string* value)
        : mName(name), mOriginal(FindEntry(name)) {
        if (value != nullptr) {
            mEntry = name + "=" + *value;
            putenv(mEntry.data());
        } else {
            unsetenv(name.c_str());
        }
    }
    ~ScopedVariable() {
        if (mOriginal != nullptr) {
            putenv(mOriginal);
        } else {
            unsetenv(mName.c_str());
        }
    }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    // The "NAME=value" text of the environment, or null.
    static char* FindEntry(const std::string& name) {
        for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
            if (std::strncmp(*entry, name.c_str(), name.size()) == 0 &&
                (*entry)[name.size()] == '=') {
                return *entry;
            }
        }
        return nullptr;
    }

    std::string mName;
    char* mOriginal;
    std::string mEntry;
};

bool IsUsableName(const std::string& name) {
    return !name.empty() && name.find('=') == std::string::npos;
}

std::string ExpectedReplaceEnv(const std::string& whole) {
    const std::string text = whole.substr(0, kReplaceEnvInputLimit);
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '$' || i + 1 == text.size() || (text[i + 1] != '(' && text[i + 1] != '{')) {
            out += text[i++];
            continue;
        }
        size_t nameStart = i + 2;
        size_t close = nameStart;
        while (close < text.size() && text[close] != ')' && text[close] != '}') {
            ++close;
        }
        if (close >= text.size()) {
            return out;  // unterminated: the reference and the rest are dropped
        }
        const char* value = std::getenv(text.substr(nameStart, close - nameStart).c_str());
        for (const char* c = value; c != nullptr && *c != '\0'; ++c) {
            out += *c == '\\' ? '/' : *c;
        }
        i = close + 1;
    }
    return out;
}

std::string ExpectedExpansion(const std::string& text) {
    size_t open = text.find('%');
    size_t close = open == std::string::npos ? open : text.find('%', open + 1);
    if (close == std::string::npos) {
        return "";
    }
    const char* value = std::getenv(text.substr(open + 1, close - open - 1).c_str());
    if (value == nullptr) {
        return text;
    }
    return text.substr(0, open) + value + text.substr(close + 1);
}

bool IsAscii(const std::string& text) {
    for (unsigned char c : text) {
        if (c > 0x7F) {
            return false;
        }
    }
    return true;
}

// Narrow to wide and back: the text comes back whole when it is ASCII, and as a prefix of
// itself otherwise; both forms are always terminated.
void CheckConversions(const std::string& text, const std::wstring& units) {
    String narrow(text.c_str());
    const wchar_t* wide = narrow.GetUnicode();
    FUZZ_CHECK(wide != nullptr, "no wide form");
    const size_t wideLength = std::wcslen(wide);
    FUZZ_CHECK(wideLength <= text.size(), "wide form longer than the text");
    String back(wide);
    const std::string round = back.GetAscii();
    FUZZ_CHECK(text.compare(0, round.size(), round) == 0, "round trip is not a prefix");
    if (IsAscii(text)) {
        FUZZ_CHECK(round == text && wideLength == text.size(), "ASCII round trip changed");
        FUZZ_CHECK(narrow.GetLength() == text.size(), "length");
    }

    String fromUnits(units.c_str());
    const char* ascii = fromUnits.GetAscii();
    FUZZ_CHECK(ascii != nullptr && std::strlen(ascii) <= units.size() * MB_CUR_MAX,
               "narrow form of wide units");
    std::wstring asciiUnits;
    for (wchar_t unit : units) {
        if (unit < 0 || unit > 0x7F) {
            break;
        }
        asciiUnits.push_back(unit);
    }
    FUZZ_CHECK(std::strlen(ascii) >= asciiUnits.size(), "ASCII units lost");
    for (size_t i = 0; i < asciiUnits.size(); ++i) {
        FUZZ_CHECK(ascii[i] == static_cast<char>(asciiUnits[i]), "unit %zu differs", i);
    }

    String joined(text.c_str());
    joined += fromUnits;
    FUZZ_CHECK(
        std::strlen(joined.GetAscii()) <= std::strlen(narrow.GetAscii()) + std::strlen(ascii),
        "joined text too long");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> pieces = KvFuzz::SplitAtNul(data, size);
    pieces.resize(std::max<size_t>(pieces.size(), 1));
    const std::string& text = pieces[0];
    ScopedVariable a("KV_FUZZ_A", pieces.size() > 1 ? &pieces[1] : nullptr);
    ScopedVariable b("KV_FUZZ_B", pieces.size() > 2 ? &pieces[2] : nullptr);
    const bool ownName = pieces.size() > 4 && IsUsableName(pieces[3]);
    ScopedVariable own(ownName ? pieces[3] : "KV_FUZZ_C", ownName ? &pieces[4] : nullptr);

    const std::string replaced = ZrUtilsLib::ReplaceEnv(String(text.c_str())).GetAscii();
    const std::string wanted = ExpectedReplaceEnv(text);
    FUZZ_CHECK(replaced == wanted, "ReplaceEnv(\"%s\") gave \"%s\", expected \"%s\"",
               KvFuzz::Printable(text).c_str(), KvFuzz::Printable(replaced).c_str(),
               KvFuzz::Printable(wanted).c_str());

    const std::string expanded = String(text.c_str()).ExpandEnvironmentVariables();
    FUZZ_CHECK(expanded == ExpectedExpansion(text),
               "ExpandEnvironmentVariables(\"%s\") gave \"%s\"", KvFuzz::Printable(text).c_str(),
               KvFuzz::Printable(expanded).c_str());

    CheckConversions(text, KvFuzz::WideUnits(data, size));
    return 0;
}
