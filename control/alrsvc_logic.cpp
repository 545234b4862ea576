#include "control/alrsvc_logic.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <span>

#include "common/Comserv.h"
#include "common/exceptions.h"
#include "control/control_files.h"
#include "control/control_resstr.h"
#include "control/svcctrl.h"
#include "platform/file.h"
#include "platform/profile.h"
#include "platform/syserror.h"
#include "platform/text.h"

using namespace platform;

namespace {

// The value labels ClearInfo empties, statistics first.
constexpr const char* kValueLabels[] = {"LabVersionVal",
                                        "LabSartedVal",
                                        "LabConnsVal",
                                        "LabConErrorsVal",
                                        "LabReqVal",
                                        "LabReqBytesVal",
                                        "LabAnsVal",
                                        "LabAnsBytesVal",
                                        "LabWriteErrVal",
                                        "LabNextCheckTimeVal",
                                        "LabLastReportTimeVal",
                                        "LabLastEvtTimeVal",
                                        "LabLastEvtTextVal"};

}  // namespace

std::string FormatCounter(double value, const std::string& separator) {
  char digits[400];
  std::snprintf(digits, sizeof digits, "%.0f", std::fabs(value));
  std::string grouped;
  const size_t n = std::strlen(digits);
  for (size_t i = 0; i < n; ++i) {
    if (i > 0 && (n - i) % 3 == 0) grouped += separator;
    grouped += digits[i];
  }
  if (value <= -0.5) grouped.insert(0, "-");
  if (grouped.size() < 12) grouped.insert(0, 12 - grouped.size(), ' ');
  return grouped;
}

std::string CountdownText(int64_t seconds) {
  return std::to_string(seconds / 3600) + cfgstr::SHours + " " +
         std::to_string(seconds % 3600 / 60) + cfgstr::SMinutes + " " +
         std::to_string(seconds % 60) + cfgstr::SSeconds;
}

std::string ErrorBoxText(const std::string& message) {
  if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') return message + ".";
  return message;
}

TSvcControlLogic::TSvcControlLogic(TControlSystem& System, TSvcControlView& View,
                                   TMessageBoxes& Boxes, std::string ConfigDir)
    : System(System), View(View), Boxes(Boxes), ConfigDir(std::move(ConfigDir)) {}

void TSvcControlLogic::FormCreate(const std::vector<std::string>& Params) {
  OpenConfigOnStart = false;
  System.CarryRemotePipes({InfoPipeName, ControlPipeName});
  LoadCaptions();
  ClearInfo();
  LoadSettings(ConfigDir + SettingsIniName);
  ParseCommandLine(Params);
}

bool TSvcControlLogic::FormCloseQuery() {
  View.StopTimer();
  Disconnect();
  return true;
}

void TSvcControlLogic::FormDestroy() {
  try {
    SaveSettings(ConfigDir + SettingsIniName);
  } catch (...) {
    // The program ends either way; nobody is left to tell.
  }
}

void TSvcControlLogic::LoadSettings(const std::string& FileName) {
  std::string pc;
  try {
    ProfileFile ini(PathOnDisk(FileName));
    pc = ini.ReadString("General", "RemotePC", "");
  } catch (const ProfileError&) {
    // An unreadable file leaves this PC.
  }
  SetRemotePC(pc);
}

void TSvcControlLogic::SaveSettings(const std::string& FileName) {
  ProfileFile ini(PathOnDisk(FileName));
  ini.WriteString("General", "RemotePC", RemotePC);
  ini.Flush();
}

void TSvcControlLogic::ParseCommandLine(const std::vector<std::string>& Params) {
  for (const std::string& param : Params) {
    if (param.size() >= 2 && (param[0] == '-' || param[0] == '/') &&
        UpperCaseCp1252(param.substr(1)) == "CONFIG") {
      OpenConfigOnStart = true;
    }
  }
}

void TSvcControlLogic::LoadCaptions() {
  using namespace cfgstr;
  static constexpr std::pair<const char*, const char*> kCaptions[] = {
      {"SvcControlWnd", SWindowCaption},
      {"LabPc", SLabPc},
      {"BtnPC", SBtnPc},
      {"TsActivity", STsActivity},
      {"LabNextCheckTime", SLabNextCheckTime},
      {"LabLastReportTime", SLabLastReportTime},
      {"LabLastEvtTime", SLabLastEvtTime},
      {"LabLastErrTime", SLabLastErrTime},
      {"TsStatistics", STsStatistics},
      {"LabVersion", SLabVersion},
      {"LabStartedAt", SLabStartedAt},
      {"LabConns", SLabConns},
      {"LabConErrors", SLabConErrors},
      {"LabReq", SLabReq},
      {"LabReqBytes", SLabReqBytes},
      {"LabAns", SLabAns},
      {"LabAnsBytes", SLabAnsBytes},
      {"LabWriteErr", SLabWriteErr},
      {"BtnConfigure", SBtnConfigure},
      {"BtnSrvStart", SBtnSrvStart},
      {"BtnSrvStop", SBtnSrvStop},
      {"BtnClose", SBtnClose},
  };
  static constexpr std::pair<const char*, const char*> kHints[] = {
      {"BtnPC", SBtnPcHint},
      {"BtnConfigure", SBtnConfigureHint},
      {"BtnSrvStart", SBtnSrvStartHint},
      {"BtnSrvStop", SBtnSrvStopHint},
  };
  for (const auto& [control, text] : kCaptions) View.SetCaption(control, text);
  for (const auto& [control, text] : kHints) View.SetHint(control, text);
  View.SetPanelText(0, SPanelService);
  View.SetPanelText(2, SPanelBusy);
}

void TSvcControlLogic::TmrMainTimer() {
  QueryServiceState();
  UpdateButtons();
  if (IsServiceRunning()) RequestStatistics();
  if (OpenConfigOnStart) {
    // Cleared first: ticks that come while its dialogs are open must not start it again.
    OpenConfigOnStart = false;
    if (OnEditConfiguration) OnEditConfiguration();
  }
}

void TSvcControlLogic::QueryServiceState() {
  ServiceState = 0;
  if (!SCMHandle) {
    if (uint32_t err = System.Scm.OpenSCManager(RemotePC, kGenericRead, SCMHandle)) {
      SCMHandle.reset();
      SetPanelMessage(cfgstr::Format(cfgstr::SScmError, {GetPcDisplayName()}) +
                      SystemErrorText(err));
      View.InvalidateStatusBar();
      return;
    }
  }
  if (!ServiceHandle) {
    if (uint32_t err =
            System.Scm.OpenService(*SCMHandle, ServiceName, kServiceQueryStatus, ServiceHandle)) {
      ServiceHandle.reset();
      SetPanelMessage(cfgstr::Format(cfgstr::SServiceAccessError, {GetPcDisplayName()}) +
                      SystemErrorText(err));
      View.InvalidateStatusBar();
      return;
    }
  }
  ServiceStatus status;
  if (uint32_t err = System.Scm.QueryServiceStatus(*ServiceHandle, status)) {
    SetPanelMessage(cfgstr::Format(cfgstr::SServiceAccessError, {GetPcDisplayName()}) +
                    SystemErrorText(err));
  } else {
    ServiceState = status.dwCurrentState;
    SetPanelMessage(ServiceStateText(ServiceState));
  }
  View.InvalidateStatusBar();
}

void TSvcControlLogic::UpdateButtons() {
  View.SetEnabled("BtnSrvStart", IsConnected() && !IsServiceRunning());
  View.SetEnabled("BtnSrvStop", IsConnected() && IsServiceRunning());
  View.SetEnabled("BtnConfigure", IsServiceRunning());
  View.InvalidateStatusBar();
}

void TSvcControlLogic::ShowStatistics() {
  const std::string& sep = System.ThousandSeparator;
  View.SetCaption("LabVersionVal", std::to_string(Status.VerMajor) + "." +
                                       std::to_string(Status.VerMinor) + "." +
                                       std::to_string(Status.VerRelease));
  View.SetCaption("LabSartedVal", FormatSystemTime(Statistics.StartedAt));
  View.SetCaption("LabConnsVal", FormatCounter(Statistics.Connections, sep));
  View.SetCaption("LabConErrorsVal", FormatCounter(Statistics.ConnectErrors, sep));
  View.SetCaption("LabReqVal", FormatCounter(Statistics.Requests, sep));
  View.SetCaption(
      "LabReqBytesVal",
      FormatCounter(static_cast<double>(static_cast<int64_t>(Statistics.BytesReceived)), sep));
  View.SetCaption("LabAnsVal", FormatCounter(Statistics.Answers, sep));
  View.SetCaption(
      "LabAnsBytesVal",
      FormatCounter(static_cast<double>(static_cast<int64_t>(Statistics.BytesSent)), sep));
  View.SetCaption("LabWriteErrVal", FormatCounter(Statistics.WriteErrors, sep));
  SetBusy(Status.Busy != 0);
  if (Status.LastEventText[0] != '\0') {
    View.SetCaption("LabLastEvtTimeVal", FormatSystemTime(Status.LastEventTime));
    View.SetCaption("LabLastEvtTextVal", StatusText(Status.LastEventText));
  }
  if (Status.LastErrorText[0] != '\0') {
    View.SetCaption("LabLastErrTimeVal", FormatSystemTime(Status.LastErrorTime));
    View.SetCaption("LabLastErrTextVal", StatusText(Status.LastErrorText));
  }
  const TDateTime next = SafeSystemTimeToDateTime(Status.NextCheckTime);
  const TDateTime now = System.Clock();
  if (next <= 0) {
    View.SetCaption("LabNextCheckTimeVal", cfgstr::SNoNextCheck);
  } else if (now > next) {
    View.SetCaption("LabNextCheckTimeVal", cfgstr::SCheckRunning);
  } else {
    // Rounded to the millisecond first, so that a whole number of seconds
    // apart is not cut to one second less by the floating-point difference.
    const auto ms = static_cast<int64_t>(std::llround((next - now) * 86400000.0));
    View.SetCaption("LabNextCheckTimeVal",
                    cfgstr::Format(cfgstr::SNextCheckIn, {FormatSystemTime(Status.NextCheckTime),
                                                          CountdownText(ms / 1000)}));
  }
  View.SetCaption("LabLastReportTimeVal", SafeSystemTimeToDateTime(Status.LastReportTime) > 0
                                              ? FormatSystemTime(Status.LastReportTime)
                                              : std::string(cfgstr::SNoReportYet));
}

void TSvcControlLogic::SetBusy(bool Value) {
  if (Value == ServiceBusy) return;
  ServiceBusy = Value;
  View.InvalidateStatusBar();
}

void TSvcControlLogic::ClearInfo() {
  for (const char* label : kValueLabels) View.SetCaption(label, "");
  SetBusy(false);
  ClearLastError();
}

void TSvcControlLogic::ClearLastError() {
  View.SetCaption("LabLastErrTimeVal", "");
  View.SetCaption("LabLastErrTextVal", "");
}

void TSvcControlLogic::Disconnect() {
  ServiceState = 0;
  ServiceHandle.reset();
  SCMHandle.reset();
  // The window leaves the PC (closing, switching): its SSH link ends too.
  System.EndRemoteLinks();
}

int TSvcControlLogic::PanelImageIndex(int Panel) const {
  if (Panel == kPanelRunning) return IsServiceRunning() ? 1 : 0;
  if (Panel == kPanelBusy) return ServiceBusy ? 1 : 0;
  return -1;
}

void TSvcControlLogic::BtnSrvStartClick() {
  ChangeServiceState(kServiceRunning, cfgstr::SRunningAlready, cfgstr::SServiceStarting,
                     cfgstr::SServiceRunning, true);
}

void TSvcControlLogic::BtnSrvStopClick() {
  ChangeServiceState(kServiceStopped, cfgstr::SStoppedAlready, cfgstr::SServiceStopping,
                     cfgstr::SServiceStopped, false);
}

void TSvcControlLogic::ChangeServiceState(uint32_t Target, const char* AlreadyText,
                                          const char* ProgressText, const char* DoneText,
                                          bool IsStart) {
  if (!IsConnected()) return;
  // The state may have changed since the last tick.
  ServiceStatus status;
  if (uint32_t err = System.Scm.QueryServiceStatus(*ServiceHandle, status)) RaiseLastOSError(err);
  if (status.dwCurrentState == Target) {
    Boxes.ShowInformation(AlreadyText + GetPcDisplayName());
    return;
  }
  TWaitCursor hourglass(View);
  SetPanelMessage(ProgressText);
  SetBusy(false);
  View.RepaintStatusBar();
  if (IsStart) {
    StartServiceAndWait(System.Scm, *SCMHandle, ServiceName, System.Sleep);
  } else {
    StopServiceAndWait(System.Scm, *SCMHandle, ServiceName, System.Sleep);
  }
  SetPanelMessage(DoneText);
  if (IsStart) ClearLastError();
}

void TSvcControlLogic::RunHandler(const std::function<void()>& Handler) noexcept {
  try {
    try {
      Handler();
    } catch (const std::exception& e) {
      Boxes.ShowError(ErrorBoxText(e.what()));
    } catch (...) {
      Boxes.ShowError(ErrorBoxText(SystemErrorText(kErrorGenFailure)));
    }
  } catch (...) {
    // The box itself failed (no memory): nothing more can be shown.
  }
}

std::string TSvcControlLogic::GetPipePrefix() const {
  return RemotePC.empty() ? "\\\\.\\pipe\\" : "\\\\" + RemotePC + "\\pipe\\";
}

void TSvcControlLogic::PrepareRequest(std::string_view Command, uint32_t DataLength) {
  EncodePipeHeader(MakePipeHeader(Command, DataLength),
                   std::span<uint8_t, kPipeHeaderSize>(RequestBuf.data(), kPipeHeaderSize));
}

uint32_t TSvcControlLogic::CallPipe(const std::string& PipeName, uint32_t RequestSize,
                                    uint32_t& AnswerSize) {
  AnswerSize = 0;
  return System.Pipes.CallNamedPipe(GetPipePrefix() + PipeName, RequestBuf.data(), RequestSize,
                                    AnswerBuf.data(), kPipeBufferSize, AnswerSize);
}

bool TSvcControlLogic::AnswerIs(std::string_view Command) const {
  return PipeCommandIs(
      std::span<const uint8_t, kPipeCommandSize>(AnswerBuf.data(), kPipeCommandSize), Command);
}

TPipeMessageHeader TSvcControlLogic::AnswerHeader() const {
  return DecodePipeHeader(
      std::span<const uint8_t, kPipeHeaderSize>(AnswerBuf.data(), kPipeHeaderSize));
}

void TSvcControlLogic::RequestStatistics() {
  PrepareRequest(kReqGetStats, 0);
  uint32_t count = 0;
  if (uint32_t err = CallPipe(InfoPipeName, kPipeHeaderSize, count)) {
    SetPanelMessage(SystemErrorText(err));
    return;
  }
  if (count < kPipeHeaderSize) {
    SetPanelMessage(cfgstr::SLengthError);
    return;
  }
  if (!AnswerIs(kAnsGetStats)) return;
  if (count < kAnsGetStatsSize) {
    SetPanelMessage(cfgstr::SLengthError);
    return;
  }
  Statistics = DecodePipeStatistics(std::span<const uint8_t, kPipeStatisticsSize>(
      AnswerBuf.data() + kAnsGetStatsStatisticsOffset, kPipeStatisticsSize));
  Status = DecodeStatusBlock(std::span<const uint8_t, kAlrSrvStatusBlockSize>(
      AnswerBuf.data() + kAnsGetStatsStatusOffset, kAlrSrvStatusBlockSize));
  ShowStatistics();
  SetPanelMessage("");
}

void TSvcControlLogic::GetConfigFromService() {
  PrepareRequest(kReqGetConfig, 0);
  uint32_t count = 0;
  if (uint32_t err = CallPipe(ControlPipeName, kPipeHeaderSize, count)) {
    throw Exception(SystemErrorText(err));
  }
  if (count < kPipeHeaderSize) throw Exception(cfgstr::SLengthError);
  // Any other answer would leave the old local copy to be edited and sent back.
  if (!AnswerIs(kAnsGetConfig)) throw Exception(cfgstr::SWrongQuittance);
  const TPipeMessageHeader header = AnswerHeader();
  if (header.DataLength > count - kPipeHeaderSize) throw Exception(cfgstr::SLengthError);
  if (header.ErrorCode != kPipeErrorNone) throw Exception(cfgstr::SConfigNotRead);
  if (header.DataLength == 0) throw Exception(cfgstr::SConfigEmpty);
  SaveLocalConfig(AnswerBuf.data() + kPipeHeaderSize, header.DataLength);
}

void TSvcControlLogic::PutConfigToService() {
  PrepareRequest(kReqSetConfig, 0);
  uint32_t dataLength = 0;
  LoadLocalConfig(RequestBuf.data() + kPipeHeaderSize, kPipeMaxPayload, dataLength);
  PrepareRequest(kReqSetConfig, dataLength);
  uint32_t count = 0;
  if (uint32_t err = CallPipe(ControlPipeName, kPipeHeaderSize + dataLength, count)) {
    throw Exception(SystemErrorText(err));
  }
  if (count < kPipeHeaderSize) throw Exception(cfgstr::SLengthError);
  if (!AnswerIs(kAnsSetConfig)) throw Exception(cfgstr::SWrongQuittance);
  if (AnswerHeader().ErrorCode != kPipeErrorNone) throw Exception(cfgstr::SConfigNotWritten);
}

void TSvcControlLogic::SaveLocalConfig(const uint8_t* Data, uint32_t Count) {
  const std::string path = LocalConfigPath();
  // Written beside and renamed over: a full disk leaves the old copy, never a
  // cut one. It holds the mail password: this user's alone.
  if (uint32_t err =
          WriteFileAtomic(PathOnDisk(path), std::string(reinterpret_cast<const char*>(Data), Count),
                          kPrivateFile)) {
    throw Exception(cfgstr::Format(cfgstr::SFCreateError, {path, SystemErrorText(err)}));
  }
}

void TSvcControlLogic::LoadLocalConfig(uint8_t* Buffer, uint32_t MaxCount, uint32_t& Count) {
  const std::string path = LocalConfigPath();
  std::string data;
  const uint32_t err = ReadWholeFile(PathOnDisk(path), data, MaxCount);
  if (err == kErrorMoreData) {
    // Sending only its start would replace the service's settings with a cut file.
    const auto size = FileSize(PathOnDisk(path));
    throw Exception(cfgstr::Format(
        cfgstr::SLocalCopyTooLarge,
        {path, size ? std::to_string(*size) : std::string("?"), std::to_string(MaxCount)}));
  }
  if (err != 0) {
    throw Exception(cfgstr::Format(cfgstr::SFOpenError, {path, SystemErrorText(err)}));
  }
  std::memcpy(Buffer, data.data(), data.size());
  Count = static_cast<uint32_t>(data.size());
}

void TSvcControlLogic::EditConfiguration() {
  try {
    ReceiveConfiguration();
    if (!ShowConfigDialog || !ShowConfigDialog(RemotePC, LocalConfigPath())) return;
    TWaitCursor hourglass(View);
    SendConfiguration();
    SetBusy(false);
    RestartService();
    ClearLastError();
  } catch (const std::exception& e) {
    SetPanelMessage(e.what());
    throw;
  }
}

void TSvcControlLogic::ReceiveConfiguration() {
  ShowProgress(cfgstr::Format(cfgstr::SReceivingConfig, {GetPcDisplayName()}));
  GetConfigFromService();
}

void TSvcControlLogic::SendConfiguration() {
  try {
    ShowProgress(cfgstr::Format(cfgstr::SSendingConfig, {GetPcDisplayName()}));
    PutConfigToService();
  } catch (const std::exception& e) {
    SetPanelMessage(e.what());
    Boxes.ShowError(e.what());
  }
}

void TSvcControlLogic::RestartService() {
  if (!IsConnected()) return;
  {
    // Fails here, before anything is stopped, when a right is missing.
    constexpr uint32_t kRestartAccess = kServiceQueryConfig | kServiceChangeConfig |
                                        kServiceQueryStatus | kServiceStart | kServiceStop;
    ScHandlePtr rights;
    if (uint32_t err = System.Scm.OpenService(*SCMHandle, ServiceName, kRestartAccess, rights)) {
      RaiseLastOSError(err);
    }
  }
  ServiceStatus status;
  if (uint32_t err = System.Scm.QueryServiceStatus(*ServiceHandle, status)) RaiseLastOSError(err);
  if (status.dwCurrentState == kServiceStopped) {
    if (Boxes.AskYesNo(cfgstr::SAskStartService)) StopReconfigureStart(false);
  } else {
    StopReconfigureStart(true);
  }
}

void TSvcControlLogic::StopReconfigureStart(bool Stop) {
  TWaitCursor hourglass(View);
  if (Stop) {
    ShowProgress(cfgstr::SServiceStopping);
    StopServiceAndWait(System.Scm, *SCMHandle, ServiceName, System.Sleep);
  }
  ShowProgress(cfgstr::SChangingConfig);
  ReconfigureService(*SCMHandle);
  ShowProgress(cfgstr::SServiceStarting);
  StartServiceAndWait(System.Scm, *SCMHandle, ServiceName, System.Sleep);
  SetPanelMessage(cfgstr::SServiceRunning);
}

void TSvcControlLogic::ReconfigureService(ScHandle&) {}

void TSvcControlLogic::BtnPcClick() {
  View.StopTimer();
  struct TimerBack {
    TSvcControlView& View;
    ~TimerBack() { View.StartTimer(); }
  } timerBack{View};
  std::string name = RemotePC;
  if (!ShowSelectPcDialog || !ShowSelectPcDialog(name)) return;
  Disconnect();
  UpdateButtons();
  SetRemotePC(name);
  ClearInfo();
}

void TSvcControlLogic::ShowProgress(const std::string& Text) {
  SetPanelMessage(Text);
  View.RepaintStatusBar();
}

bool TSvcControlLogic::IsServiceRunning() const {
  return IsConnected() && ServiceState == kServiceRunning;
}

std::string TSvcControlLogic::GetPcDisplayName() const {
  return RemotePC.empty() ? std::string(cfgstr::SThisPc) : RemotePC;
}

void TSvcControlLogic::SetRemotePC(const std::string& Value) {
  RemotePC = Value;
  View.SetCaption("StPcDisplayName", GetPcDisplayName());
}

void TSvcControlLogic::SetPanelMessage(const std::string& Text) {
  PanelMessage = Text;
  View.SetPanelText(kPanelMessage, Text);
}
