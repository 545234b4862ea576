// The control program's logic with the real system behind it and a view that
// prints, for the system test to run as another user:
//   control_probe stop   one tick, then the Stop button
//   control_probe tick   one tick
// Prints "panel <text>" for the message panel after the tick and
// "error <text>" / "info <text>" for each box.
#include <cstdio>
#include <string>

#include "common/datetime.h"
#include "control/alrsvc_logic.h"
#include "platform/file.h"
#include "platform/process.h"

namespace {

class SilentView final : public TSvcControlView {
 public:
  void SetCaption(const std::string&, const std::string&) override {}
  void SetHint(const std::string&, const std::string&) override {}
  void SetEnabled(const std::string&, bool) override {}
  void SetPanelText(int, const std::string&) override {}
  void InvalidateStatusBar() override {}
  void RepaintStatusBar() override {}
  void SetWaitCursor(bool) override {}
  void StopTimer() override {}
};

class PrintingBoxes final : public TMessageBoxes {
 public:
  void ShowInformation(const std::string& text) override { std::printf("info %s\n", text.c_str()); }
  void ShowError(const std::string& text) override { std::printf("error %s\n", text.c_str()); }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string op = argv[1];
  TControlSystem system{platform::SystemServiceManager(), SystemPipeClient(), Now, SystemSleep,
                        ","};
  SilentView view;
  PrintingBoxes boxes;
  const std::string dir = platform::ExtractFileDir(platform::ExecutablePath()) + "/";
  TSvcControlLogic logic(system, view, boxes, dir);
  logic.RunHandler([&] { logic.TmrMainTimer(); });
  std::printf("panel %s\n", logic.PanelMessageText().c_str());
  if (op == "stop") logic.RunHandler([&] { logic.BtnSrvStopClick(); });
  return 0;
}
