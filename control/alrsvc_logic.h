// The state and logic of the control program's main window: the 500 ms
// status poll of the service "VazidEre", its start and stop, and the pipe
// client of its two pipes. The Qt window (alrsvc_control) only shows what
// this class tells its view and forwards clicks and ticks to it.
//
// Failures are exceptions carrying a message. The button handlers let them
// through; RunHandler is the edge that shows them in the standard error box.
// The poll never raises: its failures become the status text.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "control/control_platform.h"
#include "pipes/pipe_messages.h"
#include "platform/scm.h"

// The status-bar panels the logic writes or draws.
enum : int { kPanelRunning = 1, kPanelBusy = 3, kPanelMessage = 4 };

// "%12.0n": `value` without decimals, digits grouped by threes with
// `separator`, right-aligned in at least 12 characters.
std::string FormatCounter(double value, const std::string& separator);

// The countdown "<H>h <M>m <S>s" for `seconds` (hours not reduced to a day).
std::string CountdownText(int64_t seconds);

// The error box's text: a full stop is appended when the last character's
// code is above that of the full stop.
std::string ErrorBoxText(const std::string& message);

class TSvcControlLogic {
 public:
  // `ConfigDir` is the folder of the program's own files, "vigilo_cfg.ini"
  // and the local copy (control_files), with its trailing "/".
  TSvcControlLogic(TControlSystem& System, TSvcControlView& View, TMessageBoxes& Boxes,
                   std::string ConfigDir);

  // Start-up: the pipes a link to another PC carries, texts, empty values,
  // "vigilo_cfg.ini", the command line (the parameters without the program
  // name).
  void FormCreate(const std::vector<std::string>& Params);
  // Stops the timer, closes the service handles and ends the link to another
  // PC; closing is always allowed.
  bool FormCloseQuery();
  // Writes "vigilo_cfg.ini"; a failure is ignored.
  void FormDestroy();

  void LoadSettings(const std::string& FileName);
  // Throws platform::ProfileError.
  void SaveSettings(const std::string& FileName);
  void ParseCommandLine(const std::vector<std::string>& Params);
  void LoadCaptions();

  // The 500 ms tick: poll, buttons, statistics while running, and once the
  // configuration change asked for on the command line.
  void TmrMainTimer();
  void QueryServiceState();
  virtual void UpdateButtons();
  void ShowStatistics();
  void SetBusy(bool Value);
  void ClearInfo();
  void ClearLastError();
  // Closes the service handles and ends the link to another PC.
  void Disconnect();
  // The image of ImlLed that status-bar panel `Panel` shows: 0 grey, 1 green;
  // -1 for the panels that hold no light.
  int PanelImageIndex(int Panel) const;

  // Throw EOSError or Exception; see svcctrl.
  void BtnSrvStartClick();
  void BtnSrvStopClick();

  // Runs a handler; what it throws is shown in the error box, and the program goes on.
  void RunHandler(const std::function<void()>& Handler) noexcept;

  // Pipe client.
  std::string GetPipePrefix() const;
  // The status exchange; its outcome goes to the status text, never raised.
  void RequestStatistics();
  // Fetches the service's settings file into the local copy. Raises on every
  // failure, also when the service could not read its file or sent none.
  void GetConfigFromService();
  // Sends the local copy back. Raises on every failure, also when the copy is
  // larger than one request can carry or the service did not write it.
  void PutConfigToService();
  // Replaces the local copy by `Count` bytes, whole or not at all; a new
  // copy is readable by its owner alone.
  void SaveLocalConfig(const uint8_t* Data, uint32_t Count);
  // Reads the whole local copy; a larger one than `MaxCount` is refused.
  void LoadLocalConfig(uint8_t* Buffer, uint32_t MaxCount, uint32_t& Count);
  std::string LocalConfigPath() const { return ConfigDir + LocalConfigName; }

  bool IsConnected() const { return SCMHandle && ServiceHandle; }
  bool IsServiceRunning() const;
  std::string GetPcDisplayName() const;
  void SetRemotePC(const std::string& Value);

  // The configuration change: fetch the service's settings into the local
  // copy, edit them in the parameters dialog, send them back and restart the
  // service. A failure ends it with its message in the status text and goes
  // on to the caller; a failed send is shown and the restart runs all the same.
  void EditConfiguration();
  void ReceiveConfiguration();
  // Never raises: a failure goes to the status text and an error box.
  void SendConfiguration();
  // Stops and starts the service so that it reads its new settings, or offers
  // to start a stopped one. Nothing happens while not connected; without the
  // rights to stop and start it, it raises before anything is stopped.
  void RestartService();
  // Called between the stop and the start of a restart; does nothing here.
  virtual void ReconfigureService(platform::ScHandle& Manager);
  // The PC switch: no poll while the dialog is open; OK points the window at
  // the PC as typed, with its values emptied.
  void BtnPcClick();

  // Runs the configuration change (EditConfiguration, unless a window puts
  // something else here).
  std::function<void()> OnEditConfiguration = [this] { EditConfiguration(); };
  // Shows the parameters dialog on the file `ConfigFile` modally: true when
  // it ended with OK, which means it saved its settings into that file.
  std::function<bool(const std::string& PcName, const std::string& ConfigFile)> ShowConfigDialog;
  // Shows the PC-switch dialog holding `PcName`: true on OK, the name as typed.
  std::function<bool(std::string& PcName)> ShowSelectPcDialog;

  const std::string& GetRemotePC() const { return RemotePC; }
  uint32_t GetServiceState() const { return ServiceState; }
  bool GetServiceBusy() const { return ServiceBusy; }
  bool GetOpenConfigOnStart() const { return OpenConfigOnStart; }
  const std::string& PanelMessageText() const { return PanelMessage; }

  virtual ~TSvcControlLogic() = default;

 private:
  void SetPanelMessage(const std::string& Text);
  // The status text, drawn at once: a blocking step follows.
  void ShowProgress(const std::string& Text);
  // The stop (when `Stop`), the hook and the start of a restart.
  void StopReconfigureStart(bool Stop);
  // Zeroes the header of RequestBuf and puts the command in.
  void PrepareRequest(std::string_view Command, uint32_t DataLength);
  // One exchange on `PipeName`; 0 or the error code.
  uint32_t CallPipe(const std::string& PipeName, uint32_t RequestSize, uint32_t& AnswerSize);
  bool AnswerIs(std::string_view Command) const;
  TPipeMessageHeader AnswerHeader() const;
  // The start and stop buttons differ only in these.
  void ChangeServiceState(uint32_t Target, const char* AlreadyText, const char* ProgressText,
                          const char* DoneText, bool IsStart);

  TControlSystem& System;
  TSvcControlView& View;
  TMessageBoxes& Boxes;

  std::string ConfigDir;
  std::string SettingsIniName = "vigilo_cfg.ini";
  std::string RemotePC;
  std::string ServiceName = "VazidEre";
  std::string LocalConfigName = "vigilo_local.ini";
  std::string InfoPipeName = "VigiloInfo";
  std::string ControlPipeName = "VigiloControl";
  platform::ScHandlePtr SCMHandle;
  platform::ScHandlePtr ServiceHandle;
  uint32_t ServiceState = 0;
  std::array<uint8_t, kPipeBufferSize> RequestBuf{};
  std::array<uint8_t, kPipeBufferSize> AnswerBuf{};
  TPipeStatistics Statistics;
  TAlrSrvStatusBlock Status;
  std::string PanelMessage;
  bool ServiceBusy = false;
  bool OpenConfigOnStart = false;
};
