// The seams of the control program: what its logic asks of the system and of
// the window. The program passes the real ones; the tests pass fakes.
//
// Every text handed to the view or the message boxes is Windows-1252; the Qt
// side converts it to Unicode once, where it is shown.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/datetime.h"
#include "platform/scm.h"

// One request and one answer on a named pipe, as platform::CallNamedPipe:
// 0 or the error code; the answer's byte count in `answerCount`.
class TPipeClient {
 public:
  virtual ~TPipeClient() = default;
  virtual uint32_t CallNamedPipe(const std::string& pipePath, const uint8_t* request,
                                 uint32_t requestSize, uint8_t* answer, uint32_t answerSize,
                                 uint32_t& answerCount) = 0;
};

// The client of platform/named_pipe.
TPipeClient& SystemPipeClient();

// Blocks the calling thread for `milliseconds`.
using TSleep = std::function<void(uint32_t milliseconds)>;
void SystemSleep(uint32_t milliseconds);

// The thousands separator of the user's locale (LC_NUMERIC), in Windows-1252;
// empty when the locale has none. A separator that Windows-1252 cannot hold
// becomes a no-break space.
std::string LocaleThousandSeparator();

// The links to another PC (platform/remote): the pipes each must carry,
// told at the start, and their end when the window leaves its PC.
using TCarryRemotePipes = std::function<void(const std::vector<std::string>& PipeNames)>;
using TEndRemoteLinks = std::function<void()>;
void SystemCarryRemotePipes(const std::vector<std::string>& PipeNames);
void SystemEndRemoteLinks();

// What the window's logic uses of the system.
struct TControlSystem {
  platform::ServiceManagerClient& Scm;
  TPipeClient& Pipes;
  TClock Clock;
  TSleep Sleep;
  std::string ThousandSeparator;
  TCarryRemotePipes CarryRemotePipes = [](const std::vector<std::string>&) {};
  TEndRemoteLinks EndRemoteLinks = [] {};
};

// Modal boxes with the application title as caption and an OK button, or
// Yes and No buttons for a question.
class TMessageBoxes {
 public:
  virtual ~TMessageBoxes() = default;
  virtual void ShowInformation(const std::string& text) = 0;
  virtual void ShowError(const std::string& text) = 0;
  // True for Yes.
  virtual bool AskYesNo(const std::string& text) = 0;
};

struct TMailServerParams;

// One e-mail through the mail library, as SendSecureMail with no attachment
// and no extra text: true when sent, else the library's text in `errorText`.
// `serverParams` null: the library's own server settings.
using TMailSender = std::function<bool(
    const std::string& recipients, const std::string& subject, const std::string& bodyLines,
    const TMailServerParams* serverParams, std::string& errorText)>;
// SendSecureMail of service/mail_ssl_interface.
TMailSender SystemMailSender();

// The window as its logic drives it. Controls are named by their object names
// ("BtnSrvStart", "LabVersionVal"; the window itself is "SvcControlWnd").
class TSvcControlView {
 public:
  virtual ~TSvcControlView() = default;
  // Caption of a label, button, page or the window.
  virtual void SetCaption(const std::string& control, const std::string& text) = 0;
  virtual void SetHint(const std::string& control, const std::string& text) = 0;
  virtual void SetEnabled(const std::string& control, bool enabled) = 0;
  // Text of status-bar panel 0 .. 4.
  virtual void SetPanelText(int panel, const std::string& text) = 0;
  // Redraw the status bar at the next paint / right now (before a blocking wait).
  virtual void InvalidateStatusBar() = 0;
  virtual void RepaintStatusBar() = 0;
  // The hourglass on and off.
  virtual void SetWaitCursor(bool on) = 0;
  virtual void StopTimer() = 0;
  virtual void StartTimer() = 0;
};

// The hourglass of a view (anything with SetWaitCursor) for as long as the
// object lives, also when what runs under it raises.
template <class View>
class TWaitCursor {
 public:
  explicit TWaitCursor(View& view) : view_(view) { view_.SetWaitCursor(true); }
  ~TWaitCursor() { view_.SetWaitCursor(false); }
  TWaitCursor(const TWaitCursor&) = delete;
  TWaitCursor& operator=(const TWaitCursor&) = delete;

 private:
  View& view_;
};

// A view that shows nothing, for programs that run the logic without a window.
class TNullView final : public TSvcControlView {
 public:
  void SetCaption(const std::string&, const std::string&) override {}
  void SetHint(const std::string&, const std::string&) override {}
  void SetEnabled(const std::string&, bool) override {}
  void SetPanelText(int, const std::string&) override {}
  void InvalidateStatusBar() override {}
  void RepaintStatusBar() override {}
  void SetWaitCursor(bool) override {}
  void StopTimer() override {}
  void StartTimer() override {}
};
