// The control program's logic with the real system behind it, no window and
// printed boxes, for the system test to run as another user:
//   control_probe stop   one tick, then the Stop button
//   control_probe tick   one tick
// Prints "panel <text>" for the message panel after the tick and
// "error <text>" / "info <text>" for each box.
#include <cstdio>
#include <string>

#include "common/datetime.h"
#include "control/alrsvc_logic.h"
#include "control_fakes.h"
#include "platform/file.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string op = argv[1];
  TControlSystem system{
      platform::SystemServiceManager(), SystemPipeClient(),  Now, SystemSleep, ",",
      SystemCarryRemotePipes,           SystemEndRemoteLinks};
  TNullView view;
  control_test::PrintingBoxes boxes;
  const std::string dir = platform::ExtractFileDir(platform::ExecutablePath()) + "/";
  TSvcControlLogic logic(system, view, boxes, dir);
  logic.RunHandler([&] { logic.TmrMainTimer(); });
  std::printf("panel %s\n", logic.PanelMessageText().c_str());
  if (op == "stop") logic.RunHandler([&] { logic.BtnSrvStopClick(); });
  return 0;
}
