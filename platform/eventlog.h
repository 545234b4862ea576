// The system log, in place of the Windows event log.
//
// One EventLog is one registered source: syslog(3) is opened with the source
// name, LOG_PID and LOG_DAEMON at the first report, information goes as
// LOG_INFO and errors as LOG_ERR, and the cp1252 message is converted to
// UTF-8 and always passed as the argument of "%s". A record is one line: each
// CR LF pair of the message, and each CR or LF of its own, becomes one blank. syslog keeps one
// ident per process, so the source opened last names every report.
#pragma once

#include <string>

namespace platform {

enum class EventType { Error = 1, Information = 4 };

// Receives event reports; the service framework implements it, tests fake it.
class EventSink {
 public:
  virtual ~EventSink() = default;
  // Never throws.
  virtual void ReportEvent(EventType type, const std::string& message) = 0;
};

// The three calls of syslog(3) an EventLog makes; tests replace them.
class SyslogApi {
 public:
  virtual ~SyslogApi() = default;
  // openlog(ident, option, facility); ident stays in use until Close.
  virtual void Open(const char* ident, int option, int facility) = 0;
  // syslog(priority, "%s", message).
  virtual void Log(int priority, const std::string& message) = 0;
  // closelog().
  virtual void Close() = 0;
  // True when a syslog daemon takes the records; without one syslog(3)
  // drops them without a word.
  virtual bool DaemonListens() { return true; }
};

// The process's real syslog.
SyslogApi& SystemSyslog();

// Not synchronised: one thread at a time (the log reports under its lock).
// With a `mirror` descriptor (standard error, say), a report made while no
// syslog daemon listens (a container, a CI machine) is also written there as
// "<source>[<pid>]: <record>" and a line feed, so that it is kept somewhere.
class EventLog : public EventSink {
 public:
  explicit EventLog(std::string sourceName, SyslogApi& syslog = SystemSyslog(), int mirror = -1);
  // Closes the log when a report opened it.
  ~EventLog() override;
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;
  void ReportEvent(EventType type, const std::string& message) override;

 private:
  std::string sourceName_;
  SyslogApi& syslog_;
  int mirror_;
  bool opened_ = false;
};

}  // namespace platform
