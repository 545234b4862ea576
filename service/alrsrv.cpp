#include "service/alrsrv.h"

#include <cmath>
#include <exception>
#include <string_view>

#include "common/debuglog.h"
#include "service/alr_resstr.h"

// One line of 136 characters.
static_assert(std::string_view(TAlarmSvc::LastCountedDaySql).size() == 136);

TAlarmSvc::TAlarmSvc(TDmQor& DmQor, TClock Clock)
    : DmQor(DmQor),
      Report(std::make_unique<TAlarmReport>()),
      Clock(std::move(Clock)),
      FormatSettings(LocaleFormatSettings()) {}

TAlarmSvc::~TAlarmSvc() = default;

void TAlarmSvc::CheckChain(const TChainParams& Chain) {
  TQorQuery& query = DmQor.QryRead;
  TQorTransaction& transaction = DmQor.QorTransRead;
  transaction.StartTransaction();
  try {
    const TDateTime today = DateOf(Clock());
    query.SQL = LastCountedDaySql;
    query.Open();
    try {
      const TQorField& shopName = query.FieldByName("SHOPNAME");
      const TQorField& maxDate = query.FieldByName("MAXDATE");
      while (!query.Eof()) {
        CheckShop(Chain, shopName.AsString(), std::trunc(maxDate.AsDateTime()), today);
        query.Next();
      }
    } catch (...) {
      query.Close();
      throw;
    }
    query.Close();
    transaction.Commit();
  } catch (...) {
    try {
      if (transaction.InTransaction()) transaction.Rollback();
    } catch (const std::exception&) {
      // The statement's error is the one the caller must see.
    }
    throw;
  }
}

void TAlarmSvc::CheckShop(const TChainParams& Chain, const std::string& ShopName,
                          TDateTime LastDate, TDateTime Today) {
  const double first = std::trunc(LastDate) + 1;
  const double last = std::trunc(Today) - 1;
  if (last < first) return;
  // Seven consecutive days hold every week day once: a walk that finds no
  // checked day among them finds none further on either.
  bool alarm = false;
  for (double day = first; day <= last && day < first + 7; ++day) {
    if (!Chain.DaysNoCheck[static_cast<size_t>(DayOfTheWeek(day))]) {
      alarm = true;
      break;
    }
  }
  if (!alarm) return;
  const std::string text =
      resstr::Format(resstr::SNoCountingSince, {DateToStr(LastDate + 1, FormatSettings)});
  Report->AddAlarm(Chain, ShopName, text);
}

void TAlarmSvc::LogEvent(int32_t Level, const std::string& Msg) {
  const TSystemTime now = DateTimeToSystemTime(Clock());
  {
    std::lock_guard<std::mutex> lock(StatusLock);
    if (static_cast<uint32_t>(Level) < 3) {
      LastEventTime = now;
      LastEventText = Msg;
    } else {
      LastErrorTime = now;
      LastErrorText = Msg;
    }
  }
  WriteLog(Level, Msg);
}
