#include "platform/eventlog.h"

#include <syslog.h>

namespace platform {
namespace {

// cp1252's bytes 128 to 159; the rest of the code page is Latin-1. The five
// undefined bytes keep their C1 control code points.
constexpr char16_t kHigh[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

std::string ToUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    const char16_t cp = byte >= 0x80 && byte < 0xA0 ? kHigh[byte - 0x80] : byte;
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

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
    syslog_.Log(type == EventType::Information ? LOG_INFO : LOG_ERR, ToUtf8(message));
  } catch (...) {
    // A report that cannot be made is lost; the caller goes on.
  }
}

}  // namespace platform
