#include "common/timelist.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/exceptions.h"
#include "tests/common/log_time_support.h"

namespace {

using logtime_test::ScopedEnv;

std::vector<int32_t> Entries(const TTimeList& list) {
  std::vector<int32_t> entries;
  for (int32_t i = 0; i < list.Count(); ++i) entries.push_back(list.Item(i));
  return entries;
}

constexpr int32_t H(int hours, int minutes = 0, int seconds = 0) {
  return hours * 3600 + minutes * 60 + seconds;
}

struct GoodCase {
  const char* text;
  std::vector<int32_t> entries;
  const char* written;
};

TEST(TimeList, ReadsAndWritesGoodTexts) {
  const GoodCase cases[] = {
      {"", {}, ""},
      {" \t\r\n ", {}, ""},
      {"08:00", {H(8)}, "08:00"},
      {"  18:00   08:00  ", {H(8), H(18)}, "08:00 18:00"},
      {"8:5", {H(8, 5)}, "08:05"},
      {"08:00:30", {H(8, 0, 30)}, "08:00"},
      {"08:00 08:00", {H(8), H(8)}, "08:00 08:00"},
      {"08:00:", {H(8)}, "08:00"},
      {"08:00:00:99", {H(8)}, "08:00"},
      {"23:59:59 00:00", {0, H(23, 59, 59)}, "00:00 23:59"},
      {"\t12:30 06:00 18:00\r\n", {H(6), H(12, 30), H(18)}, "06:00 12:30 18:00"},
      {"+8:-0", {H(8)}, "08:00"},
      {"0008:0030", {H(8, 30)}, "08:30"},
  };
  for (const auto& c : cases) {
    TTimeList list(c.text);
    EXPECT_EQ(Entries(list), c.entries) << c.text;
    EXPECT_EQ(list.GetText(), c.written) << c.text;
  }
}

TEST(TimeList, BadTokensRaiseTheErrorNamingThem) {
  const char* bad[] = {"8",     ":30",          "24:00", "08:60", "08:00:60", "-1:00",
                       "08.00", "08:00\t09:00", "x",     "08:",   "08:00:x",  "99999999999:00",
                       "8:5a",  "08:-1"};
  for (const char* token : bad) {
    try {
      TTimeList list;
      list.SetText(token);
      ADD_FAILURE() << "accepted \"" << token << "\"";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), std::string("Wrong time value \"") + token + "\"");
    }
  }
  EXPECT_THROW(TTimeList("06:00 25:00"), Exception);
}

TEST(TimeList, AFailedParseKeepsTheEarlierEntriesInTextOrder) {
  TTimeList list("12:00");
  try {
    list.SetText("18:00 06:00 x 07:00");
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Wrong time value \"x\"");
  }
  EXPECT_EQ(Entries(list), (std::vector<int32_t>{H(18), H(6)}));
  EXPECT_EQ(list.GetText(), "18:00 06:00");
}

TEST(TimeList, LongTokensAreJudgedWhole) {
  // 251 zeros after "08:0" would make a valid time of the first 255 characters.
  const std::string token = "08:0" + std::string(251, '0') + "x";
  EXPECT_THROW(TTimeList{token}, Exception);
  TTimeList list(std::string(300, '0') + "9:15");
  EXPECT_EQ(list.GetText(), "09:15");
}

TEST(TimeList, TrimsCompareUnsignedBytes) {
  // 0xE9 is a letter in cp1252, not a control character to trim.
  try {
    TTimeList list("08:00 \xe9");
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Wrong time value \"\xe9\"");
  }
}

TEST(TimeList, ToStringUsesTheGivenSeparator) {
  TTimeList list("18:30 08:05");
  EXPECT_EQ(list.ToString('.'), "08.05 18.30");
  list.Parse("07.15 06.00", '.');
  EXPECT_EQ(Entries(list), (std::vector<int32_t>{H(7, 15), H(6)}));  // Parse does not sort
  EXPECT_THROW(list.Parse("07:15", '.'), Exception);
}

TEST(TimeList, CompareTimesIsTheDifference) {
  EXPECT_LT(CompareTimes(H(8), H(9)), 0);
  EXPECT_EQ(CompareTimes(H(9), H(9)), 0);
  EXPECT_EQ(CompareTimes(H(9), H(8)), 3600);
}

// t in seconds since midnight of some day; may carry a fraction.
TDateTime At(double seconds) {
  return 45353 + seconds / 86400.0;
}

struct SearchCase {
  const char* list;
  double at;
  double nearest;    // seconds; -1 when none
  double nextAfter;  // seconds; -1 when none
};

TEST(TimeList, FindsTheNearestAndTheNextEntry) {
  const SearchCase cases[] = {
      {"08:00 18:00", H(13), H(8), H(18)},
      {"08:00 18:00", H(13, 0, 1), H(18), H(18)},
      {"08:00 18:00", 0, H(8), H(8)},
      {"08:00 18:00", H(23, 50), H(18), -1},
      {"00:10 18:00", H(23, 50), H(18), -1},
      {"08:00", H(8), H(8), -1},
      {"08:00", H(7, 59, 59) + 0.6, H(8), -1},
      {"08:00", H(7, 59, 59) + 0.4, H(8), H(8)},
      {"06:00 12:00 18:00", H(12), H(12), H(18)},
      // Just before midnight the time rounds to 86400 s, not back to 0.
      {"00:00 23:59:59", H(23, 59, 59) + 0.6, H(23, 59, 59), -1},
      {"", H(12), -1, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.list << " at " << c.at);
    TTimeList list(c.list);
    EXPECT_DOUBLE_EQ(list.Nearest(At(c.at)) * 86400, c.nearest);
    if (c.nextAfter < 0)
      EXPECT_EQ(list.NextAfter(At(c.at)), -1);
    else
      EXPECT_DOUBLE_EQ(list.NextAfter(At(c.at)) * 86400, c.nextAfter);
  }
}

TEST(TimeList, AnExactHalfSecondGoesToTheEvenSecond) {
  // 1/256 and 3/256 of a day are 337.5 and 1012.5 seconds, exactly.
  TTimeList odd("00:05:38");
  EXPECT_EQ(odd.NextAfter(1.0 / 256), -1);  // 338, not 337
  TTimeList even("00:16:53");
  EXPECT_EQ(even.NextAfter(3.0 / 256), 1013 / 86400.0);  // 1012, not 1013
  TTimeList both("00:16:52 00:16:53");
  EXPECT_EQ(both.Nearest(3.0 / 256), 1012 / 86400.0);
}

TEST(TimeList, MidnightFindsTheEarliestEntry) {
  TTimeList list("18:00 06:30 12:00");
  EXPECT_EQ(list.Nearest(0), H(6, 30) / 86400.0);
  EXPECT_EQ(list.Nearest(45353), H(6, 30) / 86400.0);
  EXPECT_EQ(list.Nearest(86399.0 / 86400 + 0.4 / 86400), H(18) / 86400.0);
}

TEST(TimeList, NextAfterOnAnUnsortedListGivesTheSmallestLaterEntry) {
  TTimeList list;
  EXPECT_THROW(list.SetText("18:00 09:00 12:00 bad"), Exception);
  ASSERT_EQ(Entries(list), (std::vector<int32_t>{H(18), H(9), H(12)}));
  EXPECT_EQ(list.NextAfter(At(H(8))), H(9) / 86400.0);
  EXPECT_EQ(list.NextAfter(At(H(10))), H(12) / 86400.0);
  EXPECT_EQ(list.NextAfter(At(H(12))), H(18) / 86400.0);
  EXPECT_EQ(list.NextAfter(At(H(18))), -1);
}

TEST(TimeList, LocalTextFollowsTheLocaleTimeSeparator) {
  {
    ScopedEnv all("LC_ALL", "C");
    TTimeList list("08:00");
    EXPECT_EQ(list.GetLocalText(), "08:00");
  }
  const std::string locpath = logtime_test::BuildLocale("fi_FI");
  if (locpath.empty()) GTEST_SKIP() << "localedef or the fi_FI locale sources are missing";
  ScopedEnv path("LOCPATH", locpath);
  ScopedEnv all("LC_ALL", "fi_FI.UTF-8");
  TTimeList list("18:00 08:00");
  EXPECT_EQ(list.GetLocalText(), "08.00 18.00");
  list.SetLocalText("12.30 08.00");
  EXPECT_EQ(list.GetText(), "08:00 12:30");
  try {
    list.SetLocalText("08:00");
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Wrong time value \"08:00\"");
  }
}

}  // namespace
