// The parameters dialog and its excluded-days dialog for a chain whose
// name and database folder hold letters outside ASCII, with the
// data-acquisition settings in cp1252 in an accented folder, on the
// offscreen platform: the dialogs show every name as it is written.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <filesystem>
#include <memory>

#include "control/alr_checkoptions.h"
#include "control/alrsvc_configdlg.h"
#include "control_fakes.h"
#include "platform/registry.h"
#include "qt_test_support.h"
#include "tests/support/temp_folder.h"

namespace {

using control_test::App;
using control_test::FakeBoxes;
using control_test::OnNextModal;

TEST(AccentedChainDialog, TheDatabaseLineShowsThePathAsWritten) {
  App();
  testing_support::TempFolder folder;
  ::setenv("VIGILO_SCM_DIR", folder.File("scm").c_str(), 1);
  // The data-acquisition service in "dépôt", its settings in cp1252.
  const std::string qorFolder = folder.File("d\xC3\xA9p\xC3\xB4t");
  std::filesystem::create_directories(qorFolder);
  folder.Write("d\xC3\xA9p\xC3\xB4t/qorsvc.ini",
               "[Directory0]\r\nTrackDirectory=Cha\xEEne \xC9lan\r\nHost=localhost\r\n"
               "Database=/srv/db/\xE9lan/qor.fdb\r\n");
  platform::ServiceRegistration qor;
  qor.Name = "QorSvc";
  qor.DisplayName = "QorSvc";
  qor.ImagePath = qorFolder + "/qorsvc";  // as the manager keeps it: the name on disk
  platform::WriteServiceRegistration(qor);
  // The working copy in the control program's folder, "réglages", whose
  // path the program holds as cp1252 text.
  std::filesystem::create_directories(folder.File("r\xC3\xA9glages"));
  folder.Write("r\xC3\xA9glages/vigilo_local.ini",
               "[General]\r\nExactTime=06:00\r\nTrackedChains=1\r\n"
               "[Chain00]\r\nTrackedChain=Cha\xEEne \xC9lan\r\nDaysNoCheck=6\r\n");
  FakeBoxes boxes;
  auto dialog = std::make_unique<TAlrSvcConfigDlg>(
      nullptr, "", folder.File("r\xE9glages/vigilo_local.ini"), &boxes,
      [](const std::string&, const std::string&, const std::string&, const TMailServerParams*,
         std::string&) { return true; });

  QListWidget* chains = dialog->findChild<QListWidget*>("LbcChains");
  ASSERT_NE(chains, nullptr);
  ASSERT_EQ(chains->count(), 1);
  chains->setCurrentRow(0);
  bool shown = false;
  OnNextModal<TCheckOptionsDlg>([&](TCheckOptionsDlg* days) {
    shown = true;
    EXPECT_EQ(days->windowTitle(),
              QString::fromUtf8("Modes de la v\xC3\xA9rification - \xC3\x89LAN"));
    EXPECT_EQ(days->findChild<QLabel*>("LabDatabase")->text(),
              QString::fromUtf8("Base de donn\xC3\xA9"
                                "es: localhost:/srv/db/\xC3\xA9lan/qor.fdb"));
    EXPECT_TRUE(days->DayBoxes[6]->isChecked()) << "the chain's own settings were read";
    days->findChild<QPushButton*>("BtnCancel")->click();
  });
  dialog->findChild<QPushButton*>("BtnCheckOptions")->click();
  EXPECT_TRUE(shown);
  ::unsetenv("VIGILO_SCM_DIR");
}

}  // namespace
