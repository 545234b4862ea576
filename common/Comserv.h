// Small functions both programs share: the program's folder, file sizes,
// fields of delimited text, and the time record conversions.
#pragma once

#include <cstdint>
#include <string>

#include "common/datetime.h"

// Paths inside the programs are their cp1252 text, like every other text;
// the file system spells names in UTF-8. A path crosses between the two
// here, once: where it enters from the system (the program's own path) and
// where it leaves for a file operation.

// The file-system name (UTF-8) of the path `Path`, a cp1252 text.
std::string PathOnDisk(const std::string& Path);

// The cp1252 text of the file-system name `OnDisk`. Throws Exception naming
// the path when cp1252 cannot spell it (or it is no UTF-8): such a name has
// no text that leads back to it, and a guessed one would be a wrong path.
std::string PathFromDisk(const std::string& OnDisk);

// The full path of the running executable, as cp1252 text; empty when the
// system does not tell it. Throws as PathFromDisk.
std::string GetAppPath();

// The folder of GetAppPath, without a trailing "/" (the root folder keeps
// it: "/x" gives "/"). Throws as PathFromDisk.
std::string GetAppDir();

// The size in bytes of the file Name (cp1252); 0 for a missing file, a bad path or a folder.
int64_t FileSizeByName(const std::string& Name);

// The field Index (from 0) of S split at Sep, at most 255 characters; empty
// for a negative or too large Index.
std::string GetField(const std::string& S, char Sep, int32_t Index);

// "dd.mm.yyyy hh:nn:ss" of the record, printed as it is.
std::string FormatSystemTime(const TSystemTime& ST);

// The record as a date-time; 0 when it holds no valid date and time.
TDateTime SafeSystemTimeToDateTime(const TSystemTime& ST);

// Points TEMP, TMP and TMPDIR of this process at the program's folder, as
// the file system spells it (and leaves them alone when the system does not
// tell the folder). Both programs call it first thing in main(), so it is
// where a folder that cp1252 cannot spell stops them: it throws as
// PathFromDisk, with the text a person needs.
void SetTempToAppDir();
