#include "control/alr_checkoptions.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "control/alrsvc_control.h"
#include "control/control_resstr.h"

TCheckOptionsDlg::TCheckOptionsDlg(QWidget* Owner) : QDialog(Owner) {
  setObjectName("CheckOptionsDlg");
  auto* column = new QVBoxLayout(this);
  QLabel* database = NewLabel(this, "LabDatabase");
  database->setWordWrap(true);
  column->addWidget(database);
  auto* group = new QGroupBox(this);
  group->setObjectName("GbDays");
  auto* days = new QVBoxLayout(group);
  const std::pair<const char*, const char*> boxes[] = {
      {"CbMonday", cfgstr::SCbMonday},       {"CbTuesday", cfgstr::SCbTuesday},
      {"CbWednesday", cfgstr::SCbWednesday}, {"CbThursday", cfgstr::SCbThursday},
      {"CbFriday", cfgstr::SCbFriday},       {"CbSaturday", cfgstr::SCbSaturday},
      {"CbSunday", cfgstr::SCbSunday}};
  for (const auto& [name, text] : boxes) {
    auto* box = new QCheckBox(ToQt(text), group);
    box->setObjectName(name);
    days->addWidget(box);
  }
  column->addWidget(group);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  QPushButton* ok = NewButton(this, "BtnOk");
  ok->setDefault(true);
  QPushButton* cancel = NewButton(this, "BtnCancel");
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  column->addLayout(buttons);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  FormCreate();
}

void TCheckOptionsDlg::showEvent(QShowEvent* event) {
  // The database line is set after creation and may wrap: the size is fixed
  // once it is in, wide enough for a usual connection string on one line.
  FixDialogSize(*this, QSize(420, 0));
  CentreOnScreen(*this);
  QDialog::showEvent(event);
}

void TCheckOptionsDlg::FormCreate() {
  const char* names[] = {"CbMonday", "CbTuesday",  "CbWednesday", "CbThursday",
                         "CbFriday", "CbSaturday", "CbSunday"};
  for (int d = 1; d <= 7; ++d) DayBoxes[d] = findChild<QCheckBox*>(names[d - 1]);
  setWindowTitle(ToQt(cfgstr::SCheckOptionsCaption));
  findChild<QLabel*>("LabDatabase")->setText(ToQt(cfgstr::SLabDatabase));
  findChild<QGroupBox*>("GbDays")->setTitle(ToQt(cfgstr::SGbDays));
  findChild<QPushButton*>("BtnOk")->setText(ToQt(cfgstr::SBtnOk));
  findChild<QPushButton*>("BtnCancel")->setText(ToQt(cfgstr::SBtnCancel));
}

void TCheckOptionsDlg::SetChainName(const std::string& Name) {
  setWindowTitle(ToQt(std::string(cfgstr::SCheckOptionsCaption) + " - " + Name));
}

void TCheckOptionsDlg::SetDatabaseName(const std::string& Name) {
  findChild<QLabel*>("LabDatabase")->setText(ToQt(std::string(cfgstr::SLabDatabase) + ": " + Name));
}

void TCheckOptionsDlg::SetExcludedDays(const TDaysNoCheck& Days) {
  for (int d = 1; d <= 7; ++d) DayBoxes[d]->setChecked(Days[d]);
}

void TCheckOptionsDlg::GetExcludedDays(TDaysNoCheck& Days) const {
  Days[0] = false;
  for (int d = 1; d <= 7; ++d) Days[d] = DayBoxes[d]->isChecked();
}
