// The real Qt window on the offscreen platform, its logic against fakes:
// every control found by its object name, its texts in Unicode, the hidden
// header, the status bar with its lights, and one tick.
#include "control/alrsvc_control.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QHelpEvent>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QToolTip>
#include <cstdlib>

#include "control_fakes.h"
#include "platform/syserror.h"
#include "qt_test_support.h"
#include "tests/support/temp_folder.h"

namespace {

using namespace platform;
using namespace control_test;

class WindowTest : public ::testing::Test {
 protected:
  WindowTest() : system{scm, pipe, [] { return EncodeDate(2026, 3, 14); }, [](uint32_t) {}, ","} {
    App();
  }
  void Open(const std::vector<std::string>& params = {}) {
    window = std::make_unique<TSvcControlWnd>(system, folder.Path() + "/", params, &boxes);
  }
  template <typename T = QWidget>
  T* Find(const char* name) {
    T* found = window->findChild<T*>(name);
    EXPECT_NE(found, nullptr) << name;
    return found;
  }
  QString Text(const char* name) { return Find<QLabel>(name)->text(); }
  // The colour in the middle of a status-bar light.
  QColor Light(int panel) {
    auto* bar = Find<TStatusBar>("SbMain");
    const QImage image = bar->grab().toImage();
    const QRect r = bar->PanelRect(panel);
    return image.pixelColor(r.left() + 6, r.top() + r.height() / 2);
  }

  testing_support::TempFolder folder;
  FakeScm scm;
  FakePipe pipe;
  FakeBoxes boxes;
  TControlSystem system;
  std::unique_ptr<TSvcControlWnd> window;
};

TEST_F(WindowTest, ControlsCarryTheirNamesAndTexts) {
  Open();
  EXPECT_EQ(window->objectName(), "SvcControlWnd");
  EXPECT_EQ(window->windowTitle(), "CORVANTE Alert Service");
  const std::pair<const char*, const char*> labels[] = {
      {"LabPc", "The program works with Alert Service running on"},
      {"LabNextCheckTime", "Suivant vérification des données"},
      {"LabLastReportTime", "Dernier rapport est généré à"},
      {"LabLastEvtTime", "Dernier évènement"},
      {"LabLastErrTime", "Dernière erreur"},
      {"LabVersion", "Version du Service:"},
      {"LabStartedAt", "Démarrage a:"},
      {"LabConns", "Connections avec succès:"},
      {"LabConErrors", "Connections avec erreur:"},
      {"LabReq", "Demandes received:"},
      {"LabReqBytes", "Bytes received:"},
      {"LabAns", "Réponses sent:"},
      {"LabAnsBytes", "Bytes sent:"},
      {"LabWriteErr", "Write errors:"},
      {"StPcDisplayName", "cet PC"},
  };
  for (const auto& [name, text] : labels) EXPECT_EQ(Text(name), QString::fromUtf8(text)) << name;
  const std::tuple<const char*, const char*, const char*> buttons[] = {
      {"BtnSrvStart", "Démarrer le service", "Démarrer Gathrel Service sur PC indiqué"},
      {"BtnSrvStop", "Arrêter le service", "Arrêter Gathrel Service sur PC indiqué"},
      {"BtnConfigure", "Configurer le service", "Change Gathrel parameters on specified PC"},
      {"BtnClose", "Fermer", ""},
      {"BtnPC", "Sur un autre PC", "Choisissez l'ordinateur où le service travaille"},
  };
  for (const auto& [name, caption, hint] : buttons) {
    auto* button = Find<QPushButton>(name);
    EXPECT_EQ(button->text(), QString::fromUtf8(caption)) << name;
    EXPECT_EQ(button->toolTip(), QString::fromUtf8(hint)) << name;
  }
  for (const char* value :
       {"LabNextCheckTimeVal", "LabLastReportTimeVal", "LabLastEvtTimeVal", "LabLastEvtTextVal",
        "LabLastErrTimeVal", "LabLastErrTextVal", "LabVersionVal", "LabSartedVal", "LabConnsVal",
        "LabConErrorsVal", "LabReqVal", "LabReqBytesVal", "LabAnsVal", "LabAnsBytesVal",
        "LabWriteErrVal"}) {
    EXPECT_EQ(Text(value), "") << value;
  }
  auto* pages = Find<QTabWidget>("PgcMain");
  ASSERT_EQ(pages->count(), 2);
  EXPECT_EQ(pages->widget(0)->objectName(), "TsActivity");
  EXPECT_EQ(pages->widget(1)->objectName(), "TsStatistics");
  EXPECT_EQ(pages->tabText(0), "Service activity");
  EXPECT_EQ(pages->tabText(1), "Statistique");
  EXPECT_EQ(pages->currentIndex(), 0);
}

TEST_F(WindowTest, HeaderHidesThePcControls) {
  Open();
  window->show();
  EXPECT_TRUE(Find("PnHeader")->isVisible());
  EXPECT_TRUE(Find("ImgClient")->isVisible());
  for (const char* hidden : {"LabPc", "StPcDisplayName", "BtnPC"}) {
    EXPECT_FALSE(Find(hidden)->isVisible()) << hidden;
  }
  EXPECT_TRUE(Find("PnButtons")->isVisible());
}

TEST_F(WindowTest, TimerLightsAndStatusBar) {
  Open();
  auto* timer = Find<QTimer>("TmrMain");
  EXPECT_EQ(timer->interval(), 500);
  EXPECT_TRUE(timer->isActive());
  auto* lights = Find<TImageList>("ImlLed");
  ASSERT_EQ(lights->Count(), 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(lights->Image(i).size(), QSize(13, 13));
  auto* bar = Find<TStatusBar>("SbMain");
  EXPECT_EQ(bar->PanelText(0), "Service");
  EXPECT_EQ(bar->PanelText(2), "Busy");
  window->show();

  QColor off = Light(kPanelRunning);
  EXPECT_EQ(Light(kPanelBusy), off);
  EXPECT_LT(off.green() - off.red(), 20) << "grey";
}

TEST_F(WindowTest, OneTickAgainstARunningService) {
  Open();
  window->show();
  scm.SetStates({FakeScm::State(kServiceRunning)});
  TAlrSrvStatusBlock status;
  status.VerMajor = 1;
  status.VerMinor = 2;
  status.VerRelease = 3;
  status.Busy = 1;
  status.LastEventTime.wYear = 2026;
  status.LastEventTime.wMonth = 3;
  status.LastEventTime.wDay = 13;
  SetStatusText(status.LastEventText,
                "V\xE9rification termin\xE9"
                "e");
  TPipeStatistics stats;
  stats.Connections = 1234567;
  pipe.Answer = StatsAnswer(stats, status);
  window->TmrMainTimer();

  EXPECT_EQ(Text("LabVersionVal"), "1.2.3");
  EXPECT_EQ(Text("LabConnsVal"), "   1,234,567");
  EXPECT_EQ(Text("LabLastEvtTextVal"), QString::fromUtf8("Vérification terminée"));
  EXPECT_EQ(Text("LabLastEvtTimeVal"), "13.03.2026 00:00:00");
  EXPECT_EQ(Text("LabNextCheckTimeVal"), QString::fromUtf8("non défini"));
  EXPECT_FALSE(Find("BtnSrvStart")->isEnabled());
  EXPECT_TRUE(Find("BtnSrvStop")->isEnabled());
  EXPECT_TRUE(Find("BtnConfigure")->isEnabled());
  EXPECT_EQ(Find<TStatusBar>("SbMain")->PanelText(kPanelMessage), "");
  for (int panel : {kPanelRunning, kPanelBusy}) {
    QColor on = Light(panel);
    EXPECT_GT(on.green(), on.red() + 60) << "green light in panel " << panel;
  }

  // The service stops: a grey running light, the values stay.
  scm.SetStates({FakeScm::State(kServiceStopped)});
  window->TmrMainTimer();
  EXPECT_EQ(Find<TStatusBar>("SbMain")->PanelText(kPanelMessage), "Service stopped");
  QColor off = Light(kPanelRunning);
  EXPECT_LT(off.green() - off.red(), 20);
  EXPECT_EQ(Text("LabVersionVal"), "1.2.3");
  EXPECT_TRUE(Find("BtnSrvStart")->isEnabled());
}

TEST_F(WindowTest, ClickErrorGoesToTheErrorBox) {
  Open();
  window->TmrMainTimer();
  scm.WaitOpenError = kErrorAccessDenied;
  Find<QPushButton>("BtnSrvStart")->click();
  EXPECT_EQ(boxes.Errors, std::vector<std::string>{"System Error.  Code: 5.\r\nAccess is denied."});
  EXPECT_FALSE(QApplication::overrideCursor()) << "the hourglass is gone";
}

TEST_F(WindowTest, CloseStopsTheTimerAndTheEndWritesTheSettings) {
  Open();
  window->show();
  window->TmrMainTimer();
  EXPECT_TRUE(window->close());
  EXPECT_FALSE(Find<QTimer>("TmrMain")->isActive());
  EXPECT_EQ(scm.OpenHandles, 0);
  window.reset();
  EXPECT_EQ(testing_support::ReadFile(folder.File("vigilo_cfg.ini")), "[General]\r\nRemotePC=\r\n");
}

}  // namespace

namespace {

// The status texts of an unreachable PC and of a missing service, at the
// window's size as designed.
TEST_F(WindowTest, ACutMessageEndsWithAnEllipsisAndItsTooltipShowsItWhole) {
  Open();
  window->show();
  auto* bar = Find<TStatusBar>("SbMain");
  const QRect panel = bar->PanelRect(kPanelMessage);
  const QString texts[] = {
      QString::fromUtf8("acc\xC3\xA8s au service est absent sur cet PC: The specified service does "
                        "not exist as an installed service"),
      "Service Control Manager erreur sur pcsilent: The network path was not found; " +
          QString(80, 'x'),
  };
  for (const QString& text : texts) {
    SCOPED_TRACE(text.toStdString());
    bar->SetPanelText(kPanelMessage, text);
    const QString shown = bar->ShownText(kPanelMessage);
    ASSERT_TRUE(shown.endsWith(QChar(0x2026))) << shown.toStdString();
    EXPECT_TRUE(text.startsWith(shown.chopped(1))) << shown.toStdString();
    EXPECT_LE(bar->fontMetrics().horizontalAdvance(shown), panel.width());

    QHelpEvent help(QEvent::ToolTip, panel.center(), bar->mapToGlobal(panel.center()));
    QApplication::sendEvent(bar, &help);
    EXPECT_EQ(QToolTip::text(), text);
    QToolTip::hideText();
  }
  // A text that fits is drawn as it is; the lights' panels have no tooltip.
  bar->SetPanelText(kPanelMessage, "Service stopped");
  EXPECT_EQ(bar->ShownText(kPanelMessage), "Service stopped");
  const QPoint light = bar->PanelRect(kPanelRunning).center();
  QHelpEvent help(QEvent::ToolTip, light, bar->mapToGlobal(light));
  QApplication::sendEvent(bar, &help);
  EXPECT_FALSE(help.isAccepted());
}

// Every caption of both pages and of the buttons, at the smallest size the
// window allows.
TEST_F(WindowTest, TheMinimumSizeHoldsEveryCaptionWhole) {
  Open();
  const double scale = window->logicalDpiY() / 120.0;
  EXPECT_GE(window->minimumWidth(), static_cast<int>(558 * scale));
  EXPECT_GE(window->minimumHeight(), static_cast<int>(468 * scale));
  window->show();
  window->resize(window->minimumSize());
  auto* pages = Find<QTabWidget>("PgcMain");
  for (int page = 0; page < pages->count(); ++page) {
    pages->setCurrentIndex(page);
    QApplication::processEvents();
    for (QAbstractButton* button : Find("PnButtons")->findChildren<QAbstractButton*>()) {
      EXPECT_GE(button->width(), button->sizeHint().width()) << button->text().toStdString();
    }
    for (QLabel* label : pages->widget(page)->findChildren<QLabel*>()) {
      if (label->wordWrap() || label->text().isEmpty()) continue;
      EXPECT_GE(label->width(), label->sizeHint().width()) << label->text().toStdString();
    }
  }
}

}  // namespace
