#include "platform/file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/syserror.h"
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
