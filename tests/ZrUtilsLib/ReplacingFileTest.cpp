#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "ZrUtilsLib/ReplacingFile.h"
#include "tests/support/ScratchDirectory.h"

using ZrUtilsLib::ReplacingFile;
namespace fs = std::filesystem;

namespace {

class ReplacingFileTest : public ::testing::Test {
protected:
    std::string PathOf(const std::string& name) const { return mDirectory.PathOf(name); }
    std::set<std::string> Entries() const { return mDirectory.Entries(); }

    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    static void Write(ReplacingFile& file, const std::string& text) {
        ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), file.GetStream()), text.size());
    }

    KvTests::ScratchDirectory mDirectory{"kvreplacing"};
};

// While the new file is written, the old one is still there, whole; only Commit swaps them,
// keeping the old file's mode. Nothing else is left in the directory at any point after.
TEST_F(ReplacingFileTest, ExistingFileIsReplacedOnlyByCommit) {
    // The longest name a directory takes too: the temporary file's own name must still fit.
    for (const std::string& name : {std::string("trace.pcap"), std::string(250, 'a') + ".pcap"}) {
        SCOPED_TRACE(name.size());
        const std::string target = PathOf(name);
        std::ofstream(target) << "previous recording";
        ASSERT_EQ(chmod(target.c_str(), 0604), 0);

        ReplacingFile file;
        ASSERT_EQ(file.Create(target), 0);
        Write(file, "new recording, longer than before");
        EXPECT_EQ(Read(target), "previous recording");
        ASSERT_EQ(file.Commit(), 0);
        EXPECT_FALSE(file.IsOpen());
        EXPECT_EQ(Read(target), "new recording, longer than before");
        EXPECT_EQ(fs::status(target).permissions(), static_cast<fs::perms>(0604));
        EXPECT_EQ(Entries(), std::set<std::string>{name});
        fs::remove(target);
    }
}

// A discarded file leaves the target as it was, or absent; an uncommitted file is discarded
// by the destructor.
TEST_F(ReplacingFileTest, DiscardLeavesTheTargetAsItWas) {
    const std::string existing = PathOf("kept.pcap");
    std::ofstream(existing) << "kept";
    {
        ReplacingFile file;
        ASSERT_EQ(file.Create(existing), 0);
        Write(file, "lost");
        file.Discard();
        ASSERT_EQ(file.Create(PathOf("never.pcap")), 0);
        Write(file, "never committed");
    }
    EXPECT_EQ(Read(existing), "kept");
    EXPECT_EQ(Entries(), std::set<std::string>{"kept.pcap"});
}

// The errno of the failure, before anything is written.
TEST_F(ReplacingFileTest, UncreatableFileIsReportedAtCreate) {
    ReplacingFile file;
    EXPECT_EQ(file.Create(PathOf("missing/trace.pcap")), ENOENT);
    EXPECT_FALSE(file.IsOpen());
    std::ofstream(PathOf("plain")) << "not a directory";
    EXPECT_EQ(file.Create(PathOf("plain/trace.pcap")), ENOTDIR);
    EXPECT_EQ(file.Commit(), EBADF);
    EXPECT_EQ(Entries(), std::set<std::string>{"plain"});
}

// A link is followed: the file it names is replaced and the link stays a link. A device is
// written in place rather than replaced.
TEST_F(ReplacingFileTest, LinksAreFollowedAndDevicesWrittenInPlace) {
    fs::create_directory(PathOf("real"));
    const std::string real = PathOf("real/trace.pcap");
    std::ofstream(real) << "old";
    fs::create_symlink(real, PathOf("link.pcap"));

    ReplacingFile file;
    ASSERT_EQ(file.Create(PathOf("link.pcap")), 0);
    Write(file, "through the link");
    ASSERT_EQ(file.Commit(), 0);
    EXPECT_TRUE(fs::is_symlink(PathOf("link.pcap")));
    EXPECT_EQ(Read(real), "through the link");
    EXPECT_EQ(fs::directory_iterator(PathOf("real"))->path().filename(), "trace.pcap");

    ASSERT_EQ(file.Create("/dev/null"), 0);
    Write(file, "discarded by the device");
    ASSERT_EQ(file.Commit(), 0);
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

}  // namespace
