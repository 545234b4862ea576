// The parameters dialog on Qt Widgets: the check times, the detailed log,
// the checked chains with their excluded days, and the e-mail notification
// with a test e-mail. Every control carries its own name as objectName; the
// dialog decides nothing, its TAlrSvcConfigLogic does.
#pragma once

#include <QDialog>
#include <memory>
#include <string>
#include <vector>

#include "common/verinfo.h"
#include "control/alrsvc_configlogic.h"
#include "control/alrsvc_control.h"
#include "control/control_platform.h"

class QGridLayout;
class QTabWidget;

class TAlrSvcConfigDlg : public QDialog, private TAlrSvcConfigView {
  Q_OBJECT
 public:
  // Loads `ConfigFile` and shows it; `PcName` is the PC that runs the
  // service (empty: this PC). `Boxes` null: boxes of its own.
  TAlrSvcConfigDlg(QWidget* Owner, const std::string& PcName, const std::string& ConfigFile,
                   TMessageBoxes* Boxes = nullptr, TMailSender Mailer = SystemMailSender());
  ~TAlrSvcConfigDlg() override;

  TAlrSvcConfigLogic& Logic() { return *Control; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  // Opens centred on the screen.
  void showEvent(QShowEvent* event) override;

 private:
  // TAlrSvcConfigView
  void SetCaption(const std::string& control, const std::string& text) override;
  void SetHint(const std::string& control, const std::string& text) override;
  std::string GetText(const std::string& control) const override;
  void SetText(const std::string& control, const std::string& text) override;
  std::vector<std::string> GetLines(const std::string& control) const override;
  void SetLines(const std::string& control, const std::vector<std::string>& lines) override;
  bool GetChecked(const std::string& control) const override;
  void SetChecked(const std::string& control, bool checked) override;
  void SetVisible(const std::string& control, bool visible) override;
  void SetEnabled(const std::string& control, bool enabled) override;
  void SetPasswordMasked(bool masked) override;
  void ClearChainItems() override;
  void AddChainItem(const std::string& text, int32_t chainIndex, bool checked) override;
  int ChainItemCount() const override;
  int32_t ChainItemIndex(int item) const override;
  bool ChainItemChecked(int item) const override;
  int SelectedChainItem() const override;
  bool EditExcludedDays(const std::string& chainName, const std::string& database,
                        TDaysNoCheck& days) override;
  void Beep() override;
  void SetWaitCursor(bool on) override;
  void CloseWithOk() override;

  // Fixes the size (the border cannot be dragged) to what the dialog needs
  // with the mail server's rows shown, its largest state.
  void FixSizeForEveryState();
  void BuildControls();
  void BuildGeneralPage();
  QWidget* BuildAlarmsPage();
  // Rows 0 to 3 of the group box: the notification itself.
  void AddNotificationRows(QWidget* mail, QGridLayout& grid);
  // Rows 4 to 7: the mail server of the test e-mail.
  void AddMailServerRows(QWidget* mail, QGridLayout& grid);
  void ConnectHandlers();
  QWidget* FindControl(const std::string& name) const { return ::FindControl(this, name); }

  std::unique_ptr<TMessageBoxes> OwnBoxes;
  TVersionInfo VersionInfo;
  QTabWidget* PgcParams = nullptr;
  std::unique_ptr<TAlrSvcConfigLogic> Control;
};
