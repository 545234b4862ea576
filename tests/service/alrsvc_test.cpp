// The service object in this process: the schedule, the status, the start
// and stop of its work with real pipe servers, and the check run against the
// real Firebird server, with the clock, the pause and the mail call replaced.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/debuglog.h"
#include "pipes/pipe_messages.h"
#include "platform/named_pipe.h"
#include "platform/scm.h"
#include "platform/service.h"
#include "platform/shell.h"
#include "platform/syserror.h"
#include "service/alr_resstr.h"
#include "service/alrsrv.h"
#include "tests/service/fbtest.h"
#include "tests/service/service_test_support.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using service_test::LogTexts;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using testing_support::ReadFile;
using testing_support::TempFolder;

constexpr char kCanceled[] = "Current service task canceled due to urgent control request.";

TDateTime At(int year, int month, int day, int hour, int minute, int second) {
  return EncodeDate(year, month, day) + EncodeTime(hour, minute, second, 0);
}

std::string Stamp(TDateTime value) {
  return DateTimeToStr(value, FixedFormatSettings());
}

struct MailCall {
  std::string recipients, subject, body, attachments;
  bool hasServer = false;
  TMailServerParams server{};
};

// A service object whose folder, clock, pause and mail call belong to the test.
class ServiceFixture : public ::testing::Test {
 protected:
  ServiceFixture() {
    fs::create_directories(dir.File("prog/Reports"));
    fs::create_directories(dir.File("desktop"));
    fs::create_directories(dir.File("run"));
    fs::create_directories(dir.File("scm/services"));
    ::chmod(dir.File("run").c_str(), 0755);
    ::setenv("VIGILO_RUNTIME_DIR", dir.File("run").c_str(), 1);
    ::setenv("VIGILO_SCM_DIR", dir.File("scm").c_str(), 1);
    ::setenv("VIGILO_COMMON_DESKTOP", dir.File("desktop").c_str(), 1);
    svc = std::make_unique<TAlarmSvc>(dm, [this] { return Tick(); });
    svc->ProgramPath = dir.File("prog/vigilo");
    svc->AppDir = dir.File("prog/");
    svc->IniName = "vigilo.ini";
    svc->ReportsDir = svc->AppDir + "Reports/";
    svc->LogName = "vigilo.log";
    svc->FormatSettings.ShortDateFormat = "dd/mm/yyyy";
    svc->Report->FormatSettings = FixedFormatSettings();
    // This program carries version 3.2.0.7, as the service carries its own.
    svc->VersionInfo = std::make_unique<TVersionInfo>();
    svc->Report->VersionInfo = svc->VersionInfo.get();
    svc->Sleep = [this](uint32_t ms) { now += ms / 86400000.0; };
    svc->SendMail = [this](const std::string& recipients, const std::string& subject,
                           const std::string& body, const std::string& attachments,
                           std::string& errorText, const std::string&, int32_t, int32_t,
                           const TMailServerParams* server) {
      MailCall call{recipients, subject, body, attachments, server != nullptr, {}};
      if (server) call.server = *server;
      mails.push_back(call);
      if (onMail) onMail();
      errorText = mailError;
      return mailError.empty();
    };
    // The data-acquisition service, registered with no directory.
    dir.Write("scm/services/qorsvc.ini",
              "[Service]\r\nImagePath=" + dir.File("prog/qorsvc") + "\r\n");
    dir.Write("prog/qorsvc.ini", "[General]\r\n");
    SetLogTarget(nullptr, LogPath());
  }
  ~ServiceFixture() override {
    svc.reset();
    SetLogTarget(nullptr, "debug.txt");
    for (const char* var : {"VIGILO_RUNTIME_DIR", "VIGILO_SCM_DIR", "VIGILO_COMMON_DESKTOP"}) {
      ::unsetenv(var);
    }
  }

  // Each reading of the clock, for tests that act at a given one.
  TDateTime Tick() {
    ++ticks;
    if (onTick) onTick(ticks);
    return now;
  }
  std::string LogPath() const { return dir.File("prog/vigilo.log"); }
  std::string IniPath() const { return dir.File("prog/vigilo.ini"); }
  std::string Reports() const { return dir.File("prog/Reports/"); }

  TChainParams Chain(const std::string& folder, const std::string& connection) {
    TChainParams chain;
    chain.TrackedChain = folder;
    chain.FolderName = folder;
    chain.DbIndex = 0;
    chain.Username = fbtest::Sysdba().User;
    chain.Password = fbtest::Sysdba().Password;
    chain.ConnectionString = connection;
    return chain;
  }
  // The settings as the start saved them, so that the run's save has a file.
  void SaveSettings() { svc->Config->SaveToFile(IniPath()); }

  TempFolder dir;
  TDmQor dm;
  TDateTime now = fbtest::FixtureToday() + EncodeTime(10, 0, 0, 0);
  // The pipe threads read the clock too.
  std::atomic<int> ticks{0};
  std::function<void(int)> onTick;
  std::function<void()> onMail;
  std::string mailError;
  std::vector<MailCall> mails;
  std::unique_ptr<TAlarmSvc> svc;
};

// ---- Schedule ----

TEST_F(ServiceFixture, ScheduleFollowsTheListedTimes) {
  const TDateTime day = EncodeDate(2024, 3, 14);
  const auto time = [&](int h, int m, int s) { return day + EncodeTime(h, m, s, 0); };
  const auto tomorrow = [&](int h, int m) { return day + 1 + EncodeTime(h, m, 0, 0); };
  struct Case {
    const char* what;
    const char* times;
    TDateTime start;
    TDateTime firstCheck;
    TDateTime checkEnds;  // the clock when the first check is over
    TDateTime secondCheck;
  };
  const Case cases[] = {
      {"08:00 nearer and passed", "08:00 18:00", time(10, 0, 0), time(10, 0, 5), time(10, 0, 6),
       time(18, 0, 0)},
      {"equal distance: the earlier wins", "08:00 18:00", time(13, 0, 0), time(13, 0, 5),
       time(13, 0, 6), time(18, 0, 0)},
      {"18:00 nearer and ahead", "08:00 18:00", time(14, 0, 0), time(18, 0, 0), time(18, 0, 1),
       tomorrow(8, 0)},
      {"no sooner than 5 seconds", "08:00", time(7, 59, 58), time(8, 0, 3), time(8, 0, 4),
       tomorrow(8, 0)},
      {"no wrap around midnight", "00:10 18:00", time(23, 50, 0), time(23, 50, 5), time(23, 50, 6),
       tomorrow(0, 10)},
      {"a long check skips 10:00", "08:00 10:00 18:00", time(7, 59, 0), time(8, 0, 0),
       time(10, 30, 0), time(18, 0, 0)},
      {"an empty list: 5 s, then a day later", "", time(10, 0, 0), time(10, 0, 5), time(10, 0, 6),
       tomorrow(10, 0) + 5.0 / 86400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    svc->Config->ExactTime->SetText(c.times);
    now = c.start;
    svc->ScheduleFirstCheck();
    EXPECT_EQ(Stamp(svc->NextCheck), Stamp(c.firstCheck));
    EXPECT_EQ(svc->NextCheckTime.wHour, DateTimeToSystemTime(c.firstCheck).wHour);
    now = c.checkEnds;
    svc->ScheduleNextCheck();
    EXPECT_EQ(Stamp(svc->NextCheck), Stamp(c.secondCheck));
  }
}

TEST_F(ServiceFixture, ACheckIsDueOnlyStrictlyAfterItsTime) {
  svc->NextCheck = At(2024, 3, 14, 8, 0, 0);
  now = svc->NextCheck;
  EXPECT_FALSE(svc->IsCheckDue());
  now += 1.0 / 86400000;
  EXPECT_TRUE(svc->IsCheckDue());
}

// ---- Status ----

TEST_F(ServiceFixture, StatusBlockCarriesTheRecordedStatus) {
  TAlrSrvInfo info("StatusTest", 1);
  TAlrSrvStatusBlock block;
  svc->InfoRequest(info, block);
  EXPECT_EQ(block.BlockSize, 337);
  EXPECT_EQ(block.Busy, 1) << "busy until the work has started";
  EXPECT_EQ(block.NextCheckTime.wYear, 0) << "no schedule yet";

  svc->SetLastReportTime(0);
  svc->SetIdle(true);
  now = At(2024, 3, 14, 9, 30, 15);
  svc->LogEvent(0, std::string(200, 'e'));
  now = At(2024, 3, 14, 9, 31, 0);
  svc->LogEvent(3, "failed");
  now = At(2024, 3, 14, 9, 32, 0);
  svc->LogEvent(-1, "also an error");
  svc->NextCheck = At(2024, 3, 14, 18, 0, 0);
  svc->UpdateNextCheckTime();
  block = TAlrSrvStatusBlock{};
  svc->InfoRequest(info, block);

  EXPECT_EQ(block.Busy, 0);
  // Cut to fit its field, and showing that it was cut.
  EXPECT_EQ(StatusText(block.LastEventText), std::string(126, 'e') + "\x85");
  EXPECT_EQ(svc->LastEventText.size(), 200u);
  EXPECT_EQ(block.LastEventTime.wMinute, 30);
  EXPECT_EQ(block.LastEventTime.wSecond, 15);
  EXPECT_EQ(StatusText(block.LastErrorText), "also an error");
  EXPECT_EQ(block.LastErrorTime.wMinute, 32);
  EXPECT_EQ(block.NextCheckTime.wHour, 18);
  EXPECT_EQ(block.NextCheckTime.wDay, 14);
  const TSystemTime& never = block.LastReportTime;
  EXPECT_EQ(std::vector<int>({never.wYear, never.wMonth, never.wDayOfWeek, never.wDay, never.wHour,
                              never.wMinute, never.wSecond, never.wMilliseconds}),
            std::vector<int>({1899, 12, 6, 30, 0, 0, 0, 0}));
  // The whole message reaches the log.
  EXPECT_THAT(LogTexts(LogPath()), ::testing::Contains(std::string(200, 'e')));
}

// Every line the service makes for its last event or error fits the status
// field whole, with the longest arguments it fills in. The lines that carry a
// path or another program's words are the cut case, further down.
TEST(ServiceTexts, EveryLineTheServiceComposesFitsTheStatusField) {
  using resstr::Format;
  std::string noDesktop;
  try {
    platform::DesktopFolder([](const std::string& name) {
      return name == "HOME" ? std::string("/nonexistent") : std::string();
    });
  } catch (const platform::SystemError& e) {
    noDesktop = e.what();
  }
  ASSERT_FALSE(noDesktop.empty());
  const std::string timeLimit = std::to_string(
      std::chrono::duration_cast<std::chrono::seconds>(TAlarmSvc::kChainTimeLimit).count());
  const struct {
    const char* name;
    std::string text;
  } cases[] = {
      {"started", Format(resstr::SServiceStarted, {TAlarmSvc::kServiceName, "65535.65535.65535"})},
      {"starting", std::string(resstr::SStartingService)},
      {"settings loaded", Format(resstr::SConfigLoaded, {"vigilo.ini"})},
      {"info pipe started", Format(resstr::SPipeServerStarted, {TAlarmSvc::kInfoPipeName})},
      {"control pipe started", Format(resstr::SPipeServerStarted, {TAlarmSvc::kControlPipeName})},
      {"stopping", std::string(resstr::SStoppingService)},
      {"control pipe stopped", Format(resstr::SPipeServerStopped, {TAlarmSvc::kControlPipeName})},
      {"stopped", Format(resstr::SServiceStopped, {TAlarmSvc::kServiceName})},
      {"shut down", Format(resstr::SServiceShutDown, {TAlarmSvc::kServiceName})},
      {"settings retrieved", std::string(resstr::SConfigRetrieved)},
      {"settings updated", std::string(resstr::SConfigUpdated)},
      {"check done", Format(resstr::SDataCheckDone, {"23:59:59"})},
      {"canceled", std::string(resstr::SServiceTaskCanceled)},
      {"database time-out", Format(resstr::SChainDatabaseTimeout, {timeLimit})},
      {"mail sent", std::string(resstr::SMailSentOk)},
      {"stream write error", std::string(resstr::SStreamWriteError)},
      {"no desktop", Format(resstr::SLinkError, {noDesktop})},
      {"desktop without a path",
       Format(resstr::SLinkError, {platform::SystemErrorText(platform::kErrorPathNotFound)})},
      {"shortcut denied",
       Format(resstr::SLinkError, {platform::SystemErrorText(platform::kErrorAccessDenied)})},
      {"shortcut on a full disk",
       Format(resstr::SLinkError, {platform::SystemErrorText(platform::kErrorDiskFull)})},
      {"shortcut out of memory",
       Format(resstr::SLinkError, {platform::SystemErrorText(platform::kErrorNotEnoughMemory)})},
      {"shortcut text too long",
       Format(resstr::SLinkError, {platform::SystemErrorText(platform::kErrorInvalidParameter)})},
  };
  for (const auto& c : cases) {
    EXPECT_LE(c.text.size(), kStatusTextSize - 1) << c.name << ": " << c.text;
    TAlrSrvStatusBlock block;
    SetStatusTextEllipsized(block.LastErrorText, c.text);
    EXPECT_EQ(StatusText(block.LastErrorText), c.text) << c.name;
  }
}

// ---- Start and stop with the real pipes ----

// A request on one of the service's pipes; the answer's bytes.
std::vector<uint8_t> CallPipe(const std::string& pipe, const std::string& command,
                              const std::string& data = "") {
  const service_test::PipeAnswer answer = service_test::CallPipe(pipe, command, data);
  EXPECT_EQ(answer.error, 0u) << command;
  return answer.bytes;
}

TAlrSrvStatusBlock StatusOf(const std::vector<uint8_t>& bytes) {
  const std::optional<TAlrSrvStatusBlock> status = service_test::StatusOf({0, bytes});
  if (!status) ADD_FAILURE() << "short status answer";
  return status.value_or(TAlrSrvStatusBlock{});
}

TEST_F(ServiceFixture, StartAndStopLogTheirLinesInOrder) {
  struct Case {
    bool detailed;
    std::vector<std::string> lines;
  };
  const std::string started = "VazidEre service started (ver. 3.2.0)";
  const Case cases[] = {
      {false, {started, "VazidEre service stopped"}},
      {true,
       {"Starting service...", "Configuration loaded from \"vigilo.ini\"",
        "Pipe server started \"VigiloInfo\"", "Pipe server started \"VigiloControl\"", started,
        "Stopping service...", "Pipe server stopped \"VigiloControl\"",
        "Pipe server stopped \"VigiloInfo\"", "VazidEre service stopped"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.detailed);
    fs::remove(LogPath());
    dir.Write("prog/vigilo.ini", std::string("[General]\r\nLogDetailed=") +
                                     (c.detailed ? "1" : "0") + "\r\nExactTime=08:00\r\n");
    TDmQor module;
    TAlarmSvc service(module, [this] { return now; });
    service.ProgramPath = dir.File("prog/vigilo");
    bool started_ = true;
    service.OnStart(&service, started_);
    ASSERT_TRUE(started_);
    EXPECT_EQ(StatusText(StatusOf(CallPipe("VigiloInfo", "REQGETSTATS")).LastEventText), started);
    bool stopped = true;
    service.OnStop(&service, stopped);
    EXPECT_TRUE(stopped);
    EXPECT_EQ(LogTexts(LogPath()), c.lines);
    // The start rewrote the settings with every key.
    EXPECT_THAT(ReadFile(IniPath()), HasSubstr("LastSentOutAt="));
    SetLogTarget(nullptr, LogPath());
  }
}

// A start whose work failed after its pipe servers came up gets no stop
// handler: the clean-up must take the servers down.
TEST_F(ServiceFixture, AFailedStartFreesItsPipeServers) {
  class FailingSvc : public TAlarmSvc {
   public:
    using TAlarmSvc::TAlarmSvc;
    void AfterConfigLoaded() override { throw Exception("settings refused"); }
  };
  TDmQor module;
  FailingSvc service(module, [this] { return now; });
  service.ProgramPath = dir.File("prog/vigilo");
  bool started = true;
  service.OnStart(&service, started);
  EXPECT_FALSE(started);
  ASSERT_TRUE(service.InfoServer && service.ControlServer) << "later steps still ran";
  EXPECT_EQ(service.LastErrorText, "settings refused");
  EXPECT_THAT(LogTexts(LogPath()), ::testing::Contains("VazidEre service started (ver. 3.2.0)"));
  service.OnCleanUp(&service);
  EXPECT_FALSE(service.InfoServer);
  EXPECT_FALSE(service.ControlServer);
  std::vector<uint8_t> answer(64);
  uint32_t count = 0;
  const std::vector<uint8_t> request(kPipeHeaderSize, 0);
  EXPECT_EQ(platform::CallNamedPipe("\\\\.\\pipe\\VigiloInfo", request.data(),
                                    static_cast<uint32_t>(request.size()), answer.data(),
                                    static_cast<uint32_t>(answer.size()), count),
            platform::kErrorFileNotFound);
}

TEST_F(ServiceFixture, ConfigRequestsBecomeTheLastEvent) {
  dir.Write("prog/vigilo.ini", "[General]\r\nExactTime=08:00\r\n");
  TDmQor module;
  TAlarmSvc service(module, [this] { return now; });
  service.ProgramPath = dir.File("prog/vigilo");
  bool started = true;
  service.OnStart(&service, started);
  ASSERT_TRUE(started);
  const std::vector<uint8_t> got = CallPipe("VigiloControl", "REQGETCONFIG");
  EXPECT_EQ(StatusText(StatusOf(CallPipe("VigiloInfo", "REQGETSTATS")).LastEventText),
            "Service configuration file retrieved by client");
  CallPipe("VigiloControl", "REQSETCONFIG", "[General]\r\nExactTime=09:00\r\n");
  EXPECT_EQ(StatusText(StatusOf(CallPipe("VigiloInfo", "REQGETSTATS")).LastEventText),
            "Service configuration file updated by client");
  EXPECT_EQ(service.Config->ExactTime->GetText(), "08:00") << "the running service keeps its own";
  EXPECT_GT(got.size(), kPipeHeaderSize);
  bool stopped = true;
  service.OnStop(&service, stopped);
}

// ---- Check run ----

TEST_F(ServiceFixture, CheckRunWritesReportsShortcutMailsAndSaves) {
  const fbtest::Fixture& db = fbtest::Databases();
  svc->Config->Chains = {Chain("SHOPS1", db.Rule), Chain("BROKEN", "localhost:/nonexistent/x.fdb"),
                         Chain("QUIET", db.Empty), Chain("OFF", "localhost:/nonexistent/y.fdb")};
  svc->Config->Chains[3].ShouldCheck = false;
  svc->Config->UseEmail = true;
  svc->Config->AlarmMailAddr = "ops@example.test";
  svc->Config->AlarmMailBody = "\"Line one\",Two";
  svc->Config->LogDetailed = true;
  SaveSettings();

  svc->DoDataCheck();

  const std::string main = ReadFile(Reports() + "alert_report.html");
  EXPECT_THAT(main, HasSubstr("SHOPS1"));
  EXPECT_THAT(main, HasSubstr("Caf\xC3\xA9 H\xC3\xB4tel")) << "UTF-8 of the cp1252 name";
  EXPECT_THAT(main, Not(HasSubstr("QUIET")));
  const std::string chain = ReadFile(Reports() + "alert_report_SHOPS1.html");
  EXPECT_THAT(chain,
              HasSubstr("Le rapport est g\xC3\xA9n\xC3\xA9r\xC3\xA9 par CORVANTE Alert Service"));
  EXPECT_THAT(chain, HasSubstr("&lt;b&gt;"));
  EXPECT_FALSE(fs::exists(Reports() + "alert_report_QUIET.html"));
  EXPECT_FALSE(fs::exists(Reports() + "alert_report_BROKEN.html"));
  EXPECT_TRUE(fs::exists(dir.File("desktop/Alert_Report.lnk")));

  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0].recipients, "ops@example.test");
  EXPECT_EQ(mails[0].subject, "Message de alarme du Alert Service - SHOPS1");
  EXPECT_EQ(mails[0].attachments, "\"" + Reports() + "alert_report_SHOPS1.html\"");
  EXPECT_EQ(mails[0].body, "\"CORVANTE Alert Service 3.2\",\"Line one\",Two");
  EXPECT_FALSE(mails[0].hasServer) << "the library's own server settings";

  const std::vector<std::string> log = LogTexts(LogPath());
  EXPECT_THAT(log, ::testing::Contains("Check SHOPS1"));
  EXPECT_THAT(log, Not(::testing::Contains("Check OFF")));
  EXPECT_THAT(log, ::testing::Contains("le message est envoy\xC3\xA9 avec succ\xC3\xA8s."));
  EXPECT_THAT(svc->LastErrorText, HasSubstr("nonexistent/x.fdb")) << "the client's message";
  EXPECT_EQ(svc->LastEventText, "le message est envoy\xE9 avec succ\xE8s.");
  EXPECT_FALSE(dm.IsConnected());

  const std::string ini = ReadFile(IniPath());
  EXPECT_THAT(ini, HasSubstr("LastCheckAt=" + Stamp(now)));
  EXPECT_THAT(ini, HasSubstr("LastReportAt=" + Stamp(now)));
  EXPECT_THAT(ini, HasSubstr("LastSentOutAt=" + Stamp(now)));
  EXPECT_EQ(svc->LastReportTime.wHour, 10);
}

TEST_F(ServiceFixture, MailOutcomesAndServerSettings) {
  const fbtest::Fixture& db = fbtest::Databases();
  svc->Config->Chains = {Chain("SHOPS1", db.Rule), Chain("SHOPS2", db.Bare)};
  svc->Config->UseEmail = true;
  svc->Config->AlarmMailDefault = false;
  svc->Config->AlarmMailSmtpHost = std::string(200, 'h');
  svc->Config->AlarmMailSmtpPort = 2525;
  svc->Config->AlarmMailPop3Host = "pop.example.test";
  svc->Config->AlarmMailPop3Port = 995;
  svc->Config->AlarmMailUser = "user";
  svc->Config->AlarmMailPassword = "secret";
  SaveSettings();
  mailError = "no library";

  svc->DoDataCheck();

  ASSERT_EQ(mails.size(), 2u);
  ASSERT_TRUE(mails[0].hasServer);
  EXPECT_EQ(std::string(mails[0].server.SmtpHost), std::string(127, 'h'));
  EXPECT_EQ(int32_t{mails[0].server.SmtpPort}, 2525);
  EXPECT_EQ(std::string(mails[0].server.Pop3Host), "pop.example.test");
  EXPECT_EQ(int32_t{mails[0].server.Pop3Port}, 995);
  EXPECT_EQ(std::string(mails[0].server.User), "user");
  EXPECT_EQ(std::string(mails[0].server.Password), "secret");
  EXPECT_EQ(mails[1].subject, "Message de alarme du Alert Service - SHOPS2");
  const std::vector<std::string> log = LogTexts(LogPath());
  EXPECT_EQ(std::count(log.begin(), log.end(), "E-mail send error: no library"), 2);
  // Not sent: the time stays, and the settings are saved all the same.
  const std::string ini = ReadFile(IniPath());
  EXPECT_THAT(ini, HasSubstr("LastSentOutAt=30/12/1899"));
  EXPECT_THAT(ini, HasSubstr("LastCheckAt=" + Stamp(now)));
}

TEST_F(ServiceFixture, NoChainReportsNoAlarmAndSaves) {
  SaveSettings();
  svc->DoDataCheck();
  EXPECT_THAT(ReadFile(Reports() + "alert_report.html"),
              HasSubstr("Il y avait trouv\xC3\xA9 aucune alarme."));
  EXPECT_TRUE(fs::exists(dir.File("desktop/Alert_Report.lnk")));
  EXPECT_TRUE(mails.empty());
  EXPECT_THAT(ReadFile(IniPath()), HasSubstr("LastReportAt=" + Stamp(now)));
}

TEST_F(ServiceFixture, MissingReportsFolderEndsTheRunUnsaved) {
  svc->Config->Chains = {Chain("SHOPS1", fbtest::Databases().Rule)};
  svc->Config->UseEmail = true;
  SaveSettings();
  const std::string before = ReadFile(IniPath());
  fs::remove_all(Reports());
  try {
    svc->DoDataCheck();
    ADD_FAILURE() << "the run went on";
  } catch (const Exception& e) {
    EXPECT_THAT(e.Message(),
                HasSubstr("Cannot create file \"" + Reports() + "alert_report.html\". "));
  }
  EXPECT_FALSE(fs::exists(dir.File("desktop/Alert_Report.lnk")));
  EXPECT_TRUE(mails.empty());
  EXPECT_EQ(ReadFile(IniPath()), before);
}

TEST_F(ServiceFixture, ADesktopWithoutPathIsALinkError) {
  // A folder that Windows-1252 cannot spell: the shell gives no path.
  const std::string desktop = dir.File("\xE6\xA1\x8C");
  fs::create_directories(desktop);
  ::setenv("VIGILO_COMMON_DESKTOP", desktop.c_str(), 1);
  SaveSettings();
  svc->DoDataCheck();
  EXPECT_EQ(svc->LastErrorText, "Link error The system cannot find the path specified");
  EXPECT_FALSE(fs::exists("/Alert_Report.lnk"));
  EXPECT_TRUE(fs::is_empty(desktop));
  EXPECT_THAT(ReadFile(IniPath()), HasSubstr("LastReportAt=" + Stamp(now))) << "the run goes on";
}

TEST_F(ServiceFixture, WithoutADesktopTheLinkErrorFitsTheStatusWhole) {
  // As the service runs as a rule: root, whose account has no desktop.
  const std::string home = dir.File("home");
  fs::create_directories(home);
  TAlrSrvStatusBlock block;
  {
    testing_support::ScopedEnv noCommon("VIGILO_COMMON_DESKTOP", std::nullopt);
    testing_support::ScopedEnv noXdg("XDG_DESKTOP_DIR", std::nullopt);
    testing_support::ScopedEnv noConfig("XDG_CONFIG_HOME", std::nullopt);
    testing_support::ScopedEnv homeWithout("HOME", home);
    SaveSettings();
    svc->DoDataCheck();
    TAlrSrvInfo info("StatusTest", 1);
    svc->InfoRequest(info, block);
  }

  EXPECT_EQ(svc->LastErrorText, "Link error No desktop folder: set VIGILO_COMMON_DESKTOP");
  EXPECT_EQ(StatusText(block.LastErrorText), svc->LastErrorText);
  EXPECT_TRUE(fs::is_empty(home));
}

TEST_F(ServiceFixture, ALongDatabaseErrorArrivesCutWithAnEllipsis) {
  const std::string path = "/tmp/vigilo-no-such-folder/" + std::string(150, 'd') + "/counts.fdb";
  svc->Config->Chains = {Chain("LONG", "localhost:" + path)};
  SaveSettings();
  svc->DoDataCheck();
  TAlrSrvInfo info("StatusTest", 1);
  TAlrSrvStatusBlock block;
  svc->InfoRequest(info, block);

  // Whole in the log and in the service.
  ASSERT_THAT(svc->LastErrorText, HasSubstr("for file \"" + path + "\""));
  ASSERT_GT(svc->LastErrorText.size(), 127u);
  EXPECT_THAT(LogTexts(LogPath()), ::testing::Contains(HasSubstr(path)));
  // The field's 127 characters: its beginning, then the ellipsis.
  const std::string shown = StatusText(block.LastErrorText);
  EXPECT_EQ(shown, svc->LastErrorText.substr(0, 126) + "\x85");
  EXPECT_EQ(block.LastErrorText[127], '\0');
}

TEST_F(ServiceFixture, ChainReportFileNamesAreUtf8) {
  svc->Config->Chains = {Chain("CAF\xC9", fbtest::Databases().Rule)};
  SaveSettings();
  svc->DoDataCheck();
  EXPECT_TRUE(fs::exists(Reports() + "alert_report_CAF\xC3\x89.html"));
}

// ---- Cancellation ----

TEST_F(ServiceFixture, AStopDuringAChainEndsTheRunBeforeTheNext) {
  const fbtest::Fixture& db = fbtest::Databases();
  svc->Config->Chains = {Chain("SHOPS1", db.Rule), Chain("SHOPS2", db.Bare),
                         Chain("SHOPS3", db.Rule)};
  svc->Config->LogDetailed = true;
  SaveSettings();
  const std::string before = ReadFile(IniPath());
  // The chain check reads the clock while it is connected: the stop comes
  // while the second chain is examined.
  int connected = 0;
  onTick = [&](int) {
    if (dm.IsConnected() && ++connected == 2) svc->PostControlCode(platform::kServiceControlStop);
  };
  try {
    svc->RunDataCheck();
    ADD_FAILURE() << "not canceled";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), kCanceled);
  }
  const std::vector<std::string> log = LogTexts(LogPath());
  EXPECT_THAT(log, ::testing::Contains("Check SHOPS2"));
  EXPECT_THAT(log, Not(::testing::Contains("Check SHOPS3")));
  EXPECT_THAT(log, Not(::testing::Contains(HasSubstr("Data check done"))));
  EXPECT_FALSE(fs::exists(Reports() + "alert_report.html"));
  EXPECT_EQ(ReadFile(IniPath()), before);
  EXPECT_FALSE(dm.IsConnected());
  EXPECT_TRUE(svc->Idle) << "the busy state ends on the way out";
}

TEST_F(ServiceFixture, AStopAfterTheLastCancelPointLetsTheRunFinish) {
  svc->Config->Chains = {Chain("SHOPS1", fbtest::Databases().Rule)};
  svc->Config->UseEmail = true;
  SaveSettings();
  onMail = [this] { svc->PostControlCode(platform::kServiceControlStop); };
  try {
    svc->RunDataCheck();
    ADD_FAILURE() << "not canceled";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), kCanceled);
  }
  EXPECT_TRUE(fs::exists(Reports() + "alert_report_SHOPS1.html"));
  EXPECT_THAT(ReadFile(IniPath()), HasSubstr("LastSentOutAt=" + Stamp(now)));
  EXPECT_THAT(LogTexts(LogPath()), ::testing::Contains("Data check done, elapsed time 00:00:00"));
}

TEST_F(ServiceFixture, InterrogatesDoNotCancelAndHideWhatWaitsBehind) {
  svc->Config->Chains = {Chain("SHOPS1", fbtest::Databases().Rule),
                         Chain("SHOPS2", fbtest::Databases().Bare)};
  SaveSettings();
  svc->PostControlCode(platform::kServiceControlInterrogate);
  svc->PostControlCode(platform::kServiceControlStop);
  EXPECT_FALSE(svc->IsControlPending());
  svc->RunDataCheck();
  EXPECT_TRUE(fs::exists(Reports() + "alert_report_SHOPS2.html"));
  platform::ThreadMessage first;
  ASSERT_TRUE(svc->PeekMessage(first, platform::kCmServiceControl, platform::kCmServiceControl));
  EXPECT_EQ(first.WParam, platform::kServiceControlInterrogate) << "left in the queue";
}

// The main loop on its own thread: a user-defined code cancels a check and
// the service goes on to its next check; a stop cancels that one and ends
// the loop through the stop handler.
TEST_F(ServiceFixture, MainLoopCancelsOnAUserCodeAndEndsOnAStop) {
  svc->Config->Chains = {Chain("SHOPS1", fbtest::Databases().Rule),
                         Chain("SHOPS2", fbtest::Databases().Bare)};
  svc->Config->ExactTime->SetText("18:00");
  SaveSettings();
  now = At(2024, 3, 14, 10, 0, 0);
  // Each idle pause lasts until the next check is due.
  svc->Sleep = [this](uint32_t) { now = svc->NextCheck + 1.0 / 86400000; };
  // The chain check reads the clock while it is connected.
  int posted = 0;
  onTick = [&](int) {
    if (!dm.IsConnected() || posted == 2) return;
    svc->PostControlCode(posted++ == 0 ? 200u : uint32_t{platform::kServiceControlStop});
  };
  std::thread loop([this] { svc->ServiceExecute(svc.get()); });
  loop.join();
  const std::vector<std::string> log = LogTexts(LogPath());
  EXPECT_EQ(std::count(log.begin(), log.end(), kCanceled), 2) << ::testing::PrintToString(log);
  EXPECT_THAT(log, Not(::testing::Contains(HasSubstr("Data check done"))));
  EXPECT_EQ(log.back(), "VazidEre service stopped");
  EXPECT_TRUE(svc->Terminated());
  // The second check ran the next day at 18:00; the one after is a day on.
  EXPECT_EQ(Stamp(svc->NextCheck), Stamp(At(2024, 3, 16, 18, 0, 0)));
  EXPECT_FALSE(fs::exists(Reports() + "alert_report.html"));
}

// ---- The running service's save after the control pipe replaced the file ----

TEST_F(ServiceFixture, AfterAReplacementOnlyTheTimesAreSaved) {
  SaveSettings();
  TAlrSrvControl control("ReplaceTest", 1, IniPath());
  svc->ConfigUpdated(control);
  const std::string fresh =
      "[General]\r\nExactTime=06:30\r\nLastCheckAt=01/01/2024\r\n[Alarms]\r\nUseEmail=1\r\n";
  dir.Write("prog/vigilo.ini", fresh);
  svc->DoDataCheck();
  EXPECT_EQ(ReadFile(IniPath()), "[General]\r\nExactTime=06:30\r\nLastCheckAt=" + Stamp(now) +
                                     "\r\nLastReportAt=" + Stamp(now) +
                                     "\r\n[Alarms]\r\nUseEmail=1\r\nLastSentOutAt=30/12/1899\r\n");
}

// A file replaced before the service heard of it is not overwritten either.
TEST_F(ServiceFixture, AFileChangedBehindTheServiceKeepsItsSettings) {
  SaveSettings();
  dir.Write("prog/vigilo.ini", "[General]\r\nExactTime=06:30\r\n");
  svc->DoDataCheck();
  svc->Config->ExactTime->SetText("23:00");
  svc->DoDataCheck();
  const std::string ini = ReadFile(IniPath());
  EXPECT_THAT(ini, HasSubstr("ExactTime=06:30"));
  EXPECT_THAT(ini, HasSubstr("LastCheckAt=" + Stamp(now)));
  EXPECT_THAT(ini, Not(HasSubstr("UseEmail")));
}

// Settings sent over the control pipe while check runs save, many rounds:
// the file is always whole, the old one or the new one, and what the client
// sent is never lost.
TEST_F(ServiceFixture, SettingsSentDuringCheckRunsAreNeverLost) {
  SaveSettings();
  TAlrSrvControl control("VigiloControl", 1, IniPath());
  control.OnConfigWritten.Set([this](TAlrSrvControl& sender) { svc->ConfigUpdated(sender); });
  std::atomic<bool> done{false};
  std::atomic<int> runsDone{0};
  std::thread runs([&] {
    while (!done) {
      svc->DoDataCheck();
      ++runsDone;
    }
  });
  struct Join {
    std::atomic<bool>& done;
    std::thread& thread;
    ~Join() {
      done = true;
      thread.join();
    }
  } join{done, runs};
  const std::string old = ReadFile(IniPath());
  for (int round = 0; round < 100; ++round) {
    const std::string sent = "[General]\r\nExactTime=0" + std::to_string(round % 10) +
                             ":00\r\nRound=" + std::to_string(round) + "\r\n";
    const std::vector<uint8_t> answer = CallPipe("VigiloControl", "REQSETCONFIG", sent);
    ASSERT_GE(answer.size(), kPipeHeaderSize);
    // Two runs more: at least one whole save since the file was replaced.
    const int seen = runsDone;
    while (runsDone < seen + 2) std::this_thread::yield();
    const std::string now_ = ReadFile(IniPath());
    EXPECT_THAT(now_, HasSubstr("Round=" + std::to_string(round) + "\r\n"));
    EXPECT_THAT(now_, HasSubstr("ExactTime=0" + std::to_string(round % 10) + ":00\r\n"));
    EXPECT_THAT(now_, Not(HasSubstr("TrackedChains"))) << "the old settings came back";
  }
  const std::string last = ReadFile(IniPath());
  EXPECT_THAT(last, HasSubstr("Round=99\r\n"));
  EXPECT_NE(last, old);
}

}  // namespace
