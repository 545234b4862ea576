#include "platform/eventlog.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>

#include "platform/eintr.h"
#include "platform/text.h"
#include "platform/unique_fd.h"

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
  // syslog(3) sends to /dev/log, as a datagram or else as a stream.
  bool DaemonListens() override {
    for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
      UniqueFd fd(::socket(AF_UNIX, type | SOCK_CLOEXEC, 0));
      if (fd.get() < 0) continue;
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::strcpy(address.sun_path, "/dev/log");
      if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        return true;
      }
    }
    return false;
  }
};

// One whole line with one write, so that lines of several processes sharing
// the descriptor do not interleave; a line that cannot be written is lost.
void WriteMirrorLine(int fd, const std::string& line) {
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n =
        RetryOnEintr([&] { return ::write(fd, line.data() + done, line.size() - done); });
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

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

EventLog::EventLog(std::string sourceName, SyslogApi& syslog, int mirror)
    : sourceName_(std::move(sourceName)), syslog_(syslog), mirror_(mirror) {}

EventLog::~EventLog() {
  if (opened_) syslog_.Close();
}

void EventLog::ReportEvent(EventType type, const std::string& message) {
  try {
    if (!opened_) {
      syslog_.Open(sourceName_.c_str(), LOG_PID, LOG_DAEMON);
      opened_ = true;
    }
    const std::string record = Cp1252ToUtf8(OneLine(message));
    syslog_.Log(type == EventType::Information ? LOG_INFO : LOG_ERR, record);
    if (mirror_ >= 0 && !syslog_.DaemonListens()) {
      WriteMirrorLine(mirror_,
                      sourceName_ + "[" + std::to_string(::getpid()) + "]: " + record + "\n");
    }
  } catch (...) {
    // A report that cannot be made is lost; the caller goes on.
  }
}

}  // namespace platform
