// The alarm service program: the service "VazidEre", run by the service
// manager, or registered and removed with the INSTALL and UNINSTALL switches.
#include "common/Comserv.h"
#include "platform/service.h"
#include "service/alrsrv.h"
#include "service/qordm.h"

int main(int argc, char** argv) {
  SetTempToAppDir();
  // The service object reads through the data module, so the module comes
  // first and goes last.
  TDmQor dmQor;
  TAlarmSvc alarmSvc(dmQor);
  AlarmSvc = &alarmSvc;
  const int status = platform::RunServiceApplication(alarmSvc, argc, argv);
  AlarmSvc = nullptr;
  return status;
}
