#include "service/alrsrv.h"

#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>

#include "common/Comserv.h"
#include "common/debuglog.h"
#include "common/exceptions.h"
#include "platform/file.h"
#include "platform/syserror.h"
#include "service/alr_resstr.h"
#include "service/shelserv.h"

// One line of 136 characters.
static_assert(std::string_view(TAlarmSvc::LastCountedDaySql).size() == 136);

TAlarmSvc* AlarmSvc = nullptr;

void ServiceController(uint32_t CtrlCode) {
  if (AlarmSvc) AlarmSvc->PostControlCode(CtrlCode);
}

namespace {

constexpr TDateTime kSecond = 1.0 / 86400;
// The first check never comes sooner than this after the loop begins.
constexpr TDateTime kFirstCheckDelay = 5 * kSecond;
constexpr uint32_t kIdlePauseMs = 100;

// How often the watch of a chain looks at the clock and the control queue:
// as often as the idle main loop looks at the queue.
constexpr std::chrono::milliseconds kWatchTick{kIdlePauseMs};

// The cancellation error, apart from the errors of one chain so that it
// leaves the chain's handler: the main loop logs it with its message.
class ECheckCanceled : public Exception {
 public:
  ECheckCanceled() : Exception(std::string(resstr::SServiceTaskCanceled)) {}
};

// Watches one chain's database work from a thread of its own and aborts the
// client's operation once the work has run for `timeLimit`, or once a stop
// has waited `stopLimit`. An attach under way cannot be aborted: for a stop
// the watch abandons it, since the service ends and loses nothing by not
// waiting for a database it only reads; for the time limit it tries again
// at every tick until the connection exists, so that the check goes on with
// the next chain only once the attach has returned and no call is left
// behind. Once End (or the destructor) has returned, the connection is no
// longer touched.
class TChainWatch {
 public:
  enum class Reason { None, TimeLimit, Stop };

  TChainWatch(TQorDatabase& Database, std::chrono::milliseconds TimeLimit,
              std::chrono::milliseconds StopLimit, std::function<bool()> StopRequested)
      : database_(Database),
        timeLimit_(TimeLimit),
        stopLimit_(StopLimit),
        stopRequested_(std::move(StopRequested)),
        thread_([this] { Run(); }) {}
  ~TChainWatch() { End(); }
  TChainWatch(const TChainWatch&) = delete;
  TChainWatch& operator=(const TChainWatch&) = delete;

  // Ends the watch; why the operation was aborted, None when it was not.
  Reason End() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ended_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
    return aborted_;
  }

 private:
  using Clock = std::chrono::steady_clock;

  void Run() noexcept {
    try {
      Watch();
    } catch (...) {
      // A watch that failed leaves the chain as it was before watches: it
      // ends when the server answers.
    }
  }

  void Watch() {
    const Clock::time_point start = Clock::now();
    std::optional<Clock::time_point> stopSeen;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!ended_ && aborted_ == Reason::None) {
      wake_.wait_for(lock, kWatchTick);
      if (ended_) break;
      const Clock::time_point now = Clock::now();
      if (!stopSeen && stopRequested_()) stopSeen = now;
      const bool timeUp = now - start >= timeLimit_;
      const bool stopDue = stopSeen && now - *stopSeen >= stopLimit_;
      // Under the lock: End waits for an abort under way.
      if ((timeUp || stopDue) && database_.Abort()) {
        aborted_ = timeUp ? Reason::TimeLimit : Reason::Stop;
      } else if (stopDue && database_.AbandonAttach()) {
        aborted_ = Reason::Stop;
      }
    }
  }

  TQorDatabase& database_;
  const std::chrono::milliseconds timeLimit_;
  const std::chrono::milliseconds stopLimit_;
  const std::function<bool()> stopRequested_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool ended_ = false;
  Reason aborted_ = Reason::None;
  // Last: it starts once the members it reads exist.
  std::thread thread_;
};

void SleepFor(uint32_t Milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(Milliseconds));
}

// Writes a report whole or not at all: the bytes go to a temporary file that
// is renamed over the report, so a failed write never leaves a cut report
// behind the shortcut or in a mail.
void WriteReportFile(const std::string& Path, const std::string& Data) {
  const uint32_t rc = platform::WriteFileAtomic(PathOnDisk(Path), Data, platform::kPublicFile);
  if (rc == platform::kErrorSuccess) return;
  if (rc == platform::kErrorDiskFull || rc == platform::kErrorWriteFault) {
    throw Exception(std::string(resstr::SStreamWriteError));
  }
  throw Exception(resstr::Format(resstr::SCannotCreateFile, {Path, platform::SystemErrorText(rc)}));
}

// "hh:nn:ss" of a span of time: the time-of-day part, to the nearest
// millisecond, the fraction of a second dropped.
std::string ElapsedText(TDateTime Span) {
  int hour, minute, second, millisecond;
  DecodeTime(Span, hour, minute, second, millisecond);
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", hour, minute, second);
  return text;
}

}  // namespace

TAlarmSvc::TAlarmSvc(TDmQor& DmQor, TClock Clock)
    : DmQor(DmQor),
      Clock(std::move(Clock)),
      Sleep(SleepFor),
      SendMail(SendSecureMail),
      ProgramPath(GetAppPath()),
      FormatSettings(LocaleFormatSettings()) {
  ServiceCreate();
}

TAlarmSvc::~TAlarmSvc() {
  // Pipe threads that still run would call into members that go before
  // their servers do.
  FreeWork(false);
  ServiceDestroy();
}

void TAlarmSvc::ServiceCreate() {
  Name = kServiceName;
  DisplayName = kDisplayName;
  Config = std::make_unique<TAlrConfig>();
  Report = std::make_unique<TAlarmReport>();
  Report->Clock = Clock;
  OnStart = [this](platform::TService* Sender, bool& Started) { ServiceStart(Sender, Started); };
  OnExecute = [this](platform::TService* Sender) { ServiceExecute(Sender); };
  OnStop = [this](platform::TService* Sender, bool& Stopped) { ServiceStop(Sender, Stopped); };
  OnShutdown = [this](platform::TService* Sender) { ServiceShutdown(Sender); };
  // A start that failed after creating a pipe server gets no stop handler:
  // its servers must not outlive it, nor call into a service that goes.
  OnCleanUp = [this](platform::TService*) {
    FreeWork(false);
    ClearLogTarget();
  };
}

void TAlarmSvc::ServiceDestroy() {
  Report.reset();
  Config.reset();
}

platform::TServiceController TAlarmSvc::GetServiceController() {
  return ServiceController;
}

// ---- Start and stop ----

void TAlarmSvc::ServiceStart(platform::TService*, bool& Started) {
  // StatusLock lives with the object: there is nothing to create that could fail.
  AppDir = platform::ExtractFileDir(ProgramPath);
  if (AppDir.empty() || AppDir.back() != '/') AppDir += '/';
  IniName = "vigilo.ini";
  ReportsDir = AppDir + "Reports/";
  LogName = "vigilo.log";
  SetLogTarget(&EventLogger(), AppDir + LogName);
  TruncateLogFile();
  try {
    Config->LoadFromFile(AppDir + IniName);
    SetLastReportTime(Config->LastReportAt);
    Config->SaveToFile(AppDir + IniName);
  } catch (const std::exception& e) {
    LogEvent(3, e.what());
    Started = false;
    return;
  }
  Started = StartWork();
  char version[32];
  std::snprintf(version, sizeof version, "%d.%d.%d", VersionInfo ? VersionInfo->Major() : 0,
                VersionInfo ? VersionInfo->Minor() : 0, VersionInfo ? VersionInfo->Release() : 0);
  LogEvent(0, resstr::Format(resstr::SServiceStarted, {Name, version}));
}

bool TAlarmSvc::StartWork() {
  bool result = true;
  const auto failed = [&](const std::exception& e) {
    LogEvent(3, e.what());
    result = false;
  };
  Stopping = false;
  // No pipe server exists yet: nobody else reads these.
  LastEventText.clear();
  LastErrorText.clear();
  LastEventTime = TSystemTime{};
  LastErrorTime = TSystemTime{};
  const bool detailed = Config->LogDetailed;
  try {
    if (detailed) LogEvent(0, std::string(resstr::SStartingService));
    VersionInfo = std::make_unique<TVersionInfo>("", "");
    Report->VersionInfo = VersionInfo.get();
    try {
      if (detailed) LogEvent(0, resstr::Format(resstr::SConfigLoaded, {IniName}));
      AfterConfigLoaded();
    } catch (const std::exception& e) {
      failed(e);
    }
    try {
      InfoServer = std::make_unique<TAlrSrvInfo>(kInfoPipeName, 4);
      InfoServer->OnGetStatus.Set(
          [this](TAlrSrvInfo& Sender, TAlrSrvStatusBlock& Status) { InfoRequest(Sender, Status); });
      if (detailed) LogEvent(0, resstr::Format(resstr::SPipeServerStarted, {kInfoPipeName}));
    } catch (const std::exception& e) {
      failed(e);
    }
    try {
      ControlServer = std::make_unique<TAlrSrvControl>(kControlPipeName, 1, AppDir + IniName);
      ControlServer->OnConfigRead.Set([this](TAlrSrvControl& Sender) { ConfigRetrieved(Sender); });
      ControlServer->OnConfigWritten.Set([this](TAlrSrvControl& Sender) { ConfigUpdated(Sender); });
      if (detailed) LogEvent(0, resstr::Format(resstr::SPipeServerStarted, {kControlPipeName}));
    } catch (const std::exception& e) {
      failed(e);
    }
    SetIdle(true);
  } catch (const std::exception& e) {
    failed(e);
  }
  return result;
}

bool TAlarmSvc::StopWork() {
  Stopping = true;
  const bool detailed = Config->LogDetailed;
  if (detailed) LogEvent(0, std::string(resstr::SStoppingService));
  try {
    FreeWork(detailed);
  } catch (const std::exception& e) {
    LogEvent(3, e.what());
  }
  return true;
}

void TAlarmSvc::FreeWork(bool log) {
  // The handlers go first, so that no pipe thread calls into the service
  // once its server is stopping; freeing a server waits for its thread.
  if (ControlServer) {
    ControlServer->OnConfigWritten.Set(nullptr);
    ControlServer->OnConfigRead.Set(nullptr);
    ControlServer->Stop();
    ControlServer.reset();
    if (log) LogEvent(0, resstr::Format(resstr::SPipeServerStopped, {kControlPipeName}));
  }
  if (InfoServer) {
    InfoServer->OnGetStatus.Set(nullptr);
    InfoServer->Stop();
    InfoServer.reset();
    if (log) LogEvent(0, resstr::Format(resstr::SPipeServerStopped, {kInfoPipeName}));
  }
  Report->VersionInfo = nullptr;
  VersionInfo.reset();
}

void TAlarmSvc::StopService(std::string_view Line) {
  StopWork();
  LogEvent(0, resstr::Format(Line, {Name}));
  ClearLogTarget();
}

void TAlarmSvc::ServiceStop(platform::TService*, bool&) {
  StopService(resstr::SServiceStopped);
}

void TAlarmSvc::ServiceShutdown(platform::TService*) {
  StopService(resstr::SServiceShutDown);
}

// ---- Status ----

void TAlarmSvc::SetIdle(bool Value) {
  std::lock_guard<std::mutex> lock(StatusLock);
  Idle = Value;
}

void TAlarmSvc::UpdateNextCheckTime() {
  const TSystemTime next = DateTimeToSystemTime(NextCheck);
  std::lock_guard<std::mutex> lock(StatusLock);
  NextCheckTime = next;
}

void TAlarmSvc::SetLastReportTime(TDateTime T) {
  const TSystemTime last = DateTimeToSystemTime(T);
  std::lock_guard<std::mutex> lock(StatusLock);
  LastReportTime = last;
}

void TAlarmSvc::InfoRequest(TAlrSrvInfo&, TAlrSrvStatusBlock& Status) {
  std::lock_guard<std::mutex> lock(StatusLock);
  Status.BlockSize = kAlrSrvStatusBlockSize;
  if (VersionInfo) {
    Status.VerMajor = VersionInfo->Major();
    Status.VerMinor = VersionInfo->Minor();
    Status.VerRelease = VersionInfo->Release();
  }
  Status.Busy = Idle ? 0 : 1;
  Status.LastEventTime = LastEventTime;
  Status.Reserved1 = 0;
  Status.LastErrorTime = LastErrorTime;
  Status.Reserved2 = 0;
  Status.NextCheckTime = NextCheckTime;
  Status.LastReportTime = LastReportTime;
  // A text longer than its field (a path, a database's or the mail
  // library's words in it) shows that it was cut; the log has it whole.
  SetStatusTextEllipsized(Status.LastEventText, LastEventText);
  SetStatusTextEllipsized(Status.LastErrorText, LastErrorText);
}

void TAlarmSvc::ConfigRetrieved(TAlrSrvControl&) {
  LogEvent(0, std::string(resstr::SConfigRetrieved));
}

void TAlarmSvc::ConfigUpdated(TAlrSrvControl&) {
  ConfigReplaced = true;
  LogEvent(0, std::string(resstr::SConfigUpdated));
}

// ---- Main loop and schedule ----

void TAlarmSvc::ServiceExecute(platform::TService*) {
  ScheduleFirstCheck();
  while (!Terminated() && !Stopping) {
    if (!IsControlPending()) {
      if (IsCheckDue()) {
        try {
          RunDataCheck();
        } catch (const std::exception& e) {
          LogEvent(3, e.what());
        }
        ScheduleNextCheck();
      } else {
        Sleep(kIdlePauseMs);
      }
    }
    ProcessControlRequests(false);
  }
}

void TAlarmSvc::RunDataCheck() {
  SetIdle(false);
  try {
    const TDateTime start = Clock();
    TruncateLogFile();
    DoDataCheck();
    LogEvent(0, resstr::Format(resstr::SDataCheckDone, {ElapsedText(Clock() - start)}));
  } catch (...) {
    SetIdle(true);
    throw;
  }
  SetIdle(true);
  if (IsControlPending()) throw ECheckCanceled();
}

bool TAlarmSvc::IsCheckDue() {
  return Clock() > NextCheck;
}

void TAlarmSvc::ScheduleFirstCheck() {
  const TDateTime now = Clock();
  const TDateTime earliest = now + kFirstCheckDelay;
  NextCheck = DateOf(now) + Config->ExactTime->Nearest(now);
  if (NextCheck <= earliest) NextCheck = earliest;
  UpdateNextCheckTime();
}

void TAlarmSvc::ScheduleNextCheck() {
  const TDateTime now = Clock();
  if (Config->ExactTime->Count() > 0) {
    const TDateTime later = Config->ExactTime->NextAfter(now);
    NextCheck = later >= 0 ? DateOf(now) + later : DateOf(now) + 1 + Config->ExactTime->Nearest(0);
  } else {
    // Without a listed time the check that just ran would be due again at
    // once: the next one comes a day after it instead.
    while (NextCheck <= now) NextCheck += 1;
  }
  UpdateNextCheckTime();
}

bool TAlarmSvc::IsControlPending() {
  if (Terminated()) return true;
  platform::ThreadMessage msg;
  if (!PeekMessage(msg, platform::kCmServiceControl, platform::kCmServiceControl)) return false;
  if (msg.WParam == platform::kServiceControlInterrogate) {
    ReportServiceStatus();
    return false;
  }
  return true;
}

bool TAlarmSvc::IsStopRequested() const {
  if (Terminated()) return true;
  return IsMessageQueued([](const platform::ThreadMessage& msg) {
    return msg.Message == platform::kCmServiceControl &&
           (msg.WParam == platform::kServiceControlStop ||
            msg.WParam == platform::kServiceControlShutdown);
  });
}

// ---- Check run ----

void TAlarmSvc::DoDataCheck() {
  const auto cancelPoint = [this] {
    if (IsControlPending()) throw ECheckCanceled();
  };
  Report->Clear();
  const int32_t count = Config->ChainCount();
  for (int32_t i = 0; i < count; ++i) {
    cancelPoint();
    TChainParams chain;
    Config->GetChain(i, chain);
    if (!chain.ShouldCheck) continue;
    DmQor.Username = chain.Username;
    DmQor.Password = chain.Password;
    DmQor.SetDatabaseName(chain.ConnectionString);
    try {
      ExamineWatchedChain(chain);
    } catch (const ECheckCanceled&) {
      throw;
    } catch (const std::exception& e) {
      LogEvent(3, e.what());
    }
  }
  Config->LastCheckAt = Clock();
  cancelPoint();

  std::string html;
  Report->BuildHtml(html);
  const std::string mainReport = ReportsDir + kMainReportName;
  WriteReportFile(mainReport, html);
  html = std::string();
  Config->LastReportAt = Clock();
  SetLastReportTime(Config->LastReportAt);

  CreateReportShortcut(mainReport);
  for (int32_t i = 0; i < Report->Count(); ++i) WriteChainReport(i);
  SaveConfigAfterCheck();
}

void TAlarmSvc::ExamineWatchedChain(const TChainParams& Chain) {
  // The service reports its wait hint with every status: a stop must be
  // seen through within it.
  const std::chrono::milliseconds stopLimit(WaitHint / 2);
  TChainWatch watch(DmQor.QorDatabase, ChainTimeLimit, stopLimit,
                    [this] { return IsStopRequested(); });
  try {
    ExamineChain(Chain);
  } catch (const std::exception&) {
    switch (watch.End()) {
      case TChainWatch::Reason::Stop:
        throw ECheckCanceled();
      case TChainWatch::Reason::TimeLimit: {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(ChainTimeLimit);
        throw Exception(
            resstr::Format(resstr::SChainDatabaseTimeout, {std::to_string(seconds.count())}));
      }
      case TChainWatch::Reason::None:
        throw;
    }
  }
}

void TAlarmSvc::ExamineChain(const TChainParams& Chain) {
  DmQor.Connect(true);
  try {
    if (Config->LogDetailed) WriteLog(0, "Check " + Chain.FolderName);
    CheckChain(Chain);
  } catch (...) {
    try {
      if (DmQor.IsConnected()) DmQor.Connect(false);
    } catch (const std::exception&) {
      // The chain's own error is the one to log.
    }
    throw;
  }
  if (DmQor.IsConnected()) DmQor.Connect(false);
}

void TAlarmSvc::CreateReportShortcut(const std::string& MainReport) {
  try {
    std::string desktop;
    GetDesktopFolder(0, desktop);
    // Never "/Alert_Report.lnk": a desktop without a path has no shortcut.
    if (desktop.empty()) {
      throw Exception(platform::SystemErrorText(platform::kErrorPathNotFound));
    }
    if (desktop.back() != '/') desktop += '/';
    CreateShortcut(desktop + kShortcutName, "Alert report", MainReport, "", AppDir + "Reports",
                   AppDir + kIconName, 0);
  } catch (const std::exception& e) {
    LogEvent(3, resstr::Format(resstr::SLinkError, {e.what()}));
  }
}

void TAlarmSvc::WriteChainReport(int32_t Index) {
  const std::string& folderName = Report->Keys(Index);
  const std::string path = ReportsDir + "alert_report_" + folderName + ".html";

  std::string document;
  std::string piece;
  TReportList::GetHtmlHeader(document);
  document += Report->GetGeneratedByLine();
  Report->Chains(Index).BuildHtml(piece);
  document += piece;
  TReportList::GetHtmlFooter(piece);
  document += piece;
  std::string utf8;
  TReportList::ConvertToUtf8(document, 1252, utf8);
  WriteReportFile(path, utf8);

  if (Config->UseEmail) MailChainReport(folderName, path);
}

void TAlarmSvc::MailChainReport(const std::string& FolderName, const std::string& ReportPath) {
  const TDateTime sentAt = Clock();
  const std::string body = "\"" + std::string(resstr::SServiceTitle) + " " +
                           (VersionInfo ? VersionInfo->GetVersionString(1) : std::string()) +
                           "\"," + Config->AlarmMailBody;
  TMailServerParams params{};
  const TMailServerParams* server = nullptr;
  if (!Config->AlarmMailDefault) {
    params = MakeMailServerParams(Config->AlarmMailPop3Host, Config->AlarmMailPop3Port,
                                  Config->AlarmMailSmtpHost, Config->AlarmMailSmtpPort,
                                  Config->AlarmMailUser, Config->AlarmMailPassword);
    server = &params;
  }
  const std::string attachments = "\"" + ReportPath + "\"";
  const std::string subject = std::string(resstr::SAlarmMailSubject) + " - " + FolderName;
  std::string errorText;
  if (SendMail(Config->AlarmMailAddr, subject, body, attachments, errorText, "", 0, 0, server)) {
    Config->LastSentOutAt = sentAt;
    LogEvent(0, std::string(resstr::SMailSentOk));
  } else {
    LogEvent(3, resstr::Format(resstr::SMailSendError, {errorText}));
  }
}

void TAlarmSvc::SaveConfigAfterCheck() {
  // Once the control pipe has replaced the file, it holds the settings the
  // next start reads: the running service adds only its time stamps to it.
  if (!Config->SaveTimesToFile(AppDir + IniName, !ConfigReplaced)) ConfigReplaced = true;
}

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
