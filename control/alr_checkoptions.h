// The excluded-days dialog: the week days on which one chain's missing
// counts raise no alarm. It holds no settings; the parameters dialog fills
// it before the modal run and reads it after OK.
#pragma once

#include <QDialog>
#include <array>
#include <string>

#include "common/alr_config.h"

class QCheckBox;

class TCheckOptionsDlg : public QDialog {
  Q_OBJECT
 public:
  explicit TCheckOptionsDlg(QWidget* Owner);

  // The caption "Modes de la vérification - <name>".
  void SetChainName(const std::string& Name);
  // The label "Base de données: <name>".
  void SetDatabaseName(const std::string& Name);
  // Day d (1 Monday .. 7 Sunday) is ticked exactly when Days[d] is set.
  void SetExcludedDays(const TDaysNoCheck& Days);
  // Days[d] is set exactly when day d is ticked; Days[0] is cleared.
  void GetExcludedDays(TDaysNoCheck& Days) const;

  // CbMonday .. CbSunday at the positions 1 to 7; 0 is unused.
  std::array<QCheckBox*, 8> DayBoxes{};

 protected:
  // Opens centred on the screen.
  void showEvent(QShowEvent* event) override;

 private:
  void FormCreate();
};
