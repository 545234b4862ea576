#include "common/Comserv.h"

#include <cstdio>

#include "common/exceptions.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/text.h"

std::string PathOnDisk(const std::string& Path) {
  return platform::Cp1252ToUtf8(Path);
}

std::string PathFromDisk(const std::string& OnDisk) {
  std::string text = platform::Utf8ToCp1252(OnDisk);
  if (platform::Cp1252ToUtf8(text) != OnDisk) {
    // The text of the message is cp1252 too: the letters it cannot hold
    // show as "?".
    throw Exception("The path \"" + text +
                    "\" holds a character that the programs' character set (Windows-1252) "
                    "cannot hold; use a folder whose name it can spell");
  }
  return text;
}

std::string GetAppPath() {
  return PathFromDisk(platform::ExecutablePath());
}

std::string GetAppDir() {
  return platform::ExtractFileDir(GetAppPath());
}

int64_t FileSizeByName(const std::string& Name) {
  return platform::FileSize(PathOnDisk(Name)).value_or(0);
}

std::string GetField(const std::string& S, char Sep, int32_t Index) {
  constexpr size_t kMaxField = 255;
  std::string result;
  if (Index < 0) return result;
  // The walk ends with the field: the rest of S cannot change the result, and
  // the counter never passes Index, however many separators follow.
  int32_t field = 0;
  for (char c : S) {
    if (c == Sep) {
      if (field == Index) break;
      ++field;
    } else if (field == Index && result.size() < kMaxField) {
      result += c;
    }
  }
  return result;
}

std::string FormatSystemTime(const TSystemTime& ST) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%2.2u.%2.2u.%4.4u %2.2u:%2.2u:%2.2u", unsigned{ST.wDay},
                unsigned{ST.wMonth}, unsigned{ST.wYear}, unsigned{ST.wHour}, unsigned{ST.wMinute},
                unsigned{ST.wSecond});
  return buffer;
}

TDateTime SafeSystemTimeToDateTime(const TSystemTime& ST) {
  try {
    return SystemTimeToDateTime(ST);
  } catch (const EConvertError&) {
    return 0;
  }
}

void SetTempToAppDir() {
  const std::string dir = GetAppDir();
  // Failures are ignored: the process then keeps the folders it inherited.
  if (dir.empty()) return;
  // Whoever reads these variables opens files with them: the name on disk.
  for (const char* name : {"TEMP", "TMP", "TMPDIR"}) {
    platform::SetEnvironmentVariable(name, PathOnDisk(dir));
  }
}
