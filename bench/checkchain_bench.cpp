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
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "service/alrsrv.h"
#include "tests/service/fbtest.h"

extern char** environ;

namespace {

constexpr int kShops = 2000;
constexpr int kDays = 365;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void BuildChainDatabase(const std::string& connectionString) {
  fbtest::CreateDatabase(
      connectionString,
      {
          "CREATE TABLE SHOPS (IDSHOP INTEGER NOT NULL PRIMARY KEY, SHOPNAME VARCHAR(60))",
          "CREATE TABLE VISITORS (IDSHOP INTEGER NOT NULL, DDATE TIMESTAMP NOT NULL, "
          "ENTERS INTEGER, ENTERS_C INTEGER, PRIMARY KEY (IDSHOP, DDATE))",
          "CREATE TABLE CORRCOEFFS (IDSHOP INTEGER, COEFF DOUBLE PRECISION)",
          "CREATE TABLE HEATMAP (IDSHOP INTEGER, CELL INTEGER, HITS INTEGER)",
          // Rows are made by the server; one statement per row over the
          // network would take minutes.
          "EXECUTE BLOCK AS DECLARE S INTEGER = 1; DECLARE D INTEGER; BEGIN "
          "WHILE (S <= " +
              std::to_string(kShops) +
              ") DO BEGIN "
              "INSERT INTO SHOPS (IDSHOP, SHOPNAME) VALUES (:S, 'Magasin ' || :S); "
              "D = 0; WHILE (D < " +
              std::to_string(kDays) +
              ") DO BEGIN "
              "INSERT INTO VISITORS (IDSHOP, DDATE, ENTERS, ENTERS_C) VALUES (:S, "
              "DATEADD(:D DAY TO TIMESTAMP '2023-03-01 00:00:00'), MOD(:S + :D, 40), 0); "
              "D = D + 1; END S = S + 1; END END",
      });
}

// isql-fb with the script; its output goes to /dev/null. Returns the exit status.
int RunIsql(const std::string& connectionString, const std::string& script) {
  const fbtest::Credentials& sysdba = fbtest::Sysdba();
  // The credentials travel in the environment, not on the command line.
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    if (entry.rfind("ISC_USER=", 0) != 0 && entry.rfind("ISC_PASSWORD=", 0) != 0) {
      env.push_back(entry);
    }
  }
  env.push_back("ISC_USER=" + sysdba.User);
  env.push_back("ISC_PASSWORD=" + sysdba.Password);
  std::vector<char*> envp;
  for (std::string& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = {"isql-fb", "-q", "-i", script, connectionString};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, "isql-fb", &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start isql-fb");
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  try {
    fbtest::DatabaseFolder folder;
    const std::string db = folder.ConnectionString("bench.fdb");
    std::printf("building %d shops x %d days of VISITORS...\n", kShops, kDays);
    auto start = Clock::now();
    BuildChainDatabase(db);
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
        if (RunIsql(db, script) != 0) throw std::runtime_error("isql-fb failed");
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
