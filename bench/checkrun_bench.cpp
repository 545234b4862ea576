// A whole check run against isql-fb over N chain databases.
//
// Builds one chain database of 2000 shops x 365 days of VISITORS on the local
// Firebird server (scripts/services.d/firebird.sh starts it) and copies its
// file for every chain; every shop's last day lies weeks before "today", so
// every shop of every chain gets an alarm. Then times, in alternating order
// for several rounds after one warm-up round:
//   - TAlarmSvc::DoDataCheck over the N chains in this process, as the
//     service runs it: per chain the connect with its three probes, the chain
//     statement and the disconnect; then the main report, the desktop
//     shortcut, each chain's report and its mail (the mail call replaced by
//     one that succeeds at once), and the save of the settings;
//   - the sum over the chains of isql-fb running the same statements: one
//     process per database that connects, runs the three probes and the
//     chain statement, each committed, prints the rows to /dev/null and
//     disconnects.
// Prints the medians of both totals and their ratio; the goal is a check run
// of at most 1.10 x the isql-fb sum.
//
//   build/bench/bench_checkrun [--chains N] [--rounds R] [--keep] [--databases DIR]
//
// N is 8 by default, R 5. The databases live in a new folder below /tmp that
// the server's user can write, removed at the end; --keep leaves it and says
// where, and --databases DIR reuses (and keeps) such a folder, adding the
// copies a larger N needs. Each database takes about 60 MB.
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/fb_bench_support.h"
#include "common/debuglog.h"
#include "service/alrsrv.h"
#include "tests/service/fbtest.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using fbbench::Clock;
using fbbench::Median;
using fbbench::Seconds;

// The statements TDmQor::Connect probes the schema with, as it sends them.
constexpr const char* kProbes[] = {
    "SELECT DISTINCT C.IDSHOP AS FLD_RESULT FROM CORRCOEFFS C WHERE (C.IDSHOP=0)",
    "SELECT   T.IDSHOP AS FLD_RESULT1,   SUM(T.ENTERS_C) AS FLD_RESULT2 FROM VISITORS T "
    "WHERE (T.IDSHOP=0) GROUP BY 1",
    "SELECT   T.IDSHOP AS FLD_RESULT FROM HEATMAP T WHERE (T.IDSHOP=0)",
};

struct Options {
  int chains = 8;
  int rounds = 5;
  bool keep = false;
  std::string databases;
};

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::runtime_error(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--chains") {
      options.chains = std::max(1, std::atoi(value().c_str()));
    } else if (arg == "--rounds") {
      options.rounds = std::max(1, std::atoi(value().c_str()));
    } else if (arg == "--keep") {
      options.keep = true;
    } else if (arg == "--databases") {
      options.databases = value();
    } else {
      throw std::runtime_error("unknown argument " + arg +
                               " (--chains N, --rounds R, --keep, --databases DIR)");
    }
  }
  return options;
}

// The chain databases in `folder`: one built by the server, the others
// copies of its file, owned like it by the server's user. Returns their
// connection strings.
std::vector<std::string> PrepareDatabases(const std::string& folder, int chains) {
  const std::string original = folder + "/chain00.fdb";
  if (!fs::exists(original)) {
    std::printf("building %d shops x %d days of VISITORS...\n", fbbench::kShops, fbbench::kDays);
    const auto start = Clock::now();
    fbbench::BuildChainDatabase("localhost:" + original);
    std::printf("  built in %.1f s\n", Seconds(start));
  }
  struct stat owner {};
  if (::stat(original.c_str(), &owner) != 0) throw std::runtime_error("cannot read " + original);
  std::vector<std::string> databases;
  for (int i = 0; i < chains; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "chain%02d.fdb", i);
    const std::string path = folder + "/" + name;
    // The original has no attachment left: the server closed its file.
    if (!fs::exists(path)) {
      fs::copy_file(original, path);
      if (::chown(path.c_str(), owner.st_uid, owner.st_gid) != 0 ||
          ::chmod(path.c_str(), owner.st_mode & 07777) != 0) {
        throw std::runtime_error("cannot give " + path + " to the server's user");
      }
    }
    databases.push_back("localhost:" + path);
  }
  return databases;
}

double ProcessCpuSeconds() {
  timespec cpu{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
  return static_cast<double>(cpu.tv_sec) + static_cast<double>(cpu.tv_nsec) / 1e9;
}

// The service object as the main loop runs it, in a program folder of its
// own, with the chains set directly and the mail call answered at once.
class CheckRun {
 public:
  explicit CheckRun(const std::vector<std::string>& databases) {
    fs::create_directories(dir_.File("prog/Reports"));
    fs::create_directories(dir_.File("desktop"));
    ::setenv("VIGILO_COMMON_DESKTOP", dir_.File("desktop").c_str(), 1);
    SetLogTarget(nullptr, dir_.File("prog/vigilo.log"));
    const TDateTime now = fbtest::FixtureToday() + EncodeTime(10, 0, 0, 0);
    svc_ = std::make_unique<TAlarmSvc>(dm_, [now] { return now; });
    svc_->ProgramPath = dir_.File("prog/vigilo");
    svc_->AppDir = dir_.File("prog/");
    svc_->IniName = "vigilo.ini";
    svc_->ReportsDir = svc_->AppDir + "Reports/";
    svc_->LogName = "vigilo.log";
    svc_->VersionInfo = std::make_unique<TVersionInfo>();
    svc_->Report->VersionInfo = svc_->VersionInfo.get();
    svc_->SendMail = [this](const std::string&, const std::string&, const std::string&,
                            const std::string&, std::string&, const std::string&, int32_t, int32_t,
                            const TMailServerParams*) {
      ++mails_;
      return true;
    };
    TAlrConfig& config = *svc_->Config;
    config.UseEmail = true;
    config.AlarmMailAddr = "ops@example.test";
    for (size_t i = 0; i < databases.size(); ++i) {
      TChainParams chain;
      chain.TrackedChain = "Chain " + std::to_string(i);
      chain.FolderName = "CHAIN" + std::to_string(i);
      chain.DbIndex = static_cast<int32_t>(i);
      chain.Username = fbtest::Sysdba().User;
      chain.Password = fbtest::Sysdba().Password;
      chain.ConnectionString = databases[i];
      config.Chains.push_back(chain);
    }
    // The settings as the start saved them, so that the run's save has a file.
    config.SaveToFile(dir_.File("prog/vigilo.ini"));
  }
  ~CheckRun() {
    svc_.reset();
    SetLogTarget(nullptr, "debug.txt");
    ::unsetenv("VIGILO_COMMON_DESKTOP");
  }
  CheckRun(const CheckRun&) = delete;
  CheckRun& operator=(const CheckRun&) = delete;

  // One whole run; its time in seconds, and in `cpuSeconds` the CPU time this
  // process spent in it (the rest is the server's and the waits). Throws when the run did not do
  // all of its work: a chain that failed, a missing alarm, report or mail.
  double Run(double& cpuSeconds) {
    mails_ = 0;
    svc_->LastErrorText.clear();
    const double cpuStart = ProcessCpuSeconds();
    const auto start = Clock::now();
    svc_->DoDataCheck();
    const double seconds = Seconds(start);
    cpuSeconds = ProcessCpuSeconds() - cpuStart;
    const int32_t chains = svc_->Config->ChainCount();
    if (!svc_->LastErrorText.empty()) throw std::runtime_error(svc_->LastErrorText);
    if (svc_->Report->Count() != chains || mails_ != chains) {
      throw std::runtime_error("the run reported or mailed fewer chains than it has");
    }
    for (int32_t i = 0; i < chains; ++i) {
      if (svc_->Report->Chains(i).Count() != fbbench::kShops) {
        throw std::runtime_error("a chain lacks alarms");
      }
      if (!fs::exists(svc_->ReportsDir + "alert_report_" + svc_->Report->Keys(i) + ".html")) {
        throw std::runtime_error("a chain report is missing");
      }
    }
    if (!fs::exists(dir_.File("desktop/Alert_Report.lnk"))) {
      throw std::runtime_error("no shortcut");
    }
    return seconds;
  }

 private:
  testing_support::TempFolder dir_;
  TDmQor dm_;
  std::unique_ptr<TAlarmSvc> svc_;
  int32_t mails_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  try {
    const Options options = ParseOptions(argc, argv);
    const bool reuse = !options.databases.empty();
    const bool keep = reuse || options.keep;
    if (reuse) {
      fs::create_directories(options.databases);
      ::chmod(options.databases.c_str(), 0777);
    }
    fbtest::DatabaseFolder folder =
        reuse ? fbtest::DatabaseFolder(options.databases) : fbtest::DatabaseFolder();
    const std::string path = folder.Path();
    if (keep) folder.Release();
    const std::vector<std::string> databases = PrepareDatabases(path, options.chains);
    std::printf("%d chain databases in %s%s\n", options.chains, path.c_str(),
                keep ? " (kept)" : "");

    const std::string script = path + "/statements.sql";
    {
      std::ofstream out(script);
      for (const char* probe : kProbes) out << probe << ";\nCOMMIT;\n";
      out << TAlarmSvc::LastCountedDaySql << ";\nCOMMIT;\n";
      if (!out) throw std::runtime_error("cannot write " + script);
    }

    CheckRun checkRun(databases);
    std::vector<double> ours, oursCpu, isql;
    for (int round = -1; round < options.rounds; ++round) {  // round -1 warms the caches
      double oursTime = 0;
      double oursCpuTime = 0;
      double isqlTime = 0;
      const auto runOurs = [&] { oursTime = checkRun.Run(oursCpuTime); };
      const auto runIsql = [&] {
        for (const std::string& db : databases) {
          const auto start = Clock::now();
          if (fbbench::RunIsql(db, script) != 0) throw std::runtime_error("isql-fb failed");
          isqlTime += Seconds(start);
        }
      };
      if (round % 2 == 0) {
        runOurs();
        runIsql();
      } else {
        runIsql();
        runOurs();
      }
      std::printf("%s %2d: check run %7.3f s, isql-fb sum %7.3f s, ratio %.3f\n",
                  round < 0 ? "warm-up " : "round", round + 1, oursTime, isqlTime,
                  oursTime / isqlTime);
      std::fflush(stdout);
      if (round >= 0) {
        ours.push_back(oursTime);
        oursCpu.push_back(oursCpuTime);
        isql.push_back(isqlTime);
      }
    }
    if (!keep) {
      for (const std::string& db : databases) fbtest::DropDatabase(db);
    }

    const double ratio = Median(ours) / Median(isql);
    std::printf(
        "check run (DoDataCheck), %d chains: median %.3f s over %d rounds (%.1f ms a chain)\n",
        options.chains, Median(ours), options.rounds, Median(ours) * 1000 / options.chains);
    std::printf("  of which CPU time of this process: median %.3f s\n", Median(oursCpu));
    std::printf("isql-fb, same statements, summed:   median %.3f s (%.1f ms a chain)\n",
                Median(isql), Median(isql) * 1000 / options.chains);
    std::vector<double> ratios;
    for (size_t i = 0; i < ours.size(); ++i) ratios.push_back(ours[i] / isql[i]);
    std::printf(
        "ratio of the medians: %.3f (goal <= 1.10: %s); median of the rounds' ratios: %.3f\n",
        ratio, ratio <= 1.10 ? "met" : "NOT met", Median(ratios));
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_checkrun: %s\n", e.what());
    return 1;
  }
}
