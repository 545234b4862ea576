// The alarm service object TAlarmSvc: the chain check with its alarm rule,
// and LogEvent with the status fields it records.
//
// The object holds what a check needs: the data module it reads through, the
// report it fills, a clock for "today" and the locale's formats for the
// alarm dates. The chain check runs on the service thread only; the status
// fields are guarded by StatusLock, which is held for field copies only.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "common/alr_config.h"
#include "common/datetime.h"
#include "service/alr_alarminfo.h"
#include "service/qordm.h"

class TAlarmSvc {
 public:
  // DmQor is the program's data module; it must outlive the service object.
  explicit TAlarmSvc(TDmQor& DmQor, TClock Clock = Now);
  virtual ~TAlarmSvc();
  TAlarmSvc(const TAlarmSvc&) = delete;
  TAlarmSvc& operator=(const TAlarmSvc&) = delete;

  // The statement of CheckChain: the last counted day of every shop name.
  static constexpr const char* LastCountedDaySql =
      "SELECT   S.SHOPNAME,   MAX(T.DDATE) AS MAXDATE FROM   VISITORS T,   SHOPS S WHERE   "
      "(T.IDSHOP = S.IDSHOP) AND (T.ENTERS > 0) GROUP BY 1 ";

  // Reads the last counted day of every shop of the chain whose database the
  // data module is connected to, in one statement, and applies CheckShop to
  // each row. Throws the EDatabaseError of a failing statement after rolling
  // the read transaction back; alarms of the rows before stay in the report.
  void CheckChain(const TChainParams& Chain);
  // Adds one alarm for the shop when a day after LastDate and before Today
  // falls on a week day that the chain does not exclude. The alarm's date is
  // the day after LastDate, in the locale's short date format.
  void CheckShop(const TChainParams& Chain, const std::string& ShopName, TDateTime LastDate,
                 TDateTime Today);

  // Records Msg with the clock's time as the last event (Level 0 to 2, read
  // as unsigned) or the last error (any other level), then writes it to the
  // log outside the lock.
  void LogEvent(int32_t Level, const std::string& Msg);
  void Lock() { StatusLock.lock(); }
  void Unlock() { StatusLock.unlock(); }

  TDmQor& DmQor;
  const std::unique_ptr<TAlarmReport> Report;
  TClock Clock;
  // The locale's formats, read once when the object is created.
  TFormatSettings FormatSettings;

  // Guarded by StatusLock.
  TSystemTime LastEventTime;
  std::string LastEventText;
  TSystemTime LastErrorTime;
  std::string LastErrorText;

 private:
  std::mutex StatusLock;
};
