// Database servers that go silent, through a relay in front of the real
// Firebird server: the connect gives up after its time-out, and a check with
// a stalled chain aborts that chain at its time limit, reports the others and
// schedules the next check; a stop aborts a stalled chain, or leaves an
// attach behind, after half the wait hint. Every wait here is bounded, so
// that a fault fails the test instead of hanging it: the relay then lets the
// client go.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "common/debuglog.h"
#include "platform/scm.h"
#include "service/alrsrv.h"
#include "tests/service/fbtest.h"
#include "tests/service/service_test_support.h"
#include "tests/service/tcp_relay.h"
#include "tests/support/process_support.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using service_test::LogTexts;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using testing_support::ReadFile;
using testing_support::TcpRelay;
using testing_support::WaitUntil;

// What a stalled relay lets through: the attach (about 1200 bytes with the
// test's names) and the start of the schema probes, so that the server falls
// silent on a connection the client holds.
constexpr size_t kStallAfterBytes = 2000;

// "localhost:/path" through the relay: "127.0.0.1/port:/path".
std::string ThroughRelay(const TcpRelay& relay, const std::string& connection) {
  return relay.Host() + connection.substr(connection.find(':'));
}

// Waits for `task` at most `limit`; past it, the relay drops its connections
// so that the client returns, and the wait is reported as a failure.
template <typename T>
bool EndsWithin(std::future<T>& task, std::chrono::milliseconds limit, TcpRelay& relay) {
  if (task.wait_for(limit) == std::future_status::ready) return true;
  relay.CloseAll();
  task.wait();
  return false;
}

TEST(ConnectTimeoutTest, AServerThatNeverAnswersFailsTheConnectAtTheTimeOut) {
  TcpRelay relay(0);
  TDmQor dm;
  dm.Username = fbtest::Sysdba().User;
  dm.Password = fbtest::Sysdba().Password;
  dm.SetDatabaseName(ThroughRelay(relay, fbtest::Databases().Rule));
  const auto start = std::chrono::steady_clock::now();
  std::future<std::string> connect = std::async(std::launch::async, [&]() -> std::string {
    try {
      dm.Connect(true);
      return "connected";
    } catch (const EDatabaseError& e) {
      return e.what();
    }
  });
  const std::chrono::seconds timeOut(kConnectTimeoutSeconds);
  ASSERT_TRUE(EndsWithin(connect, timeOut + 5s, relay)) << "the connect waited past its time-out";
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_NE(connect.get(), "connected");
  EXPECT_GE(elapsed, timeOut - 1s) << "ended by the time-out, not by a refusal";
  EXPECT_EQ(relay.Accepted(), 1);
  EXPECT_FALSE(dm.IsConnected());
}

// An attach to a server that accepts and never answers, given up from
// another thread: Open throws at once instead of at the connect time-out,
// the object serves the next attach, and the client's call, which runs on,
// ends once the server goes.
TEST(AbandonAttachTest, OpenThrowsAtOnceAndTheCallLeftBehindEndsOnItsOwn) {
  TcpRelay relay(0);
  TQorDatabase database;
  database.DatabaseName = ThroughRelay(relay, fbtest::Databases().Rule);
  database.Params = {"user_name=" + fbtest::Sysdba().User, "password=" + fbtest::Sysdba().Password};
  EXPECT_FALSE(database.AbandonAttach()) << "no attach under way";
  std::future<std::string> open = std::async(std::launch::async, [&]() -> std::string {
    try {
      database.Open();
      return "attached";
    } catch (const EDatabaseError& e) {
      return e.what();
    }
  });
  const bool accepted = WaitUntil([&] { return relay.Accepted() > 0; }, 30s);
  EXPECT_FALSE(database.Abort()) << "no connection to abort yet";
  const bool abandoned = database.AbandonAttach();
  const bool ended = EndsWithin(open, 2s, relay);
  const int running = TQorDatabase::AbandonedAttachesRunning();
  relay.CloseAll();
  const bool callEnded =
      WaitUntil([] { return TQorDatabase::AbandonedAttachesRunning() == 0; }, 10s);

  ASSERT_TRUE(accepted);
  EXPECT_TRUE(abandoned);
  EXPECT_TRUE(ended) << "Open waited for the client";
  EXPECT_THAT(open.get(), HasSubstr("was abandoned"));
  EXPECT_FALSE(database.Connected());
  EXPECT_FALSE(database.AbandonAttach()) << "nothing left to abandon";
  EXPECT_EQ(running, 1) << "the client's call ran on";
  EXPECT_TRUE(callEnded) << "the call left behind ended once the server went";
  database.DatabaseName = fbtest::Databases().Rule;
  database.Open();
  EXPECT_TRUE(database.Connected());
  database.Close();
}

// The service object in this process, its folder, clock and pause the test's.
class StalledChainTest : public ::testing::Test {
 protected:
  StalledChainTest() {
    fs::create_directories(dir.File("prog/Reports"));
    fs::create_directories(dir.File("desktop"));
    fs::create_directories(dir.File("scm/services"));
    ::setenv("VIGILO_SCM_DIR", dir.File("scm").c_str(), 1);
    ::setenv("VIGILO_COMMON_DESKTOP", dir.File("desktop").c_str(), 1);
    svc = std::make_unique<TAlarmSvc>(dm, [this] { return now; });
    svc->AppDir = dir.File("prog/");
    svc->IniName = "vigilo.ini";
    svc->ReportsDir = svc->AppDir + "Reports/";
    svc->SendMail = [](const std::string&, const std::string&, const std::string&,
                       const std::string&, std::string&, const std::string&, int32_t, int32_t,
                       const TMailServerParams*) { return true; };
    dir.Write("scm/services/qorsvc.ini",
              "[Service]\r\nImagePath=" + dir.File("prog/qorsvc") + "\r\n");
    dir.Write("prog/qorsvc.ini", "[General]\r\n");
    SetLogTarget(nullptr, dir.File("prog/vigilo.log"));
  }
  ~StalledChainTest() override {
    svc.reset();
    SetLogTarget(nullptr, "debug.txt");
    ::unsetenv("VIGILO_SCM_DIR");
    ::unsetenv("VIGILO_COMMON_DESKTOP");
  }

  // The chains, with the detailed log and one check a day at 18:00.
  void UseChains(std::vector<TChainParams> chains) {
    svc->Config->Chains = std::move(chains);
    svc->Config->LogDetailed = true;
    svc->Config->ExactTime->SetText("18:00");
    svc->Config->SaveToFile(dir.File("prog/vigilo.ini"));
  }

  TChainParams Chain(const std::string& folder, const std::string& connection) {
    TChainParams chain;
    chain.TrackedChain = folder;
    chain.FolderName = folder;
    chain.Username = fbtest::Sysdba().User;
    chain.Password = fbtest::Sysdba().Password;
    chain.ConnectionString = connection;
    return chain;
  }

  // The main loop of the service on a thread of its own; the first pause
  // makes the first check due, `afterCheck` runs in the pauses after it.
  std::future<void> RunLoop(std::function<void()> afterCheck) {
    svc->Sleep = [this, pauses = 0, afterCheck = std::move(afterCheck)](uint32_t) mutable {
      if (++pauses == 1) {
        now = svc->NextCheck + 1.0 / 86400000;
      } else {
        afterCheck();
      }
    };
    return std::async(std::launch::async, [this] { svc->ServiceExecute(svc.get()); });
  }

  testing_support::TempFolder dir;
  TDmQor dm;
  TDateTime now = fbtest::FixtureToday() + EncodeTime(10, 0, 0, 0);
  std::unique_ptr<TAlarmSvc> svc;
};

// The main loop runs the check of 18:00, whose second chain stalls, then goes
// idle until its next listed time, tomorrow; the test stops it there.
TEST_F(StalledChainTest, AStalledChainTimesOutAndTheCheckGoesOnToItsEnd) {
  TcpRelay relay(kStallAfterBytes);
  const fbtest::Fixture& db = fbtest::Databases();
  UseChains({Chain("SHOPS1", db.Rule), Chain("SHOPS2", ThroughRelay(relay, db.Rule)),
             Chain("SHOPS3", db.Bare)});
  svc->ChainTimeLimit = 2s;
  // The first pause lasts until the first check is due; the one after the
  // check shows the next one scheduled and asks for the stop.
  int pauses = 0;
  TDateTime scheduled = 0;
  svc->Sleep = [&](uint32_t) {
    if (++pauses == 1) {
      now = svc->NextCheck + 1.0 / 86400000;
    } else if (pauses == 2) {
      scheduled = svc->NextCheck;
      svc->PostControlCode(platform::kServiceControlStop);
    }
  };
  std::future<void> loop =
      std::async(std::launch::async, [this] { svc->ServiceExecute(svc.get()); });
  if (!EndsWithin(loop, 60s, relay)) {
    // The stalled chain held the check: let the loop end on a stop.
    ADD_FAILURE() << "the check did not end";
    svc->PostControlCode(platform::kServiceControlStop);
  }
  loop.get();

  EXPECT_TRUE(relay.Stalled()) << "the server fell silent during the check";
  const std::vector<std::string> log = LogTexts(dir.File("prog/vigilo.log"));
  const std::string timeOut =
      "Database time-out: the chain's database work did not end within 2 s and was aborted";
  const auto at = [&](const std::string& text) { return std::find(log.begin(), log.end(), text); };
  ASSERT_THAT(log, Contains(timeOut)) << ::testing::PrintToString(log);
  EXPECT_LT(at("Check SHOPS1"), at(timeOut));
  EXPECT_LT(at(timeOut), at("Check SHOPS3")) << "the check went on with the next chain";
  EXPECT_THAT(log, Contains(HasSubstr("Data check done")));
  EXPECT_THAT(log, Not(Contains(HasSubstr("canceled"))));

  const std::string main = ReadFile(dir.File("prog/Reports/alert_report.html"));
  EXPECT_THAT(main, HasSubstr("SHOPS1"));
  EXPECT_THAT(main, HasSubstr("SHOPS3"));
  EXPECT_THAT(main, Not(HasSubstr("SHOPS2")));
  EXPECT_TRUE(fs::exists(dir.File("prog/Reports/alert_report_SHOPS1.html")));
  EXPECT_TRUE(fs::exists(dir.File("prog/Reports/alert_report_SHOPS3.html")));
  EXPECT_EQ(scheduled, fbtest::FixtureToday() + 1 + EncodeTime(18, 0, 0, 0)) << "tomorrow's";
  EXPECT_EQ(svc->LastErrorText, timeOut);
  EXPECT_FALSE(dm.IsConnected());
}

// A stop queued behind an interrogate while the first chain is stalled: the
// service thread is held in the chain's work and takes neither, yet the watch
// sees the stop and aborts the chain half the wait hint later, long before
// the chain's time limit; the check is canceled there and the loop stops.
TEST_F(StalledChainTest, AStopBehindAnInterrogateCancelsAStalledChainWithinHalfTheWaitHint) {
  TcpRelay relay(kStallAfterBytes);
  const fbtest::Fixture& db = fbtest::Databases();
  UseChains({Chain("SHOPS1", ThroughRelay(relay, db.Rule)), Chain("SHOPS2", db.Bare)});
  svc->ChainTimeLimit = 120s;
  svc->WaitHint = 8000;
  const std::chrono::milliseconds stopLimit(svc->WaitHint / 2);
  // The abort, the client's return and the loop's end, with room for a
  // sanitizer's pace; far below the time limit all the same, and within the
  // whole wait hint, which a stop must not wait out.
  const std::chrono::milliseconds margin = 4s;
  ASSERT_LE(stopLimit + margin, std::chrono::milliseconds(svc->WaitHint));
  int pauses = 0;
  svc->Sleep = [&](uint32_t) {
    if (++pauses == 1) {
      now = svc->NextCheck + 1.0 / 86400000;
    } else {
      std::this_thread::sleep_for(1ms);
    }
  };
  std::future<void> loop =
      std::async(std::launch::async, [this] { svc->ServiceExecute(svc.get()); });
  const bool stalled = WaitUntil([&] { return relay.Stalled(); }, 30s);
  const auto posted = std::chrono::steady_clock::now();
  svc->PostControlCode(platform::kServiceControlInterrogate);
  svc->PostControlCode(platform::kServiceControlStop);
  const bool ended = EndsWithin(loop, stopLimit + margin, relay);
  const auto elapsed = std::chrono::steady_clock::now() - posted;
  loop.get();

  ASSERT_TRUE(stalled) << "the server fell silent during the check";
  EXPECT_TRUE(ended)
      << "the stop behind the interrogate was not seen through in time: the chain ran on";
  EXPECT_GE(elapsed, stopLimit) << "the stop was given its time";
  EXPECT_TRUE(svc->Terminated());
  const std::vector<std::string> log = LogTexts(dir.File("prog/vigilo.log"));
  EXPECT_THAT(log, Contains("Current service task canceled due to urgent control request."))
      << ::testing::PrintToString(log);
  EXPECT_THAT(log, Not(Contains("Check SHOPS2"))) << "the check ended at the stalled chain";
  EXPECT_THAT(log, Not(Contains(HasSubstr("Database time-out"))));
  EXPECT_THAT(log, Not(Contains(HasSubstr("Data check done"))));
  EXPECT_FALSE(dm.IsConnected());
}

// A stop or a shutdown while the first chain is held: after the attach, in
// the schema probes, where the watch aborts the client's call; or in the
// attach, which a server that never answers holds until the 15 s connect
// time-out and which the watch leaves behind. Either way the chain gets half
// the wait hint and not the whole of it: with a hint of 8 s the two lie 4 s
// apart, room for a sanitizer's pace on a busy machine. The check is
// canceled there and the handler stops the service; an attach left behind
// ends once the server goes.
struct StopCase {
  const char* name;
  size_t stallAfterBytes;  // 0: the server never answers
  uint32_t code;
  const char* stopLine;
};

std::ostream& operator<<(std::ostream& os, const StopCase& c) {
  return os << c.name;
}

class StalledChainStopTest : public StalledChainTest,
                             public ::testing::WithParamInterface<StopCase> {};

TEST_P(StalledChainStopTest, TheChainGetsHalfTheWaitHintAndTheServiceStops) {
  const StopCase& stop = GetParam();
  TcpRelay relay(stop.stallAfterBytes);
  const fbtest::Fixture& db = fbtest::Databases();
  UseChains({Chain("SHOPS1", ThroughRelay(relay, db.Rule)), Chain("SHOPS2", db.Bare)});
  svc->ChainTimeLimit = 120s;
  svc->WaitHint = 8000;
  const std::chrono::milliseconds waitHint(svc->WaitHint);
  std::future<void> loop = RunLoop([] { std::this_thread::sleep_for(1ms); });
  const bool held = WaitUntil(
      [&] { return stop.stallAfterBytes == 0 ? relay.Accepted() > 0 : relay.Stalled(); }, 30s);
  const auto posted = std::chrono::steady_clock::now();
  svc->PostControlCode(stop.code);
  const bool ended = EndsWithin(loop, waitHint + 2s, relay);
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - posted);
  loop.get();
  const int leftBehind = TQorDatabase::AbandonedAttachesRunning();
  relay.CloseAll();
  const bool callsEnded =
      WaitUntil([] { return TQorDatabase::AbandonedAttachesRunning() == 0; }, 10s);

  ASSERT_TRUE(held) << "the server fell silent during the check";
  EXPECT_TRUE(ended) << "the loop ran on past the wait hint and 2 s";
  EXPECT_GE(elapsed, waitHint / 2) << "the chain was given half the wait hint";
  EXPECT_LT(elapsed, waitHint) << "stopped " << elapsed.count() << " ms after the request";
  EXPECT_TRUE(svc->Terminated());
  const std::vector<std::string> log = LogTexts(dir.File("prog/vigilo.log"));
  EXPECT_THAT(log, Contains("Current service task canceled due to urgent control request."))
      << ::testing::PrintToString(log);
  EXPECT_THAT(log, Contains(stop.stopLine));
  EXPECT_THAT(log, Not(Contains("Check SHOPS2"))) << "the check ended at the held chain";
  EXPECT_THAT(log, Not(Contains(HasSubstr("Database time-out"))));
  EXPECT_THAT(log, Not(Contains(HasSubstr("Data check done"))));
  EXPECT_FALSE(dm.IsConnected());
  EXPECT_EQ(leftBehind, stop.stallAfterBytes == 0 ? 1 : 0)
      << "an attach is left behind where the client was still in it";
  EXPECT_TRUE(callsEnded) << "the attach left behind ended once the server went";
}

INSTANTIATE_TEST_SUITE_P(
    StopAndShutdown, StalledChainStopTest,
    ::testing::Values(
        StopCase{"SilentServerStop", 0, platform::kServiceControlStop, "VazidEre service stopped"},
        StopCase{"SilentServerShutdown", 0, platform::kServiceControlShutdown,
                 "VazidEre stopped at system shutdown"},
        StopCase{"StalledAfterAttachStop", kStallAfterBytes, platform::kServiceControlStop,
                 "VazidEre service stopped"},
        StopCase{"StalledAfterAttachShutdown", kStallAfterBytes, platform::kServiceControlShutdown,
                 "VazidEre stopped at system shutdown"}),
    [](const ::testing::TestParamInfo<StopCase>& info) { return info.param.name; });

// Without a stop, a server that never answers costs its chain the connect
// time-out, as before: the chain fails with the client's own error, and the
// check goes on with the next chain and ends.
TEST_F(StalledChainTest, ASilentServerFailsItsChainAtTheConnectTimeOutAndTheCheckGoesOn) {
  TcpRelay relay(0);
  const fbtest::Fixture& db = fbtest::Databases();
  UseChains({Chain("SHOPS1", ThroughRelay(relay, db.Rule)), Chain("SHOPS2", db.Bare)});
  svc->ChainTimeLimit = 120s;
  const auto began = std::chrono::steady_clock::now();
  std::optional<std::chrono::steady_clock::duration> checked;
  std::future<void> loop = RunLoop([&] {
    if (checked) return;
    checked = std::chrono::steady_clock::now() - began;
    svc->PostControlCode(platform::kServiceControlStop);
  });
  const std::chrono::seconds timeOut(kConnectTimeoutSeconds);
  const bool ended = EndsWithin(loop, timeOut + 30s, relay);
  loop.get();

  ASSERT_TRUE(ended) << "the check did not end";
  ASSERT_TRUE(checked);
  EXPECT_GE(*checked, timeOut - 1s) << "the chain ended at the connect time-out";
  EXPECT_EQ(relay.Accepted(), 1);
  // The client's text for an attach whose server never answered.
  const std::string refused = "connection rejected by remote interface";
  const std::vector<std::string> log = LogTexts(dir.File("prog/vigilo.log"));
  const auto at = [&](const std::string& text) { return std::find(log.begin(), log.end(), text); };
  ASSERT_THAT(log, Contains(refused)) << ::testing::PrintToString(log);
  EXPECT_LT(at(refused), at("Check SHOPS2")) << "the check went on with the next chain";
  EXPECT_EQ(svc->LastErrorText, refused);
  EXPECT_THAT(log, Contains(HasSubstr("Data check done")));
  EXPECT_THAT(log, Not(Contains(HasSubstr("canceled"))));
  EXPECT_THAT(log, Not(Contains(HasSubstr("Database time-out"))));
  EXPECT_EQ(TQorDatabase::AbandonedAttachesRunning(), 0);
}

}  // namespace
