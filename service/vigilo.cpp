// The alarm service program: the service "VazidEre", run by the service
// manager, or registered and removed with the INSTALL and UNINSTALL switches.
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#include "common/Comserv.h"
#include "common/verinfo.h"
#include "platform/eventlog.h"
#include "platform/process.h"
#include "platform/service.h"
#include "platform/text.h"
#include "service/alrsrv.h"
#include "service/qordm.h"

namespace {

constexpr const char kUsage[] =
    "Usage: vigilo [-install | -uninstall] [-silent]\n"
    "       vigilo --help | --version\n"
    "\n"
    "vigilo is the alarm service \"VazidEre\" (CORVANTE Alert Service). It is not\n"
    "run by hand: the service manager svcmgr starts it, at its own start and on\n"
    "request.\n"
    "\n"
    "  -install    register the service with svcmgr, started automatically, and end\n"
    "  -uninstall  remove its registration and end\n"
    "  -silent     with either switch: no message on success\n"
    "  --help      show this text and end\n"
    "  --version   show the version and end\n"
    "\n"
    "The switches may also begin with \"/\", in any letter case.\n";

constexpr const char kStartedByHand[] =
    "vigilo is a service and is started by the service manager svcmgr, not by\n"
    "hand: register it once with \"vigilo -install\" and let svcmgr start it\n"
    "(see \"vigilo --help\").\n";

// True when one of the arguments is `option` exactly.
bool HasOption(int argc, char** argv, std::string_view option) {
  for (int i = 1; i < argc; ++i) {
    if (option == argv[i]) return true;
  }
  return false;
}

std::string VersionText() {
  const TVersionInfo version;
  return "vigilo (" + platform::Cp1252ToUtf8(version.FileDescription()) + ") " +
         version.GetVersionString(3) + "\n";
}

// A failure before the service framework runs: where the framework's own
// failures go, the system log and standard error.
int FailAtStart(const std::string& message) {
  platform::EventLog(TAlarmSvc::kServiceName).ReportEvent(platform::EventType::Error, message);
  std::fprintf(stderr, "%s\n", platform::Cp1252ToUtf8(message).c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (HasOption(argc, argv, "--help")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (HasOption(argc, argv, "--version")) {
    std::fputs(VersionText().c_str(), stdout);
    return 0;
  }
  try {
    // A folder that the programs cannot spell ends the program here, before
    // any path is made from it.
    SetTempToAppDir();
    platform::UseUtf8CharacterType();
  } catch (const std::exception& e) {
    return FailAtStart(e.what());
  }
  const bool byHand = platform::GetEnvironmentVariable(platform::kScmFdVariable).empty();
  int status;
  {
    // The service object reads through the data module, so the module comes
    // first and goes last.
    TDmQor dmQor;
    TAlarmSvc alarmSvc(dmQor);
    AlarmSvc = &alarmSvc;
    status = platform::RunServiceApplication(alarmSvc, argc, argv);
    AlarmSvc = nullptr;
  }
  const bool switched = platform::FindCmdLineSwitch(argc, argv, "INSTALL") ||
                        platform::FindCmdLineSwitch(argc, argv, "UNINSTALL");
  if (status != 0 && byHand && !switched) std::fputs(kStartedByHand, stderr);
  // A stop may have left an attach behind, which would hold the exit.
  EndIfAttachAbandoned(status);
  return status;
}
