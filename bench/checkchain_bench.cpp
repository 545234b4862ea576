// The chain check against isql-fb on the same database and statement.
//
// Builds a chain database of 2000 shops x 365 days of VISITORS on the local
// Firebird server (scripts/services.d/firebird.sh starts it), whose last day
// lies weeks before "today", so that every shop gets an alarm. Then times, in
// alternating runs: connect + TAlarmSvc::CheckChain + disconnect, and isql-fb
// running the same statement (a process that connects, runs it, prints the
// rows to /dev/null and disconnects). Prints the medians and their ratio;
// the goal is a ratio of at most 1.10.
//
//   build/bench/bench_checkchain [runs]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/fb_bench_support.h"
#include "service/alrsrv.h"
#include "tests/service/fbtest.h"

using fbbench::Clock;
using fbbench::kDays;
using fbbench::kShops;
using fbbench::Median;
using fbbench::Seconds;

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  try {
    fbtest::DatabaseFolder folder;
    const std::string db = folder.ConnectionString("bench.fdb");
    std::printf("building %d shops x %d days of VISITORS...\n", kShops, kDays);
    auto start = Clock::now();
    fbbench::BuildChainDatabase(db);
    std::printf("  built in %.1f s\n", Seconds(start));
    const std::string script = folder.Path() + "/statement.sql";
    std::ofstream(script) << TAlarmSvc::LastCountedDaySql << ";\n";

    TDmQor dm;
    dm.Username = fbtest::Sysdba().User;
    dm.Password = fbtest::Sysdba().Password;
    dm.SetDatabaseName(db);
    TAlarmSvc svc(dm, [] { return EncodeDate(2024, 3, 14); });
    TChainParams chain;
    chain.FolderName = "BENCH";

    std::vector<double> ours, oursCheckOnly, isql;
    size_t alarms = 0;
    for (int run = -1; run < runs; ++run) {  // run -1 warms the caches
      auto runOurs = [&] {
        svc.Report->Clear();
        const auto t0 = Clock::now();
        dm.Connect(true);
        const auto t1 = Clock::now();
        svc.CheckChain(chain);
        const double checkOnly = Seconds(t1);
        dm.Connect(false);
        if (run >= 0) {
          ours.push_back(Seconds(t0));
          oursCheckOnly.push_back(checkOnly);
        }
        alarms = static_cast<size_t>(svc.Report->Chains(0).Count());
      };
      auto runIsql = [&] {
        const auto t0 = Clock::now();
        if (fbbench::RunIsql(db, script) != 0) throw std::runtime_error("isql-fb failed");
        if (run >= 0) isql.push_back(Seconds(t0));
      };
      if (run % 2 == 0) {
        runOurs();
        runIsql();
      } else {
        runIsql();
        runOurs();
      }
    }
    dm.Connect(false);
    fbtest::DropDatabase(db);

    const double ratio = Median(ours) / Median(isql);
    std::printf("shops with an alarm: %zu\n", alarms);
    std::printf("connect + CheckChain + disconnect: median %.1f ms over %d runs\n",
                Median(ours) * 1000, runs);
    std::printf("  of which CheckChain:             median %.1f ms\n",
                Median(oursCheckOnly) * 1000);
    std::printf("isql-fb, same statement:           median %.1f ms\n", Median(isql) * 1000);
    std::printf("ratio: %.3f (goal <= 1.10: %s)\n", ratio, ratio <= 1.10 ? "met" : "NOT met");
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_checkchain: %s\n", e.what());
    return 1;
  }
}
