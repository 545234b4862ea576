#include "service/shelserv.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <vector>

#include "common/exceptions.h"
#include "platform/text.h"
#include "tests/service/lnkinfo_reader.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadWithLnkinfo;
using testing_support::TempFolder;

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// ---- The shortcut file ----

class ShortcutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(temp_.File("Reports"));
    report_ = temp_.Write("Reports/alert_report.html", "<html></html>");
    // 2024-01-02 03:04:05.123456789 UTC, for the header's times.
    const timespec times[2] = {{1704164645, 123456789}, {1704164645, 123456789}};
    ASSERT_EQ(::utimensat(AT_FDCWD, report_.c_str(), times, 0), 0);
  }
  // The check run's own shortcut, with another description.
  void Create(const std::string& link, const std::string& description) {
    CreateShortcut(link, description, report_, "", temp_.File("Reports"), temp_.File("report.ico"),
                   0);
  }
  TempFolder temp_;
  std::string report_;
};

TEST_F(ShortcutTest, LnkinfoReadsWhatWasWritten) {
  struct {
    const char* linkName;  // cp1252, like every text of the service
    const char* description;
    const char* arguments;
    int32_t iconIndex;
  } cases[] = {
      {"Alert_Report.lnk", "Alert report", "", 0},
      {"Rapport \xE9t\xE9.lnk", "Rapport d'alerte \x80 \xE9t\xE9", "--vue compl\xE8te", 7},
      {"Alert_Report.lnk", "", "", -3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.linkName + std::string(" ") + c.description);
    const std::string link = temp_.Path() + "/" + c.linkName;
    CreateShortcut(link, c.description, report_, c.arguments, temp_.File("Reports"),
                   temp_.File("report.ico"), c.iconIndex);

    // lnkinfo prints UTF-8; the file name on disk is UTF-8 too.
    auto info = ReadWithLnkinfo(platform::Cp1252ToUtf8(link));
    ASSERT_EQ(info.exitStatus, 0) << info.output;
    auto& f = info.fields;
    EXPECT_EQ(f["Local path"], report_);
    EXPECT_EQ(f["Working directory"], temp_.File("Reports"));
    if (*c.description) {
      EXPECT_EQ(f["Description"], platform::Cp1252ToUtf8(c.description));
    } else {
      EXPECT_EQ(f.count("Description"), 0u) << info.output;
    }
    EXPECT_EQ(f["Icon location"], temp_.File("report.ico"));
    EXPECT_EQ(f["Icon index"], std::to_string(c.iconIndex));
    EXPECT_EQ(f["Modification time"], "Jan 02, 2024 03:04:05.123456700 UTC");
    EXPECT_EQ(f["File size"], "13 bytes");
    EXPECT_EQ(f["Drive type"], "Fixed (3)");
    if (*c.arguments) {
      EXPECT_EQ(f["Command line arguments"], platform::Cp1252ToUtf8(c.arguments));
    } else {
      EXPECT_EQ(f.count("Command line arguments"), 0u) << info.output;
    }
  }
}

TEST_F(ShortcutTest, ExistingShortcutIsReplaced) {
  const std::string link = temp_.File("Alert_Report.lnk");
  Create(link, "first check");
  Create(link, "second check");
  EXPECT_EQ(ReadWithLnkinfo(link).fields["Description"], "second check");
  EXPECT_EQ(Names(temp_.Path()), (std::vector<std::string>{"Alert_Report.lnk", "Reports"}))
      << "no temporary file left";
}

// Runs `body` in a child process that may not write into folders it does
// not own: as "nobody" when the tests run as root. Returns its exit status.
int RunUnprivileged(const std::function<int()>& body) {
  const passwd* nobody = ::getpwnam("nobody");
  const bool root = ::geteuid() == 0;
  if (root && !nobody) return -2;
  const uid_t uid = root ? nobody->pw_uid : 0;
  const gid_t gid = root ? nobody->pw_gid : 0;
  pid_t pid = ::fork();
  if (pid == 0) {
    if (root && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)) {
      ::_exit(100);
    }
    ::_exit(body());
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(ShortcutTest, FolderThatIsNotWritableRaisesAndKeepsTheOldShortcut) {
  const std::string desk = temp_.File("Desktop");
  fs::create_directories(desk);
  const std::string link = desk + "/Alert_Report.lnk";
  Create(link, "the old shortcut");
  const std::string before = testing_support::ReadFile(link);
  ASSERT_EQ(::chmod(temp_.Path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(desk.c_str(), 0555), 0);

  int status = RunUnprivileged([&] {
    try {
      Create(link, "the new shortcut");
      return 1;
    } catch (const Exception& e) {
      if (e.Message() == "Access is denied") return 0;
      std::cerr << "message: " << e.Message() << "\n";
      return 2;
    }
  });
  ::chmod(desk.c_str(), 0755);
  EXPECT_EQ(status, 0) << "1: no error; 2: another message";
  EXPECT_EQ(testing_support::ReadFile(link), before);
  EXPECT_EQ(Names(desk), std::vector<std::string>{"Alert_Report.lnk"}) << "no temporary file";
}

// ---- The desktop folder, from the process environment ----

class DesktopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kVariables) {
      if (const char* value = std::getenv(name)) saved_.emplace_back(name, value);
      ::unsetenv(name);
    }
    ::setenv("HOME", temp_.File("home").c_str(), 1);
  }
  void TearDown() override {
    for (const char* name : kVariables) ::unsetenv(name);
    for (const auto& [name, value] : saved_) ::setenv(name.c_str(), value.c_str(), 1);
  }
  static constexpr const char* kVariables[] = {"VIGILO_COMMON_DESKTOP", "XDG_DESKTOP_DIR",
                                               "XDG_CONFIG_HOME", "HOME"};
  std::vector<std::pair<std::string, std::string>> saved_;
  TempFolder temp_;
};

TEST_F(DesktopTest, CommonElseAccountElseError) {
  struct {
    const char* common;    // a folder made below the test's folder, UTF-8; nullptr: unset
    const char* account;   // made as HOME/Desktop when set
    const char* expected;  // cp1252, below the test's folder; nullptr: an error
  } cases[] = {
      {"Public Desktop", "x", "/Public Desktop"},
      {"Bureau \xC3\xA9t\xC3\xA9", nullptr, "/Bureau \xE9t\xE9"},
      {nullptr, "x", "/home/Desktop"},
      {nullptr, nullptr, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected ? c.expected : "error");
    fs::remove_all(temp_.File("home"));
    if (c.account) fs::create_directories(temp_.File("home/Desktop"));
    if (c.common) {
      fs::create_directories(temp_.File(c.common));
      ::setenv("VIGILO_COMMON_DESKTOP", temp_.File(c.common).c_str(), 1);
    } else {
      ::unsetenv("VIGILO_COMMON_DESKTOP");
    }
    std::string path = "as it was";
    if (c.expected) {
      GetDesktopFolder(0, path);
      EXPECT_EQ(path, temp_.Path() + c.expected);
    } else {
      EXPECT_THROW(GetDesktopFolder(0, path), Exception);
      EXPECT_EQ(path, "as it was");
    }
  }
}

TEST_F(DesktopTest, FolderThatCp1252CannotSpellLeavesPathAsItWas) {
  const std::string desk = temp_.File("\xE6\xA1\x8C\xE9\x9D\xA2");  // 桌面
  fs::create_directories(desk);
  ::setenv("VIGILO_COMMON_DESKTOP", desk.c_str(), 1);
  std::string path = "as it was";
  GetDesktopFolder(0, path);
  EXPECT_EQ(path, "as it was");
}

// ---- The icon of the shortcut ----

uint32_t Le(const std::string& d, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(d.at(at + i));
  return v;
}

TEST(ReportIconTest, IsAWindowsIconWithA32By32Image) {
  const std::string ico = testing_support::ReadFile(REPORT_ICO);
  ASSERT_GE(ico.size(), 6u + 16u + 40u);
  EXPECT_EQ(Le(ico, 0, 2), 0u);
  EXPECT_EQ(Le(ico, 2, 2), 1u) << "type 1: icon";
  ASSERT_EQ(Le(ico, 4, 2), 1u) << "one image";
  const uint32_t width = Le(ico, 6, 1), height = Le(ico, 7, 1), bits = Le(ico, 12, 2);
  const uint32_t size = Le(ico, 14, 4), offset = Le(ico, 18, 4);
  EXPECT_EQ(width, 32u);
  EXPECT_EQ(height, 32u);
  EXPECT_EQ(bits, 32u);
  ASSERT_EQ(offset + size, ico.size()) << "the image fills the rest of the file";
  // The image is a bitmap: its header, colour rows, then a 1-bit mask whose
  // rows are padded to 32 bits.
  EXPECT_EQ(Le(ico, offset, 4), 40u);
  EXPECT_EQ(Le(ico, offset + 4, 4), width);
  EXPECT_EQ(Le(ico, offset + 8, 4), 2 * height) << "colour and mask";
  EXPECT_EQ(Le(ico, offset + 14, 2), bits);
  EXPECT_EQ(size, 40 + width * height * 4 + (width + 31) / 32 * 4 * height);
}

}  // namespace
