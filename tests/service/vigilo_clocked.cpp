// The service program with a clock that starts where a test says, for the
// system test of the check schedule: the service comes up a few seconds
// before a listed time, so the test sees the check start at that time
// without waiting for the wall clock. Only the tests build this program; the
// installed one (service/vigilo.cpp) reads no such setting.
//
// VIGILO_TEST_CLOCK_START: a date-time (days since 30/12/1899, a decimal
// number). The service's clock and its log's read that value when the
// program starts and go on from there at the pace of the monotonic clock.
// Unset or unreadable, both read the local clock, as in the installed program.
#include <chrono>
#include <cstdlib>
#include <string>

#include "common/Comserv.h"
#include "common/debuglog.h"
#include "platform/process.h"
#include "platform/service.h"
#include "service/alrsrv.h"
#include "service/qordm.h"

namespace {

TClock ClockFromEnvironment() {
  const std::string start = platform::GetEnvironmentVariable("VIGILO_TEST_CLOCK_START");
  char* end = nullptr;
  const TDateTime value = std::strtod(start.c_str(), &end);
  if (start.empty() || *end != '\0' || value <= 0) return Now;
  const auto began = std::chrono::steady_clock::now();
  return [value, began] {
    const std::chrono::duration<double> since = std::chrono::steady_clock::now() - began;
    return value + since.count() / 86400;
  };
}

}  // namespace

int main(int argc, char** argv) {
  SetTempToAppDir();
  const TClock clock = ClockFromEnvironment();
  SetLogClock(clock);
  int status;
  {
    TDmQor dmQor;
    TAlarmSvc alarmSvc(dmQor, clock);
    AlarmSvc = &alarmSvc;
    status = platform::RunServiceApplication(alarmSvc, argc, argv);
    AlarmSvc = nullptr;
  }
  EndIfAttachAbandoned(status);
  return status;
}
