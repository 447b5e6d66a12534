#pragma once

#include <string>

#include "ZrUtilsLib/String.h"

namespace ZrUtilsLib {

// Expands every $(NAME) and ${NAME} reference; backslashes of the values become slashes.
String ReplaceEnv(const String& text);

// The current local date and time in the asctime layout (26 bytes with newline and NUL).
void GetDateTime(char* buffer, int size);

std::string GetUserHomeDir();
std::string GetTempDir();

// Creates one directory level with mode 0775: 0 on success, -1 on failure (errno set).
int CreateDir(const std::string& path);

// The width of the terminal on `descriptor` in columns; 0 when it is not a terminal or does not
// say.
unsigned int GetTerminalColumns(int descriptor);

}  // namespace ZrUtilsLib
