#include "control/selectpc.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QToolButton>

#include "control/alrsvc_control.h"
#include "control/control_resstr.h"
#include "control/scwserv.h"

TSelectPcDlg::TSelectPcDlg(QWidget* Owner) : QDialog(Owner) {
  setObjectName("SelectPcDlg");
  auto* grid = new QGridLayout(this);
  QLabel* prompt = NewLabel(this, "LabPrompt");
  prompt->setWordWrap(true);
  prompt->setMinimumWidth(257);
  grid->addWidget(prompt, 0, 0, 1, 2);
  auto* edit = new QLineEdit(this);
  edit->setObjectName("EdPc");
  edit->setMinimumWidth(217);
  grid->addWidget(edit, 1, 0);
  auto* browse = new QToolButton(this);
  browse->setObjectName("BtnPc");
  browse->setIcon(style()->standardIcon(QStyle::SP_DriveNetIcon));
  browse->setFixedSize(26, 24);
  grid->addWidget(browse, 1, 1);
  auto* buttons = new QHBoxLayout;
  QPushButton* ok = NewButton(this, "BtnOK");
  ok->setDefault(true);
  QPushButton* cancel = NewButton(this, "BtnCancel");
  buttons->addWidget(ok);
  buttons->addStretch(1);
  buttons->addWidget(cancel);
  grid->addLayout(buttons, 2, 0, 1, 2);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(browse, &QToolButton::clicked, this, &TSelectPcDlg::BtnPcClick);
  LoadCaptions();
  // Designed as 271 x 131 at 96 dots per inch; a larger font asks for more.
  const double scale = logicalDpiY() / 96.0;
  FixDialogSize(*this, QSize(qRound(271 * scale), qRound(131 * scale)));
}

void TSelectPcDlg::LoadCaptions() {
  setWindowTitle(ToQt(cfgstr::SSelectPcCaption));
  findChild<QLabel*>("LabPrompt")->setText(ToQtLines(cfgstr::SLabPrompt));
  findChild<QToolButton*>("BtnPc")->setToolTip(ToQt(cfgstr::SBtnPcHint));
  findChild<QPushButton*>("BtnOK")->setText(ToQt(cfgstr::SBtnOk));
  findChild<QPushButton*>("BtnCancel")->setText(ToQt(cfgstr::SBtnCancel));
}

std::string TSelectPcDlg::GetPcName() const {
  return FromQt(findChild<QLineEdit*>("EdPc")->text());
}

void TSelectPcDlg::SetPcName(const std::string& Name) {
  findChild<QLineEdit*>("EdPc")->setText(ToQt(Name));
}

void TSelectPcDlg::BtnPcClick() {
  std::string name = GetPcName();
  if (BrowseForComputer(this, cfgstr::SBtnPcHint, name)) SetPcName(name);
}
