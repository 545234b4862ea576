#include "platform/file.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <atomic>
#include <functional>
#include <thread>

#include "platform/accounts.h"
#include "platform/eintr.h"
#include "platform/syserror.h"
#include "platform/unique_fd.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;

// The rule, checked the plain way: `path` and every folder above it owned by
// root or by us and writable by nobody else.
mode_t ProcessUmask() {
  const mode_t mask = ::umask(022);
  ::umask(mask);
  return mask;
}

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing_support::TempFolder::IsTrustedTree(dir_))
      GTEST_SKIP() << dir_ << " lies in a folder others may write";
  }
  std::string Path(const std::string& name) const { return temp_.File(name); }
  static std::string Read(const std::string& path) { return testing_support::ReadFile(path); }
  size_t EntryCount() const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir_), {}));
  }
  static mode_t ModeOf(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
  }
  testing_support::TempFolder temp_{testing_support::TempFolder::TrustedBase(TRUSTED_TEST_BASE)};
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

// A runtime folder as the XDG rules want it: the user's own folder itself,
// mode 0700.
TEST_F(FileTest, APrivateFolderIsOursAloneAndNoLink) {
  ASSERT_EQ(::mkdir(Path("mine").c_str(), 0700), 0);
  ASSERT_EQ(::symlink(Path("mine").c_str(), Path("link").c_str()), 0);
  ASSERT_EQ(platform::AppendToFile(Path("file"), ""), 0u);
  ASSERT_EQ(::chmod(Path("file").c_str(), 0700), 0);
  const struct {
    const char* name;
    mode_t mode;  // set on a folder of that name; 0: made above
    bool privateFolder;
  } cases[] = {{"mine", 0, true},      {"sticky", 01700, true}, {"open", 0755, false},
               {"group", 0710, false}, {"none", 0500, false},   {"link", 0, false},
               {"file", 0, false},     {"missing", 0, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.mode != 0) {
      ASSERT_EQ(::mkdir(Path(c.name).c_str(), 0700), 0);
      ASSERT_EQ(::chmod(Path(c.name).c_str(), c.mode), 0);
    }
    EXPECT_EQ(platform::IsPrivateFolder(Path(c.name)), c.privateFolder);
  }
  if (const passwd* nobody = ::getpwnam("nobody"); nobody && ::geteuid() == 0) {
    ASSERT_EQ(::chown(Path("mine").c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    EXPECT_FALSE(platform::IsPrivateFolder(Path("mine"))) << "another user's";
  }
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
// replaced, whether the link is relative, absolute, dangling or one of two
// (links of this process's own user, in its own folders).
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

// The trusted-link rule, with real files of root and of `nobody`. Each case
// lays out its link `name` below the test's folder; a followed link gets its
// target written and stays, a link not followed is replaced by a regular file
// and whatever it pointed to is untouched (an existing victim keeps its
// bytes, a missing one is not created).
class TrustedLinkTest : public FileTest {
 public:  // the cases' lay-outs use these
  void SetUp() override {
    FileTest::SetUp();
    if (IsSkipped()) return;
    if (::geteuid() != 0) GTEST_SKIP() << "files of another user need root";
    std::optional<platform::Account> account = platform::LookUpAccount("nobody");
    if (!account) GTEST_SKIP() << "no account nobody";
    nobody_ = account->uid;
    NewBox();
  }
  // Each case in a folder of its own.
  void NewBox() {
    box_ = std::make_unique<testing_support::TempFolder>(
        testing_support::TempFolder::TrustedBase(TRUSTED_TEST_BASE));
  }
  std::string At(const std::string& name) const { return box_->File(name); }
  std::string Write(const std::string& name, const std::string& data) const {
    return box_->Write(name, data);
  }
  // A folder of root's with `mode` (umask aside).
  std::string Folder(const std::string& name, mode_t mode) const {
    fs::create_directories(At(name));
    EXPECT_EQ(::chmod(At(name).c_str(), mode), 0);
    return At(name);
  }
  void Link(const std::string& target, const std::string& name, uid_t owner = 0) const {
    fs::create_symlink(target, At(name));
    ASSERT_EQ(::lchown(At(name).c_str(), owner, owner), 0);
  }
  uid_t nobody_ = 0;
  std::unique_ptr<testing_support::TempFolder> box_;
};

struct LinkCase {
  const char* what;
  std::function<void(TrustedLinkTest&)> layOut;
  const char* name;    // the name written
  const char* target;  // where a followed link leads (below the test folder)
  bool followed;
};

TEST_F(TrustedLinkTest, FollowsOnlyTheLinksNoOtherUserCouldHavePlaced) {
  const uid_t nobody = nobody_;
  const LinkCase cases[] = {
      {"root's link in root's folders to root's file",
       [](TrustedLinkTest& t) {
         t.Folder("etc", 0755);
         t.Write("etc/vigilo.ini", "old");
         t.Link(t.At("etc/vigilo.ini"), "vigilo.ini");
       },
       "vigilo.ini", "etc/vigilo.ini", true},
      {"root's relative link, its target still missing",
       [](TrustedLinkTest& t) {
         t.Folder("var", 0755);
         t.Link("var/vigilo.log", "vigilo.log");
       },
       "vigilo.log", "var/vigilo.log", true},
      {"a chain of root's links through a linked folder",
       [](TrustedLinkTest& t) {
         t.Folder("real/Reports", 0755);
         t.Write("real/Reports/a.html", "old");
         t.Link(t.At("real/Reports"), "Reports");
         t.Link("Reports/a.html", "one.html");
         t.Link("one.html", "two.html");
       },
       "two.html", "real/Reports/a.html", true},
      {"a link owned by nobody",
       [nobody](TrustedLinkTest& t) {
         t.Folder("etc", 0755);
         t.Write("etc/shadow", "secret");
         t.Link(t.At("etc/shadow"), "Alert_Report.lnk", nobody);
       },
       "Alert_Report.lnk", "etc/shadow", false},
      {"a dangling link owned by nobody into root's folder",
       [nobody](TrustedLinkTest& t) {
         t.Folder("etc", 0755);
         t.Link(t.At("etc/planted"), "Alert_Report.lnk", nobody);
       },
       "Alert_Report.lnk", "etc/planted", false},
      {"root's link in a folder others may write",
       [](TrustedLinkTest& t) {
         t.Folder("etc", 0755);
         t.Write("etc/shadow", "secret");
         t.Folder("desk", 0777);
         t.Link(t.At("etc/shadow"), "desk/Alert_Report.lnk");
       },
       "desk/Alert_Report.lnk", "etc/shadow", false},
      {"root's link in a sticky world-writable folder",
       [](TrustedLinkTest& t) {
         t.Folder("etc", 0755);
         t.Write("etc/shadow", "secret");
         t.Folder("tmp", 01777);
         t.Link(t.At("etc/shadow"), "tmp/Alert_Report.lnk");
       },
       "tmp/Alert_Report.lnk", "etc/shadow", false},
      {"root's link in a group-writable folder",
       [](TrustedLinkTest& t) {
         t.Folder("etc", 0755);
         t.Write("etc/shadow", "secret");
         t.Folder("desk", 0775);
         t.Link(t.At("etc/shadow"), "desk/Alert_Report.lnk");
       },
       "desk/Alert_Report.lnk", "etc/shadow", false},
      {"root's link to a file in a folder others may write",
       [](TrustedLinkTest& t) {
         t.Folder("open", 0777);
         t.Write("open/vigilo.ini", "old");
         t.Link(t.At("open/vigilo.ini"), "vigilo.ini");
       },
       "vigilo.ini", "open/vigilo.ini", false},
      {"a chain whose second link is nobody's",
       [nobody](TrustedLinkTest& t) {
         t.Folder("etc", 0755);
         t.Write("etc/shadow", "secret");
         t.Link(t.At("etc/shadow"), "hop", nobody);
         t.Link("hop", "a.html");
       },
       "a.html", "etc/shadow", false},
      {"a link through a folder link of nobody's",
       [nobody](TrustedLinkTest& t) {
         t.Folder("etc", 0755);
         t.Write("etc/shadow", "secret");
         t.Link(t.At("etc"), "etclink", nobody);
         t.Link("etclink/shadow", "a.html");
       },
       "a.html", "etc/shadow", false},
  };
  for (const LinkCase& c : cases) {
    SCOPED_TRACE(c.what);
    NewBox();
    c.layOut(*this);
    const std::string before = fs::exists(At(c.target)) ? Read(At(c.target)) : "(none)";
    EXPECT_EQ(platform::IsTrustedLink(At(c.name)), c.followed);
    ASSERT_EQ(platform::WriteFileAtomic(At(c.name), "new data"), 0u);
    if (c.followed) {
      EXPECT_TRUE(S_ISLNK(ModeOf(At(c.name))));
      EXPECT_EQ(Read(At(c.target)), "new data");
    } else {
      EXPECT_TRUE(S_ISREG(ModeOf(At(c.name))));
      EXPECT_EQ(Read(At(c.name)), "new data");
      EXPECT_EQ(fs::exists(At(c.target)) ? Read(At(c.target)) : "(none)", before);
    }
  }
}

// A new file for a group this process may not give (an ordinary account
// that is not a member) is its owner's alone: the group's bits go with the
// group. Run as nobody, with umask 0 so that nothing else takes them.
TEST_F(TrustedLinkTest, ANewFileForAGroupTheWriterMayNotGiveLosesTheGroupsBits) {
  const std::optional<platform::Account> account = platform::LookUpAccount(nobody_);
  ASSERT_TRUE(account);
  ASSERT_EQ(::chmod(box_->Path().c_str(), 0755), 0);  // nobody may reach his folder
  const std::string folder = Folder("own", 0755);
  ASSERT_EQ(::chown(folder.c_str(), account->uid, account->gid), 0);
  const platform::NewFileMode forRoot{0660, gid_t{0}};
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(account->gid) != 0 || ::setuid(account->uid) != 0)
      ::_exit(3);
    ::umask(0);
    const bool ok = platform::AppendToFile(At("own/appended"), "x", forRoot) == 0 &&
                    platform::WriteFileAtomic(At("own/replaced"), "x", forRoot) == 0;
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(platform::RetryOnEintr([&] { return ::waitpid(child, &status, 0); }), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  for (const char* name : {"own/appended", "own/replaced"}) {
    SCOPED_TRACE(name);
    struct stat st;
    ASSERT_EQ(::lstat(At(name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_uid, account->uid);
    EXPECT_EQ(st.st_gid, account->gid);
  }
}

// In a folder others may write (a shared sticky desktop), a file another
// user planted at the name, writable by him, is not kept: the shortcut and
// the log become root's own files, so that he cannot rewrite them later. A
// file of the folder's owner there keeps its owner and mode.
TEST_F(TrustedLinkTest, AFilePlantedInASharedFolderIsReplacedNotKept) {
  const std::string shared = Folder("shared", 01777);
  for (const char* name : {"shared/Alert_Report.lnk", "shared/vigilo.log"}) {
    Write(name, "planted");
    ASSERT_EQ(::chown(At(name).c_str(), nobody_, nobody_), 0);
    ASSERT_EQ(::chmod(At(name).c_str(), 0666), 0);
  }
  ASSERT_EQ(platform::WriteFileAtomic(At("shared/Alert_Report.lnk"), "link"), 0u);
  ASSERT_EQ(platform::AppendToFile(At("shared/vigilo.log"), "line\n"), 0u);
  for (const auto& [name, data] :
       {std::pair{"shared/Alert_Report.lnk", "link"}, std::pair{"shared/vigilo.log", "line\n"}}) {
    SCOPED_TRACE(name);
    struct stat st;
    ASSERT_EQ(::lstat(At(name).c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 0777, 0644u & ~ProcessUmask());
    EXPECT_EQ(Read(At(name)), data);
  }

  ASSERT_EQ(::chown(shared.c_str(), nobody_, nobody_), 0);
  for (const char* name : {"shared/Alert_Report.lnk", "shared/vigilo.log"}) {
    ASSERT_EQ(::chown(At(name).c_str(), nobody_, nobody_), 0);
    ASSERT_EQ(::chmod(At(name).c_str(), 0640), 0);
  }
  ASSERT_EQ(platform::WriteFileAtomic(At("shared/Alert_Report.lnk"), "again"), 0u);
  ASSERT_EQ(platform::AppendToFile(At("shared/vigilo.log"), "more\n"), 0u);
  EXPECT_EQ(Read(At("shared/vigilo.log")), "line\nmore\n");
  for (const char* name : {"shared/Alert_Report.lnk", "shared/vigilo.log"}) {
    SCOPED_TRACE(name);
    struct stat st;
    ASSERT_EQ(::lstat(At(name).c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, nobody_);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
  }
}

// The folder rule: the folder a name is written in is judged by who could
// have redirected the walk to it. A user's folders and links may lead only to
// folders of his own; root's lead anywhere. Refused folders get nothing and
// the text names them.
struct FolderCase {
  const char* what;
  std::function<void(TrustedLinkTest&)> layOut;
  const char* name;       // the name written, below the test folder
  const char* writtenAt;  // where the file lands; nullptr: refused
};

TEST_F(TrustedLinkTest, WritesOnlyInAFolderOfWhoeverCouldHaveRedirectedTheWay) {
  std::optional<platform::Account> daemon = platform::LookUpAccount("daemon");
  if (!daemon) GTEST_SKIP() << "no account daemon";
  const uid_t nobody = nobody_;
  const uid_t other = daemon->uid;
  // home/ is nobody's, as a desktop user's home is his.
  const auto home = [nobody](TrustedLinkTest& t) {
    t.Folder("home", 0755);
    ASSERT_EQ(::chown(t.At("home").c_str(), nobody, nobody), 0);
  };
  const auto folderOf = [](TrustedLinkTest& t, const char* name, uid_t owner, mode_t mode) {
    t.Folder(name, mode);
    ASSERT_EQ(::chown(t.At(name).c_str(), owner, owner), 0);
  };
  const FolderCase cases[] = {
      {"his desktop swapped for a link to root's folder",
       [&](TrustedLinkTest& t) {
         home(t);
         t.Folder("root", 0700);
         t.Link(t.At("root"), "home/Desktop", nobody);
       },
       "home/Desktop/Alert_Report.lnk", nullptr},
      {"his folder above the desktop turned into a link",
       [&](TrustedLinkTest& t) {
         home(t);
         t.Folder("root/Desktop", 0700);
         ASSERT_EQ(::chmod(t.At("root").c_str(), 0700), 0);
         t.Link(t.At("root"), "home/data", nobody);
       },
       "home/data/Desktop/Alert_Report.lnk", nullptr},
      {"his relative link climbing out of his folder",
       [&](TrustedLinkTest& t) {
         home(t);
         t.Folder("root", 0700);
         t.Link("../root", "home/Desktop", nobody);
       },
       "home/Desktop/Alert_Report.lnk", nullptr},
      {"root's folder inside his",
       [&](TrustedLinkTest& t) {
         home(t);
         t.Folder("home/Desktop", 0755);
       },
       "home/Desktop/Alert_Report.lnk", nullptr},
      {"his link to another user's folder",
       [&](TrustedLinkTest& t) {
         home(t);
         folderOf(t, "other", other, 0755);
         t.Link(t.At("other"), "home/Desktop", nobody);
       },
       "home/Desktop/Alert_Report.lnk", nullptr},
      {"his link into another user's folder, then that user's folder",
       [&](TrustedLinkTest& t) {
         home(t);
         folderOf(t, "other", other, 0755);
         folderOf(t, "other/Desktop", other, 0755);
         t.Link(t.At("other"), "home/shared", nobody);
       },
       "home/shared/Desktop/Alert_Report.lnk", nullptr},
      {"a name looked up in a folder others may write",
       [&](TrustedLinkTest& t) {
         t.Folder("open/Desktop", 0755);
         ASSERT_EQ(::chmod(t.At("open").c_str(), 0777), 0);
       },
       "open/Desktop/Alert_Report.lnk", nullptr},
      {"his own desktop",
       [&](TrustedLinkTest& t) {
         home(t);
         folderOf(t, "home/Desktop", nobody, 0755);
       },
       "home/Desktop/Alert_Report.lnk", "home/Desktop/Alert_Report.lnk"},
      {"his absolute link to his own folder on another disk",
       [&](TrustedLinkTest& t) {
         home(t);
         t.Folder("disk2", 0755);
         folderOf(t, "disk2/shop", nobody, 0755);
         folderOf(t, "disk2/shop/Desktop", nobody, 0755);
         t.Link(t.At("disk2/shop/Desktop"), "home/Desktop", nobody);
       },
       "home/Desktop/Alert_Report.lnk", "disk2/shop/Desktop/Alert_Report.lnk"},
      {"his folder in a sticky world-writable folder",
       [&](TrustedLinkTest& t) {
         t.Folder("tmp", 01777);
         folderOf(t, "tmp/shop", nobody, 0700);
       },
       "tmp/shop/Alert_Report.lnk", "tmp/shop/Alert_Report.lnk"},
      {"root's folder link in root's folders",
       [&](TrustedLinkTest& t) {
         t.Folder("srv/Desktop", 0700);
         t.Link(t.At("srv/Desktop"), "Desktop");
       },
       "Desktop/Alert_Report.lnk", "srv/Desktop/Alert_Report.lnk"},
      {"a folder others may write, as the last one",
       [&](TrustedLinkTest& t) { t.Folder("Reports", 0777); }, "Reports/a.html", "Reports/a.html"},
  };
  for (const FolderCase& c : cases) {
    SCOPED_TRACE(c.what);
    NewBox();
    c.layOut(*this);
    std::string why;
    const uint32_t rc = platform::WriteFileAtomic(At(c.name), "link", platform::kPublicFile, &why);
    const uint32_t appended = platform::AppendToFile(At(c.name) + ".log", "line\n");
    if (c.writtenAt) {
      EXPECT_EQ(rc, 0u) << why;
      EXPECT_EQ(appended, 0u);
      EXPECT_EQ(Read(At(c.writtenAt)), "link");
      EXPECT_EQ(Read(At(c.writtenAt) + ".log"), "line\n");
      EXPECT_EQ(why, "");
    } else {
      EXPECT_EQ(rc, platform::kErrorAccessDenied);
      EXPECT_EQ(appended, platform::kErrorAccessDenied);
      const std::string folder = At(c.name).substr(0, At(c.name).rfind('/'));
      EXPECT_THAT(why, ::testing::StartsWith(folder + " "));
      EXPECT_THAT(why, ::testing::HasSubstr(" is not written: "));
      // Nothing anywhere in the test's folders but what the case laid out.
      for (const auto& entry : fs::recursive_directory_iterator(box_->Path())) {
        const std::string name = entry.path().filename().string();
        EXPECT_EQ(name.find("Alert_Report"), std::string::npos) << entry.path();
        EXPECT_EQ(name.find(".tmp"), std::string::npos) << entry.path();
      }
    }
  }
}

// A user who swaps his desktop for a link to root's folder and back, as fast
// as he can, while the desktop is written: every write lands in his folder or
// is refused, never in root's, whatever moment the swap hits.
TEST_F(TrustedLinkTest, ADesktopSwappedInALoopNeverLetsAWriteIntoRootsFolder) {
  Folder("root", 0700);
  Folder("home", 0755);
  ASSERT_EQ(::chown(At("home").c_str(), nobody_, nobody_), 0);
  Folder("home/Desktop", 0755);
  ASSERT_EQ(::chown(At("home/Desktop").c_str(), nobody_, nobody_), 0);
  Link(At("root"), "home/swap", nobody_);
  std::atomic<bool> done{false};
  std::atomic<int> swaps{0};
  std::thread swapper([&] {
    while (!done) {
      if (::renameat2(AT_FDCWD, At("home/Desktop").c_str(), AT_FDCWD, At("home/swap").c_str(),
                      RENAME_EXCHANGE) == 0)
        ++swaps;
    }
  });
  int written = 0, refused = 0;
  for (int i = 0; i < 2000; ++i) {
    const uint32_t rc = platform::WriteFileAtomic(At("home/Desktop/Alert_Report.lnk"), "link");
    const uint32_t appended = platform::AppendToFile(At("home/Desktop/vigilo.log"), "x");
    for (uint32_t r : {rc, appended}) {
      if (r == 0) ++written;
      if (r == platform::kErrorAccessDenied) ++refused;
    }
  }
  done = true;
  swapper.join();
  EXPECT_TRUE(fs::is_empty(At("root"))) << "root's folder got a file";
  EXPECT_GT(swaps.load(), 100);
  EXPECT_GT(written, 0);
  EXPECT_GT(refused, 0);
  EXPECT_EQ(written + refused, 4000);
}

// The log's appends: through a trusted link to its target; never through an
// untrusted one, nor into a FIFO (which would block or feed a reader) or a
// hard link to another file: such a name becomes a log file of its own.
TEST_F(TrustedLinkTest, AppendsOnlyToAFileOfItsOwnOrThroughATrustedLink) {
  Folder("var", 0755);
  Link(At("var/vigilo.log"), "vigilo.log");
  ASSERT_EQ(platform::AppendToFile(At("vigilo.log"), "one\n"), 0u);
  ASSERT_EQ(platform::AppendToFile(At("vigilo.log"), "two\n"), 0u);
  EXPECT_EQ(Read(At("var/vigilo.log")), "one\ntwo\n");
  EXPECT_TRUE(S_ISLNK(ModeOf(At("vigilo.log"))));

  Write("var/shadow", "secret");
  Folder("desk", 0777);
  Link(At("var/shadow"), "desk/linked.log", nobody_);
  ASSERT_EQ(::link(At("var/shadow").c_str(), At("desk/hard.log").c_str()), 0);
  ASSERT_EQ(::mkfifo(At("desk/fifo.log").c_str(), 0666), 0);
  // A reader on the FIFO, so that an open for writing would not block.
  platform::UniqueFd reader(::open(At("desk/fifo.log").c_str(), O_RDONLY | O_NONBLOCK));
  ASSERT_GE(reader.get(), 0);
  // Each name becomes a log file of its own; what it pointed to gets nothing.
  for (const char* name : {"desk/linked.log", "desk/hard.log", "desk/fifo.log"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(platform::AppendToFile(At(name), "line\n"), 0u);
    struct stat st;
    ASSERT_EQ(::lstat(At(name).c_str(), &st), 0);
    // Fatal: reading a FIFO that is still one would block the test.
    ASSERT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_nlink, 1u);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(Read(At(name)), "line\n");
  }
  EXPECT_EQ(Read(At("var/shadow")), "secret");
  char byte;
  EXPECT_LE(::read(reader.get(), &byte, 1), 0) << "nothing went into the FIFO";
}

// A FIFO or a hard link at the final name is replaced by the rename, never
// opened; the new file takes neither the mode nor the owner of a hard link's
// target. A name of the temporary files' form planted in advance (a link, a
// FIFO) is neither followed nor opened.
TEST_F(TrustedLinkTest, ReplacesFifosHardLinksAndIgnoresPlantedTemporaryNames) {
  Folder("etc", 0755);
  const std::string victim = Write("etc/shadow", "secret");
  ASSERT_EQ(::chown(victim.c_str(), nobody_, nobody_), 0);
  ASSERT_EQ(::chmod(victim.c_str(), 0666), 0);
  Folder("desk", 0777);
  ASSERT_EQ(::mkfifo(At("desk/fifo.html").c_str(), 0666), 0);
  ASSERT_EQ(::link(victim.c_str(), At("desk/hard.html").c_str()), 0);
  const std::string planted[] = {"desk/.a.html.tmp0123456789abcdef",
                                 "desk/.a.html.tmpfedcba9876543210"};
  fs::create_symlink(victim, At(planted[0]));
  ASSERT_EQ(::mkfifo(At(planted[1]).c_str(), 0666), 0);
  for (const char* name : {"desk/fifo.html", "desk/hard.html", "desk/a.html"}) {
    SCOPED_TRACE(name);
    ASSERT_EQ(platform::WriteFileAtomic(At(name), "report"), 0u);
    EXPECT_EQ(Read(At(name)), "report");
    struct stat st;
    ASSERT_EQ(::lstat(At(name).c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_nlink, 1u);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 0777, 0644u & ~ProcessUmask());
  }
  EXPECT_EQ(Read(victim), "secret");
  EXPECT_TRUE(S_ISLNK(ModeOf(At(planted[0]))));
  EXPECT_TRUE(S_ISFIFO(ModeOf(At(planted[1]))));
}

// A relative name in a working folder that was removed has nowhere to go:
// every writer fails, and nothing lands in "/" or anywhere else.
TEST_F(FileTest, ARelativeNameInARemovedWorkingFolderIsWrittenNowhere) {
  const fs::path before = fs::current_path();
  const std::string gone = Path("gone");
  fs::create_directories(gone);
  ASSERT_EQ(::chdir(gone.c_str()), 0);
  ASSERT_EQ(::rmdir(gone.c_str()), 0);
  const std::string name = "vigilo-test-" + std::to_string(::getpid()) + ".ini";
  const uint32_t replaced = platform::WriteFileAtomic(name, "x");
  const uint32_t appended = platform::AppendToFile(name + ".log", "x");
  fs::current_path(before);
  EXPECT_EQ(replaced, platform::kErrorPathNotFound);
  EXPECT_EQ(appended, platform::kErrorPathNotFound);
  EXPECT_FALSE(fs::exists(fs::symlink_status("/" + name)));
  EXPECT_FALSE(fs::exists(fs::symlink_status("/" + name + ".log")));
  EXPECT_EQ(EntryCount(), 0u);
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
