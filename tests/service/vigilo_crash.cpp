// The crash test: kills the real vigilo with SIGKILL at random moments while
// it writes "vigilo.ini", and checks the file after every kill.
//
// Runs svcmgr and vigilo from a temporary program folder as an installation
// does, without chains. Every round starts the service and, from a client
// thread, sends "REQSETCONFIG" after "REQSETCONFIG" over the control pipe,
// each with new settings (a round number in the mail address, a long mail
// body and a padding section that make the file a few kilobytes). The
// service itself writes the file at each start (the client's short form
// grows to the full one) and after its check, which comes 5 s after the
// start. Three rounds in four are killed within 1.5 s of the start; the
// fourth just after the check falls due. After each kill:
// - the file parses and holds, whole, the settings of one request: the last
//   acknowledged one (ANSSETCONFIG, error 0) or the one in flight;
// - a temporary file the kill left behind is gone after the next save.
// Prints what it saw; exits 1 at the first fault, with the file.
//
//   build/tests/service/vigilo_crash ROUNDS [--seed N]
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

#include "common/alr_config.h"
#include "common/datetime.h"
#include "pipes/pipe_messages.h"
#include "platform/profile.h"
#include "platform/scm.h"
#include "tests/service/service_test_support.h"
#include "tests/support/process_support.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;
using testing_support::FindProcess;
using testing_support::WaitUntil;

constexpr int kPaddingLines = 40;
constexpr char kService[] = "VazidEre";
constexpr char kTempPrefix[] = ".vigilo.ini.tmp";

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string MailAddr(long seq) {
  return "round" + std::to_string(seq) + "@crash.test";
}
std::string MailBody(long seq) {
  return "\"Settings " + std::to_string(seq) + "\",\"" + std::string(600, 'b') + "\"";
}
int SmtpPort(long seq) {
  return 1000 + static_cast<int>(seq % 60000);
}
std::string PaddingValue(long seq, int line) {
  return "settings " + std::to_string(seq) + " line " + std::to_string(line) + " " +
         std::string(40, 'p');
}
std::string PaddingKey(int line) {
  return "Line" + std::to_string(line);
}

// The settings a client sends: the keys it cares about, in its own order,
// without the time stamps the service adds. The check time is the current
// minute, which has passed: the first check comes 5 s after each start.
std::string Settings(long seq, const std::string& exactTime) {
  std::string text =
      "[General]\r\nLogDetailed=" + std::to_string(seq % 2) + "\r\nExactTime=" + exactTime +
      "\r\nTrackedChains=0\r\n[Alarms]\r\nUseEmail=0\r\nAlarmMailAddr=" + MailAddr(seq) +
      "\r\nAlarmMailBody=" + MailBody(seq) +
      "\r\nAlarmMailSmtpPort=" + std::to_string(SmtpPort(seq)) + "\r\n[Padding]\r\n";
  for (int line = 0; line < kPaddingLines; ++line) {
    text += PaddingKey(line) + "=" + PaddingValue(seq, line) + "\r\n";
  }
  return text;
}

// The request numbers of the settings the file holds, and the check times
// sent with them.
class Versions {
 public:
  long Add(const std::string& exactTime) {
    std::lock_guard lock(mutex_);
    times_[++sent_] = exactTime;
    return sent_;
  }
  void Acknowledged(long seq) {
    std::lock_guard lock(mutex_);
    acked_ = std::max(acked_, seq);
  }
  long Sent() {
    std::lock_guard lock(mutex_);
    return sent_;
  }
  long Acked() {
    std::lock_guard lock(mutex_);
    return acked_;
  }
  std::string ExactTime(long seq) {
    std::lock_guard lock(mutex_);
    return times_.at(seq);
  }

 private:
  std::mutex mutex_;
  std::map<long, std::string> times_;
  long sent_ = -1;
  long acked_ = -1;
};

// What a check of the file found.
struct FileState {
  long seq = -1;
  bool fullForm = false;  // the service has saved it (its time stamps are there)
};

// Reads `path` as the service does and finds which request's settings it
// holds; throws Failure unless it holds one of `first` to `last` whole.
long CheckFile(const std::string& path, Versions& versions, long first, long last) {
  const std::string text = testing_support::ReadFile(path);
  const auto fail = [&](const std::string& what) {
    return Failure(what + "; the file (" + std::to_string(text.size()) + " bytes):\n" + text);
  };
  if (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0) {
    throw fail("the file does not end with a whole line");
  }
  platform::ProfileFile ini(path);
  TAlrConfig config;
  TFormatSettings format;
  TAlrConfig::InitFormatSettings(format);
  try {
    config.LoadFromIni(ini, format);
  } catch (const std::exception& e) {
    throw fail(std::string("the settings do not load: ") + e.what());
  }
  const std::string& addr = config.AlarmMailAddr;
  const long seq = addr.rfind("round", 0) == 0 ? std::atol(addr.c_str() + 5) : -1;
  if (seq < first || seq > last) {
    throw fail("the file holds settings \"" + addr + "\", not those of request " +
               std::to_string(first) + (last > first ? " or " + std::to_string(last) : ""));
  }
  bool whole = config.LogDetailed == (seq % 2 == 1) &&
               config.ExactTime->GetText() == versions.ExactTime(seq) && config.ChainCount() == 0 &&
               !config.UseEmail && config.AlarmMailBody == MailBody(seq) &&
               config.AlarmMailSmtpPort == SmtpPort(seq);
  for (int line = 0; whole && line < kPaddingLines; ++line) {
    whole = ini.ReadString("Padding", PaddingKey(line), "") == PaddingValue(seq, line);
  }
  if (!whole) throw fail("the settings of request " + std::to_string(seq) + " are not whole");
  return seq;
}

// The checks the log shows done since the service's last start.
int ChecksSinceStart(const std::string& log) {
  const size_t start = log.rfind(" service started (ver.");
  int count = 0;
  for (size_t at = log.find("\tData check done", start == std::string::npos ? 0 : start);
       at != std::string::npos; at = log.find("\tData check done", at + 1)) {
    ++count;
  }
  return count;
}

std::set<std::string> TemporaryFiles(const std::string& dir) {
  std::set<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename();
    if (name.rfind(kTempPrefix, 0) == 0) names.insert(name);
  }
  return names;
}

std::optional<TAlrSrvStatusBlock> Status() {
  return service_test::StatusOf(service_test::CallPipe("VigiloInfo", "REQGETSTATS", "", false));
}

// Sends new settings over the control pipe, one request after the other,
// until told to stop.
class Client {
 public:
  Client(Versions& versions, uint32_t seed) : versions_(versions), random_(seed) {
    thread_ = std::thread([this] { Run(); });
  }
  ~Client() { Stop(); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  int Acknowledged() const { return acked_; }

 private:
  void Run() {
    while (!stop_) {
      const std::string exactTime = service_test::HoursMinutes(Now());
      const long seq = versions_.Add(exactTime);
      const service_test::PipeAnswer answer =
          service_test::CallPipe("VigiloControl", "REQSETCONFIG", Settings(seq, exactTime), false);
      if (answer.error == 0 && answer.bytes.size() >= kPipeHeaderSize) {
        const TPipeMessageHeader header = DecodePipeHeader(
            std::span<const uint8_t, kPipeHeaderSize>(answer.bytes.data(), kPipeHeaderSize));
        if (PipeCommandIs(
                std::span<const uint8_t, kPipeCommandSize>(answer.bytes.data(), kPipeCommandSize),
                kAnsSetConfig) &&
            header.ErrorCode == kPipeErrorNone) {
          versions_.Acknowledged(seq);
          ++acked_;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(random_() % 20));
      } else {
        // Not listening yet (or killed): the request may or may not have
        // been written; a later one covers it.
        std::this_thread::sleep_for(2ms);
      }
    }
  }

  Versions& versions_;
  std::mt19937 random_;
  std::atomic<bool> stop_{false};
  std::atomic<int> acked_{0};
  std::thread thread_;
};

class Installation {
 public:
  Installation() {
    prog_ = service_test::MakeInstallation(root_);
    root_.Write("prog/qorsvc.ini", "");
    if (testing_support::RunProgram({prog_ + "vigilo", "/install", "/silent"}).exitCode != 0) {
      throw std::runtime_error("vigilo /install failed");
    }
  }
  ~Installation() {
    if (manager_ > 0) {
      testing_support::StopChild(manager_);
    }
  }
  Installation(const Installation&) = delete;
  Installation& operator=(const Installation&) = delete;

  void WriteSettings(const std::string& text) const { root_.Write("prog/vigilo.ini", text); }
  std::string Ini() const { return prog_ + "vigilo.ini"; }
  std::string Prog() const { return prog_; }
  std::string Log() const { return testing_support::ReadFile(prog_ + "vigilo.log"); }

  // The manager starts the service (automatic start) the first time; a
  // start request does it afterwards.
  void Start() {
    if (manager_ <= 0) {
      manager_ = testing_support::StartChild(SVCMGR_PROGRAM);
      if (manager_ <= 0) throw std::runtime_error("cannot start svcmgr");
      return;
    }
    const uint32_t rc = testing_support::ControlServiceNamed(kService, 0, platform::kServiceStart);
    if (rc != 0) throw Failure("the service does not start again: error " + std::to_string(rc));
  }

  pid_t WaitProcess() const {
    pid_t pid = -1;
    if (!WaitUntil([&] { return (pid = FindProcess(prog_ + "vigilo")) > 0; }, 30s)) {
      throw Failure("no vigilo process after the start");
    }
    return pid;
  }

  void WaitStopped() const {
    if (!WaitUntil(
            [] { return testing_support::ServiceState(kService) == platform::kServiceStopped; },
            30s)) {
      throw Failure("the manager does not see the killed service stopped");
    }
  }

  void Stop() {
    if (testing_support::ControlServiceNamed(kService, platform::kServiceControlStop,
                                             platform::kServiceStop) != 0) {
      throw Failure("the service does not take the stop request");
    }
    WaitStopped();
  }

 private:
  testing_support::TempFolder root_;
  std::string prog_;
  pid_t manager_ = -1;
};

struct Counts {
  int killedEarly = 0;
  int killedAtCheck = 0;
  int leftTemporary = 0;  // kills that left a temporary file: a write was cut
  int heldInFlight = 0;   // the file held the request whose answer the kill cut off
  int checksDone = 0;     // kills at the check that came after its end (and its save)
  int acknowledged = 0;
};

// Kills the service at the chosen moment of a round that began at `start`.
void KillInRound(Installation& installation, bool atCheck, std::mt19937& random,
                 SteadyClock::time_point start) {
  const pid_t pid = installation.WaitProcess();
  if (!atCheck) {
    std::this_thread::sleep_until(start + std::chrono::microseconds(random() % 1'500'000));
  } else {
    // The status gives the check's time; the main loop looks every 100 ms,
    // and a check without chains takes a few milliseconds: from 50 ms before
    // to 150 ms after that time.
    std::optional<TAlrSrvStatusBlock> status;
    if (!WaitUntil([&] { return (status = Status()) && status->NextCheckTime.wYear != 0; }, 30s)) {
      throw Failure("the service gives no next check time");
    }
    const double due = (SystemTimeToDateTime(status->NextCheckTime) - Now()) * 86400.0;
    const auto wait = std::chrono::microseconds(
        static_cast<long>(std::clamp(due - 0.05, 0.0, 10.0) * 1e6) + random() % 200'000);
    std::this_thread::sleep_for(wait);
  }
  ::kill(pid, SIGKILL);
}

int Run(int rounds, uint32_t seed) {
  std::mt19937 random(seed);
  Installation installation;
  Versions versions;
  {
    const std::string exactTime = service_test::HoursMinutes(Now());
    installation.WriteSettings(Settings(versions.Add(exactTime), exactTime));
    versions.Acknowledged(0);
  }
  Counts counts;
  std::set<std::string> stale;  // temporary files kills left, to be gone after the next save
  const auto began = SteadyClock::now();
  for (int round = 1; round <= rounds + 1; ++round) {
    const bool last = round > rounds;  // the closing round: a proper stop
    const bool atCheck = !last && random() % 4 == 0;
    const auto start = SteadyClock::now();
    installation.Start();
    Client client(versions, static_cast<uint32_t>(random()));
    if (last) {
      const long before = versions.Acked();
      if (!WaitUntil([&] { return versions.Acked() > before; }, 30s)) {
        throw Failure("no request acknowledged after the last start; the log:\n" +
                      installation.Log());
      }
      client.Stop();
      installation.Stop();
    } else {
      KillInRound(installation, atCheck, random, start);
      installation.WaitStopped();
      client.Stop();
      (atCheck ? counts.killedAtCheck : counts.killedEarly)++;
      if (atCheck && ChecksSinceStart(installation.Log()) > 0) ++counts.checksDone;
    }
    counts.acknowledged += client.Acknowledged();

    const long acked = versions.Acked();
    if (CheckFile(installation.Ini(), versions, acked, versions.Sent()) > acked) {
      ++counts.heldInFlight;
    }
    // An acknowledged request saved the file after the previous kill: what
    // that kill left had to go.
    if (client.Acknowledged() > 0) {
      const std::set<std::string> now = TemporaryFiles(installation.Prog());
      for (const std::string& name : stale) {
        if (now.count(name)) {
          throw Failure("the temporary file " + name + " is still there after a later save");
        }
      }
      stale.clear();
    }
    if (!last) {
      const std::set<std::string> left = TemporaryFiles(installation.Prog());
      if (!left.empty()) ++counts.leftTemporary;
      stale.insert(left.begin(), left.end());
    }
    if (!last && round % 50 == 0) {
      std::printf("%d rounds\n", round);
      std::fflush(stdout);
    }
    if (last && !TemporaryFiles(installation.Prog()).empty()) {
      throw Failure("a temporary file remains after the service's stop");
    }
  }
  const double seconds = std::chrono::duration<double>(SteadyClock::now() - began).count();
  std::printf(
      "vigilo_crash: %d rounds in %.0f s (seed %u), every file whole and the last acknowledged "
      "settings kept\n"
      "  kills: %d within 1.5 s of the start, %d at the check; %d cut a write short (a temporary "
      "file was left, and went at the next save)\n"
      "  kills at the check after its end (and its save): %d\n"
      "  requests acknowledged: %d; the file held the unanswered request after %d kills\n",
      rounds, seconds, seed, counts.killedEarly, counts.killedAtCheck, counts.leftTemporary,
      counts.checksDone, counts.acknowledged, counts.heldInFlight);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = -1;
  uint32_t seed = std::random_device{}();
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--seed" && i + 1 < argc) {
      seed = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (rounds < 0 && arg.find_first_not_of("0123456789") == std::string::npos) {
      rounds = std::atoi(arg.c_str());
    } else {
      rounds = -1;
      break;
    }
  }
  if (rounds < 0) {
    std::fprintf(stderr, "usage: vigilo_crash ROUNDS [--seed N]\n");
    return 2;
  }
  try {
    return Run(rounds, seed);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vigilo_crash (seed %u): %s\n", seed, e.what());
    return 1;
  }
}
