// The service state texts, the platform error, and the start and stop waits
// against a scripted service manager.
#include "control/svcctrl.h"

#include <gtest/gtest.h>

#include "control_fakes.h"
#include "platform/syserror.h"

namespace {

using namespace platform;
using control_test::FakeScm;

TEST(ServiceStateText, EveryStateAndOthers) {
  const std::pair<uint32_t, const char*> cases[] = {
      {0, "Service state unknown"}, {1, "Service stopped"},
      {2, "Service starting..."},   {3, "Service stopping..."},
      {4, "Service is running"},    {5, "Service resuming..."},
      {6, "Service pausing..."},    {7, "Service paused"},
      {8, "Service state unknown"}, {0xFFFFFFFF, "Service state unknown"},
  };
  for (const auto& [state, text] : cases) EXPECT_EQ(ServiceStateText(state), text) << state;
}

TEST(EOSError, TextNamesCodeAndSystemText) {
  EXPECT_STREQ(EOSError(5).what(), "System Error.  Code: 5.\r\nAccess is denied");
  EXPECT_STREQ(EOSError(1056).what(),
               ("System Error.  Code: 1056.\r\n" + SystemErrorText(1056)).c_str());
  EXPECT_STREQ(EOSError(0).what(), "A call to an OS function failed");
  EXPECT_EQ(EOSError(53).ErrorCode(), 53u);
}

struct WaitCase {
  const char* name;
  bool start;
  std::vector<ServiceStatus> states;  // what the queries after the request give
  std::vector<uint32_t> pauses;       // the sleeps expected
  const char* error;                  // nullptr: the wait succeeds
};

class WaitTest : public ::testing::TestWithParam<WaitCase> {};

TEST_P(WaitTest, PausesAndOutcome) {
  const WaitCase& c = GetParam();
  FakeScm scm;
  scm.States.assign(c.states.begin(), c.states.end());
  ScHandlePtr manager;
  ASSERT_EQ(scm.OpenSCManager("", kGenericRead, manager), 0u);
  std::vector<uint32_t> pauses;
  TSleep sleep = [&](uint32_t ms) { pauses.push_back(ms); };
  auto run = [&] {
    if (c.start) {
      StartServiceAndWait(scm, *manager, "VazidEre", sleep);
    } else {
      StopServiceAndWait(scm, *manager, "VazidEre", sleep);
    }
  };
  if (c.error) {
    try {
      run();
      ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), c.error);
    }
  } else {
    EXPECT_NO_THROW(run());
  }
  EXPECT_EQ(pauses, c.pauses);
  EXPECT_EQ(scm.OpenHandles, 1) << "the wait's own handle is closed, the manager stays";
  const std::string access = c.start ? "20" : "36";  // 0x14 and 0x24
  EXPECT_EQ(scm.Log[1], "open-service VazidEre " + access);
  EXPECT_EQ(scm.Log[2], c.start ? "start" : "control 1");
}

ServiceStatus S(uint32_t state, uint32_t cp = 0, uint32_t hint = 0) {
  return FakeScm::State(state, cp, hint);
}

INSTANTIATE_TEST_SUITE_P(
    Svcctrl, WaitTest,
    ::testing::Values(WaitCase{"StartImmediate", true, {S(kServiceRunning)}, {}, nullptr},
                      WaitCase{"StartRisingCheckPoints",
                               true,
                               {S(kServiceStartPending, 1, 300), S(kServiceStartPending, 2, 700),
                                S(kServiceRunning, 0, 0)},
                               {300, 700},
                               nullptr},
                      WaitCase{"StartStuckZeroHint",
                               true,
                               {S(kServiceStartPending, 0, 0)},
                               {0},
                               "Failed to start service"},
                      WaitCase{
                          "StartHugeHintIsCapped",
                          true,
                          {S(kServiceStartPending, 1, 600000), S(kServiceStartPending, 1, 600000)},
                          {10000},
                          "Failed to start service"},
                      WaitCase{"StartArrivesWithoutNewCheckPoint",
                               true,
                               {S(kServiceStartPending, 3, 50), S(kServiceRunning, 0, 0)},
                               {50},
                               nullptr},
                      WaitCase{"StopImmediate", false, {S(kServiceStopped)}, {}, nullptr},
                      WaitCase{"StopInSteps",
                               false,
                               {S(kServiceStopPending, 1, 90000), S(kServiceStopPending, 2, 5),
                                S(kServiceStopped)},
                               {2000, 2000},
                               nullptr},
                      WaitCase{"StopStuck",
                               false,
                               {S(kServiceStopPending, 4, 0), S(kServiceStopPending, 4, 0)},
                               {2000},
                               "Failed to stop service"}),
    [](const auto& info) { return std::string(info.param.name); });

struct FailCase {
  const char* name;
  bool start;
  uint32_t FakeScm::*field;  // the call that fails
  uint32_t code;
};

TEST(Svcctrl, FailingCallsRaiseThePlatformErrorAndCloseTheHandle) {
  const FailCase cases[] = {
      {"open start", true, &FakeScm::WaitOpenError, kErrorAccessDenied},
      {"open stop", false, &FakeScm::WaitOpenError, kErrorAccessDenied},
      {"start", true, &FakeScm::StartError, kErrorServiceAlreadyRunning},
      {"control", false, &FakeScm::ControlError, kErrorServiceCannotAcceptCtrl},
  };
  for (const FailCase& c : cases) {
    FakeScm scm;
    scm.*(c.field) = c.code;
    ScHandlePtr manager;
    scm.OpenSCManager("", kGenericRead, manager);
    TSleep sleep = [](uint32_t) { FAIL() << "no pause after a failed call"; };
    try {
      if (c.start) {
        StartServiceAndWait(scm, *manager, "VazidEre", sleep);
      } else {
        StopServiceAndWait(scm, *manager, "VazidEre", sleep);
      }
      ADD_FAILURE() << c.name << ": no error";
    } catch (const EOSError& e) {
      EXPECT_EQ(e.ErrorCode(), c.code) << c.name;
    }
    EXPECT_EQ(scm.OpenHandles, 1) << c.name;
  }
  // A query that fails inside the wait.
  FakeScm scm;
  scm.SetStates({S(kServiceStartPending, 1, 10)});
  scm.QueryErrors = {0, kErrorInvalidHandle};
  ScHandlePtr manager;
  scm.OpenSCManager("", kGenericRead, manager);
  EXPECT_THROW(StartServiceAndWait(scm, *manager, "VazidEre", [](uint32_t) {}), EOSError);
  EXPECT_EQ(scm.OpenHandles, 1);
}

}  // namespace
