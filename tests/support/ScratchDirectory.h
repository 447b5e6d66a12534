#pragma once

#include <stdlib.h>

#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>

namespace KvTests {

// A directory of its own under /tmp for one test, removed with everything in it.
class ScratchDirectory {
public:
    explicit ScratchDirectory(const std::string& prefix = "kvtest") {
        std::string pattern = "/tmp/" + prefix + "-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot create a directory like " + pattern);
        }
        mPath = pattern;
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(mPath, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::string& Path() const { return mPath; }
    std::string PathOf(const std::string& name) const { return mPath + "/" + name; }

    // The names of what the directory holds, hidden ones included.
    std::set<std::string> Entries() const {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(mPath)) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }

private:
    std::string mPath;
};

}  // namespace KvTests
