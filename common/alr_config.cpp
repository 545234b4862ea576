#include "common/alr_config.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "common/Comserv.h"
#include "common/debuglog.h"
#include "common/exceptions.h"
#include "platform/ascii.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "platform/syserror.h"
#include "platform/text.h"

namespace {

const char kWrongObject[] = "Attemp to assign wront object to TAlrConfig.";
const char kGeneral[] = "General";
const char kAlarms[] = "Alarms";
const char kDefaultExactTime[] = "08:00";
const char kQorSettingsFile[] = "qorsvc.ini";

// Text rules speak of character codes: compare bytes unsigned, so that
// accented cp1252 letters are characters like any other.
bool IsControlOrBlank(char c) {
  auto u = static_cast<unsigned char>(c);
  return u >= 1 && u <= 32;
}

bool IsAtMostBlank(char c) {
  return static_cast<unsigned char>(c) <= 32;
}

TDateTime ReadDateTime(const platform::ProfileFile& Ini, const char* Section, const char* Key,
                       const TFormatSettings& FormatSettings) {
  if (!Ini.ValueExists(Section, Key)) return 0;
  return StrToDateTime(Ini.ReadString(Section, Key, ""), FormatSettings);
}

// The index of a section named like ChainSection(i), or -1.
int32_t ChainSectionIndex(const std::string& Name) {
  static constexpr std::string_view kPrefix = "chain";
  if (Name.size() <= kPrefix.size() || Name.size() > kPrefix.size() + 10) return -1;
  for (size_t i = 0; i < kPrefix.size(); ++i) {
    if (platform::AsciiLower(Name[i]) != kPrefix[i]) return -1;
  }
  int64_t value = 0;
  for (size_t i = kPrefix.size(); i < Name.size(); ++i) {
    if (Name[i] < '0' || Name[i] > '9') return -1;
    value = value * 10 + (Name[i] - '0');
  }
  if (value > INT32_MAX) return -1;
  auto index = static_cast<int32_t>(value);
  // "Chain5" and "Chain007" name no chain: only the written spelling counts.
  if (ChainSection(index).substr(kPrefix.size()) != Name.substr(kPrefix.size())) return -1;
  return index;
}

// The profile of a file to be saved. A file that cannot even be read cannot be
// written either, and says so.
std::unique_ptr<platform::ProfileFile> OpenForSave(const std::string& FileName) {
  try {
    return std::make_unique<platform::ProfileFile>(PathOnDisk(FileName));
  } catch (const platform::ProfileError&) {
    throw platform::ProfileError("Unable to write to " + FileName);
  }
}

// Everything up to and including the last "/", "\" or ":".
std::string FolderPart(const std::string& Path) {
  size_t last = Path.find_last_of("/\\:");
  return last == std::string::npos ? "" : Path.substr(0, last + 1);
}

}  // namespace

std::string ChainSection(int32_t Index) {
  char name[32];
  std::snprintf(name, sizeof name, "Chain%2.2d", Index);
  return name;
}

TAlrConfig::TAlrConfig()
    : ExactTime(std::make_unique<TTimeList>(kDefaultExactTime)),
      Databases(std::make_unique<TQorConfig>()) {}

TAlrConfig::~TAlrConfig() = default;

void TAlrConfig::AssignTo(TPersistent& Dest) const {
  auto* dest = dynamic_cast<TAlrConfig*>(&Dest);
  if (!dest) throw EConvertError(kWrongObject);
  dest->CopyFrom(*this);
}

void TAlrConfig::Assign(const TPersistent& Source) {
  const auto* source = dynamic_cast<const TAlrConfig*>(&Source);
  if (!source) throw EConvertError(kWrongObject);
  CopyFrom(*source);
}

void TAlrConfig::CopyFrom(const TAlrConfig& Source) {
  if (&Source == this) return;
  LogDetailed = Source.LogDetailed;
  ExactTime->SetText(Source.ExactTime->GetText());
  DataCheckTime = Source.DataCheckTime;
  Chains = Source.Chains;
  LastCheckAt = Source.LastCheckAt;
  LastReportAt = Source.LastReportAt;
  ExcludeSundays = Source.ExcludeSundays;
  UseEmail = Source.UseEmail;
  LastSentOutAt = Source.LastSentOutAt;
  AlarmMailAddr = Source.AlarmMailAddr;
  AlarmMailBody = Source.AlarmMailBody;
  AlarmMailDefault = Source.AlarmMailDefault;
  AlarmMailAddrSelf = Source.AlarmMailAddrSelf;
  AlarmMailUser = Source.AlarmMailUser;
  AlarmMailPassword = Source.AlarmMailPassword;
  AlarmMailPop3Host = Source.AlarmMailPop3Host;
  AlarmMailPop3Port = Source.AlarmMailPop3Port;
  AlarmMailSmtpHost = Source.AlarmMailSmtpHost;
  AlarmMailSmtpPort = Source.AlarmMailSmtpPort;
  loadIncomplete_ = Source.loadIncomplete_;
  chainsUnlinked_ = Source.chainsUnlinked_;
}

void TAlrConfig::LoadFromIni(const platform::ProfileFile& Ini,
                             const TFormatSettings& FormatSettings) {
  LogDetailed = Ini.ReadBool(kGeneral, "LogDetailed", false);
  DataCheckTime = Ini.ReadInteger(kGeneral, "DataCheckTime", 7200);
  ExactTime->SetText(Ini.ReadString(kGeneral, "ExactTime", kDefaultExactTime));
  if (ExactTime->Count() == 0) ExactTime->SetText(kDefaultExactTime);
  LastCheckAt = ReadDateTime(Ini, kGeneral, "LastCheckAt", FormatSettings);
  LastReportAt = ReadDateTime(Ini, kGeneral, "LastReportAt", FormatSettings);
  const int32_t count = Ini.ReadInteger(kGeneral, "TrackedChains", 0);
  ExcludeSundays = Ini.ReadBool(kAlarms, "ExcludeSundays", false);
  LastSentOutAt = ReadDateTime(Ini, kAlarms, "LastSentOutAt", FormatSettings);
  AlarmMailAddr = Ini.ReadString(kAlarms, "AlarmMailAddr", "");
  // Taken as stored: the quotes around its first and last line are its own.
  AlarmMailBody = Ini.ReadRawString(kAlarms, "AlarmMailBody", "");
  AlarmMailDefault = Ini.ReadBool(kAlarms, "AlarmMailDefault", true);
  AlarmMailAddrSelf = Ini.ReadString(kAlarms, "AlarmMailAddrSelf", "");
  AlarmMailUser = Ini.ReadString(kAlarms, "AlarmMailUser", "");
  AlarmMailPassword = Ini.ReadString(kAlarms, "AlarmMailPassword", "");
  AlarmMailPop3Host = Ini.ReadString(kAlarms, "AlarmMailPop3Host", "");
  AlarmMailPop3Port = Ini.ReadInteger(kAlarms, "AlarmMailPop3Port", 110);
  AlarmMailSmtpHost = Ini.ReadString(kAlarms, "AlarmMailSmtpHost", "");
  AlarmMailSmtpPort = Ini.ReadInteger(kAlarms, "AlarmMailSmtpPort", 25);
  UseEmail = Ini.ReadBool(kAlarms, "UseEmail", false);

  // Refused where the chains are made, so the [Alarms] keys are read first.
  if (count < 0 || count > kMaxTrackedChains) throw ERangeError();
  std::vector<TChainParams> chains(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    const std::string section = ChainSection(i);
    TChainParams& chain = chains[static_cast<size_t>(i)];
    chain.TrackedChain = Ini.ReadString(section, "TrackedChain", "");
    chain.ShouldCheck = Ini.ReadBool(section, "ShouldCheck", true);
    chain.DbIndex = -1;
    StrToDays(Ini.ReadString(section, "DaysNoCheck", ""), chain.DaysNoCheck);
  }
  Chains = std::move(chains);
}

void TAlrConfig::SaveToIni(platform::ProfileFile& Ini,
                           const TFormatSettings& FormatSettings) const {
  const bool writeChains = !chainsUnlinked_;
  const int32_t oldCount = writeChains ? Ini.ReadInteger(kGeneral, "TrackedChains", 0) : 0;
  const int32_t newCount = ChainCount();

  Ini.WriteBool(kGeneral, "LogDetailed", LogDetailed);
  Ini.WriteInteger(kGeneral, "DataCheckTime", DataCheckTime);
  Ini.WriteString(kGeneral, "ExactTime", ExactTime->GetText());
  Ini.WriteString(kGeneral, "LastCheckAt", DateTimeToStr(LastCheckAt, FormatSettings));
  Ini.WriteString(kGeneral, "LastReportAt", DateTimeToStr(LastReportAt, FormatSettings));
  if (writeChains) Ini.WriteInteger(kGeneral, "TrackedChains", newCount);

  Ini.WriteBool(kAlarms, "ExcludeSundays", ExcludeSundays);
  Ini.WriteString(kAlarms, "LastSentOutAt", DateTimeToStr(LastSentOutAt, FormatSettings));
  Ini.WriteString(kAlarms, "AlarmMailAddr", AlarmMailAddr);
  // As it is: read back raw, its quotes are its own.
  Ini.WriteRawString(kAlarms, "AlarmMailBody", AlarmMailBody);
  Ini.WriteBool(kAlarms, "AlarmMailDefault", AlarmMailDefault);
  Ini.WriteString(kAlarms, "AlarmMailAddrSelf", AlarmMailAddrSelf);
  Ini.WriteString(kAlarms, "AlarmMailUser", AlarmMailUser);
  Ini.WriteString(kAlarms, "AlarmMailPassword", AlarmMailPassword);
  Ini.WriteString(kAlarms, "AlarmMailPop3Host", AlarmMailPop3Host);
  Ini.WriteInteger(kAlarms, "AlarmMailPop3Port", AlarmMailPop3Port);
  Ini.WriteString(kAlarms, "AlarmMailSmtpHost", AlarmMailSmtpHost);
  Ini.WriteInteger(kAlarms, "AlarmMailSmtpPort", AlarmMailSmtpPort);
  Ini.WriteBool(kAlarms, "UseEmail", UseEmail);

  if (!writeChains) return;
  for (int32_t i = 0; i < newCount; ++i) {
    const std::string section = ChainSection(i);
    const TChainParams& chain = Chains[static_cast<size_t>(i)];
    std::string days;
    DaysToStr(chain.DaysNoCheck, days);
    Ini.WriteString(section, "TrackedChain", chain.TrackedChain);
    Ini.WriteBool(section, "ShouldCheck", chain.ShouldCheck);
    Ini.WriteString(section, "DaysNoCheck", days);
  }
  // The old count may be anything: erase the sections that exist in the
  // range, not every name of the range.
  for (const std::string& name : Ini.SectionNames()) {
    int32_t index = ChainSectionIndex(name);
    if (index >= newCount && index < oldCount) Ini.EraseSection(name);
  }
}

void TAlrConfig::SaveToFile(const std::string& FileName) const {
  if (loadIncomplete_) {
    WriteLog(3, "Error writing data to " + FileName +
                    " : the settings were not read completely, the file is left as it is");
    return;
  }
  TFormatSettings formatSettings;
  InitFormatSettings(formatSettings);
  try {
    std::unique_ptr<platform::ProfileFile> ini = OpenForSave(FileName);
    SaveToIni(*ini, formatSettings);
    ini->Flush();
    fileText_ = ini->Text();
  } catch (const std::exception& e) {
    WriteLog(3, "Error writing data to " + FileName + " : " + e.what());
  }
}

bool TAlrConfig::SaveTimesToFile(const std::string& FileName, bool Whole) const {
  if (loadIncomplete_) {
    WriteLog(3, "Error writing data to " + FileName +
                    " : the settings were not read completely, the file is left as it is");
    return true;
  }
  TFormatSettings formatSettings;
  InitFormatSettings(formatSettings);
  bool unchanged = true;
  try {
    std::string written;
    platform::UpdateProfileFile(PathOnDisk(FileName), [&](platform::ProfileFile& ini) {
      unchanged = ini.Text() == fileText_;
      if (Whole && unchanged) {
        SaveToIni(ini, formatSettings);
      } else {
        ini.WriteString(kGeneral, "LastCheckAt", DateTimeToStr(LastCheckAt, formatSettings));
        ini.WriteString(kGeneral, "LastReportAt", DateTimeToStr(LastReportAt, formatSettings));
        ini.WriteString(kAlarms, "LastSentOutAt", DateTimeToStr(LastSentOutAt, formatSettings));
      }
      written = ini.Text();
    });
    fileText_ = written;
  } catch (const platform::ProfileError&) {
    // A file that cannot be read cannot be written either.
    WriteLog(3, "Error writing data to " + FileName + " : Unable to write to " + FileName);
  } catch (const std::exception& e) {
    WriteLog(3, "Error writing data to " + FileName + " : " + e.what());
  }
  return unchanged;
}

void TAlrConfig::LoadFromFile(const std::string& FileName) {
  TFormatSettings formatSettings;
  InitFormatSettings(formatSettings);
  bool databasesWhole = false;
  LoadDatabases(*Databases, &databasesWhole);
  try {
    platform::ProfileFile ini(PathOnDisk(FileName));
    LoadFromIni(ini, formatSettings);
    fileText_ = ini.Text();
    if (databasesWhole) {
      MergeDatabases(*Databases);
    } else {
      Chains.clear();
    }
    chainsUnlinked_ = !databasesWhole;
    loadIncomplete_ = false;
  } catch (const std::exception& e) {
    WriteLog(3, "Error reading data from " + FileName + " : " + e.what());
    loadIncomplete_ = true;
    if (!databasesWhole) {
      Chains.clear();
      chainsUnlinked_ = true;
    }
  }
}

bool TAlrConfig::LoadDatabases(TQorConfig& Cfg, bool* ReadWhole) const {
  if (ReadWhole) *ReadWhole = false;
  try {
    std::string path = FolderPart(GetAppPath()) + kQorSettingsFile;
    // A registration without an ImagePath has an empty folder part: the bare
    // file name remains.
    if (std::optional<platform::ServiceRegistration> reg =
            platform::ReadServiceRegistration("QorSvc")) {
      path = FolderPart(PathFromDisk(reg->ImagePath)) + kQorSettingsFile;
    }
    if (!platform::FileExists(PathOnDisk(path))) {
      WriteLog(3, "Error reading data from " + path + " : " +
                      platform::SystemErrorText(platform::kErrorFileNotFound));
      return false;
    }
    bool whole = Cfg.LoadFromFile(path);
    if (ReadWhole) *ReadWhole = whole;
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void TAlrConfig::MergeDatabases(const TQorConfig& Cfg) {
  for (TChainParams& chain : Chains) {
    chain.DbIndex = chain.TrackedChain.empty() ? -1 : Cfg.IndexOfDirectory(chain.TrackedChain);
  }
  for (int32_t j = 0; j < TQorConfig::kDirectoryCount; ++j) {
    const std::string name = Cfg.GetTrackDirectory(j);
    if (name.empty() || IndexOfChain(name) >= 0) continue;
    TChainParams chain;
    chain.TrackedChain = name;
    chain.ShouldCheck = true;
    chain.DbIndex = j;
    Chains.push_back(std::move(chain));
  }
  std::erase_if(Chains, [](const TChainParams& chain) { return chain.DbIndex < 0; });
  for (TChainParams& chain : Chains) {
    const int32_t d = chain.DbIndex;
    chain.Username = Cfg.GetUsername(d);
    chain.Password = Cfg.GetPassword(d);
    chain.ConnectionString = Cfg.GetConnectionString(d);
    chain.FolderName = Cfg.GetDatabaseFolderName(d);
  }
}

void TAlrConfig::GetChain(int32_t Index, TChainParams& Chain) const {
  Chain = Chains.at(static_cast<size_t>(Index));
}

void TAlrConfig::SetChain(int32_t Index, const TChainParams& Chain) {
  Chains.at(static_cast<size_t>(Index)) = Chain;
}

int32_t TAlrConfig::IndexOfChain(const std::string& Name) const {
  for (size_t i = 0; i < Chains.size(); ++i) {
    if (platform::SameTextLocale(Chains[i].TrackedChain, Name)) return static_cast<int32_t>(i);
  }
  return -1;
}

void TAlrConfig::DaysToStr(const TDaysNoCheck& Days, std::string& Text) {
  Text.clear();
  for (int d = 1; d <= 7; ++d) {
    if (Days[static_cast<size_t>(d)]) Text += static_cast<char>('0' + d);
  }
}

void TAlrConfig::StrToDays(const std::string& Text, TDaysNoCheck& Days) {
  Days.fill(false);
  for (size_t i = 0; i < Text.size() && i < 7; ++i) {
    if (Text[i] >= '1' && Text[i] <= '7') Days[static_cast<size_t>(Text[i] - '0')] = true;
  }
}

void TAlrConfig::InitFormatSettings(TFormatSettings& FormatSettings) {
  // The record holds nothing of the locale that the fixed settings leave.
  FormatSettings = FixedFormatSettings();
}

std::string NormalizeSpaces(const std::string& S) {
  size_t begin = 0;
  size_t end = S.size();
  while (begin < end && IsAtMostBlank(S[begin])) ++begin;
  while (end > begin && IsAtMostBlank(S[end - 1])) --end;
  std::string out;
  out.reserve(end - begin);
  for (size_t i = begin; i < end; ++i) {
    if (S[i] == ' ' && !out.empty() && out.back() == ' ') continue;
    out += S[i];
  }
  return out;
}

void CsvToStrings(const std::string& Text, std::vector<std::string>& Lines) {
  Lines.clear();
  // The text ends at its first NUL, as the delimited text of a string list does.
  const std::string_view text(Text.data(), std::min(Text.size(), Text.find('\0')));
  const size_t n = text.size();
  size_t p = 0;
  while (p < n && IsControlOrBlank(text[p])) ++p;
  while (p < n) {
    std::string item;
    if (text[p] == '"') {
      // Up to the next quote that is not doubled; without one, the rest.
      for (++p; p < n; ++p) {
        if (text[p] != '"') {
          item += text[p];
        } else if (p + 1 < n && text[p + 1] == '"') {
          item += '"';
          ++p;
        } else {
          ++p;
          break;
        }
      }
    } else {
      size_t start = p;
      while (p < n && !IsAtMostBlank(text[p]) && text[p] != ',') ++p;
      item.assign(text.substr(start, p - start));
    }
    Lines.push_back(std::move(item));
    while (p < n && IsControlOrBlank(text[p])) ++p;
    if (p < n && text[p] == ',') {
      if (p + 1 == n) Lines.emplace_back();
      ++p;
      while (p < n && IsControlOrBlank(text[p])) ++p;
    }
  }
}

std::string StringsToCsv(const std::vector<std::string>& Lines) {
  if (Lines.size() == 1 && Lines[0].empty()) return "\"\"";
  std::string out;
  for (size_t i = 0; i < Lines.size(); ++i) {
    if (i > 0) out += ',';
    const std::string& line = Lines[i];
    bool quote = std::any_of(line.begin(), line.end(),
                             [](char c) { return IsControlOrBlank(c) || c == '"' || c == ','; });
    if (!quote) {
      out += line;
      continue;
    }
    out += '"';
    for (char c : line) {
      if (c == '"') out += '"';
      out += c;
    }
    out += '"';
  }
  return out;
}
