#include "control/alrsvc_control.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QRadialGradient>
#include <QScreen>
#include <QTabWidget>
#include <QTimer>
#include <QToolTip>
#include <QVBoxLayout>
#include <algorithm>

#include "control/alrsvc_configdlg.h"
#include "control/control_resstr.h"
#include "control/selectpc.h"
#include "platform/text.h"

QString ToQt(const std::string& cp1252) {
  return QString::fromStdString(platform::Cp1252ToUtf8(cp1252));
}

QString ToQtLines(const std::string& cp1252) {
  QString text = ToQt(cp1252);
  text.replace("\r\n", "\n");
  text.replace('\r', '\n');
  return text;
}

std::string FromQt(const QString& text) {
  return platform::Utf8ToCp1252(text.toStdString());
}

QLabel* NewLabel(QWidget* parent, const char* name) {
  auto* label = new QLabel(parent);
  label->setObjectName(name);
  label->setTextFormat(Qt::PlainText);  // service texts are never markup
  return label;
}

QPushButton* NewButton(QWidget* parent, const char* name) {
  auto* button = new QPushButton(parent);
  button->setObjectName(name);
  return button;
}

void SetUpApplication() {
  // Desktops match the windows to the program's desktop entry by this name.
  // No display name is set: Qt would append it to every window's title.
  QGuiApplication::setDesktopFileName("vigilo_cfg");
}

void CentreOnScreen(QWidget& window) {
  const QScreen* screen = window.screen();
  if (screen == nullptr) return;
  QRect frame = window.geometry();
  frame.moveCenter(screen->availableGeometry().center());
  window.move(frame.topLeft());
}

void FixDialogSize(QDialog& dialog, QSize least) {
  QLayout* layout = dialog.layout();
  layout->activate();
  const QSize hint = layout->totalSizeHint();
  const int width = std::max(hint.width(), least.width());
  const int height =
      layout->hasHeightForWidth() ? layout->totalHeightForWidth(width) : hint.height();
  dialog.setFixedSize(width, std::max(height, least.height()));
}

// ---- ImlLed ----

TImageList::TImageList(QObject* parent) : QObject(parent) {
  setObjectName("ImlLed");
  const std::pair<QColor, QColor> colours[] = {
      {QColor(0xE8, 0xE8, 0xE8), QColor(0x80, 0x80, 0x80)},  // off
      {QColor(0xB0, 0xFF, 0xB0), QColor(0x00, 0x90, 0x00)},  // on
      {QColor(0xFF, 0xB0, 0xB0), QColor(0xC0, 0x00, 0x00)},  // red
  };
  for (const auto& [light, dark] : colours) {
    QPixmap image(13, 13);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QRadialGradient gradient(QPointF(5, 5), 7);
    gradient.setColorAt(0, light);
    gradient.setColorAt(1, dark);
    p.setBrush(gradient);
    p.setPen(QPen(dark.darker(150), 1));
    p.drawEllipse(QRectF(0.5, 0.5, 12, 12));
    Images.push_back(image);
  }
}

void TImageList::Draw(QPainter& painter, int x, int y, int index) const {
  if (index >= 0 && index < Count()) painter.drawPixmap(x, y, Images[index]);
}

// ---- SbMain ----

namespace {
constexpr int kPanelWidths[TStatusBar::kPanelCount - 1] = {45, 30, 45, 30};
}

TStatusBar::TStatusBar(QWidget* parent) : QWidget(parent) {
  setObjectName("SbMain");
  setFixedHeight(std::max(19, fontMetrics().height() + 6));
}

void TStatusBar::SetPanelText(int panel, const QString& text) {
  if (Texts.at(panel) == text) return;
  Texts.at(panel) = text;
  update();
}

int TStatusBar::PanelWidth(int panel) const {
  if (panel == kPanelCount - 1) return std::max(0, width() - PanelRect(panel).left());
  // A text panel grows to its text where the font is wider than designed.
  const int text = Texts[panel].isEmpty() ? 0 : fontMetrics().horizontalAdvance(Texts[panel]) + 8;
  return std::max(kPanelWidths[panel], text);
}

QRect TStatusBar::PanelRect(int panel) const {
  int x = 0;
  for (int i = 0; i < panel; ++i) x += PanelWidth(i);
  const int w = panel < kPanelCount - 1 ? PanelWidth(panel) : std::max(0, width() - x);
  return QRect(x, 0, w, height());
}

QRect TStatusBar::MessageTextRect() const {
  return PanelRect(kPanelMessage).adjusted(5, 0, -4, 0);
}

QString TStatusBar::ShownText(int panel) const {
  if (panel != kPanelMessage) return Texts.at(panel);
  return fontMetrics().elidedText(Texts[panel], Qt::ElideRight, MessageTextRect().width());
}

QString TStatusBar::PanelToolTip(int panel) const {
  return panel == kPanelMessage ? Texts[panel] : QString();
}

bool TStatusBar::event(QEvent* event) {
  if (event->type() != QEvent::ToolTip) return QWidget::event(event);
  const auto* help = static_cast<QHelpEvent*>(event);
  const QRect panel = PanelRect(kPanelMessage);
  if (panel.contains(help->pos()) && !PanelToolTip(kPanelMessage).isEmpty()) {
    QToolTip::showText(help->globalPos(), PanelToolTip(kPanelMessage), this, panel);
  } else {
    QToolTip::hideText();
    event->ignore();
  }
  return true;
}

void TStatusBar::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), palette().window());
  for (int panel = 0; panel < kPanelCount; ++panel) {
    const QRect r = PanelRect(panel);
    if (panel == kPanelRunning || panel == kPanelBusy) {
      if (OnDrawPanel) OnDrawPanel(p, panel, r);
    } else if (panel == kPanelMessage) {
      p.setPen(palette().mid().color());
      p.drawRect(r.adjusted(1, 1, -2, -2));
      p.setPen(palette().windowText().color());
      p.drawText(MessageTextRect(), Qt::AlignLeft | Qt::AlignVCenter, ShownText(panel));
    } else {
      p.setPen(palette().windowText().color());
      p.drawText(r.adjusted(0, 0, -3, 0), Qt::AlignRight | Qt::AlignVCenter, Texts[panel]);
    }
  }
}

// ---- message boxes ----

void TQtMessageBoxes::ShowInformation(const std::string& text) {
  QMessageBox::information(Owner, ToQt(cfgstr::SAppTitle), ToQtLines(text));
}

void TQtMessageBoxes::ShowError(const std::string& text) {
  QMessageBox::critical(Owner, ToQt(cfgstr::SAppTitle), ToQtLines(text));
}

bool TQtMessageBoxes::AskYesNo(const std::string& text) {
  return QMessageBox::question(Owner, ToQt(cfgstr::SAppTitle), ToQtLines(text),
                               QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

// ---- the window ----

namespace {

// The header's picture: a screen with a bar chart and an alarm light.
QPixmap HeaderIcon() {
  QPixmap image(32, 32);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(0x30, 0x30, 0x40), 1.5));
  p.setBrush(QColor(0x2A, 0x5D, 0xA8));
  p.drawRoundedRect(QRectF(1.5, 3.5, 29, 21), 2, 2);
  p.fillRect(QRectF(12, 25, 8, 3), QColor(0x50, 0x50, 0x60));
  p.fillRect(QRectF(7, 28, 18, 2.5), QColor(0x50, 0x50, 0x60));
  const int bars[] = {8, 13, 5};
  for (int i = 0; i < 3; ++i) {
    p.fillRect(QRectF(6 + i * 6, 21 - bars[i], 4, bars[i]), QColor(0xE8, 0xF0, 0xFF));
  }
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0xE0, 0x20, 0x20));
  p.drawEllipse(QRectF(23, 6, 6, 6));
  return image;
}

constexpr const char* kButtonNames[] = {"BtnSrvStart", "BtnSrvStop", "BtnConfigure", "BtnClose"};

}  // namespace

TSvcControlWnd::TSvcControlWnd(TControlSystem& System, const std::string& ConfigDir,
                               const std::vector<std::string>& Params, TMessageBoxes* Boxes,
                               TMailSender Mailer)
    : QWidget(nullptr), Boxes(Boxes), Mailer(std::move(Mailer)) {
  setObjectName("SvcControlWnd");
  if (this->Boxes == nullptr) {
    OwnBoxes = std::make_unique<TQtMessageBoxes>(this);
    this->Boxes = OwnBoxes.get();
  }
  BuildControls();
  TSvcControlView& view = *this;
  Control = std::make_unique<TSvcControlLogic>(System, view, *this->Boxes, ConfigDir);
  // Dialogs are made for one use, owned by the window, and released after they close.
  Control->ShowConfigDialog = [this](const std::string& PcName, const std::string& ConfigFile) {
    TAlrSvcConfigDlg dialog(this, PcName, ConfigFile, this->Boxes, this->Mailer);
    return dialog.exec() == QDialog::Accepted;
  };
  Control->ShowSelectPcDialog = [this](std::string& PcName) {
    TSelectPcDlg dialog(this);
    dialog.SetPcName(PcName);
    if (dialog.exec() != QDialog::Accepted) return false;
    PcName = dialog.GetPcName();
    return true;
  };
  Control->FormCreate(Params);
  FitMinimumSize();
  TmrMain->start();
}

TSvcControlWnd::~TSvcControlWnd() {
  TmrMain->stop();
  Control->FormDestroy();
}

int TSvcControlWnd::Px(int designed) const {
  // The design sizes are pixels at 120 dots per inch.
  return static_cast<int>(designed * (logicalDpiY() / 120.0) + 0.5);
}

void TSvcControlWnd::BuildControls() {
  resize(Px(677), Px(569));
  setMinimumSize(Px(558), Px(468));
  auto* root = new QVBoxLayout(this);
  root->setContentsMargins(0, 0, 0, 0);
  root->setSpacing(0);
  root->addWidget(BuildHeader());
  PgcMain = new QTabWidget(this);
  PgcMain->setObjectName("PgcMain");
  root->addWidget(PgcMain, 1);
  QWidget* activity = BuildActivityPage();
  BuildStatisticsPage();
  PgcMain->setCurrentWidget(activity);
  root->addWidget(BuildButtonPanel());
  SbMain = new TStatusBar(this);
  SbMain->OnDrawPanel = [this](QPainter& p, int panel, const QRect& r) {
    SbMainDrawPanel(p, panel, r);
  };
  root->addWidget(SbMain);
  TmrMain = new QTimer(this);
  TmrMain->setObjectName("TmrMain");
  TmrMain->setInterval(500);
  ImlLed = new TImageList(this);
  ConnectHandlers();
}

QWidget* TSvcControlWnd::BuildHeader() {
  auto* header = new QFrame(this);
  header->setObjectName("PnHeader");
  header->setFixedHeight(Px(59));
  auto* headerRow = new QHBoxLayout(header);
  headerRow->setAlignment(Qt::AlignVCenter);
  auto* icon = NewLabel(header, "ImgClient");
  icon->setPixmap(HeaderIcon());
  icon->setFixedSize(32, 32);
  headerRow->addWidget(icon);
  QLabel* labPc = NewLabel(header, "LabPc");
  headerRow->addWidget(labPc);
  auto* pcName = NewLabel(header, "StPcDisplayName");
  QFont bold = pcName->font();
  bold.setBold(true);
  pcName->setFont(bold);
  pcName->setAlignment(Qt::AlignCenter);
  pcName->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  headerRow->addWidget(pcName, 1);
  auto* btnPc = NewButton(header, "BtnPC");
  btnPc->setFixedSize(Px(188), Px(31));
  headerRow->addWidget(btnPc);
  // The PC is chosen in vigilo_cfg.ini; these stay hidden.
  for (QWidget* hidden : std::initializer_list<QWidget*>{labPc, pcName, btnPc}) {
    hidden->setVisible(false);
  }
  headerRow->addStretch(1);
  return header;
}

QWidget* TSvcControlWnd::BuildActivityPage() {
  auto* activity = new QWidget(PgcMain);
  activity->setObjectName("TsActivity");
  auto* column = new QVBoxLayout(activity);
  // Each caption at the left edge, its values indented below it.
  auto addCaption = [&](const char* name) { column->addWidget(NewLabel(activity, name)); };
  auto addValue = [&](const char* name, int stretch = 0) {
    QLabel* value = NewLabel(activity, name);
    auto* row = new QHBoxLayout;
    row->addSpacing(Px(24));
    row->addWidget(value, 1);
    column->addLayout(row, stretch);
    return value;
  };
  addCaption("LabNextCheckTime");
  addValue("LabNextCheckTimeVal");
  column->addSpacing(Px(8));
  addCaption("LabLastReportTime");
  addValue("LabLastReportTimeVal");
  column->addSpacing(Px(8));
  addCaption("LabLastEvtTime");
  addValue("LabLastEvtTimeVal");
  QLabel* eventText = addValue("LabLastEvtTextVal");
  eventText->setWordWrap(true);
  eventText->setFixedHeight(Px(42));
  eventText->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  column->addSpacing(Px(8));
  addCaption("LabLastErrTime");
  addValue("LabLastErrTimeVal");
  QLabel* errorText = addValue("LabLastErrTextVal", 1);
  errorText->setWordWrap(true);
  errorText->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  errorText->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
  PgcMain->addTab(activity, QString());
  return activity;
}

void TSvcControlWnd::BuildStatisticsPage() {
  auto* statistics = new QWidget(PgcMain);
  statistics->setObjectName("TsStatistics");
  auto* grid = new QGridLayout(statistics);
  const std::pair<const char*, const char*> rows[] = {
      {"LabVersion", "LabVersionVal"},  {"LabStartedAt", "LabSartedVal"},
      {"LabConns", "LabConnsVal"},      {"LabConErrors", "LabConErrorsVal"},
      {"LabReq", "LabReqVal"},          {"LabReqBytes", "LabReqBytesVal"},
      {"LabAns", "LabAnsVal"},          {"LabAnsBytes", "LabAnsBytesVal"},
      {"LabWriteErr", "LabWriteErrVal"}};
  int row = 0;
  for (const auto& [caption, value] : rows) {
    grid->addWidget(NewLabel(statistics, caption), row, 0);
    QLabel* val = NewLabel(statistics, value);
    val->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    val->setFixedWidth(Px(180));
    grid->addWidget(val, row, 1);
    ++row;
  }
  grid->setColumnStretch(2, 1);
  grid->setRowStretch(row, 1);
  PgcMain->addTab(statistics, QString());
}

QWidget* TSvcControlWnd::BuildButtonPanel() {
  auto* buttons = new QFrame(this);
  buttons->setObjectName("PnButtons");
  buttons->setFixedHeight(Px(39));
  auto* buttonRow = new QHBoxLayout(buttons);
  buttonRow->setContentsMargins(Px(4), 0, Px(4), 0);
  for (const char* name : kButtonNames) {
    QPushButton* button = NewButton(buttons, name);
    button->setMinimumHeight(Px(31));
    button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    button->setMaximumWidth(Px(165));
    buttonRow->addWidget(button);
  }
  return buttons;
}

void TSvcControlWnd::ConnectHandlers() {
  connect(TmrMain, &QTimer::timeout, this, &TSvcControlWnd::TmrMainTimer);
  auto onClick = [this](const char* name, void (TSvcControlLogic::*handler)()) {
    connect(findChild<QPushButton*>(name), &QPushButton::clicked, this, [this, handler] {
      Control->RunHandler([this, handler] { (Control.get()->*handler)(); });
    });
  };
  onClick("BtnSrvStart", &TSvcControlLogic::BtnSrvStartClick);
  onClick("BtnSrvStop", &TSvcControlLogic::BtnSrvStopClick);
  onClick("BtnPC", &TSvcControlLogic::BtnPcClick);
  connect(findChild<QPushButton*>("BtnConfigure"), &QPushButton::clicked, this, [this] {
    Control->RunHandler([this] {
      if (Control->OnEditConfiguration) Control->OnEditConfiguration();
    });
  });
  connect(findChild<QPushButton*>("BtnClose"), &QPushButton::clicked, this, &QWidget::close);
}

void TSvcControlWnd::FitMinimumSize() {
  // The design's widths are for its font: a caption that needs more room
  // widens its button, and the window's minimum grows to what the layout
  // needs, so that no caption is ever clipped.
  for (const char* name : kButtonNames) {
    auto* button = findChild<QPushButton*>(name);
    const int whole = button->sizeHint().width();
    button->setMinimumWidth(whole);
    button->setMaximumWidth(std::max(Px(165), whole));
  }
  layout()->activate();
  setMinimumSize(minimumSize().expandedTo(layout()->totalMinimumSize()));
  resize(size().expandedTo(minimumSize()));
}

void TSvcControlWnd::TmrMainTimer() {
  Control->RunHandler([this] { Control->TmrMainTimer(); });
}

void TSvcControlWnd::closeEvent(QCloseEvent* event) {
  if (Control->FormCloseQuery()) {
    event->accept();
  } else {
    event->ignore();
  }
}

QWidget* FindControl(const QWidget* root, const std::string& name) {
  const QString objectName = QString::fromStdString(name);
  if (objectName == root->objectName()) return const_cast<QWidget*>(root);
  return root->findChild<QWidget*>(objectName);
}

void SetControlCaption(QWidget* root, QTabWidget* pages, const std::string& control,
                       const std::string& text) {
  QWidget* widget = FindControl(root, control);
  if (widget == nullptr) return;
  const QString caption = ToQt(text);
  if (widget == root) {
    root->setWindowTitle(caption);
  } else if (auto* label = qobject_cast<QLabel*>(widget)) {
    label->setText(caption);
  } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
    button->setText(caption);
  } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
    group->setTitle(caption);
  } else if (int page = pages->indexOf(widget); page >= 0) {
    pages->setTabText(page, caption);
  }
}

void TSvcControlWnd::SetCaption(const std::string& control, const std::string& text) {
  SetControlCaption(this, PgcMain, control, text);
}

void TSvcControlWnd::SetHint(const std::string& control, const std::string& text) {
  if (QWidget* widget = FindControl(this, control)) widget->setToolTip(ToQt(text));
}

void TSvcControlWnd::SetEnabled(const std::string& control, bool enabled) {
  if (QWidget* widget = FindControl(this, control)) widget->setEnabled(enabled);
}

void TSvcControlWnd::SetPanelText(int panel, const std::string& text) {
  SbMain->SetPanelText(panel, ToQt(text));
}

void TSvcControlWnd::InvalidateStatusBar() {
  SbMain->update();
}

void TSvcControlWnd::RepaintStatusBar() {
  SbMain->repaint();
}

void ShowWaitCursor(bool on) {
  if (on) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
  } else {
    QApplication::restoreOverrideCursor();
  }
}

void TSvcControlWnd::SetWaitCursor(bool on) {
  ShowWaitCursor(on);
}

void TSvcControlWnd::StopTimer() {
  TmrMain->stop();
}

void TSvcControlWnd::StartTimer() {
  TmrMain->start();
}

void TSvcControlWnd::SbMainDrawPanel(QPainter& painter, int panel, const QRect& rect) {
  const int image = Control->PanelImageIndex(panel);
  if (image < 0) return;
  ImlLed->Draw(painter, rect.left(), rect.top() + (rect.height() - 13) / 2, image);
}
