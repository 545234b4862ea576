#include "common/qorconfig.h"

#include "common/exceptions.h"
#include "platform/process.h"
#include "platform/text.h"

namespace {

const char kWrongObject[] = "Attemp to assign wront object to TBasePwConfig.";
const char kDefaultDatabase[] = "d:\\qor.fdb";
const char kDefaultUsername[] = "SYSDBA";
const char kDefaultPassword[] = "quillbark";

bool IsSeparator(char c) {
  return c == '\\' || c == ':' || c == '/';
}

size_t At(int32_t Index) {
  return static_cast<size_t>(Index);
}

}  // namespace

std::string DatabaseFolderName(const std::string& DatabasePath) {
  size_t last = std::string::npos;
  for (size_t i = 0; i < DatabasePath.size(); ++i) {
    if (IsSeparator(DatabasePath[i])) last = i;
  }
  if (last == std::string::npos) return "";
  std::string folder = DatabasePath.substr(0, last + 1);
  // A trailing "\" or "/" goes unless it follows a colon or another
  // separator, so that a drive's root ("d:\") stays whole.
  char end = folder.back();
  if ((end == '\\' || end == '/') && (last == 0 || !IsSeparator(folder[last - 1]))) {
    folder.pop_back();
  }
  size_t cut = std::string::npos;
  for (size_t i = 0; i < folder.size(); ++i) {
    if (IsSeparator(folder[i])) cut = i;
  }
  std::string name = cut == std::string::npos ? folder : folder.substr(cut + 1);
  // The name becomes part of report file names: nothing that could leave the
  // reports' folder.
  name = name.substr(0, name.find('\0'));
  if (name == "." || name == "..") return "";
  return platform::UpperCaseCp1252(name);
}

TQorConfig::TQorConfig() {
  Host.fill(platform::ComputerName());
  Database.fill(kDefaultDatabase);
  Username.fill(kDefaultUsername);
  Password.fill(kDefaultPassword);
}

void TQorConfig::AssignTo(TPersistent& Dest) const {
  auto* dest = dynamic_cast<TQorConfig*>(&Dest);
  if (!dest) throw EConvertError(kWrongObject);
  dest->CopyFrom(*this);
}

void TQorConfig::Assign(const TPersistent& Source) {
  const auto* source = dynamic_cast<const TQorConfig*>(&Source);
  if (!source) throw EConvertError(kWrongObject);
  CopyFrom(*source);
}

void TQorConfig::CopyFrom(const TBasePwConfig& Source) {
  const auto* source = dynamic_cast<const TQorConfig*>(&Source);
  if (!source) throw EConvertError(kWrongObject);
  TBasePwConfig::CopyFrom(Source);
  Host = source->Host;
  Database = source->Database;
  Username = source->Username;
  Password = source->Password;
  Autoconvert = source->Autoconvert;
  SingleShopMode = source->SingleShopMode;
  ExplicitShopName = source->ExplicitShopName;
}

void TQorConfig::LoadFromIni(const platform::ProfileFile& Ini) {
  TBasePwConfig::LoadFromIni(Ini);
  const std::string localHost = platform::ComputerName();
  for (int32_t n = 0; n < kDirectoryCount; ++n) {
    const std::string section = DirectorySection(n);
    Host[At(n)] = Ini.ReadString(section, "Host", localHost);
    Database[At(n)] = Ini.ReadString(section, "Database", kDefaultDatabase);
    Username[At(n)] = Ini.ReadString(section, "Username", kDefaultUsername);
    Password[At(n)] = Ini.ReadString(section, "Password", kDefaultPassword);
    Autoconvert[At(n)] = Ini.ReadBool(section, "Autoconvert", false);
    SingleShopMode[At(n)] = Ini.ReadBool(section, "SingleShopMode", false);
    ExplicitShopName[At(n)] = Ini.ReadString(section, "ExplicitShopName", "");
  }
}

void TQorConfig::SaveToIni(platform::ProfileFile& Ini) const {
  TBasePwConfig::SaveToIni(Ini);
  for (int32_t n = 0; n < kDirectoryCount; ++n) {
    const std::string section = DirectorySection(n);
    Ini.WriteString(section, "Host", Host[At(n)]);
    Ini.WriteString(section, "Database", Database[At(n)]);
    Ini.WriteString(section, "Username", Username[At(n)]);
    Ini.WriteString(section, "Password", Password[At(n)]);
    Ini.WriteBool(section, "Autoconvert", Autoconvert[At(n)]);
    Ini.WriteBool(section, "SingleShopMode", SingleShopMode[At(n)]);
    Ini.WriteString(section, "ExplicitShopName", ExplicitShopName[At(n)]);
  }
}

std::string TQorConfig::GetConnectionString(int32_t Index) const {
  return Host.at(At(Index)) + ":" + Database.at(At(Index));
}

std::string TQorConfig::GetUsername(int32_t Index) const {
  return Username.at(At(Index));
}

std::string TQorConfig::GetPassword(int32_t Index) const {
  return Password.at(At(Index));
}

std::string TQorConfig::GetDatabaseFolderName(int32_t Index) const {
  return DatabaseFolderName(Database.at(At(Index)));
}
