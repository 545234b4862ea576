#include "bench/fb_bench_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "tests/service/fbtest.h"

extern char** environ;

namespace fbbench {

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

}  // namespace fbbench
