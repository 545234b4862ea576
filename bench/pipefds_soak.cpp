// Runs many sequential exchanges on both endpoints, good and bad requests
// alike, and checks that the process ends with the descriptors it had before.
//
//   build/bench/soak_pipefds [exchanges]     (default 100000)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

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

// The server closes its side of a connection when it sees the client's close,
// a moment after the client's call has returned: count once the number holds.
size_t SettledDescriptors() {
  size_t last = OpenDescriptors();
  for (int i = 0; i < 40; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    size_t now = OpenDescriptors();
    if (now == last) return now;
    last = now;
  }
  return last;
}

}  // namespace

int main(int argc, char** argv) {
  long exchanges = argc > 1 ? std::atol(argv[1]) : 100000;
  if (exchanges <= 0) exchanges = 100000;
  pipebench::Workspace workspace;
  const std::string config = workspace.File("vigilo.ini");
  std::ofstream(config, std::ios::binary) << "[Alarm]\r\nCheckTimes=06:00\r\n";

  TAlrSrvInfo info("VigiloSoakInfo", 4);
  TAlrSrvControl control("VigiloSoakControl", 1, config);
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

  size_t before = SettledDescriptors();
  long failures = 0;
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
  size_t after = SettledDescriptors();
  std::printf("exchanges %ld, failures %ld, descriptors before %zu, after %zu\n", exchanges,
              failures, before, after);
  return failures == 0 && before == after ? 0 : 1;
}
