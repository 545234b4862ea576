// The data-acquisition service's general settings and its 64 tracked
// directories, as stored in its settings file ("qorsvc.ini"). This system
// only reads that file.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "common/persistent.h"
#include "common/timelist.h"
#include "platform/profile.h"

class TBasePwConfig : public TPersistent {
 public:
  static constexpr int32_t kDirectoryCount = 64;

  // LogDetailed false, TimeBetweenActions 60, ExactTimeMode false, ExactTime
  // "18:00", every directory name empty.
  TBasePwConfig();
  ~TBasePwConfig() override;

  // Throw EConvertError "Attemp to assign wront object to TBasePwConfig."
  // unless the other object is a TBasePwConfig; then the copy operation of
  // the receiving object's class.
  void AssignTo(TPersistent& Dest) const override;
  void Assign(const TPersistent& Source) override;

  // Copies the general settings and the directory names (ExactTime through
  // its text).
  virtual void CopyFrom(const TBasePwConfig& Source);
  // Reads [General] LogDetailed, TimeBetweenActions, ExactTimeMode, ExactTime
  // (an empty list becomes "18:00"), then TrackDirectory of [Directory0] to
  // [Directory63]; each value replaces its field at once. Throws the time
  // list's error on a bad ExactTime, leaving the fields after it unread.
  virtual void LoadFromIni(const platform::ProfileFile& Ini);
  // Writes the same keys in the same order; Booleans as "1" and "0".
  virtual void SaveToIni(platform::ProfileFile& Ini) const;

  // Reads the file FileName through LoadFromIni. Never throws: an error is
  // logged at level 3 as "Error reading data from <file> : <message>" and the
  // read stops there. Returns true when the whole file was read.
  bool LoadFromFile(const std::string& FileName);

  // The first directory, 0 to 63, whose name equals Name without regard to
  // case by the locale's rules; -1 when none does. An empty slot is no
  // directory and is never found.
  int32_t IndexOfDirectory(const std::string& Name) const;
  // Index lies in 0 to 63.
  std::string GetTrackDirectory(int32_t Index) const;

  bool LogDetailed = false;
  int32_t TimeBetweenActions = 60;
  bool ExactTimeMode = false;
  std::unique_ptr<TTimeList> ExactTime;
  std::array<std::string, kDirectoryCount> TrackDirectory;

 protected:
  TBasePwConfig(const TBasePwConfig&) = delete;
  TBasePwConfig& operator=(const TBasePwConfig&) = delete;
};

// "Directory" followed by Index in decimal ("Directory0" ... "Directory63").
std::string DirectorySection(int32_t Index);
