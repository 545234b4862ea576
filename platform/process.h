// The running process.
#pragma once

#include <string>

namespace platform {

// The full path of the running executable (readlink of /proc/self/exe), as
// the file system spells it (UTF-8); empty when it cannot be read. The
// programs take it as their cp1252 text through GetAppPath (common/Comserv).
std::string ExecutablePath();

// Sets the process's character type (LC_CTYPE) to "C.UTF-8", the file
// system's: libraries that convert names with the C library's character
// set, as the database client does with the database's file name, then
// take names on disk as they are, where the C locale's ASCII refuses every
// other letter. The rest of the locale stays "C". Call it before any thread
// starts. Throws SystemError when the C library has no such locale.
void UseUtf8CharacterType();

// Sets the environment variable `name` for this process only. Returns false on failure.
bool SetEnvironmentVariable(const std::string& name, const std::string& value);

// The value of the environment variable `name`; empty when unset.
std::string GetEnvironmentVariable(const std::string& name);

// The host name of this machine; "localhost" when it cannot be read.
std::string ComputerName();

}  // namespace platform
