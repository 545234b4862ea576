// The idle service's CPU time and resident memory.
//
// Starts svcmgr and the real vigilo from a temporary program folder, as an
// installation runs them: vigilo registered by "vigilo /install /silent",
// runtime and registration folders of their own, a "qorsvc.ini" with eight
// chains and a "vigilo.ini" whose check time lies hours away. Waits until the
// service runs and is idle with its next check beyond the measure, lets it
// settle, then samples the vigilo process every second over the measure
// (60 s by default): its CPU time (utime + stime of /proc/<pid>/stat, every
// thread, and the process's CPU clock in nanoseconds) and its resident
// memory (VmRSS and VmHWM of /proc/<pid>/status). Prints the CPU time as a
// percentage of one core (goal <= 0.1 %) and the resident memory in MB of
// 10^6 bytes (goal <= 20 MB); then stops the service and the manager.
//
// Late in the evening no check time of the day lies far enough ahead: the
// check time is then one that has passed, the service checks once 5 s after
// its start (the chains' databases do not exist, so that check is short), and
// the measure begins after it.
//
//   build/bench/bench_idle [--seconds S]
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/datetime.h"
#include "pipes/pipe_messages.h"
#include "platform/named_pipe.h"
#include "platform/scm.h"
#include "tests/service/service_test_support.h"
#include "tests/support/process_support.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using testing_support::FindProcess;
using testing_support::WaitUntil;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

constexpr double kCpuGoalPercent = 0.1;
constexpr double kRssGoalMb = 20;
constexpr int kChains = 8;
// The pipe requests of the wait, the start's last writes: over before the measure.
constexpr auto kSettle = 3s;

std::optional<TAlrSrvStatusBlock> Status() {
  return service_test::StatusOf(service_test::CallPipe("VigiloInfo", "REQGETSTATS", "", false));
}

uint32_t ServiceState() {
  return testing_support::ServiceState("VazidEre");
}

struct Sample {
  double seconds = 0;  // since the measure began
  long ticks = 0;      // utime + stime
  double cpuNs = 0;    // the process's CPU clock
  long rssKb = 0;      // VmRSS
  long hwmKb = 0;      // VmHWM
  long switches = 0;   // context switches of every thread
  int threads = 0;
};

long StatusField(const std::string& text, const std::string& key) {
  const size_t at = text.find("\n" + key + ":");
  if (at == std::string::npos) return 0;
  return std::atol(text.c_str() + at + key.size() + 2);
}

Sample Take(pid_t pid, SteadyClock::time_point start) {
  Sample s;
  s.seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
  const std::string proc = "/proc/" + std::to_string(pid);
  // Fields 14 and 15 of stat; the name in parentheses may hold blanks.
  const std::string stat = testing_support::ReadFile(proc + "/stat");
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) throw std::runtime_error("vigilo is gone");
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i >= 14) s.ticks += std::atol(field.c_str());
  }
  clockid_t clock;
  timespec cpu{};
  if (::clock_getcpuclockid(pid, &clock) == 0 && ::clock_gettime(clock, &cpu) == 0) {
    s.cpuNs = static_cast<double>(cpu.tv_sec) * 1e9 + static_cast<double>(cpu.tv_nsec);
  }
  const std::string status = "\n" + testing_support::ReadFile(proc + "/status");
  s.rssKb = StatusField(status, "VmRSS");
  s.hwmKb = StatusField(status, "VmHWM");
  s.threads = static_cast<int>(StatusField(status, "Threads"));
  std::error_code ec;
  for (const fs::directory_entry& task : fs::directory_iterator(proc + "/task", ec)) {
    const std::string text = "\n" + testing_support::ReadFile(task.path() / "status");
    s.switches += StatusField(text, "voluntary_ctxt_switches") +
                  StatusField(text, "nonvoluntary_ctxt_switches");
  }
  return s;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// svcmgr with the service, from a program folder of its own; both end with
// the object.
class Installation {
 public:
  explicit Installation(int seconds) {
    prog_ = service_test::MakeInstallation(root_);

    std::string qor;
    for (int i = 0; i < kChains; ++i) {
      const std::string n = std::to_string(i);
      qor += "[Directory" + n + "]\r\nTrackDirectory=Chain " + n +
             "\r\nHost=localhost\r\nDatabase=" + root_.File("db/chain" + n + ".fdb") +
             "\r\nUsername=SYSDBA\r\nPassword=unused\r\n";
    }
    root_.Write("prog/qorsvc.ini", qor);
    // A check time hours ahead today when there is one; else one that has
    // passed, and the check it brings at the start is over before the measure.
    const TDateTime now = Now();
    const TDateTime ahead = now + std::max(2.0 / 24, (seconds + 600) / 86400.0);
    const bool sameDay = DateOf(ahead) == DateOf(now);
    const bool checkAtStart = !sameDay;
    const std::string exactTime =
        service_test::HoursMinutes(sameDay ? ahead : DateOf(now) + 1.0 / 24);
    std::string ini = "[General]\r\nExactTime=" + exactTime +
                      "\r\nTrackedChains=" + std::to_string(kChains) + "\r\n";
    for (int i = 0; i < kChains; ++i) {
      char section[16];
      std::snprintf(section, sizeof section, "[Chain%02d]", i);
      ini += std::string(section) + "\r\nTrackedChain=Chain " + std::to_string(i) + "\r\n";
    }
    root_.Write("prog/vigilo.ini", ini);
    std::printf("check time %s%s\n", exactTime.c_str(),
                checkAtStart ? " (passed: one check runs at the start)" : "");

    if (testing_support::RunProgram({prog_ + "vigilo", "/install", "/silent"}).exitCode != 0) {
      throw std::runtime_error("vigilo /install failed");
    }
    manager_ = testing_support::StartChild(SVCMGR_PROGRAM);
    if (manager_ <= 0) throw std::runtime_error("cannot start svcmgr");
  }
  ~Installation() {
    if (manager_ > 0) {
      testing_support::StopChild(manager_);
    }
    service_test::ClearInstallationEnvironment();
  }
  Installation(const Installation&) = delete;
  Installation& operator=(const Installation&) = delete;

  // Waits until the service runs, is idle and its next check lies beyond
  // `seconds`; its pid.
  pid_t WaitIdle(int seconds) {
    const auto idle = [&] {
      if (ServiceState() != platform::kServiceRunning) return false;
      const std::optional<TAlrSrvStatusBlock> status = Status();
      if (!status || status->Busy || status->NextCheckTime.wYear == 0) return false;
      return SystemTimeToDateTime(status->NextCheckTime) > Now() + (seconds + 60) / 86400.0;
    };
    if (!WaitUntil(idle, 120s)) {
      throw std::runtime_error("the service did not become idle; its log:\n" +
                               testing_support::ReadFile(Log()));
    }
    const pid_t pid = FindProcess(prog_ + "vigilo");
    if (pid <= 0) throw std::runtime_error("no vigilo process");
    return pid;
  }

  // Stops the service through the manager, then the manager; the service's
  // last log line.
  std::string Stop() {
    if (testing_support::ControlServiceNamed("VazidEre", platform::kServiceControlStop,
                                             platform::kServiceStop) != 0 ||
        !WaitUntil([] { return ServiceState() == platform::kServiceStopped; }, 60s)) {
      throw std::runtime_error("the service did not stop");
    }
    const int status = testing_support::StopChild(manager_);
    manager_ = -1;
    if (status != 0) throw std::runtime_error("svcmgr ended with " + std::to_string(status));
    std::string log = testing_support::ReadFile(Log());
    while (!log.empty() && (log.back() == '\n' || log.back() == '\r')) log.pop_back();
    const size_t start = log.rfind('\n');
    const std::string line = log.substr(start == std::string::npos ? 0 : start + 1);
    return line.substr(line.find('\t') + 1);
  }

  std::string Log() const { return prog_ + "vigilo.log"; }

 private:
  testing_support::TempFolder root_;
  std::string prog_;
  pid_t manager_ = -1;
};

}  // namespace

int main(int argc, char** argv) {
  try {
    int seconds = 60;
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      if (arg == "--seconds" && i + 1 < argc) {
        seconds = std::max(1, std::atoi(argv[++i]));
      } else {
        throw std::runtime_error("unknown argument " + arg + " (--seconds S)");
      }
    }
    Installation installation(seconds);
    const pid_t pid = installation.WaitIdle(seconds);
    std::this_thread::sleep_for(kSettle);

    const auto start = SteadyClock::now();
    std::vector<Sample> samples = {Take(pid, start)};
    for (int i = 1; i <= seconds; ++i) {
      std::this_thread::sleep_until(start + std::chrono::seconds(i));
      samples.push_back(Take(pid, start));
    }
    const Sample& first = samples.front();
    const Sample& last = samples.back();
    const double span = last.seconds - first.seconds;
    const double tickSeconds = 1.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
    const double statPercent =
        static_cast<double>(last.ticks - first.ticks) * tickSeconds / span * 100;
    const double clockPercent = (last.cpuNs - first.cpuNs) / 1e9 / span * 100;
    // Windows of 10 s (or the whole measure when shorter), by the CPU clock.
    const size_t window = std::min<size_t>(10, samples.size() - 1);
    std::vector<double> windows;
    for (size_t i = window; i < samples.size(); i += window) {
      const Sample& a = samples[i - window];
      const Sample& b = samples[i];
      windows.push_back((b.cpuNs - a.cpuNs) / 1e9 / (b.seconds - a.seconds) * 100);
    }
    std::vector<double> rss;
    for (const Sample& s : samples) rss.push_back(static_cast<double>(s.rssKb) * 1024 / 1e6);
    const double hwm = static_cast<double>(last.hwmKb) * 1024 / 1e6;

    std::printf("vigilo pid %d, %d threads, idle, measured over %.1f s\n", pid, last.threads, span);
    std::printf("CPU (utime+stime): %.4f %% of one core (%ld ticks of %.0f ms)\n", statPercent,
                last.ticks - first.ticks, tickSeconds * 1000);
    std::printf(
        "CPU (process clock): %.4f %% of one core (%.1f ms); %zu-s windows: median "
        "%.4f %%, max %.4f %%\n",
        clockPercent, (last.cpuNs - first.cpuNs) / 1e6, window, Median(windows),
        *std::max_element(windows.begin(), windows.end()));
    std::printf("  goal <= %.1f %% of one core: %s\n", kCpuGoalPercent,
                std::max(statPercent, clockPercent) <= kCpuGoalPercent ? "met" : "NOT met");
    std::printf("wake-ups: %.1f a second (context switches of its threads)\n",
                static_cast<double>(last.switches - first.switches) / span);
    std::printf("RSS: median %.2f MB, last %.2f MB, peak (VmHWM) %.2f MB (MB = 10^6 bytes)\n",
                Median(rss), rss.back(), hwm);
    std::printf("  goal <= %.0f MB: %s\n", kRssGoalMb,
                std::max(hwm, Median(rss)) <= kRssGoalMb ? "met" : "NOT met");
    std::printf("stopped: \"%s\"\n", installation.Stop().c_str());
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_idle: %s\n", e.what());
    return 1;
  }
}
