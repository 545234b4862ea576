// The parameters, excluded-days and PC-switch dialogs on the offscreen
// platform: controls by name with their texts, the settings file they edit
// byte for byte, the mail server fields and the test e-mail (against a
// recording sender, and once through the mail library to a real SMTP server).
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <filesystem>
#include <functional>

#include "common/alr_config.h"
#include "control/alr_checkoptions.h"
#include "control/alrsvc_configdlg.h"
#include "control/alrsvc_control.h"
#include "control/selectpc.h"
#include "control_fakes.h"
#include "platform/registry.h"
#include "qt_test_support.h"
#include "tests/maillib/smtp_test_server.h"
#include "tests/support/temp_folder.h"

namespace {

using namespace control_test;
using testing_support::ReadFile;

// The service's file as the service wrote it; "Far Away" is a chain this PC
// does not know.
const std::string kServiceFile =
    "; the alarm service's settings\r\n"
    "[General]\r\nLogDetailed=0\r\nDataCheckTime=7200\r\nExactTime=06:00 18:30\r\n"
    "LastCheckAt=14/03/2026 06:00:01\r\nTrackedChains=3\r\n\r\n"
    "[Alarms]\r\nUseEmail=1\r\nAlarmMailAddr=ops@example.test\r\n"
    "AlarmMailBody=Bonjour,\"les alarmes\"\r\nAlarmMailDefault=0\r\n"
    "AlarmMailSmtpHost=mail.example.test\r\n\r\n"
    "[Chain00]\r\nTrackedChain=Shops One\r\n\r\n"
    "[Chain01]\r\nTrackedChain=Shops Two\r\nDaysNoCheck=67\r\n\r\n"
    "[Chain02]\r\nTrackedChain=Far Away\r\nShouldCheck=0\r\n";

// `text` with `insert` put in place of the first `at`.
std::string Changed(const std::string& text, const std::string& at, const std::string& insert) {
  std::string result = text;
  const size_t pos = result.find(at);
  EXPECT_NE(pos, std::string::npos) << at;
  return pos == std::string::npos ? result : result.replace(pos, at.size(), insert);
}

// A key typed into `widget`, as the keyboard delivers it.
void Type(QWidget* widget, int key, const QString& text) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
  QApplication::sendEvent(widget, &press);
  QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
  QApplication::sendEvent(widget, &release);
}

struct MailCall {
  std::string recipients, subject, body;
  bool withServer = false;
  TMailServerParams server{};
};

class ConfigDialogTest : public ::testing::Test {
 protected:
  ConfigDialogTest() {
    App();
    ::setenv("VIGILO_SCM_DIR", folder.File("scm").c_str(), 1);
    std::filesystem::create_directories(folder.File("qor"));
    folder.Write("qor/qorsvc.ini",
                 "[Directory0]\r\nTrackDirectory=Shops One\r\nHost=localhost\r\n"
                 "Database=/db/SHOPS1/qor.fdb\r\n"
                 "[Directory1]\r\nTrackDirectory=Shops Two\r\nHost=localhost\r\n"
                 "Database=/db/SHOPS2/qor.fdb\r\n");
    platform::ServiceRegistration qor;
    qor.Name = "QorSvc";
    qor.DisplayName = "QorSvc";
    qor.ImagePath = folder.File("qor/qorsvc");
    platform::WriteServiceRegistration(qor);
  }
  ~ConfigDialogTest() override { ::unsetenv("VIGILO_SCM_DIR"); }

  void Open(const std::string& content = kServiceFile) {
    file = folder.Write("vigilo_local.ini", content);
    OpenFile();
  }
  void OpenFile() {
    dialog = std::make_unique<TAlrSvcConfigDlg>(
        nullptr, "", file, &boxes,
        [this](const std::string& recipients, const std::string& subject, const std::string& body,
               const TMailServerParams* server, std::string& errorText) {
          MailCall call{recipients, subject, body, server != nullptr, {}};
          if (server) call.server = *server;
          mails.push_back(call);
          errorText = mailError;
          return mailError.empty();
        });
  }

  template <typename T = QWidget>
  T* Find(const char* name) {
    T* found = dialog->findChild<T*>(name);
    EXPECT_NE(found, nullptr) << name;
    return found;
  }
  void Click(const char* name) { Find<QAbstractButton>(name)->click(); }
  QListWidget* Chains() { return Find<QListWidget>("LbcChains"); }
  bool Accepted() const { return dialog->result() == QDialog::Accepted; }

  testing_support::TempFolder folder;
  std::string file;
  FakeBoxes boxes;
  std::vector<MailCall> mails;
  std::string mailError;
  std::unique_ptr<TAlrSvcConfigDlg> dialog;
};

TEST_F(ConfigDialogTest, ControlsCarryTheirNamesAndTexts) {
  Open();
  EXPECT_EQ(dialog->windowTitle(), "Alert Service parameters");
  const std::pair<const char*, const char*> texts[] = {
      {"BtnOK", "OK"},
      {"BtnCancel", "Annuler"},
      {"LabDatabases", "Bases de données sont vérifiées par Alert Service"},
      {"BtnCheckOptions", "Modes de la vérification"},
      {"LabCheckTime", "Check state of the  data files at"},
      {"CbLogDetailed", "Detailed event log"},
      {"CbUseEmail", "Notify user about alarms by e-mail"},
      {"LabAlarmMailAddr", "Envoyer e-mail vers"},
      {"LabAlarmMessage", "Message de alarme"},
      {"BtnTest", "Test email"},
      {"CbAlarmMailDefault", "Default mail system parameters"},
      {"LabSmtpHost", "Outgoing mail (SMTP) "},
      {"LabSmtpPort", "Port"},
      {"LabPop3Host", "Incoming mail (POP3)"},
      {"LabPop3Port", "Port"},
      {"LabAlarmMailUser", "Login (usually email)"},
      {"LabAlarmMailPassword", "Password"},
      {"CbMaskPsw", "Mask password"},
  };
  for (const auto& [name, text] : texts) {
    QWidget* control = Find(name);
    ASSERT_NE(control, nullptr) << name;
    const QString shown = qobject_cast<QLabel*>(control)
                              ? qobject_cast<QLabel*>(control)->text()
                              : qobject_cast<QAbstractButton*>(control)->text();
    EXPECT_EQ(shown, QString::fromUtf8(text)) << name;
  }
  EXPECT_EQ(Find<QGroupBox>("GbMail")->title(), "Notifications sur les alarmes");
  auto* pages = Find<QTabWidget>("PgcParams");
  EXPECT_EQ(pages->tabText(pages->indexOf(Find("TsGeneral"))), "General");
  EXPECT_EQ(pages->tabText(pages->indexOf(Find("TsAlarms"))), "Notifications sur les alarmes");
  EXPECT_EQ(pages->currentWidget(), Find("TsAlarms"));
  EXPECT_EQ(Find("EdExactTimes")->toolTip(),
            "Liste des valeurs de temps, séparées par un espace, par exemple \"10:30 18:00\"");
  EXPECT_TRUE(Find<QPushButton>("BtnOK")->isDefault());
  EXPECT_FALSE(Find("BtnCheckOptions")->isEnabled()) << "no chain selected";

  // The settings, and the server fields in their form state whatever the file says.
  EXPECT_EQ(Find<QLineEdit>("EdExactTimes")->text(), "06:00 18:30");
  EXPECT_FALSE(Find<QCheckBox>("CbLogDetailed")->isChecked());
  EXPECT_TRUE(Find<QCheckBox>("CbUseEmail")->isChecked());
  EXPECT_EQ(Find<QLineEdit>("EdAlarmMailAddr")->text(), "ops@example.test");
  EXPECT_EQ(Find<QPlainTextEdit>("MemAlarmMailBody")->toPlainText(), "Bonjour\nles alarmes");
  EXPECT_TRUE(Find<QCheckBox>("CbAlarmMailDefault")->isChecked());
  EXPECT_EQ(Find<QLineEdit>("EdSmtpHost")->text(), "");
  EXPECT_EQ(Find<QLineEdit>("EdSmtpPort")->text(), "25");
  EXPECT_EQ(Find<QLineEdit>("EdPop3Port")->text(), "110");
  EXPECT_EQ(Find<QLineEdit>("EdAlarmMailPassword")->echoMode(), QLineEdit::Password);
  EXPECT_TRUE(Find<QCheckBox>("CbMaskPsw")->isChecked());
}

TEST_F(ConfigDialogTest, EveryChainOfTheFileIsShownAndComesBackWhetherThisPcKnowsItOrNot) {
  struct Case {
    const char* what;
    bool localSettings;
    std::vector<QString> items;
  } cases[] = {
      {"this PC knows two of the three", true, {"SHOPS1", "SHOPS2", "Far Away"}},
      {"this PC has no data-acquisition settings", false, {"Shops One", "Shops Two", "Far Away"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.localSettings) std::filesystem::remove(folder.File("qor/qorsvc.ini"));
    Open();
    ASSERT_EQ(Chains()->count(), 3);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(Chains()->item(i)->text(), c.items[i]);
      EXPECT_EQ(Chains()->item(i)->data(Qt::UserRole).toInt(), i);
      EXPECT_EQ(Chains()->item(i)->checkState(), i < 2 ? Qt::Checked : Qt::Unchecked);
    }
    Click("BtnOK");
    EXPECT_TRUE(Accepted());
    EXPECT_EQ(ReadFile(file), kServiceFile) << "nothing changed, nothing written";
  }
}

TEST_F(ConfigDialogTest, UncheckingOneChainChangesOnlyItsKey) {
  Open();
  Chains()->item(1)->setCheckState(Qt::Unchecked);
  Chains()->item(2)->setCheckState(Qt::Checked);
  Click("BtnOK");
  EXPECT_TRUE(Accepted());
  std::string expected =
      Changed(kServiceFile, "DaysNoCheck=67\r\n", "DaysNoCheck=67\r\nShouldCheck=0\r\n");
  expected = Changed(expected, "Far Away\r\nShouldCheck=0", "Far Away\r\nShouldCheck=1");
  EXPECT_EQ(ReadFile(file), expected);
}

TEST_F(ConfigDialogTest, EditedValuesAreWrittenWhereTheyStand) {
  Open();
  Find<QLineEdit>("EdExactTimes")->setText("19:05 07:30");
  Find<QLineEdit>("EdAlarmMailAddr")->setText("  a@x.test    b@y.test ");
  Find<QPlainTextEdit>("MemAlarmMailBody")->setPlainText("Salut, l'\xC3\xA9quipe\n");
  Click("CbLogDetailed");
  Click("BtnOK");
  ASSERT_TRUE(Accepted()) << (boxes.Infos.empty() ? "" : boxes.Infos[0]);
  std::string expected = Changed(kServiceFile, "ExactTime=06:00 18:30", "ExactTime=07:30 19:05");
  expected = Changed(expected, "LogDetailed=0", "LogDetailed=1");
  expected = Changed(expected, "AlarmMailAddr=ops@example.test", "AlarmMailAddr=a@x.test b@y.test");
  expected = Changed(expected, "AlarmMailBody=Bonjour,\"les alarmes\"",
                     "AlarmMailBody=\"Salut, l'\xE9quipe\"");
  EXPECT_EQ(ReadFile(file), expected);
}

TEST_F(ConfigDialogTest, AnHourOf25KeepsTheDialogOpenAndTheFileUntouched) {
  Open();
  Find<QLineEdit>("EdExactTimes")->setText("06:00 25:00");
  Click("BtnOK");
  EXPECT_EQ(boxes.Infos, std::vector<std::string>{"Wrong time value \"25:00\""});
  EXPECT_FALSE(Accepted());
  EXPECT_EQ(ReadFile(file), kServiceFile);
}

TEST_F(ConfigDialogTest, ASaveThatFailsIsShownAndTheDialogStaysOpen) {
  std::filesystem::create_directories(folder.File("gone"));
  file = folder.Write("gone/vigilo_local.ini", kServiceFile);
  OpenFile();
  std::filesystem::remove_all(folder.File("gone"));
  Click("CbLogDetailed");
  Click("BtnOK");
  EXPECT_FALSE(Accepted()) << "never closed with OK over an unwritten file";
  ASSERT_EQ(boxes.Infos.size(), 1u);
  EXPECT_NE(boxes.Infos[0].find("Unable to write to"), std::string::npos) << boxes.Infos[0];
}

TEST_F(ConfigDialogTest, PortEditsTakeOnlyDigits) {
  Open();
  for (const char* port : {"EdSmtpPort", "EdPop3Port"}) {
    auto* edit = Find<QLineEdit>(port);
    edit->clear();
    for (QChar c : QString("a1b2"))
      Type(edit, c.isDigit() ? Qt::Key_0 + c.digitValue() : Qt::Key_A, c);
    EXPECT_EQ(edit->text(), "12") << port;
    Type(edit, Qt::Key_Backspace, "\b");
    EXPECT_EQ(edit->text(), "1") << port;
  }
}

TEST_F(ConfigDialogTest, ServerFieldsShowExactlyWithoutTheDefaultParameters) {
  Open();
  const char* fields[] = {"LabSmtpHost",     "EdSmtpHost",           "LabSmtpPort",
                          "EdSmtpPort",      "LabPop3Host",          "EdPop3Host",
                          "LabPop3Port",     "EdPop3Port",           "LabAlarmMailUser",
                          "EdAlarmMailUser", "LabAlarmMailPassword", "EdAlarmMailPassword",
                          "CbMaskPsw"};
  for (bool shown : {false, true, false}) {
    for (const char* name : fields) EXPECT_EQ(Find(name)->isVisibleTo(dialog.get()), shown) << name;
    Click("CbAlarmMailDefault");
  }
  Click("CbMaskPsw");
  EXPECT_EQ(Find<QLineEdit>("EdAlarmMailPassword")->echoMode(), QLineEdit::Normal);
  Click("CbMaskPsw");
  EXPECT_EQ(Find<QLineEdit>("EdAlarmMailPassword")->echoMode(), QLineEdit::Password);
}

TEST_F(ConfigDialogTest, ExcludedDaysRoundTripAndReachTheFileOnlyWithOk) {
  Open();
  Chains()->setCurrentRow(1);
  ASSERT_TRUE(Find("BtnCheckOptions")->isEnabled());
  OnNextModal<TCheckOptionsDlg>([](TCheckOptionsDlg* days) {
    EXPECT_EQ(days->windowTitle(), "Modes de la vérification - SHOPS2");
    EXPECT_EQ(days->findChild<QLabel*>("LabDatabase")->text(),
              "Base de données: localhost:/db/SHOPS2/qor.fdb");
    std::vector<QString> ticked;
    for (int d = 1; d <= 7; ++d) {
      if (days->DayBoxes[d]->isChecked()) ticked.push_back(days->DayBoxes[d]->text());
    }
    EXPECT_EQ(ticked, (std::vector<QString>{"Saturdays", "Sundays"}));
    days->findChild<QPushButton*>("BtnOk")->click();
  });
  Click("BtnCheckOptions");
  TChainParams chain;
  dialog->Logic().Config().GetChain(1, chain);
  std::string days;
  TAlrConfig::DaysToStr(chain.DaysNoCheck, days);
  EXPECT_EQ(days, "67") << "OK without a change gives the same days back";

  OnNextModal<TCheckOptionsDlg>([](TCheckOptionsDlg* days) {
    days->findChild<QCheckBox*>("CbMonday")->click();
    days->findChild<QPushButton*>("BtnOk")->click();
  });
  Click("BtnCheckOptions");
  EXPECT_EQ(ReadFile(file), kServiceFile) << "not before the parameters' OK";
  Click("BtnOK");
  EXPECT_EQ(ReadFile(file), Changed(kServiceFile, "DaysNoCheck=67", "DaysNoCheck=167"));
}

TEST_F(ConfigDialogTest, CancelKeepsTheOldDays) {
  Open();
  Chains()->setCurrentRow(0);
  OnNextModal<TCheckOptionsDlg>([](TCheckOptionsDlg* days) {
    for (int d = 1; d <= 7; ++d) days->DayBoxes[d]->setChecked(true);
    days->findChild<QPushButton*>("BtnOk")->click();
  });
  Click("BtnCheckOptions");
  TChainParams chain;
  dialog->Logic().Config().GetChain(0, chain);
  EXPECT_EQ(std::count(chain.DaysNoCheck.begin() + 1, chain.DaysNoCheck.end(), true), 7);
  Click("BtnCancel");
  EXPECT_FALSE(Accepted());
  EXPECT_EQ(ReadFile(file), kServiceFile);
}

TEST_F(ConfigDialogTest, ExcludedDaysCancelChangesNothing) {
  TCheckOptionsDlg days(nullptr);
  EXPECT_EQ(days.windowTitle(), "Modes de la vérification");
  EXPECT_EQ(days.findChild<QLabel*>("LabDatabase")->text(), "Base de données");
  EXPECT_EQ(days.findChild<QGroupBox*>("GbDays")->title(), "Days to be excluded from check");
  TDaysNoCheck all{};
  for (int d = 1; d <= 7; ++d) EXPECT_FALSE(days.DayBoxes[d]->isChecked());
  for (int d = 1; d <= 7; ++d) days.DayBoxes[d]->setChecked(true);
  days.GetExcludedDays(all);
  EXPECT_EQ(std::count(all.begin(), all.end(), true), 7);
}

TEST_F(ConfigDialogTest, TestMailWithTheDefaultServerAndItsTwoBoxes) {
  Open();
  Find<QLineEdit>("EdSmtpHost")->setText("hidden.example.test");
  Click("BtnTest");
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0].recipients, "ops@example.test");
  EXPECT_EQ(mails[0].subject, "Message de alarme du Alert Service");
  // This test program carries no version information: 0.0.
  EXPECT_EQ(mails[0].body, StringsToCsv({"CORVANTE Alert Service 0.0", "",
                                         "Ce message est un test de communication.", "", "Bonjour",
                                         "les alarmes"}));
  EXPECT_FALSE(mails[0].withServer) << "the hidden fields are not passed";
  EXPECT_EQ(boxes.Infos,
            std::vector<std::string>{"E-mail: was sent to ops@example.test successfully."});

  mailError = "550 mailbox unavailable";
  Click("BtnTest");
  EXPECT_EQ(boxes.Errors, std::vector<std::string>{"E-mail: failed to send to "
                                                   "ops@example.test\r\n550 mailbox unavailable"});
  EXPECT_EQ(ReadFile(file), kServiceFile) << "the test changes no setting";
}

TEST_F(ConfigDialogTest, TestMailWithTheServerOfTheFields) {
  Open();
  Click("CbAlarmMailDefault");
  Find<QLineEdit>("EdSmtpHost")->setText("  smtp.example.test ");
  Find<QLineEdit>("EdSmtpPort")->setText("2x5");  // pasted, not typed
  Find<QLineEdit>("EdPop3Host")->setText("pop.example.test");
  Find<QLineEdit>("EdPop3Port")->setText(" 995 ");
  Find<QLineEdit>("EdAlarmMailUser")->setText(" me@example.test");
  Find<QLineEdit>("EdAlarmMailPassword")->setText(QString(70, 'p'));
  Click("BtnTest");
  ASSERT_EQ(mails.size(), 1u);
  ASSERT_TRUE(mails[0].withServer);
  const TMailServerParams& s = mails[0].server;
  EXPECT_STREQ(s.SmtpHost, "smtp.example.test");
  // Copied out first: the record is packed.
  const int32_t smtpPort = s.SmtpPort, pop3Port = s.Pop3Port;
  EXPECT_EQ(smtpPort, 25) << "not a number";
  EXPECT_STREQ(s.Pop3Host, "pop.example.test");
  EXPECT_EQ(pop3Port, 995);
  EXPECT_STREQ(s.User, "me@example.test");
  EXPECT_EQ(std::string(s.Password), std::string(63, 'p')) << "cut to its field";
}

// Through the mail library, to an SMTP server on loopback.
TEST_F(ConfigDialogTest, TestMailReachesARealServer) {
  mailtest::SmtpTestServer smtp(folder.File("mail"), {});
  file = folder.Write("vigilo_local.ini", kServiceFile);
  dialog = std::make_unique<TAlrSvcConfigDlg>(nullptr, "", file, &boxes);
  Click("CbAlarmMailDefault");
  Find<QLineEdit>("EdSmtpHost")->setText("127.0.0.1");
  Find<QLineEdit>("EdSmtpPort")->setText(QString::number(smtp.Port()));
  Click("BtnTest");
  ASSERT_EQ(boxes.Errors, std::vector<std::string>{});
  EXPECT_EQ(boxes.Infos,
            std::vector<std::string>{"E-mail: was sent to ops@example.test successfully."});
  const std::vector<mailtest::ReceivedMail> received = smtp.Messages();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].recipients, std::vector<std::string>{"ops@example.test"});
  EXPECT_EQ(received[0].subject, "Message de alarme du Alert Service");
  EXPECT_NE(received[0].body.find("Ce message est un test de communication."), std::string::npos)
      << received[0].body;
  EXPECT_NE(received[0].body.find("les alarmes"), std::string::npos);
}

TEST(SelectPcDialogTest, TextsAndTheNameAsTyped) {
  App();
  TSelectPcDlg pc(nullptr);
  EXPECT_EQ(pc.objectName(), "SelectPcDlg");
  EXPECT_EQ(pc.windowTitle(), "Commuté pour un autre PC");
  EXPECT_EQ(pc.findChild<QLabel*>("LabPrompt")->text(),
            "Tapez le nom du PC ou choisissez PC parmi la liste.\n"
            "Laissez le nom non rempli si vous voulez choisir votre PC");
  EXPECT_EQ(pc.findChild<QToolButton*>("BtnPc")->toolTip(),
            "Choisissez l'ordinateur où le service travaille");
  EXPECT_EQ(pc.findChild<QPushButton*>("BtnOK")->text(), "OK");
  EXPECT_EQ(pc.findChild<QPushButton*>("BtnCancel")->text(), "Annuler");
  pc.findChild<QLineEdit*>("EdPc")->setText(" caisse-2 ");
  EXPECT_EQ(pc.GetPcName(), " caisse-2 ");
  // No computer browser here: the typed name stays.
  pc.findChild<QToolButton*>("BtnPc")->click();
  EXPECT_EQ(pc.GetPcName(), " caisse-2 ");
}

}  // namespace

namespace {

TEST_F(ConfigDialogTest, TheMaskedPasswordShowsEachCharacterAsAStar) {
  Open();
  Click("CbAlarmMailDefault");
  auto* password = Find<QLineEdit>("EdAlarmMailPassword");
  password->setText(QString::fromUtf8("s\xC3\xA9same"));
  EXPECT_EQ(password->displayText(), "******");
  Click("CbMaskPsw");
  EXPECT_EQ(password->displayText(), QString::fromUtf8("s\xC3\xA9same"));
  Click("CbMaskPsw");
  EXPECT_EQ(password->displayText(), "******");
}

// Both dialogs open in the middle of the screen, wherever their owner lies.
TEST_F(ConfigDialogTest, BothDialogsOpenCentredOnTheScreen) {
  QWidget owner;
  owner.setGeometry(10, 10, 200, 150);
  owner.show();
  file = folder.Write("vigilo_local.ini", kServiceFile);
  TAlrSvcConfigDlg parameters(&owner, "", file, &boxes);
  TCheckOptionsDlg days(&parameters);
  for (QDialog* shown : std::initializer_list<QDialog*>{&parameters, &days}) {
    SCOPED_TRACE(shown->objectName().toStdString());
    OnNextModal<QDialog>([](QDialog* modal) {
      const QRect area = modal->screen()->availableGeometry();
      const QPoint offset = modal->geometry().center() - area.center();
      // The platform may put its frame where the window was asked to be.
      const QSize frame = modal->frameGeometry().size() - modal->geometry().size();
      EXPECT_LE(std::abs(offset.x()), frame.width() / 2 + 1) << offset.x();
      EXPECT_LE(std::abs(offset.y()), frame.height() / 2 + 1) << offset.y();
      modal->reject();
    });
    shown->exec();
  }
}

}  // namespace
