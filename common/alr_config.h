// The alarm service's settings ("vigilo.ini") and the tracked chains.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/datetime.h"
#include "common/persistent.h"
#include "common/qorconfig.h"
#include "common/timelist.h"
#include "platform/profile.h"

// Week days without alarms: index 1 (Monday) to 7 (Sunday); index 0 is unused.
using TDaysNoCheck = std::array<bool, 8>;

// One tracked chain. The first three fields are stored in "vigilo.ini"; the
// others come from the data-acquisition settings when the chains are merged.
struct TChainParams {
  std::string TrackedChain;
  bool ShouldCheck = true;
  TDaysNoCheck DaysNoCheck{};
  int32_t DbIndex = -1;
  std::string Username;
  std::string Password;
  std::string ConnectionString;
  std::string FolderName;
};

class TAlrConfig : public TPersistent {
 public:
  // The most chains a settings file may hold; a larger TrackedChains is a
  // read error.
  static constexpr int32_t kMaxTrackedChains = 1000;

  // Every field at its initial value; Databases a TQorConfig at its own,
  // ExactTime "08:00", no chain.
  TAlrConfig();
  ~TAlrConfig() override;
  TAlrConfig(const TAlrConfig&) = delete;
  TAlrConfig& operator=(const TAlrConfig&) = delete;

  // Throw EConvertError "Attemp to assign wront object to TAlrConfig." unless
  // the other object is a TAlrConfig; then CopyFrom of the receiving object.
  void AssignTo(TPersistent& Dest) const override;
  void Assign(const TPersistent& Source) override;

  // Copies every field but Databases; ExactTime through its text, Chains as an
  // independent copy. What the source's load left unread goes with it, so
  // that the copy is saved under the same restraint.
  virtual void CopyFrom(const TAlrConfig& Source);
  // Reads every key of the file in its fixed order; each value replaces its
  // field at once. Throws the time list's error for a bad ExactTime,
  // EConvertError "'<text>' is not a valid date and time" for a date-time that
  // cannot be read, and ERangeError for a TrackedChains below 0 or above
  // kMaxTrackedChains; the fields after the error keep their values. Chains
  // get DbIndex -1 and empty connection fields until they are merged.
  virtual void LoadFromIni(const platform::ProfileFile& Ini, const TFormatSettings& FormatSettings);
  // Writes every key in its fixed order, the chain sections after them, and
  // erases the chain sections that lie between the new and the old
  // TrackedChains. After a load that could not link the chains (see
  // LoadFromFile), TrackedChains and the chain sections are left as they are.
  virtual void SaveToIni(platform::ProfileFile& Ini, const TFormatSettings& FormatSettings) const;

  // Reads the data-acquisition settings (LoadDatabases) and the file
  // FileName, then links the chains (MergeDatabases). Never throws; errors
  // are logged at level 3 as "Error reading data from <file> : <message>".
  // - A read of FileName that stops at an error leaves the fields after it
  //   and the chains as they were, and no later SaveToFile writes anything
  //   until a load succeeds.
  // - When the data-acquisition settings cannot be found or read whole, the
  //   file's own settings are read all the same, Chains is emptied, and the
  //   file's chain sections stay untouched by later saves.
  void LoadFromFile(const std::string& FileName);
  // Writes the settings to FileName, all or nothing. Never throws; an error
  // is logged at level 3 as "Error writing data to <file> : <message>" and
  // the file stays as it was. After a load that stopped at an error nothing
  // is written, and one such line says so.
  void SaveToFile(const std::string& FileName) const;
  // The save of a running service, whose file another thread may replace: in
  // one step under the file's lock. When Whole is set and the file still
  // holds what this object last loaded or saved, every setting is written as
  // SaveToFile writes it; otherwise only LastCheckAt, LastReportAt and
  // LastSentOutAt go into the file as it stands, and nothing else of it
  // changes. Returns false when the file no longer held what this object
  // last loaded or saved. Never throws; errors are logged as SaveToFile logs
  // them, and after a load that stopped at an error nothing is written.
  bool SaveTimesToFile(const std::string& FileName, bool Whole) const;

  // Finds "qorsvc.ini" (in the folder of the data-acquisition service's
  // registered ImagePath, the bare name when the registration has none; next
  // to the executable when the service is not registered) and reads it into
  // Cfg.
  // True when the file was found. A missing file is logged at level 3 with
  // the path tried. When ReadWhole is given it is set to whether the file
  // was found and read without error.
  bool LoadDatabases(TQorConfig& Cfg, bool* ReadWhole = nullptr) const;
  // Links the chains with the directories of Cfg: each chain gets the index
  // of the directory of its name (the first one, without regard to case),
  // every directory without a chain gets a new chain at the end (checked, no
  // excluded day), chains without a directory are removed, and the chains
  // left get their directory's connection settings.
  void MergeDatabases(const TQorConfig& Cfg);

  int32_t ChainCount() const { return static_cast<int32_t>(Chains.size()); }
  // Index lies in 0 to ChainCount() - 1.
  void GetChain(int32_t Index, TChainParams& Chain) const;
  void SetChain(int32_t Index, const TChainParams& Chain);
  // The first chain whose name equals Name without regard to case by the
  // locale's rules; -1 when none does.
  int32_t IndexOfChain(const std::string& Name) const;

  // The set days as their digits, ascending ("67" for Saturday and Sunday).
  static void DaysToStr(const TDaysNoCheck& Days, std::string& Text);
  // Clears every day, then each of the first seven characters of Text that is
  // a digit from "1" to "7" sets that day; others are ignored.
  static void StrToDays(const std::string& Text, TDaysNoCheck& Days);
  // The locale's settings with ".", "/", ":", "dd/mm/yyyy", "hh:nn" and
  // "hh:nn:ss": date-times in the file never depend on the machine.
  static void InitFormatSettings(TFormatSettings& FormatSettings);

  bool LogDetailed = false;
  std::unique_ptr<TTimeList> ExactTime;
  int32_t DataCheckTime = 7200;
  std::vector<TChainParams> Chains;
  std::unique_ptr<TQorConfig> Databases;
  TDateTime LastCheckAt = 0;
  TDateTime LastReportAt = 0;
  bool ExcludeSundays = false;
  bool UseEmail = false;
  TDateTime LastSentOutAt = 0;
  std::string AlarmMailAddr;
  std::string AlarmMailBody;
  bool AlarmMailDefault = true;
  std::string AlarmMailAddrSelf;
  std::string AlarmMailUser;
  std::string AlarmMailPassword;
  std::string AlarmMailPop3Host;
  int32_t AlarmMailPop3Port = 110;
  std::string AlarmMailSmtpHost;
  int32_t AlarmMailSmtpPort = 25;

 private:
  // The last load stopped at an error: saving would replace what it left
  // unread.
  bool loadIncomplete_ = false;
  // The last load found no data-acquisition settings to link the chains
  // with: the chains in memory are not the file's.
  bool chainsUnlinked_ = false;
  // The file's text as this object last loaded or saved it.
  mutable std::string fileText_;
};

// "Chain" and Index in at least two digits ("Chain00", "Chain07", "Chain100").
std::string ChainSection(int32_t Index);

// The text without the characters of code 0 to 32 at both ends, and with
// every run of blanks inside shortened to one blank.
std::string NormalizeSpaces(const std::string& S);
// Fills Lines (cleared first) with the items of a comma-delimited text with
// double quotes; outside quotes, blanks separate items as commas do. The
// text ends at its first NUL; an unclosed quote runs to the end.
void CsvToStrings(const std::string& Text, std::vector<std::string>& Lines);
// The delimited text of Lines; a line holding a character of code 1 to 32, a
// double quote or a comma is quoted, its quotes doubled. One empty line gives
// two double quotes.
std::string StringsToCsv(const std::vector<std::string>& Lines);
