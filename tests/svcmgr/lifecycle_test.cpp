// Start, stop, controls and shutdown of a service under the manager.
#include "tests/svcmgr/svcmgr_fixture.h"

namespace svcmgr_test {
namespace {

TEST_F(SvcmgrTest, StartPendingThenRunningThenStopPendingThenStopped) {
  Register(kName, kServiceDemandStart);
  SetMode("gate-start slow-stop");
  StartManager();
  ServiceStatus status;
  ASSERT_EQ(Query(status), 0u);
  EXPECT_EQ(status.dwCurrentState, kServiceStopped);

  ASSERT_EQ(Start(), 0u);
  // Until the start handler returns: start pending, check points rising to the
  // service thread's report, a wait hint always.
  std::vector<uint32_t> checkPoints;
  ASSERT_TRUE(WaitUntil([&] {
    EXPECT_EQ(Query(status), 0u);
    EXPECT_EQ(status.dwCurrentState, kServiceStartPending);
    EXPECT_NE(status.dwWaitHint, 0u);
    EXPECT_EQ(status.dwControlsAccepted, 0u);
    if (checkPoints.empty() || checkPoints.back() != status.dwCheckPoint) {
      checkPoints.push_back(status.dwCheckPoint);
    }
    return status.dwCheckPoint == 2;
  }));
  for (size_t i = 1; i < checkPoints.size(); ++i) EXPECT_GT(checkPoints[i], checkPoints[i - 1]);
  EXPECT_EQ(Control(kServiceControlStop, status), kErrorServiceCannotAcceptCtrl)
      << "no controls while start pending";
  EXPECT_EQ(Start(), kErrorServiceAlreadyRunning);

  Touch("go");
  status = WaitForState(kServiceRunning);
  EXPECT_EQ(status.dwCheckPoint, 0u);
  EXPECT_EQ(status.dwWaitHint, 5000u);
  EXPECT_EQ(status.dwControlsAccepted, kServiceAcceptStop | kServiceAcceptShutdown);
  EXPECT_EQ(Start(), kErrorServiceAlreadyRunning);

  ASSERT_EQ(Control(kServiceControlStop, status), 0u);
  status = WaitForState(kServiceStopPending);
  EXPECT_EQ(status.dwCheckPoint, 1u);
  Touch("stop-go");
  status = WaitForState(kServiceStopped);
  EXPECT_EQ(status.dwWin32ExitCode, 0u);
  WaitForRecord("main-end 0");

  // Handlers in order, each on its thread.
  std::vector<std::string> events;
  for (const std::string& line : Record()) events.push_back(Field(line, 0));
  EXPECT_EQ(events, (std::vector<std::string>{"main", "controller", "start", "execute", "handler",
                                              "stop", "execute-end", "main-end"}));
  auto lines = Record();
  ASSERT_EQ(lines.size(), 8u);
  std::string mainThread = Field(lines[0], 2), startThread = Field(lines[1], 1),
              serviceThread = Field(lines[2], 1), dispatcherThread = Field(lines[4], 2);
  EXPECT_EQ(Field(lines[0], 1), mainThread) << "main runs on the process's first thread";
  EXPECT_EQ(Field(lines[3], 1), serviceThread);
  EXPECT_EQ(Field(lines[5], 1), serviceThread);
  EXPECT_EQ(Field(lines[4], 1), "1") << "the stop code reached the handler";
  std::set<std::string> threads{mainThread, startThread, serviceThread, dispatcherThread};
  EXPECT_EQ(threads.size(), 4u);
  EXPECT_EQ(StopManager(), 0);
}

TEST_F(SvcmgrTest, InterrogateDuringLongWorkIsAnsweredAndStaysQueued) {
  ASSERT_NO_FATAL_FAILURE(StartInLongWork());
  // Only the peek inside the work can answer: the queue is not processed.
  ServiceStatus status;
  ASSERT_EQ(Control(kServiceControlInterrogate, status), 0u);
  EXPECT_EQ(status.dwCurrentState, kServiceRunning);
  WaitForRecord("peek 4 answered");
  Touch("release");
  WaitForRecord("work-end first-queued 4");
  ASSERT_EQ(Control(kServiceControlStop, status), 0u);
  WaitForState(kServiceStopped);
  WaitForRecord("main-end 0");
  EXPECT_EQ(RecordOf("execute-end"), std::vector<std::string>{"execute-end first-queued none"})
      << "the queue was emptied by the request processing";
}

TEST_F(SvcmgrTest, UserCodeIsSeenByThePeekAndLeavesTheServiceRunning) {
  ASSERT_NO_FATAL_FAILURE(StartInLongWork());
  ServiceStatus status;
  ASSERT_EQ(Control(200, status), 0u);
  WaitForRecord("peek 200 pending");
  ASSERT_EQ(RecordOf("handler").size(), 1u);
  EXPECT_EQ(Field(RecordOf("handler")[0], 1), "200");
  Touch("release");
  WaitForRecord("work-end");
  ASSERT_EQ(Query(status), 0u);
  EXPECT_EQ(status.dwCurrentState, kServiceRunning);
  ASSERT_EQ(Control(kServiceControlStop, status), 0u);
  WaitForState(kServiceStopped);
}

TEST_F(SvcmgrTest, StopsAndShutdownQueuedTogetherRunTheStopHandlerOnce) {
  ASSERT_NO_FATAL_FAILURE(StartInLongWork());
  ServiceStatus status;
  ASSERT_EQ(Control(kServiceControlStop, status), 0u);
  ASSERT_EQ(Control(kServiceControlStop, status), 0u) << "still running: the first is queued";
  WaitForRecord("peek 1 pending");
  // The manager's shutdown joins them in the queue.
  ::kill(manager_, SIGTERM);
  EXPECT_TRUE(WaitUntil([&] { return RecordOf("handler").size() == 3; }));
  Touch("release");
  int status2 = 0;
  ASSERT_TRUE(WaitUntil([&] { return ::waitpid(manager_, &status2, WNOHANG) == manager_; }));
  manager_ = -1;
  EXPECT_TRUE(WIFEXITED(status2) && WEXITSTATUS(status2) == 0);
  WaitForRecord("main-end 0");
  EXPECT_EQ(RecordOf("stop").size(), 1u);
  EXPECT_TRUE(RecordOf("shutdown").empty());
  EXPECT_TRUE(RecordOf("cleanup").empty());
}

TEST_F(SvcmgrTest, ManagerSigtermShutsServicesDownAndWaits) {
  Register(kName, kServiceDemandStart);
  Register("Other", kServiceDemandStart);
  StartManager();
  ASSERT_EQ(Start(), 0u);
  ASSERT_EQ(Start("other"), 0u);
  WaitForState(kServiceRunning);
  WaitForState(kServiceRunning, "Other");
  std::vector<pid_t> pids = ServicePids();
  ASSERT_EQ(pids.size(), 2u);
  EXPECT_EQ(StopManager(), 0);
  // The manager ended after its services had.
  for (pid_t pid : pids) EXPECT_FALSE(Alive(pid));
  EXPECT_EQ(RecordOf("shutdown").size(), 2u);
  EXPECT_EQ(RecordOf("main-end").size(), 2u);
  EXPECT_TRUE(RecordOf("stop").empty());
}

TEST_F(SvcmgrTest, KilledServiceIsStoppedWith1067AndStartsAgain) {
  Register(kName, kServiceDemandStart);
  StartManager();
  ASSERT_EQ(Start(), 0u);
  WaitForState(kServiceRunning);
  ASSERT_EQ(ServicePids().size(), 1u);
  ::kill(ServicePids()[0], SIGKILL);
  ServiceStatus status = WaitForState(kServiceStopped);
  EXPECT_EQ(status.dwWin32ExitCode, kErrorProcessAborted);
  EXPECT_EQ(Control(kServiceControlStop, status), kErrorServiceNotActive);
  ASSERT_EQ(Start(), 0u);
  status = WaitForState(kServiceRunning);
  EXPECT_EQ(status.dwWin32ExitCode, 0u);
}

TEST_F(SvcmgrTest, StartRightAfterStopAndStartOfRunningService) {
  Register(kName, kServiceDemandStart);
  StartManager();
  ASSERT_EQ(Start(), 0u);
  WaitForState(kServiceRunning);
  ServiceStatus status;
  ASSERT_EQ(Control(kServiceControlStop, status), 0u);
  WaitForState(kServiceStopped);
  // Stopped is reported before the process ends: start at once all the same.
  ASSERT_EQ(Start(), 0u);
  WaitForState(kServiceRunning);
  EXPECT_EQ(Start(), kErrorServiceAlreadyRunning);
  std::vector<pid_t> pids = ServicePids();
  ASSERT_EQ(pids.size(), 2u);
  EXPECT_NE(pids[0], pids[1]);
  EXPECT_TRUE(WaitUntil([&] { return !Alive(pids[0]); })) << "the first process ended";
  EXPECT_TRUE(Alive(pids[1]));
}

TEST_F(SvcmgrTest, UnresponsiveServiceIsKilledWith1053) {
  ::setenv("VIGILO_SCM_TIMEOUT_MS", "500", 1);
  Register(kName, kServiceDemandStart);
  StartManager();
  SetMode("no-dispatch");
  ASSERT_EQ(Start(), 0u);
  ServiceStatus status = WaitForState(kServiceStopped);
  EXPECT_EQ(status.dwWin32ExitCode, kErrorServiceRequestTimeout);
  ASSERT_EQ(ServicePids().size(), 1u);
  EXPECT_TRUE(WaitUntil([&] { return !Alive(ServicePids()[0]); }));
}

TEST_F(SvcmgrTest, InterrogateLeftUnansweredFailsWith1053) {
  // Long enough for the service's first report on a loaded machine: that report
  // has the same time to arrive.
  ::setenv("VIGILO_SCM_TIMEOUT_MS", "5000", 1);
  Register(kName, kServiceDemandStart);
  StartManager();
  // A service that never looks at its queue leaves an interrogate unanswered.
  SetMode("deaf-work");
  ServiceStatus status;
  ASSERT_EQ(Start(), 0u);
  WaitForState(kServiceRunning);
  WaitForRecord("work-begin");
  EXPECT_EQ(Control(kServiceControlInterrogate, status), kErrorServiceRequestTimeout);
  Touch("release");
  ASSERT_EQ(Control(kServiceControlStop, status), 0u);
  WaitForState(kServiceStopped);
}

TEST_F(SvcmgrTest, StartLeftFalseFreesItsWorkerAndNeverRuns) {
  Register(kName, kServiceDemandStart);
  SetMode("fail-start");
  StartManager();
  ASSERT_EQ(Start(), 0u);
  ServiceStatus status = WaitForState(kServiceStopped);
  EXPECT_EQ(status.dwWin32ExitCode, 0u);
  WaitForRecord("main-end 0");
  std::vector<std::string> events;
  for (const std::string& line : Record()) events.push_back(Field(line, 0));
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events[2], "start");
  EXPECT_EQ(RecordOf("cleanup").size(), 1u);
  EXPECT_EQ(Field(RecordOf("cleanup")[0], 1), "worker-stopped");
  EXPECT_EQ(Field(RecordOf("cleanup")[0], 2), Field(RecordOf("start")[0], 1))
      << "on the service thread";
  EXPECT_TRUE(RecordOf("execute").empty());
  EXPECT_TRUE(RecordOf("stop").empty());
}

// An exception on a framework thread is logged and the service ends its run
// cleanly instead of the process aborting.
TEST_F(SvcmgrTest, AThreadBodyThatThrowsIsLoggedAndTheServiceEndsCleanly) {
  Register(kName, kServiceDemandStart);
  SetMode("throwing-handler");
  StartManager();
  ASSERT_EQ(Start(), 0u);
  WaitForState(kServiceRunning);
  ServiceStatus status;
  ASSERT_EQ(Control(201, status), 0u);
  status = WaitForState(kServiceStopped);
  EXPECT_EQ(status.dwWin32ExitCode, 0u);
  WaitForRecord("main-end 0");
  EXPECT_EQ(RecordOf("event-error"),
            std::vector<std::string>{"event-error Service failed on dispatch: handler broke"});
  EXPECT_EQ(RecordOf("shutdown").size(), 1u);
}

}  // namespace
}  // namespace svcmgr_test
