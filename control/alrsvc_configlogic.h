// The state and logic of the parameters dialog (alrsvc_configdlg): the
// service's settings file being edited, the copy between the settings and
// the controls, OK, the excluded days of a chain, the mail server fields and
// the test e-mail. The Qt dialog only shows what this class tells its view
// and forwards clicks and keys to it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/alr_config.h"
#include "control/control_platform.h"
#include "service/mail_ssl_interface.h"

// The settings file the dialog edits. It is the service's own file, fetched
// from the PC that runs the service: its chains are taken as the file holds
// them, never merged with the data-acquisition settings of this PC, which may
// know other chains or none. Where this PC knows a chain's directory, the
// chain gets its folder name and connection string for display; otherwise
// its folder name is its own name.
//
// Save writes only the keys whose values were changed since the load; every
// other byte of the file stays as it was.
class TAlrSvcConfigFile {
 public:
  explicit TAlrSvcConfigFile(std::string FileName);

  // Never throws: a read error is logged as TAlrConfig logs it, and the
  // settings read before it stay (a missing file gives the initial values).
  void Load();
  // Throws Exception with the reason when the file cannot be written; the
  // file then stays as it was.
  void Save();

  const std::string& FileName() const { return fileName_; }
  TAlrConfig Config;

 private:
  // The edited settings as they are in the file.
  struct TShown {
    std::string ExactTime;
    bool LogDetailed = false;
    bool UseEmail = false;
    std::string AlarmMailAddr;
    std::string AlarmMailBody;
    std::vector<TChainParams> Chains;
  };
  TShown Shown() const;

  std::string fileName_;
  TShown loaded_;
};

// The thirteen mail server controls, shown only without the default settings.
inline constexpr const char* kMailServerControls[] = {
    "LabSmtpHost",      "EdSmtpHost",      "LabSmtpPort",          "EdSmtpPort",
    "LabPop3Host",      "EdPop3Host",      "LabPop3Port",          "EdPop3Port",
    "LabAlarmMailUser", "EdAlarmMailUser", "LabAlarmMailPassword", "EdAlarmMailPassword",
    "CbMaskPsw"};

// The dialog as its logic drives it. Controls are named by their object
// names; the dialog itself is "AlrSvcConfigDlg". Texts are Windows-1252.
class TAlrSvcConfigView {
 public:
  virtual ~TAlrSvcConfigView() = default;
  // Caption of the dialog, a label, button, check box, group box or page.
  virtual void SetCaption(const std::string& control, const std::string& text) = 0;
  virtual void SetHint(const std::string& control, const std::string& text) = 0;
  // Text of an edit; lines of the memo.
  virtual std::string GetText(const std::string& control) const = 0;
  virtual void SetText(const std::string& control, const std::string& text) = 0;
  virtual std::vector<std::string> GetLines(const std::string& control) const = 0;
  virtual void SetLines(const std::string& control, const std::vector<std::string>& lines) = 0;
  // Check mark of a check box.
  virtual bool GetChecked(const std::string& control) const = 0;
  virtual void SetChecked(const std::string& control, bool checked) = 0;
  virtual void SetVisible(const std::string& control, bool visible) = 0;
  virtual void SetEnabled(const std::string& control, bool enabled) = 0;
  // EdAlarmMailPassword shows "*" for every character, or the text.
  virtual void SetPasswordMasked(bool masked) = 0;
  // LbcChains: items with a text, a check mark and the chain index they carry.
  virtual void ClearChainItems() = 0;
  virtual void AddChainItem(const std::string& text, int32_t chainIndex, bool checked) = 0;
  virtual int ChainItemCount() const = 0;
  virtual int32_t ChainItemIndex(int item) const = 0;
  virtual bool ChainItemChecked(int item) const = 0;
  // The selected item, or -1.
  virtual int SelectedChainItem() const = 0;
  // Runs the excluded-days dialog for one chain: true on OK, with its flags
  // in `days`; on Cancel `days` is left alone.
  virtual bool EditExcludedDays(const std::string& chainName, const std::string& database,
                                TDaysNoCheck& days) = 0;
  virtual void Beep() = 0;
  virtual void SetWaitCursor(bool on) = 0;
  // Ends the modal run with OK.
  virtual void CloseWithOk() = 0;
};

// The body of the test e-mail: the title with the program's major and minor
// version, an empty line, the test sentence, an empty line and the alarm
// message's lines, as one comma text.
std::string TestMailBody(const std::string& Version, const std::string& MailBody);

// True for the characters a port edit takes: the digits and backspace.
bool IsPortKey(char Key);

class TAlrSvcConfigLogic {
 public:
  // `Version`: the running program's "major.minor".
  TAlrSvcConfigLogic(TAlrSvcConfigView& View, TMessageBoxes& Boxes, TMailSender Mailer,
                     std::string PcName, const std::string& ConfigFile, std::string Version);
  virtual ~TAlrSvcConfigLogic() = default;

  // Texts, the file, the controls, the button state.
  void FormCreate();
  void LoadCaptions();
  void ConfigToControls();
  // Throws the time list's error for a bad check time; the steps after it
  // are not copied.
  void ControlsToConfig();
  // Called by OK after the copy and before the save: true keeps the dialog
  // open unsaved. False here.
  virtual bool CheckCancel();

  // Copy, check, save, close with OK. A failure (a bad time, a file that
  // cannot be written) is shown in an information box and the dialog stays open.
  void BtnOKClick();
  void BtnCheckOptionsClick();
  void UpdateCheckOptionsButton();
  void LbcChainsClick() { UpdateCheckOptionsButton(); }
  void LbcChainsClickCheck() { UpdateCheckOptionsButton(); }
  void CbAlarmMailDefaultClick();
  void CbMaskPswClick();
  // False when the port edits drop `Key` (with a beep).
  bool EdPortKeyPress(char Key);
  // Sends the test e-mail with what the controls show; the outcome in a box.
  void BtnTestClick();
  // The error box for a failure that escaped a handler.
  void ReportError(const std::string& Message) noexcept;

  std::string GetMailAddress() const;
  std::string GetMailBody() const;
  bool UseDefaultMailParams() const;
  std::string GetSmtpHost() const;
  int32_t GetSmtpPort() const;
  std::string GetPop3Host() const;
  int32_t GetPop3Port() const;
  std::string GetMailUser() const;
  std::string GetMailPassword() const;

  const TAlrConfig& Config() const { return File.Config; }
  const std::string& PcName() const { return PcName_; }

 private:
  TAlrSvcConfigView& View;
  TMessageBoxes& Boxes;
  TMailSender Mailer;
  std::string PcName_;
  TAlrSvcConfigFile File;
  std::string Version;
};
