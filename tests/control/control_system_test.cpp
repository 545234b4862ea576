// The control program against real processes: svcmgr from a temporary folder
// running the service program `vigilo` (or the program named by
// $VIGILO_CONTROL_SERVICE) from a program folder of its own, and the real
// pipe endpoints in-process.
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include "common/datetime.h"
#include "common/exceptions.h"

#include "control/alr_checkoptions.h"
#include "control/alrsvc_configdlg.h"
#include "control/alrsvc_control.h"
#include "control/alrsvc_logic.h"
#include "control/control_files.h"
#include "control_fakes.h"
#include "pipes/alr_control.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "platform/remote.h"
#include "platform/scm.h"
#include "platform/syserror.h"
#include "platform/unique_fd.h"
#include "qt_test_support.h"
#include "qt_tsan_suppressions.h"
#include "tests/support/process_support.h"
#include "tests/support/temp_folder.h"

// ThreadSanitizer builds: see qt_tsan_suppressions.h.
extern "C" const char* __tsan_default_suppressions() {
  return control_test::kQtThreadsTsanSuppressions;
}

namespace {

namespace fs = std::filesystem;
using namespace platform;
using namespace control_test;
using namespace std::chrono_literals;
using testing_support::ReadFile;

// Waits for `done`, failing after a generous bound; nothing here measures time.
bool WaitUntil(const std::function<bool()>& done) {
  return testing_support::WaitUntil(done, 30s);
}

// True when `text` has the form of `shape`, in which '#' stands for a digit.
bool Shaped(const std::string& text, const std::string& shape) {
  if (text.size() != shape.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (shape[i] == '#' ? !std::isdigit(static_cast<unsigned char>(text[i]))
                        : text[i] != shape[i]) {
      return false;
    }
  }
  return true;
}

// "a.b.c" of decimal numbers.
bool IsVersion(const std::string& text) {
  int dots = 0;
  char last = '.';
  for (char c : text) {
    if (c == '.') {
      if (last == '.') return false;
      ++dots;
    } else if (!std::isdigit(static_cast<unsigned char>(c))) {
      return false;
    }
    last = c;
  }
  return dots == 2 && last != '.';
}

std::string ServiceProgram() {
  const char* program = std::getenv("VIGILO_CONTROL_SERVICE");
  return program && *program ? program : VIGILO_PROGRAM;
}

std::string TwoDigits(int value) {
  return std::string(1, static_cast<char>('0' + value / 10)) + static_cast<char>('0' + value % 10);
}

// "hh:nn" of the time of day of `value`.
std::string HoursMinutes(TDateTime value) {
  int hour, minute, second, ms;
  DecodeTime(value, hour, minute, second, ms);
  return TwoDigits(hour) + ":" + TwoDigits(minute);
}

// Runs `argv` to its end, as `uid` when given, with its output and errors in
// `out`, in the order it wrote them.
int RunProgram(std::vector<std::string> argv, std::string& out, uid_t uid = static_cast<uid_t>(-1),
               gid_t gid = 0) {
  testing_support::ChildOptions options;
  options.searchPath = true;
  options.errorsToOutput = true;
  if (uid != static_cast<uid_t>(-1)) {
    options.uid = uid;
    options.gid = gid;
  }
  testing_support::ProgramResult result =
      testing_support::RunProgram(argv, options, std::chrono::minutes(5));
  out = result.output;
  return result.exitCode;
}

// The logic with the real system behind it, a recording view and boxes.
class RealLogicTest : public ::testing::Test {
 protected:
  testing_support::TempFolder folder;
  FakeView view;
  FakeBoxes boxes;
  TControlSystem system{SystemServiceManager(), SystemPipeClient(),  Now, SystemSleep, ",",
                        SystemCarryRemotePipes, SystemEndRemoteLinks};
  TSvcControlLogic logic{system, view, boxes, folder.Path() + "/"};
};

class ControlSystemTest : public RealLogicTest {
 protected:
  // The program folder as an installation lays it out: the program, its
  // Reports folder, the data-acquisition settings beside it, and settings
  // whose one check time lies later today, so that no check runs while a
  // test watches (a test near midnight may see one; it changes nothing here).
  void SetUp() override {
    ::chmod(folder.Path().c_str(), 0755);  // the probe runs as another user
    prog = folder.File("prog") + "/";
    fs::create_directories(prog + "Reports");
    fs::copy_file(ServiceProgram(), prog + "vigilo");
    folder.Write("prog/qorsvc.ini",
                 "[Directory0]\r\nTrackDirectory=Shops One\r\nHost=localhost\r\n"
                 "Database=/nowhere/SHOPS1/qor.fdb\r\n"
                 "[Directory1]\r\nTrackDirectory=Shops Two\r\nHost=localhost\r\n"
                 "Database=/nowhere/SHOPS2/qor.fdb\r\n");
    checkTime = HoursMinutes(std::min(Now() + 2.0 / 24, DateOf(Now()) + 1 - 1.0 / 1440));
    folder.Write("prog/vigilo.ini", "[General]\r\nExactTime=" + checkTime +
                                        "\r\nTrackedChains=2\r\n"
                                        "[Alarms]\r\nUseEmail=1\r\n"
                                        "AlarmMailAddr=ops@example.test\r\n"
                                        "AlarmMailBody=Bonjour,\"voici les alarmes\"\r\n"
                                        "[Chain00]\r\nTrackedChain=Shops One\r\n"
                                        "[Chain01]\r\nTrackedChain=Shops Two\r\n"
                                        "DaysNoCheck=67\r\n");
    ::setenv("VIGILO_RUNTIME_DIR", folder.File("run").c_str(), 1);
    ::setenv("VIGILO_SCM_DIR", folder.File("scm").c_str(), 1);
    ::unsetenv("VIGILO_SCM_FD");
    ServiceRegistration reg;
    reg.Name = "VazidEre";
    reg.DisplayName = "CORVANTE Alert Service";
    reg.ImagePath = prog + "vigilo";
    reg.StartType = 3;
    WriteServiceRegistration(reg);
    manager = testing_support::StartChild(SVCMGR_PATH);
    ASSERT_TRUE(WaitUntil(testing_support::ManagerAnswers)) << "svcmgr does not answer";
  }

  void TearDown() override {
    // svcmgr stops the services it runs when it ends.
    testing_support::StopChild(manager, std::chrono::seconds(30));
  }

  // The service started and answering its info pipe.
  void StartService() {
    ScHandlePtr m, s;
    ASSERT_EQ(SystemServiceManager().OpenSCManager("", kGenericRead, m), 0u);
    ASSERT_EQ(SystemServiceManager().OpenService(*m, "VazidEre", kServiceStart, s), 0u);
    ASSERT_EQ(SystemServiceManager().StartService(*s), 0u);
    ASSERT_TRUE(WaitUntil([&] {
      logic.TmrMainTimer();
      return logic.IsServiceRunning() && logic.PanelMessageText().empty();
    })) << logic.PanelMessageText();
  }

  // The Start button, then ticks until the statistics come: the version and
  // the service's own settings (its one check time, later today).
  void StartButtonAndStatistics() {
    logic.RunHandler([&] { logic.BtnSrvStartClick(); });
    ASSERT_EQ(boxes.Errors, std::vector<std::string>{});
    EXPECT_EQ(logic.PanelMessageText(), "Service is running");
    ASSERT_TRUE(WaitUntil([&] {
      logic.TmrMainTimer();
      return logic.PanelMessageText().empty();
    })) << "no statistics: "
        << logic.PanelMessageText();
    EXPECT_TRUE(IsVersion(view.Captions.at("LabVersionVal"))) << view.Captions.at("LabVersionVal");
    EXPECT_NE(view.Captions.at("LabNextCheckTimeVal").find(" " + checkTime + ":00 (en "),
              std::string::npos)
        << view.Captions.at("LabNextCheckTimeVal");
  }

  std::string prog;
  std::string checkTime;
  pid_t manager = -1;
};

TEST_F(ControlSystemTest, StartShowStatisticsAndStop) {
  logic.TmrMainTimer();
  EXPECT_EQ(logic.PanelMessageText(), "Service stopped");
  EXPECT_TRUE(view.Enabled.at("BtnSrvStart"));
  EXPECT_FALSE(view.Enabled.at("BtnSrvStop"));

  ASSERT_NO_FATAL_FAILURE(StartButtonAndStatistics());
  const std::string conns = view.Captions.at("LabConnsVal");
  EXPECT_EQ(conns.size(), 12u);
  EXPECT_GE(std::stoll(conns), 1) << conns;
  EXPECT_FALSE(view.Captions.at("LabLastEvtTextVal").empty());
  EXPECT_TRUE(Shaped(view.Captions.at("LabSartedVal"), "##.##.#### ##:##:##"))
      << view.Captions.at("LabSartedVal");
  EXPECT_FALSE(view.Enabled.at("BtnSrvStart"));
  EXPECT_TRUE(view.Enabled.at("BtnSrvStop"));
  EXPECT_TRUE(view.Enabled.at("BtnConfigure"));

  logic.RunHandler([&] { logic.BtnSrvStartClick(); });
  EXPECT_EQ(boxes.Infos, std::vector<std::string>{"The service is running already on cet PC"});

  logic.RunHandler([&] { logic.BtnSrvStopClick(); });
  ASSERT_EQ(boxes.Errors, std::vector<std::string>{});
  EXPECT_EQ(logic.PanelMessageText(), "Service stopped");
  logic.TmrMainTimer();
  EXPECT_EQ(logic.PanelMessageText(), "Service stopped");
  EXPECT_FALSE(logic.IsServiceRunning());
  EXPECT_TRUE(view.Enabled.at("BtnSrvStart"));
}

TEST_F(ControlSystemTest, CallerWithoutRightsGetsAccessDenied) {
  StartService();
  passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  std::string out;
  ASSERT_EQ(RunProgram({CONTROL_PROBE_PATH, "stop"}, out, nobody->pw_uid, nobody->pw_gid), 0)
      << out;
  // The info pipe is open to every user; stopping needs rights.
  EXPECT_EQ(out, "panel \nerror System Error.  Code: 5.\r\nAccess is denied.\n");
  logic.TmrMainTimer();
  EXPECT_TRUE(logic.IsServiceRunning());
}

TEST_F(ControlSystemTest, ScreenshotOfEachPageUnderXvfb) {
  StartService();
  const std::string artifacts = CONTROL_ARTIFACTS_DIR;
  fs::create_directories(artifacts);
  const char* const shots[] = {"activity",          "statistics",       "parameters_general",
                               "parameters_alarms", "excluded_days",    "select_pc",
                               "minimum_size",      "parameters_server"};
  for (const char* shot : shots) fs::remove(artifacts + "/vigilo_cfg_" + shot + ".png");
  ::setenv("QT_QPA_PLATFORM", "xcb", 1);
  std::string out;
  const int rc = RunProgram(
      {"xvfb-run", "-a", "-s", "-screen 0 1280x1024x24", CONTROL_SCREENSHOT_PATH, artifacts}, out);
  ::unsetenv("QT_QPA_PLATFORM");
  ASSERT_EQ(rc, 0) << out;
  EXPECT_EQ(out.find("error "), std::string::npos) << out;
  for (const char* shot : shots) {
    const std::string png = ReadFile(artifacts + "/vigilo_cfg_" + shot + ".png");
    ASSERT_GT(png.size(), 1000u) << shot;
    EXPECT_EQ(png.substr(1, 3), "PNG") << shot;
  }
}

// The whole round trip through the window: started with -config, it fetches
// the service's settings, the parameters dialog changes a check time and a
// chain's days, OK sends them and restarts the service, which runs on the
// new file.
TEST_F(ControlSystemTest, ConfigurationRoundTripThroughTheWindow) {
  const std::string newTime =
      HoursMinutes(std::min(Now() + 1.0 / 24, DateOf(Now()) + 1 - 2.0 / 1440));
  if (newTime == checkTime) GTEST_SKIP() << "too close to midnight for a second time ahead";
  StartService();
  App();
  TSvcControlWnd window(system, folder.Path() + "/", {"-config"}, &boxes);
  bool dialogSeen = false;
  OnNextModal<TAlrSvcConfigDlg>([&](TAlrSvcConfigDlg* dialog) {
    dialogSeen = true;
    dialog->findChild<QLineEdit*>("EdExactTimes")->setText(QString::fromStdString(newTime));
    auto* chains = dialog->findChild<QListWidget*>("LbcChains");
    ASSERT_EQ(chains->count(), 2);
    chains->setCurrentRow(0);
    OnNextModal<TCheckOptionsDlg>([](TCheckOptionsDlg* days) {
      days->findChild<QCheckBox*>("CbSunday")->click();
      days->findChild<QPushButton*>("BtnOk")->click();
    });
    dialog->findChild<QPushButton*>("BtnCheckOptions")->click();
    dialog->findChild<QPushButton*>("BtnOK")->click();
  });
  window.TmrMainTimer();
  ASSERT_TRUE(dialogSeen);
  EXPECT_EQ(boxes.Errors, std::vector<std::string>{});
  EXPECT_EQ(window.Logic().PanelMessageText(), "Service is running");

  // The service's own file, as the restarted service saved it back.
  ProfileFile ini(prog + "vigilo.ini");
  EXPECT_EQ(ini.ReadString("General", "ExactTime", ""), newTime);
  EXPECT_EQ(ini.ReadString("Chain00", "DaysNoCheck", ""), "7");
  EXPECT_EQ(ini.ReadString("Chain01", "DaysNoCheck", ""), "67");
  EXPECT_EQ(ini.ReadString("Alarms", "AlarmMailAddr", ""), "ops@example.test");
  const std::string log = ReadFile(prog + "vigilo.log");
  const size_t stopped = log.find("VazidEre service stopped");
  ASSERT_NE(stopped, std::string::npos) << log;
  EXPECT_LT(log.find("Service configuration file updated by client"), stopped) << log;
  EXPECT_NE(log.find("VazidEre service started", stopped), std::string::npos)
      << "started again: " << log;

  // The restarted service schedules its next check at the new time.
  auto* next = window.findChild<QLabel*>("LabNextCheckTimeVal");
  ASSERT_TRUE(WaitUntil([&] {
    window.TmrMainTimer();
    return next->text().contains(QString::fromStdString(" " + newTime + ":00 (en "));
  })) << next->text().toStdString();
}

// A loopback TCP port that nobody listened on a moment ago.
int FreePort() {
  platform::UniqueFd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(sock.get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::getsockname(sock.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    return -1;
  }
  return ntohs(address.sin_port);
}

bool PortAnswers(int port) {
  platform::UniqueFd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return ::connect(sock.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

// The same service on a second "PC": an sshd of the test's own on a loopback
// port, with its own host key, that lets root in with a key made for the
// test. The client configuration names it "vigilo-remote", and a port where
// nothing listens "vigilo-nowhere". The control program's own runtime folder
// is empty, so only the forwarding reaches the manager and the pipes.
class RemoteControlSystemTest : public ControlSystemTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(ControlSystemTest::SetUp());
    ASSERT_EQ(::geteuid(), 0u) << "sshd runs as root";
    const std::string ssh = folder.File("ssh");
    fs::create_directories(ssh);
    std::string out;
    for (const char* key : {"host_key", "user_key"}) {
      ASSERT_EQ(
          RunProgram({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", ssh + "/" + key}, out),
          0)
          << out;
    }
    fs::copy_file(ssh + "/user_key.pub", ssh + "/authorized_keys");
    // sshd refuses to start without its privilege separation folder.
    ::mkdir("/run/sshd", 0755);
    for (int attempt = 0; attempt < 5 && sshd < 0; ++attempt) StartSshd(ssh);
    ASSERT_GT(sshd, 0) << ReadFile(ssh + "/sshd.log");

    const std::string hostKey = ReadFile(ssh + "/host_key.pub");
    folder.Write("ssh/known_hosts", "[127.0.0.1]:" + std::to_string(port) + " " +
                                        hostKey.substr(0, hostKey.rfind(' ')) + "\n");
    std::string config;
    for (auto [alias, to] : {std::pair{"vigilo-remote", port}, {"vigilo-nowhere", FreePort()}}) {
      config += std::string("Host ") + alias + "\n  HostName 127.0.0.1\n  Port " +
                std::to_string(to) + "\n  User root\n  IdentityFile " + ssh +
                "/user_key\n  IdentitiesOnly yes\n  UserKnownHostsFile " + ssh +
                "/known_hosts\n  GlobalKnownHostsFile /dev/null\n"
                "  StrictHostKeyChecking yes\n";
    }
    ::setenv("VIGILO_SSH_CONFIG", folder.Write("ssh/config", config).c_str(), 1);
    ::setenv("VIGILO_REMOTE_RUNTIME_DIR", folder.File("run").c_str(), 1);
    ::setenv("VIGILO_RUNTIME_DIR", folder.File("here").c_str(), 1);
    // As the program starts in a session without a runtime folder: the
    // forwardings go to the private one below the configuration folder.
    ::unsetenv("XDG_RUNTIME_DIR");
    PrepareRuntimeFolder(folder.File("config/"));
    ASSERT_EQ(GetEnvironmentVariable("XDG_RUNTIME_DIR"), links);
  }

  void TearDown() override {
    SystemRemoteForwardings().EndAll();
    if (sshd > 0) {
      ::kill(sshd, SIGTERM);
      ::waitpid(sshd, nullptr, 0);
    }
    for (const char* name : {"VIGILO_SSH_CONFIG", "VIGILO_REMOTE_RUNTIME_DIR", "XDG_RUNTIME_DIR"}) {
      ::unsetenv(name);
    }
    ControlSystemTest::TearDown();
  }

  void StartSshd(const std::string& ssh) {
    port = FreePort();
    const std::string config = folder.Write(
        "ssh/sshd_config",
        "ListenAddress 127.0.0.1\nPort " + std::to_string(port) + "\nHostKey " + ssh +
            "/host_key\nPidFile none\nUsePAM no\nPermitRootLogin prohibit-password\n"
            "PubkeyAuthentication yes\nPasswordAuthentication no\n"
            "KbdInteractiveAuthentication no\nAuthorizedKeysFile " +
            ssh + "/authorized_keys\nStrictModes no\nAllowStreamLocalForwarding yes\n");
    const std::string log = ssh + "/sshd.log";
    pid_t pid = ::fork();
    if (pid == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      ::dup2(fd, 1);
      ::dup2(fd, 2);
      // sshd starts itself again by its full path.
      ::execl("/usr/sbin/sshd", "/usr/sbin/sshd", "-D", "-e", "-f", config.c_str(), nullptr);
      ::_exit(127);
    }
    bool exited = false;
    WaitUntil([&] {
      exited = ::waitpid(pid, nullptr, WNOHANG) == pid;
      return exited || PortAnswers(port);
    });
    if (!exited && PortAnswers(port)) {
      sshd = pid;
    } else if (!exited) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }

  // The private folders of the forwardings now running.
  std::vector<std::string> Links() const {
    std::vector<std::string> dirs;
    for (const auto& entry : fs::directory_iterator(links)) dirs.push_back(entry.path());
    return dirs;
  }

  pid_t sshd = -1;
  int port = -1;
  const std::string links = FallbackRuntimeFolder(folder.File("config/"));
};

// The poll, start and stop, and the settings round trip of the window's logic
// against the second PC, named in "vigilo_cfg.ini"; then a switch to a PC
// that does not answer.
TEST_F(RemoteControlSystemTest, AnotherPcThroughSsh) {
  folder.Write("vigilo_cfg.ini", "[General]\r\nRemotePC=vigilo-remote\r\n");
  logic.FormCreate({});
  logic.TmrMainTimer();
  ASSERT_EQ(logic.PanelMessageText(), "Service stopped")
      << SystemRemoteForwardings().ErrorText("vigilo-remote") << "\n"
      << ReadFile(folder.File("ssh/sshd.log"));
  const std::vector<std::string> link = Links();
  ASSERT_EQ(link.size(), 1u);
  struct stat st;
  ASSERT_EQ(::stat(link[0].c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  for (const char* socket : {"scm.sock", "pipe/vigiloinfo", "pipe/vigilocontrol"}) {
    EXPECT_TRUE(fs::is_socket(link[0] + "/" + socket)) << socket;
  }

  ASSERT_NO_FATAL_FAILURE(StartButtonAndStatistics());
  EXPECT_GE(std::stoll(view.Captions.at("LabConnsVal")), 1);
  EXPECT_TRUE(view.Enabled.at("BtnSrvStop"));

  logic.RunHandler([&] { logic.BtnSrvStopClick(); });
  ASSERT_EQ(boxes.Errors, std::vector<std::string>{});
  logic.TmrMainTimer();
  EXPECT_EQ(logic.PanelMessageText(), "Service stopped");
  EXPECT_FALSE(logic.IsServiceRunning());
  logic.RunHandler([&] { logic.BtnSrvStartClick(); });
  ASSERT_EQ(boxes.Errors, std::vector<std::string>{});
  ASSERT_TRUE(WaitUntil([&] {
    logic.TmrMainTimer();
    return logic.PanelMessageText().empty();
  })) << logic.PanelMessageText();

  // The settings fetched, changed as the dialog would, sent back, and the
  // service restarted on them.
  const std::string newTime =
      HoursMinutes(std::min(Now() + 1.0 / 24, DateOf(Now()) + 1 - 2.0 / 1440));
  std::string dialogPc;
  logic.ShowConfigDialog = [&](const std::string& pc, const std::string& file) {
    dialogPc = pc;
    ProfileFile ini(file);
    ini.WriteString("General", "ExactTime", newTime);
    ini.Flush();
    return true;
  };
  logic.RunHandler([&] { logic.EditConfiguration(); });
  ASSERT_EQ(boxes.Errors, std::vector<std::string>{});
  EXPECT_EQ(dialogPc, "vigilo-remote");
  EXPECT_EQ(logic.PanelMessageText(), "Service is running");
  EXPECT_EQ(ProfileFile(prog + "vigilo.ini").ReadString("General", "ExactTime", ""), newTime);
  EXPECT_NE(ReadFile(prog + "vigilo.log").find("Service configuration file updated by client"),
            std::string::npos);
  ASSERT_TRUE(WaitUntil([&] {
    logic.TmrMainTimer();
    return view.Captions.at("LabNextCheckTimeVal").find(" " + newTime + ":00 (en ") !=
           std::string::npos;
  })) << view.Captions.at("LabNextCheckTimeVal");
  EXPECT_EQ(Links(), link) << "one forwarding, used all along";

  // Switching ends the link; the PC that does not answer is named with 53.
  logic.ShowSelectPcDialog = [](std::string& name) {
    name = "vigilo-nowhere";
    return true;
  };
  logic.RunHandler([&] { logic.BtnPcClick(); });
  EXPECT_EQ(Links(), std::vector<std::string>{});
  logic.TmrMainTimer();
  EXPECT_EQ(logic.PanelMessageText(),
            "Service Control Manager erreur sur vigilo-nowhere: The network path was not found");
  EXPECT_NE(SystemRemoteForwardings().ErrorText("vigilo-nowhere").find("Connection refused"),
            std::string::npos)
      << SystemRemoteForwardings().ErrorText("vigilo-nowhere");
  EXPECT_EQ(Links(), std::vector<std::string>{});
  EXPECT_FALSE(logic.IsConnected());
}

// The real endpoints in this process: the status, and the settings file
// fetched and sent back.
class PipeEndpointsTest : public RealLogicTest {
 protected:
  PipeEndpointsTest() { ::setenv("VIGILO_RUNTIME_DIR", folder.File("run").c_str(), 1); }
};

TEST_F(PipeEndpointsTest, StatusFromTheInfoPipe) {
  logic.RequestStatistics();
  EXPECT_EQ(logic.PanelMessageText(), SystemErrorText(kErrorFileNotFound));
  TAlrSrvInfo info("VigiloInfo", 4);
  info.OnGetStatus.Set([](TAlrSrvInfo&, TAlrSrvStatusBlock& status) {
    status.VerMajor = 3;
    status.VerMinor = 1;
    status.VerRelease = 4;
    status.Busy = 1;
    SetStatusText(status.LastErrorText, "Erreur \xE0 la cha\xEEne");
  });
  ASSERT_TRUE(WaitUntil([&] {
    logic.RequestStatistics();
    return logic.PanelMessageText().empty();
  })) << logic.PanelMessageText();
  EXPECT_EQ(view.Captions.at("LabVersionVal"), "3.1.4");
  EXPECT_EQ(view.Captions.at("LabLastErrTextVal"), "Erreur \xE0 la cha\xEEne");
  EXPECT_TRUE(logic.GetServiceBusy());
  EXPECT_EQ(view.Captions.at("LabConnsVal"), "           1");
}

TEST_F(PipeEndpointsTest, SettingsRoundTripThroughTheControlPipe) {
  const std::string serviceIni = folder.File("vigilo.ini");
  TAlrSrvControl control("VigiloControl", 1, serviceIni);
  // The service cannot read its file: nothing to edit.
  std::string message;
  ASSERT_TRUE(WaitUntil([&]() -> bool {
    try {
      logic.GetConfigFromService();
    } catch (const std::exception& e) {
      message = e.what();
    }
    return message != SystemErrorText(kErrorFileNotFound);
  }));
  EXPECT_EQ(message, "Brevast Service could not read its settings file");
  EXPECT_FALSE(fs::exists(logic.LocalConfigPath()));

  folder.Write("vigilo.ini", "[Alarm]\r\nCheckTimes=06:00\r\n");
  logic.GetConfigFromService();
  EXPECT_EQ(ReadFile(logic.LocalConfigPath()), "[Alarm]\r\nCheckTimes=06:00\r\n");

  folder.Write("vigilo_local.ini", "[Alarm]\r\nCheckTimes=07:30 18:00\r\n");
  logic.PutConfigToService();
  EXPECT_EQ(ReadFile(serviceIni), "[Alarm]\r\nCheckTimes=07:30 18:00\r\n");

  // Too large for one request: refused, the service's file stays.
  folder.Write("vigilo_local.ini", std::string(kPipeMaxPayload + 1, ';'));
  EXPECT_THROW(logic.PutConfigToService(), Exception);
  EXPECT_EQ(ReadFile(serviceIni), "[Alarm]\r\nCheckTimes=07:30 18:00\r\n");
}

}  // namespace
