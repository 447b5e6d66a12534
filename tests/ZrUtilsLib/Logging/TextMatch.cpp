#include "TextMatch.h"

#include <regex.h>

namespace LoggingTest {

bool Search(const std::string& text, const std::string& pattern) {
    regex_t compiled;
    if (regcomp(&compiled, pattern.c_str(), REG_EXTENDED | REG_NOSUB) != 0) {
        return false;
    }
    const bool found = regexec(&compiled, text.c_str(), 0, nullptr, 0) == 0;
    regfree(&compiled);
    return found;
}

bool FullMatch(const std::string& text, const std::string& pattern) {
    return Search(text, "^(" + pattern + ")$");
}

}  // namespace LoggingTest
