#include "control/alrsvc_configdlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "control/alr_checkoptions.h"
#include "control/alrsvc_control.h"
#include "control/control_resstr.h"

namespace {

QCheckBox* NewCheckBox(QWidget* parent, const char* name, const char* text) {
  auto* box = new QCheckBox(ToQt(text), parent);
  box->setObjectName(name);
  return box;
}

QLineEdit* NewEdit(QWidget* parent, const char* name, const char* text = "") {
  auto* edit = new QLineEdit(ToQt(text), parent);
  edit->setObjectName(name);
  return edit;
}

QLabel* NewLabel(QWidget* parent, const char* name, const char* text) {
  QLabel* label = ::NewLabel(parent, name);
  label->setText(ToQt(text));
  return label;
}

// Shows each character of a masked edit as "*".
class TAsteriskPasswordStyle final : public QProxyStyle {
 public:
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* data) const override {
    if (hint == SH_LineEdit_PasswordCharacter) return '*';
    return QProxyStyle::styleHint(hint, option, widget, data);
  }
};

}  // namespace

TAlrSvcConfigDlg::TAlrSvcConfigDlg(QWidget* Owner, const std::string& PcName,
                                   const std::string& ConfigFile, TMessageBoxes* Boxes,
                                   TMailSender Mailer)
    : QDialog(Owner) {
  setObjectName("AlrSvcConfigDlg");
  if (Boxes == nullptr) {
    OwnBoxes = std::make_unique<TQtMessageBoxes>(this);
    Boxes = OwnBoxes.get();
  }
  BuildControls();
  TAlrSvcConfigView& view = *this;
  Control = std::make_unique<TAlrSvcConfigLogic>(view, *Boxes, std::move(Mailer), PcName,
                                                 ConfigFile, VersionInfo.GetVersionString(1));
  Control->FormCreate();
  FixSizeForEveryState();
}

TAlrSvcConfigDlg::~TAlrSvcConfigDlg() = default;

void TAlrSvcConfigDlg::FixSizeForEveryState() {
  // The mail server's rows come and go with "Default mail system parameters"
  // while the dialog is open: its one size is the one that holds them.
  std::vector<QWidget*> hidden;
  for (const char* name : kMailServerControls) {
    QWidget* control = FindControl(name);
    if (control->isHidden()) hidden.push_back(control);
    control->setVisible(true);
  }
  FixDialogSize(*this);
  for (QWidget* control : hidden) control->setVisible(false);
}

void TAlrSvcConfigDlg::BuildControls() {
  auto* root = new QVBoxLayout(this);
  PgcParams = new QTabWidget(this);
  PgcParams->setObjectName("PgcParams");
  root->addWidget(PgcParams, 1);
  BuildGeneralPage();
  PgcParams->setCurrentWidget(BuildAlarmsPage());
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  QPushButton* ok = NewButton(this, "BtnOK");
  ok->setDefault(true);
  buttons->addWidget(ok);
  buttons->addWidget(NewButton(this, "BtnCancel"));
  root->addLayout(buttons);
  ConnectHandlers();
}

void TAlrSvcConfigDlg::BuildGeneralPage() {
  // The chains, the check times, the log.
  auto* general = new QWidget(PgcParams);
  general->setObjectName("TsGeneral");
  auto* column = new QVBoxLayout(general);
  column->addWidget(::NewLabel(general, "LabDatabases"));
  auto* chainsRow = new QHBoxLayout;
  auto* chains = new QListWidget(general);
  chains->setObjectName("LbcChains");
  chainsRow->addWidget(chains, 1);
  auto* chainButtons = new QVBoxLayout;
  QPushButton* checkOptions = NewButton(general, "BtnCheckOptions");
  checkOptions->setEnabled(false);
  chainButtons->addWidget(checkOptions);
  chainButtons->addStretch(1);
  chainsRow->addLayout(chainButtons);
  column->addLayout(chainsRow, 1);
  auto* timesRow = new QHBoxLayout;
  timesRow->addWidget(NewLabel(general, "LabCheckTime", cfgstr::SLabCheckTime));
  timesRow->addWidget(NewEdit(general, "EdExactTimes"), 1);
  column->addLayout(timesRow);
  column->addWidget(NewCheckBox(general, "CbLogDetailed", cfgstr::SCbLogDetailed));
  PgcParams->addTab(general, QString());
}

QWidget* TAlrSvcConfigDlg::BuildAlarmsPage() {
  // The notification by e-mail.
  auto* alarms = new QWidget(PgcParams);
  alarms->setObjectName("TsAlarms");
  auto* column = new QVBoxLayout(alarms);
  auto* mail = new QGroupBox(alarms);
  mail->setObjectName("GbMail");
  column->addWidget(mail);
  auto* grid = new QGridLayout(mail);
  AddNotificationRows(mail, *grid);
  AddMailServerRows(mail, *grid);
  grid->setColumnStretch(1, 1);
  grid->setRowStretch(2, 1);
  PgcParams->addTab(alarms, QString());
  return alarms;
}

void TAlrSvcConfigDlg::AddNotificationRows(QWidget* mail, QGridLayout& grid) {
  grid.addWidget(NewCheckBox(mail, "CbUseEmail", cfgstr::SCbUseEmail), 0, 0, 1, 4);
  grid.addWidget(::NewLabel(mail, "LabAlarmMailAddr"), 1, 0);
  grid.addWidget(NewEdit(mail, "EdAlarmMailAddr"), 1, 1, 1, 3);
  grid.addWidget(::NewLabel(mail, "LabAlarmMessage"), 2, 0, Qt::AlignTop);
  auto* body = new QPlainTextEdit(mail);
  body->setObjectName("MemAlarmMailBody");
  body->setLineWrapMode(QPlainTextEdit::NoWrap);
  grid.addWidget(body, 2, 1, 1, 3);
  QCheckBox* useDefault = NewCheckBox(mail, "CbAlarmMailDefault", cfgstr::SCbAlarmMailDefault);
  useDefault->setChecked(true);
  grid.addWidget(useDefault, 3, 1, 1, 2);
  QPushButton* test = NewButton(mail, "BtnTest");
  test->setText(ToQt(cfgstr::SBtnTest));
  grid.addWidget(test, 3, 3);
}

void TAlrSvcConfigDlg::AddMailServerRows(QWidget* mail, QGridLayout& grid) {
  // Hidden until "Default mail system parameters" is cleared; they serve
  // only the test e-mail.
  grid.addWidget(NewLabel(mail, "LabSmtpHost", cfgstr::SLabSmtpHost), 4, 0);
  grid.addWidget(NewEdit(mail, "EdSmtpHost"), 4, 1);
  grid.addWidget(NewLabel(mail, "LabSmtpPort", cfgstr::SLabPort), 4, 2);
  grid.addWidget(NewEdit(mail, "EdSmtpPort", cfgstr::SDefaultSmtpPort), 4, 3);
  grid.addWidget(NewLabel(mail, "LabPop3Host", cfgstr::SLabPop3Host), 5, 0);
  grid.addWidget(NewEdit(mail, "EdPop3Host"), 5, 1);
  grid.addWidget(NewLabel(mail, "LabPop3Port", cfgstr::SLabPort), 5, 2);
  grid.addWidget(NewEdit(mail, "EdPop3Port", cfgstr::SDefaultPop3Port), 5, 3);
  grid.addWidget(NewLabel(mail, "LabAlarmMailUser", cfgstr::SLabAlarmMailUser), 6, 0);
  grid.addWidget(NewEdit(mail, "EdAlarmMailUser"), 6, 1);
  grid.addWidget(NewLabel(mail, "LabAlarmMailPassword", cfgstr::SLabAlarmMailPassword), 7, 0);
  QLineEdit* password = NewEdit(mail, "EdAlarmMailPassword");
  // The style's own mask character (a bullet) is not the "*" the users know.
  auto* style = new TAsteriskPasswordStyle;
  style->setParent(password);
  password->setStyle(style);
  password->setEchoMode(QLineEdit::Password);
  grid.addWidget(password, 7, 1);
  QCheckBox* mask = NewCheckBox(mail, "CbMaskPsw", cfgstr::SCbMaskPsw);
  mask->setChecked(true);
  grid.addWidget(mask, 7, 2, 1, 2);
  for (const char* name : kMailServerControls) mail->findChild<QWidget*>(name)->setVisible(false);
  for (const char* port : {"EdSmtpPort", "EdPop3Port"}) {
    auto* edit = mail->findChild<QLineEdit*>(port);
    edit->setMaximumWidth(60);
    edit->installEventFilter(this);
  }
}

void TAlrSvcConfigDlg::ConnectHandlers() {
  // Handlers run inside Qt's event delivery: nothing may escape them.
  auto forward = [this](void (TAlrSvcConfigLogic::*handler)()) {
    return [this, handler] {
      try {
        (Control.get()->*handler)();
      } catch (const std::exception& e) {
        Control->ReportError(e.what());
      }
    };
  };
  const std::pair<const char*, void (TAlrSvcConfigLogic::*)()> clicks[] = {
      {"BtnOK", &TAlrSvcConfigLogic::BtnOKClick},
      {"BtnCheckOptions", &TAlrSvcConfigLogic::BtnCheckOptionsClick},
      {"CbAlarmMailDefault", &TAlrSvcConfigLogic::CbAlarmMailDefaultClick},
      {"CbMaskPsw", &TAlrSvcConfigLogic::CbMaskPswClick},
      {"BtnTest", &TAlrSvcConfigLogic::BtnTestClick}};
  for (const auto& [name, handler] : clicks) {
    connect(findChild<QAbstractButton*>(name), &QAbstractButton::clicked, this, forward(handler));
  }
  connect(findChild<QPushButton*>("BtnCancel"), &QPushButton::clicked, this, &QDialog::reject);
  auto* chains = findChild<QListWidget*>("LbcChains");
  connect(chains, &QListWidget::itemSelectionChanged, this,
          forward(&TAlrSvcConfigLogic::LbcChainsClick));
  connect(chains, &QListWidget::itemChanged, this,
          forward(&TAlrSvcConfigLogic::LbcChainsClickCheck));
}

void TAlrSvcConfigDlg::showEvent(QShowEvent* event) {
  CentreOnScreen(*this);
  QDialog::showEvent(event);
}

bool TAlrSvcConfigDlg::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    const QString text = static_cast<QKeyEvent*>(event)->text();
    // Keys without a character (arrows, Delete) and the dialog's own keys
    // (Tab, Enter, Escape) are not typed characters.
    if (text.size() == 1 && (text[0] == QChar('\b') || text[0].unicode() >= 0x20) &&
        !Control->EdPortKeyPress(text[0].unicode() < 0x80 ? static_cast<char>(text[0].unicode())
                                                          : '?')) {
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void TAlrSvcConfigDlg::SetCaption(const std::string& control, const std::string& text) {
  SetControlCaption(this, PgcParams, control, text);
}

void TAlrSvcConfigDlg::SetHint(const std::string& control, const std::string& text) {
  if (QWidget* widget = FindControl(control)) widget->setToolTip(ToQt(text));
}

std::string TAlrSvcConfigDlg::GetText(const std::string& control) const {
  auto* edit = qobject_cast<QLineEdit*>(FindControl(control));
  return edit ? FromQt(edit->text()) : std::string();
}

void TAlrSvcConfigDlg::SetText(const std::string& control, const std::string& text) {
  if (auto* edit = qobject_cast<QLineEdit*>(FindControl(control))) edit->setText(ToQt(text));
}

std::vector<std::string> TAlrSvcConfigDlg::GetLines(const std::string& control) const {
  std::vector<std::string> lines;
  auto* memo = qobject_cast<QPlainTextEdit*>(FindControl(control));
  if (memo == nullptr) return lines;
  QString text = memo->toPlainText();
  // A memo's last line break ends its last line; it opens no new one.
  if (text.endsWith('\n')) text.chop(1);
  if (text.isEmpty() && memo->toPlainText().isEmpty()) return lines;
  for (const QString& line : text.split('\n')) lines.push_back(FromQt(line));
  return lines;
}

void TAlrSvcConfigDlg::SetLines(const std::string& control, const std::vector<std::string>& lines) {
  auto* memo = qobject_cast<QPlainTextEdit*>(FindControl(control));
  if (memo == nullptr) return;
  QStringList text;
  for (const std::string& line : lines) text << ToQt(line);
  memo->setPlainText(text.join('\n'));
}

bool TAlrSvcConfigDlg::GetChecked(const std::string& control) const {
  auto* box = qobject_cast<QAbstractButton*>(FindControl(control));
  return box && box->isChecked();
}

void TAlrSvcConfigDlg::SetChecked(const std::string& control, bool checked) {
  if (auto* box = qobject_cast<QAbstractButton*>(FindControl(control))) box->setChecked(checked);
}

void TAlrSvcConfigDlg::SetVisible(const std::string& control, bool visible) {
  if (QWidget* widget = FindControl(control)) widget->setVisible(visible);
}

void TAlrSvcConfigDlg::SetEnabled(const std::string& control, bool enabled) {
  if (QWidget* widget = FindControl(control)) widget->setEnabled(enabled);
}

void TAlrSvcConfigDlg::SetPasswordMasked(bool masked) {
  findChild<QLineEdit*>("EdAlarmMailPassword")
      ->setEchoMode(masked ? QLineEdit::Password : QLineEdit::Normal);
}

void TAlrSvcConfigDlg::ClearChainItems() {
  findChild<QListWidget*>("LbcChains")->clear();
}

void TAlrSvcConfigDlg::AddChainItem(const std::string& text, int32_t chainIndex, bool checked) {
  auto* item = new QListWidgetItem(ToQt(text), findChild<QListWidget*>("LbcChains"));
  item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
  item->setData(Qt::UserRole, chainIndex);
  item->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
}

int TAlrSvcConfigDlg::ChainItemCount() const {
  return findChild<QListWidget*>("LbcChains")->count();
}

int32_t TAlrSvcConfigDlg::ChainItemIndex(int item) const {
  return findChild<QListWidget*>("LbcChains")->item(item)->data(Qt::UserRole).toInt();
}

bool TAlrSvcConfigDlg::ChainItemChecked(int item) const {
  return findChild<QListWidget*>("LbcChains")->item(item)->checkState() == Qt::Checked;
}

int TAlrSvcConfigDlg::SelectedChainItem() const {
  const auto* chains = findChild<QListWidget*>("LbcChains");
  const QList<QListWidgetItem*> selected = chains->selectedItems();
  return selected.isEmpty() ? -1 : chains->row(selected.first());
}

bool TAlrSvcConfigDlg::EditExcludedDays(const std::string& chainName, const std::string& database,
                                        TDaysNoCheck& days) {
  TCheckOptionsDlg dialog(this);
  dialog.SetChainName(chainName);
  dialog.SetDatabaseName(database);
  dialog.SetExcludedDays(days);
  if (dialog.exec() != QDialog::Accepted) return false;
  dialog.GetExcludedDays(days);
  return true;
}

void TAlrSvcConfigDlg::Beep() {
  QApplication::beep();
}

void TAlrSvcConfigDlg::SetWaitCursor(bool on) {
  ShowWaitCursor(on);
}

void TAlrSvcConfigDlg::CloseWithOk() {
  accept();
}
