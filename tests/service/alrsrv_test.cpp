#include "service/alrsrv.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/debuglog.h"
#include "tests/service/fbtest.h"
#include "tests/support/temp_folder.h"

namespace {

using ::testing::HasSubstr;
using Alarms = std::map<std::string, std::vector<std::string>>;

std::string Absence(const std::string& date) {
  return "Absence du comptage depuis " + date;
}

TChainParams Chain(std::vector<int> excluded = {}) {
  TChainParams chain;
  chain.TrackedChain = "Shops One";
  chain.FolderName = "SHOPS1";
  for (int day : excluded) chain.DaysNoCheck[static_cast<size_t>(day)] = true;
  return chain;
}

// The alarms of the report's only chain, by shop name.
Alarms AlarmsOf(const TAlarmReport& report) {
  Alarms alarms;
  if (report.Count() == 0) return alarms;
  EXPECT_EQ(report.Count(), 1);
  const TChainAlarms& chain = report.Chains(0);
  for (int32_t s = 0; s < chain.Count(); ++s) {
    for (int32_t t = 0; t < chain.Shops(s).Count(); ++t) {
      alarms[chain.Keys(s)].push_back(chain.Shops(s).Keys(t));
    }
  }
  return alarms;
}

class AlarmSvcTest : public ::testing::Test {
 protected:
  AlarmSvcTest() : svc(dm, [] { return fbtest::FixtureToday() + EncodeTime(10, 30, 0, 0); }) {
    svc.FormatSettings = TFormatSettings{};
    svc.FormatSettings.ShortDateFormat = "dd/mm/yyyy";
  }
  void ConnectTo(const std::string& connectionString) {
    dm.Username = fbtest::Sysdba().User;
    dm.Password = fbtest::Sysdba().Password;
    dm.SetDatabaseName(connectionString);
    dm.Connect(true);
  }
  TDmQor dm;
  TAlarmSvc svc;
};

// ---- the alarm rule ----

TEST_F(AlarmSvcTest, AlarmRuleWithTodayAThursday) {
  const TDateTime thursday = fbtest::FixtureToday();
  ASSERT_EQ(DayOfTheWeek(thursday), 4);
  const auto day = [&](int offset) { return thursday + offset; };
  struct Case {
    const char* what;
    TDateTime lastDate;
    std::vector<int> excluded;  // 1 = Monday ... 7 = Sunday
    TDateTime today;
    const char* alarmDate;  // nullptr: no alarm
  };
  const Case cases[] = {
      {"counted today", day(0), {}, day(0), nullptr},
      {"counted in the future", day(6), {}, day(0), nullptr},
      {"counted yesterday", day(-1), {}, day(0), nullptr},
      {"counted the day before", day(-2), {}, day(0), "13/03/2024"},
      {"the gap's only day excluded", day(-2), {3}, day(0), nullptr},
      {"today excluded, the gap not", day(-2), {4}, day(0), "13/03/2024"},
      {"dated on an excluded day", day(-5), {7}, day(0), "10/03/2024"},
      {"every day of the gap excluded", day(-5), {7, 1, 2, 3}, day(0), nullptr},
      {"all seven excluded", day(-5), {1, 2, 3, 4, 5, 6, 7}, day(0), nullptr},
      {"weeks back: one alarm", EncodeDate(2024, 2, 1), {}, day(0), "02/02/2024"},
      {"weeks back, all seven excluded",
       EncodeDate(2024, 2, 1),
       {1, 2, 3, 4, 5, 6, 7},
       day(0),
       nullptr},
      {"null date", 0, {}, day(0), "31/12/1899"},
      {"null date, all seven excluded", 0, {1, 2, 3, 4, 5, 6, 7}, day(0), nullptr},
      {"counted day with a time", day(-2) + EncodeTime(23, 59, 59, 0), {}, day(0), "13/03/2024"},
      {"today with a time", day(-1), {}, day(0) + EncodeTime(23, 59, 0, 0), nullptr},
  };
  for (const Case& c : cases) {
    svc.Report->Clear();
    svc.CheckShop(Chain(c.excluded), "Nord", c.lastDate, c.today);
    const Alarms expected = c.alarmDate ? Alarms{{"Nord", {Absence(c.alarmDate)}}} : Alarms{};
    EXPECT_EQ(AlarmsOf(*svc.Report), expected) << c.what;
  }
}

// The date of the alarm text is in the short date format of the process's
// locale: the C locale writes months first and two-digit years.
TEST(AlarmSvcLocaleTest, AlarmDateIsInTheLocaleShortDate) {
  const char* before = std::getenv("LC_ALL");
  const std::string saved = before ? before : "";
  setenv("LC_ALL", "C", 1);
  TDmQor dm;
  TAlarmSvc svc(dm, [] { return fbtest::FixtureToday(); });
  if (before) {
    setenv("LC_ALL", saved.c_str(), 1);
  } else {
    unsetenv("LC_ALL");
  }
  svc.CheckShop(Chain(), "Nord", fbtest::FixtureToday() - 2, fbtest::FixtureToday());
  EXPECT_EQ(AlarmsOf(*svc.Report), (Alarms{{"Nord", {Absence("03/13/24")}}}));
}

// ---- the chain check against a database ----

TEST_F(AlarmSvcTest, CheckChainRaisesOneAlarmPerShopWithAGap) {
  struct Case {
    std::vector<int> excluded;
    Alarms expected;
  };
  const Case cases[] = {
      {{},
       {{"Tuesday", {Absence("13/03/2024")}},
        {"Weeks", {Absence("21/02/2024")}},
        {"Twin", {Absence("12/03/2024")}},
        {"NullDate", {Absence("31/12/1899")}},
        {"Late", {Absence("12/03/2024")}},
        {"", {Absence("11/03/2024")}},
        {"Caf\xE9 H\xF4tel", {Absence("13/03/2024")}},
        {"<b>&\"Sale\"</b>", {Absence("12/03/2024")}}}},
      // Wednesday excluded: a gap of Wednesday alone raises nothing.
      {{3},
       {{"Weeks", {Absence("21/02/2024")}},
        {"Twin", {Absence("12/03/2024")}},
        {"NullDate", {Absence("31/12/1899")}},
        {"Late", {Absence("12/03/2024")}},
        {"", {Absence("11/03/2024")}},
        {"<b>&\"Sale\"</b>", {Absence("12/03/2024")}}}},
  };
  ConnectTo(fbtest::Databases().Rule);
  for (const Case& c : cases) {
    svc.Report->Clear();
    svc.CheckChain(Chain(c.excluded));
    EXPECT_EQ(AlarmsOf(*svc.Report), c.expected);
    EXPECT_FALSE(dm.QorTransRead.InTransaction());
    EXPECT_FALSE(dm.QryRead.Active());
    EXPECT_TRUE(dm.IsConnected());
  }
}

// The texts that reach the server, as the Logged database records each
// statement that reads one of its views: the three probes of the connect,
// then the chain check's statement, each exactly once.
TEST_F(AlarmSvcTest, TheServerSeesTheProbesAndTheStatementAsWritten) {
  struct Logged {
    long long n;
    std::string sql;
  };
  const auto logged = [&](long long after) {
    std::vector<Logged> rows;
    dm.QorTransRead.StartTransaction();
    dm.QryRead.SQL = "SELECT N, SQLTEXT FROM SQLLOG ORDER BY N";
    dm.QryRead.Open();
    for (; !dm.QryRead.Eof(); dm.QryRead.Next()) {
      const long long n = std::stoll(dm.QryRead.FieldByName("N").AsString());
      if (n > after) rows.push_back({n, dm.QryRead.FieldByName("SQLTEXT").AsString()});
    }
    dm.QryRead.Close();
    dm.QorTransRead.Commit();
    return rows;
  };
  const std::vector<std::string> probes = {
      "SELECT DISTINCT C.IDSHOP AS FLD_RESULT FROM CORRCOEFFS C WHERE (C.IDSHOP=0)",
      "SELECT   T.IDSHOP AS FLD_RESULT1,   SUM(T.ENTERS_C) AS FLD_RESULT2 FROM VISITORS T WHERE "
      "(T.IDSHOP=0) GROUP BY 1",
      "SELECT   T.IDSHOP AS FLD_RESULT FROM HEATMAP T WHERE (T.IDSHOP=0)",
  };
  ConnectTo(fbtest::Databases().Logged);
  // The log outlives earlier runs: the connect's probes are its last rows.
  const std::vector<Logged> connect = logged(0);
  ASSERT_GE(connect.size(), probes.size());
  std::vector<std::string> last;
  for (size_t i = connect.size() - probes.size(); i < connect.size(); ++i) {
    last.push_back(connect[i].sql);
  }
  EXPECT_EQ(last, probes);

  svc.CheckChain(Chain());
  const std::vector<Logged> check = logged(connect.back().n);
  ASSERT_EQ(check.size(), 1u);
  EXPECT_EQ(check[0].sql,
            "SELECT   S.SHOPNAME,   MAX(T.DDATE) AS MAXDATE FROM   VISITORS T,   SHOPS S WHERE   "
            "(T.IDSHOP = S.IDSHOP) AND (T.ENTERS > 0) GROUP BY 1 ");
  EXPECT_EQ(AlarmsOf(*svc.Report), (Alarms{{"Lone", {Absence("12/03/2024")}}}));
}

TEST_F(AlarmSvcTest, ReportOfACheckedChainIsEscapedUtf8) {
  ConnectTo(fbtest::Databases().Rule);
  svc.CheckChain(Chain());
  std::string html;
  svc.Report->BuildHtml(html);
  EXPECT_THAT(html, HasSubstr("<b>Caf\xC3\xA9 H\xC3\xB4tel</b>"));
  EXPECT_THAT(html, HasSubstr("<b>&lt;b&gt;&amp;&quot;Sale&quot;&lt;/b&gt;</b>"));
  EXPECT_THAT(html, ::testing::Not(HasSubstr("<b><b>")));
}

TEST_F(AlarmSvcTest, DatabaseWithoutTheProbedTablesIsCheckedAllTheSame) {
  ConnectTo(fbtest::Databases().Bare);
  svc.CheckChain(Chain());
  EXPECT_EQ(AlarmsOf(*svc.Report), (Alarms{{"Lone", {Absence("12/03/2024")}}}));
}

TEST_F(AlarmSvcTest, EmptyResultGivesNoAlarmAndCommits) {
  ConnectTo(fbtest::Databases().Empty);
  svc.CheckChain(Chain());
  EXPECT_EQ(svc.Report->Count(), 0);
  EXPECT_FALSE(dm.QorTransRead.InTransaction());
}

TEST_F(AlarmSvcTest, MissingTableFailsTheChainAndRollsBack) {
  ConnectTo(fbtest::Databases().NoShops);
  try {
    svc.CheckChain(Chain());
    FAIL() << "no error";
  } catch (const EDatabaseError& e) {
    EXPECT_THAT(e.Message(), HasSubstr("SHOPS"));
    EXPECT_EQ(e.SqlCode(), -204);
  }
  EXPECT_FALSE(dm.QorTransRead.InTransaction());
  EXPECT_FALSE(dm.QryRead.Active());
  EXPECT_EQ(svc.Report->Count(), 0);
}

TEST_F(AlarmSvcTest, UnreadableValueFailsTheChainAndRollsBack) {
  ConnectTo(fbtest::Databases().TextDates);
  try {
    svc.CheckChain(Chain());
    FAIL() << "no error";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), "Field 'MAXDATE' is not a date or time");
  }
  EXPECT_FALSE(dm.QorTransRead.InTransaction());
  EXPECT_FALSE(dm.QryRead.Active());
  EXPECT_EQ(svc.Report->Count(), 0);
  // The connection is still usable for the next statement.
  ConnectTo(fbtest::Databases().TextDates);
  EXPECT_TRUE(dm.IsConnected());
}

TEST_F(AlarmSvcTest, CheckWithoutConnectionFails) {
  EXPECT_THROW(svc.CheckChain(Chain()), EDatabaseError);
  EXPECT_EQ(svc.Report->Count(), 0);
}

// ---- events and errors ----

TEST_F(AlarmSvcTest, LogEventRecordsEventsAndErrorsApart) {
  const testing_support::TempFolder temp;
  const std::string logFile = temp.File("vigilo.log");
  const std::string previousLog = LogFileName();
  SetLogTarget(nullptr, logFile);

  struct Case {
    int32_t level;
    bool isError;
  };
  const Case cases[] = {{0, false}, {2, false}, {3, true}, {7, true}, {-1, true}};
  for (const Case& c : cases) {
    const std::string msg = "message of level " + std::to_string(c.level);
    const std::string eventBefore = svc.LastEventText;
    const std::string errorBefore = svc.LastErrorText;
    svc.LogEvent(c.level, msg);
    // No other thread uses this service object: its fields are read as they are.
    EXPECT_EQ(svc.LastEventText, c.isError ? eventBefore : msg);
    EXPECT_EQ(svc.LastErrorText, c.isError ? msg : errorBefore);
    const TSystemTime when = c.isError ? svc.LastErrorTime : svc.LastEventTime;
    EXPECT_EQ(when.wYear, 2024);
    EXPECT_EQ(when.wMonth, 3);
    EXPECT_EQ(when.wDay, 14);
    EXPECT_EQ(when.wDayOfWeek, 4);
    EXPECT_EQ(when.wHour, 10);
    EXPECT_EQ(when.wMinute, 30);
  }
  std::ifstream file(logFile, std::ios::binary);
  std::stringstream lines;
  lines << file.rdbuf();
  EXPECT_THAT(lines.str(), HasSubstr("\tmessage of level 0\n"));
  EXPECT_THAT(lines.str(), HasSubstr("\tmessage of level -1\n"));
  SetLogTarget(nullptr, previousLog);
}

}  // namespace
