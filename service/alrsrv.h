// The alarm service object TAlarmSvc: the service run by the framework, its
// start and stop, the status it publishes on the info pipe, the main loop
// with its check schedule, the check run, and the chain check with its alarm
// rule.
//
// Threads: the framework's service thread runs the start, the main loop with
// every check, and the stop; the two pipe threads enter only through
// InfoRequest, ConfigRetrieved and ConfigUpdated. The status fields are
// guarded by StatusLock, which is held for field copies only, never while
// logging or using a file, the database, the shell or the mail library.
//
// What the tests replace: the clock, the pause of the main loop, the mail
// call, the time limit of one chain's database work and the path of the program (its folder holds
// the settings, the log and the reports). The control queue is the framework's own: a test posts
// codes with PostControlCode and runs the loop on its own thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "common/alr_config.h"
#include "common/datetime.h"
#include "common/verinfo.h"
#include "pipes/alr_control.h"
#include "platform/service.h"
#include "service/alr_alarminfo.h"
#include "service/mail_ssl_interface.h"
#include "service/qordm.h"

// SendSecureMail's form, so that tests can stand in for the mail library.
using TSendMail = std::function<bool(const std::string& Recipients, const std::string& Subject,
                                     const std::string& BodyLines, const std::string& Attachments,
                                     std::string& ErrorText, const std::string& Extra, int32_t N1,
                                     int32_t N2, const TMailServerParams* ServerParams)>;
// The main loop's pause, in milliseconds.
using TSleep = std::function<void(uint32_t Milliseconds)>;

class TAlarmSvc : public platform::TService {
 public:
  // The service's names and its files.
  static constexpr const char* kServiceName = "VazidEre";
  static constexpr const char* kDisplayName = "CORVANTE Alert Service";
  static constexpr const char* kInfoPipeName = "VigiloInfo";
  static constexpr const char* kControlPipeName = "VigiloControl";
  static constexpr const char* kShortcutName = "Alert_Report.lnk";
  static constexpr const char* kIconName = "report.ico";
  static constexpr const char* kMainReportName = "alert_report.html";
  // The longest a chain's database work (connect, probes, statement,
  // disconnect) may take before it is aborted as a time-out. bench_checkchain
  // times a chain of 2000 shops with a year of counts each (730,000 rows) at
  // 2.3 s from connect to disconnect: ten minutes is some 250 times that, room
  // for far larger chains, longer histories and slow links, while a server
  // that stalls costs one chain ten minutes instead of every check after it.
  static constexpr std::chrono::milliseconds kChainTimeLimit = std::chrono::minutes(10);

  // DmQor is the program's data module; it must outlive the service object.
  // Runs ServiceCreate.
  explicit TAlarmSvc(TDmQor& DmQor, TClock Clock = Now);
  // Runs ServiceDestroy.
  ~TAlarmSvc() override;

  // ---- The framework's handlers and the start and stop of the work.
  void ServiceCreate();
  void ServiceDestroy();
  void ServiceStart(platform::TService* Sender, bool& Started);
  void ServiceStop(platform::TService* Sender, bool& Stopped);
  void ServiceShutdown(platform::TService* Sender);
  // The main loop: schedules the first check, then every 100 ms ends when the
  // service is stopping, runs the check when it is due and lets the framework
  // handle the control requests.
  void ServiceExecute(platform::TService* Sender);
  platform::TServiceController GetServiceController() override;
  // Empty here; called once the settings are loaded.
  virtual void AfterConfigLoaded() {}
  // Creates the version information and both pipe servers; false when a step
  // failed (each failure is logged, the later steps still run).
  virtual bool StartWork();
  // Stops and frees both pipe servers (control first) and the version
  // information. Always true.
  virtual bool StopWork();

  // ---- The status the info pipe reports (each operation takes StatusLock).
  // Records Msg with the clock's time as the last event (Level 0 to 2, read
  // as unsigned) or the last error (any other level), then writes it to the
  // log outside the lock.
  void LogEvent(int32_t Level, const std::string& Msg);
  void SetIdle(bool Value);
  // Publishes NextCheck.
  void UpdateNextCheckTime();
  void SetLastReportTime(TDateTime T);
  // Fills the zeroed block the info endpoint hands over.
  void InfoRequest(TAlrSrvInfo& Sender, TAlrSrvStatusBlock& Status);
  void ConfigRetrieved(TAlrSrvControl& Sender);
  // The settings file was replaced by the control program: from now on the
  // running service writes only its time stamps into it.
  void ConfigUpdated(TAlrSrvControl& Sender);

  // ---- The main loop and the schedule.
  // One check with the busy state, the log trim and the closing line. Throws
  // the cancellation error when a control request waits at its end.
  void RunDataCheck();
  // True when the clock is strictly later than NextCheck.
  bool IsCheckDue();
  void ScheduleFirstCheck();
  void ScheduleNextCheck();
  // True when the service is terminated or the first control request waiting
  // is not an interrogate; an interrogate is answered at once and left queued.
  bool IsControlPending();

  // ---- The check run.
  // Examines every checked chain, writes the main report, the shortcut and
  // each chain's report, mails them, and saves the settings. Throws the
  // cancellation error at a cancel point, and every error that does not
  // belong to one chain, the shortcut or a refused mail.
  //
  // Each chain's database work is watched from another thread. A stop or
  // shutdown request waits for it at most half the wait hint (the other half
  // is for the stop itself), and any chain at most ChainTimeLimit; then the
  // client's operation is aborted. An attach, which the client cannot abort,
  // is left behind for a request and waited for at the time limit. A chain
  // aborted for a request ends the run with the cancellation error; one
  // aborted for its time fails with a text that names the time-out, and the
  // run goes on with the next chain.
  void DoDataCheck();

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

  // ---- Fields.
  std::string AppDir;      // the program's folder, with its trailing "/"
  std::string IniName;     // "vigilo.ini"
  std::string ReportsDir;  // AppDir + "Reports/"
  std::string LogName;     // "vigilo.log"
  std::unique_ptr<TAlrConfig> Config;
  std::unique_ptr<TAlrSrvInfo> InfoServer;
  std::unique_ptr<TAlrSrvControl> ControlServer;
  std::unique_ptr<TVersionInfo> VersionInfo;

  // Guarded by StatusLock.
  bool Idle = false;
  TSystemTime LastEventTime;
  TSystemTime LastErrorTime;
  TSystemTime NextCheckTime;
  TSystemTime LastReportTime;
  std::string LastEventText;
  std::string LastErrorText;

  // Service thread only.
  TDateTime NextCheck = 0;
  bool Stopping = false;
  std::unique_ptr<TAlarmReport> Report;

  // ---- What the program and the tests supply.
  TDmQor& DmQor;
  TClock Clock;
  TSleep Sleep;
  TSendMail SendMail;
  // See kChainTimeLimit; tests shorten it.
  std::chrono::milliseconds ChainTimeLimit = kChainTimeLimit;
  // The executable whose folder is AppDir, as cp1252 text; the running
  // program by default.
  std::string ProgramPath;
  // The locale's formats for the alarm dates and the generated-by line, read
  // once when the object is created.
  TFormatSettings FormatSettings;

 private:
  // Detaches, stops and frees the pipe servers and frees the version
  // information; logs each server when `log` is set.
  void FreeWork(bool log);
  // The stop and shutdown handlers' common part; Line is the closing line's
  // format, its "%s" the service's name.
  void StopService(std::string_view Line);
  // One chain's connect, check and disconnect, under the watch of DoDataCheck.
  void ExamineChain(const TChainParams& Chain);
  void ExamineWatchedChain(const TChainParams& Chain);
  // Any thread: a stop or a shutdown waits among the control requests,
  // behind others too (the queue's look is locked), or the service is
  // terminated. The cancel points still act on the first request only.
  bool IsStopRequested() const;
  void WriteChainReport(int32_t Index);
  void MailChainReport(const std::string& FolderName, const std::string& ReportPath);
  void SaveConfigAfterCheck();
  void CreateReportShortcut(const std::string& MainReport);

  std::mutex StatusLock;
  // Set once the control pipe replaced the settings file.
  std::atomic<bool> ConfigReplaced{false};
};

// The one service object of the program, for the control handler.
extern TAlarmSvc* AlarmSvc;

// The control handler: posts the code to AlarmSvc's service thread.
void ServiceController(uint32_t CtrlCode);
