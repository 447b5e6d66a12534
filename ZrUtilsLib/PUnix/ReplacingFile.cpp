#include "ZrUtilsLib/ReplacingFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>

namespace ZrUtilsLib {

namespace {

constexpr mode_t kNewFileMode = 0666;  // less the umask, as for any file the program creates
constexpr int kLinkNameAttempts = 100;

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The hidden sibling name pattern: "dir/.name." followed by `suffix`, the name shortened so that
// a target of the longest name a directory takes still has one.
std::string HiddenSibling(const std::string& path, const std::string& suffix) {
    const size_t slash = path.rfind('/');
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const size_t room = NAME_MAX - 2 - suffix.size();
    if (base.size() > room) {
        base.resize(room);
    }
    return directory + "." + base + "." + suffix;
}

// The path itself when it names nothing yet, else the file it finally names.
std::string ResolveTarget(const std::string& path) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) != nullptr) {
        return resolved;
    }
    return path;
}

}  // namespace

ReplacingFile::~ReplacingFile() {
    Discard();
}

int ReplacingFile::Create(const std::string& target) {
    Discard();
    mTarget = ResolveTarget(target);
    struct stat existing;
    if (stat(mTarget.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode)) {
        mStream = std::fopen(mTarget.c_str(), "wb");
        if (mStream == nullptr) {
            return errno;
        }
        mInPlace = true;
        std::setvbuf(mStream, nullptr, _IONBF, 0);
        return 0;
    }
    int error = CreateUnnamed(DirectoryOf(mTarget));
    if (error == EOPNOTSUPP || error == EISDIR || error == EINVAL) {
        error = CreateHidden();  // a file system without unnamed files
    }
    if (error == 0) {
        std::setvbuf(mStream, nullptr, _IONBF, 0);
    }
    return error;
}

int ReplacingFile::CreateUnnamed(const std::string& directory) {
    const int descriptor = open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, kNewFileMode);
    if (descriptor < 0) {
        return errno;
    }
    mStream = fdopen(descriptor, "wb");
    if (mStream == nullptr) {
        const int error = errno;
        close(descriptor);
        return error;
    }
    mUnnamed = true;
    return 0;
}

int ReplacingFile::CreateHidden() {
    std::string pattern = HiddenSibling(mTarget, "XXXXXX");
    const int descriptor = mkostemp(pattern.data(), O_CLOEXEC);
    if (descriptor < 0) {
        return errno;
    }
    mHiddenName = pattern;
    // mkostemp makes the file private; the capture file gets the usual mode.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(descriptor, kNewFileMode & ~mask);
    mStream = fdopen(descriptor, "wb");
    if (mStream == nullptr) {
        const int error = errno;
        close(descriptor);
        Discard();
        return error;
    }
    return 0;
}

// Gives the unnamed file a hidden name beside the target, from which it is renamed.
int ReplacingFile::LinkUnnamed(std::string& linkedName) {
    const int descriptor = fileno(mStream);
    const std::string procPath = "/proc/self/fd/" + std::to_string(descriptor);
    unsigned int seed =
        static_cast<unsigned int>(getpid()) ^ static_cast<unsigned int>(time(nullptr));
    for (int attempt = 0; attempt < kLinkNameAttempts; ++attempt) {
        linkedName = HiddenSibling(mTarget, std::to_string(rand_r(&seed)));
        int linked =
            linkat(AT_FDCWD, procPath.c_str(), AT_FDCWD, linkedName.c_str(), AT_SYMLINK_FOLLOW);
        if (linked != 0 && errno == ENOENT) {  // no /proc: root may link the descriptor itself
            linked = linkat(descriptor, "", AT_FDCWD, linkedName.c_str(), AT_EMPTY_PATH);
        }
        if (linked == 0) {
            return 0;
        }
        if (errno != EEXIST) {
            return errno;
        }
    }
    return EEXIST;
}

// A replaced file keeps its owner and mode, as it did when it was rewritten in place.
void ReplacingFile::TakeOverAttributes() {
    struct stat existing;
    if (stat(mTarget.c_str(), &existing) != 0 || !S_ISREG(existing.st_mode)) {
        return;
    }
    const int descriptor = fileno(mStream);
    if (fchown(descriptor, existing.st_uid, existing.st_gid) != 0) {
        // Not permitted for an ordinary user: the file is then the user's own.
    }
    fchmod(descriptor, existing.st_mode & 07777);
}

int ReplacingFile::CloseStream() {
    errno = 0;
    const int closed = std::fclose(mStream);
    mStream = nullptr;
    return closed == 0 ? 0 : (errno != 0 ? errno : EIO);
}

int ReplacingFile::Commit() {
    if (mStream == nullptr) {
        return EBADF;
    }
    if (mInPlace) {
        mInPlace = false;
        return CloseStream();
    }
    errno = 0;
    if (std::fflush(mStream) != 0 || std::ferror(mStream) != 0) {
        const int error = errno != 0 ? errno : EIO;
        Discard();
        return error;
    }
    TakeOverAttributes();
    if (mUnnamed) {
        int error = LinkUnnamed(mHiddenName);
        if (error != 0) {
            mHiddenName.clear();
            Discard();
            return error;
        }
        mUnnamed = false;
    }
    int error = CloseStream();
    if (error == 0 && std::rename(mHiddenName.c_str(), mTarget.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        Discard();
        return error;
    }
    mHiddenName.clear();
    return 0;
}

void ReplacingFile::Discard() {
    if (mStream != nullptr) {
        std::fclose(mStream);
        mStream = nullptr;
    }
    if (!mHiddenName.empty()) {
        unlink(mHiddenName.c_str());
        mHiddenName.clear();
    }
    mUnnamed = false;
    mInPlace = false;
}

}  // namespace ZrUtilsLib
