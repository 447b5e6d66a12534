#pragma once

#include <string>

namespace LoggingTest {

// POSIX extended regular expressions over test texts.
// True when `pattern` matches the whole of `text`.
bool FullMatch(const std::string& text, const std::string& pattern);
// True when `pattern` matches somewhere in `text`.
bool Search(const std::string& text, const std::string& pattern);

}  // namespace LoggingTest
