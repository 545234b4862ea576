#include "common/Comserv.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "common/exceptions.h"
#include "tests/common/log_time_support.h"

namespace {

using logtime_test::ScopedEnv;
using testing_support::TempFolder;

struct FieldCase {
  const char* text;
  char sep;
  int32_t index;
  const char* field;
};

TEST(Comserv, GetFieldSplitsAtEverySeparator) {
  const FieldCase cases[] = {
      {"a,b,,d", ',', 0, "a"},
      {"a,b,,d", ',', 1, "b"},
      {"a,b,,d", ',', 2, ""},
      {"a,b,,d", ',', 3, "d"},
      {"a,b,,d", ',', 4, ""},
      {",a", ',', 0, ""},
      {",a", ',', 1, "a"},
      {"a,", ',', 1, ""},
      {"Dim|Lun|Mar|Mer|Jeu|Ven|Sam|", '|', 0, "Dim"},
      {"Dim|Lun|Mar|Mer|Jeu|Ven|Sam|", '|', 6, "Sam"},
      {"Dim|Lun|Mar|Mer|Jeu|Ven|Sam|", '|', 7, ""},
      {"a,b", ',', -1, ""},
      {"a,b", ',', INT32_MIN, ""},
      {"", ',', 0, ""},
      {"no separator", ',', 0, "no separator"},
      {"no separator", ',', 1, ""},
      {"A;a", 'a', 0, "A;"},
      {"\xe9t\xe9\xe9t\xe9", '\xe9', 3, "t"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GetField(c.text, c.sep, c.index), c.field)
        << "'" << c.text << "' '" << c.sep << "' " << c.index;
  }
}

TEST(Comserv, GetFieldKeepsAtMost255Characters) {
  const std::string longField(300, 'x');
  EXPECT_EQ(GetField("a:" + longField + ":b", ':', 1), std::string(255, 'x'));
  EXPECT_EQ(GetField("a:" + longField + ":b", ':', 2), "b");
  EXPECT_EQ(GetField(std::string(255, 'y'), ':', 0), std::string(255, 'y'));
}

TEST(Comserv, FileSizeByNameGivesTheFull64BitSize) {
  TempFolder folder;
  const std::string sparse = folder.File("big.bin");
  // Beyond 4 GiB, so that the high half of the size counts; holes take no space.
  const int64_t size = (int64_t{5} << 30) + 7;
  const int fd = ::open(sparse.c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, size), 0);
  ::close(fd);
  EXPECT_EQ(FileSizeByName(sparse), size);

  const std::string small = folder.File("small.txt");
  std::ofstream(small) << "12345";
  EXPECT_EQ(FileSizeByName(small), 5);
  std::ofstream(folder.File("empty.txt")).close();
  EXPECT_EQ(FileSizeByName(folder.File("empty.txt")), 0);
}

TEST(Comserv, FileSizeByNameGivesZeroForFoldersAndMissingFiles) {
  TempFolder folder;
  EXPECT_EQ(FileSizeByName(folder.Path()), 0);
  EXPECT_EQ(FileSizeByName(folder.File("missing.txt")), 0);
  EXPECT_EQ(FileSizeByName(folder.File("missing/below.txt")), 0);
  EXPECT_EQ(FileSizeByName(""), 0);
}

struct SystemTimeCase {
  TSystemTime st;
  const char* text;
};

TEST(Comserv, FormatSystemTimePrintsTheFieldsAsTheyAre) {
  const SystemTimeCase cases[] = {
      {{2024, 3, 6, 2, 7, 5, 9, 500}, "02.03.2024 07:05:09"},
      {{}, "00.00.0000 00:00:00"},
      {{12345, 13, 0, 99, 100, 60, 61, 0}, "99.13.12345 100:60:61"},
      {{1, 1, 0, 1, 0, 0, 0, 0}, "01.01.0001 00:00:00"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatSystemTime(c.st), c.text);
}

TEST(Comserv, SafeSystemTimeToDateTimeGivesZeroForInvalidRecords) {
  const TSystemTime valid{2024, 3, 6, 2, 7, 5, 9, 500};
  EXPECT_EQ(SafeSystemTimeToDateTime(valid), EncodeDate(2024, 3, 2) + EncodeTime(7, 5, 9, 500));
  TSystemTime anyWeekDay = valid;
  anyWeekDay.wDayOfWeek = 9;
  EXPECT_EQ(SafeSystemTimeToDateTime(anyWeekDay), SafeSystemTimeToDateTime(valid));

  const TSystemTime invalid[] = {
      {},
      {2024, 13, 0, 1, 0, 0, 0, 0},
      {2024, 0, 0, 1, 0, 0, 0, 0},
      {2023, 2, 0, 29, 0, 0, 0, 0},
      {2024, 4, 0, 31, 0, 0, 0, 0},
      {0, 1, 0, 1, 0, 0, 0, 0},
      {10000, 1, 0, 1, 0, 0, 0, 0},
      {2024, 1, 0, 1, 24, 0, 0, 0},
      {2024, 1, 0, 1, 0, 60, 0, 0},
      {2024, 1, 0, 1, 0, 0, 60, 0},
      {2024, 1, 0, 1, 0, 0, 0, 1000},
  };
  for (const auto& st : invalid) EXPECT_EQ(SafeSystemTimeToDateTime(st), 0) << FormatSystemTime(st);
}

TEST(Comserv, GetAppDirIsTheFolderOfTheExecutable) {
  EXPECT_EQ(GetAppDir(), VIGILO_TEST_BINARY_DIR);
}

TEST(Comserv, SetTempToAppDirPointsTheTemporaryFoldersAtIt) {
  ScopedEnv temp("TEMP", "/nowhere/temp");
  ScopedEnv tmp("TMP", std::nullopt);
  ScopedEnv tmpdir("TMPDIR", "/nowhere/tmpdir");
  SetTempToAppDir();
  for (const char* name : {"TEMP", "TMP", "TMPDIR"}) {
    const char* value = std::getenv(name);
    ASSERT_NE(value, nullptr) << name;
    EXPECT_EQ(std::string(value), VIGILO_TEST_BINARY_DIR) << name;
  }
}

TEST(Comserv, PathsCrossBetweenCp1252AndTheFileSystemOnce) {
  struct Case {
    const char* text;    // cp1252
    const char* onDisk;  // UTF-8
  } cases[] = {
      {"/srv/plain/x.ini", "/srv/plain/x.ini"},
      {"/srv/d\xE9p\xF4t/app", "/srv/d\xC3\xA9p\xC3\xB4t/app"},
      {"/\x80/\x9C", "/\xE2\x82\xAC/\xC5\x93"},  // €, œ: the code page's own letters
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PathOnDisk(c.text), c.onDisk) << c.text;
    EXPECT_EQ(PathFromDisk(c.onDisk), c.text) << c.onDisk;
  }
}

TEST(Comserv, PathFromDiskRefusesANameCp1252CannotSpell) {
  for (const char* onDisk : {"/srv/\xCE\xA9mega", "/srv/\xE6\x97\xA5", "/srv/bad\xFF"}) {
    try {
      PathFromDisk(onDisk);
      ADD_FAILURE() << onDisk << " gave a path";
    } catch (const Exception& e) {
      EXPECT_NE(std::string(e.what()).find("cannot hold"), std::string::npos) << e.what();
    }
  }
}

}  // namespace
