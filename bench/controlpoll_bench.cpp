// The control program's poll against the live service: one tick's state
// query through the service manager plus the "REQGETSTATS" exchange, as
// vigilo_cfg makes it every 500 ms, timed back to back.
//
// Run it where the service runs (same VIGILO_RUNTIME_DIR), for instance with
// a manager of its own:
//   export VIGILO_RUNTIME_DIR=/tmp/b/run VIGILO_SCM_DIR=/tmp/b/scm
//   (register VazidEre in $VIGILO_SCM_DIR/services, start build/svcmgr/svcmgr,
//    start the service)
//   build/bench/bench_controlpoll [polls]          (default 2000)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/datetime.h"
#include "control/alrsvc_logic.h"

namespace {

class NoBoxes final : public TMessageBoxes {
 public:
  void ShowInformation(const std::string&) override {}
  void ShowError(const std::string&) override {}
  bool AskYesNo(const std::string&) override { return false; }
};

}  // namespace

int main(int argc, char** argv) {
  const int polls = argc > 1 ? std::atoi(argv[1]) : 2000;
  TControlSystem system{platform::SystemServiceManager(), SystemPipeClient(), Now, SystemSleep,
                        ","};
  TNullView view;
  NoBoxes boxes;
  TSvcControlLogic logic(system, view, boxes, "/nonexistent/");
  logic.TmrMainTimer();  // opens the handles, as the first tick does
  if (!logic.IsServiceRunning() || !logic.PanelMessageText().empty()) {
    std::fprintf(stderr, "the service does not run or answer: %s\n",
                 logic.PanelMessageText().c_str());
    return 1;
  }
  std::vector<double> us;
  us.reserve(polls);
  for (int i = 0; i < polls; ++i) {
    const auto start = std::chrono::steady_clock::now();
    logic.TmrMainTimer();
    us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                     .count());
    if (!logic.PanelMessageText().empty()) {
      std::fprintf(stderr, "poll %d failed: %s\n", i, logic.PanelMessageText().c_str());
      return 1;
    }
  }
  std::sort(us.begin(), us.end());
  auto at = [&](double q) { return us[static_cast<size_t>(q * (us.size() - 1))]; };
  std::printf(
      "control poll (state query + status exchange), %d polls: p50 %.0f us, p99 %.0f us, "
      "max %.0f us\n",
      polls, at(0.5), at(0.99), us.back());
  return 0;
}
