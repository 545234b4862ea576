#include "common/debuglog.h"

#include <mutex>
#include <optional>

#include "common/Comserv.h"
#include "platform/cp1252.h"
#include "platform/file.h"
#include "platform/syserror.h"

namespace {

constexpr int64_t kMaxLogSize = 131072;

struct LogState {
  LogState() { InitLogFormatSettings(formatSettings); }

  std::mutex lock;
  std::string fileName = "debug.txt";
  platform::EventSink* service = nullptr;
  TFormatSettings formatSettings;
  TClock clock;
};

// Built at its first use, so that logging from another unit's start-up code
// finds it ready.
LogState& State() {
  static LogState state;
  return state;
}

std::string ReplaceCrLf(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      out += ' ';
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The file step; the caller holds the lock. The line goes out in UTF-8 with
// a LF, as every other text file of the machine (and the system log): people
// read it with grep and less, no program reads it back.
void AppendLine(const std::string& fileName, const std::string& line) {
  try {
    // A line that cannot be written is lost: the log must never fail its caller.
    platform::AppendToFile(PathOnDisk(fileName), platform::Cp1252ToUtf8(ReplaceCrLf(line)) + "\n");
  } catch (...) {
  }
}

}  // namespace

void WriteLog(int32_t Level, const std::string& Msg) {
  try {
    LogState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    const TDateTime now = s.clock ? s.clock() : Now();
    AppendLine(s.fileName,
               FormatDateTime(s.formatSettings.ShortDateFormat, now, s.formatSettings) + " " +
                   FormatDateTime(s.formatSettings.LongTimeFormat, now, s.formatSettings) + "\t" +
                   Msg);
    if (s.service) {
      const auto type =
          Level >= 0 && Level <= 2 ? platform::EventType::Information : platform::EventType::Error;
      try {
        s.service->ReportEvent(type, Msg);
      } catch (...) {
      }
    }
  } catch (...) {
  }
}

void WriteLogLine(const std::string& Line) {
  try {
    LogState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    AppendLine(s.fileName, Line);
  } catch (...) {
  }
}

void SetLogTarget(platform::EventSink* Service, const std::string& FileName) {
  LogState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  s.service = Service;
  s.fileName = FileName;
}

void ClearLogTarget() {
  LogState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  s.service = nullptr;
}

void TruncateLogFile() {
  try {
    LogState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    // Nothing is kept of the old file; a delete that fails is tried again
    // at the next call. Behind a trusted link (a log kept in /var/log) the
    // file goes and the link stays; an untrusted link is removed itself.
    std::string file;
    if (platform::ResolveTrustedPath(PathOnDisk(s.fileName), file) != platform::kErrorSuccess) {
      return;
    }
    std::optional<int64_t> size = platform::FileSize(file);
    if (size && *size > kMaxLogSize) platform::DeleteFile(file);
  } catch (...) {
  }
}

void InitLogFormatSettings(TFormatSettings& FormatSettings) {
  FormatSettings = LocaleFormatSettings();
  FormatSettings.DecimalSeparator = '.';
  FormatSettings.DateSeparator = '/';
  FormatSettings.TimeSeparator = ':';
  FormatSettings.ShortDateFormat = "dd/mm/yyyy";
  FormatSettings.ShortTimeFormat = "hh:nn";
  FormatSettings.LongTimeFormat = "hh:nn:ss";
}

std::string LogFileName() {
  LogState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  return s.fileName;
}

void SetLogClock(TClock clock) {
  LogState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  s.clock = std::move(clock);
}
