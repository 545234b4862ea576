// The data-acquisition settings with the database connection of each of the
// 64 tracked directories.
#pragma once

#include <array>
#include <string>

#include "common/pwconfigbase.h"

class TQorConfig : public TBasePwConfig {
 public:
  template <typename T>
  using TPerDirectory = std::array<T, kDirectoryCount>;

  // The general settings of TBasePwConfig; every directory: Host the local
  // machine's name, Database "d:\qor.fdb", Username "SYSDBA", Password
  // "quillbark", Autoconvert and SingleShopMode false, ExplicitShopName empty.
  TQorConfig();

  // Throw EConvertError "Attemp to assign wront object to TBasePwConfig."
  // unless the other object is a TQorConfig.
  void AssignTo(TPersistent& Dest) const override;
  void Assign(const TPersistent& Source) override;

  // Copies everything; Source must be a TQorConfig (else EConvertError as
  // above, and nothing is copied).
  void CopyFrom(const TBasePwConfig& Source) override;
  // TBasePwConfig's keys, then for each directory in turn Host, Database,
  // Username, Password, Autoconvert, SingleShopMode and ExplicitShopName.
  void LoadFromIni(const platform::ProfileFile& Ini) override;
  void SaveToIni(platform::ProfileFile& Ini) const override;

  // For every Index in 0 to 63:
  // Host, ":" and Database.
  std::string GetConnectionString(int32_t Index) const;
  std::string GetUsername(int32_t Index) const;
  std::string GetPassword(int32_t Index) const;
  // The name of the folder that holds the database file, in capitals: the
  // last component of the path's folder part, where "\", ":" and "/" all
  // separate. Empty for a file in a root ("d:\qor.fdb", "/qor.fdb") or
  // without a folder; never "." or "..", never holding "/" or NUL.
  std::string GetDatabaseFolderName(int32_t Index) const;

  TPerDirectory<std::string> Host;
  TPerDirectory<std::string> Database;
  TPerDirectory<std::string> Username;
  TPerDirectory<std::string> Password;
  TPerDirectory<bool> Autoconvert{};
  TPerDirectory<bool> SingleShopMode{};
  TPerDirectory<std::string> ExplicitShopName;
};

// The folder name rule of GetDatabaseFolderName for one path.
std::string DatabaseFolderName(const std::string& DatabasePath);
