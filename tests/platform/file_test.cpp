#include "platform/file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/syserror.h"
#include "platform/unique_fd.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;

class FileTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return temp_.File(name); }
  static std::string Read(const std::string& path) { return testing_support::ReadFile(path); }
  size_t EntryCount() const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir_), {}));
  }
  testing_support::TempFolder temp_;
  const std::string dir_ = temp_.Path();
};

TEST_F(FileTest, AppendCreatesThenAppends) {
  std::string path = Path("log.txt");
  EXPECT_EQ(platform::AppendToFile(path, "one\r\n"), 0u);
  EXPECT_EQ(platform::AppendToFile(path, "two\r\n"), 0u);
  EXPECT_EQ(Read(path), "one\r\ntwo\r\n");
  EXPECT_EQ(platform::FileSize(path), 10);
}

TEST_F(FileTest, AppendToAFolderOrMissingFolderFails) {
  EXPECT_NE(platform::AppendToFile(dir_, "x"), 0u);
  EXPECT_EQ(platform::AppendToFile(Path("missing/log.txt"), "x"), platform::kErrorFileNotFound);
}

TEST_F(FileTest, SizeAndExistenceOfFilesAndFolders) {
  EXPECT_FALSE(platform::FileSize(Path("none")).has_value());
  EXPECT_FALSE(platform::FileSize(dir_).has_value());
  EXPECT_TRUE(platform::DirectoryExists(dir_));
  EXPECT_FALSE(platform::FileExists(dir_));
  ASSERT_EQ(platform::AppendToFile(Path("f"), ""), 0u);
  EXPECT_TRUE(platform::FileExists(Path("f")));
  EXPECT_EQ(platform::FileSize(Path("f")), 0);
}

TEST_F(FileTest, AtomicWriteReplacesWholeAndLeavesNoTemporaryFile) {
  std::string path = Path("vigilo.ini");
  ASSERT_EQ(platform::WriteFileAtomic(path, "old"), 0u);
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  ASSERT_EQ(platform::WriteFileAtomic(path, "new contents"), 0u);
  EXPECT_EQ(Read(path), "new contents");
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(EntryCount(), 1u);
}

TEST_F(FileTest, AtomicWriteIntoMissingFolderFailsCleanly) {
  EXPECT_EQ(platform::WriteFileAtomic(Path("no/such.ini"), "x"), platform::kErrorFileNotFound);
  EXPECT_EQ(EntryCount(), 0u);
}

TEST_F(FileTest, AtomicWriteOverAFolderKeepsItAndRemovesTheTemporaryFile) {
  fs::create_directory(Path("sub"));
  EXPECT_NE(platform::WriteFileAtomic(Path("sub"), "x"), 0u);
  EXPECT_TRUE(platform::DirectoryExists(Path("sub")));
  EXPECT_EQ(EntryCount(), 1u);
}

// A settings file kept elsewhere and linked in stays linked: the target is
// replaced, whether the link is relative, absolute, dangling or one of two.
TEST_F(FileTest, AtomicWriteReplacesTheTargetOfASymbolicLink) {
  fs::create_directory(Path("real"));
  struct Case {
    const char* what;
    std::string link;    // created as a link to `target`
    std::string target;  // as the link holds it
    std::string real;    // the file that must receive the data
    bool targetExists;
  } cases[] = {
      {"relative", Path("rel.ini"), "real/rel.ini", Path("real/rel.ini"), true},
      {"absolute", Path("abs.ini"), Path("real/abs.ini"), Path("real/abs.ini"), true},
      {"dangling", Path("new.ini"), "real/new.ini", Path("real/new.ini"), false},
      {"chain", Path("chain.ini"), "rel.ini", Path("real/rel.ini"), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.targetExists && !fs::exists(c.real))
      temp_.Write("real/" + fs::path(c.real).filename().string(), "old");
    fs::create_symlink(c.target, c.link);
    ASSERT_EQ(platform::WriteFileAtomic(c.link, std::string("data of ") + c.what), 0u);
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(c.link)));
    EXPECT_EQ(Read(c.real), std::string("data of ") + c.what);
  }
  fs::create_symlink("loop", Path("loop"));
  EXPECT_NE(platform::WriteFileAtomic(Path("loop"), "x"), 0u);
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(Path("loop"))));
}

// Temporary files that a killed write of the same file left are removed; one
// that a running write holds (its flock), and those of other files, stay.
TEST_F(FileTest, AtomicWriteRemovesTheTemporaryFilesThatKilledWritesLeft) {
  std::string path = Path("vigilo.ini");
  const std::string stale[] = {".vigilo.ini.tmp0123456789abcdef",
                               ".vigilo.ini.tmpfedcba9876543210"};
  const std::string kept[] = {".vigilo.ini.tmp0123456789abcdex", ".vigilo.ini.tmp0123",
                              ".other.ini.tmp0123456789abcdef", "vigilo.ini.tmp0123456789abcdef",
                              ".vigilo.ini.tmp9999999999999999"};
  for (const std::string& name : stale) temp_.Write(name, "Password=secret");
  for (const std::string& name : kept) temp_.Write(name, "x");
  platform::UniqueFd running(::open(Path(kept[4]).c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_EQ(::flock(running.get(), LOCK_EX), 0);
  ASSERT_EQ(platform::WriteFileAtomic(path, "new"), 0u);
  for (const std::string& name : stale) EXPECT_FALSE(fs::exists(Path(name))) << name;
  for (const std::string& name : kept) EXPECT_TRUE(fs::exists(Path(name))) << name;
  EXPECT_EQ(Read(path), "new");
}

// An existing file keeps its owner and group (root may give them); a new
// file gets 0644 less the umask.
TEST_F(FileTest, AtomicWriteKeepsTheOwnerAndGivesANewFileTheUmasksMode) {
  std::string path = Path("owned.ini");
  const mode_t old = ::umask(027);
  EXPECT_EQ(platform::WriteFileAtomic(path, "a"), 0u);
  ::umask(old);
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  if (::geteuid() != 0) GTEST_SKIP() << "giving a file another owner needs root";
  ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
  ASSERT_EQ(platform::WriteFileAtomic(path, "b"), 0u);
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_gid, 65534u);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(FileTest, ReadWholeFileHonoursTheLimit) {
  std::string path = Path("data");
  ASSERT_EQ(platform::WriteFileAtomic(path, std::string(100, 'x')), 0u);
  std::string data;
  EXPECT_EQ(platform::ReadWholeFile(path, data, 100), 0u);
  EXPECT_EQ(data.size(), 100u);
  EXPECT_EQ(platform::ReadWholeFile(path, data, 99), platform::kErrorMoreData);
  EXPECT_TRUE(data.empty());
  EXPECT_EQ(platform::ReadWholeFile(Path("none"), data), platform::kErrorFileNotFound);
  EXPECT_NE(platform::ReadWholeFile(dir_, data), 0u);
}

TEST_F(FileTest, DeleteAndCreateDirectories) {
  EXPECT_EQ(platform::CreateDirectories(Path("a/b/c")), 0u);
  EXPECT_TRUE(platform::DirectoryExists(Path("a/b/c")));
  EXPECT_EQ(platform::CreateDirectories(Path("a/b/c")), 0u);
  ASSERT_EQ(platform::AppendToFile(Path("a/f"), "x"), 0u);
  EXPECT_EQ(platform::DeleteFile(Path("a/f")), 0u);
  EXPECT_EQ(platform::DeleteFile(Path("a/f")), platform::kErrorFileNotFound);
}

TEST(PathParts, FolderAndJoin) {
  struct Case {
    const char* path;
    const char* dir;
  } cases[] = {{"/a/b/c.ini", "/a/b"}, {"/x", "/"}, {"x", ""}, {"a/", "a"}, {"", ""}};
  for (const Case& c : cases) EXPECT_EQ(platform::ExtractFileDir(c.path), c.dir) << c.path;
  EXPECT_EQ(platform::JoinPath("/a", "b"), "/a/b");
  EXPECT_EQ(platform::JoinPath("/a/", "b"), "/a/b");
  EXPECT_EQ(platform::JoinPath("", "b"), "b");
}

}  // namespace
