// The running process.
#pragma once

#include <string>

namespace platform {

// The full path of the running executable (readlink of /proc/self/exe);
// empty when it cannot be read.
std::string ExecutablePath();

// Sets the environment variable `name` for this process only. Returns false on failure.
bool SetEnvironmentVariable(const std::string& name, const std::string& value);

// The value of the environment variable `name`; empty when unset.
std::string GetEnvironmentVariable(const std::string& name);

// The host name of this machine; "localhost" when it cannot be read.
std::string ComputerName();

}  // namespace platform
