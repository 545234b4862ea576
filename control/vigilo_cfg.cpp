// vigilo_cfg, the control program of the alarm service: one window that shows
// the service's state and statistics, and starts and stops it.
#include <QApplication>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "common/Comserv.h"
#include "control/alrsvc_control.h"
#include "control/control_resstr.h"
#include "platform/scm.h"
#include "platform/text.h"

int main(int argc, char** argv) {
  try {
    SetTempToAppDir();
    QApplication app(argc, argv);  // takes Qt's own options out of argv
    QApplication::setApplicationDisplayName(ToQt(cfgstr::SAppTitle));
    std::vector<std::string> params;
    for (int i = 1; i < argc; ++i) params.push_back(platform::Utf8ToCp1252(argv[i]));
    TControlSystem system{platform::SystemServiceManager(),
                          SystemPipeClient(),
                          Now,
                          SystemSleep,
                          LocaleThousandSeparator(),
                          SystemCarryRemotePipes,
                          SystemEndRemoteLinks};
    std::string exeDir = GetAppDir();
    if (exeDir.empty() || exeDir.back() != '/') exeDir += '/';
    TSvcControlWnd window(system, exeDir, params);
    window.show();
    return app.exec();
  } catch (const std::exception& e) {
    // Messages are cp1252 text, the terminal's is UTF-8.
    std::fprintf(stderr, "vigilo_cfg: %s\n", platform::Cp1252ToUtf8(e.what()).c_str());
    return 1;
  }
}
