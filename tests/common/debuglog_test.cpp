#include "common/debuglog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/common/log_time_support.h"

namespace {

using logtime_test::ScopedEnv;
using platform::EventType;
using testing_support::TempFolder;

struct Event {
  EventType type;
  std::string message;
  bool operator==(const Event&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Event& e) {
  return os << (e.type == EventType::Error ? "error: " : "information: ") << e.message;
}

// Records the reports; the log's lock is the only thing that keeps two
// threads from writing `events` at once.
class FakeSink : public platform::EventSink {
 public:
  void ReportEvent(EventType type, const std::string& message) override {
    events.push_back({type, message});
  }
  std::vector<Event> events;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

class Log : public testing::Test {
 protected:
  void SetUp() override {
    SetLogClock([] { return EncodeDate(2024, 3, 2) + EncodeTime(7, 5, 9, 750); });
    SetLogTarget(nullptr, file_);
  }
  void TearDown() override {
    ClearLogTarget();
    SetLogClock({});
  }

  TempFolder folder_;
  const std::string file_ = folder_.File("vigilo.log");
};

struct LineCase {
  std::string message;
  std::string line;
};

TEST_F(Log, WritesOneLinePerMessageByteForByte) {
  const LineCase cases[] = {
      {"Service started", "02/03/2024 07:05:09\tService started\n"},
      {"a\r\nb", "02/03/2024 07:05:09\ta b\n"},
      {"a\nb", "02/03/2024 07:05:09\ta\nb\n"},
      {"a\rb", "02/03/2024 07:05:09\ta\rb\n"},
      {"\r\r\n", "02/03/2024 07:05:09\t\r \n"},
      {"\r\n\n\r\n\r\n", "02/03/2024 07:05:09\t \n  \n"},
      {"", "02/03/2024 07:05:09\t\n"},
      {"caf\xe9 %s %n 100%", "02/03/2024 07:05:09\tcaf\xc3\xa9 %s %n 100%\n"},
      {"\x80 \x9c \x81", "02/03/2024 07:05:09\t\xe2\x82\xac \xc5\x93 \xc2\x81\n"},
      {std::string("nul\0byte", 8), std::string("02/03/2024 07:05:09\tnul\0byte\n", 29)},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(::unlink(file_.c_str()) == 0 || errno == ENOENT, true);
    WriteLog(0, c.message);
    EXPECT_EQ(ReadFile(file_), c.line);
  }
}

TEST_F(Log, AppendsToTheFile) {
  std::ofstream(file_, std::ios::binary) << "earlier line\r\n";
  WriteLog(0, "one");
  SetLogClock([] { return EncodeDate(2024, 12, 31) + EncodeTime(23, 59, 59, 0); });
  WriteLog(3, "two");
  WriteLogLine("three\r\nfour");
  EXPECT_EQ(ReadFile(file_),
            "earlier line\r\n"
            "02/03/2024 07:05:09\tone\n"
            "31/12/2024 23:59:59\ttwo\n"
            "three four\n");
}

TEST_F(Log, ReportsTheMessageWithTheEventTypeOfItsLevel) {
  FakeSink sink;
  SetLogTarget(&sink, file_);
  const std::pair<int32_t, EventType> levels[] = {
      {0, EventType::Information},   {1, EventType::Information},   {2, EventType::Information},
      {3, EventType::Error},         {4, EventType::Error},         {-1, EventType::Error},
      {INT32_MIN, EventType::Error}, {INT32_MAX, EventType::Error},
  };
  std::string expectedFile;
  for (const auto& [level, type] : levels) {
    sink.events.clear();
    WriteLog(level, "line\r\nbreak");
    EXPECT_EQ(sink.events, std::vector<Event>{(Event{type, "line\r\nbreak"})}) << level;
    expectedFile += "02/03/2024 07:05:09\tline break\n";
  }
  EXPECT_EQ(ReadFile(file_), expectedFile);
}

TEST_F(Log, AfterClearLogTargetTheFileStaysAndReportsStop) {
  FakeSink sink;
  SetLogTarget(&sink, file_);
  WriteLog(0, "before");
  ClearLogTarget();
  WriteLog(3, "after");
  EXPECT_EQ(LogFileName(), file_);
  EXPECT_EQ(sink.events, std::vector<Event>{(Event{EventType::Information, "before"})});
  EXPECT_EQ(ReadFile(file_), "02/03/2024 07:05:09\tbefore\n02/03/2024 07:05:09\tafter\n");
}

TEST_F(Log, AnUnwritableFileLosesTheLineButStillReports) {
  FakeSink sink;
  const std::string places[] = {folder_.Path(), folder_.File("missing/vigilo.log"), ""};
  for (const auto& place : places) {
    SetLogTarget(&sink, place);
    WriteLog(3, "lost line");
    WriteLogLine("lost too");
  }
  EXPECT_EQ(sink.events.size(), 3u);
  EXPECT_FALSE(std::filesystem::exists(folder_.File("missing")));
}

// Breaks the sink's promise never to throw.
class ThrowingSink : public platform::EventSink {
 public:
  void ReportEvent(EventType, const std::string&) override {
    throw std::runtime_error("report refused");
  }
};

TEST_F(Log, AFailingReportIsSwallowedAfterTheFileLine) {
  ThrowingSink sink;
  SetLogTarget(&sink, file_);
  EXPECT_NO_THROW(WriteLog(3, "one"));
  // The log is not left locked: the next line goes through as well.
  EXPECT_NO_THROW(WriteLog(0, "two"));
  EXPECT_EQ(ReadFile(file_), "02/03/2024 07:05:09\tone\n02/03/2024 07:05:09\ttwo\n");
}

TEST_F(Log, TruncateDeletesOnlyAFileLargerThan128KiB) {
  const std::pair<size_t, bool> cases[] = {{131072, true}, {131073, false}, {0, true}};
  for (const auto& [size, stays] : cases) {
    std::ofstream(file_, std::ios::binary) << std::string(size, 'x');
    TruncateLogFile();
    EXPECT_EQ(std::filesystem::exists(file_), stays) << size;
    if (stays) {
      EXPECT_EQ(std::filesystem::file_size(file_), size);
    }
  }
  WriteLog(0, "fresh");
  EXPECT_EQ(ReadFile(file_), "02/03/2024 07:05:09\tfresh\n");

  std::filesystem::remove(file_);
  TruncateLogFile();  // a missing file: nothing happens
  EXPECT_FALSE(std::filesystem::exists(file_));
  SetLogTarget(nullptr, folder_.Path());
  TruncateLogFile();  // a folder is no log file
  EXPECT_TRUE(std::filesystem::is_directory(folder_.Path()));
}

// The file is UTF-8, so grep finds an accented word as it is typed.
TEST_F(Log, AnAccentedMessageIsFoundInUtf8) {
  WriteLog(0, "le message est envoy\xE9 avec succ\xE8s.");
  const std::string content = ReadFile(file_);
  EXPECT_NE(content.find("envoy\xC3\xA9"), std::string::npos) << content;
  EXPECT_NE(content.find("succ\xC3\xA8s."), std::string::npos) << content;
  EXPECT_EQ(content.find('\xE9'), std::string::npos) << "no cp1252 byte left";
  EXPECT_EQ(content.find('\r'), std::string::npos) << "LF line ends";
}

// A log kept elsewhere (/var/log) and linked in by root: lines go to the
// file behind the link, and the truncation deletes that file, not the link.
// A link of another user is never written through.
TEST_F(Log, FollowsOnlyATrustedLinkAndTruncatesTheFileBehindIt) {
  TempFolder trusted(TempFolder::TrustedBase(TRUSTED_TEST_BASE));
  if (!TempFolder::IsTrustedTree(trusted.Path())) {
    GTEST_SKIP() << trusted.Path() << " lies in a folder others may write";
  }
  const std::string real = trusted.File("var/vigilo.log");
  const std::string link = trusted.File("vigilo.log");
  std::filesystem::create_directories(trusted.File("var"));
  ::chmod(trusted.File("var").c_str(), 0755);
  std::filesystem::create_symlink(real, link);
  SetLogTarget(nullptr, link);
  WriteLog(0, "through the link");
  EXPECT_EQ(ReadFile(real), "02/03/2024 07:05:09\tthrough the link\n");
  std::ofstream(real, std::ios::binary | std::ios::app) << std::string(131072, 'x');
  TruncateLogFile();
  EXPECT_FALSE(std::filesystem::exists(real));
  EXPECT_TRUE(std::filesystem::is_symlink(std::filesystem::symlink_status(link)));
  WriteLog(0, "fresh");
  EXPECT_EQ(ReadFile(real), "02/03/2024 07:05:09\tfresh\n");

  if (::geteuid() != 0) GTEST_SKIP() << "a link of another user needs root";
  const std::string victim = trusted.File("var/shadow");
  std::ofstream(victim, std::ios::binary) << "secret";
  const std::string planted = trusted.File("planted.log");
  std::filesystem::create_symlink(victim, planted);
  ASSERT_EQ(::lchown(planted.c_str(), 65534, 65534), 0);
  SetLogTarget(nullptr, planted);
  WriteLog(3, "not into the victim");
  EXPECT_EQ(ReadFile(victim), "secret");
}

TEST_F(Log, ReadsTheLocalClockByDefault) {
  SetLogClock({});
  const TDateTime before = Now();
  WriteLog(0, "now");
  const TDateTime after = Now();
  const std::string line = ReadFile(file_);
  ASSERT_EQ(line.size(), 19u + 5u);
  const TDateTime written = StrToDateTime(line.substr(0, 19), FixedFormatSettings());
  // Whole seconds are written: the line may be up to one second before `before`.
  EXPECT_GE(written, before - 1.0 / 86400);
  EXPECT_LE(written, after);
  EXPECT_EQ(line.substr(19), "\tnow\n");
}

TEST_F(Log, FormatSettingsAreFixedWhateverTheLocale) {
  TFormatSettings fs;
  fs.DecimalSeparator = ',';
  fs.DateSeparator = '.';
  fs.TimeSeparator = '.';
  fs.ShortDateFormat = "yy";
  fs.ShortTimeFormat = "h";
  fs.LongTimeFormat = "h";
  InitLogFormatSettings(fs);
  logtime_test::ExpectFixedFormatSettings(fs);

  // A locale whose own separators differ from every fixed one.
  const std::string locpath = logtime_test::BuildLocale("fi_FI");
  if (locpath.empty()) GTEST_SKIP() << "localedef or the fi_FI locale sources are missing";
  ScopedEnv path("LOCPATH", locpath);
  ScopedEnv all("LC_ALL", "fi_FI.UTF-8");
  ASSERT_EQ(LocaleFormatSettings().DecimalSeparator, ',');
  ASSERT_EQ(LocaleFormatSettings().TimeSeparator, '.');
  InitLogFormatSettings(fs);
  logtime_test::ExpectFixedFormatSettings(fs);
}

// In a fresh copy of this program, run for this test alone, so that no other
// test has pointed the log elsewhere.
TEST(LogDefaults, WritesDebugTxtInTheCurrentFolder) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TempFolder folder;
  EXPECT_EXIT(
      {
        if (::chdir(folder.Path().c_str()) != 0) std::_Exit(2);
        if (LogFileName() != "debug.txt") std::_Exit(3);
        WriteLog(3, "from the control program");
        const std::string content = ReadFile(folder.File("debug.txt"));
        std::error_code ignored;
        std::filesystem::remove_all(folder.Path(), ignored);  // _Exit runs no destructor
        std::_Exit(content.size() > 20 && content.substr(19) == "\tfrom the control program\n" ? 0
                                                                                               : 4);
      },
      testing::ExitedWithCode(0), "");
}

TEST_F(Log, TwoThreadsWriteWholeLines) {
  FakeSink sink;
  SetLogTarget(&sink, file_);
  constexpr int kLines = 300;
  auto writer = [](char name) {
    for (int i = 0; i < kLines; ++i)
      WriteLog(i % 4, std::string(1, name) + std::to_string(i) + std::string(200, name));
  };
  std::thread a(writer, 'a');
  std::thread b(writer, 'b');
  a.join();
  b.join();

  std::istringstream content(ReadFile(file_));
  std::set<std::string> seen;
  std::string line;
  int count = 0;
  while (std::getline(content, line)) {
    ++count;
    ASSERT_GE(line.size(), 21u);
    EXPECT_EQ(line.substr(0, 20), "02/03/2024 07:05:09\t");
    const std::string message = line.substr(20);
    const char name = message[0];
    EXPECT_EQ(message.substr(message.size() - 200), std::string(200, name));
    EXPECT_TRUE(seen.insert(message).second) << message;
  }
  EXPECT_EQ(count, 2 * kLines);
  EXPECT_EQ(seen.size(), 2u * kLines);
  EXPECT_EQ(sink.events.size(), 2u * kLines);
}

}  // namespace
