#include "platform/profile.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/unique_fd.h"
#include "tests/support/temp_folder.h"

namespace platform {
namespace {

using testing_support::ReadFile;
using testing_support::TempFolder;

struct ReadCase {
  const char* what;
  std::string file;
  const char* section;
  const char* key;
  std::string expected;     // ReadString, default "DEF"
  std::string expectedRaw;  // ReadRawString, default "DEF"
};

const std::string kLong(3000, 'x');

const ReadCase kReadCases[] = {
    {"plain value", "[General]\r\nKey=value\r\n", "General", "Key", "value", "value"},
    {"section and key in other case", "[general]\nKEY=v\n", "GENERAL", "key", "v", "v"},
    {"blanks around names and value", "  [ General ]  \n  Key  =  a b  \n", "General", "Key", "a b",
     "a b"},
    {"missing key", "[General]\nOther=1\n", "General", "Key", "DEF", "DEF"},
    {"missing section", "[General]\nKey=1\n", "Alarms", "Key", "DEF", "DEF"},
    {"empty value is not missing", "[General]\nKey=\n", "General", "Key", "", ""},
    {"first section wins", "[S]\nA=1\n[T]\n[s]\nA=2\nB=3\n", "S", "B", "DEF", "DEF"},
    {"first key wins", "[S]\nA=1\na=2\n", "S", "A", "1", "1"},
    {"key of another section not seen", "[S]\n[T]\nA=1\n", "S", "A", "DEF", "DEF"},
    {"lines before any section not read", "A=1\n[S]\n", "S", "A", "DEF", "DEF"},
    {"double quotes stripped", "[S]\nA=\"x y\"\n", "S", "A", "x y", "\"x y\""},
    {"single quotes stripped", "[S]\nA='x'\n", "S", "A", "x", "'x'"},
    {"only one pair stripped", "[S]\nA=\"\"x\"\"\n", "S", "A", "\"x\"", "\"\"x\"\""},
    {"mixed quotes kept", "[S]\nA=\"x'\n", "S", "A", "\"x'", "\"x'"},
    {"lone quote kept", "[S]\nA=\"\n", "S", "A", "\"", "\""},
    {"quote inside kept", "[S]\nA=\"a\",\"b\"\n", "S", "A", "a\",\"b", "\"a\",\"b\""},
    {"value cut at 2047", "[S]\nA=" + kLong + "\n", "S", "A", kLong.substr(0, 2047),
     kLong.substr(0, 2047)},
    {"cut after the quotes go", "[S]\nA=\"" + kLong + "\"\n", "S", "A", kLong.substr(0, 2047),
     "\"" + kLong.substr(0, 2046)},
    {"equals sign in value", "[S]\nA=b=c\n", "S", "A", "b=c", "b=c"},
    {"lone CR ends a line", "[S]\rA=1\rB=2", "S", "B", "2", "2"},
    {"value ends at NUL", std::string("[S]\nA=ab\0cd\n", 12), "S", "A", "ab", "ab"},
    {"blanks before the NUL trimmed", std::string("[S]\nA= a b \0cd\n", 15), "S", "A", "a b",
     "a b"},
    {"quotes before the NUL stripped", std::string("[S]\nA=\"x \"\0\"\n", 13), "S", "A", "x ",
     "\"x \""},
    {"header without closing bracket is no section", "[S\nA=1\n", "S", "A", "DEF", "DEF"},
    {"refused key name reads the default", "[S]\nA=1\n", "S", "", "DEF", "DEF"},
};

TEST(ProfileFileTest, ReadsByTheProfileRules) {
  TempFolder dir;
  for (const ReadCase& c : kReadCases) {
    SCOPED_TRACE(c.what);
    ProfileFile ini(dir.Write("case.ini", c.file));
    EXPECT_EQ(ini.ReadString(c.section, c.key, "DEF"), c.expected);
    EXPECT_EQ(ini.ReadRawString(c.section, c.key, "DEF"), c.expectedRaw);
    EXPECT_EQ(ini.ValueExists(c.section, c.key), c.expected != "DEF");
  }
}

struct IntegerCase {
  const char* value;
  int32_t expected;  // default 42
};

const IntegerCase kIntegerCases[] = {
    {"12", 12},
    {"-5", -5},
    {"+3", 3},
    {"0x6E", 110},
    {"0X6e", 110},
    {"$6E", 110},
    {"-$10", -16},
    {"\"7\"", 7},
    {"2147483647", 2147483647},
    {"-2147483648", -2147483647 - 1},
    {"0x7FFFFFFF", 2147483647},
    {"2147483648", 42},
    {"0xFFFFFFFF", 42},
    {"99999999999999999999", 42},
    {"abc", 42},
    {"", 42},
    {"-", 42},
    {"0x", 42},
    {"$", 42},
    {"1.5", 42},
    {"12abc", 42},
    {"1 2", 42},
};

TEST(ProfileFileTest, ReadsIntegersDecimalAndHexadecimal) {
  TempFolder dir;
  for (const IntegerCase& c : kIntegerCases) {
    SCOPED_TRACE(c.value);
    ProfileFile ini(dir.Write("int.ini", std::string("[S]\nN=") + c.value + "\n"));
    EXPECT_EQ(ini.ReadInteger("S", "N", 42), c.expected);
  }
}

TEST(ProfileFileTest, ReadsBooleansAsIntegers) {
  TempFolder dir;
  ProfileFile ini(dir.Write("b.ini", "[S]\nTwo=2\nZero=0\nWord=yes\nMinus=-1\n"));
  EXPECT_TRUE(ini.ReadBool("S", "Two", false));
  EXPECT_FALSE(ini.ReadBool("S", "Zero", true));
  EXPECT_TRUE(ini.ReadBool("S", "Minus", false));
  EXPECT_TRUE(ini.ReadBool("S", "Word", true));
  EXPECT_FALSE(ini.ReadBool("S", "Word", false));
  EXPECT_TRUE(ini.ReadBool("S", "Missing", true));
}

TEST(ProfileFileTest, MissingFileReadsDefaultsAndIsNotCreatedWithoutWrites) {
  TempFolder dir;
  std::string path = dir.File("none.ini");
  ProfileFile ini(path);
  EXPECT_EQ(ini.ReadString("S", "A", "d"), "d");
  EXPECT_EQ(ini.ReadInteger("S", "A", 7), 7);
  EXPECT_FALSE(ini.SectionExists("S"));
  EXPECT_FALSE(ini.Modified());
  ini.Flush();
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(ProfileFileTest, WritesInPlaceAndKeepsEveryOtherLine) {
  TempFolder dir;
  const std::string original =
      "; written by hand\n"
      "[General]\n"
      "LogDetailed = 1\n"
      "odd line without equals\n"
      "  Keep=\"quoted\"  \n"
      "\n"
      "[Alarms]\r\n"
      "UseEmail=0\r\n"
      "\r\n"
      "\r\n";
  std::string path = dir.Write("vigilo.ini", original);
  ProfileFile ini(path);
  ini.WriteInteger("general", "logdetailed", 0);
  ini.WriteString("General", "Added", "new");
  ini.WriteBool("ALARMS", "UseEmail", true);
  ini.WriteString("Alarms", "AlarmMailAddr", "a@b");
  ini.WriteString("Chain00", "TrackedChain", "Nord");
  EXPECT_TRUE(ini.Modified());
  ini.Flush();
  EXPECT_FALSE(ini.Modified());

  const std::string expected =
      "; written by hand\r\n"
      "[General]\r\n"
      "LogDetailed=0\r\n"
      "odd line without equals\r\n"
      "  Keep=\"quoted\"  \r\n"
      "Added=new\r\n"
      "\r\n"
      "[Alarms]\r\n"
      "UseEmail=1\r\n"
      "AlarmMailAddr=a@b\r\n"
      "\r\n"
      "\r\n"
      "[Chain00]\r\n"
      "TrackedChain=Nord\r\n";
  EXPECT_EQ(ReadFile(path), expected);
  EXPECT_EQ(ini.Text(), expected);

  ProfileFile again(path);
  EXPECT_EQ(again.ReadInteger("General", "LogDetailed", 9), 0);
  EXPECT_EQ(again.ReadString("General", "Keep", ""), "quoted");
  EXPECT_EQ(again.ReadString("Chain00", "TrackedChain", ""), "Nord");
}

TEST(ProfileFileTest, CreatesTheFileOnFlush) {
  TempFolder dir;
  std::string path = dir.File("new.ini");
  ProfileFile ini(path);
  ini.WriteString("General", "A", "1");
  ini.WriteString("General", "B", "");
  ini.WriteString("Other", "C", "3");
  EXPECT_FALSE(std::filesystem::exists(path));  // nothing before Flush
  ini.Flush();
  EXPECT_EQ(ReadFile(path), "[General]\r\nA=1\r\nB=\r\n\r\n[Other]\r\nC=3\r\n");
}

// A read trims blanks and drops a pair of enclosing quotes: a value that has
// them of its own must come back as it was written, and not only when it is
// ordinary.
// Settings hold the mail password. A new file is 0600, or 0640 to the
// administrators' group when it exists (here "nogroup", through
// $VIGILO_GROUP), whatever the umask allows; the control pipe's replacement
// is made the same way; an existing file keeps the mode it was given.
TEST(ProfileFileTest, ANewSettingsFileIsReadableByTheAdministratorsOnly) {
  TempFolder dir;
  const mode_t old = ::umask(0);
  struct Case {
    const char* group;
    mode_t mode;
    bool ownGroup;
  } cases[] = {{"vigilo-no-such-group", 0600, false}, {"nogroup", 0640, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.group);
    if (c.ownGroup && ::geteuid() != 0) continue;  // only root may give any group
    ::setenv("VIGILO_GROUP", c.group, 1);
    const std::string flushed = dir.File(std::string(c.group) + ".ini");
    const std::string replaced = dir.File(std::string(c.group) + "-pipe.ini");
    {
      ProfileFile ini(flushed);
      ini.WriteString("Alarms", "AlarmMailPassword", "secret");
      ini.Flush();
    }
    ASSERT_EQ(ReplaceSettingsFile(replaced, "[Alarms]\r\nAlarmMailPassword=secret\r\n"), 0u);
    for (const std::string& path : {flushed, replaced}) {
      struct stat st;
      ASSERT_EQ(::stat(path.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, c.mode) << path;
      if (c.ownGroup) {
        EXPECT_EQ(st.st_gid, 65534u) << path;
      }
    }
  }
  ::unsetenv("VIGILO_GROUP");
  ::umask(old);
  const std::string kept = dir.File("kept.ini");
  dir.Write("kept.ini", "[General]\r\n");
  ASSERT_EQ(::chmod(kept.c_str(), 0644), 0);
  UpdateProfileFile(kept, [](ProfileFile& ini) { ini.WriteString("General", "X", "1"); });
  ASSERT_EQ(ReplaceSettingsFile(kept, "[General]\r\nX=2\r\n"), 0u);
  struct stat st;
  ASSERT_EQ(::stat(kept.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u) << "an administrator's choice";
}

TEST(ProfileFileTest, EveryWrittenValueReadsBackUnchanged) {
  const struct {
    std::string value;
    std::string stored;  // the line in the file
  } cases[] = {
      {"plain", "A=plain"},
      {"", "A="},
      {"a b", "A=a b"},
      {" lead", "A=\" lead\""},
      {"trail ", "A=\"trail \""},
      {"\ttab", "A=\"\ttab\""},
      {"\"quoted\"", "A=\"\"quoted\"\""},
      {"'single'", "A=\"'single'\""},
      {"\"\"", "A=\"\"\"\""},
      {"\"open", "A=\"open"},
      {"\"a\",\"b\"", "A=\"\"a\",\"b\"\""},
      {"\"" + std::string(2047, 'q') + "\"", "A=\"\"" + std::string(2047, 'q') + "\"\""},
  };
  TempFolder dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored.substr(0, 40));
    std::string path = dir.File("round.ini");
    std::filesystem::remove(path);
    {
      ProfileFile ini(path);
      ini.WriteString("S", "A", c.value);
      ini.Flush();
    }
    EXPECT_EQ(ReadFile(path), "[S]\r\n" + c.stored + "\r\n");
    ProfileFile again(path);
    EXPECT_EQ(again.ReadString("S", "A", "DEF"), c.value.substr(0, kProfileMaxValue));
  }
}

// The raw pair keeps the quotes of the value on both sides.
TEST(ProfileFileTest, RawWriteStoresTheValueAsItIs) {
  TempFolder dir;
  std::string path = dir.File("raw.ini");
  {
    ProfileFile ini(path);
    ini.WriteRawString("S", "Body", "\"a b\",\"c\"");
    ini.Flush();
  }
  EXPECT_EQ(ReadFile(path), "[S]\r\nBody=\"a b\",\"c\"\r\n");
  ProfileFile again(path);
  EXPECT_EQ(again.ReadRawString("S", "Body", ""), "\"a b\",\"c\"");
  EXPECT_THROW(again.WriteRawString("S", "Body", "a\nb"), ProfileError);
}

TEST(ProfileFileTest, WritingTheSameValueChangesNothing) {
  TempFolder dir;
  // LF line ends would become CR LF if the file were written again.
  std::string path = dir.Write("same.ini", "[S]\nA=1\nB=x\n");
  ProfileFile ini(path);
  ini.WriteInteger("S", "A", 1);
  ini.WriteString("s", "b", "x");
  ini.EraseSection("Missing");
  EXPECT_FALSE(ini.Modified());
  ini.Flush();
  EXPECT_EQ(ReadFile(path), "[S]\nA=1\nB=x\n");
}

TEST(ProfileFileTest, WriteGoesToTheFirstOccurrence) {
  TempFolder dir;
  std::string path = dir.Write("dup.ini", "[S]\nA=1\nA=2\n[T]\n[s]\nA=3\n");
  ProfileFile ini(path);
  ini.WriteString("S", "A", "9");
  ini.WriteString("S", "B", "8");
  EXPECT_EQ(ini.Text(), "[S]\r\nA=9\r\nA=2\r\nB=8\r\n[T]\r\n[s]\r\nA=3\r\n");
  EXPECT_EQ(ini.ReadString("S", "B", ""), "8");
}

TEST(ProfileFileTest, EraseSectionRemovesEveryOccurrenceWithItsLines) {
  TempFolder dir;
  std::string path = dir.Write(
      "erase.ini", "[Chain00]\nA=1\n; note\n\n[General]\nX=1\n[chain00]\nB=2\n[Chain01]\n");
  ProfileFile ini(path);
  ini.EraseSection("CHAIN00");
  EXPECT_FALSE(ini.SectionExists("Chain00"));
  EXPECT_TRUE(ini.SectionExists("Chain01"));
  EXPECT_EQ(ini.ReadString("General", "X", ""), "1");
  ini.Flush();
  EXPECT_EQ(ReadFile(path), "[General]\r\nX=1\r\n[Chain01]\r\n");
}

TEST(ProfileFileTest, ListsEachSectionOnceInFileOrder) {
  TempFolder dir;
  ProfileFile ini(dir.Write("list.ini", "A=1\n[General]\n[Chain01]\n[general]\n[ Chain00 ]\n"));
  EXPECT_EQ(ini.SectionNames(), (std::vector<std::string>{"General", "Chain01", "Chain00"}));
}

struct RefusedWrite {
  const char* what;
  std::string section;
  std::string key;
  std::string value;
};

const RefusedWrite kRefusedWrites[] = {
    {"CR in value", "S", "A", "a\rb"},
    {"LF in value", "S", "A", "a\nb"},
    {"NUL in value", "S", "A", std::string("a\0b", 3)},
    {"LF in key", "S", "A\nB", "v"},
    {"equals in key", "S", "A=B", "v"},
    {"empty key", "S", "  ", "v"},
    {"key that opens a section", "S", "[A]", "v"},
    {"bracket in section", "S]x", "A", "v"},
    {"LF in section", "S\n", "A", "v"},
};

TEST(ProfileFileTest, RefusesNamesAndValuesThatWouldBreakTheFile) {
  TempFolder dir;
  std::string path = dir.Write("refuse.ini", "[S]\nA=1\n");
  for (const RefusedWrite& c : kRefusedWrites) {
    SCOPED_TRACE(c.what);
    ProfileFile ini(path);
    try {
      ini.WriteString(c.section, c.key, c.value);
      ADD_FAILURE() << "no error";
    } catch (const ProfileError& e) {
      EXPECT_EQ(std::string(e.what()), "Unable to write to " + path);
    }
    EXPECT_FALSE(ini.Modified());
    EXPECT_EQ(ini.Text(), "[S]\r\nA=1\r\n");
  }
  ProfileFile ini(path);
  EXPECT_THROW(ini.EraseSection("S]"), ProfileError);
}

TEST(ProfileFileTest, FlushFailureLeavesTheOldFileWhole) {
  TempFolder dir;
  std::string path = dir.Write("settings.ini", "[S]\nA=1\n");
  ProfileFile ini(path);
  ini.WriteString("S", "A", "2");
  // A non-empty folder now stands where the file was: the rename must fail.
  std::string moved = dir.File("moved.ini");
  std::filesystem::rename(path, moved);
  std::filesystem::create_directory(path);
  dir.Write("settings.ini/inside", "keep");
  try {
    ini.Flush();
    ADD_FAILURE() << "no error";
  } catch (const ProfileError& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + path);
  }
  EXPECT_TRUE(ini.Modified());
  EXPECT_EQ(ReadFile(path + "/inside"), "keep");
  EXPECT_EQ(ReadFile(moved), "[S]\nA=1\n");
  // No temporary file is left behind.
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"moved.ini", "settings.ini"}));
}

TEST(ProfileFileTest, FlushIntoAMissingFolderFails) {
  TempFolder dir;
  std::string path = dir.File("no/such/folder.ini");
  ProfileFile ini(path);
  ini.WriteString("S", "A", "1");
  EXPECT_THROW(ini.Flush(), ProfileError);
}

TEST(ProfileFileTest, UnreadableFileThrows) {
  TempFolder dir;
  std::string path = dir.File("folder.ini");
  std::filesystem::create_directory(path);
  try {
    ProfileFile ini(path);
    ADD_FAILURE() << "no error";
  } catch (const ProfileError& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to read " + path);
  }
}

// A settings file is small: one that is not is refused rather than held in
// memory whole.
TEST(ProfileFileTest, AFileAboveTheSizeLimitIsNotRead) {
  TempFolder dir;
  std::string path = dir.File("huge.ini");
  std::filesystem::resize_file(dir.Write("huge.ini", "[S]\nA=1\n"), kProfileMaxFileSize);
  EXPECT_EQ(ProfileFile(path).ReadString("S", "A", ""), "1");
  std::filesystem::resize_file(path, kProfileMaxFileSize + 1);
  try {
    ProfileFile ini(path);
    ADD_FAILURE() << "no error";
  } catch (const ProfileError& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to read " + path);
  }
}

// A file without write permission stays as it is, as the control pipe leaves
// it: the rename would replace it all the same.
TEST(ProfileFileTest, AReadOnlyFileIsNotReplaced) {
  TempFolder dir;
  std::string path = dir.Write("readonly.ini", "[S]\nA=1\n");
  ::chmod(path.c_str(), 0444);
  ProfileFile ini(path);
  ini.WriteString("S", "A", "2");
  try {
    ini.Flush();
    ADD_FAILURE() << "no error";
  } catch (const ProfileError& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + path);
  }
  EXPECT_EQ(ReadFile(path), "[S]\nA=1\n");
}

TEST(ProfileFileTest, KeepsTheModeOfAnExistingFile) {
  TempFolder dir;
  std::string path = dir.Write("mode.ini", "[S]\n");
  ::chmod(path.c_str(), 0600);
  ProfileFile ini(path);
  ini.WriteString("S", "A", "1");
  ini.Flush();
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(ProfileFileTest, ReadsAValueLongerThanTheLimitCutButWritesWhole) {
  TempFolder dir;
  std::string path = dir.File("long.ini");
  ProfileFile ini(path);
  ini.WriteString("S", "A", kLong);
  ini.Flush();
  EXPECT_EQ(ReadFile(path), "[S]\r\nA=" + kLong + "\r\n");
  ProfileFile again(path);
  EXPECT_EQ(again.ReadString("S", "A", "").size(), kProfileMaxValue);
}

// Saves killed half way: a child replaces the settings file over and over and
// is stopped as soon as a temporary file appears, then killed. Until the
// temporary file holds the whole data it is its owner's alone (it holds the
// mail password); the next save removes what the killed ones left.
TEST(ReplaceSettingsFileTest, KilledSavesLeaveNoTemporaryFileAfterTheNextSave) {
  TempFolder dir;
  const std::string path = dir.Write("vigilo.ini", "[Mail]\r\nAlarmMailPassword=old\r\n");
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  const std::string data(16 << 20, 'x');
  const std::string prefix = ".vigilo.ini.tmp";
  platform::UniqueFd watch(::inotify_init1(IN_CLOEXEC));
  ASSERT_GE(watch.get(), 0);
  ASSERT_GE(::inotify_add_watch(watch.get(), dir.Path().c_str(), IN_CREATE), 0);
  int partial = 0;
  for (int round = 0; round < 200 && partial < 2; ++round) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (;;) ReplaceSettingsFile(path, data);
    }
    std::string temp;
    alignas(struct inotify_event) char buffer[4096];
    while (temp.empty()) {
      ssize_t n = ::read(watch.get(), buffer, sizeof buffer);
      ASSERT_GT(n, 0);
      for (char* at = buffer; at < buffer + n;) {
        auto* event = reinterpret_cast<struct inotify_event*>(at);
        std::string name = event->len ? event->name : "";
        if (temp.empty() && name.rfind(prefix, 0) == 0) temp = dir.File(name);
        at += sizeof(struct inotify_event) + event->len;
      }
    }
    ::kill(child, SIGSTOP);
    int status;
    ASSERT_EQ(::waitpid(child, &status, WUNTRACED), child);
    struct stat st;
    if (::stat(temp.c_str(), &st) == 0 && static_cast<size_t>(st.st_size) < data.size()) {
      ++partial;
      EXPECT_EQ(st.st_mode & 0777, 0600u) << "a temporary file others can read";
    }
    ::kill(child, SIGKILL);
    ASSERT_EQ(::waitpid(child, &status, 0), child);
  }
  ASSERT_GT(partial, 0) << "no save was stopped half way";
  auto temporaryFiles = [&] {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
      count += entry.path().filename().string().rfind(prefix, 0) == 0;
    }
    return count;
  };
  EXPECT_GE(temporaryFiles(), 1);
  ASSERT_EQ(ReplaceSettingsFile(path, "[Mail]\r\n"), 0u);
  EXPECT_EQ(temporaryFiles(), 0);
  EXPECT_EQ(ReadFile(path), "[Mail]\r\n");
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST(LockSettingsFileTest, OneLockPerFileWhateverThePathSpelling) {
  TempFolder dir;
  std::filesystem::create_directory(dir.File("sub"));
  std::filesystem::create_directory_symlink(dir.Path(), dir.File("link"));
  auto first = LockSettingsFile(dir.File("vigilo.ini"));
  std::mutex* lock = first.mutex();
  first.unlock();
  for (const std::string& alias :
       {dir.File("sub/../vigilo.ini"), dir.File("./vigilo.ini"), dir.File("link/vigilo.ini")}) {
    SCOPED_TRACE(alias);
    auto other = LockSettingsFile(alias);
    EXPECT_EQ(other.mutex(), lock);
  }
  auto different = LockSettingsFile(dir.File("qorsvc.ini"));
  EXPECT_NE(different.mutex(), lock);
  EXPECT_TRUE(different.owns_lock());
}

}  // namespace
}  // namespace platform
