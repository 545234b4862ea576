#include "common/datetime.h"

#include <gtest/gtest.h>
#include <time.h>

#include <cmath>
#include <tuple>

#include "common/exceptions.h"
#include "tests/common/log_time_support.h"

namespace {

using logtime_test::ScopedEnv;

struct CivilDate {
  int year, month, day;
  double serial;
  int isoWeekDay;
};

// Serials as every spreadsheet and Delphi program of the platform counts them.
constexpr CivilDate kDates[] = {
    {1899, 12, 30, 0, 6},      {1899, 12, 31, 1, 7},   {1900, 1, 1, 2, 1},
    {1900, 3, 1, 61, 4},       {1970, 1, 1, 25569, 4}, {2000, 1, 1, 36526, 6},
    {2000, 2, 29, 36585, 2},   {2024, 3, 2, 45353, 6}, {1899, 12, 29, -1, 5},
    {1600, 2, 29, -109512, 2}, {1, 1, 1, -693593, 1},  {9999, 12, 31, 2958465, 5},
};

TEST(DateTime, EncodesAndDecodesCivilDates) {
  for (const auto& d : kDates) {
    SCOPED_TRACE(testing::Message() << d.year << "-" << d.month << "-" << d.day);
    EXPECT_EQ(EncodeDate(d.year, d.month, d.day), d.serial);
    int y, m, day;
    DecodeDate(d.serial, y, m, day);
    EXPECT_EQ(y, d.year);
    EXPECT_EQ(m, d.month);
    EXPECT_EQ(day, d.day);
    EXPECT_EQ(DayOfTheWeek(d.serial), d.isoWeekDay);
    EXPECT_EQ(DayOfTheWeek(d.serial >= 0 ? d.serial + 0.99 : d.serial - 0.99), d.isoWeekDay);
  }
}

TEST(DateTime, EveryDayOfTheRangeRoundTrips) {
  int previousWeekDay = DayOfTheWeek(-693593);
  for (int serial = -693593 + 1; serial <= 2958465; ++serial) {
    int y, m, d;
    DecodeDate(serial, y, m, d);
    TDateTime back;
    ASSERT_TRUE(TryEncodeDate(y, m, d, back)) << serial;
    ASSERT_EQ(back, serial);
    const int weekDay = DayOfTheWeek(serial);
    ASSERT_EQ(weekDay, previousWeekDay % 7 + 1) << serial;
    previousWeekDay = weekDay;
  }
}

TEST(DateTime, RejectsInvalidDatesAndTimes) {
  const int dates[][3] = {{2023, 2, 29}, {1900, 2, 29}, {2024, 4, 31}, {2024, 13, 1},
                          {2024, 0, 1},  {2024, 1, 0},  {0, 1, 1},     {10000, 1, 1}};
  for (const auto& d : dates) {
    TDateTime out = 42;
    EXPECT_FALSE(TryEncodeDate(d[0], d[1], d[2], out)) << d[0] << "-" << d[1] << "-" << d[2];
    EXPECT_EQ(out, 42);
    EXPECT_THROW(EncodeDate(d[0], d[1], d[2]), EConvertError);
  }
  const int times[][4] = {{24, 0, 0, 0}, {-1, 0, 0, 0},   {0, 60, 0, 0},
                          {0, 0, 60, 0}, {0, 0, 0, 1000}, {0, 0, 0, -1}};
  for (const auto& t : times) {
    TDateTime out = 42;
    EXPECT_FALSE(TryEncodeTime(t[0], t[1], t[2], t[3], out));
    EXPECT_THROW(EncodeTime(t[0], t[1], t[2], t[3]), EConvertError);
  }
}

TEST(DateTime, TimeOfDayIsAFractionRoundedToTheMillisecond) {
  EXPECT_EQ(EncodeTime(12, 0, 0, 0), 0.5);
  EXPECT_EQ(EncodeTime(6, 0, 0, 0), 0.25);
  const TDateTime t = EncodeDate(2024, 3, 2) + EncodeTime(14, 5, 9, 750);
  int h, n, s, ms;
  DecodeTime(t, h, n, s, ms);
  EXPECT_EQ(std::make_tuple(h, n, s, ms), std::make_tuple(14, 5, 9, 750));

  // The last half millisecond of a day rounds to the next midnight.
  const TDateTime lastInstant = EncodeDate(2024, 12, 31) + (86400000 - 0.4) / 86400000.0;
  int y, m, d;
  DecodeDate(lastInstant, y, m, d);
  DecodeTime(lastInstant, h, n, s, ms);
  EXPECT_EQ(std::make_tuple(y, m, d, h, n, s, ms), std::make_tuple(2025, 1, 1, 0, 0, 0, 0));
  EXPECT_EQ(DateOf(lastInstant), EncodeDate(2025, 1, 1));
  EXPECT_EQ(DateOf(t), EncodeDate(2024, 3, 2));
}

TEST(DateTime, NegativeValuesHoldAPositiveTimeOfDay) {
  // 29 December 1899, 06:00.
  const TDateTime t = -1.25;
  int y, m, d, h, n, s, ms;
  DecodeDate(t, y, m, d);
  DecodeTime(t, h, n, s, ms);
  EXPECT_EQ(std::make_tuple(y, m, d, h, n, s, ms), std::make_tuple(1899, 12, 29, 6, 0, 0, 0));
  EXPECT_EQ(StrToDateTime("29/12/1899 06:00", FixedFormatSettings()), t);
  EXPECT_EQ(DateTimeToStr(t, FixedFormatSettings()), "29/12/1899 06:00:00");
  EXPECT_EQ(DateOf(t), -1);
}

TEST(DateTime, OutOfRangeValuesDecodeAsZeros) {
  for (double v : {-693594.0, 2958466.0, double(NAN), double(INFINITY), -1e300}) {
    int y = 1, m = 1, d = 1, h = 1, n = 1, s = 1, ms = 1;
    DecodeDate(v, y, m, d);
    DecodeTime(v, h, n, s, ms);
    EXPECT_EQ(std::make_tuple(y, m, d, h, n, s, ms), std::make_tuple(0, 0, 0, 0, 0, 0, 0)) << v;
    TSystemTime st = DateTimeToSystemTime(v);
    EXPECT_EQ(st.wYear + st.wMonth + st.wDay + st.wHour, 0);
  }
}

struct FormatCase {
  const char* format;
  const char* expected;
};

TEST(DateTime, FormatsTokensSeparatorsAndQuotedText) {
  const TDateTime t = EncodeDate(2024, 3, 2) + EncodeTime(7, 5, 9, 45);
  TFormatSettings fs;
  fs.DateSeparator = '-';
  fs.TimeSeparator = '.';
  const FormatCase cases[] = {
      {"dd/mm/yyyy", "02-03-2024"},
      {"d/m/yy", "2-3-24"},
      {"hh:nn:ss", "07.05.09"},
      {"h:n:s", "7.5.9"},
      {"hh:nn:ss.zzz", "07.05.09.045"},
      {"z", "45"},
      {"DD/MM/YYYY HH:NN", "02-03-2024 07.05"},
      {"yyyy\"/\"mm", "2024/03"},
      {"'at' hh 'h'", "at 07 h"},
      {"ddd", "022"},
      {"y", "24"},
      {"yyy", "2024"},
      {"[dd]", "[02]"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatDateTime(c.format, t, fs), c.expected) << c.format;
  EXPECT_EQ(FormatDateTime("yyyy", EncodeDate(5, 1, 1), fs), "0005");
}

TEST(DateTime, DateTimeToStrLeavesOutAMidnightTime) {
  const TFormatSettings fs = FixedFormatSettings();
  const TDateTime day = EncodeDate(2024, 3, 2);
  EXPECT_EQ(DateTimeToStr(0, fs), "30/12/1899");
  EXPECT_EQ(DateTimeToStr(day, fs), "02/03/2024");
  EXPECT_EQ(DateTimeToStr(day + EncodeTime(0, 0, 0, 400), fs), "02/03/2024");
  EXPECT_EQ(DateTimeToStr(day + EncodeTime(0, 0, 1, 0), fs), "02/03/2024 00:00:01");
  EXPECT_EQ(DateTimeToStr(day + EncodeTime(14, 5, 9, 750), fs), "02/03/2024 14:05:09");
  EXPECT_EQ(DateToStr(day + EncodeTime(14, 5, 9, 750), fs), "02/03/2024");
}

TEST(DateTime, FixedSettingsAreTheFilesOnes) {
  logtime_test::ExpectFixedFormatSettings(FixedFormatSettings());
}

struct ParseCase {
  const char* text;
  int year, month, day, hour, minute, second;
};

TEST(DateTime, StrToDateTimeReadsDatesWithOptionalTimes) {
  const ParseCase cases[] = {
      {"02/03/2024", 2024, 3, 2, 0, 0, 0},
      {"2/3/2024", 2024, 3, 2, 0, 0, 0},
      {"30/12/1899", 1899, 12, 30, 0, 0, 0},
      {"02/03/2024 14:05:09", 2024, 3, 2, 14, 5, 9},
      {"02/03/2024 14:05", 2024, 3, 2, 14, 5, 0},
      {"02/03/2024 7:5:9", 2024, 3, 2, 7, 5, 9},
      {"  02/03/2024   23:59:59  ", 2024, 3, 2, 23, 59, 59},
      {"29/02/2024 00:00:00", 2024, 2, 29, 0, 0, 0},
      {"31/12/9999 23:59:59", 9999, 12, 31, 23, 59, 59},
      {"01/01/0001", 1, 1, 1, 0, 0, 0},
  };
  for (const auto& c : cases) {
    const TDateTime expected =
        EncodeDate(c.year, c.month, c.day) + EncodeTime(c.hour, c.minute, c.second, 0);
    EXPECT_EQ(StrToDateTime(c.text, FixedFormatSettings()), expected) << c.text;
  }
}

TEST(DateTime, StrToDateTimeRejectsEverythingElse) {
  const char* bad[] = {"",
                       " ",
                       "02/03/24",
                       "02/03/02024",
                       "02-03-2024",
                       "2024/03/02",
                       "002/03/2024",
                       "31/02/2024",
                       "29/02/2023",
                       "02/13/2024",
                       "00/03/2024",
                       "02/03/2024 24:00",
                       "02/03/2024 12:60",
                       "02/03/2024 12:00:60",
                       "02/03/2024 12",
                       "02/03/2024 12:",
                       "02/03/2024 12:00:",
                       "02/03/2024 12:00:00.5",
                       "02/03/2024 12:00:00:00",
                       "02/03/202412:00",
                       "02/03/2024\t12:00",
                       "02/03/2024 x",
                       "12:00",
                       "+2/03/2024",
                       "garbage"};
  for (const char* text : bad) {
    try {
      StrToDateTime(text, FixedFormatSettings());
      ADD_FAILURE() << "accepted '" << text << "'";
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message(), std::string("'") + text + "' is not a valid date and time");
    }
  }
}

TEST(DateTime, StrToDateTimeFollowsTheOrderAndSeparatorsOfTheSettings) {
  TFormatSettings us;
  us.ShortDateFormat = "mm/dd/yyyy";
  EXPECT_EQ(StrToDateTime("03/02/2024", us), EncodeDate(2024, 3, 2));
  TFormatSettings iso;
  iso.ShortDateFormat = "yyyy/mm/dd";
  iso.DateSeparator = '-';
  iso.TimeSeparator = '.';
  EXPECT_EQ(StrToDateTime("2024-03-02 07.05", iso),
            EncodeDate(2024, 3, 2) + EncodeTime(7, 5, 0, 0));
  EXPECT_THROW(StrToDateTime("2024/03/02", iso), EConvertError);
}

TEST(DateTime, WrittenValuesReadBackToTheSecond) {
  const TFormatSettings fs = FixedFormatSettings();
  for (TDateTime v : {0.0, 45353.0, 45353.5, 36526.99998842592, -1.25, -693593.0, 2958465.99998}) {
    const std::string text = DateTimeToStr(v, fs);
    const TDateTime back = StrToDateTime(text, fs);
    EXPECT_EQ(DateTimeToStr(back, fs), text);
    EXPECT_LT(std::fabs(back - v) * 86400, 1.0) << text;
  }
}

struct LocaleInfoCase {
  const char* dFmt;
  const char* tFmt;
  const char* radix;
  const char* shortDate;
  char dateSep, timeSep, decimal;
};

TEST(DateTime, LocaleFormatsMapToTokens) {
  const LocaleInfoCase cases[] = {
      {"%m/%d/%y", "%H:%M:%S", ".", "mm/dd/yy", '/', ':', '.'},
      {"%d.%m.%Y", "%H.%M.%S", ",", "dd/mm/yyyy", '.', '.', ','},
      {"%d-%m-%y", "%T", ",", "dd/mm/yy", '-', ':', ','},
      {"%F", "%R", ".", "yyyy/mm/dd", '-', ':', '.'},
      {"%D", "%r", ".", "mm/dd/yy", '/', ':', '.'},
      {"%e/%-m/%Y", "%H:%M", ".", "d/m/yyyy", '/', ':', '.'},
      {"%Y. %m. %d.", "%H:%M:%S", ".", "yyyy/ mm/ dd/", '.', ':', '.'},
      {"%d/%m/%Y", "%Hh%M", "\xd9\xab", "dd/mm/yyyy", '/', ':', '.'},
      {"", "", "", "dd/mm/yyyy", '/', ':', '.'},
  };
  for (const auto& c : cases) {
    const TFormatSettings fs = FormatSettingsFromLocaleInfo(c.dFmt, c.tFmt, c.radix);
    EXPECT_EQ(fs.ShortDateFormat, c.shortDate) << c.dFmt;
    EXPECT_EQ(fs.DateSeparator, c.dateSep) << c.dFmt;
    EXPECT_EQ(fs.TimeSeparator, c.timeSep) << c.tFmt;
    EXPECT_EQ(fs.DecimalSeparator, c.decimal) << c.radix;
    EXPECT_EQ(fs.ShortTimeFormat, "hh:nn");
    EXPECT_EQ(fs.LongTimeFormat, "hh:nn:ss");
  }
  // A literal that would read as a token stays literal.
  const TFormatSettings fs = FormatSettingsFromLocaleInfo("%Y-%m-%d d", "%T", ".");
  EXPECT_EQ(FormatDateTime(fs.ShortDateFormat, EncodeDate(2024, 3, 2), fs), "2024-03-02 d");
}

TEST(DateTime, LocaleSettingsComeFromTheEnvironment) {
  {
    ScopedEnv all("LC_ALL", "C");
    const TFormatSettings fs = LocaleFormatSettings();
    EXPECT_EQ(fs.ShortDateFormat, "mm/dd/yy");
    EXPECT_EQ(fs.DateSeparator, '/');
    EXPECT_EQ(fs.TimeSeparator, ':');
    EXPECT_EQ(fs.DecimalSeparator, '.');
  }
  const std::string locpath = logtime_test::BuildLocale("fi_FI");
  if (locpath.empty()) GTEST_SKIP() << "localedef or the fi_FI locale sources are missing";
  ScopedEnv path("LOCPATH", locpath);
  ScopedEnv all("LC_ALL", "fi_FI.UTF-8");
  const TFormatSettings fs = LocaleFormatSettings();
  EXPECT_EQ(fs.ShortDateFormat, "dd/mm/yyyy");
  EXPECT_EQ(fs.DateSeparator, '.');
  EXPECT_EQ(fs.TimeSeparator, '.');
  EXPECT_EQ(fs.DecimalSeparator, ',');
  EXPECT_EQ(DateTimeToStr(EncodeDate(2024, 3, 2) + EncodeTime(7, 5, 9, 0), fs),
            "02.03.2024 07.05.09");
}

// Literal characters of a UTF-8 locale's date format arrive as cp1252 text:
// the Japanese year, month and day signs have no cp1252 form and become "?".
TEST(DateTime, LocaleLiteralsAreConvertedToCp1252) {
  const std::string locpath = logtime_test::BuildLocale("ja_JP");
  if (locpath.empty()) GTEST_SKIP() << "localedef or the ja_JP locale sources are missing";
  ScopedEnv path("LOCPATH", locpath);
  ScopedEnv all("LC_ALL", "ja_JP.UTF-8");
  const TFormatSettings fs = LocaleFormatSettings();
  EXPECT_EQ(DateToStr(EncodeDate(2024, 3, 2), fs), "2024?03?02?");
}

TEST(DateTime, AnUnknownLocaleFallsBackToC) {
  ScopedEnv all("LC_ALL", "xx_NOWHERE.UTF-8");
  EXPECT_EQ(LocaleFormatSettings().ShortDateFormat, "mm/dd/yy");
}

// The local clock in a zone three hours east of UTC. Both bounds come from the
// clock Now() reads, in whole milliseconds as Now() keeps them: time() reads a
// coarse clock that can still show the previous second.
TEST(DateTime, NowReadsTheLocalClock) {
  ScopedEnv tz("TZ", "XYZ-3");
  auto clockMs = [] {
    struct timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  };
  const int64_t before = clockMs();
  const TDateTime now = Now();
  const int64_t after = clockMs();
  const int64_t nowMs = std::llround((now - 25569) * 86400000.0) - 3 * 3600 * 1000;
  EXPECT_GE(nowMs, before);
  EXPECT_LE(nowMs, after);
}

TEST(DateTime, SystemTimeRecordsConvertBothWays) {
  const TDateTime t = EncodeDate(2024, 3, 3) + EncodeTime(7, 5, 9, 123);
  const TSystemTime st = DateTimeToSystemTime(t);
  EXPECT_EQ(st.wYear, 2024);
  EXPECT_EQ(st.wMonth, 3);
  EXPECT_EQ(st.wDayOfWeek, 0);  // a Sunday
  EXPECT_EQ(st.wDay, 3);
  EXPECT_EQ(st.wHour, 7);
  EXPECT_EQ(st.wMinute, 5);
  EXPECT_EQ(st.wSecond, 9);
  EXPECT_EQ(st.wMilliseconds, 123);
  EXPECT_EQ(DateTimeToSystemTime(t + 1).wDayOfWeek, 1);
  EXPECT_DOUBLE_EQ(SystemTimeToDateTime(st), t);
  TSystemTime bad = st;
  bad.wMonth = 13;
  EXPECT_THROW(SystemTimeToDateTime(bad), EConvertError);
  EXPECT_THROW(SystemTimeToDateTime(TSystemTime{}), EConvertError);
}

}  // namespace
