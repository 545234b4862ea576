// Builds the real window against the service of this machine, lets it poll
// once, and saves a picture of each page, then fetches the service's
// settings and saves pictures of the dialogs on them:
//   control_screenshot FOLDER   writes FOLDER/vigilo_cfg_activity.png,
//                               FOLDER/vigilo_cfg_statistics.png,
//                               FOLDER/vigilo_cfg_parameters_general.png,
//                               FOLDER/vigilo_cfg_parameters_alarms.png,
//                               FOLDER/vigilo_cfg_excluded_days.png,
//                               FOLDER/vigilo_cfg_select_pc.png,
//                               FOLDER/vigilo_cfg_minimum_size.png (the window
//                               at its smallest, a message too long for it) and
//                               FOLDER/vigilo_cfg_parameters_server.png (the
//                               test e-mail's server fields, a password typed)
// Boxes are printed instead of shown, so that nothing waits for a click.
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QTabWidget>
#include <algorithm>
#include <cstdio>
#include <string>

#include "common/datetime.h"
#include "control/alr_checkoptions.h"
#include "control/alrsvc_configdlg.h"
#include "control/alrsvc_control.h"
#include "control/selectpc.h"
#include "control_fakes.h"
#include "platform/file.h"
#include "qt_tsan_suppressions.h"

// LeakSanitizer builds: the D-Bus library that Qt's X11 platform loads keeps
// a buffer of its own to the end; it is not ours to free.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libdbus-1.so\n";
}

// ThreadSanitizer builds: see qt_tsan_suppressions.h.
extern "C" const char* __tsan_default_suppressions() {
  return control_test::kQtThreadsTsanSuppressions;
}

namespace {

bool Save(QWidget& widget, const std::string& path) {
  QApplication::processEvents();
  if (!widget.grab().save(QString::fromStdString(path))) {
    std::fprintf(stderr, "cannot save %s\n", path.c_str());
    return false;
  }
  std::printf("saved %s\n", path.c_str());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 2) return 2;
  const std::string folder = argv[1];
  TControlSystem system{platform::SystemServiceManager(), SystemPipeClient(), Now, SystemSleep,
                        LocaleThousandSeparator()};
  control_test::PrintingBoxes boxes;
  TSvcControlWnd window(system, folder + "/", {}, &boxes);
  window.show();
  window.TmrMainTimer();
  auto* pages = window.findChild<QTabWidget*>("PgcMain");
  const std::pair<int, const char*> shots[] = {{0, "activity"}, {1, "statistics"}};
  for (const auto& [page, name] : shots) {
    pages->setCurrentIndex(page);
    if (!Save(window, folder + "/vigilo_cfg_" + name + ".png")) return 1;
  }

  pages->setCurrentIndex(0);
  const QSize designed = window.size();
  window.resize(window.minimumSize());
  window.findChild<TStatusBar*>("SbMain")->SetPanelText(
      kPanelMessage, "Service Control Manager erreur sur pcsilent: The network path was not found");
  if (!Save(window, folder + "/vigilo_cfg_minimum_size.png")) return 1;
  window.resize(designed);

  window.Logic().RunHandler([&] { window.Logic().GetConfigFromService(); });
  TAlrSvcConfigDlg parameters(&window, "", window.Logic().LocalConfigPath(), &boxes);
  parameters.show();
  auto* paramPages = parameters.findChild<QTabWidget*>("PgcParams");
  const std::pair<int, const char*> paramShots[] = {{0, "general"}, {1, "alarms"}};
  for (const auto& [page, name] : paramShots) {
    paramPages->setCurrentIndex(page);
    if (!Save(parameters, folder + "/vigilo_cfg_parameters_" + name + ".png")) return 1;
  }
  parameters.findChild<QCheckBox*>("CbAlarmMailDefault")->click();
  parameters.findChild<QLineEdit*>("EdAlarmMailUser")->setText("alertes@demo.example");
  parameters.findChild<QLineEdit*>("EdAlarmMailPassword")->setText("secret");
  if (!Save(parameters, folder + "/vigilo_cfg_parameters_server.png")) return 1;
  // The first chain of the service's settings with excluded days, as the
  // parameters dialog would open it; a sample where there is none.
  TChainParams chain;
  chain.FolderName = "SHOPS2";
  chain.ConnectionString = "localhost:/var/lib/qor/SHOPS2/qor.fdb";
  chain.DaysNoCheck[6] = chain.DaysNoCheck[7] = true;
  const TAlrConfig& config = parameters.Logic().Config();
  for (int32_t i = 0; i < config.ChainCount(); ++i) {
    TChainParams candidate;
    config.GetChain(i, candidate);
    if (std::find(candidate.DaysNoCheck.begin(), candidate.DaysNoCheck.end(), true) !=
        candidate.DaysNoCheck.end()) {
      chain = candidate;
      break;
    }
  }
  TCheckOptionsDlg days(&parameters);
  days.SetChainName(chain.FolderName);
  days.SetDatabaseName(chain.ConnectionString);
  days.SetExcludedDays(chain.DaysNoCheck);
  days.show();
  if (!Save(days, folder + "/vigilo_cfg_excluded_days.png")) return 1;
  TSelectPcDlg pc(&window);
  pc.show();
  if (!Save(pc, folder + "/vigilo_cfg_select_pc.png")) return 1;
  return 0;
}
