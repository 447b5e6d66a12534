#pragma once

#include <cstdio>
#include <string>

namespace ZrUtilsLib {

// A file written beside its target and put in the target's place only by Commit, so that the
// target never holds a half-written file and an existing one stays as it was until then. The
// data goes to an unnamed file in the target's directory (O_TMPFILE) where the file system has
// them, which vanishes by itself if the process dies; elsewhere to a hidden "target.XXXXXX"
// beside it, removed by Discard. A target that exists and is not a regular file (a device, a
// FIFO) is written in place; a symbolic link is followed, so the file it names is replaced.
// Operations return 0 or the errno value of the failure.
class ReplacingFile {
public:
    ReplacingFile() = default;
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    // Discards any file still open, then creates the one that will replace `target`.
    int Create(const std::string& target);
    // The stream to write, unbuffered; null when nothing is open.
    FILE* GetStream() const { return mStream; }
    bool IsOpen() const { return mStream != nullptr; }
    const std::string& GetTarget() const { return mTarget; }
    // Closes the file and puts it in the target's place (owner and mode of a replaced file
    // kept). On failure the target is untouched and the written file is discarded.
    int Commit();
    // Closes and removes the written file; the target is untouched.
    void Discard();

private:
    int CreateUnnamed(const std::string& directory);
    int CreateHidden();
    int LinkUnnamed(std::string& linkedName);
    void TakeOverAttributes();
    int CloseStream();

    FILE* mStream = nullptr;
    std::string mTarget;      // the path that receives the file (links followed)
    std::string mHiddenName;  // the hidden file's path, empty for an unnamed one or in place
    bool mUnnamed = false;
    bool mInPlace = false;
};

}  // namespace ZrUtilsLib
