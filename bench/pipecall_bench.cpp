// Round-trip latency of "REQGETSTATS" (connect, token, request, answer, close)
// against an info endpoint with 4 instances, for 1, 4 and 16 concurrent
// clients. Goals: one client p50 <= 50 us and p99 <= 500 us; with 16 clients
// every call answered or refused as busy within 10 ms.
//
//   build/bench/bench_pipecall [calls per run]     (default 40000, shared by the clients)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "pipe_bench_support.h"
#include "pipes/alr_control.h"
#include "platform/syserror.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Run {
  std::vector<double> answered;  // microseconds
  std::vector<double> busy;
  size_t errors = 0;
};

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t index = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[index];
}

Run Measure(const std::string& pipe, int clients, int callsPerClient) {
  std::vector<Run> parts(static_cast<size_t>(clients));
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      Run& run = parts[static_cast<size_t>(c)];
      std::vector<uint8_t> request = pipebench::Request("REQGETSTATS");
      std::vector<uint8_t> answer;
      for (int i = 0; i < callsPerClient; ++i) {
        auto start = Clock::now();
        uint32_t rc = pipebench::Exchange(pipe, request, answer);
        double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
        if (rc == 0 && answer.size() == kAnsGetStatsSize) {
          run.answered.push_back(us);
        } else if (rc == platform::kErrorPipeBusy) {
          run.busy.push_back(us);
        } else {
          ++run.errors;
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  Run all;
  for (Run& part : parts) {
    all.answered.insert(all.answered.end(), part.answered.begin(), part.answered.end());
    all.busy.insert(all.busy.end(), part.busy.begin(), part.busy.end());
    all.errors += part.errors;
  }
  return all;
}

}  // namespace

int main(int argc, char** argv) {
  int calls = argc > 1 ? std::atoi(argv[1]) : 40000;
  if (calls <= 0) calls = 40000;
  pipebench::Workspace workspace;
  const std::string pipe = "VigiloBench";
  TAlrSrvInfo info(pipe, 4);
  info.OnGetStatus.Set([](TAlrSrvInfo&, TAlrSrvStatusBlock& status) {
    status.BlockSize = kAlrSrvStatusBlockSize;
    SetStatusText(status.LastEventText, "Check finished");
  });
  if (!pipebench::WaitUntilServing(pipe)) {
    std::fprintf(stderr, "the info pipe does not answer\n");
    return 1;
  }
  Measure(pipe, 1, 1000);  // warm-up

  // The figures depend on what else the machine runs: print its load with them.
  std::string load;
  std::getline(std::ifstream("/proc/loadavg"), load);
  std::printf("load average: %s, %u processors\n", load.c_str(),
              std::thread::hardware_concurrency());
  bool ok = true;
  std::printf("%7s %8s %8s %6s %6s %9s %9s %9s %9s\n", "clients", "calls", "answered", "busy",
              "errors", "p50 us", "p99 us", "max us", "busy max");
  for (int clients : {1, 4, 16}) {
    Run run = Measure(pipe, clients, calls / clients);
    std::vector<double> all = run.answered;
    all.insert(all.end(), run.busy.begin(), run.busy.end());
    double p50 = Percentile(run.answered, 0.50);
    double p99 = Percentile(run.answered, 0.99);
    double max = all.empty() ? 0 : *std::max_element(all.begin(), all.end());
    double busyMax = run.busy.empty() ? 0 : *std::max_element(run.busy.begin(), run.busy.end());
    std::printf("%7d %8d %8zu %6zu %6zu %9.1f %9.1f %9.1f %9.1f\n", clients,
                calls / clients * clients, run.answered.size(), run.busy.size(), run.errors, p50,
                p99, max, busyMax);
    if (run.errors != 0) ok = false;
    if (clients == 1 && (p50 > 50 || p99 > 500)) {
      std::printf("  goal missed: one client needs p50 <= 50 us and p99 <= 500 us\n");
    }
    if (clients == 16 && max > 10000) {
      std::printf("  goal missed: with 16 clients every call within 10 ms\n");
    }
  }
  return ok ? 0 : 1;
}
