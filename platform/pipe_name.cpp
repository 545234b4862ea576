#include <string>

#include "platform/ascii.h"
#include "platform/file.h"
#include "platform/named_pipe.h"
#include "platform/syserror.h"
#include "platform/unix_socket.h"

namespace platform {
namespace {

bool ValidPipeName(const std::string& name) {
  return !name.empty() && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos && name.find("..") == std::string::npos;
}

}  // namespace

uint32_t PipeSocketPath(const std::string& name, std::string& path) {
  if (!ValidPipeName(name)) return kErrorInvalidName;
  path = JoinPath(JoinPath(RuntimeDir(), "pipe"), AsciiLowerCase(name));
  return kErrorSuccess;
}

uint32_t LocalPipeName(const std::string& pipePath, std::string& name) {
  if (pipePath.size() < 2 || pipePath[0] != '\\' || pipePath[1] != '\\') return kErrorInvalidName;
  size_t hostEnd = pipePath.find('\\', 2);
  if (hostEnd == std::string::npos || hostEnd == 2) return kErrorInvalidName;
  size_t kindEnd = pipePath.find('\\', hostEnd + 1);
  if (kindEnd == std::string::npos ||
      !AsciiEqualNoCase(pipePath.substr(hostEnd + 1, kindEnd - hostEnd - 1), "pipe")) {
    return kErrorInvalidName;
  }
  if (pipePath.compare(2, hostEnd - 2, ".") != 0) return kErrorBadNetPath;
  std::string rest = pipePath.substr(kindEnd + 1);
  if (!ValidPipeName(rest)) return kErrorInvalidName;
  name = rest;
  return kErrorSuccess;
}

}  // namespace platform
