#include "control/alrsvc_configlogic.h"

#include <charconv>

#include "common/Comserv.h"
#include "common/debuglog.h"
#include "common/exceptions.h"
#include "control/alrsvc_logic.h"
#include "control/control_resstr.h"
#include "platform/profile.h"

namespace {

constexpr char kGeneral[] = "General";
constexpr char kAlarms[] = "Alarms";

std::string Trim(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
  return text.substr(begin, end - begin);
}

// The integer value of the trimmed text, or `def` when it is none.
int32_t PortValue(const std::string& text, int32_t def) {
  const std::string t = Trim(text);
  int32_t value = 0;
  const char* first = t.data();
  if (!t.empty() && t[0] == '+') ++first;
  const auto [end, ec] = std::from_chars(first, t.data() + t.size(), value);
  return ec == std::errc() && end == t.data() + t.size() && first != end ? value : def;
}

}  // namespace

// ---- the settings file ----

TAlrSvcConfigFile::TAlrSvcConfigFile(std::string FileName) : fileName_(std::move(FileName)) {}

void TAlrSvcConfigFile::Load() {
  try {
    platform::ProfileFile ini(PathOnDisk(fileName_));
    TFormatSettings fs;
    TAlrConfig::InitFormatSettings(fs);
    Config.LoadFromIni(ini, fs);
  } catch (const std::exception& e) {
    WriteLog(3, "Error reading data from " + fileName_ + " : " + e.what());
  }
  TQorConfig& local = *Config.Databases;
  if (Config.ChainCount() > 0 && Config.LoadDatabases(local)) {
    for (TChainParams& chain : Config.Chains) {
      const int32_t d =
          chain.TrackedChain.empty() ? -1 : local.IndexOfDirectory(chain.TrackedChain);
      if (d < 0) continue;
      chain.ConnectionString = local.GetConnectionString(d);
      chain.FolderName = local.GetDatabaseFolderName(d);
    }
  }
  for (TChainParams& chain : Config.Chains) {
    if (chain.FolderName.empty()) chain.FolderName = chain.TrackedChain;
  }
  loaded_ = Shown();
}

TAlrSvcConfigFile::TShown TAlrSvcConfigFile::Shown() const {
  return {Config.ExactTime->GetText(), Config.LogDetailed,   Config.UseEmail,
          Config.AlarmMailAddr,        Config.AlarmMailBody, Config.Chains};
}

void TAlrSvcConfigFile::Save() {
  const TShown now = Shown();
  try {
    platform::ProfileFile ini(PathOnDisk(fileName_));
    if (now.ExactTime != loaded_.ExactTime) ini.WriteString(kGeneral, "ExactTime", now.ExactTime);
    if (now.LogDetailed != loaded_.LogDetailed) {
      ini.WriteBool(kGeneral, "LogDetailed", now.LogDetailed);
    }
    for (size_t i = 0; i < now.Chains.size() && i < loaded_.Chains.size(); ++i) {
      const TChainParams& chain = now.Chains[i];
      const TChainParams& was = loaded_.Chains[i];
      const std::string section = ChainSection(static_cast<int32_t>(i));
      if (chain.ShouldCheck != was.ShouldCheck) {
        ini.WriteBool(section, "ShouldCheck", chain.ShouldCheck);
      }
      if (chain.DaysNoCheck != was.DaysNoCheck) {
        std::string days;
        TAlrConfig::DaysToStr(chain.DaysNoCheck, days);
        ini.WriteString(section, "DaysNoCheck", days);
      }
    }
    if (now.UseEmail != loaded_.UseEmail) ini.WriteBool(kAlarms, "UseEmail", now.UseEmail);
    if (now.AlarmMailAddr != loaded_.AlarmMailAddr) {
      ini.WriteString(kAlarms, "AlarmMailAddr", now.AlarmMailAddr);
    }
    // As it is: read back raw, its quotes are its own.
    if (now.AlarmMailBody != loaded_.AlarmMailBody) {
      ini.WriteRawString(kAlarms, "AlarmMailBody", now.AlarmMailBody);
    }
    ini.Flush();
  } catch (const std::exception& e) {
    throw Exception(e.what());
  }
  loaded_ = now;
}

// ---- the dialog ----

std::string TestMailBody(const std::string& Version, const std::string& MailBody) {
  std::vector<std::string> lines = {std::string(cfgstr::STestMailTitle) + " " + Version, "",
                                    cfgstr::STestMailText, ""};
  std::vector<std::string> message;
  CsvToStrings(MailBody, message);
  lines.insert(lines.end(), message.begin(), message.end());
  return StringsToCsv(lines);
}

bool IsPortKey(char Key) {
  return (Key >= '0' && Key <= '9') || Key == '\b';
}

TAlrSvcConfigLogic::TAlrSvcConfigLogic(TAlrSvcConfigView& View, TMessageBoxes& Boxes,
                                       TMailSender Mailer, std::string PcName,
                                       const std::string& ConfigFile, std::string Version)
    : View(View),
      Boxes(Boxes),
      Mailer(std::move(Mailer)),
      PcName_(std::move(PcName)),
      File(ConfigFile),
      Version(std::move(Version)) {}

void TAlrSvcConfigLogic::FormCreate() {
  LoadCaptions();
  File.Load();
  ConfigToControls();
  UpdateCheckOptionsButton();
}

void TAlrSvcConfigLogic::LoadCaptions() {
  using namespace cfgstr;
  static constexpr std::pair<const char*, const char*> kCaptions[] = {
      {"AlrSvcConfigDlg", SConfigDlgCaption},
      {"BtnOK", SBtnOk},
      {"BtnCancel", SBtnCancel},
      {"TsGeneral", STsGeneral},
      {"LabDatabases", SLabDatabases},
      {"BtnCheckOptions", SBtnCheckOptions},
      {"TsAlarms", STsAlarms},
      {"GbMail", SGbMail},
      {"LabAlarmMailAddr", SLabAlarmMailAddr},
      {"LabAlarmMessage", SLabAlarmMessage},
  };
  for (const auto& [control, text] : kCaptions) View.SetCaption(control, text);
  View.SetHint("EdExactTimes", SEdExactTimesHint);
}

void TAlrSvcConfigLogic::ConfigToControls() {
  const TAlrConfig& config = File.Config;
  View.SetText("EdExactTimes", config.ExactTime->GetLocalText());
  View.SetChecked("CbLogDetailed", config.LogDetailed);
  View.ClearChainItems();
  for (int32_t i = 0; i < config.ChainCount(); ++i) {
    TChainParams chain;
    config.GetChain(i, chain);
    View.AddChainItem(chain.FolderName, i, chain.ShouldCheck);
  }
  View.SetChecked("CbUseEmail", config.UseEmail);
  View.SetText("EdAlarmMailAddr", NormalizeSpaces(config.AlarmMailAddr));
  std::vector<std::string> lines;
  CsvToStrings(config.AlarmMailBody, lines);
  View.SetLines("MemAlarmMailBody", lines);
}

void TAlrSvcConfigLogic::ControlsToConfig() {
  TAlrConfig& config = File.Config;
  config.ExactTime->SetLocalText(View.GetText("EdExactTimes"));
  config.LogDetailed = View.GetChecked("CbLogDetailed");
  for (int item = 0; item < View.ChainItemCount(); ++item) {
    const int32_t index = View.ChainItemIndex(item);
    TChainParams chain;
    config.GetChain(index, chain);
    chain.ShouldCheck = View.ChainItemChecked(item);
    config.SetChain(index, chain);
  }
  config.UseEmail = View.GetChecked("CbUseEmail");
  config.AlarmMailAddr = GetMailAddress();
  config.AlarmMailBody = GetMailBody();
}

bool TAlrSvcConfigLogic::CheckCancel() {
  return false;
}

void TAlrSvcConfigLogic::BtnOKClick() {
  try {
    ControlsToConfig();
    if (CheckCancel()) return;
    File.Save();
  } catch (const std::exception& e) {
    Boxes.ShowInformation(e.what());
    return;
  }
  View.CloseWithOk();
}

void TAlrSvcConfigLogic::UpdateCheckOptionsButton() {
  View.SetEnabled("BtnCheckOptions", View.SelectedChainItem() >= 0);
}

void TAlrSvcConfigLogic::BtnCheckOptionsClick() {
  const int item = View.SelectedChainItem();
  if (item < 0) return;
  const int32_t index = View.ChainItemIndex(item);
  TChainParams chain;
  File.Config.GetChain(index, chain);
  if (!View.EditExcludedDays(chain.FolderName, chain.ConnectionString, chain.DaysNoCheck)) return;
  File.Config.SetChain(index, chain);
}

void TAlrSvcConfigLogic::CbAlarmMailDefaultClick() {
  const bool shown = !View.GetChecked("CbAlarmMailDefault");
  for (const char* control : kMailServerControls) View.SetVisible(control, shown);
}

void TAlrSvcConfigLogic::CbMaskPswClick() {
  View.SetPasswordMasked(View.GetChecked("CbMaskPsw"));
}

bool TAlrSvcConfigLogic::EdPortKeyPress(char Key) {
  if (IsPortKey(Key)) return true;
  View.Beep();
  return false;
}

void TAlrSvcConfigLogic::BtnTestClick() {
  const std::string recipients = GetMailAddress();
  bool sent = false;
  std::string errorText;
  {
    TWaitCursor hourglass(View);
    const std::string body = TestMailBody(Version, GetMailBody());
    TMailServerParams params{};
    const bool ownServer = !UseDefaultMailParams();
    if (ownServer) {
      params = MakeMailServerParams(GetPop3Host(), GetPop3Port(), GetSmtpHost(), GetSmtpPort(),
                                    GetMailUser(), GetMailPassword());
    }
    sent = Mailer(recipients, cfgstr::STestMailSubject, body, ownServer ? &params : nullptr,
                  errorText);
  }
  if (sent) {
    Boxes.ShowInformation(cfgstr::Format(cfgstr::STestMailSent, {recipients}));
  } else {
    Boxes.ShowError(cfgstr::Format(cfgstr::STestMailFailed, {recipients, errorText}));
  }
}

void TAlrSvcConfigLogic::ReportError(const std::string& Message) noexcept {
  try {
    Boxes.ShowError(ErrorBoxText(Message));
  } catch (...) {
    // The box itself failed (no memory): nothing more can be shown.
  }
}

std::string TAlrSvcConfigLogic::GetMailAddress() const {
  return NormalizeSpaces(View.GetText("EdAlarmMailAddr"));
}

std::string TAlrSvcConfigLogic::GetMailBody() const {
  return StringsToCsv(View.GetLines("MemAlarmMailBody"));
}

bool TAlrSvcConfigLogic::UseDefaultMailParams() const {
  return View.GetChecked("CbAlarmMailDefault");
}

std::string TAlrSvcConfigLogic::GetSmtpHost() const {
  return Trim(View.GetText("EdSmtpHost"));
}

int32_t TAlrSvcConfigLogic::GetSmtpPort() const {
  return PortValue(View.GetText("EdSmtpPort"), 25);
}

std::string TAlrSvcConfigLogic::GetPop3Host() const {
  return Trim(View.GetText("EdPop3Host"));
}

int32_t TAlrSvcConfigLogic::GetPop3Port() const {
  return PortValue(View.GetText("EdPop3Port"), 110);
}

std::string TAlrSvcConfigLogic::GetMailUser() const {
  return Trim(View.GetText("EdAlarmMailUser"));
}

std::string TAlrSvcConfigLogic::GetMailPassword() const {
  return Trim(View.GetText("EdAlarmMailPassword"));
}
