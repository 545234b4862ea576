// vigilo_cfg, the control program of the alarm service: one window that shows
// the service's state and statistics, and starts and stops it.
#include <QApplication>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "common/Comserv.h"
#include "common/debuglog.h"
#include "common/verinfo.h"
#include "control/alrsvc_control.h"
#include "control/control_files.h"
#include "platform/scm.h"
#include "platform/text.h"

namespace {

constexpr char kUsage[] =
    "Usage: vigilo_cfg [-config] [Qt options]\n"
    "       vigilo_cfg --help | --version\n"
    "\n"
    "The window of the CORVANTE Alert Service: the state, statistics and last\n"
    "events of the service VazidEre on this PC or on the PC named by RemotePC in\n"
    "vigilo_cfg.ini, its start and stop, and its settings.\n"
    "\n"
    "  -config, /config  fetch the service's settings and open its parameters\n"
    "                    once the window has polled the service\n"
    "  --help            print this text and exit\n"
    "  --version         print the program's version and exit\n"
    "\n"
    "Files, in $XDG_CONFIG_HOME/vigilo (else ~/.config/vigilo):\n"
    "  vigilo_cfg.ini    [General] RemotePC: the PC whose service is controlled\n"
    "                    (empty: this PC)\n"
    "  vigilo_local.ini  the settings last fetched from the service\n"
    "  debug.txt         the log: settings files it could not read or write\n";

// The switches that print and end the program before any window is made;
// -1 when there is none.
int PrintOnlySwitch(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("vigilo_cfg %s\n", TVersionInfo().GetVersionString(3).c_str());
      return 0;
    }
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (int rc = PrintOnlySwitch(argc, argv); rc >= 0) return rc;
    SetTempToAppDir();
    const std::string configDir = ControlConfigFolder();
    PrepareConfigFolder(configDir);
    // No event log: only the service reports to the system log.
    SetLogTarget(nullptr, ControlLogFile(PathFromDisk(configDir)));
    PrepareRuntimeFolder(configDir);
    QApplication app(argc, argv);  // takes Qt's own options out of argv
    SetUpApplication();
    std::vector<std::string> params;
    for (int i = 1; i < argc; ++i) params.push_back(platform::Utf8ToCp1252(argv[i]));
    TControlSystem system{platform::SystemServiceManager(),
                          SystemPipeClient(),
                          Now,
                          SystemSleep,
                          LocaleThousandSeparator(),
                          SystemCarryRemotePipes,
                          SystemEndRemoteLinks};
    // The folder comes from the environment as the file system spells it;
    // the logic holds paths as the programs' own text.
    TSvcControlWnd window(system, PathFromDisk(configDir), params);
    window.show();
    return app.exec();
  } catch (const std::exception& e) {
    // Messages are cp1252 text, the terminal's is UTF-8.
    std::fprintf(stderr, "vigilo_cfg: %s\n", platform::Cp1252ToUtf8(e.what()).c_str());
    return 1;
  }
}
