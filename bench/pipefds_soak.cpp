// Runs many sequential exchanges on both endpoints, good and bad requests
// alike, and checks the descriptors: while the servers run, no more than
// their own (stop event and listening socket each) and one client per
// instance; once they are gone, exactly those the process had before.
//
//   build/bench/soak_pipefds [exchanges]     (default 100000)
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "pipe_bench_support.h"
#include "pipes/alr_control.h"

namespace {

size_t OpenDescriptors() {
  size_t n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++n;
  }
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  long exchanges = argc > 1 ? std::atol(argv[1]) : 100000;
  if (exchanges <= 0) exchanges = 100000;
  pipebench::Workspace workspace;
  const std::string config = workspace.File("vigilo.ini");
  std::ofstream(config, std::ios::binary) << "[Alarm]\r\nCheckTimes=06:00\r\n";

  const size_t before = OpenDescriptors();
  size_t serving = 0;
  long failures = 0;
  const int infoInstances = 4;
  const int controlInstances = 1;
  {
    TAlrSrvInfo info("VigiloSoakInfo", infoInstances);
    TAlrSrvControl control("VigiloSoakControl", controlInstances, config);
    if (!pipebench::WaitUntilServing("VigiloSoakInfo") ||
        !pipebench::WaitUntilServing("VigiloSoakControl")) {
      std::fprintf(stderr, "the pipes do not answer\n");
      return 1;
    }

    const std::vector<uint8_t> stats = pipebench::Request("REQGETSTATS");
    const std::vector<uint8_t> get = pipebench::Request("REQGETCONFIG");
    const std::vector<uint8_t> set = pipebench::Request("REQSETCONFIG", "[Alarm]\r\n");
    const std::vector<uint8_t> shortOne(27, 'R');
    const std::vector<uint8_t> empty;
    std::vector<uint8_t> answer;
    for (long i = 0; i < exchanges; ++i) {
      uint32_t rc;
      if (i % 100 == 1) {
        rc = pipebench::Exchange("VigiloSoakControl", i % 200 == 1 ? get : set, answer);
      } else if (i % 100 == 2) {
        rc = pipebench::Exchange("VigiloSoakInfo", shortOne, answer);
      } else if (i % 1000 == 3) {
        // Not answered: the server drops the connection.
        rc = pipebench::Exchange("VigiloSoakInfo", empty, answer) == 0;
      } else {
        rc = pipebench::Exchange("VigiloSoakInfo", stats, answer);
      }
      if (rc != 0) ++failures;
    }
    serving = OpenDescriptors();
  }
  const size_t after = OpenDescriptors();
  const size_t servingLimit = before + 2 * 2 + infoInstances + controlInstances;
  std::printf(
      "exchanges %ld, failures %ld, descriptors before %zu, serving %zu (at most %zu), after "
      "%zu\n",
      exchanges, failures, before, serving, servingLimit, after);
  return failures == 0 && serving <= servingLimit && before == after ? 0 : 1;
}
