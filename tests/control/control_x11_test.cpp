// The control program on an X server of the test's own, read as a window
// manager reads it: the titles of the window and of both dialogs, the size
// limits of every dialog, and the program itself with the files it keeps,
// its help and its version.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QTabWidget>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>

#include "control/alr_checkoptions.h"
#include "control/alrsvc_configdlg.h"
#include "control/alrsvc_control.h"
#include "control/selectpc.h"
#include "control_fakes.h"
#include "program_support.h"
#include "tests/support/process_support.h"
#include "tests/support/temp_folder.h"
#include "x11_support.h"

// LeakSanitizer builds: the D-Bus library that Qt's X11 platform loads keeps
// a buffer of its own to the end; it is not ours to free.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libdbus-1.so\n";
}

namespace {

namespace fs = std::filesystem;
using namespace control_test;
using testing_support::ReadFile;
using testing_support::WaitUntil;

// The X server and Qt on it, for the whole process; Qt ends with the tests,
// before the server and before the program's exit handlers.
class X11Environment : public ::testing::Environment {
 public:
  TestXServer& Server() {
    if (!server_) server_ = std::make_unique<TestXServer>();
    return *server_;
  }
  QApplication& App() {
    static int argc = 1;
    static char name[] = "control_x11_test";
    static char* argv[] = {name, nullptr};
    if (!app_) {
      ::setenv("QT_QPA_PLATFORM", "xcb", 1);
      app_ = std::make_unique<QApplication>(argc, argv);
    }
    return *app_;
  }
  void TearDown() override {
    app_.reset();
    server_.reset();
  }

 private:
  std::unique_ptr<TestXServer> server_;
  std::unique_ptr<QApplication> app_;
};

X11Environment* const X11 =
    static_cast<X11Environment*>(::testing::AddGlobalTestEnvironment(new X11Environment));

TestXServer& Server() {
  return X11->Server();
}

QApplication& App() {
  return X11->App();
}

class X11Test : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Server().Running()) GTEST_SKIP() << "Xvfb does not start";
    connection = std::make_unique<XConnection>();
    ASSERT_TRUE(connection->Connected()) << Server().Display();
  }
  std::unique_ptr<XConnection> connection;
  XConnection& x() { return *connection; }
};

// _NET_WM_NAME of a window of this process once it is on the screen.
std::string ShownTitle(XConnection& x, QWidget& window) {
  window.show();
  EXPECT_TRUE(WaitUntil(
      [&] {
        QApplication::processEvents();
        return !x.Utf8Property(window.winId(), "_NET_WM_NAME").empty();
      },
      std::chrono::seconds(30)));
  return x.Utf8Property(window.winId(), "_NET_WM_NAME");
}

// The window and its parameters dialog on fakes, as the program makes them.
class WindowTest : public X11Test {
 protected:
  void SetUp() override {
    X11Test::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    App();
    SetUpApplication();  // as the program sets up its application
    window = std::make_unique<TSvcControlWnd>(system, folder.Path() + "/",
                                              std::vector<std::string>{}, &boxes);
    parameters = std::make_unique<TAlrSvcConfigDlg>(window.get(), "",
                                                    folder.Write("vigilo_local.ini", ""), &boxes);
  }

  testing_support::TempFolder folder;
  FakeScm scm;
  FakePipe pipe;
  FakeBoxes boxes;
  TControlSystem system{scm, pipe, [] { return 46000.0; }, [](uint32_t) {}, ","};
  std::unique_ptr<TSvcControlWnd> window;
  std::unique_ptr<TAlrSvcConfigDlg> parameters;
};

TEST_F(WindowTest, EveryTitleIsItsCaptionAlone) {
  TCheckOptionsDlg days(parameters.get());
  days.SetChainName("SHOPS1");
  const std::pair<QWidget*, std::string> titles[] = {
      {window.get(), "CORVANTE Alert Service"},
      {parameters.get(), "Alert Service parameters"},
      {&days, "Modes de la v\xC3\xA9rification - SHOPS1"}};
  for (const auto& [widget, title] : titles) EXPECT_EQ(ShownTitle(x(), *widget), title);
}

// WM_NORMAL_HINTS of a dialog of this process once it is on the screen.
SizeLimits ShownLimits(XConnection& x, QDialog& dialog) {
  dialog.show();
  EXPECT_TRUE(WaitUntil(
      [&] {
        QApplication::processEvents();
        return x.Viewable(dialog.winId());
      },
      std::chrono::seconds(30)));
  return x.NormalHints(dialog.winId());
}

// No control of `dialog` smaller than it needs to show itself whole: every
// text in full, every wrapped label with all its lines.
void ExpectNothingCut(const QDialog& dialog) {
  for (const QWidget* control : dialog.findChildren<QWidget*>()) {
    if (!control->isVisibleTo(&dialog)) continue;
    SCOPED_TRACE(control->objectName().toStdString());
    const QSize least = control->minimumSizeHint().expandedTo(control->minimumSize());
    EXPECT_GE(control->width(), least.width());
    EXPECT_GE(control->height(), control->hasHeightForWidth()
                                     ? control->heightForWidth(control->width())
                                     : least.height());
  }
}

// A dialog border: the size limits that a window manager reads hold the
// dialog's own size as both its least and its largest, so that nobody can
// drag it; the parameters dialog keeps its size when the mail server's rows
// appear.
TEST_F(WindowTest, EveryDialogHasAFixedSize) {
  auto* pages = parameters->findChild<QTabWidget*>("PgcParams");
  // As the parameters dialog opens it for a chain whose database lies deep.
  TCheckOptionsDlg days(parameters.get());
  days.SetChainName("SHOPS2");
  days.SetDatabaseName("qor-server.example.test:/var/lib/qor/chains/SHOPS2/shops.fdb");
  TSelectPcDlg pc(window.get());
  const std::pair<QDialog*, const char*> dialogs[] = {
      {parameters.get(), "parameters"}, {&days, "excluded days"}, {&pc, "PC selection"}};
  for (const auto& [dialog, what] : dialogs) {
    SCOPED_TRACE(what);
    const SizeLimits limits = ShownLimits(x(), *dialog);
    EXPECT_GT(limits.minWidth, 0u);
    EXPECT_EQ(limits.maxWidth, limits.minWidth);
    EXPECT_EQ(limits.maxHeight, limits.minHeight);
    // The hints count the screen's pixels; Qt's sizes, its own (a scale
    // of the screen may set them apart).
    EXPECT_EQ(QSize(limits.minWidth, limits.minHeight),
              (QSizeF(dialog->size()) * dialog->devicePixelRatio()).toSize());
    if (dialog != parameters.get()) ExpectNothingCut(*dialog);
    for (int page = 0; dialog == parameters.get() && page < pages->count(); ++page) {
      pages->setCurrentIndex(page);
      ExpectNothingCut(*dialog);
    }
    dialog->hide();
  }

  const SizeLimits before = ShownLimits(x(), *parameters);
  pages->setCurrentWidget(parameters->findChild<QWidget*>("TsAlarms"));
  parameters->findChild<QCheckBox*>("CbAlarmMailDefault")->click();
  ASSERT_TRUE(parameters->findChild<QWidget*>("EdSmtpHost")->isVisible());
  const SizeLimits after = ShownLimits(x(), *parameters);
  EXPECT_EQ(QSize(after.minWidth, after.minHeight), QSize(before.minWidth, before.minHeight));
  EXPECT_EQ(QSize(after.maxWidth, after.maxHeight), QSize(before.maxWidth, before.maxHeight));
  ExpectNothingCut(*parameters);
}

// An installation of the program alone, and a home for the user who runs it.
class ProgramTest : public X11Test, protected ProgramInstallation {};

// Runs the window until a window manager's close request ends it.
TEST_F(ProgramTest, TheWindowTitleAndTheFilesInTheConfigurationFolder) {
  // A session's runtime folder is its user's alone.
  ASSERT_EQ(::mkdir(folder.File("session").c_str(), 0700), 0);
  struct Case {
    const char* what;
    std::vector<std::string> env;
    std::string configDir;
    std::string runtimeDir;  // empty: the session's, none made
  } cases[] = {
      {"HOME alone", {}, home + "/.config/vigilo", home + "/.config/vigilo/run"},
      {"XDG_CONFIG_HOME",
       {"XDG_CONFIG_HOME=" + folder.File("xdg")},
       folder.File("xdg/vigilo"),
       folder.File("xdg/vigilo/run")},
      {"a relative XDG_CONFIG_HOME",
       {"XDG_CONFIG_HOME=xdg"},
       home + "/.config/vigilo",
       home + "/.config/vigilo/run"},
      {"the session's runtime folder",
       {"XDG_RUNTIME_DIR=" + folder.File("session")},
       home + "/.config/vigilo",
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(home + "/.config");
    std::vector<std::string> env = Environment(c.env);
    env.push_back("DISPLAY=" + Server().Display());
    env.push_back("QT_QPA_PLATFORM=xcb");
    auto child = StartProgram(program, {}, env);
    std::vector<xcb_window_t> windows;
    const bool mapped =
        WaitUntil([&] { return (windows = x().MappedWindowsOf(child->Pid())).size() == 1; },
                  std::chrono::seconds(30));
    ASSERT_TRUE(mapped) << child->Stop(std::chrono::seconds(5)).output;
    EXPECT_EQ(x().Utf8Property(windows[0], "_NET_WM_NAME"), "CORVANTE Alert Service");
    x().RequestClose(windows[0]);
    const testing_support::ProgramResult result = child->Stop(std::chrono::minutes(1), 0);
    ASSERT_EQ(result.exitCode, 0) << result.output;

    EXPECT_EQ(Names(), std::vector<std::string>{"vigilo_cfg"});
    EXPECT_EQ(Mode(c.configDir), 0700u);
    EXPECT_EQ(ReadFile(c.configDir + "/vigilo_cfg.ini"), "[General]\r\nRemotePC=\r\n");
    if (c.runtimeDir.empty()) {
      EXPECT_FALSE(fs::exists(c.configDir + "/run"));
    } else {
      EXPECT_EQ(Mode(c.runtimeDir), 0700u);
    }
    fs::remove_all(folder.File("xdg"));
  }
}

TEST_F(ProgramTest, HelpAndVersionPrintAndEndWithoutAWindow) {
  struct Case {
    std::vector<std::string> args;
    std::string starts;
  } cases[] = {{{"--help"}, "Usage: vigilo_cfg [-config]"},
               {{"-config", "--help"}, "Usage: vigilo_cfg [-config]"},
               {{"--version"}, "vigilo_cfg "}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    // No DISPLAY: a program that made its window would fail.
    const testing_support::ProgramResult result =
        StartProgram(program, c.args, Environment({}))->Stop(std::chrono::minutes(1), 0);
    EXPECT_EQ(result.exitCode, 0) << result.output;
    const std::string& text = result.output;
    EXPECT_EQ(text.rfind(c.starts, 0), 0u) << text;
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(Names(), std::vector<std::string>{"vigilo_cfg"});
    EXPECT_FALSE(fs::exists(home + "/.config"));
  }
  const std::string version = StartProgram(program, {"--version"}, Environment({}))
                                  ->Stop(std::chrono::minutes(1), 0)
                                  .output;
  EXPECT_NE(version.find("."), std::string::npos) << version;
  EXPECT_EQ(version.find("Usage"), std::string::npos) << version;
}

}  // namespace
