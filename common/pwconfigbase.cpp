#include "common/pwconfigbase.h"

#include "common/Comserv.h"
#include "common/debuglog.h"
#include "common/exceptions.h"
#include "platform/text.h"

namespace {

const char kWrongObject[] = "Attemp to assign wront object to TBasePwConfig.";
const char kGeneral[] = "General";
const char kDefaultExactTime[] = "18:00";

}  // namespace

std::string DirectorySection(int32_t Index) {
  return "Directory" + std::to_string(Index);
}

TBasePwConfig::TBasePwConfig() : ExactTime(std::make_unique<TTimeList>(kDefaultExactTime)) {}

TBasePwConfig::~TBasePwConfig() = default;

void TBasePwConfig::AssignTo(TPersistent& Dest) const {
  auto* dest = dynamic_cast<TBasePwConfig*>(&Dest);
  if (!dest) throw EConvertError(kWrongObject);
  dest->CopyFrom(*this);
}

void TBasePwConfig::Assign(const TPersistent& Source) {
  const auto* source = dynamic_cast<const TBasePwConfig*>(&Source);
  if (!source) throw EConvertError(kWrongObject);
  CopyFrom(*source);
}

void TBasePwConfig::CopyFrom(const TBasePwConfig& Source) {
  LogDetailed = Source.LogDetailed;
  TimeBetweenActions = Source.TimeBetweenActions;
  TrackDirectory = Source.TrackDirectory;
  ExactTimeMode = Source.ExactTimeMode;
  ExactTime->SetText(Source.ExactTime->GetText());
}

void TBasePwConfig::LoadFromIni(const platform::ProfileFile& Ini) {
  LogDetailed = Ini.ReadBool(kGeneral, "LogDetailed", false);
  TimeBetweenActions = Ini.ReadInteger(kGeneral, "TimeBetweenActions", 60);
  ExactTimeMode = Ini.ReadBool(kGeneral, "ExactTimeMode", false);
  ExactTime->SetText(Ini.ReadString(kGeneral, "ExactTime", kDefaultExactTime));
  if (ExactTime->Count() == 0) ExactTime->SetText(kDefaultExactTime);
  for (int32_t n = 0; n < kDirectoryCount; ++n) {
    TrackDirectory[n] = Ini.ReadString(DirectorySection(n), "TrackDirectory", "");
  }
}

void TBasePwConfig::SaveToIni(platform::ProfileFile& Ini) const {
  Ini.WriteBool(kGeneral, "LogDetailed", LogDetailed);
  Ini.WriteInteger(kGeneral, "TimeBetweenActions", TimeBetweenActions);
  Ini.WriteBool(kGeneral, "ExactTimeMode", ExactTimeMode);
  Ini.WriteString(kGeneral, "ExactTime", ExactTime->GetText());
  for (int32_t n = 0; n < kDirectoryCount; ++n) {
    Ini.WriteString(DirectorySection(n), "TrackDirectory", TrackDirectory[n]);
  }
}

bool TBasePwConfig::LoadFromFile(const std::string& FileName) {
  try {
    platform::ProfileFile ini(PathOnDisk(FileName));
    LoadFromIni(ini);
    return true;
  } catch (const std::exception& e) {
    WriteLog(3, "Error reading data from " + FileName + " : " + e.what());
    return false;
  }
}

int32_t TBasePwConfig::IndexOfDirectory(const std::string& Name) const {
  for (int32_t n = 0; n < kDirectoryCount; ++n) {
    if (!TrackDirectory[n].empty() && platform::SameTextLocale(TrackDirectory[n], Name)) return n;
  }
  return -1;
}

std::string TBasePwConfig::GetTrackDirectory(int32_t Index) const {
  return TrackDirectory.at(static_cast<size_t>(Index));
}
