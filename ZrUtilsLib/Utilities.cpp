#include "ZrUtilsLib/Utilities.h"

#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace ZrUtilsLib {

namespace {

constexpr size_t kReplaceEnvInputLimit = 2047;

void AppendValue(std::string& output, const char* value) {
    for (const char* c = value; *c != '\0'; ++c) {
        output.push_back(*c == '\\' ? '/' : *c);
    }
}

std::string PasswordHome(uid_t uid) {
    const passwd* entry = getpwuid(uid);
    if (entry == nullptr || entry->pw_dir == nullptr) {
        return std::string();
    }
    return entry->pw_dir;
}

}  // namespace

// The output grows as needed, so no value length can overrun it.
String ReplaceEnv(const String& text) {
    const std::string input = std::string(text.GetAscii()).substr(0, kReplaceEnvInputLimit);
    std::string output;
    size_t i = 0;
    while (i < input.size()) {
        const bool reference =
            input[i] == '$' && i + 1 < input.size() && (input[i + 1] == '(' || input[i + 1] == '{');
        if (!reference) {
            output.push_back(input[i++]);
            continue;
        }
        const size_t nameStart = i + 2;
        const size_t close = input.find_first_of(")}", nameStart);
        if (close == std::string::npos || nameStart >= input.size()) {
            break;  // unterminated: drop the reference and the rest
        }
        const std::string name = input.substr(nameStart, close - nameStart);
        const char* value = std::getenv(name.c_str());
        if (value != nullptr && value[0] != '\0') {
            AppendValue(output, value);
        }
        i = close + 1;
    }
    return String(output.c_str());
}

void GetDateTime(char* buffer, int /*size*/) {
    const time_t now = time(nullptr);
    tm local;
    localtime_r(&now, &local);
    asctime_r(&local, buffer);
}

std::string GetUserHomeDir() {
    const uid_t uid = getuid();
    if (uid == 0) {
        return PasswordHome(0);
    }
    const char* home = std::getenv("HOME");
    if (home != nullptr) {
        return home;
    }
    return PasswordHome(uid);
}

std::string GetTempDir() {
    for (const char* name : {"TMPDIR", "TMP", "TEMP", "TEMPDIR"}) {
        const char* value = std::getenv(name);
        if (value != nullptr) {
            return value;
        }
    }
    return "/tmp";
}

int CreateDir(const std::string& path) {
    return mkdir(path.c_str(), 0775) == 0 ? 0 : -1;
}

unsigned int GetTerminalColumns(int descriptor) {
    winsize size{};
    if (ioctl(descriptor, TIOCGWINSZ, &size) != 0) {
        return 0;
    }
    return size.ws_col;
}

}  // namespace ZrUtilsLib
