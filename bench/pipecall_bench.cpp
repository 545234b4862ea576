// Round-trip latency of "REQGETSTATS" (connect, token, request, answer, close)
// against an info endpoint with 4 instances, for 1, 4 and 16 concurrent
// clients. Goals: one client p50 <= 50 us and p99 <= 500 us; with 16 clients
// every call answered or refused as busy within 10 ms.
//
// One exchange hands the turn between client and server four times (connect,
// token, request, answer), so its time is mostly how fast a sleeping thread
// wakes. To show that, one client is also measured with the server's thread
// and the client pinned to one processor and to two, beside a raw round trip
// (one message each way over a socket pair) placed the same way.
//
//   build/bench/bench_pipecall [calls per run]     (default 40000, shared by the clients)
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
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

// Pins the calling thread to `cpu`; -1 lets it run anywhere it could at start.
void PinThisThread(int cpu, const cpu_set_t& anywhere) {
  if (cpu < 0) {
    pthread_setaffinity_np(pthread_self(), sizeof anywhere, &anywhere);
    return;
  }
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(cpu, &one);
  pthread_setaffinity_np(pthread_self(), sizeof one, &one);
}

Run Measure(const std::string& pipe, int clients, int callsPerClient, int clientCpu,
            const cpu_set_t& anywhere) {
  std::vector<Run> parts(static_cast<size_t>(clients));
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      PinThisThread(clientCpu, anywhere);
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

// Round trips of one 32-byte message each way between two threads.
std::vector<double> RawRoundTrips(int calls, int serverCpu, int clientCpu,
                                  const cpu_set_t& anywhere) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return {};
  std::thread echo([&] {
    PinThisThread(serverCpu, anywhere);
    char buffer[64];
    for (;;) {
      ssize_t n = ::read(pair[1], buffer, sizeof buffer);
      if (n <= 0 || ::write(pair[1], buffer, static_cast<size_t>(n)) != n) break;
    }
  });
  PinThisThread(clientCpu, anywhere);
  std::vector<double> times;
  char buffer[64] = {};
  for (int i = 0; i < calls; ++i) {
    auto start = Clock::now();
    if (::write(pair[0], buffer, 32) != 32 || ::read(pair[0], buffer, sizeof buffer) <= 0) break;
    times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  ::close(pair[0]);
  echo.join();
  ::close(pair[1]);
  PinThisThread(-1, anywhere);
  return times;
}

struct Placement {
  const char* label;
  int serverCpu;
  int clientCpu;
};

}  // namespace

int main(int argc, char** argv) {
  int calls = argc > 1 ? std::atoi(argv[1]) : 40000;
  if (calls <= 0) calls = 40000;
  pipebench::Workspace workspace;
  cpu_set_t anywhere;
  CPU_ZERO(&anywhere);
  pthread_getaffinity_np(pthread_self(), sizeof anywhere, &anywhere);
  std::vector<int> cpus;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &anywhere)) cpus.push_back(cpu);
  }
  std::vector<Placement> placements = {{"anywhere", -1, -1}};
  if (!cpus.empty()) placements.push_back({"one cpu", cpus[0], cpus[0]});
  if (cpus.size() > 1) placements.push_back({"two cpus", cpus[0], cpus[1]});

  // The figures depend on what else the machine runs: print its load with them.
  std::string load;
  std::getline(std::ifstream("/proc/loadavg"), load);
  std::printf("load average: %s, %u processors\n", load.c_str(),
              std::thread::hardware_concurrency());
  bool ok = true;
  std::printf("%7s %-9s %8s %8s %6s %6s %9s %9s %9s %9s\n", "clients", "placement", "calls",
              "answered", "busy", "errors", "p50 us", "p99 us", "max us", "busy max");
  for (const Placement& placement : placements) {
    // The server's thread keeps the processors of the thread that creates it.
    PinThisThread(placement.serverCpu, anywhere);
    const std::string pipe = std::string("VigiloBench") + std::to_string(placement.serverCpu + 1);
    auto info = std::make_unique<TAlrSrvInfo>(pipe, 4);
    PinThisThread(-1, anywhere);
    info->OnGetStatus.Set([](TAlrSrvInfo&, TAlrSrvStatusBlock& status) {
      status.BlockSize = kAlrSrvStatusBlockSize;
      SetStatusText(status.LastEventText, "Check finished");
    });
    if (!pipebench::WaitUntilServing(pipe)) {
      std::fprintf(stderr, "the info pipe does not answer\n");
      return 1;
    }
    Measure(pipe, 1, 1000, placement.clientCpu, anywhere);  // warm-up

    bool pinned = placement.serverCpu >= 0;
    for (int clients : {1, 4, 16}) {
      if (pinned && clients > 1) break;
      Run run = Measure(pipe, clients, calls / clients, placement.clientCpu, anywhere);
      std::vector<double> all = run.answered;
      all.insert(all.end(), run.busy.begin(), run.busy.end());
      double p50 = Percentile(run.answered, 0.50);
      double p99 = Percentile(run.answered, 0.99);
      double max = all.empty() ? 0 : *std::max_element(all.begin(), all.end());
      double busyMax = run.busy.empty() ? 0 : *std::max_element(run.busy.begin(), run.busy.end());
      std::printf("%7d %-9s %8d %8zu %6zu %6zu %9.1f %9.1f %9.1f %9.1f\n", clients, placement.label,
                  calls / clients * clients, run.answered.size(), run.busy.size(), run.errors, p50,
                  p99, max, busyMax);
      if (run.errors != 0) ok = false;
      if (pinned) continue;
      if (clients == 1 && (p50 > 50 || p99 > 500)) {
        std::printf("  goal missed: one client needs p50 <= 50 us and p99 <= 500 us\n");
      }
      if (clients == 16 && max > 10000) {
        std::printf("  goal missed: with 16 clients every call within 10 ms\n");
      }
    }
  }

  std::printf("raw round trip, one 32-byte message each way over a socket pair:\n");
  for (const Placement& placement : placements) {
    std::vector<double> times =
        RawRoundTrips(calls, placement.serverCpu, placement.clientCpu, anywhere);
    std::printf("  %-9s p50 %7.1f us  p99 %7.1f us\n", placement.label, Percentile(times, 0.50),
                Percentile(times, 0.99));
  }
  return ok ? 0 : 1;
}
