// The control program's main window on Qt Widgets. Every control carries its
// own name as objectName. The window decides nothing: it shows what its
// TSvcControlLogic tells it and forwards clicks, ticks and paints to it.
#pragma once

#include <QObject>
#include <QPixmap>
#include <QSize>
#include <QString>
#include <QWidget>
#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "control/alrsvc_logic.h"
#include "control/control_platform.h"

class QDialog;
class QLabel;
class QPainter;
class QPushButton;
class QTabWidget;
class QTimer;

// The one conversion of the program's Windows-1252 text to the widgets'
// Unicode, and back for what the user typed (a character that Windows-1252
// lacks becomes "?").
QString ToQt(const std::string& cp1252);
std::string FromQt(const QString& text);
// ToQt for texts whose lines are broken by CR LF or by a lone CR, as the
// program's boxes and prompts break them: each break becomes Qt's line feed.
QString ToQtLines(const std::string& cp1252);

// A control named `name`; labels show plain text, never markup.
QLabel* NewLabel(QWidget* parent, const char* name);
// The control of `root` named `name`, `root` itself included; null when none is.
QWidget* FindControl(const QWidget* root, const std::string& name);
// The caption of a control of `root`: its title for `root` itself, the text of
// a label or button, the title of a group box, the tab of a page of `pages`.
void SetControlCaption(QWidget* root, QTabWidget* pages, const std::string& control,
                       const std::string& text);
QPushButton* NewButton(QWidget* parent, const char* name);
// What the program sets on its application once it is created.
void SetUpApplication();
// Moves a window that is about to be shown to the centre of its screen's
// available area (a dialog would otherwise open over its owner).
void CentreOnScreen(QWidget& window);
// Fixes the size of a dialog, whose border the user cannot drag, to what its
// layout asks for at its font now, and at least `least`: the layout's
// preferred width, and the height it needs at that width (a word-wrapped
// label may take more lines). Call it once every text is in.
void FixDialogSize(QDialog& dialog, QSize least = {});
// The application's hourglass on and off (nested calls pair up).
void ShowWaitCursor(bool on);

// ImlLed: the 13 x 13 lights; 0 grey (off), 1 green (on), 2 red.
class TImageList : public QObject {
  Q_OBJECT
 public:
  explicit TImageList(QObject* parent);
  int Count() const { return static_cast<int>(Images.size()); }
  const QPixmap& Image(int index) const { return Images.at(index); }
  void Draw(QPainter& painter, int x, int y, int index) const;

 private:
  std::vector<QPixmap> Images;
};

// SbMain: five panels of fixed widths (the last takes the rest); the panels
// without text are drawn by OnDrawPanel. A message too long for its panel is
// cut with "…"; the panel's tooltip shows it whole.
class TStatusBar : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kPanelCount = 5;
  explicit TStatusBar(QWidget* parent);
  void SetPanelText(int panel, const QString& text);
  QString PanelText(int panel) const { return Texts.at(panel); }
  // The text as the panel draws it.
  QString ShownText(int panel) const;
  // The tooltip of the panel: the whole message for the message panel, else none.
  QString PanelToolTip(int panel) const;
  QRect PanelRect(int panel) const;
  int PanelWidth(int panel) const;
  std::function<void(QPainter&, int panel, const QRect&)> OnDrawPanel;

 protected:
  bool event(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  QRect MessageTextRect() const;
  std::array<QString, kPanelCount> Texts;
};

// Message boxes owned by a window, with the application title as caption.
class TQtMessageBoxes final : public TMessageBoxes {
 public:
  explicit TQtMessageBoxes(QWidget* owner) : Owner(owner) {}
  void ShowInformation(const std::string& text) override;
  void ShowError(const std::string& text) override;
  bool AskYesNo(const std::string& text) override;

 private:
  QWidget* Owner;
};

class TSvcControlWnd : public QWidget, private TSvcControlView {
  Q_OBJECT
 public:
  // Builds the window and runs the start-up (FormCreate) with the program's
  // parameters; the timer runs from here on. `ConfigDir` holds the program's
  // own files (control_files). `Boxes` null: boxes of its own.
  TSvcControlWnd(TControlSystem& System, const std::string& ConfigDir,
                 const std::vector<std::string>& Params, TMessageBoxes* Boxes = nullptr,
                 TMailSender Mailer = SystemMailSender());
  ~TSvcControlWnd() override;

  TSvcControlLogic& Logic() { return *Control; }
  // One timer tick, as TmrMain's.
  void TmrMainTimer();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  // TSvcControlView
  void SetCaption(const std::string& control, const std::string& text) override;
  void SetHint(const std::string& control, const std::string& text) override;
  void SetEnabled(const std::string& control, bool enabled) override;
  void SetPanelText(int panel, const std::string& text) override;
  void InvalidateStatusBar() override;
  void RepaintStatusBar() override;
  void SetWaitCursor(bool on) override;
  void StopTimer() override;
  void StartTimer() override;

  // The design size `designed` (pixels at 120 dots per inch) on this screen.
  int Px(int designed) const;
  void BuildControls();
  QWidget* BuildHeader();
  // Each page adds itself to PgcMain.
  QWidget* BuildActivityPage();
  void BuildStatisticsPage();
  QWidget* BuildButtonPanel();
  void ConnectHandlers();
  // Once the captions are in: the minimum size that shows each whole.
  void FitMinimumSize();
  void SbMainDrawPanel(QPainter& painter, int panel, const QRect& rect);

  std::unique_ptr<TQtMessageBoxes> OwnBoxes;
  TMessageBoxes* Boxes = nullptr;
  TMailSender Mailer;
  QTabWidget* PgcMain = nullptr;
  TStatusBar* SbMain = nullptr;
  QTimer* TmrMain = nullptr;
  TImageList* ImlLed = nullptr;
  std::unique_ptr<TSvcControlLogic> Control;
};
