#include "platform/eventlog.h"

#include <syslog.h>

#include "platform/text.h"

namespace platform {
namespace {

class RealSyslog : public SyslogApi {
 public:
  void Open(const char* ident, int option, int facility) override {
    ::openlog(ident, option, facility);
  }
  // Always through "%s": a message is never a format.
  void Log(int priority, const std::string& message) override {
    ::syslog(priority, "%s", message.c_str());
  }
  void Close() override { ::closelog(); }
};

// A record of the system log is one line: a CR LF pair becomes one blank, as
// in the log file, and so does a CR or LF of its own.
std::string OneLine(const std::string& message) {
  std::string line;
  line.reserve(message.size());
  for (size_t i = 0; i < message.size(); ++i) {
    const char c = message[i];
    if (c == '\r' && i + 1 < message.size() && message[i + 1] == '\n') ++i;
    line += c == '\r' || c == '\n' ? ' ' : c;
  }
  return line;
}

}  // namespace

SyslogApi& SystemSyslog() {
  static RealSyslog instance;
  return instance;
}

EventLog::EventLog(std::string sourceName, SyslogApi& syslog)
    : sourceName_(std::move(sourceName)), syslog_(syslog) {}

EventLog::~EventLog() {
  if (opened_) syslog_.Close();
}

void EventLog::ReportEvent(EventType type, const std::string& message) {
  try {
    if (!opened_) {
      syslog_.Open(sourceName_.c_str(), LOG_PID, LOG_DAEMON);
      opened_ = true;
    }
    syslog_.Log(type == EventType::Information ? LOG_INFO : LOG_ERR,
                Cp1252ToUtf8(OneLine(message)));
  } catch (...) {
    // A report that cannot be made is lost; the caller goes on.
  }
}

}  // namespace platform
