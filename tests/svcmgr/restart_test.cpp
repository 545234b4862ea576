// Processes that end unasked for, and managers that end before their services.
#include "tests/svcmgr/svcmgr_fixture.h"

namespace svcmgr_test {
namespace {

// A manager killed while its service is busy, then started again, must never
// have two processes of the service run: the orphan ends on its own within its
// wait hint, and the new manager starts the automatic service only after it.
TEST_F(SvcmgrTest, ManagerKilledDuringLongWorkNeverLeavesTwoInstances) {
  Register(kName, kServiceAutoStart);
  SetMode("deaf-work quick-hint");
  StartManager();
  WaitForState(kServiceRunning);
  WaitForRecord("work-begin");
  ASSERT_EQ(ServicePids().size(), 1u);
  const pid_t first = ServicePids()[0];
  RestartKilledManager();
  ServiceStatus status;
  bool twoAlive = false;
  EXPECT_TRUE(WaitUntil([&] {
    std::vector<pid_t> pids = ServicePids();
    size_t alive = 0;
    for (pid_t pid : pids) alive += Running(pid) ? 1 : 0;
    twoAlive = twoAlive || alive > 1;
    return pids.size() == 2 && Query(status) == 0 && status.dwCurrentState == kServiceRunning;
  }));
  EXPECT_FALSE(twoAlive);
  EXPECT_FALSE(Running(first));
  EXPECT_EQ(RecordOf("event-error"),
            std::vector<std::string>{"event-error The service lost its service manager and did "
                                     "not stop in time: the process ends"});
  EXPECT_EQ(RecordOf("shutdown").size(), 0u) << "the deaf work never reached the handler";
  Touch("release");
  ASSERT_EQ(Control(kServiceControlStop, status), 0u);
  WaitForState(kServiceStopped);
}

// While a previous manager's process is alive, a start waits for it to end.
TEST_F(SvcmgrTest, StartWhileAPreviousManagersProcessRunsWaitsForItsEnd) {
  Register(kName, kServiceDemandStart);
  SetMode("deaf-work quick-hint");
  StartManager();
  ASSERT_EQ(Start(), 0u);
  WaitForState(kServiceRunning);
  WaitForRecord("work-begin");
  const pid_t first = ServicePids()[0];
  RestartKilledManager();
  ServiceStatus status;
  ASSERT_EQ(Query(status), 0u);
  if (Running(first)) {
    EXPECT_NE(status.dwCurrentState, kServiceStopped) << "the previous process is reported";
  }
  ASSERT_EQ(Start(), 0u);
  WaitForState(kServiceRunning);
  ASSERT_EQ(ServicePids().size(), 2u);
  EXPECT_FALSE(Running(first));
  Touch("release");
  ASSERT_EQ(Control(kServiceControlStop, status), 0u);
  WaitForState(kServiceStopped);
}

class RestartTest : public SvcmgrTest {
 protected:
  // Kills the newest process of the service and waits until a new one runs:
  // how long that took, measured from before the kill.
  std::chrono::milliseconds KillAndAwaitNext() {
    const std::vector<pid_t> before = ServicePids();
    EXPECT_FALSE(before.empty());
    if (before.empty()) return {};
    const auto killedAt = std::chrono::steady_clock::now();
    EXPECT_EQ(::kill(before.back(), SIGKILL), 0);
    ServiceStatus status;
    EXPECT_TRUE(WaitUntil([&] {
      return ServicePids().size() == before.size() + 1 && Query(status) == 0 &&
             status.dwCurrentState == kServiceRunning;
    })) << "no new process";
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 killedAt);
  }

  std::vector<std::string> FailureLines() const {
    return ManagerLogWith(std::string(kName) + " ended without stopping (killed by signal 9)");
  }
};

// An automatic service killed is started again, each time after twice the
// delay of the time before, up to the longest; each time is logged with why.
TEST_F(RestartTest, KilledAutomaticServiceIsStartedAgainWithGrowingDelays) {
  Register(kName, kServiceAutoStart);
  StartManagerInProcess({200ms, 800ms, 60s});
  WaitForState(kServiceRunning);
  const std::chrono::milliseconds delays[] = {200ms, 400ms, 800ms, 800ms};
  const char* texts[] = {"200 ms", "400 ms", "800 ms", "800 ms"};
  for (size_t i = 0; i < std::size(delays); ++i) {
    std::chrono::milliseconds took = KillAndAwaitNext();
    EXPECT_GE(took, delays[i]) << "restart " << i << " came before its delay";
    std::vector<std::string> failures = FailureLines();
    ASSERT_EQ(failures.size(), i + 1);
    EXPECT_EQ(failures[i], "error " + std::string(kName) +
                               " ended without stopping (killed by signal 9): The process "
                               "terminated unexpectedly; it is started again in " +
                               texts[i]);
  }
  EXPECT_EQ(ManagerLogWith("starting " + std::string(kName) + " again after its failure").size(),
            std::size(delays));
  ServiceStatus status;
  ASSERT_EQ(Control(kServiceControlStop, status), 0u);
  WaitForState(kServiceStopped);
  EXPECT_EQ(StopManager(), 0);
}

// A process that ran for the stable run begins the delays afresh. The
// second kill comes at once, well within the stable run; the third a second
// past it, counted from when the test saw the process run, which is after
// the manager started it.
TEST_F(RestartTest, AfterAStableRunTheDelaysBeginAfresh) {
  const svcmgr::RestartPolicy policy{200ms, 3200ms, 2s};
  Register(kName, kServiceAutoStart);
  StartManagerInProcess(policy);
  WaitForState(kServiceRunning);
  KillAndAwaitNext();
  KillAndAwaitNext();  // within the stable run: the delay doubled
  const auto seenRunning = std::chrono::steady_clock::now();
  std::this_thread::sleep_until(seenRunning + policy.stableRun + 1s);
  KillAndAwaitNext();
  std::vector<std::string> failures = FailureLines();
  ASSERT_EQ(failures.size(), 3u);
  auto delayOf = [](const std::string& line) { return line.substr(line.rfind(" in ") + 4); };
  EXPECT_EQ(delayOf(failures[0]), "200 ms");
  EXPECT_EQ(delayOf(failures[1]), "400 ms");
  EXPECT_EQ(delayOf(failures[2]), "200 ms");
  ServiceStatus status;
  ASSERT_EQ(Control(kServiceControlStop, status), 0u);
  WaitForState(kServiceStopped);
}

// A registration spoiled while its service runs: the failure is still planned
// to be started again by what the service ran with, and when it is due the
// registration read then is refused, with its reason in the log.
TEST_F(RestartTest, ARegistrationRefusedWhenTheRestartIsDueIsLoggedAndNotStarted) {
  if (::geteuid() != 0) GTEST_SKIP() << "the manager refuses a registration only as root";
  Register(kName, kServiceAutoStart);
  StartManagerInProcess({200ms, 200ms, 60s});
  WaitForState(kServiceRunning);
  ASSERT_EQ(::chmod(RegistrationFile(kName).c_str(), 0666), 0);
  ASSERT_EQ(ServicePids().size(), 1u);
  ASSERT_EQ(::kill(ServicePids()[0], SIGKILL), 0);
  const std::string notAgain = std::string(kName) + " is not started again";
  ASSERT_TRUE(WaitUntil([&] { return !ManagerLogWith(notAgain).empty(); }));
  ASSERT_EQ(FailureLines().size(), 1u);
  EXPECT_NE(FailureLines()[0].find("; it is started again in 200 ms"), std::string::npos)
      << FailureLines()[0];
  EXPECT_EQ(ManagerLogWith(RegistrationFile(kName) + " is writable by group or others: not served")
                .size(),
            1u);
  EXPECT_EQ(ServicePids().size(), 1u);
  EXPECT_EQ(StopManager(), 0);
}

// A stop asked for is never undone: neither the one the service obeys nor one
// that comes while a restart waits; nor is a service on demand started again.
TEST_F(RestartTest, AStopAskedForOrAServiceOnDemandIsNotStartedAgain) {
  Register(kName, kServiceAutoStart);
  Register("OnDemand", kServiceDemandStart);
  const svcmgr::RestartPolicy policy{300ms, 300ms, 60s};
  StartManagerInProcess(policy);
  WaitForState(kServiceRunning);
  ServiceStatus status;
  ASSERT_EQ(Control(kServiceControlStop, status), 0u);
  WaitForState(kServiceStopped);
  ASSERT_EQ(ServicePids().size(), 1u);
  EXPECT_TRUE(WaitUntil([&] { return !Alive(ServicePids()[0]); }));

  ASSERT_EQ(Start(), 0u);
  WaitForState(kServiceRunning);
  ASSERT_EQ(ServicePids().size(), 2u);
  ASSERT_EQ(::kill(ServicePids()[1], SIGKILL), 0);
  ASSERT_TRUE(WaitUntil([&] { return FailureLines().size() == 1; }));
  ASSERT_EQ(Control(kServiceControlStop, status), 0u) << "the stop cancels the waiting restart";
  EXPECT_EQ(status.dwCurrentState, kServiceStopped);

  ASSERT_EQ(Start("OnDemand"), 0u);
  WaitForState(kServiceRunning, "OnDemand");
  ASSERT_EQ(ServicePids().size(), 3u);
  ASSERT_EQ(::kill(ServicePids()[2], SIGKILL), 0);
  WaitForState(kServiceStopped, "OnDemand");

  // Well past the delay: nothing came back.
  std::this_thread::sleep_for(policy.longestDelay * 4);
  EXPECT_EQ(ServicePids().size(), 3u);
  ASSERT_EQ(Query(status), 0u);
  EXPECT_EQ(status.dwCurrentState, kServiceStopped);
  EXPECT_EQ(ManagerLogWith("is not started again: a stop was asked for").size(), 1u);
  EXPECT_EQ(StopManager(), 0);
}

}  // namespace
}  // namespace svcmgr_test
