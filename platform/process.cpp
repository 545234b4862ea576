#include "platform/process.h"

#include <limits.h>
#include <locale.h>
#include <stdlib.h>
#include <unistd.h>

#include <vector>

#include "platform/syserror.h"

namespace platform {

std::string ExecutablePath() {
  std::vector<char> buffer(PATH_MAX);
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return "";
    // readlink does not say when it cut the name: retry with more room.
    if (static_cast<size_t>(n) < buffer.size()) return std::string(buffer.data(), n);
    buffer.resize(buffer.size() * 2);
  }
}

void UseUtf8CharacterType() {
  if (::setlocale(LC_CTYPE, "C.UTF-8") == nullptr) {
    throw SystemError(kErrorNotSupported, "The C library has no locale \"C.UTF-8\"");
  }
}

bool SetEnvironmentVariable(const std::string& name, const std::string& value) {
  return ::setenv(name.c_str(), value.c_str(), 1) == 0;
}

std::string GetEnvironmentVariable(const std::string& name) {
  const char* value = ::getenv(name.c_str());
  return value ? value : "";
}

std::string ComputerName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

}  // namespace platform
