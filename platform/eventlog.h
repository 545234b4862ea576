// The system log, in place of the Windows event log.
//
// One EventLog is one registered source: syslog(3) is opened with the source
// name, LOG_PID and LOG_DAEMON at the first report, information goes as
// LOG_INFO and errors as LOG_ERR, and the cp1252 message is converted to
// UTF-8 and always passed as the argument of "%s".
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

class EventLog : public EventSink {
 public:
  explicit EventLog(std::string sourceName);
  ~EventLog() override;
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;
  void ReportEvent(EventType type, const std::string& message) override;

 private:
  std::string sourceName_;
  bool opened_ = false;
};

}  // namespace platform
