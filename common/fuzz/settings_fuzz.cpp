// The settings reader: each input is a "vigilo.ini" as found on disk. When
// the settings load from it, saving them into the file and loading again must
// give the same settings, as the file stores them (check times without
// seconds, date-times to the second), and a second save must change nothing.
// Besides, a value written to the profile must read back as written (cut to
// the longest value), or be refused when it holds a line break or a NUL.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "common/alr_config.h"
#include "common/datetime.h"
#include "common/debuglog.h"
#include "platform/profile.h"

namespace {

std::string TempFile() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/vigilo-fuzz-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) std::abort();
  SetLogTarget(nullptr, std::string(buffer.data()) + "/fuzz.log");
  return std::string(buffer.data()) + "/vigilo.ini";
}

[[noreturn]] void Fail(const std::string& what, const std::string& detail) {
  std::fprintf(stderr, "%s\n%s\n", what.c_str(), detail.c_str());
  std::abort();
}

// Every setting in its stored form, one a line.
std::string Stored(const TAlrConfig& c) {
  TFormatSettings format;
  TAlrConfig::InitFormatSettings(format);
  std::string s =
      "LogDetailed=" + std::to_string(c.LogDetailed) +
      "\nDataCheckTime=" + std::to_string(c.DataCheckTime) +
      "\nExactTime=" + c.ExactTime->GetText() +
      "\nLastCheckAt=" + DateTimeToStr(c.LastCheckAt, format) +
      "\nLastReportAt=" + DateTimeToStr(c.LastReportAt, format) +
      "\nExcludeSundays=" + std::to_string(c.ExcludeSundays) +
      "\nUseEmail=" + std::to_string(c.UseEmail) +
      "\nLastSentOutAt=" + DateTimeToStr(c.LastSentOutAt, format) +
      "\nAlarmMailAddr=" + c.AlarmMailAddr + "\nAlarmMailBody=" + c.AlarmMailBody +
      "\nAlarmMailDefault=" + std::to_string(c.AlarmMailDefault) +
      "\nAlarmMailAddrSelf=" + c.AlarmMailAddrSelf + "\nAlarmMailUser=" + c.AlarmMailUser +
      "\nAlarmMailPassword=" + c.AlarmMailPassword + "\nAlarmMailPop3Host=" + c.AlarmMailPop3Host +
      "\nAlarmMailPop3Port=" + std::to_string(c.AlarmMailPop3Port) +
      "\nAlarmMailSmtpHost=" + c.AlarmMailSmtpHost +
      "\nAlarmMailSmtpPort=" + std::to_string(c.AlarmMailSmtpPort) + "\n";
  for (const TChainParams& chain : c.Chains) {
    std::string days;
    TAlrConfig::DaysToStr(chain.DaysNoCheck, days);
    s += "Chain " + chain.TrackedChain + " check=" + std::to_string(chain.ShouldCheck) +
         " days=" + days + "\n";
  }
  return s;
}

void Load(const std::string& path, TAlrConfig& config) {
  TFormatSettings format;
  TAlrConfig::InitFormatSettings(format);
  platform::ProfileFile ini(path);
  config.LoadFromIni(ini, format);
}

// Saves as the service does: the file read again, the settings written into
// it, the file replaced when that changed it. Whether it changed.
bool Save(const std::string& path, const TAlrConfig& config) {
  TFormatSettings format;
  TAlrConfig::InitFormatSettings(format);
  platform::ProfileFile ini(path);
  config.SaveToIni(ini, format);
  const bool modified = ini.Modified();
  ini.Flush();
  return modified;
}

void WriteInput(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out) std::abort();
}

// The input's last line, written as a value of a section of its own.
void CheckValueRoundTrip(const std::string& path, const std::string& text) {
  const size_t lineEnd = text.find_last_of('\n');
  const std::string value = lineEnd == std::string::npos ? text : text.substr(lineEnd + 1);
  const bool refused = value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
  const std::string expected = value.substr(0, platform::kProfileMaxValue);
  {
    platform::ProfileFile ini(path);
    try {
      ini.WriteString("FuzzValue", "Value", value);
    } catch (const platform::ProfileError&) {
      if (!refused) Fail("a value without line breaks was refused", value);
      return;
    }
    if (refused) Fail("a value with a line break or NUL was written", value);
    if (ini.ReadString("FuzzValue", "Value", "?") != expected) {
      Fail("a value written does not read back", value);
    }
    ini.Flush();
  }
  platform::ProfileFile again(path);
  if (again.ReadString("FuzzValue", "Value", "?") != expected) {
    Fail("a value written does not read back from the file", value);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = TempFile();
  const std::string text(reinterpret_cast<const char*>(data), size);
  WriteInput(path, data, size);

  TAlrConfig first;
  try {
    Load(path, first);
  } catch (const std::exception&) {
    // Settings the service refuses to read; it then leaves the file alone.
    CheckValueRoundTrip(path, text);
    return 0;
  }
  const std::string before = Stored(first);
  try {
    Save(path, first);
  } catch (const std::exception& e) {
    Fail(std::string("settings that loaded cannot be saved: ") + e.what(), before);
  }
  TAlrConfig second;
  try {
    Load(path, second);
  } catch (const std::exception& e) {
    Fail(std::string("a saved file does not load: ") + e.what(), before);
  }
  const std::string after = Stored(second);
  if (after != before) Fail("load, save, load gives other settings:\n" + before, after);
  if (Save(path, second)) Fail("a second save changed the file", after);

  WriteInput(path, data, size);
  CheckValueRoundTrip(path, text);
  return 0;
}
