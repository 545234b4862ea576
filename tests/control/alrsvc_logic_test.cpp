// The main window's logic driven through fakes: the poll, the buttons, the
// statistics display, the pipe client and the program's own settings.
#include "control/alrsvc_logic.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "common/Comserv.h"
#include "common/exceptions.h"
#include "control/control_files.h"
#include "control_fakes.h"
#include "platform/syserror.h"
#include "tests/support/temp_folder.h"

namespace {

using namespace platform;
using namespace control_test;
using testing_support::ReadFile;
using testing_support::TempFolder;

constexpr char kEacute = '\xE9';

TSystemTime Time(int y, int mo, int d, int h, int mi, int s) {
  TSystemTime t;
  t.wYear = y;
  t.wMonth = mo;
  t.wDay = d;
  t.wHour = h;
  t.wMinute = mi;
  t.wSecond = s;
  return t;
}

class LogicTest : public ::testing::Test {
 protected:
  LogicTest()
      : system{scm, pipe, [this] { return now; }, [this](uint32_t ms) { sleeps.push_back(ms); },
               ","},
        logic(system, view, boxes, folder.Path() + "/") {}

  void Create(const std::vector<std::string>& params = {}) { logic.FormCreate(params); }

  // One tick against a service in `state` that answers the info pipe with `answer`.
  void TickRunning(const std::vector<uint8_t>& answer) {
    scm.SetStates({FakeScm::State(kServiceRunning)});
    pipe.Answer = answer;
    logic.TmrMainTimer();
  }

  std::string Caption(const std::string& name) { return view.Captions.at(name); }

  TempFolder folder;
  FakeScm scm;
  FakePipe pipe;
  FakeView view;
  FakeBoxes boxes;
  TDateTime now = EncodeDate(2026, 3, 14) + EncodeTime(10, 0, 0, 0);
  std::vector<uint32_t> sleeps;
  TControlSystem system;
  TSvcControlLogic logic;
};

// ---- start-up, texts, settings, command line ----

TEST_F(LogicTest, CreationSetsTheTextsAndEmptiesTheValues) {
  std::vector<std::string> carried;
  system.CarryRemotePipes = [&](const std::vector<std::string>& names) { carried = names; };
  Create();
  EXPECT_EQ(carried, (std::vector<std::string>{"VigiloInfo", "VigiloControl"}));
  EXPECT_EQ(Caption("SvcControlWnd"), "CORVANTE Alert Service");
  EXPECT_EQ(Caption("LabNextCheckTime"),
            std::string("Suivant v") + kEacute + "rification des donn" + kEacute + "es");
  EXPECT_EQ(Caption("BtnSrvStop"), "Arr\xEAter le service");
  EXPECT_EQ(view.Hints.at("BtnSrvStart"), "D\xE9marrer Gathrel Service sur PC indiqu\xE9");
  EXPECT_EQ(view.Hints.at("BtnPC"), "Choisissez l'ordinateur o\xF9 le service travaille");
  EXPECT_EQ(view.Panels.at(0), "Service");
  EXPECT_EQ(view.Panels.at(2), "Busy");
  for (const char* label : {"LabVersionVal", "LabSartedVal", "LabWriteErrVal", "LabLastEvtTextVal",
                            "LabLastErrTextVal", "LabNextCheckTimeVal"}) {
    EXPECT_EQ(Caption(label), "") << label;
  }
  EXPECT_EQ(Caption("StPcDisplayName"), "cet PC");
  EXPECT_EQ(scm.Log.size(), 0u) << "the first poll waits for the first tick";
}

TEST_F(LogicTest, NoSettingsFileMeansThisPcAndIsWrittenAtTheEnd) {
  Create();
  EXPECT_EQ(logic.GetRemotePC(), "");
  logic.FormDestroy();
  EXPECT_EQ(ReadFile(folder.File("vigilo_cfg.ini")), "[General]\r\nRemotePC=\r\n");
}

TEST_F(LogicTest, RemotePcFromTheSettingsFileIsPolledAndNamed) {
  folder.Write("vigilo_cfg.ini", "[General]\r\nRemotePC=PC7\r\n");
  Create();
  scm.ManagerError = kErrorBadNetPath;
  logic.TmrMainTimer();
  EXPECT_EQ(scm.Log.at(0), "open-manager PC7 " + std::to_string(kGenericRead));
  EXPECT_EQ(logic.PanelMessageText(),
            "Service Control Manager erreur sur PC7: The network path was not found");
  EXPECT_EQ(Caption("StPcDisplayName"), "PC7");
}

TEST_F(LogicTest, CommandLineSwitch) {
  const std::pair<std::vector<std::string>, bool> cases[] = {
      {{"-config"}, true},
      {{"/Config"}, true},
      {{"/CONFIG"}, true},
      {{"CONFIG"}, false},
      {{"-CONFIGURE"}, false},
      {{"-"}, false},
      {{"/"}, false},
      {{}, false},
      {{"x", "-config", "/CONFIG"}, true},
      {{"--config"}, false},
  };
  for (const auto& [params, expected] : cases) {
    FakeView v;
    TSvcControlLogic l(system, v, boxes, folder.Path() + "/");
    int runs = 0;
    l.OnEditConfiguration = [&] {
      ++runs;
      EXPECT_FALSE(l.GetOpenConfigOnStart()) << "cleared before it runs";
      EXPECT_FALSE(scm.Log.empty()) << "after the tick's poll";
    };
    l.FormCreate(params);
    EXPECT_EQ(l.GetOpenConfigOnStart(), expected) << ::testing::PrintToString(params);
    l.TmrMainTimer();
    l.TmrMainTimer();
    EXPECT_EQ(runs, expected ? 1 : 0) << ::testing::PrintToString(params);
  }
}

TEST_F(LogicTest, CloseStopsTheTimerBeforeTheHandlesAndTheLinkClose) {
  Create();
  scm.SetStates({FakeScm::State(kServiceStopped)});
  logic.TmrMainTimer();
  ASSERT_TRUE(logic.IsConnected());
  int linksEnded = 0;
  system.EndRemoteLinks = [&] { ++linksEnded; };
  EXPECT_TRUE(logic.FormCloseQuery());
  EXPECT_EQ(linksEnded, 1);
  EXPECT_EQ(view.Log.back(), "stop-timer");
  EXPECT_EQ(scm.OpenHandles, 0);
  EXPECT_EQ(scm.Log.back(), "close manager") << "the service handle first, then the manager";
  EXPECT_FALSE(logic.IsConnected());
}

// ---- the poll ----

TEST_F(LogicTest, ButtonsFollowTheState) {
  struct Case {
    uint32_t managerError, state;
    bool start, stop, configure;
    const char* message;
  };
  const Case cases[] = {
      {kErrorAccessDenied, 0, false, false, false,
       "Service Control Manager erreur sur cet PC: Access is denied"},
      {0, kServiceStopped, true, false, false, "Service stopped"},
      {0, kServiceStartPending, true, false, false, "Service starting..."},
      {0, kServiceStopPending, true, false, false, "Service stopping..."},
      {0, kServiceRunning, false, true, true, "Service is running"},
      {0, kServicePaused, true, false, false, "Service paused"},
      {0, 9, true, false, false, "Service state unknown"},
  };
  pipe.Error = kErrorFileNotFound;  // the statistics are not what this looks at
  for (const Case& c : cases) {
    logic.Disconnect();
    scm.ManagerError = c.managerError;
    scm.SetStates({FakeScm::State(c.state)});
    logic.TmrMainTimer();
    EXPECT_EQ(view.Enabled.at("BtnSrvStart"), c.start) << c.state;
    EXPECT_EQ(view.Enabled.at("BtnSrvStop"), c.stop) << c.state;
    EXPECT_EQ(view.Enabled.at("BtnConfigure"), c.configure) << c.state;
    EXPECT_EQ(logic.PanelImageIndex(kPanelRunning), c.state == kServiceRunning ? 1 : 0);
    if (c.state != kServiceRunning) {
      EXPECT_EQ(logic.PanelMessageText(), c.message);
    }
  }
}

TEST_F(LogicTest, ServiceThatCannotBeOpenedIsRetriedAtEveryTick) {
  scm.ServiceError = kErrorServiceDoesNotExist;
  logic.TmrMainTimer();
  logic.TmrMainTimer();
  EXPECT_EQ(logic.PanelMessageText(),
            "acc\xE8s au service est absent sur cet PC: " + SystemErrorText(1060));
  EXPECT_EQ(std::count(scm.Log.begin(), scm.Log.end(), "open-manager  2147483648"), 1);
  EXPECT_EQ(std::count(scm.Log.begin(), scm.Log.end(), "open-service VazidEre 4"), 2);
  EXPECT_FALSE(logic.IsConnected());
}

TEST_F(LogicTest, FailedQueryKeepsTheHandles) {
  logic.TmrMainTimer();
  scm.QueryErrors = {kErrorInvalidHandle};
  logic.TmrMainTimer();
  EXPECT_EQ(logic.PanelMessageText(),
            "acc\xE8s au service est absent sur cet PC: " + SystemErrorText(kErrorInvalidHandle));
  EXPECT_EQ(logic.GetServiceState(), 0u);
  EXPECT_TRUE(logic.IsConnected());
  logic.TmrMainTimer();
  EXPECT_EQ(logic.PanelMessageText(), "Service stopped");
  EXPECT_EQ(std::count(scm.Log.begin(), scm.Log.end(), "open-service VazidEre 4"), 1);
}

TEST_F(LogicTest, StoppedServiceIsNotAskedForStatistics) {
  scm.SetStates({FakeScm::State(kServiceStopped)});
  logic.TmrMainTimer();
  EXPECT_TRUE(pipe.Requests.empty());
}

// ---- statistics ----

TEST(FormatCounter, TwelveColumnsGroupedByTheLocaleSeparator) {
  const std::tuple<double, const char*, const char*> cases[] = {
      {1234567, ",", "   1,234,567"},
      {0, ",", "           0"},
      {999, ",", "         999"},
      {1000, ".", "       1.000"},
      {4294967295.0, ",", "4,294,967,295"},
      {-1234, ",", "      -1,234"},
      {1234567, "", "     1234567"},
      {123456789012.0, "\xA0",
       "123\xA0"
       "456\xA0"
       "789\xA0"
       "012"},
  };
  for (const auto& [value, sep, text] : cases) EXPECT_EQ(FormatCounter(value, sep), text) << value;
}

TEST(ErrorBoxText, FullStopAfterCharactersAboveIt) {
  const std::pair<const char*, const char*> cases[] = {
      {"Failed to start service", "Failed to start service."},
      {"Done.", "Done."},
      {"Why?", "Why?."},  // '?' lies above '.'
      {"Busy!", "Busy!"},
      {"a-", "a-"},
      {"", ""},
      {"g\xE9n\xE9r\xE9", "g\xE9n\xE9r\xE9."},
      {"System Error.  Code: 5.\r\nAccess is denied",
       "System Error.  Code: 5.\r\nAccess is denied."},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(ErrorBoxText(in), out) << in;
}

TEST_F(LogicTest, StatusAnswerShowsEveryValue) {
  Create();
  TPipeStatistics stats;
  stats.StartedAt = Time(2026, 3, 14, 8, 5, 9);
  stats.Connections = 1234567;
  stats.ConnectErrors = 2;
  stats.Requests = 1000;
  stats.BytesReceived = 28000;
  stats.Answers = 4294967295u;
  stats.BytesSent = 0xFFFFFFFFFFFFFFFFull;  // read as signed: -1
  stats.WriteErrors = 0;
  TAlrSrvStatusBlock status;
  status.VerMajor = 1;
  status.VerMinor = 2;
  status.VerRelease = 3;
  status.Busy = 1;
  status.LastEventTime = Time(2026, 3, 14, 9, 0, 0);
  SetStatusText(status.LastEventText, "Check finished");
  status.LastErrorTime = Time(2026, 3, 13, 7, 6, 5);
  SetStatusText(status.LastErrorText, "Chain A: <b>no database</b>");
  status.LastReportTime = Time(2026, 3, 14, 9, 0, 1);
  TickRunning(StatsAnswer(stats, status));
  EXPECT_EQ(pipe.Paths.at(0), "\\\\.\\pipe\\VigiloInfo");
  ASSERT_EQ(pipe.Requests.at(0).size(), kPipeHeaderSize);
  EXPECT_EQ(pipe.Requests[0], MakeAnswer(kReqGetStats, 0));
  const std::pair<const char*, std::string> shown[] = {
      {"LabVersionVal", "1.2.3"},
      {"LabSartedVal", "14.03.2026 08:05:09"},
      {"LabConnsVal", "   1,234,567"},
      {"LabConErrorsVal", "           2"},
      {"LabReqVal", "       1,000"},
      {"LabReqBytesVal", "      28,000"},
      {"LabAnsVal", "4,294,967,295"},
      {"LabAnsBytesVal", "          -1"},
      {"LabWriteErrVal", "           0"},
      {"LabLastEvtTimeVal", "14.03.2026 09:00:00"},
      {"LabLastEvtTextVal", "Check finished"},
      {"LabLastErrTimeVal", "13.03.2026 07:06:05"},
      {"LabLastErrTextVal", "Chain A: <b>no database</b>"},
      {"LabNextCheckTimeVal",
       "non d\xE9"
       "fini"},
      {"LabLastReportTimeVal", "14.03.2026 09:00:01"},
  };
  for (const auto& [label, text] : shown) EXPECT_EQ(Caption(label), text) << label;
  EXPECT_TRUE(logic.GetServiceBusy());
  EXPECT_EQ(logic.PanelImageIndex(kPanelBusy), 1);
  EXPECT_EQ(logic.PanelMessageText(), "");
}

TEST_F(LogicTest, NextCheckCountdownAndLastReport) {
  Create();
  const std::pair<int64_t, std::string> cases[] = {
      {-1, "en cours"},
      {0, "14.03.2026 10:00:00 (en 0h 0m 0s)"},
      {3725, "14.03.2026 11:02:05 (en 1h 2m 5s)"},
      {30 * 3600, "15.03.2026 16:00:00 (en 30h 0m 0s)"},
      {59, "14.03.2026 10:00:59 (en 0h 0m 59s)"},
  };
  for (const auto& [ahead, text] : cases) {
    TAlrSrvStatusBlock status;
    status.NextCheckTime = DateTimeToSystemTime(now + ahead / 86400.0);
    TickRunning(StatsAnswer({}, status));
    EXPECT_EQ(Caption("LabNextCheckTimeVal"), text) << ahead;
    EXPECT_EQ(Caption("LabLastReportTimeVal"), "pas encore g\xE9n\xE9r\xE9");
  }
}

TEST_F(LogicTest, EmptyEventTextsKeepWhatIsShown) {
  Create();
  TAlrSrvStatusBlock status;
  SetStatusText(status.LastEventText, "first");
  SetStatusText(status.LastErrorText, "oops");
  status.LastEventTime = Time(2026, 1, 2, 3, 4, 5);
  status.LastErrorTime = Time(2026, 1, 2, 3, 4, 6);
  TickRunning(StatsAnswer({}, status));
  TAlrSrvStatusBlock empty;
  empty.LastEventTime = Time(2027, 1, 1, 1, 1, 1);
  TickRunning(StatsAnswer({}, empty));
  EXPECT_EQ(Caption("LabLastEvtTextVal"), "first");
  EXPECT_EQ(Caption("LabLastEvtTimeVal"), "02.01.2026 03:04:05");
  EXPECT_EQ(Caption("LabLastErrTextVal"), "oops");
  EXPECT_EQ(Caption("LabLastErrTimeVal"), "02.01.2026 03:04:06");
}

TEST_F(LogicTest, StatusAnswersThatAreNotUsed) {
  Create();
  TAlrSrvStatusBlock good;
  good.VerMajor = 7;
  good.Busy = 1;
  struct Case {
    const char* name;
    uint32_t error;
    std::vector<uint8_t> answer;
    std::string message;  // "=": as the poll left it
  };
  const Case cases[] = {
      {"absent", kErrorFileNotFound, {}, SystemErrorText(kErrorFileNotFound)},
      {"busy", kErrorPipeBusy, {}, "All pipe instances are busy"},
      {"27 bytes", 0, MakeAnswer(kAnsGetStats, 0, {}, 27), "Length error"},
      {"420 bytes", 0, StatsAnswer({}, good, 420), "Length error"},
      {"other name", 0, MakeAnswer(kAnsReqUnknown, 0), "="},
      {"other name, long", 0, MakeAnswer("ANSGETSTATSX", 0, {}, 421), "="},
  };
  TickRunning(StatsAnswer({}, good));
  for (const Case& c : cases) {
    pipe.Error = c.error;
    TAlrSrvStatusBlock other;
    other.VerMajor = 9;
    TickRunning(c.answer.empty() ? StatsAnswer({}, other) : c.answer);
    EXPECT_EQ(logic.PanelMessageText(), c.message == "=" ? "Service is running" : c.message)
        << c.name;
    EXPECT_EQ(Caption("LabVersionVal"), "7.0.0") << c.name << ": the last good values stay";
    EXPECT_TRUE(logic.GetServiceBusy()) << c.name;
  }
}

TEST_F(LogicTest, PipePrefix) {
  EXPECT_EQ(logic.GetPipePrefix(), "\\\\.\\pipe\\");
  logic.SetRemotePC("PC7");
  EXPECT_EQ(logic.GetPipePrefix(), "\\\\PC7\\pipe\\");
  logic.SetRemotePC(" PC7 ");
  EXPECT_EQ(logic.GetPipePrefix(), "\\\\ PC7 \\pipe\\");
}

// ---- start and stop buttons ----

TEST_F(LogicTest, StartButton) {
  Create();
  logic.BtnSrvStartClick();  // not connected: nothing at all
  EXPECT_TRUE(scm.Log.empty());

  logic.TmrMainTimer();  // stopped
  view.Captions["LabLastErrTextVal"] = "old error";
  scm.SetStates({FakeScm::State(kServiceStopped), FakeScm::State(kServiceStartPending, 1, 40),
                 FakeScm::State(kServiceRunning)});
  view.PanelHistory.clear();
  logic.BtnSrvStartClick();
  EXPECT_EQ(view.PanelHistory,
            (std::vector<std::string>{"Service starting...", "Service is running"}));
  EXPECT_EQ(view.Log, (std::vector<std::string>{"hourglass", "repaint", "cursor"}));
  EXPECT_EQ(sleeps, std::vector<uint32_t>{40});
  EXPECT_EQ(Caption("LabLastErrTextVal"), "");
  EXPECT_TRUE(boxes.Infos.empty());
}

TEST_F(LogicTest, StartOfARunningServiceOnlyTells) {
  Create();
  logic.TmrMainTimer();  // stopped at the tick, started by someone else since
  scm.SetStates({FakeScm::State(kServiceRunning)});
  logic.BtnSrvStartClick();
  EXPECT_EQ(boxes.Infos, std::vector<std::string>{"The service is running already on cet PC"});
  EXPECT_EQ(std::count(scm.Log.begin(), scm.Log.end(), "start"), 0);
}

TEST_F(LogicTest, StopButtonTellsTheRemotePcAndKeepsTheLastError) {
  folder.Write("vigilo_cfg.ini", "[General]\r\nRemotePC=PC7\r\n");
  Create();
  scm.SetStates({FakeScm::State(kServiceStopped)});
  logic.TmrMainTimer();
  logic.BtnSrvStopClick();
  EXPECT_EQ(boxes.Infos, std::vector<std::string>{"The service is stopped already on PC7"});

  scm.SetStates({FakeScm::State(kServiceRunning), FakeScm::State(kServiceStopPending, 1),
                 FakeScm::State(kServiceStopped)});
  logic.TmrMainTimer();
  view.Captions["LabLastErrTextVal"] = "old error";
  scm.SetStates({FakeScm::State(kServiceRunning), FakeScm::State(kServiceStopPending, 1),
                 FakeScm::State(kServiceStopPending, 2), FakeScm::State(kServiceStopped)});
  view.PanelHistory.clear();
  logic.BtnSrvStopClick();
  EXPECT_EQ(view.PanelHistory,
            (std::vector<std::string>{"Service stopping...", "Service stopped"}));
  EXPECT_EQ(sleeps, (std::vector<uint32_t>{2000, 2000}));
  EXPECT_EQ(Caption("LabLastErrTextVal"), "old error");
}

TEST_F(LogicTest, ButtonErrorsReachTheErrorBoxAndRestoreTheCursor) {
  Create();
  logic.TmrMainTimer();
  scm.WaitOpenError = kErrorAccessDenied;
  logic.RunHandler([&] { logic.BtnSrvStartClick(); });
  EXPECT_EQ(boxes.Errors, std::vector<std::string>{"System Error.  Code: 5.\r\nAccess is denied."});
  EXPECT_EQ(view.Cursor, 0);
  EXPECT_EQ(logic.PanelMessageText(), "Service starting...") << "until the next tick";

  scm.WaitOpenError = 0;
  scm.SetStates({FakeScm::State(kServiceStopped), FakeScm::State(kServiceStartPending, 0, 0)});
  logic.RunHandler([&] { logic.BtnSrvStartClick(); });
  EXPECT_EQ(boxes.Errors.back(), "Failed to start service.");

  scm.QueryErrors = {kErrorInvalidHandle};
  logic.RunHandler([&] { logic.BtnSrvStopClick(); });
  EXPECT_EQ(boxes.Errors.back(), "System Error.  Code: 6.\r\nThe handle is invalid.");
  EXPECT_EQ(view.Cursor, 0);
}

}  // namespace

namespace {

TEST(ControlFiles, TheConfigurationFolderFollowsTheBaseDirectoryRules) {
  struct Case {
    const char* xdgConfigHome;
    const char* home;
    const char* folder;
  } cases[] = {
      {"/cfg", "/home/ana", "/cfg/vigilo/"},
      {"/cfg/", "/home/ana", "/cfg/vigilo/"},
      {"", "/home/ana", "/home/ana/.config/vigilo/"},
      {"relative/cfg", "/home/ana", "/home/ana/.config/vigilo/"},
      {"", "/", "/.config/vigilo/"},
  };
  for (const Case& c : cases) {
    auto env = [&](const std::string& name) -> std::string {
      return name == "XDG_CONFIG_HOME" ? c.xdgConfigHome : name == "HOME" ? c.home : "";
    };
    EXPECT_EQ(ControlConfigFolder(env), c.folder) << c.xdgConfigHome << " " << c.home;
  }
  EXPECT_THROW(ControlConfigFolder([](const std::string&) { return std::string(); }), Exception);
}

TEST(ControlFiles, TheFolderIsMadeForItsUserAlone) {
  testing_support::TempFolder folder;
  const std::string config = folder.File("home/.config/vigilo/");
  const mode_t umask = ::umask(0);
  PrepareConfigFolder(config);
  ::umask(umask);
  for (const std::string& made : {folder.File("home/.config"), config}) {
    struct stat st {};
    ASSERT_EQ(::stat(made.c_str(), &st), 0) << made;
    EXPECT_EQ(st.st_mode & 07777, 0700u) << made;
  }
  EXPECT_EQ(FallbackRuntimeFolder(config), config + "run");
}

}  // namespace
