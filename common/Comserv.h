// Small functions both programs share: the program's folder, file sizes,
// fields of delimited text, and the time record conversions.
#pragma once

#include <cstdint>
#include <string>

#include "common/datetime.h"

// The folder of the running executable, without a trailing "/" (the root
// folder keeps it: "/x" gives "/").
std::string GetAppDir();

// The file's size in bytes; 0 for a missing file, a bad path or a folder.
int64_t FileSizeByName(const std::string& Name);

// The field Index (from 0) of S split at Sep, at most 255 characters; empty
// for a negative or too large Index.
std::string GetField(const std::string& S, char Sep, int32_t Index);

// "dd.mm.yyyy hh:nn:ss" of the record, printed as it is.
std::string FormatSystemTime(const TSystemTime& ST);

// The record as a date-time; 0 when it holds no valid date and time.
TDateTime SafeSystemTimeToDateTime(const TSystemTime& ST);

// Points TEMP, TMP and TMPDIR of this process at the program's folder (and
// leaves them alone when that folder cannot be read). Both programs call it
// first thing in main().
void SetTempToAppDir();
