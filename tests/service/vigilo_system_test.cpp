// The service program as an installation runs it: svcmgr and vigilo as real
// processes from a folder of their own, chain databases on the local
// Firebird server (one of them unreachable), the data-acquisition settings
// beside the program, and a real SMTP server.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/datetime.h"
#include "pipes/pipe_messages.h"
#include "platform/eintr.h"
#include "platform/named_pipe.h"
#include "platform/scm.h"
#include "platform/syserror.h"
#include "tests/maillib/smtp_test_server.h"
#include "tests/service/fbtest.h"
#include "tests/service/lnkinfo_reader.h"
#include "tests/service/service_test_support.h"
#include "tests/service/tcp_relay.h"
#include "tests/support/process_support.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using service_test::CallPipe;
using service_test::LogTexts;
using service_test::PipeAnswer;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using testing_support::ReadFile;
using testing_support::WaitUntil;

std::optional<TAlrSrvStatusBlock> Status() {
  return service_test::StatusOf(service_test::CallPipe("VigiloInfo", "REQGETSTATS", "", false));
}

std::string TwoDigits(int value) {
  return std::string(1, static_cast<char>('0' + value / 10)) + static_cast<char>('0' + value % 10);
}

// The chain databases: the schema the chain check reads, with shops whose
// last counted day lies `daysAgo` days before today.
void CreateChainDatabase(const std::string& connection,
                         const std::vector<std::pair<std::string, int>>& shops) {
  std::vector<std::string> statements = {
      "CREATE TABLE SHOPS (IDSHOP INTEGER NOT NULL PRIMARY KEY, SHOPNAME VARCHAR(60))",
      "CREATE TABLE VISITORS (IDSHOP INTEGER, DDATE TIMESTAMP, ENTERS INTEGER)",
  };
  int id = 0;
  for (const auto& [name, daysAgo] : shops) {
    ++id;
    statements.push_back("INSERT INTO SHOPS VALUES (" + std::to_string(id) + ", '" + name + "')");
    statements.push_back("INSERT INTO VISITORS VALUES (" + std::to_string(id) +
                         ", CURRENT_DATE - " + std::to_string(daysAgo) + ", 12)");
  }
  fbtest::CreateDatabase(connection, statements);
}

class VigiloSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = std::make_unique<testing_support::TempFolder>();
    prog = service_test::MakeInstallation(*root);

    for (const char* chain : {"SHOPS1", "SHOPS2"}) {
      const std::string folder = databases.Path() + "/" + chain;
      fs::create_directories(folder);
      ::chmod(folder.c_str(), 0777);
    }
    CreateChainDatabase("localhost:" + databases.Path() + "/SHOPS1/qor.fdb",
                        {{"Counted", 1}, {"Behind", 4}, {"Quiet", 20}});
    CreateChainDatabase("localhost:" + databases.Path() + "/SHOPS2/qor.fdb",
                        {{"Weekly", 10}, {"Fresh", 0}});
    const fbtest::Credentials& sysdba = fbtest::Sysdba();
    std::string qor;
    const char* names[] = {"Shops One", "Shops Two", "Gone"};
    const std::string paths[] = {databases.Path() + "/SHOPS1/qor.fdb",
                                 databases.Path() + "/SHOPS2/qor.fdb",
                                 databases.Path() + "/GONE/qor.fdb"};
    for (int i = 0; i < 3; ++i) {
      qor += "[Directory" + std::to_string(i) + "]\r\nTrackDirectory=" + names[i] +
             "\r\nHost=localhost\r\nDatabase=" + paths[i] + "\r\nUsername=" + sysdba.User +
             "\r\nPassword=" + sysdba.Password + "\r\n";
    }
    root->Write("prog/qorsvc.ini", qor);

    smtp = std::make_unique<mailtest::SmtpTestServer>(root->File("mail"),
                                                      mailtest::SmtpTestServer::Options{});
  }

  // Writes vigilo.ini with the check times `exactTime` and `extra` lines,
  // registers the service as an installation does and starts the manager,
  // which starts it.
  // `registration` lines are added to the registration's [Service] section.
  void Start(const std::string& exactTime, const std::string& extra,
             const std::string& registration = "") {
    root->Write("prog/vigilo.ini",
                "[General]\r\nLogDetailed=1\r\nExactTime=" + exactTime +
                    "\r\nTrackedChains=2\r\n[Alarms]\r\n" + extra +
                    "[Chain00]\r\nTrackedChain=Shops One\r\n"
                    "[Chain01]\r\nTrackedChain=Shops Two\r\nDaysNoCheck=1234567\r\n");
    ASSERT_EQ(testing_support::RunProgram({prog + "vigilo", "/install", "/silent"}).exitCode, 0);
    if (!registration.empty()) {
      const std::string file = root->File("scm/services/vazidere.ini");
      ASSERT_TRUE(fs::exists(file));
      root->Write("scm/services/vazidere.ini", ReadFile(file) + registration);
    }
    manager = testing_support::StartChild(SVCMGR_PROGRAM);
    ASSERT_GT(manager, 0);
  }

  void TearDown() override {
    if (manager > 0) {
      testing_support::StopChild(manager);
    }
    service_test::ClearInstallationEnvironment();
    ::unsetenv("VIGILO_TEST_CLOCK_START");
  }

  std::string Log() const { return prog + "vigilo.log"; }

  // The checks the log shows done.
  size_t ChecksDone() const {
    const std::vector<std::string> texts = LogTexts(Log());
    return std::count_if(texts.begin(), texts.end(), [](const std::string& text) {
      return text.rfind("Data check done", 0) == 0;
    });
  }

  // Stops the service and starts it again: with a listed time that has just
  // passed, its first check comes 5 s after the start. Waits for that check.
  void CheckAgain() {
    const size_t done = ChecksDone();
    ASSERT_EQ(Control(platform::kServiceControlStop, platform::kServiceStop), 0u);
    ASSERT_TRUE(WaitUntil([&] { return ServiceState() == platform::kServiceStopped; }));
    ASSERT_EQ(Control(0, platform::kServiceStart), 0u);
    ASSERT_TRUE(WaitUntil([&] { return ChecksDone() > done; })) << ReadFile(Log());
  }

  uint32_t ServiceState() { return testing_support::ServiceState("VazidEre"); }
  uint32_t Control(uint32_t code, uint32_t access) {
    return testing_support::ControlServiceNamed("VazidEre", code, access);
  }

  // ---- A chain whose server falls silent, and a stop while it is held.

  // Starts the service with the first chain's host behind `relay`.
  void StartThrough(const testing_support::TcpRelay& relay) {
    std::string qor = ReadFile(prog + "qorsvc.ini");
    qor.replace(qor.find("Host=localhost"), 14, "Host=" + relay.Host());
    root->Write("prog/qorsvc.ini", qor);
    Start(service_test::HoursMinutes(Now()), "");
  }

  // The wait hint of the running service's status; 0 when it is not running.
  std::chrono::milliseconds ReportedWaitHint() {
    platform::ServiceManagerClient& scm = platform::SystemServiceManager();
    platform::ScHandlePtr scManager, service;
    platform::ServiceStatus status;
    if (scm.OpenSCManager("", platform::kScManagerConnect, scManager) != 0 ||
        scm.OpenService(*scManager, "VazidEre", platform::kServiceQueryStatus, service) != 0 ||
        scm.QueryServiceStatus(*service, status) != 0 ||
        status.dwCurrentState != platform::kServiceRunning) {
      return {};
    }
    return std::chrono::milliseconds(status.dwWaitHint);
  }

  struct StopOutcome {
    bool stopped = false;
    std::chrono::milliseconds elapsed{};
    bool processEnded = false;
  };

  // While a chain is held: the stop through the manager, or for `shutdown`
  // the manager's end, which shuts the service down and waits for its
  // process. Measures the time from the request until the service reported
  // stopped (until the manager has ended), and tells whether the service's
  // process has ended, both within `limit` of the request. Then the relay
  // lets the service go, whatever the outcome.
  StopOutcome StopHeld(bool shutdown, testing_support::TcpRelay& relay,
                       std::chrono::milliseconds limit) {
    StopOutcome outcome;
    const pid_t vigilo = testing_support::FindProcess(prog + "vigilo");
    EXPECT_GT(vigilo, 0) << "the service's process";
    // Reaped by the manager, so gone rather than a zombie.
    const auto ended = [vigilo] { return vigilo > 0 && ::kill(vigilo, 0) != 0; };
    const auto posted = std::chrono::steady_clock::now();
    const auto end = posted + limit;
    if (shutdown) {
      ::kill(manager, SIGTERM);
      outcome.stopped = testing_support::AwaitExit(manager, end) == 0;
      manager = -1;
    } else {
      EXPECT_EQ(Control(platform::kServiceControlStop, platform::kServiceStop), 0u);
      while (!(outcome.stopped = ServiceState() == platform::kServiceStopped) &&
             std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(5ms);
      }
    }
    outcome.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - posted);
    while (!(outcome.processEnded = ended()) && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(5ms);
    }
    relay.CloseAll();
    EXPECT_TRUE(WaitUntil(ended)) << "the service's process ended once the relay let it go";
    return outcome;
  }

  // The stop took half the wait hint for the chain, and not the whole of it.
  static void ExpectHalfTheWaitHint(const StopOutcome& outcome,
                                    std::chrono::milliseconds waitHint) {
    ASSERT_GT(waitHint.count(), 0) << "the service ran and reported its wait hint";
    EXPECT_TRUE(outcome.stopped) << "not stopped after " << outcome.elapsed.count() << " ms";
    EXPECT_GE(outcome.elapsed, waitHint / 2) << "the chain was given half the wait hint";
    EXPECT_LT(outcome.elapsed, waitHint)
        << "stopped " << outcome.elapsed.count() << " ms after the request";
  }

  // The log of a check canceled at the held chain, then the line of the
  // handler that stopped the service.
  void ExpectCanceledAndStopped(const std::string& stopLine) const {
    const std::vector<std::string> log = LogTexts(Log());
    EXPECT_THAT(log, Contains("Current service task canceled due to urgent control request."))
        << ::testing::PrintToString(log);
    EXPECT_THAT(log, Not(Contains(HasSubstr("Data check done"))));
    EXPECT_THAT(log, Not(Contains("Check SHOPS2"))) << "the check ended at the held chain";
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), stopLine);
  }

  fbtest::DatabaseFolder databases;
  std::unique_ptr<testing_support::TempFolder> root;
  std::string prog;
  std::unique_ptr<mailtest::SmtpTestServer> smtp;
  pid_t manager = -1;
};

using service_test::HoursMinutes;

// The day of the month of `value`.
int DayOf(TDateTime value) {
  int year, month, day;
  DecodeDate(value, year, month, day);
  return day;
}

TEST_F(VigiloSystemTest, AnInstallationChecksReportsMailsAndAnswersItsPipes) {
  // A listed time that has just passed: the first check comes 5 s after the
  // start, and the next one tomorrow at that time.
  const TDateTime started = Now();
  if (HoursMinutes(started) == "23:59") GTEST_SKIP() << "the day changes during the test";
  const std::string exactTime = HoursMinutes(started);
  const int tomorrow = DayOf(started + 1);
  Start(exactTime,
        "UseEmail=1\r\nAlarmMailDefault=0\r\nAlarmMailAddr=ops@example.test\r\n"
        "AlarmMailSmtpHost=127.0.0.1\r\nAlarmMailSmtpPort=" +
            std::to_string(smtp->Port()) + "\r\nAlarmMailBody=Bonjour,\"les alarmes du jour\"\r\n");
  // The status during the start and the first check, read as often as the
  // pipe answers.
  bool sawBusyCheck = false;
  ASSERT_TRUE(WaitUntil([&] {
    std::optional<TAlrSrvStatusBlock> status = Status();
    if (status && status->Busy && status->NextCheckTime.wYear != 0) sawBusyCheck = true;
    return fs::exists(prog + "Reports/alert_report.html") &&
           ReadFile(Log()).find("Data check done") != std::string::npos;
  })) << ReadFile(Log());
  EXPECT_TRUE(sawBusyCheck) << "busy while the check ran";

  const std::vector<std::string> log = LogTexts(Log());
  const std::vector<std::string> start(log.begin(), log.begin() + std::min<size_t>(5, log.size()));
  EXPECT_EQ(start,
            (std::vector<std::string>{
                "Starting service...", "Configuration loaded from \"vigilo.ini\"",
                "Pipe server started \"VigiloInfo\"", "Pipe server started \"VigiloControl\"",
                "VazidEre service started (ver. 1.0.0)"}));
  EXPECT_THAT(log, Contains("Check SHOPS1"));
  EXPECT_THAT(log, Contains("Check SHOPS2"));
  EXPECT_THAT(log, Not(Contains("Check GONE")));
  EXPECT_THAT(log, Contains(HasSubstr("GONE/qor.fdb"))) << "the unreachable chain's error";
  EXPECT_EQ(std::count(log.begin(), log.end(), "le message est envoy\xC3\xA9 avec succ\xC3\xA8s."),
            1);

  // Reports: UTF-8, the chains' shops, the excluded days.
  const std::string main = ReadFile(prog + "Reports/alert_report.html");
  EXPECT_THAT(main, HasSubstr("<meta charset=\"utf-8\">"));
  EXPECT_THAT(main, HasSubstr("Behind"));
  EXPECT_THAT(main, HasSubstr("Quiet"));
  EXPECT_THAT(main, Not(HasSubstr("Counted")));
  EXPECT_THAT(main, Not(HasSubstr("Weekly"))) << "every day of the week is excluded";
  EXPECT_THAT(
      main,
      HasSubstr("Le rapport est g\xC3\xA9n\xC3\xA9r\xC3\xA9 par CORVANTE Alert Service (v 1.0)"));
  EXPECT_TRUE(fs::exists(prog + "Reports/alert_report_SHOPS1.html"));
  EXPECT_FALSE(fs::exists(prog + "Reports/alert_report_SHOPS2.html"));

  // The shortcut, as an independent reader sees it.
  testing_support::LnkInfo link =
      testing_support::ReadWithLnkinfo(root->File("desktop/Alert_Report.lnk"));
  ASSERT_EQ(link.exitStatus, 0) << link.output;
  EXPECT_EQ(link.fields["Local path"], prog + "Reports/alert_report.html") << link.output;
  EXPECT_EQ(link.fields["Working directory"], prog + "Reports") << link.output;
  EXPECT_EQ(link.fields["Description"], "Alert report") << link.output;
  EXPECT_EQ(link.fields["Icon location"], prog + "report.ico") << link.output;

  // One mail, for the one chain with alarms, its report attached.
  std::vector<mailtest::ReceivedMail> mails;
  ASSERT_TRUE(WaitUntil([&] {
    mails = smtp->Messages();
    return !mails.empty();
  }));
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0].subject, "Message de alarme du Alert Service - SHOPS1");
  EXPECT_THAT(mails[0].body, HasSubstr("CORVANTE Alert Service 1.0"));
  EXPECT_THAT(mails[0].body, HasSubstr("les alarmes du jour"));
  ASSERT_EQ(mails[0].attachments.size(), 1u);
  EXPECT_EQ(mails[0].attachments[0].name, "alert_report_SHOPS1.html");
  EXPECT_EQ(mails[0].attachments[0].data, ReadFile(prog + "Reports/alert_report_SHOPS1.html"));

  // The settings carry the new times.
  const std::string ini = ReadFile(prog + "vigilo.ini");
  EXPECT_THAT(ini, Not(HasSubstr("LastCheckAt=30/12/1899")));
  EXPECT_THAT(ini, Not(HasSubstr("LastSentOutAt=30/12/1899")));
  EXPECT_THAT(ini, HasSubstr("DaysNoCheck=1234567"));

  // The status: idle, the check's closing line, tomorrow at the listed time.
  std::optional<TAlrSrvStatusBlock> status = Status();
  ASSERT_TRUE(status);
  EXPECT_EQ(status->Busy, 0);
  EXPECT_EQ(status->VerMajor, 1);
  EXPECT_THAT(StatusText(status->LastEventText), HasSubstr("Data check done, elapsed time 00:00:"));
  EXPECT_THAT(StatusText(status->LastErrorText), HasSubstr("GONE/qor.fdb"));
  EXPECT_EQ(status->NextCheckTime.wDay, tomorrow);
  EXPECT_EQ(TwoDigits(status->NextCheckTime.wHour) + ":" + TwoDigits(status->NextCheckTime.wMinute),
            exactTime);
  EXPECT_NE(status->LastReportTime.wYear, 1899);

  // The settings over the control pipe.
  const PipeAnswer got = CallPipe("VigiloControl", "REQGETCONFIG");
  ASSERT_EQ(got.error, 0u);
  EXPECT_EQ(std::string(got.bytes.begin() + kPipeHeaderSize, got.bytes.end()),
            ReadFile(prog + "vigilo.ini"));
  const std::string sent =
      std::string(got.bytes.begin() + kPipeHeaderSize, got.bytes.end()) + "[Extra]\r\nKey=1\r\n";
  const PipeAnswer put = CallPipe("VigiloControl", "REQSETCONFIG", sent);
  ASSERT_EQ(put.error, 0u);
  EXPECT_EQ(ReadFile(prog + "vigilo.ini"), sent);
  status = Status();
  ASSERT_TRUE(status);
  EXPECT_EQ(StatusText(status->LastEventText), "Service configuration file updated by client");

  // Stop through the manager.
  ASSERT_EQ(Control(platform::kServiceControlStop, platform::kServiceStop), 0u);
  ASSERT_TRUE(WaitUntil([&] { return ServiceState() == platform::kServiceStopped; }));
  const std::vector<std::string> after = LogTexts(Log());
  ASSERT_GE(after.size(), 4u);
  EXPECT_EQ(
      std::vector<std::string>(after.end() - 4, after.end()),
      (std::vector<std::string>{"Stopping service...", "Pipe server stopped \"VigiloControl\"",
                                "Pipe server stopped \"VigiloInfo\"", "VazidEre service stopped"}));
  EXPECT_EQ(ReadFile(prog + "vigilo.ini"), sent) << "the stop wrote nothing over the new file";

  // Started again, it reads the new file; the manager's end shuts it down.
  ASSERT_EQ(Control(0, platform::kServiceStart), 0u);
  ASSERT_TRUE(WaitUntil([&] { return ServiceState() == platform::kServiceRunning; }));
  EXPECT_EQ(testing_support::StopChild(manager), 0);
  manager = -1;
  EXPECT_EQ(LogTexts(Log()).back(), "VazidEre stopped at system shutdown");
}

// The "hh:nn:ss" stamp of the first log line whose text is `text`, or "".
std::string StampOf(const std::string& log, const std::string& text) {
  const size_t found = log.find("\t" + text + "\n");
  return found == std::string::npos || found < 8 ? "" : log.substr(found - 8, 8);
}

// The check of a listed time that lies ahead starts at that time, not before.
// The program under test is the service program with a clock of its own
// (tests/service/vigilo_clocked.cpp), which starts 8 s before a listed 10:00
// today: the check is due 8 s after the start, whatever the wall clock says.
TEST_F(VigiloSystemTest, TheCheckRunsAtTheListedTime) {
  const TDateTime today = DateOf(Now());
  const TDateTime listed = today + EncodeTime(10, 0, 0, 0);
  fs::copy_file(VIGILO_CLOCKED_PROGRAM, prog + "vigilo", fs::copy_options::overwrite_existing);
  char start[32];
  std::snprintf(start, sizeof start, "%.10f", listed - EncodeTime(0, 0, 8, 0));
  ::setenv("VIGILO_TEST_CLOCK_START", start, 1);
  Start("10:00", "");
  ::unsetenv("VIGILO_TEST_CLOCK_START");  // the manager has passed it on
  std::optional<TAlrSrvStatusBlock> status;
  ASSERT_TRUE(WaitUntil([&] {
    status = Status();
    return status && status->NextCheckTime.wYear != 0;
  }));
  // Read while the service's clock still shows 09:59:5x.
  EXPECT_FALSE(fs::exists(prog + "Reports/alert_report.html"));
  EXPECT_EQ(status->Busy, 0);
  EXPECT_EQ(status->NextCheckTime.wHour, 10);
  EXPECT_EQ(status->NextCheckTime.wMinute, 0);
  EXPECT_EQ(status->NextCheckTime.wSecond, 0);
  EXPECT_EQ(status->NextCheckTime.wMilliseconds, 0);
  EXPECT_EQ(status->NextCheckTime.wDay, DayOf(today)) << "today";

  ASSERT_TRUE(WaitUntil([&] {
    return ReadFile(Log()).find("Data check done") != std::string::npos;
  })) << ReadFile(Log());
  const std::string log = ReadFile(Log());
  // The service's clock began where it was told; the check, which connects
  // to the first chain's database before its line, began at 10:00:00.
  const std::string started = StampOf(log, "Starting service...");
  EXPECT_GE(started, "09:59:52") << log;
  EXPECT_LE(started, "09:59:54") << log;
  const std::string checked = StampOf(log, "Check SHOPS1");
  EXPECT_GE(checked, "10:00:00") << log;
  EXPECT_LE(checked, "10:00:05") << log;
  EXPECT_TRUE(fs::exists(prog + "Reports/alert_report.html"));
  status = Status();
  ASSERT_TRUE(status);
  EXPECT_EQ(status->NextCheckTime.wDay, DayOf(today + 1)) << "the next one is tomorrow";
  EXPECT_EQ(status->NextCheckTime.wHour, 10);
  EXPECT_EQ(status->NextCheckTime.wMinute, 0);
}

// A stop while the first chain's server has fallen silent after the attach,
// in the schema probes: the service waits for the chain half the wait hint
// it reports, aborts its database work, logs the cancellation and is stopped
// before the wait hint has passed; its process has ended 2 s later (the
// manager's and this test's polls).
TEST_F(VigiloSystemTest, AStopDuringAStalledChainIsAnsweredWithinTheWaitHint) {
  testing_support::TcpRelay relay(2000);
  StartThrough(relay);
  ASSERT_TRUE(WaitUntil([&] { return relay.Stalled(); })) << ReadFile(Log());
  const std::chrono::milliseconds waitHint = ReportedWaitHint();
  const StopOutcome outcome = StopHeld(false, relay, waitHint + 2s);
  ExpectHalfTheWaitHint(outcome, waitHint);
  EXPECT_TRUE(outcome.processEnded) << "the service's process ended after its stop";
  ExpectCanceledAndStopped("VazidEre service stopped");
}

// A server that accepts the connection and never answers: the client is
// still in the attach, with no connection to abort before its 15 s connect
// time-out. A stop or a shutdown leaves the attach behind after half the
// wait hint, as it aborts a call, and the process ends all the same.
struct SilentServerCase {
  const char* name;
  bool shutdown;
  const char* stopLine;
};

std::ostream& operator<<(std::ostream& os, const SilentServerCase& c) {
  return os << c.name;
}

class SilentServerSystemTest : public VigiloSystemTest,
                               public ::testing::WithParamInterface<SilentServerCase> {};

TEST_P(SilentServerSystemTest, AStopInTheAttachIsAnsweredWithinTheWaitHintAndTheProcessEnds) {
  testing_support::TcpRelay relay(0);
  StartThrough(relay);
  ASSERT_TRUE(WaitUntil([&] { return relay.Accepted() > 0; })) << ReadFile(Log());
  const std::chrono::milliseconds waitHint = ReportedWaitHint();
  const StopOutcome outcome = StopHeld(GetParam().shutdown, relay, waitHint + 2s);
  ExpectHalfTheWaitHint(outcome, waitHint);
  EXPECT_TRUE(outcome.processEnded) << "the service's process was still there "
                                    << (waitHint + 2s).count() << " ms after the request";
  EXPECT_EQ(relay.Accepted(), 1) << "one attach, which never got an answer";
  ExpectCanceledAndStopped(GetParam().stopLine);
}

INSTANTIATE_TEST_SUITE_P(
    StopAndShutdown, SilentServerSystemTest,
    ::testing::Values(SilentServerCase{"Stop", false, "VazidEre service stopped"},
                      SilentServerCase{"Shutdown", true, "VazidEre stopped at system shutdown"}),
    [](const ::testing::TestParamInfo<SilentServerCase>& info) { return info.param.name; });

}  // namespace

namespace {

// Runs `work` in a child process as the user `uid`; its exit status (0 when
// `work` returned true), -1 when no child could be started or waited for.
int AsUser(uid_t uid, gid_t gid, const std::function<bool()>& work) {
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(3);
    ::_exit(work() ? 0 : 1);
  }
  int status = 0;
  if (platform::RetryOnEintr([&] { return ::waitpid(child, &status, 0); }) < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

// `name` replaced by a symbolic link to `target`, as its folder's writer may.
bool PlantLink(const std::string& target, const std::string& name) {
  std::error_code ec;
  fs::remove(name, ec);
  fs::create_symlink(target, name, ec);
  return !ec;
}

// The shortcut's desktop belongs to an ordinary user (the shop's account,
// named in the registration) and "Reports/" may be written by anyone. That
// user replaces the shortcut and the reports by links: to a root-owned 0600
// file in a 0700 folder, and dangling into a folder of root's. The service,
// as root, writes neither through them: the victim keeps its bytes, nothing
// appears in root's folder, and a real shortcut and real reports lie where
// the links were.
TEST_F(VigiloSystemTest, LinksAnotherUserPlantedAreReplacedNeverWrittenThrough) {
  if (::geteuid() != 0) GTEST_SKIP() << "the service must run as root, the attacker as nobody";
  const passwd* nobody = ::getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "no account nobody";
  const TDateTime started = Now();
  if (HoursMinutes(started) >= "23:58") GTEST_SKIP() << "the day changes during the test";
  ASSERT_EQ(::chmod(root->Path().c_str(), 0755), 0);  // others may reach the desktop
  fs::create_directories(root->File("secret"));
  ASSERT_EQ(::chmod(root->File("secret").c_str(), 0700), 0);
  const std::string victim = root->Write("secret/victim", "root's own secret");
  ASSERT_EQ(::chmod(victim.c_str(), 0600), 0);
  fs::create_directories(root->File("rootonly"));
  ASSERT_EQ(::chmod(root->File("rootonly").c_str(), 0755), 0);
  const std::string desktop = root->File("shop-desktop");
  fs::create_directories(desktop);
  ASSERT_EQ(::chown(desktop.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  ASSERT_EQ(::chmod((prog + "Reports").c_str(), 0777), 0);
  const std::string shortcut = desktop + "/Alert_Report.lnk";
  const std::string mainReport = prog + "Reports/alert_report.html";
  const std::string chainReport = prog + "Reports/alert_report_SHOPS1.html";

  Start(HoursMinutes(started), "", "Environment=VIGILO_COMMON_DESKTOP=" + desktop + "\r\n");
  ASSERT_TRUE(WaitUntil([&] { return ChecksDone() == 1; })) << ReadFile(Log());
  ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(shortcut))) << ReadFile(Log());

  auto expectUntouchedAndReal = [&](const char* round) {
    SCOPED_TRACE(round);
    EXPECT_EQ(ReadFile(victim), "root's own secret");
    struct stat st;
    ASSERT_EQ(::stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(fs::is_empty(root->File("rootonly"))) << "nothing planted in root's folder";
    for (const std::string& file : {shortcut, mainReport, chainReport}) {
      EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file))) << file;
    }
    EXPECT_THAT(ReadFile(mainReport), HasSubstr("Behind"));
    testing_support::LnkInfo link = testing_support::ReadWithLnkinfo(shortcut);
    ASSERT_EQ(link.exitStatus, 0) << link.output;
    EXPECT_EQ(link.fields["Local path"], mainReport) << link.output;
  };

  // The shortcut and the main report to root's secret, a chain report
  // dangling into root's folder.
  ASSERT_EQ(AsUser(nobody->pw_uid, nobody->pw_gid,
                   [&] {
                     return PlantLink(victim, shortcut) && PlantLink(victim, mainReport) &&
                            PlantLink(root->File("rootonly/planted.html"), chainReport);
                   }),
            0);
  CheckAgain();
  expectUntouchedAndReal("links to root's secret");

  // The shortcut dangling into root's folder.
  ASSERT_EQ(AsUser(nobody->pw_uid, nobody->pw_gid,
                   [&] { return PlantLink(root->File("rootonly/planted.lnk"), shortcut); }),
            0);
  CheckAgain();
  expectUntouchedAndReal("a dangling link");
}

// The Link errors of the log, in their order.
std::vector<std::string> LinkErrors(const std::string& log) {
  std::vector<std::string> errors;
  for (const std::string& text : LogTexts(log)) {
    if (text.rfind("Link error ", 0) == 0) errors.push_back(text);
  }
  return errors;
}

// The shop's user owns the folders on the way to the desktop named in the
// registration and redirects them: his desktop swapped for a link to a root
// 0700 folder, a folder of his above the desktop turned into a link to
// root's, and the swap done in a loop while the service checks. Root's
// folder never gets the shortcut, and each refusal is the shortcut's "Link
// error" naming the folder; his link to a folder of his own on another disk
// still gets it.
TEST_F(VigiloSystemTest, TheDesktopUsersFolderLinksLeadTheShortcutOnlyIntoHisOwnFolders) {
  if (::geteuid() != 0) GTEST_SKIP() << "the service must run as root, the attacker as nobody";
  const passwd* nobody = ::getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "no account nobody";
  const TDateTime started = Now();
  if (HoursMinutes(started) >= "23:58") GTEST_SKIP() << "the day changes during the test";
  const uid_t uid = nobody->pw_uid;
  const gid_t gid = nobody->pw_gid;
  ASSERT_EQ(::chmod(root->Path().c_str(), 0755), 0);  // others may reach the desktop
  const auto folder = [&](const std::string& name, uid_t owner, mode_t mode) {
    fs::create_directories(root->File(name));
    EXPECT_EQ(::chown(root->File(name).c_str(), owner, owner == 0 ? 0 : gid), 0);
    EXPECT_EQ(::chmod(root->File(name).c_str(), mode), 0);
    return root->File(name);
  };
  const std::string secret = folder("secret", 0, 0700);
  folder("secret/Desktop", 0, 0700);
  folder("home", uid, 0755);
  const std::string data = folder("home/data", uid, 0755);
  const std::string desktop = folder("home/data/Desktop", uid, 0755);
  folder("disk2", 0, 0755);
  folder("disk2/shop", uid, 0755);
  const std::string ownDisk = folder("disk2/shop/Desktop", uid, 0755);
  const std::string shortcut = desktop + "/Alert_Report.lnk";
  const auto expectNothingInSecret = [&] {
    for (const auto& entry : fs::recursive_directory_iterator(secret)) {
      EXPECT_EQ(entry.path().string(), secret + "/Desktop") << "root's folder got a file";
    }
  };
  const auto expectNewLinkError = [&](size_t before, const std::string& folderNamed) {
    const std::vector<std::string> errors = LinkErrors(Log());
    ASSERT_GT(errors.size(), before) << ReadFile(Log());
    EXPECT_THAT(errors.back(), StartsWith("Link error " + desktop + " leads to " + folderNamed +
                                          ", which is not written: "));
  };

  Start(HoursMinutes(started), "", "Environment=VIGILO_COMMON_DESKTOP=" + desktop + "\r\n");
  ASSERT_TRUE(WaitUntil([&] { return ChecksDone() == 1; })) << ReadFile(Log());
  ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(shortcut))) << ReadFile(Log());
  EXPECT_TRUE(LinkErrors(Log()).empty()) << ReadFile(Log());

  {
    SCOPED_TRACE("his desktop swapped for a link to root's folder");
    ASSERT_EQ(AsUser(uid, gid,
                     [&] {
                       return ::rename(desktop.c_str(), (desktop + ".real").c_str()) == 0 &&
                              PlantLink(secret, desktop);
                     }),
              0);
    const size_t before = LinkErrors(Log()).size();
    CheckAgain();
    expectNothingInSecret();
    expectNewLinkError(before, secret);
  }
  {
    SCOPED_TRACE("his folder above the desktop turned into a link to root's");
    ASSERT_EQ(AsUser(uid, gid,
                     [&] {
                       return ::unlink(desktop.c_str()) == 0 &&
                              ::rename((desktop + ".real").c_str(), desktop.c_str()) == 0 &&
                              ::rename(data.c_str(), (data + ".real").c_str()) == 0 &&
                              PlantLink(secret, data);
                     }),
              0);
    const size_t before = LinkErrors(Log()).size();
    CheckAgain();
    expectNothingInSecret();
    expectNewLinkError(before, secret + "/Desktop");
  }
  {
    SCOPED_TRACE("his link to his own folder on another disk");
    ASSERT_EQ(AsUser(uid, gid,
                     [&] {
                       return ::unlink(data.c_str()) == 0 &&
                              ::rename((data + ".real").c_str(), data.c_str()) == 0 &&
                              ::rename(desktop.c_str(), (desktop + ".old").c_str()) == 0 &&
                              PlantLink(ownDisk, desktop);
                     }),
              0);
    const size_t before = LinkErrors(Log()).size();
    CheckAgain();
    EXPECT_EQ(LinkErrors(Log()).size(), before) << ReadFile(Log());
    const std::string onOwnDisk = ownDisk + "/Alert_Report.lnk";
    ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(onOwnDisk)));
    testing_support::LnkInfo link = testing_support::ReadWithLnkinfo(onOwnDisk);
    ASSERT_EQ(link.exitStatus, 0) << link.output;
    EXPECT_EQ(link.fields["Local path"], prog + "Reports/alert_report.html") << link.output;
  }
  {
    SCOPED_TRACE("his desktop swapped with a link to root's folder in a loop during checks");
    ASSERT_EQ(AsUser(uid, gid,
                     [&] {
                       return ::unlink(desktop.c_str()) == 0 &&
                              ::rename((desktop + ".old").c_str(), desktop.c_str()) == 0 &&
                              PlantLink(secret, data + "/swap");
                     }),
              0);
    const pid_t swapper = ::fork();
    ASSERT_GE(swapper, 0);
    if (swapper == 0) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(3);
      const std::string swap = data + "/swap";
      for (;;) {
        ::renameat2(AT_FDCWD, desktop.c_str(), AT_FDCWD, swap.c_str(), RENAME_EXCHANGE);
      }
    }
    CheckAgain();
    CheckAgain();
    ::kill(swapper, SIGKILL);
    int status = 0;
    platform::RetryOnEintr([&] { return ::waitpid(swapper, &status, 0); });
    expectNothingInSecret();
  }
}

}  // namespace
