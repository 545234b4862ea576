// The PC-switch dialog: the name of the PC whose service the window
// controls, typed (or picked in the computer browser); empty for this PC.
#pragma once

#include <QDialog>
#include <string>

class TSelectPcDlg : public QDialog {
  Q_OBJECT
 public:
  explicit TSelectPcDlg(QWidget* Owner);

  // The text of EdPc as it stands, blanks included.
  std::string GetPcName() const;
  void SetPcName(const std::string& Name);

  // The browse button: a chosen computer replaces the name; otherwise the
  // edit keeps what was typed.
  void BtnPcClick();

 private:
  void LoadCaptions();
};
